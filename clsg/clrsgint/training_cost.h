// What a training will cost, checked against the budget of the calling
// thread before the model is allocated.
#pragma once

#include <cstdint>
#include <vector>

#include "clsg/clrsgint/color_model.h"
#include "clsg/colorseg/budget.h"
#include "clsg/colorseg/composite_color.h"

namespace clsgint {

// Throws kvCompositeColorSegmenterBudget::Exceeded when training the sets
// with n levels per channel and the level ranges already in model
// (lowLevelTable, highLevelTable) would cost more than budget allows; the
// units are those of kvCompositeColorSegmenterBudget. The byte check comes
// first; the work count stops as soon as it is over. Does nothing without
// limits.
void checkTrainingBudget(const kvCompositeColorSegmenterBudget& budget,
                         const kvCompositeColorSegmenterModel& model, int32_t levelCount,
                         const std::vector<kvCompositeColorSet>& compositeColors);

}  // namespace clsgint
