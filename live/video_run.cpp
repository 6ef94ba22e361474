#include "clsg/live/video_run.h"

#include <fcntl.h>
#include <gst/gst.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "clip_watch.h"
#include "clsg/live/segment_element.h"
#include "demuxer_watch.h"

namespace clsg {

namespace {

// Registers the element once per process, after gst_init.
void initGstreamer() {
    static const bool ready = []() {
        gst_init(nullptr, nullptr);
        return clsg_segment_register_static() != FALSE;
    }();
    if (!ready) throw VideoError("cannot register the clsgsegment element with GStreamer");
}

bool have(const char* factory) {
    GstElementFactory* f = gst_element_factory_find(factory);
    if (f) gst_object_unref(f);
    return f != nullptr;
}

struct Encoder {
    const char* launch;  // encoder ! muxer
    const char* extension;
};

const Encoder kEncoders[] = {
    // (This libav encoder's timestamps confuse the MP4 muxers; AVI counts
    // frames instead.)
    {"avenc_mpeg4 pass=quant quantizer=3 ! avimux", ".avi"},
    {"vp8enc deadline=1 target-bitrate=8000000 ! webmmux", ".webm"},
    {"jpegenc quality=90 ! avimux", ".avi"},
};
const Encoder& kMotionJpeg = kEncoders[2];

const Encoder* chooseEncoder() {
    static const char* needs[][2] = {
        {"avenc_mpeg4", "avimux"}, {"vp8enc", "webmmux"}, {"jpegenc", "avimux"}};
    for (std::size_t i = 0; i < 3; ++i)
        if (have(needs[i][0]) && have(needs[i][1])) return &kEncoders[i];
    return nullptr;
}

struct Unref {
    void operator()(GstElement* e) const {
        gst_element_set_state(e, GST_STATE_NULL);
        gst_object_unref(e);
    }
};

VideoFrameReport reportOf(const GstStructure* s) {
    VideoFrameReport r;
    guint64 frame = 0, pts = GST_CLOCK_TIME_NONE;
    gst_structure_get_uint64(s, "frame", &frame);
    gst_structure_get_uint64(s, "time", &pts);  // in the stream: a clip's first frame at 0
    gst_structure_get_double(s, "unlabelled", &r.unlabelled);
    gst_structure_get_int(s, "width", &r.width);
    gst_structure_get_int(s, "height", &r.height);
    r.frame = frame;
    r.seconds = GST_CLOCK_TIME_IS_VALID(pts) ? static_cast<double>(pts) / GST_SECOND : -1.0;
    const GValue* names = gst_structure_get_value(s, "labels");
    const GValue* shares = gst_structure_get_value(s, "shares");
    if (names && shares)
        for (guint i = 0, n = gst_value_array_get_size(names); i < n; ++i) {
            r.labels.emplace_back(g_value_get_string(gst_value_array_get_value(names, i)));
            r.shares.push_back(g_value_get_double(gst_value_array_get_value(shares, i)));
        }
    return r;
}

}  // namespace

bool hasVideoExtension(const std::string& path) {
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return false;
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* v : {"mp4", "m4v", "mov", "mkv", "webm", "avi", "ogv", "ogg", "mpg", "mpeg",
                          "ts", "wmv", "flv"})
        if (ext == v) return true;
    return false;
}

std::string overlayVideoExtension() {
    initGstreamer();
    const Encoder* e = chooseEncoder();
    if (!e)
        throw VideoError(
            "no video encoder found (install gstreamer1.0-libav or gstreamer1.0-plugins-good)");
    return e->extension;
}

