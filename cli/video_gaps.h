// Gaps in a video's timeline, as the frames a clip's reader delivered show
// them: a decoder drops damaged frames without a word.
#pragma once

#include <cstdint>
#include <vector>

namespace clsg {

// The frames missing between the frames delivered, by their times in
// seconds (negative: unknown, passed over) and the seconds a frame at the
// stream's nominal rate where each was delivered (0: the stream has no rate,
// so its gaps cannot be told): the frames that would fit between the first
// and the last time, less those delivered, so that a frame timed early (or
// twice at one time) counts nothing. 0 with fewer than three known times.
uint64_t framesSkipped(const std::vector<double>& seconds, const std::vector<double>& steps);

// The frames missing before the first one delivered, by the times and steps
// as above and the earliest time of the video's packets in the file (those
// the decoder was given; negative: unknown): as many as fit from that time to
// the first known frame time. A clip whose video starts after its sound
// loses none.
uint64_t framesMissingAtStart(const std::vector<double>& seconds, const std::vector<double>& steps,
                              double firstPacket);

// The frames missing after the last one delivered, by the clip's length in
// seconds as its file states it (a file cut short still states the whole
// length): as many as fit from the last known time on, at its nominal rate;
// 0 below 2 frames, below least seconds (see endShortfall) or without a
// nominal rate.
uint64_t framesMissingAtEnd(const std::vector<double>& seconds, const std::vector<double>& steps,
                            double length, double least);

// How many seconds short of the stated length the frames must end to be
// said: a second or 5 % of the length, whichever is less (a stated length may
// be estimated). Beside other streams (sound) the length may be theirs: 5 %,
// and none (infinity) where the file's last packet of any stream (negative:
// unknown) comes within the shortfall of it, as it does when the sound
// outlasts the video, or where packets of the file still begin (lastStart)
// half a second after the video's own end (videoEnd; negative: unknown): the
// video ended whole before a file cut short did. (A muxer lays the streams'
// packets side by side by their times, to within a frame or two; a packet's
// end says little, as sound may come in blocks of a second.)
double endShortfall(double length, bool otherStreams, double lastPacket, double videoEnd = -1.0,
                    double lastStart = -1.0);

// Whether the frames' known times (negative: unknown) stand still: two or more,
// none after the first (a file whose every frame is timed 0). Neither gaps
// nor frames missing at the end can then be told.
bool timesStandStill(const std::vector<double>& seconds);

}  // namespace clsg
