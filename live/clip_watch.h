// What a clip's file says of its video besides the decoded frames (internal
// to the video path of `clsg run`; not installed): the earliest time of the
// packets its video decoder is given, since frames the decoder cannot read
// never come out of it, and whether the file holds other streams (sound),
// whose length may be the one it states.
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <cstdint>

namespace clsg {

class ClipWatch {
public:
    // Watches the decoders and demuxers that decodebin adds from now on. The
    // watch must outlive the pipeline.
    void watch(GstElement* decodebin);
    // In seconds of the stream; negative when no packet with a time was seen
    // (a clip of raw frames has no decoder).
    double firstPacket() const;
    bool otherStreams() const { return otherStreams_; }

private:
    static void elementAdded(GstBin* bin, GstBin* sub, GstElement* element, gpointer watch);
    static void demuxerPadAdded(GstElement* demuxer, GstPad* pad, gpointer watch);
    static GstPadProbeReturn packet(GstPad* pad, GstPadProbeInfo* info, gpointer watch);

    std::atomic<int64_t> firstNs_{INT64_MAX};
    std::atomic<bool> otherStreams_{false};
};

}  // namespace clsg
