#include "clsg/colorseg/segmenter_tool.h"

#include <utility>

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

kvCompositeColorSegmenterTool::kvCompositeColorSegmenterTool(kvCompositeColorSegmenterTool&& other)
    : kvCompositeColorSegmenterTool() {
    *this = std::move(other);
}

kvCompositeColorSegmenterTool& kvCompositeColorSegmenterTool::operator=(
    kvCompositeColorSegmenterTool&& other) {
    if (this == &other) return *this;
    // The empty model for other first: if it cannot be had, nothing changed.
    auto empty = std::make_unique<kvCompositeColorSegmenterModel>();
    model_ = std::exchange(other.model_, std::move(empty));
    compositeColors_ = std::move(other.compositeColors_);
    other.compositeColors_.clear();
    trainParams_ = std::exchange(other.trainParams_, kvCompositeColorSegmenterTrainParams());
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

kvCompositeColorSegmenterTool::ModelSize kvCompositeColorSegmenterTool::modelSize() const {
    checkTrained();
    ModelSize size;
    size.instanceModels = model_->instanceModels.size();
    for (const kvCompositeColorInstanceModel& m : model_->instanceModels) {
        size.weightBytes += m.weights.size() * sizeof(double);
        size.tableBytes += m.quantTable.size();
        size.levelsPerChannel = m.levelCount;
    }
    size.tableBytes += sizeof model_->reciprocalTable + sizeof model_->toleranceTable +
                       sizeof model_->lowLevelTable + sizeof model_->highLevelTable +
                       sizeof model_->levelCenterTable;
    return size;
}

const kvCompositeColorSegmenterModel& clsgint::toolModel(
    const kvCompositeColorSegmenterTool& tool) {
    return ToolAccess::model(tool);
}
