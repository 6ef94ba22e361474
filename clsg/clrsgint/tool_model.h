// The trained model inside a tool, for the library's tests, benchmarks and
// the clsg program's report of model sizes (not part of the public API).
#pragma once

#include "clsg/clrsgint/color_model.h"
#include "clsg/colorseg/segmenter_tool.h"

namespace clsgint {

// Empty for an untrained tool; valid while the tool lives and is not trained again.
const kvCompositeColorSegmenterModel& toolModel(const kvCompositeColorSegmenterTool& tool);

}  // namespace clsgint
