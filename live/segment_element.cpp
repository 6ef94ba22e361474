#include "clsg/live/segment_element.h"

#include <gst/base/gstbasetransform.h>
#include <gst/video/video.h>
#include <sys/stat.h>

#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "clsg/io/teaching_warnings.h"
#include "clsg/io/tool_file.h"
#include "clsg/live/frame_runner.h"
#include "clsg/regions/regions.h"

namespace {

using clsg::ToolFile;
using clsg::ToolLabel;

enum Output { kOverlay = 0, kLabels = 1, kPassthrough = 2 };

GType outputType() {
    static GType type = 0;
    static const GEnumValue values[] = {
        {kOverlay, "Each label's colour blended over its pixels", "overlay"},
        {kLabels, "The label image (GRAY8: label index, 255 for none)", "labels"},
        {kPassthrough, "The input unchanged", "passthrough"},
        {0, nullptr, nullptr}};
    if (g_once_init_enter(&type))
        g_once_init_leave(&type, g_enum_register_static("ClsgSegmentOutput", values));
    return type;
}

// What the element holds besides its GObject parts.
struct Impl {
    // Properties (set from any thread, read under the mutex).
    std::mutex mutex;
    bool started = false;  // between start and stop, when properties hold still
    std::string toolPath;
    std::shared_ptr<GBytes> toolData;  // the tool file's bytes, used instead of reading toolPath
    bool postMessages = true;
    int neighborhood = 0;  // 0: the tool file's, else 3
    bool normalize = false;
    unsigned threads = 0;
    Output output = kOverlay;
    bool regions = false;
    guint64 minRegionArea = 0;
    guint64 maxPixels = 0;                        // 0: no limit
    std::set<std::string> refusedFormats;         // said once each, until the next start (mutex)
    std::set<std::pair<long, long>> narrowSizes;  // the same, for frames narrower than N

    // From start() to stop().
    std::unique_ptr<ToolFile> file;
    std::unique_ptr<clsg::FrameRunner> runner;
    kvCompositeColorSegmenterRunParams params;
    std::vector<uint32_t> colours;
    bool drawOverlay = true;  // the output chosen at start (overlay, else passthrough)
    bool countRegions = false;
    bool posting = true;  // postMessages at start
    std::string refusal;  // why the frames of the caps set last are not segmented
    clsg::RegionOptions regionOptions;
    std::vector<uint64_t> regionCounts;  // per label, of the last frame
    guint64 frames = 0;

    // From the caps.
    GstVideoInfo in, out;
    clsg::PixelLayout layout;
    std::vector<unsigned char> labels;  // overlay and passthrough: the label image
    std::ptrdiff_t labelStride = 0;
};

}  // namespace

struct ClsgSegment {
    GstBaseTransform parent;
    Impl* impl;
};
struct ClsgSegmentClass {
    GstBaseTransformClass parent;
};

G_DEFINE_TYPE(ClsgSegment, clsg_segment, GST_TYPE_BASE_TRANSFORM)

namespace {

enum {
    PROP_0,
    PROP_TOOL,
    PROP_NEIGHBORHOOD,
    PROP_NORMALIZE,
    PROP_THREADS,
    PROP_OUTPUT,
    PROP_REGIONS,
    PROP_MIN_REGION_AREA,
    PROP_MAX_PIXELS,
    PROP_TOOL_DATA,
    PROP_POST_MESSAGES
};

#define CLSG_FORMATS "{ RGB, RGBx, BGRx }"

GstStaticPadTemplate sinkTemplate = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE(CLSG_FORMATS)));
GstStaticPadTemplate srcTemplate = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE(CLSG_FORMATS) "; " GST_VIDEO_CAPS_MAKE("GRAY8")));

ClsgSegment* self(gpointer object) { return reinterpret_cast<ClsgSegment*>(object); }

Output outputOf(ClsgSegment* s) {
    std::lock_guard<std::mutex> lock(s->impl->mutex);
    return s->impl->output;
}

