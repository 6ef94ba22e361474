// What a clip's file says of its video besides the decoded frames (internal
// to the video path of `clsg run`; not installed): the earliest time of the
// packets the segmented stream's decoder is given, since frames the decoder
// cannot read never come out of it; whether the file holds other streams
// (sound, other video tracks), whose length may be the one it states; the
// time where the last packet of any stream ends, as a file cut short does;
// and where the segmented stream's own packets end.
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace clsg {

class ClipWatch {
public:
    // Watches the decoders and demuxers that decodebin adds from now on, and
    // which stream reaches segmented, a pad after decodebin. The watch must
    // outlive the pipeline.
    void watch(GstElement* decodebin, GstPad* segmented);
    // In seconds of the stream; negative when unknown (a clip of raw frames
    // has no decoder, and packets may carry no time).
    double firstPacket() const;
    double lastPacket() const;
    // Where the segmented stream's last packet ends, and where the latest
    // packet of any stream begins.
    double segmentedLastPacket() const;
    double lastPacketStart() const;
    bool otherStreams() const { return otherStreams_; }
    // Video streams: one per video decoder decodebin plugged, and one per raw
    // video stream of the demuxer (which needs none).
    int videoStreams() const { return videoDecoders_ + rawVideoPads_; }

private:
    static void elementAdded(GstBin* bin, GstBin* sub, GstElement* element, gpointer watch);
    static void demuxerPadAdded(GstElement* demuxer, GstPad* pad, gpointer watch);
    static GstPadProbeReturn decoderPacket(GstPad* pad, GstPadProbeInfo* info, gpointer watch);
    static GstPadProbeReturn demuxerPacket(GstPad* pad, GstPadProbeInfo* info, gpointer watch);
    static GstPadProbeReturn streamStart(GstPad* pad, GstPadProbeInfo* info, gpointer watch);

    mutable std::mutex mutex_;
    std::map<std::string, int64_t> firstNs_;  // by stream id
    std::map<std::string, int64_t> endNs_;    // by stream id, of the demuxers' packets
    std::string segmentedStream_;
    std::atomic<int64_t> lastNs_{-1};
    std::atomic<int64_t> lastStartNs_{-1};
    std::atomic<int> streams_{0};  // the demuxers' pads
    std::atomic<bool> otherStreams_{false};
    std::atomic<int> videoDecoders_{0};
    std::atomic<int> rawVideoPads_{0};  // the demuxers' pads of raw frames
};

}  // namespace clsg
