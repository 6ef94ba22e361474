#include "clsg/tuning/fitting_fraction.h"

#include <cmath>

namespace clsg {

double nearestFittingFraction(const std::vector<kvCompositeColorSet>& sets,
                              const kvCompositeColorSegmenterTrainParams& params,
                              const kvCompositeColorSegmenterBudget& budget) {
    const double asked = params.colorToleranceFrac();
    const auto distance = [asked](double frac) { return std::fabs(std::log(frac / asked)); };
    double nearest = 0;
    for (const double frac : {0.01, 0.02, 0.05, 0.1, 0.2, 0.3, 0.5, 1.0}) {
        if (nearest != 0 && distance(frac) >= distance(nearest)) continue;
        kvCompositeColorSegmenterTrainParams other = params;
        other.colorToleranceFrac(frac);
        try {
            budget.check(sets, other);
            nearest = frac;
        } catch (const kvCompositeColorSegmenterBudget::Exceeded&) {
        }
    }
    return nearest;
}

}  // namespace clsg