void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    Impl& impl = *self(object)->impl;
    std::unique_lock<std::mutex> lock(impl.mutex);
    // Every property is taken when the element starts: a change while it
    // plays would show in get but not in the frames (or half of it would).
    if (impl.started) {
        lock.unlock();
        GST_ELEMENT_WARNING(self(object), LIBRARY, SETTINGS,
                            ("clsgsegment: %s is taken when the element starts; it cannot change "
                             "while it plays (set it in the NULL or READY state)",
                             g_param_spec_get_name(pspec)),
                            (nullptr));
        return;
    }
    switch (id) {
        case PROP_TOOL: {
            const gchar* path = g_value_get_string(value);
            impl.toolPath = path ? path : "";
            break;
        }
        case PROP_NEIGHBORHOOD:
            impl.neighborhood = g_value_get_int(value);
            break;
        case PROP_NORMALIZE:
            impl.normalize = g_value_get_boolean(value);
            break;
        case PROP_THREADS:
            impl.threads = g_value_get_uint(value);
            break;
        case PROP_OUTPUT:
            impl.output = static_cast<Output>(g_value_get_enum(value));
            break;
        case PROP_REGIONS:
            impl.regions = g_value_get_boolean(value);
            break;
        case PROP_MIN_REGION_AREA:
            impl.minRegionArea = g_value_get_uint64(value);
            break;
        case PROP_MAX_PIXELS:
            impl.maxPixels = g_value_get_uint64(value);
            break;
        case PROP_TOOL_DATA: {
            // Held, not copied: a tool file may be tens of megabytes.
            auto* bytes = static_cast<GBytes*>(g_value_dup_boxed(value));
            impl.toolData = bytes && g_bytes_get_size(bytes) > 0
                                ? std::shared_ptr<GBytes>(bytes, g_bytes_unref)
                                : nullptr;
            if (bytes && !impl.toolData) g_bytes_unref(bytes);
            break;
        }
        case PROP_POST_MESSAGES:
            impl.postMessages = g_value_get_boolean(value);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

void getProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    Impl& impl = *self(object)->impl;
    std::lock_guard<std::mutex> lock(impl.mutex);
    switch (id) {
        case PROP_TOOL:
            g_value_set_string(value, impl.toolPath.c_str());
            break;
        case PROP_NEIGHBORHOOD:
            g_value_set_int(value, impl.neighborhood);
            break;
        case PROP_NORMALIZE:
            g_value_set_boolean(value, impl.normalize);
            break;
        case PROP_THREADS:
            g_value_set_uint(value, impl.threads);
            break;
        case PROP_OUTPUT:
            g_value_set_enum(value, impl.output);
            break;
        case PROP_REGIONS:
            g_value_set_boolean(value, impl.regions);
            break;
        case PROP_MIN_REGION_AREA:
            g_value_set_uint64(value, impl.minRegionArea);
            break;
        case PROP_MAX_PIXELS:
            g_value_set_uint64(value, impl.maxPixels);
            break;
        case PROP_TOOL_DATA:
            g_value_set_boxed(value, impl.toolData.get());
            break;
        case PROP_POST_MESSAGES:
            g_value_set_boolean(value, impl.postMessages);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

void finalize(GObject* object) {
    delete self(object)->impl;
    G_OBJECT_CLASS(clsg_segment_parent_class)->finalize(object);
}

// The caps on the other side: GRAY8 of the same size for the label image,
// else the same caps.
GstCaps* transformCaps(GstBaseTransform* trans, GstPadDirection direction, GstCaps* caps,
                       GstCaps* filter) {
    GstCaps* result;
    if (outputOf(self(trans)) != kLabels) {
        result = gst_caps_ref(caps);
    } else {
        result = gst_caps_new_empty();
        for (guint i = 0, n = gst_caps_get_size(caps); i < n; ++i) {
            GstStructure* s = gst_structure_copy(gst_caps_get_structure(caps, i));
            gst_structure_remove_fields(s, "format", "colorimetry", "chroma-site", nullptr);
            if (direction == GST_PAD_SINK) {
                gst_structure_set(s, "format", G_TYPE_STRING, "GRAY8", nullptr);
            } else {
                GValue list = G_VALUE_INIT, item = G_VALUE_INIT;
                gst_value_list_init(&list, 3);
                g_value_init(&item, G_TYPE_STRING);
                for (const char* f : {"RGB", "RGBx", "BGRx"}) {
                    g_value_set_string(&item, f);
                    gst_value_list_append_value(&list, &item);
                }
                gst_structure_take_value(s, "format", &list);
                g_value_unset(&item);
            }
            result = gst_caps_merge_structure(result, s);
        }
    }
    if (filter) {
        GstCaps* both = gst_caps_intersect_full(filter, result, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(result);
        result = both;
    }
    return result;
}

gboolean setCaps(GstBaseTransform* trans, GstCaps* incaps, GstCaps* outcaps) {
    ClsgSegment* s = self(trans);
    Impl& impl = *s->impl;
    if (!gst_video_info_from_caps(&impl.in, incaps) ||
        !gst_video_info_from_caps(&impl.out, outcaps)) {
        GST_ELEMENT_ERROR(s, CORE, NEGOTIATION,
                          ("clsgsegment cannot read the caps %" GST_PTR_FORMAT, incaps), (nullptr));
        return FALSE;
    }
    switch (GST_VIDEO_INFO_FORMAT(&impl.in)) {
        case GST_VIDEO_FORMAT_RGB:
            impl.layout = {3, 0, 1, 2};
            break;
        case GST_VIDEO_FORMAT_RGBx:
            impl.layout = {4, 0, 1, 2};
            break;
        case GST_VIDEO_FORMAT_BGRx:
            impl.layout = {4, 2, 1, 0};
            break;
        default:
            GST_ELEMENT_ERROR(
                s, CORE, NEGOTIATION,
                ("clsgsegment takes RGB, RGBx or BGRx frames, not %s (put videoconvert before it)",
                 gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&impl.in))),
                (nullptr));
            return FALSE;
    }
    const bool labels = GST_VIDEO_INFO_FORMAT(&impl.out) == GST_VIDEO_FORMAT_GRAY8;
    gst_base_transform_set_in_place(trans, !labels);
    gst_base_transform_set_passthrough(trans, FALSE);
    const long width = GST_VIDEO_INFO_WIDTH(&impl.in), height = GST_VIDEO_INFO_HEIGHT(&impl.in);
    guint64 maxPixels;
    {
        std::lock_guard<std::mutex> lock(impl.mutex);
        maxPixels = impl.maxPixels;
    }
    // Frames too large are refused by the first one's transform, with one error
    // that ends the stream: caps refused here are tried again upstream, each
    // attempt posting its own error, and gst-launch-1.0 then at times waited
    // for ever.
    impl.refusal.clear();
    if (maxPixels != 0 && static_cast<guint64>(width) * static_cast<guint64>(height) > maxPixels) {
        impl.refusal = "frames of " + std::to_string(width) + " x " + std::to_string(height) +
                       " pixels are more than max-pixels allows (" + std::to_string(maxPixels) +
                       ")";
        impl.labels.clear();
        impl.labels.shrink_to_fit();
        return TRUE;
    }
    // Said once per frame size, as clsg run says it of an image.
    const std::string narrow = clsg::narrowImageNote(
        "a " + std::to_string(width) + " x " + std::to_string(height) + " frame", width, height,
        impl.params.neighborhoodSize());
    bool first = false;
    if (!narrow.empty()) {
        std::lock_guard<std::mutex> lock(impl.mutex);
        first = impl.narrowSizes.insert({width, height}).second;
    }
    if (first)
        GST_ELEMENT_WARNING(s, STREAM, FORMAT, ("clsgsegment: %s", narrow.c_str()), (nullptr));
    if (!labels) {
        // The label image lives here only for overlay and passthrough; without
        // the memory for it, the first frame is refused (an exception must not
        // reach GStreamer's C).
        impl.labelStride = width;
        try {
            impl.labels.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height),
                               0);
        } catch (const std::bad_alloc&) {
            impl.refusal = "frames of " + std::to_string(width) + " x " + std::to_string(height) +
                           " pixels need more memory for their labels than there is";
        }
    } else {
        impl.labels.clear();
        impl.labels.shrink_to_fit();
    }
    return TRUE;
}

