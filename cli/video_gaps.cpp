#include "cli/video_gaps.h"

#include <algorithm>
#include <cmath>

namespace clsg {

uint64_t framesSkipped(const std::vector<double>& seconds, const std::vector<double>& steps) {
    int64_t skipped = 0;
    double last = -1.0;
    std::size_t known = 0;
    for (std::size_t i = 0; i < seconds.size(); ++i) {
        const double t = seconds[i], step = i < steps.size() ? steps[i] : 0.0;
        if (t < 0) continue;
        // Each step counts the frames that would fit in it, less the one
        // delivered: a frame timed early and the next on time add up to 0.
        if (known++ > 0 && step > 0) skipped += std::llround((t - last) / step) - 1;
        last = t;
    }
    return known < 3 || skipped < 0 ? 0 : static_cast<uint64_t>(skipped);
}

uint64_t framesMissingAtStart(const std::vector<double>& seconds, const std::vector<double>& steps,
                              double firstPacket) {
    for (std::size_t i = 0; firstPacket >= 0 && i < seconds.size(); ++i) {
        if (seconds[i] < 0) continue;
        const double step = i < steps.size() ? steps[i] : 0.0;
        const int64_t missing = step > 0 ? std::llround((seconds[i] - firstPacket) / step) : 0;
        return missing > 0 ? static_cast<uint64_t>(missing) : 0;
    }
    return 0;
}

uint64_t framesMissingAtEnd(const std::vector<double>& seconds, const std::vector<double>& steps,
                            double length, double least) {
    for (std::size_t i = seconds.size(); i-- > 0;) {
        if (seconds[i] < 0) continue;
        const double step = i < steps.size() ? steps[i] : 0.0;
        if (step <= 0) return 0;
        // The last frame lasts a step; a length estimated from the bit rate
        // (some streams) may be a little off.
        const int64_t missing = std::llround((length - seconds[i]) / step) - 1;
        return missing >= 2 && static_cast<double>(missing) * step >= least
                   ? static_cast<uint64_t>(missing)
                   : 0;
    }
    return 0;
}

double endShortfall(double length, bool otherStreams, double lastPacket, double videoEnd,
                    double lastStart) {
    const double least = std::min(0.05 * length, 1.0);
    if (!otherStreams) return least;
    if (lastPacket >= 0 && length - lastPacket < least) return HUGE_VAL;
    if (videoEnd >= 0 && lastStart >= 0 && lastStart - videoEnd >= 0.5) return HUGE_VAL;
    return 0.05 * length;
}

bool timesStandStill(const std::vector<double>& seconds) {
    std::size_t known = 0;
    double first = 0.0;
    for (const double t : seconds) {
        if (t < 0) continue;
        if (known++ == 0) first = t;
        if (t > first) return false;
    }
    return known >= 2;
}

}  // namespace clsg
