#include "cli/video_gaps.h"

#include <algorithm>
#include <cmath>

namespace clsg {

uint64_t framesSkipped(const std::vector<double>& seconds) {
    std::vector<double> known;
    for (double t : seconds)
        if (t >= 0) known.push_back(t);
    std::vector<double> steps;
    for (std::size_t i = 1; i < known.size(); ++i)
        if (known[i] > known[i - 1]) steps.push_back(known[i] - known[i - 1]);
    if (steps.size() < 2) return 0;
    // The shortest step: the median would be two frames where over half are dropped.
    const double step = *std::min_element(steps.begin(), steps.end());
    uint64_t skipped = 0;
    for (double d : steps)
        if (d > 1.5 * step) skipped += static_cast<uint64_t>(std::llround(d / step)) - 1;
    return skipped;
}

}  // namespace clsg