// Explains a refused format: upstream then fails with not-negotiated, which
// alone does not say why.
gboolean query(GstBaseTransform* trans, GstPadDirection direction, GstQuery* query) {
    const gboolean answer =
        GST_BASE_TRANSFORM_CLASS(clsg_segment_parent_class)->query(trans, direction, query);
    if (direction == GST_PAD_SINK && GST_QUERY_TYPE(query) == GST_QUERY_ACCEPT_CAPS) {
        GstCaps* caps = nullptr;
        gboolean accepted = FALSE;
        gst_query_parse_accept_caps(query, &caps);
        gst_query_parse_accept_caps_result(query, &accepted);
        const GstStructure* s =
            caps && gst_caps_is_fixed(caps) ? gst_caps_get_structure(caps, 0) : nullptr;
        const gchar* format = s ? gst_structure_get_string(s, "format") : nullptr;
        Impl& impl = *self(trans)->impl;
        bool first = false;  // upstream asks again and again
        if (!accepted && format && gst_structure_has_name(s, "video/x-raw")) {
            std::lock_guard<std::mutex> lock(impl.mutex);
            first = impl.refusedFormats.insert(format).second;
        }
        if (first)
            GST_ELEMENT_WARNING(
                trans, CORE, NEGOTIATION,
                ("clsgsegment takes RGB, RGBx or BGRx frames, not %s (put videoconvert before it)",
                 format),
                (nullptr));
    }
    return answer;
}

