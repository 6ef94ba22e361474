#include "clsg/clrsgint/color_model.h"

#include <cstring>

namespace {

// Bit-pattern comparison, so that a model always equals its own copy.
template <class T>
bool sameBits(const T* a, const T* b, size_t count) {
    return count == 0 || std::memcmp(a, b, count * sizeof(T)) == 0;
}

}  // namespace

bool kvCompositeColorInstanceModel::operator==(const kvCompositeColorInstanceModel& other) const {
    return sameBits(&normFactor, &other.normFactor, 1) && levelCount == other.levelCount &&
           weights.size() == other.weights.size() &&
           sameBits(weights.data(), other.weights.data(), weights.size()) &&
           quantTable == other.quantTable;
}

bool kvCompositeColorSegmenterModel::operator==(const kvCompositeColorSegmenterModel& other) const {
    return instanceModels == other.instanceModels && instanceCounts == other.instanceCounts &&
           sameBits(reciprocalTable.data(), other.reciprocalTable.data(), reciprocalTable.size()) &&
           toleranceTable == other.toleranceTable && levelStep == other.levelStep &&
           lowLevelTable == other.lowLevelTable && highLevelTable == other.highLevelTable &&
           levelCenterTable == other.levelCenterTable;
}
