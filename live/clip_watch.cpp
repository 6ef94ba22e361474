#include "clip_watch.h"

#include <string>

namespace clsg {

namespace {

bool klassHas(GstElement* element, const char* word) {
    GstElementFactory* factory = gst_element_get_factory(element);
    const gchar* klass =
        factory ? gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS) : nullptr;
    return klass && std::string(klass).find(word) != std::string::npos;
}

}  // namespace

void ClipWatch::watch(GstElement* decodebin) {
    g_signal_connect(decodebin, "deep-element-added", G_CALLBACK(elementAdded), this);
}

double ClipWatch::firstPacket() const {
    const int64_t ns = firstNs_;
    return ns == INT64_MAX ? -1.0 : static_cast<double>(ns) / GST_SECOND;
}

void ClipWatch::elementAdded(GstBin*, GstBin*, GstElement* element, gpointer watch) {
    if (klassHas(element, "Demuxer")) {
        g_signal_connect(element, "pad-added", G_CALLBACK(demuxerPadAdded), watch);
    } else if (klassHas(element, "Decoder") &&
               (klassHas(element, "Video") || klassHas(element, "Image"))) {
        if (GstPad* sink = gst_element_get_static_pad(element, "sink")) {
            gst_pad_add_probe(sink, GST_PAD_PROBE_TYPE_BUFFER, packet, watch, nullptr);
            gst_object_unref(sink);
        }
    }
}

// Any stream but video or pictures: the file's stated length may be its.
void ClipWatch::demuxerPadAdded(GstElement*, GstPad* pad, gpointer watch) {
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (!caps) caps = gst_pad_query_caps(pad, nullptr);
    const GstStructure* s =
        caps && !gst_caps_is_empty(caps) ? gst_caps_get_structure(caps, 0) : nullptr;
    const std::string kind = s ? gst_structure_get_name(s) : "";
    if (kind.rfind("video/", 0) != 0 && kind.rfind("image/", 0) != 0)
        static_cast<ClipWatch*>(watch)->otherStreams_ = true;
    if (caps) gst_caps_unref(caps);
}

GstPadProbeReturn ClipWatch::packet(GstPad* pad, GstPadProbeInfo* info, gpointer watch) {
    const GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    GstEvent* event = gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0);
    if (!buffer || !GST_BUFFER_PTS_IS_VALID(buffer) || !event) {
        if (event) gst_event_unref(event);
        return GST_PAD_PROBE_OK;
    }
    const GstSegment* segment = nullptr;
    gst_event_parse_segment(event, &segment);
    // In the stream's time, as the frames' times are.
    const guint64 t =
        segment->format == GST_FORMAT_TIME
            ? gst_segment_to_stream_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer))
            : GST_BUFFER_PTS(buffer);
    gst_event_unref(event);
    if (!GST_CLOCK_TIME_IS_VALID(t)) return GST_PAD_PROBE_OK;
    std::atomic<int64_t>& first = static_cast<ClipWatch*>(watch)->firstNs_;
    int64_t seen = first;
    while (static_cast<int64_t>(t) < seen && !first.compare_exchange_weak(seen, int64_t(t))) {
    }
    return GST_PAD_PROBE_OK;
}

}  // namespace clsg