gboolean unitSize(GstBaseTransform*, GstCaps* caps, gsize* size) {
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, caps)) return FALSE;
    *size = GST_VIDEO_INFO_SIZE(&info);
    return TRUE;
}

// The output buffer's size is that of the output caps' frame, whatever the
// input's rows' stride (a frame with padded rows described by a video meta):
// the default divides by the unit sizes, and refused such a frame.
gboolean transformSize(GstBaseTransform*, GstPadDirection, GstCaps*, gsize, GstCaps* othercaps,
                       gsize* othersize) {
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, othercaps)) return FALSE;
    *othersize = GST_VIDEO_INFO_SIZE(&info);
    return TRUE;
}

gboolean start(GstBaseTransform* trans) {
    ClsgSegment* s = self(trans);
    Impl& impl = *s->impl;
    std::string path;
    std::shared_ptr<GBytes> data;
    int neighborhood;
    bool normalize;
    unsigned threads;
    {
        std::lock_guard<std::mutex> lock(impl.mutex);
        impl.started = true;
        impl.refusedFormats.clear();
        impl.narrowSizes.clear();
        impl.drawOverlay = impl.output == kOverlay;
        impl.countRegions = impl.regions;
        impl.regionOptions = clsg::RegionOptions();
        impl.regionOptions.minArea = impl.minRegionArea;
        path = impl.toolPath;
        data = impl.toolData;
        impl.posting = impl.postMessages;
        neighborhood = impl.neighborhood;
        normalize = impl.normalize;
        threads = impl.threads;
    }
    // A start that fails is followed by no stop: the properties are free again
    // at once, so that the tool can be set and the element started anew.
    const auto failed = [&impl]() {
        std::lock_guard<std::mutex> lock(impl.mutex);
        impl.started = false;
        return FALSE;
    };
    if (path.empty() && !data) {
        GST_ELEMENT_ERROR(s, RESOURCE, NOT_FOUND,
                          ("clsgsegment has no tool file (set its tool property)"), (nullptr));
        return failed();
    }
    // A pipe (or a device) would wait for its writer inside the state change,
    // where nothing can stop the wait.
    struct stat st;
    if (!data && ::stat(path.c_str(), &st) == 0 &&
        (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode))) {
        GST_ELEMENT_ERROR(s, RESOURCE, OPEN_READ,
                          ("clsgsegment cannot use the tool file: %s is not a regular file (a "
                           "pipe would wait for its writer); give a tool file",
                           path.c_str()),
                          ("tool=%s", path.c_str()));
        return failed();
    }
    try {
        gsize size = 0;
        const auto* bytes =
            data ? static_cast<const char*>(g_bytes_get_data(data.get(), &size)) : nullptr;
        auto file = std::make_unique<ToolFile>(
            data ? clsg::decodeToolFile(bytes, size, path.empty() ? "tool-data" : path)
                 : clsg::readToolFile(path));
        impl.params = kvCompositeColorSegmenterRunParams(
            neighborhood > 0 ? neighborhood : file->neighborhoodSize.value_or(3), normalize);
        impl.colours.clear();
        for (const ToolLabel& label : file->labels) impl.colours.push_back(label.color);
        impl.runner = std::make_unique<clsg::FrameRunner>(threads);
        impl.file = std::move(file);
    } catch (const std::exception& e) {
        GST_ELEMENT_ERROR(s, RESOURCE, OPEN_READ,
                          ("clsgsegment cannot use the tool file: %s", e.what()),
                          ("tool=%s", path.c_str()));
        return failed();
    }
    impl.frames = 0;
    return TRUE;
}

gboolean stop(GstBaseTransform* trans) {
    Impl& impl = *self(trans)->impl;
    {
        std::lock_guard<std::mutex> lock(impl.mutex);
        impl.started = false;
    }
    impl.runner.reset();
    impl.file.reset();
    return TRUE;
}

