#include "clip_watch.h"

#include <algorithm>

namespace clsg {

namespace {

bool klassHas(GstElement* element, const char* word) {
    GstElementFactory* factory = gst_element_get_factory(element);
    const gchar* klass =
        factory ? gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS) : nullptr;
    return klass && std::string(klass).find(word) != std::string::npos;
}

// A buffer's time in the stream, as the frames' times are; -1 when it has none.
int64_t streamTime(GstPad* pad, const GstBuffer* buffer) {
    if (!buffer || !GST_BUFFER_PTS_IS_VALID(buffer)) return -1;
    GstEvent* event = gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0);
    if (!event) return -1;
    const GstSegment* segment = nullptr;
    gst_event_parse_segment(event, &segment);
    const guint64 t =
        segment->format == GST_FORMAT_TIME
            ? gst_segment_to_stream_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer))
            : GST_BUFFER_PTS(buffer);
    gst_event_unref(event);
    return GST_CLOCK_TIME_IS_VALID(t) ? static_cast<int64_t>(t) : -1;
}

void raiseTo(std::atomic<int64_t>& most, int64_t t) {
    for (int64_t seen = most; t > seen && !most.compare_exchange_weak(seen, t);) {
    }
}

std::string streamId(GstPad* pad) {
    gchar* id = gst_pad_get_stream_id(pad);
    const std::string text = id ? id : "";
    g_free(id);
    return text;
}

}  // namespace

void ClipWatch::watch(GstElement* decodebin, GstPad* segmented) {
    g_signal_connect(decodebin, "deep-element-added", G_CALLBACK(elementAdded), this);
    gst_pad_add_probe(segmented, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, streamStart, this, nullptr);
}

double ClipWatch::firstPacket() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = firstNs_.find(segmentedStream_);
    return it == firstNs_.end() ? -1.0 : static_cast<double>(it->second) / GST_SECOND;
}

double ClipWatch::segmentedLastPacket() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = endNs_.find(segmentedStream_);
    return it == endNs_.end() ? -1.0 : static_cast<double>(it->second) / GST_SECOND;
}

double ClipWatch::lastPacketStart() const {
    const int64_t ns = lastStartNs_;
    return ns < 0 ? -1.0 : static_cast<double>(ns) / GST_SECOND;
}

double ClipWatch::lastPacket() const {
    const int64_t ns = lastNs_;
    return ns < 0 ? -1.0 : static_cast<double>(ns) / GST_SECOND;
}

void ClipWatch::elementAdded(GstBin*, GstBin*, GstElement* element, gpointer watch) {
    if (klassHas(element, "Demuxer")) {
        g_signal_connect(element, "pad-added", G_CALLBACK(demuxerPadAdded), watch);
    } else if (klassHas(element, "Decoder") &&
               (klassHas(element, "Video") || klassHas(element, "Image"))) {
        ++static_cast<ClipWatch*>(watch)->videoDecoders_;
        if (GstPad* sink = gst_element_get_static_pad(element, "sink")) {
            gst_pad_add_probe(sink, GST_PAD_PROBE_TYPE_BUFFER, decoderPacket, watch, nullptr);
            gst_object_unref(sink);
        }
    }
}

// A second stream of any kind (sound, another video track): the file's
// stated length may be its.
void ClipWatch::demuxerPadAdded(GstElement*, GstPad* pad, gpointer watch) {
    ClipWatch& self = *static_cast<ClipWatch*>(watch);
    if (++self.streams_ > 1) self.otherStreams_ = true;
    // Raw frames need no decoder, so they are counted here.
    if (GstCaps* caps = gst_pad_get_current_caps(pad)) {
        const GstStructure* s = gst_caps_get_size(caps) ? gst_caps_get_structure(caps, 0) : nullptr;
        if (s && gst_structure_has_name(s, "video/x-raw")) ++self.rawVideoPads_;
        gst_caps_unref(caps);
    }
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, demuxerPacket, watch, nullptr);
}

GstPadProbeReturn ClipWatch::decoderPacket(GstPad* pad, GstPadProbeInfo* info, gpointer watch) {
    const int64_t t = streamTime(pad, GST_PAD_PROBE_INFO_BUFFER(info));
    if (t < 0) return GST_PAD_PROBE_OK;
    ClipWatch& self = *static_cast<ClipWatch*>(watch);
    const std::string id = streamId(pad);
    std::lock_guard<std::mutex> lock(self.mutex_);
    const auto [it, added] = self.firstNs_.emplace(id, t);
    if (!added && t < it->second) it->second = t;
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn ClipWatch::demuxerPacket(GstPad* pad, GstPadProbeInfo* info, gpointer watch) {
    // Where the packet ends: sound comes in blocks of up to a second.
    const GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    int64_t t = streamTime(pad, buffer);
    raiseTo(static_cast<ClipWatch*>(watch)->lastStartNs_, t);
    if (t >= 0 && GST_BUFFER_DURATION_IS_VALID(buffer))
        t += static_cast<int64_t>(GST_BUFFER_DURATION(buffer));
    ClipWatch& self = *static_cast<ClipWatch*>(watch);
    raiseTo(self.lastNs_, t);
    if (t < 0) return GST_PAD_PROBE_OK;
    const std::string id = streamId(pad);
    std::lock_guard<std::mutex> lock(self.mutex_);
    int64_t& end = self.endNs_.emplace(id, t).first->second;
    end = std::max(end, t);
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn ClipWatch::streamStart(GstPad*, GstPadProbeInfo* info, gpointer watch) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) != GST_EVENT_STREAM_START) return GST_PAD_PROBE_OK;
    const gchar* id = nullptr;
    gst_event_parse_stream_start(event, &id);
    ClipWatch& self = *static_cast<ClipWatch*>(watch);
    std::lock_guard<std::mutex> lock(self.mutex_);
    self.segmentedStream_ = id ? id : "";
    return GST_PAD_PROBE_OK;
}

}  // namespace clsg
