#include "clsg/colorseg/segmenter_tool.h"

#include "clsg/clrsgint/color_model.h"
#include "clsg/clrsgint/tool_model.h"
#include "clsg/colorseg/errors.h"

kvCompositeColorSegmenterTool::kvCompositeColorSegmenterTool()
    : model_(std::make_shared<const kvCompositeColorSegmenterModel>()) {}

kvCompositeColorSegmenterTool::kvCompositeColorSegmenterTool(
    const kvCompositeColorSegmenterTool& other)
    : model_(other.model_) {
    compositeColors_ = other.compositeColors_;
    trainParams_ = other.trainParams_;
}

kvCompositeColorSegmenterTool& kvCompositeColorSegmenterTool::operator=(
    const kvCompositeColorSegmenterTool& other) {
    if (this == &other) return *this;
    // Copy into a temporary first, so a failed allocation leaves this tool whole.
    std::vector<kvCompositeColorSet> sets(other.compositeColors_);
    model_ = other.model_;
    compositeColors_.swap(sets);
    trainParams_ = other.trainParams_;
    return *this;
}

kvCompositeColorSegmenterTool::~kvCompositeColorSegmenterTool() = default;

bool kvCompositeColorSegmenterTool::operator==(const kvCompositeColorSegmenterTool& other) const {
    return compositeColors_ == other.compositeColors_ && trainParams_ == other.trainParams_;
}

void kvCompositeColorSegmenterTool::checkTrained() const {
    if (compositeColors_.empty()) throw kvCompositeColorSegmenterDefs::NotTrained();
}

const kvCompositeColorSegmenterTrainParams& kvCompositeColorSegmenterTool::trainParams() const {
    checkTrained();
    return trainParams_;
}

const std::vector<kvCompositeColorSet>& kvCompositeColorSegmenterTool::compositeColors() const {
    checkTrained();
    return compositeColors_;
}

const kvCompositeColorSegmenterModel& clsgint::toolModel(
    const kvCompositeColorSegmenterTool& tool) {
    return *tool.model_;
}