// Each label's colour over its pixels, rows top to bottom of frame.
void drawOverlay(const Impl& impl, unsigned char* frame, std::ptrdiff_t stride, long width,
                 long top, long bottom) {
    const clsg::PixelLayout& l = impl.layout;
    const std::size_t count = impl.colours.size();
    unsigned char colour[256][3] = {};
    for (std::size_t i = 0; i < count && i < 255; ++i)
        for (int c = 0; c < 3; ++c)
            colour[i][c] = static_cast<unsigned char>(impl.colours[i] >> (16 - 8 * c));
    if (l.bytes == 4) {
        // Four bytes at a time: a label's colour at the channels' places, and a mask of the
        // channels that change (none for unlabelled pixels); the rounded-up mean of two bytes
        // is (a | b) - ((a ^ b) >> 1) within each byte.
        uint32_t colour32[256] = {}, mask32[256] = {};
        for (std::size_t i = 0; i < count && i < 255; ++i)
            for (int c = 0; c < 3; ++c) {
                const int at = c == 0 ? l.red : c == 1 ? l.green : l.blue;
                colour32[i] |= uint32_t{colour[i][c]} << (8 * at);
                mask32[i] |= uint32_t{0xff} << (8 * at);
            }
        for (long y = top; y < bottom; ++y) {
            const unsigned char* label = impl.labels.data() + y * impl.labelStride;
            unsigned char* p = frame + y * stride;
            for (long x = 0; x < width; ++x, p += 4) {
                uint32_t v;
                std::memcpy(&v, p, 4);
                const uint32_t c = colour32[label[x]], m = mask32[label[x]];
                const uint32_t mean = (v | c) - (((v ^ c) >> 1) & 0x7f7f7f7fu);
                v = (mean & m) | (v & ~m);
                std::memcpy(p, &v, 4);
            }
        }
        return;
    }
    for (long y = top; y < bottom; ++y) {
        const unsigned char* label = impl.labels.data() + y * impl.labelStride;
        unsigned char* p = frame + y * stride;
        for (long x = 0; x < width; ++x, p += l.bytes) {
            const unsigned v = label[x];
            if (v >= count) continue;
            p[l.red] = static_cast<unsigned char>((p[l.red] + colour[v][0] + 1) / 2);
            p[l.green] = static_cast<unsigned char>((p[l.green] + colour[v][1] + 1) / 2);
            p[l.blue] = static_cast<unsigned char>((p[l.blue] + colour[v][2] + 1) / 2);
        }
    }
}

// The frame's structure: see the header.
GstStructure* describe(const Impl& impl, GstBuffer* buffer, guint64 streamTime, long width,
                       long height) {
    const auto& histogram = impl.runner->histogram();
    const double total = static_cast<double>(width) * static_cast<double>(height);
    GValue names = G_VALUE_INIT, counts = G_VALUE_INIT, shares = G_VALUE_INIT, v = G_VALUE_INIT;
    gst_value_array_init(&names, static_cast<guint>(impl.colours.size()));
    gst_value_array_init(&counts, static_cast<guint>(impl.colours.size()));
    gst_value_array_init(&shares, static_cast<guint>(impl.colours.size()));
    uint64_t labelled = 0;
    for (std::size_t i = 0; i < impl.file->labels.size(); ++i) {
        const uint64_t n = histogram[i];
        labelled += n;
        g_value_init(&v, G_TYPE_STRING);
        g_value_set_string(&v, impl.file->labels[i].name.c_str());
        gst_value_array_append_and_take_value(&names, &v);
        v = G_VALUE_INIT;
        g_value_init(&v, G_TYPE_UINT64);
        g_value_set_uint64(&v, n);
        gst_value_array_append_and_take_value(&counts, &v);
        v = G_VALUE_INIT;
        g_value_init(&v, G_TYPE_DOUBLE);
        g_value_set_double(&v, static_cast<double>(n) / total);
        gst_value_array_append_and_take_value(&shares, &v);
        v = G_VALUE_INIT;
    }
    GstStructure* s = gst_structure_new(
        CLSG_SEGMENT_MESSAGE, "frame", G_TYPE_UINT64, impl.frames, "pts", G_TYPE_UINT64,
        GST_BUFFER_PTS(buffer), "duration", G_TYPE_UINT64, GST_BUFFER_DURATION(buffer), "time",
        G_TYPE_UINT64, streamTime, "width", G_TYPE_INT, static_cast<gint>(width), "height",
        G_TYPE_INT, static_cast<gint>(height), "unlabelled", G_TYPE_DOUBLE,
        static_cast<double>(static_cast<uint64_t>(total) - labelled) / total, nullptr);
    gst_structure_take_value(s, "labels", &names);
    gst_structure_take_value(s, "counts", &counts);
    gst_structure_take_value(s, "shares", &shares);
    if (impl.countRegions) {
        GValue regions = G_VALUE_INIT;
        gst_value_array_init(&regions, static_cast<guint>(impl.regionCounts.size()));
        for (uint64_t n : impl.regionCounts) {
            g_value_init(&v, G_TYPE_UINT64);
            g_value_set_uint64(&v, n);
            gst_value_array_append_and_take_value(&regions, &v);
            v = G_VALUE_INIT;
        }
        gst_structure_take_value(s, "regions", &regions);
    }
    return s;
}

