// Gaps in a video's timeline, as the frames a clip's reader delivered show
// them: a decoder drops damaged frames without a word.
#pragma once

#include <cstdint>
#include <vector>

namespace clsg {

// The frames missing between the frames delivered, by their times in
// seconds (negative: unknown, skipped): where one frame follows another by
// more than 1.5 times the shortest step, as many frames as would fit there.
// 0 with fewer than three known times.
uint64_t framesSkipped(const std::vector<double>& seconds);

}  // namespace clsg
