// The trained model inside a tool, for the library itself, its tests and
// benchmarks (not part of the public API).
#pragma once

#include "clsg/clrsgint/color_model.h"
#include "clsg/colorseg/segmenter_tool.h"

namespace clsgint {

// The one way in to a tool's private model.
struct ToolAccess {
    static const kvCompositeColorSegmenterModel& model(const kvCompositeColorSegmenterTool& tool) {
        return *tool.model_;
    }
};

// Empty for an untrained tool; valid while the tool lives and is not trained again.
const kvCompositeColorSegmenterModel& toolModel(const kvCompositeColorSegmenterTool& tool);

}  // namespace clsgint