// Posts the frame's message and attaches the meta to out.
void report(ClsgSegment* s, GstBuffer* out, long width, long height) {
    Impl& impl = *s->impl;
    const GstClockTime pts = GST_BUFFER_PTS(out);
    // A segment in other units (appsrc's default, bytes) cannot place the
    // frame in the stream: its pts stands for the time.
    const GstSegment& segment = GST_BASE_TRANSFORM(s)->segment;
    const guint64 streamTime = !GST_CLOCK_TIME_IS_VALID(pts) ? GST_CLOCK_TIME_NONE
                               : segment.format != GST_FORMAT_TIME
                                   ? pts
                                   : gst_segment_to_stream_time(&segment, GST_FORMAT_TIME, pts);
    GstStructure* structure = describe(impl, out, streamTime, width, height);
    if (gst_buffer_is_writable(out)) {
        // Behind another clsgsegment the buffer holds its meta: this
        // element's result replaces it (a reader finds the first one).
        GstCustomMeta* meta = gst_buffer_get_custom_meta(out, CLSG_SEGMENT_META);
        if (!meta) meta = gst_buffer_add_custom_meta(out, CLSG_SEGMENT_META);
        if (meta) {
            GstStructure* m = gst_custom_meta_get_structure(meta);
            gst_structure_remove_all_fields(m);
            for (const char* f : {"frame", "pts", "duration", "time", "width", "height", "labels",
                                  "counts", "shares", "unlabelled", "regions"})
                if (const GValue* v = gst_structure_get_value(structure, f))
                    gst_structure_set_value(m, f, v);
        }
    }
    if (impl.posting)
        gst_element_post_message(GST_ELEMENT(s), gst_message_new_element(GST_OBJECT(s), structure));
    else
        gst_structure_free(structure);
    ++impl.frames;
}

// The bytes of frame's first plane that may be read from its start on: a
// video meta's stride or offset may claim rows its buffer does not hold, and
// with a meta only the memory block the plane starts in is mapped.
std::size_t planeBytes(const GstVideoFrame& frame) {
    const auto* mapped = static_cast<const unsigned char*>(frame.map[0].data);
    const auto* data = static_cast<const unsigned char*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    if (data < mapped || data > mapped + frame.map[0].size) return 0;
    return frame.map[0].size - static_cast<std::size_t>(data - mapped);
}

// Segments frame (mapped for reading) into labels.
bool segment(ClsgSegment* s, const GstVideoFrame& frame, unsigned char* labels,
             std::ptrdiff_t stride) {
    Impl& impl = *s->impl;
    if (!impl.refusal.empty()) {
        GST_ELEMENT_ERROR(s, STREAM, FAILED, ("%s", impl.refusal.c_str()), (nullptr));
        return false;
    }
    clsg::FrameView view;
    view.data = static_cast<const unsigned char*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    view.width = GST_VIDEO_FRAME_WIDTH(&frame);
    view.height = GST_VIDEO_FRAME_HEIGHT(&frame);
    view.stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    view.layout = impl.layout;
    view.size = planeBytes(frame);
    try {
        impl.runner->run(impl.file->tool, impl.params, view, labels, stride);
        if (impl.countRegions) {
            clsg::RegionBuilder builder(kvPelRect(0, 0, view.width, view.height), false,
                                        impl.regionOptions);
            builder.addRows(labels, stride, nullptr, 0, view.height);
            impl.regionCounts = clsg::regionCounts(builder.finish(), impl.file->labels.size());
        }
    } catch (const std::exception& e) {
        GST_ELEMENT_ERROR(s, STREAM, FAILED,
                          ("clsgsegment could not segment a frame: %s", e.what()), (nullptr));
        return false;
    }
    return true;
}

