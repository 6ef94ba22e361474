// Examples over a training budget at one tolerance fraction may fit at
// another: a smaller fraction costs more memory (a finer colour grid), a
// larger one more work per example pixel (a wider box).
#pragma once

#include <vector>

#include "clsg/colorseg/budget.h"
#include "clsg/colorseg/composite_color.h"
#include "clsg/colorseg/params.h"

namespace clsg {

// The fraction nearest params' (by ratio) among 0.01, 0.02, 0.05, 0.1, 0.2,
// 0.3, 0.5 and 1 at which training sets fits within budget, params' minimum
// kept; 0 when none does. Reads each example pixel at most once per fraction.
double nearestFittingFraction(const std::vector<kvCompositeColorSet>& sets,
                              const kvCompositeColorSegmenterTrainParams& params,
                              const kvCompositeColorSegmenterBudget& budget);

}  // namespace clsg