namespace {

// The frames a video file decodes to (0 when it cannot be decoded), or none
// when goOn, asked every tenth of a second, says to stop.
std::optional<uint64_t> framesIn(const std::string& path, const std::function<bool()>& goOn) {
    GError* error = nullptr;
    std::unique_ptr<GstElement, Unref> pipeline(gst_parse_launch(
        "filesrc name=in ! decodebin ! fakesink name=sink signal-handoffs=true", &error));
    if (error) {
        g_clear_error(&error);
        return 0;
    }
    GstBin* bin = GST_BIN(pipeline.get());
    GstElement* in = gst_bin_get_by_name(bin, "in");
    g_object_set(in, "location", path.c_str(), nullptr);
    gst_object_unref(in);
    uint64_t frames = 0;
    GstElement* sink = gst_bin_get_by_name(bin, "sink");
    g_signal_connect(sink, "handoff", G_CALLBACK(+[](GstElement*, GstBuffer*, GstPad*, gpointer n) {
                         ++*static_cast<uint64_t*>(n);
                     }),
                     &frames);
    gst_object_unref(sink);
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline.get());
    GstMessage* m = nullptr;
    bool stopped = false;
    for (GiveUpWatch watch; !m && !watch.ended(pipeline.get());) {
        if ((stopped = !goOn())) break;
        m = gst_bus_timed_pop_filtered(
            bus, GST_SECOND / 10, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    }
    const bool ended = m && GST_MESSAGE_TYPE(m) == GST_MESSAGE_EOS;
    if (m) gst_message_unref(m);
    gst_object_unref(bus);
    pipeline.reset();
    if (stopped) return std::nullopt;
    return ended ? frames : 0;
}

// The encoder would not take the clip's frames (their size, mostly).
class EncoderRefused : public VideoError {
public:
    using VideoError::VideoError;
};

// GStreamer's message with what it means here: "Could not demultiplex stream
// (the file holds no frame, or is damaged)."
std::string explained(std::string message, const std::string& meaning) {
    if (!message.empty() && message.back() == '.') message.pop_back();
    return message + " (" + meaning + ").";
}

// What a demuxer that stops after frames it gave means: a second stream it
// cannot follow (files joined end to end).
std::string streamChangedAfter(std::size_t frames) {
    return "after frame " + std::to_string(frames) +
           " the file's stream changes in a way clsg cannot follow, as in files joined end to "
           "end";
}

// The size of the frames decodebin gives, as "W x H" (empty when unknown).
std::string decodedSize(GstBin* bin) {
    std::string size;
    GstElement* dec = gst_bin_get_by_name(bin, "dec");
    if (!dec) return size;
    GstIterator* it = gst_element_iterate_src_pads(dec);
    GValue item = G_VALUE_INIT;
    while (size.empty() && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        GstCaps* caps = gst_pad_get_current_caps(GST_PAD(g_value_get_object(&item)));
        gint w = 0, h = 0;
        if (caps && gst_structure_get_int(gst_caps_get_structure(caps, 0), "width", &w) &&
            gst_structure_get_int(gst_caps_get_structure(caps, 0), "height", &h))
            size = std::to_string(w) + " x " + std::to_string(h);
        if (caps) gst_caps_unref(caps);
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    gst_object_unref(dec);
    return size;
}

// What the caps of the segmented frames say as the clip goes: written on the
// streaming thread, read on the caller's.
struct CapsWatch {
    bool avi = false;                        // the overlay's container takes 16 to 4096 a side
    uint64_t maxPixels = 0;                  // larger frames are refused; 0: any size
    std::atomic<bool> pixelsRefused{false};  // and said so
    std::atomic<double> step{0.0};           // seconds a frame at the nominal rate; 0: none
};

constexpr const char* kSizeRefused = "clsg-frame-size";
constexpr const char* kPixelsRefused = "clsg-frame-pixels";

// Watches the caps of the decoded frames. A frame size the overlay's
// container cannot take is reported at once: the encoder's own refusal is at
// times lost, and the pipeline then waits for ever. Frames of no rate (a clip
// of varying rate) are sent on at 25 a second, as the muxer needs one.
GstPadProbeReturn watchCaps(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
    CapsWatch& watch = *static_cast<CapsWatch*>(data);
    GstCaps* caps = nullptr;
    gst_event_parse_caps(event, &caps);
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    gint w = 0, h = 0, num = 0, den = 0;
    gst_structure_get_int(s, "width", &w);
    gst_structure_get_int(s, "height", &h);
    if (watch.avi && (w < 16 || h < 16 || w > 4096 || h > 4096)) {
        GstObject* parent = gst_pad_get_parent(pad);
        gst_element_post_message(GST_ELEMENT(parent),
                                 gst_message_new_application(
                                     parent, gst_structure_new(kSizeRefused, "width", G_TYPE_INT, w,
                                                               "height", G_TYPE_INT, h, nullptr)));
        gst_object_unref(parent);
        return GST_PAD_PROBE_OK;
    }
    if (gst_structure_get_fraction(s, "framerate", &num, &den) && num > 0 && den > 0) {
        watch.step = static_cast<double>(den) / num;
        return GST_PAD_PROBE_OK;
    }
    watch.step = 0.0;
    GstCaps* rated = gst_caps_copy(caps);
    gst_caps_set_simple(rated, "framerate", GST_TYPE_FRACTION, 25, 1, nullptr);
    GST_PAD_PROBE_INFO_DATA(info) = gst_event_new_caps(rated);
    gst_caps_unref(rated);
    gst_event_unref(event);
    return GST_PAD_PROBE_OK;
}

// Posts the refusal of frames of more pixels than the run allows, once.
bool refuseFrames(GstObject* by, const GstCaps* caps, CapsWatch& watch) {
    gint w = 0, h = 0;
    const GstStructure* s = gst_caps_get_size(caps) ? gst_caps_get_structure(caps, 0) : nullptr;
    if (watch.maxPixels == 0 || !s || !gst_structure_get_int(s, "width", &w) ||
        !gst_structure_get_int(s, "height", &h) || w <= 0 || h <= 0 ||
        static_cast<uint64_t>(w) * static_cast<uint64_t>(h) <= watch.maxPixels)
        return false;
    if (!watch.pixelsRefused.exchange(true))
        gst_element_post_message(GST_ELEMENT(by),
                                 gst_message_new_application(
                                     by, gst_structure_new(kPixelsRefused, "width", G_TYPE_INT, w,
                                                           "height", G_TYPE_INT, h, nullptr)));
    return true;
}

// Only video is decoded: the sound goes unused, and a damaged sound track
// would fail the clip. A video stream whose container or parser states frames
// too large is not given a decoder either: a decoder makes room for a frame of
// the size it reads before anyone downstream can refuse it, and a file of a
// few kilobytes may state frames of gigabytes.
gboolean decodeOnlySmallFrames(GstElement* bin, GstPad*, GstCaps* caps, gpointer data) {
    const GstStructure* s = gst_caps_get_size(caps) ? gst_caps_get_structure(caps, 0) : nullptr;
    if (s && g_str_has_prefix(gst_structure_get_name(s), "audio/")) return FALSE;
    return !refuseFrames(GST_OBJECT(bin), caps, *static_cast<CapsWatch*>(data));
}

// Frames whose size only the decoder knew are refused when it asks whether
// they would be taken, so that the run says why rather than that the
// encoder refused them.
GstPadProbeReturn refuseLargeFrames(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
    if (GST_QUERY_TYPE(query) != GST_QUERY_ACCEPT_CAPS) return GST_PAD_PROBE_OK;
    GstCaps* caps = nullptr;
    gst_query_parse_accept_caps(query, &caps);
    GstObject* parent = gst_pad_get_parent(pad);
    const bool refused = refuseFrames(parent, caps, *static_cast<CapsWatch*>(data));
    gst_object_unref(parent);
    if (!refused) return GST_PAD_PROBE_OK;
    gst_query_set_accept_caps_result(query, FALSE);
    return GST_PAD_PROBE_HANDLED;
}

GstPadProbeReturn countBuffer(GstPad*, GstPadProbeInfo*, gpointer count) {
    ++*static_cast<std::atomic<uint64_t>*>(count);
    return GST_PAD_PROBE_OK;
}

// One pass over the clip with one encoder: the frames' reports. Throws
// EncoderRefused when the decoded frames cannot be linked to the encoder:
// decodebin then only warns, and the pipeline would wait for ever.
std::vector<VideoFrameReport> runPass(const std::string& clip, const std::string& overlayPath,
                                      const VideoRunSettings& settings, const Encoder& encoder,
                                      VideoClipFacts& facts) {
    CapsWatch caps;  // outlive the pipeline
    ClipWatch clipWatch;
    // Frames that entered the segmenter: while one is in it (a large frame may
    // take seconds), no demuxer is taken to have given up.
    std::atomic<uint64_t> entered{0};
    caps.avi = std::string(encoder.extension) == ".avi";
    caps.maxPixels = settings.maxPixels;
    // No clock: the file is read as fast as it is segmented, no frame dropped.
    const std::string line =
        std::string(
            "filesrc name=in ! decodebin name=dec ! videoconvert name=convert ! "
            "video/x-raw,format={RGBx,BGRx,RGB} ! "
            "clsgsegment name=segment qos=false ! videoconvert ! ") +
        encoder.launch + " ! filesink name=out";
    GError* error = nullptr;
    std::unique_ptr<GstElement, Unref> pipeline(gst_parse_launch(line.c_str(), &error));
    if (error) {
        const std::string message = error->message;
        g_clear_error(&error);
        throw VideoError("cannot build the video pipeline: " + message);
    }
    GstBin* bin = GST_BIN(pipeline.get());
    const auto set = [&](const char* name, auto&&... args) {
        GstElement* e = gst_bin_get_by_name(bin, name);
        g_object_set(e, args..., nullptr);
        gst_object_unref(e);
    };
    set("in", "location", clip.c_str());
    {
        // Before the first conversion: the encoder's sizes are asked for from
        // there on, and a size it refuses stops the frames there.
        GstElement* convert = gst_bin_get_by_name(bin, "convert");
        GstPad* sink = gst_element_get_static_pad(convert, "sink");
        gst_pad_add_probe(sink, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, watchCaps, &caps, nullptr);
        gst_pad_add_probe(sink, GST_PAD_PROBE_TYPE_QUERY_DOWNSTREAM, refuseLargeFrames, &caps,
                          nullptr);
        gst_object_unref(sink);
        gst_object_unref(convert);
    }
    {
        GstElement* segment = gst_bin_get_by_name(bin, "segment");
        GstPad* sink = gst_element_get_static_pad(segment, "sink");
        gst_pad_add_probe(sink, GST_PAD_PROBE_TYPE_BUFFER, countBuffer, &entered, nullptr);
        gst_object_unref(sink);
        gst_object_unref(segment);
    }
    {
        GstElement* dec = gst_bin_get_by_name(bin, "dec");
        g_signal_connect(dec, "autoplug-continue", G_CALLBACK(decodeOnlySmallFrames), &caps);
        gst_object_unref(dec);
    }
    {
        GstElement* dec = gst_bin_get_by_name(bin, "dec");
        GstElement* convert = gst_bin_get_by_name(bin, "convert");
        GstPad* segmented = gst_element_get_static_pad(convert, "sink");
        clipWatch.watch(dec, segmented);
        gst_object_unref(segmented);
        gst_object_unref(convert);
        gst_object_unref(dec);
    }
    set("out", "location", overlayPath.c_str());
    if (settings.toolData && !settings.toolData->empty()) {
        // The element holds the caller's bytes for as long as it needs them.
        auto* held = new std::shared_ptr<const std::string>(settings.toolData);
        GBytes* data = g_bytes_new_with_free_func(
            (*held)->data(), (*held)->size(),
            [](gpointer p) { delete static_cast<std::shared_ptr<const std::string>*>(p); }, held);
        set("segment", "tool-data", data);
        g_bytes_unref(data);
    }
    set("segment", "tool", settings.toolPath.c_str(), "neighborhood",
        static_cast<gint>(settings.neighborhood), "normalize", settings.normalize ? TRUE : FALSE,
        "threads", static_cast<guint>(settings.threads), "max-pixels",
        static_cast<guint64>(settings.maxPixels));

    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline.get());
    std::vector<VideoFrameReport> reports;
    std::string failure;
    bool stopped = false, refused = false;
    const std::string sides =
        std::string(encoder.extension) == ".avi" ? " (an AVI takes 16 to 4096 a side)" : "";
    // Progress every tenth of a second, however many frames' messages come.
    using Clock = std::chrono::steady_clock;
    Clock::time_point nextProgress = Clock::now() + std::chrono::milliseconds(100);
    const auto progress = [&]() {
        nextProgress = Clock::now() + std::chrono::milliseconds(100);
        gint64 position = -1, duration = -1;
        double share = -1.0;
        if (gst_element_query_position(pipeline.get(), GST_FORMAT_TIME, &position) &&
            gst_element_query_duration(pipeline.get(), GST_FORMAT_TIME, &duration) && duration > 0)
            share =
                std::clamp(static_cast<double>(position) / static_cast<double>(duration), 0.0, 1.0);
        return settings.progress(share, reports.size());
    };
    GiveUpWatch watch;
    for (bool done = false; !done;) {
        GstMessage* m = gst_bus_timed_pop(bus, GST_SECOND / 10);
        if (settings.progress && Clock::now() >= nextProgress && !progress()) stopped = done = true;
        if (!m && entered.load() > reports.size())
            watch.reset();  // a frame is at work
        else if (!m && watch.ended(pipeline.get())) {
            // Said as the reader's own error, which may come first or not at all.
            failure = watch.last == GaveUp::beforeStreams || reports.empty()
                          ? explained("Could not demultiplex stream",
                                      "the file holds no frame, or is damaged")
                          : explained("The stream stops", streamChangedAfter(reports.size()));
            done = true;
        }
        if (!m) continue;
        switch (GST_MESSAGE_TYPE(m)) {
            case GST_MESSAGE_ERROR: {
                GError* e = nullptr;
                gchar* debug = nullptr;
                gst_message_parse_error(m, &e, &debug);
                failure = e->message;
                if (std::string(GST_OBJECT_NAME(GST_MESSAGE_SRC(m))) == "out")
                    failure = "cannot write the overlay video: " + failure;
                // The file's reader, or the decoders decodebin chose for it.
                GstElement* dec = gst_bin_get_by_name(bin, "dec");
                const bool reading =
                    gst_object_has_as_ancestor(GST_MESSAGE_SRC(m), GST_OBJECT(dec)) ||
                    std::string(GST_OBJECT_NAME(GST_MESSAGE_SRC(m))) == "in";
                gst_object_unref(dec);
                const std::string why = debug ? debug : "";
                const std::string size = decodedSize(bin);
                // Name what could not be done: frames the encoder does not take,
                // a missing decoder, no video.
                if (why.find("not-negotiated") != std::string::npos && !size.empty()) {
                    failure = "the overlay video's encoder does not take frames of " + size +
                              " pixels" + sides;
                    refused = true;
                } else if (why.find("not-linked") != std::string::npos) {
                    failure = explained(
                        failure, reports.empty() ? "the file holds no video stream clsg can decode"
                                                 : streamChangedAfter(reports.size()));
                } else if (e->domain == GST_STREAM_ERROR && reading) {
                    // The reader's own words say little of the file ("Internal data
                    // stream error.").
                    failure = explained(failure, reports.empty()
                                                     ? "the file holds no frame, or is damaged"
                                                     : "the file is damaged after frame " +
                                                           std::to_string(reports.size()));
                }
                g_clear_error(&e);
                g_free(debug);
                done = true;
                break;
            }
            case GST_MESSAGE_WARNING: {
                GError* e = nullptr;
                gchar* debug = nullptr;
                gst_message_parse_warning(m, &e, &debug);
                if (debug && std::string(debug).find("delayed linking") != std::string::npos) {
                    // No decoded video frames: a stream that is not video (audio) found
                    // nothing to link to.
                    const std::string size = decodedSize(bin);
                    if (size.empty()) {
                        failure = "the file holds no video stream clsg can decode";
                    } else {
                        failure = "the overlay video's encoder does not take frames of " + size +
                                  " pixels" + sides;
                        refused = true;
                    }
                    done = true;
                }
                g_clear_error(&e);
                g_free(debug);
                break;
            }
            case GST_MESSAGE_EOS:
                done = true;
                break;
            case GST_MESSAGE_ELEMENT:
                if (gst_message_has_name(m, CLSG_SEGMENT_MESSAGE)) {
                    watch.reset();  // frames still come: nothing gave up
                    reports.push_back(reportOf(gst_message_get_structure(m)));
                    reports.back().frameStep = caps.step;
                    // The length the file states, asked for while it plays: a
                    // demuxer may settle on what it read by the end.
                    gint64 duration = -1;
                    if (facts.length < 0 &&
                        gst_element_query_duration(pipeline.get(), GST_FORMAT_TIME, &duration) &&
                        duration > 0)
                        facts.length = static_cast<double>(duration) / GST_SECOND;
                }
                break;
            case GST_MESSAGE_APPLICATION: {
                gint w = 0, h = 0;
                gst_structure_get_int(gst_message_get_structure(m), "width", &w);
                gst_structure_get_int(gst_message_get_structure(m), "height", &h);
                const std::string size = std::to_string(w) + " x " + std::to_string(h);
                if (gst_message_has_name(m, kSizeRefused)) {
                    // Every encoder's AVI refuses these: no other pass.
                    failure = "the overlay video's encoder does not take frames of " + size +
                              " pixels" + sides;
                    done = true;
                } else if (gst_message_has_name(m, kPixelsRefused)) {
                    failure = "frames of " + size + " pixels are more than max-pixels allows (" +
                              std::to_string(settings.maxPixels) + ")";
                    done = true;
                }
                break;
            }
            default:
                break;
        }
        gst_message_unref(m);
    }
    gst_object_unref(bus);
    pipeline.reset();
    facts.firstPacket = clipWatch.firstPacket();
    facts.lastPacket = clipWatch.lastPacket();
    facts.segmentedLastPacket = clipWatch.segmentedLastPacket();
    facts.lastPacketStart = clipWatch.lastPacketStart();
    facts.otherStreams = clipWatch.otherStreams();
    facts.videoStreams = clipWatch.videoStreams();
    if (stopped) throw VideoError(clip + ": stopped");
    if (refused) throw EncoderRefused(clip + ": " + failure);
    if (!failure.empty()) throw VideoError(clip + ": " + failure);
    if (reports.empty()) throw VideoError(clip + ": no video frames");
    return reports;
}

}  // namespace