// A frame that cannot be mapped: said with its buffer's size against the
// caps' when that is why.
GstFlowReturn mapFailed(ClsgSegment* s, GstBuffer* buffer, const GstVideoInfo& info) {
    const gsize held = gst_buffer_get_size(buffer), needed = GST_VIDEO_INFO_SIZE(&info);
    if (held < needed)
        GST_ELEMENT_ERROR(s, STREAM, FAILED,
                          ("clsgsegment cannot map a frame: its buffer holds %" G_GSIZE_FORMAT
                           " bytes, and a %d x %d %s frame needs %" G_GSIZE_FORMAT,
                           held, GST_VIDEO_INFO_WIDTH(&info), GST_VIDEO_INFO_HEIGHT(&info),
                           gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&info)), needed),
                          (nullptr));
    else
        GST_ELEMENT_ERROR(s, STREAM, FAILED, ("clsgsegment cannot map a frame"), (nullptr));
    return GST_FLOW_ERROR;
}

GstFlowReturn transformInPlace(GstBaseTransform* trans, GstBuffer* buffer) {
    ClsgSegment* s = self(trans);
    Impl& impl = *s->impl;
    const bool overlay = impl.drawOverlay;
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &impl.in, buffer, overlay ? GST_MAP_READWRITE : GST_MAP_READ))
        return mapFailed(s, buffer, impl.in);
    const long width = GST_VIDEO_FRAME_WIDTH(&frame), height = GST_VIDEO_FRAME_HEIGHT(&frame);
    if (!segment(s, frame, impl.labels.data(), impl.labelStride)) {
        gst_video_frame_unmap(&frame);
        return GST_FLOW_ERROR;
    }
    if (overlay) {
        unsigned char* data = static_cast<unsigned char*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
        const std::ptrdiff_t stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
        impl.runner->forEachBand(
            [&](long top, long bottom) { drawOverlay(impl, data, stride, width, top, bottom); });
    }
    gst_video_frame_unmap(&frame);
    report(s, buffer, width, height);
    return GST_FLOW_OK;
}

// The label image's rows are padded to 4 bytes: zeros there, not whatever
// the buffer held before (another frame's labels, or older memory).
void clearRowPadding(GstVideoFrame& frame) {
    auto* data = static_cast<unsigned char*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    const std::ptrdiff_t stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    const std::ptrdiff_t row =
        GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, 0) * GST_VIDEO_FRAME_WIDTH(&frame);
    for (long y = 0; stride > row && y < GST_VIDEO_FRAME_HEIGHT(&frame); ++y)
        std::memset(data + y * stride + row, 0, static_cast<std::size_t>(stride - row));
}

GstFlowReturn transform(GstBaseTransform* trans, GstBuffer* inbuf, GstBuffer* outbuf) {
    ClsgSegment* s = self(trans);
    Impl& impl = *s->impl;
    GstVideoFrame in, out;
    if (!gst_video_frame_map(&in, &impl.in, inbuf, GST_MAP_READ))
        return mapFailed(s, inbuf, impl.in);
    if (!gst_video_frame_map(&out, &impl.out, outbuf, GST_MAP_WRITE)) {
        gst_video_frame_unmap(&in);
        GST_ELEMENT_ERROR(s, STREAM, FAILED, ("clsgsegment cannot map an output frame"), (nullptr));
        return GST_FLOW_ERROR;
    }
    const long width = GST_VIDEO_FRAME_WIDTH(&in), height = GST_VIDEO_FRAME_HEIGHT(&in);
    const bool ok = segment(s, in, static_cast<unsigned char*>(GST_VIDEO_FRAME_PLANE_DATA(&out, 0)),
                            GST_VIDEO_FRAME_PLANE_STRIDE(&out, 0));
    if (ok) clearRowPadding(out);
    gst_video_frame_unmap(&out);
    gst_video_frame_unmap(&in);
    if (!ok) return GST_FLOW_ERROR;
    report(s, outbuf, width, height);
    return GST_FLOW_OK;
}

}  // namespace

