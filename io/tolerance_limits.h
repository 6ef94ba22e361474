// The training tolerances the programs take, and a tool file holds.
#pragma once

#include <cstdint>

namespace clsg {

// The smallest colour tolerance fraction (the largest is 1). A colour's weight
// is the fraction squared times a distance term: at 0, and at fractions below
// about 1e-85, every weight is 0 and the tool labels no pixel. Fractions down
// to this one still label as the smallest minimum allows.
constexpr double kMinToleranceFrac = 1e-6;
// The largest colorToleranceMin. Above it the floor widens every level range
// while the tolerance the scores are scaled by is kept in 8 bits and wraps
// round (256 scores as 0).
constexpr uint32_t kMaxToleranceMin = 255;

}  // namespace clsg