uint64_t runVideo(const std::string& clip, const std::string& overlayPath,
                  const VideoRunSettings& settings) {
    // Said as for an image, not in the words of the element that reads it.
    // Without waiting: a pipe would be opened again by the pipeline (its
    // writer gone by then), and with no writer the open would never return.
    const int fd = ::open(clip.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw VideoError("cannot open " + clip + ": " + std::strerror(errno));
    struct stat st;
    const bool file = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!file)
        throw VideoError(clip +
                         ": not a file (a pipe, a device or a folder); a video is read "
                         "from a file");
    initGstreamer();
    const Encoder* encoder = chooseEncoder();
    if (!encoder)
        throw VideoError(
            "no video encoder found (install gstreamer1.0-libav or gstreamer1.0-plugins-good)");
    if (!have("decodebin") || !have("videoconvert"))
        throw VideoError(
            "GStreamer's decodebin and videoconvert are missing (install "
            "gstreamer1.0-plugins-base)");
    // Motion JPEG, in the same container, where the first encoder refuses the
    // frames or drops some (see below).
    const Encoder* fallback = encoder != &kMotionJpeg &&
                                      std::string(encoder->extension) == kMotionJpeg.extension &&
                                      have("jpegenc")
                                  ? &kMotionJpeg
                                  : nullptr;
    std::vector<VideoFrameReport> reports;
    VideoClipFacts facts;
    try {
        reports = runPass(clip, overlayPath, settings, *encoder, facts);
    } catch (const EncoderRefused&) {
        if (!fallback) throw;
        encoder = fallback;
        reports = runPass(clip, overlayPath, settings, *encoder, facts);
    }
    // The overlay is read back: an encoder may mistime frames of some
    // sources (some Ogg files, frames that all carry one timestamp), which
    // the muxer then drops. Motion JPEG, in the same container, keeps them.
    // The caller may stop the run while it is read.
    const auto readBack = [&]() {
        const std::optional<uint64_t> frames = framesIn(overlayPath, [&]() {
            return !settings.progress || settings.progress(1.0, reports.size());
        });
        if (!frames) throw VideoError(clip + ": stopped");
        return *frames;
    };
    uint64_t kept = readBack();
    if (kept < reports.size() && fallback && encoder != fallback) {
        reports = runPass(clip, overlayPath, settings, *fallback, facts);
        kept = readBack();
    }
    if (kept < reports.size())
        throw VideoError(clip + ": the overlay video holds only " + std::to_string(kept) +
                         " of its " + std::to_string(reports.size()) +
                         " frames (the video encoder dropped the others)");
    if (settings.frame)
        for (const VideoFrameReport& r : reports) settings.frame(r);
    if (settings.facts) settings.facts(facts);
    return reports.size();
}

}  // namespace clsg
