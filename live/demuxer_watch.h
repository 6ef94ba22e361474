// Whether a file's demuxer has given up without saying so (internal to the
// video path of `clsg run`; not installed).
//
// An element that pulls its input (a demuxer) may stop its task without
// ending its streams: before exposing a single one, or after (as oggdemux does
// at the second of two files joined end to end, whose new stream decodebin
// offers on a pad no one links, where it ends unseen). decodebin now and then
// swallows the error such an element posts, and a pipeline would then wait
// for ever.
#pragma once

#include <gst/gst.h>

namespace clsg {

enum class GaveUp { no, beforeStreams, midStream };

// Looks at every element in the pipeline once.
GaveUp demuxerGaveUp(GstElement* pipeline);

// Counts the checks in a row that found a demuxer given up: two in a row (a
// tenth of a second apart) end the wait before any stream, ten after. A frame
// that arrives meanwhile starts the count again (reset).
struct GiveUpWatch {
    int seen = 0;
    GaveUp last = GaveUp::no;
    bool ended(GstElement* pipeline);
    void reset() { seen = 0; }
};

}  // namespace clsg
