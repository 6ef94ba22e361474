// The smallest colour tolerance fraction the programs take. A colour's weight
// is the fraction squared times a distance term: at 0, and at fractions below
// about 1e-85, every weight is 0 and the tool labels no pixel. Fractions down
// to this one still label as the smallest minimum allows.
#pragma once

namespace clsg {

constexpr double kMinToleranceFrac = 1e-6;

}  // namespace clsg