static void clsg_segment_class_init(ClsgSegmentClass* klass) {
    GObjectClass* object = G_OBJECT_CLASS(klass);
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    GstBaseTransformClass* base = GST_BASE_TRANSFORM_CLASS(klass);
    object->set_property = setProperty;
    object->get_property = getProperty;
    object->finalize = finalize;

    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                GST_PARAM_MUTABLE_READY);
    g_object_class_install_property(
        object, PROP_TOOL,
        g_param_spec_string("tool", "Tool file", "The trained tool (.clsg file) to segment with",
                            nullptr, flags));
    g_object_class_install_property(
        object, PROP_TOOL_DATA,
        g_param_spec_boxed("tool-data", "Tool file's bytes",
                           "The tool file's bytes, used instead of reading the tool file (which "
                           "then only names it in messages)",
                           G_TYPE_BYTES, flags));
    g_object_class_install_property(
        object, PROP_NEIGHBORHOOD,
        g_param_spec_int("neighborhood", "Neighbourhood",
                         "Side of the scoring neighbourhood (0: the tool file's, else 3)", 0, 255,
                         0, flags));
    g_object_class_install_property(
        object, PROP_NORMALIZE,
        g_param_spec_boolean("normalize", "Normalise intensity",
                             "Match each frame's brightness to the trained colours first", FALSE,
                             flags));
    g_object_class_install_property(
        object, PROP_THREADS,
        g_param_spec_uint("threads", "Threads", "Threads segmenting each frame (0: one per core)",
                          0, 1024, 0, flags));
    g_object_class_install_property(object, PROP_OUTPUT,
                                    g_param_spec_enum("output", "Output", "What flows downstream",
                                                      outputType(), kOverlay, flags));

    g_object_class_install_property(
        object, PROP_REGIONS,
        g_param_spec_boolean("regions", "Count regions",
                             "Count each label's connected regions (8-connected) per frame", FALSE,
                             flags));
    g_object_class_install_property(
        object, PROP_MIN_REGION_AREA,
        g_param_spec_uint64("min-region-area", "Smallest region",
                            "Regions of fewer pixels are not counted", 0, G_MAXUINT64, 0, flags));
    g_object_class_install_property(
        object, PROP_MAX_PIXELS,
        g_param_spec_uint64("max-pixels", "Largest frame",
                            "Frames of more pixels are refused (0: any size)", 0, G_MAXUINT64, 0,
                            flags));
    g_object_class_install_property(
        object, PROP_POST_MESSAGES,
        g_param_spec_boolean("post-messages", "Post messages",
                             "Post each frame's clsg-segment message on the bus (the buffer's "
                             "meta holds the same; an application that reads no bus turns "
                             "them off, or they pile up)",
                             TRUE, flags));

    gst_element_class_set_static_metadata(element, "Colour segmentation", "Filter/Analyzer/Video",
                                          "Labels each pixel with a trained clsg tool", "clsg");
    gst_element_class_add_static_pad_template(element, &sinkTemplate);
    gst_element_class_add_static_pad_template(element, &srcTemplate);

    base->transform_caps = transformCaps;
    base->set_caps = setCaps;
    base->get_unit_size = unitSize;
    base->transform_size = transformSize;
    base->query = query;
    base->start = start;
    base->stop = stop;
    base->transform_ip = transformInPlace;
    base->transform = transform;
    base->passthrough_on_same_caps = FALSE;
    base->transform_ip_on_passthrough = FALSE;
}

static void clsg_segment_init(ClsgSegment* s) {
    s->impl = new Impl;
    gst_base_transform_set_qos_enabled(GST_BASE_TRANSFORM(s), TRUE);
}

gboolean clsg_segment_register(GstPlugin* plugin) {
    static const gchar* tags[] = {nullptr};
    if (!gst_meta_get_info(CLSG_SEGMENT_META))
        gst_meta_register_custom(CLSG_SEGMENT_META, tags, nullptr, nullptr, nullptr);
    return gst_element_register(plugin, "clsgsegment", GST_RANK_NONE, CLSG_TYPE_SEGMENT);
}

gboolean clsg_segment_register_static(void) {
    return gst_plugin_register_static(
        GST_VERSION_MAJOR, GST_VERSION_MINOR, "clsg", "Colour segmentation with trained clsg tools",
        clsg_segment_register, "0.1.0", "Proprietary", "clsg", "clsg", "clsg");
}

#if defined(__SANITIZE_ADDRESS__)
// GLib's library constructor keeps a block for the life of the process, and
// LeakSanitizer would report it at the exit of every program that links
// GStreamer. GLib is built without frame pointers, so the report's stack ends
// in g_malloc: the suppression excuses every block GLib allocates (leaks of
// C++ objects are still reported).
extern "C" const char* __lsan_default_suppressions() { return "leak:libglib-2.0.so\n"; }
#endif
