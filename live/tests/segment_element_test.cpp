// The clsgsegment element against the plain library: every frame's label
// image equals tool.run on that frame; the overlay, passthrough, caps
// changes, bad input, QoS on a live pipeline, and a GigE Vision camera.
#include "clsg/live/segment_element.h"

#include <fcntl.h>
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "clsg/colorseg/segmenter_result.h"
#include "clsg/io/overlay.h"
#include "clsg/io/tool_file.h"
#include "clsg/live/video_run.h"
#include "clsg/regions/regions.h"
#include "test_images.h"

namespace fs = std::filesystem;

namespace {

using namespace clsg;  // the file library

// A directory of the test's own files, removed at the end.
struct TempDir {
    fs::path path;
    TempDir() {
        char pattern[] = "/tmp/clsg-live-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

// One frame: its planar copy and, for the element's output, its bytes.
struct Frame {
    GstVideoInfo info;
    std::vector<unsigned char> bytes;  // rows packed, no padding
    long width = 0, height = 0;
    int pixel = 0;  // bytes per pixel
};

Frame frameOf(GstSample* sample) {
    Frame f;
    gst_video_info_from_caps(&f.info, gst_sample_get_caps(sample));
    GstVideoFrame v;
    EXPECT_TRUE(gst_video_frame_map(&v, &f.info, gst_sample_get_buffer(sample), GST_MAP_READ));
    f.width = GST_VIDEO_FRAME_WIDTH(&v);
    f.height = GST_VIDEO_FRAME_HEIGHT(&v);
    f.pixel = GST_VIDEO_FRAME_COMP_PSTRIDE(&v, 0);
    const auto* data = static_cast<const unsigned char*>(GST_VIDEO_FRAME_PLANE_DATA(&v, 0));
    for (long y = 0; y < f.height; ++y) {
        const unsigned char* row = data + y * GST_VIDEO_FRAME_PLANE_STRIDE(&v, 0);
        f.bytes.insert(f.bytes.end(), row, row + f.width * f.pixel);
    }
    gst_video_frame_unmap(&v);
    return f;
}

// The channel offsets of red, green and blue in f's pixel.
std::vector<int> offsets(const Frame& f) {
    std::vector<int> o(3);
    for (int c = 0; c < 3; ++c) o[c] = static_cast<int>(GST_VIDEO_INFO_COMP_POFFSET(&f.info, c));
    return o;
}

kv3PlanePelBuffer planesOf(const Frame& f) {
    const std::vector<int> o = offsets(f);
    return makeImage(kvPelRect(0, 0, f.width, f.height), [&](long x, long y) {
        const unsigned char* p = f.bytes.data() + (y * f.width + x) * f.pixel;
        return Rgb{p[o[0]], p[o[1]], p[o[2]]};
    });
}

std::vector<unsigned char> bytesOf(const kvPelBuffer_const<unsigned char>& b) {
    std::vector<unsigned char> out;
    for (long y = b.window().top(); y < b.window().bottom(); ++y)
        out.insert(out.end(), b.pointToRow(y), b.pointToRow(y) + b.width());
    return out;
}

// The library's label image of f, run whole.
std::vector<unsigned char> plainLabels(const ToolFile& file, const Frame& f,
                                       const kvCompositeColorSegmenterRunParams& params) {
    kvCompositeColorSegmenterResult result;
    file.tool.run(planesOf(f), params, result);
    return bytesOf(result.labelImage());
}

// A pipeline from a launch line; its appsinks' samples and its bus's messages.
struct Outcome {
    std::map<std::string, std::vector<Frame>> frames;  // per appsink name
    std::vector<GstStructure*> segments;               // the element's frame messages
    std::vector<std::string> errors;                   // error messages (text and debug)
    std::vector<std::string> warnings;                 // warning messages' texts
    int qos = 0;                                       // QoS messages from clsgsegment
    bool started = false;
    Outcome() = default;
    Outcome(const Outcome&) = delete;
    Outcome& operator=(const Outcome&) = delete;
    ~Outcome() {
        for (GstStructure* s : segments) gst_structure_free(s);
    }
};

// Runs line to its end (or first error). feed, when given, pushes frames
// into the appsrc named "src" first.
void runPipeline(const std::string& line, const std::vector<std::string>& sinks, Outcome& run,
                 const std::function<void(GstAppSrc*)>& feed = {}) {
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(line.c_str(), &error);
    ASSERT_TRUE(pipeline) << (error ? error->message : "") << " in " << line;
    if (error) g_clear_error(&error);
    run.started = gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
    if (run.started && feed) {
        GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
        feed(GST_APP_SRC(src));
        gst_app_src_end_of_stream(GST_APP_SRC(src));
        gst_object_unref(src);
    }
    // Each appsink, drained to its end (an error ends it too).
    std::vector<GstAppSink*> appsinks;
    for (const std::string& name : sinks)
        appsinks.push_back(GST_APP_SINK(gst_bin_get_by_name(GST_BIN(pipeline), name.c_str())));
    bool ended = !run.started;
    GstBus* bus = gst_element_get_bus(pipeline);
    for (std::size_t i = 0; run.started && i < sinks.size(); ++i)
        while (GstSample* s = gst_app_sink_try_pull_sample(appsinks[i], 20 * GST_SECOND)) {
            run.frames[sinks[i]].push_back(frameOf(s));
            gst_sample_unref(s);
        }
    // Then the bus, to EOS or error.
    while (GstMessage* m = gst_bus_timed_pop(bus, ended ? 0 : 20 * GST_SECOND)) {
        switch (GST_MESSAGE_TYPE(m)) {
            case GST_MESSAGE_ERROR: {
                GError* e = nullptr;
                gchar* debug = nullptr;
                gst_message_parse_error(m, &e, &debug);
                run.errors.push_back(std::string(e->message) + " | " + (debug ? debug : ""));
                g_clear_error(&e);
                g_free(debug);
                ended = true;
                break;
            }
            case GST_MESSAGE_WARNING: {
                GError* e = nullptr;
                gst_message_parse_warning(m, &e, nullptr);
                run.warnings.push_back(e->message);
                g_clear_error(&e);
                break;
            }
            case GST_MESSAGE_EOS:
                ended = true;
                break;
            case GST_MESSAGE_QOS:
                if (std::string(GST_OBJECT_NAME(GST_MESSAGE_SRC(m))).rfind("clsgsegment", 0) == 0)
                    ++run.qos;
                break;
            case GST_MESSAGE_ELEMENT:
                if (gst_message_has_name(m, CLSG_SEGMENT_MESSAGE))
                    run.segments.push_back(gst_structure_copy(gst_message_get_structure(m)));
                break;
            default:
                break;
        }
        gst_message_unref(m);
    }
    gst_object_unref(bus);
    for (GstAppSink* s : appsinks) gst_object_unref(s);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
}

// Three labels trained on bars of videotestsrc's colour-bar pattern (red,
// blue, green of the seven top bars), so that its frames get a mix of
// labels and unlabelled pixels.
ToolFile barsTool() {
    Outcome bars;
    runPipeline(
        "videotestsrc num-buffers=1 pattern=smpte ! video/x-raw,format=RGB,width=140,height=100 "
        "! appsink name=out sync=false",
        {"out"}, bars);
    EXPECT_EQ(bars.frames["out"].size(), 1u);
    const kv3PlanePelBuffer image = planesOf(bars.frames["out"].at(0));
    const auto bar = [&](long k) {
        return kvCompositeColor(image, makeMask(image.window(), [k](long x, long y) {
                                    return x >= 20 * k + 4 && x < 20 * k + 16 && y >= 10 && y < 50;
                                }));
    };
    ToolFile file;
    file.labels = {{"red", 0xff2020, {}}, {"blue", 0x2020ff, {}}, {"green", 0x20ff20, {}}};
    file.tool.train({kvCompositeColorSet({bar(5)}), kvCompositeColorSet({bar(6)}),
                     kvCompositeColorSet({bar(3)})},
                    kvCompositeColorSegmenterTrainParams(0.1, 2));
    return file;
}

class Element : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        gst_init(nullptr, nullptr);
        ASSERT_TRUE(clsg_segment_register_static());
        dir = new TempDir;
        file = new ToolFile(barsTool());
        writeToolFile(*dir / "bars.clsg", *file);
    }
    static void TearDownTestSuite() {
        delete file;
        delete dir;
    }
    static std::string tool() { return *dir / "bars.clsg"; }
    // Writes the clip source (a pipeline up to its muxer) makes to dir/name.
    static std::string clip(const std::string& name, const std::string& source) {
        const std::string path = *dir / name;
        Outcome make;
        runPipeline(source + " ! filesink location=" + path, {}, make);
        EXPECT_TRUE(make.errors.empty()) << make.errors[0];
        return path;
    }
    static TempDir* dir;
    static ToolFile* file;
};
TempDir* Element::dir = nullptr;
ToolFile* Element::file = nullptr;

// What runVideo says when it fails; "<no error>" when it does not.
std::string videoError(const std::string& clip, const std::string& overlay,
                       const VideoRunSettings& settings) {
    try {
        runVideo(clip, overlay, settings);
    } catch (const VideoError& e) {
        return e.what();
    }
    return "<no error>";
}

// Frames of `raw` and the element's label images in `labels`: each equal
// to the library's run of that frame.
void expectPlainLabels(const ToolFile& file, const Outcome& run,
                       const kvCompositeColorSegmenterRunParams& params, std::size_t frames,
                       int labelsSeen = 3) {
    ASSERT_TRUE(run.errors.empty()) << run.errors[0];
    const auto& raw = run.frames.at("raw");
    const auto& labels = run.frames.at("labels");
    ASSERT_EQ(raw.size(), frames);
    ASSERT_EQ(labels.size(), frames);
    std::map<unsigned char, int> seen;
    for (std::size_t i = 0; i < frames; ++i) {
        EXPECT_EQ(GST_VIDEO_INFO_FORMAT(&labels[i].info), GST_VIDEO_FORMAT_GRAY8);
        const auto expected = plainLabels(file, raw[i], params);
        ASSERT_TRUE(labels[i].bytes == expected) << "frame " << i;
        for (unsigned char v : expected) ++seen[v];
    }
    // The frames hold labelled and unlabelled pixels (else equality proves little).
    EXPECT_GT(seen[255], 0);
    EXPECT_GE(static_cast<int>(seen.size()) - 1, labelsSeen);
}

std::string tee(const std::string& element) {
    return " ! tee name=t t. ! queue ! appsink name=raw sync=false t. ! queue ! " + element +
           " ! appsink name=labels sync=false";
}

// Formats (packed RGB rows with padding at an odd width, 4-byte pixels in
// both orders), neighbourhoods odd and even, normalisation, 1 to 3 threads.
TEST_F(Element, LabelsEqualTheLibrarysOnEveryFrame) {
    struct Case {
        const char* format;
        int width, height, n, threads;
        bool normalize;
    };
    for (const Case& c : {Case{"RGB", 161, 97, 3, 2, false}, Case{"RGBx", 120, 90, 4, 3, false},
                          Case{"BGRx", 200, 301, 5, 2, true}, Case{"RGB", 64, 40, 1, 1, false}}) {
        SCOPED_TRACE(c.format);
        char line[512];
        std::snprintf(line, sizeof line,
                      "videotestsrc num-buffers=3 pattern=smpte horizontal-speed=7 ! "
                      "video/x-raw,format=%s,width=%d,height=%d",
                      c.format, c.width, c.height);
        char element[512];
        std::snprintf(element, sizeof element,
                      "clsgsegment tool=%s output=labels neighborhood=%d threads=%d normalize=%s",
                      tool().c_str(), c.n, c.threads, c.normalize ? "true" : "false");
        Outcome run;
        runPipeline(std::string(line) + tee(element), {"raw", "labels"}, run);
        expectPlainLabels(*file, run, kvCompositeColorSegmenterRunParams(c.n, c.normalize), 3);
    }
}

// A clip written and decoded through decodebin.
TEST_F(Element, LabelsOfADecodedClip) {
    const std::string clip = Element::clip(
        "clip.avi",
        "videotestsrc num-buffers=6 pattern=smpte ! video/x-raw,width=176,height=144 ! "
        "jpegenc quality=100 ! avimux");
    Outcome run;
    runPipeline("filesrc location=" + clip +
                    " ! decodebin ! videoconvert ! video/x-raw,format=RGB" +
                    tee("clsgsegment output=labels threads=2 tool=" + tool()),
                {"raw", "labels"}, run);
    // Compression moves the red and blue bars' colours away from the trained ones.
    expectPlainLabels(*file, run, kvCompositeColorSegmenterRunParams(3, false), 6, 1);
}

// A video run says how far it is every tenth of a second, however fast the
// frames' own messages come, and hands over every frame's report.
TEST_F(Element, AVideoRunReportsProgressWhileFramesCome) {
    const std::string clip = Element::clip(
        "long.avi",
        "videotestsrc num-buffers=120 pattern=smpte ! video/x-raw,width=640,height=480 ! "
        "jpegenc ! avimux");
    VideoRunSettings settings;
    settings.toolPath = tool();
    settings.threads = 2;
    std::size_t calls = 0, reports = 0;
    settings.progress = [&](double, uint64_t) { return ++calls, true; };
    settings.frame = [&](const VideoFrameReport&) { ++reports; };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runVideo(clip, *dir / "long-overlay.avi", settings), 120u);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(reports, 120u);
    EXPECT_GE(calls, static_cast<std::size_t>(took.count() * 10 / 3)) << took.count() << " s";
    // Asked on while the overlay is read back: a stop there stops the run.
    settings.progress = [&](double done, uint64_t frames) { return done < 1.0 || frames < 120; };
    reports = 0;
    EXPECT_THROW(runVideo(clip, *dir / "long-overlay.avi", settings), VideoError);
    EXPECT_EQ(reports, 0u);
}

// A clip whose header promises a stream and holds no frame fails every time:
// a decoder that now and then lost the demuxer's error left the run waiting
// for ever (seen within a few hundred tries).
TEST_F(Element, AClipWithNoFrameFailsEveryTime) {
    const std::string clip = Element::clip(
        "empty.avi",
        "videotestsrc num-buffers=0 ! video/x-raw,width=64,height=48 ! jpegenc ! avimux");
    VideoRunSettings settings;
    settings.toolPath = tool();
    for (int i = 0; i < 100; ++i) {
        const std::string error = videoError(clip, *dir / "empty-overlay.avi", settings);
        ASSERT_NE(error.find("empty.avi: "), std::string::npos) << "try " << i << ": " << error;
    }
}

// Frames the overlay's encoder does not take (AVI: 16 to 4096 pixels a side)
// fail at once, naming their size: decodebin only warned, or now and then
// lost the error, and the run waited for ever (see also the command line's
// test, where that showed).
TEST_F(Element, FramesTheEncoderRefusesFailNamingTheirSize) {
    for (const char* size : {"1,height=1", "15,height=16", "4100,height=16"}) {
        const std::string clip = Element::clip(
            "odd.mkv", "videotestsrc num-buffers=3 ! video/x-raw,width=" + std::string(size) +
                           ",framerate=10/1 ! videoconvert ! jpegenc ! matroskamux");
        VideoRunSettings settings;
        settings.toolPath = tool();
        // A run that hangs is stopped after 10 s, and fails the test.
        std::chrono::steady_clock::time_point start;
        settings.progress = [&](double, uint64_t) {
            return std::chrono::steady_clock::now() - start < std::chrono::seconds(10);
        };
        const std::string pixels = std::string(size, std::strchr(size, ',')) + " x " +
                                   (std::strchr(size, '=') + 1) + " pixels";
        for (int i = 0; i < 3; ++i) {
            start = std::chrono::steady_clock::now();
            const std::string error = videoError(clip, *dir / "odd-overlay.avi", settings);
            ASSERT_NE(error.find("odd.mkv: the overlay video's encoder does not take frames of " +
                                 pixels),
                      std::string::npos)
                << "try " << i << ": " << error;
        }
    }
}

// A file of sound alone says it holds no video (it said the encoder refused
// a frame size).
TEST_F(Element, ASoundFileSaysItHoldsNoVideo) {
    const std::string sound = Element::clip(
        "sound.webm", "audiotestsrc num-buffers=20 ! audioconvert ! vorbisenc ! webmmux");
    VideoRunSettings settings;
    settings.toolPath = tool();
    const std::string error = videoError(sound, *dir / "sound-overlay.avi", settings);
    EXPECT_NE(error.find("sound.webm: the file holds no video stream clsg can decode"),
              std::string::npos)
        << error;
}

// Frame times count from the start of the stream, not from the clip's first
// timestamp (5 s here, as in many camera and broadcast clips); each frame
// carries the stream's nominal step, none without a rate.
TEST_F(Element, FrameTimesCountFromTheStreamsStart) {
    const std::string clip =
        Element::clip("late.mkv",
                      "videotestsrc num-buffers=3 timestamp-offset=5000000000 ! "
                      "video/x-raw,width=64,height=48,framerate=25/1 ! jpegenc ! matroskamux");
    VideoRunSettings settings;
    settings.toolPath = tool();
    std::vector<double> seconds;
    settings.frame = [&](const VideoFrameReport& r) {
        seconds.push_back(r.seconds);
        EXPECT_NEAR(r.frameStep, 0.04, 1e-12);  // the nominal rate's
    };
    runVideo(clip, *dir / "late-overlay.avi", settings);
    ASSERT_EQ(seconds.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(seconds[i], 0.04 * double(i), 1e-9) << i;
    // A clip of no frame rate (one of varying rate) is segmented, its overlay at
    // 25 frames a second: the muxer refused it, and the error blamed the size.
    const std::string still =
        Element::clip("still.webm",
                      "videotestsrc num-buffers=3 ! video/x-raw,width=64,height=48,framerate=0/1 "
                      "! vp8enc ! webmmux");
    std::vector<double> steps;
    settings.frame = [&](const VideoFrameReport& r) { steps.push_back(r.frameStep); };
    EXPECT_GE(runVideo(still, *dir / "still-overlay.avi", settings), 1u);
    EXPECT_TRUE(!steps.empty() && steps[0] == 0.0);
}

// The overlay is the library's labels drawn as the command line draws them;
// passthrough leaves the frame alone. Both report each frame's shares on the
// bus and in a meta.
TEST_F(Element, OverlayAndPassthroughWithTheirReports) {
    std::vector<uint32_t> colours;
    for (const ToolLabel& l : file->labels) colours.push_back(l.color);
    for (const char* format : {"RGB", "BGRx"})
        for (const std::string output : {"overlay", "passthrough"}) {
            SCOPED_TRACE(std::string(format) + " " + output);
            Outcome run;
            runPipeline(
                std::string("videotestsrc num-buffers=2 pattern=smpte ! video/x-raw,format=") +
                    format + ",width=90,height=70" +
                    tee("clsgsegment output=" + output + " tool=" + tool() +
                        (output == "passthrough" ? " regions=true min-region-area=400" : "")),
                {"raw", "labels"}, run);
            ASSERT_TRUE(run.errors.empty()) << run.errors[0];
            const auto& raw = run.frames.at("raw");
            const auto& out = run.frames.at("labels");
            ASSERT_EQ(out.size(), 2u);
            ASSERT_EQ(run.segments.size(), 2u);
            for (std::size_t i = 0; i < 2; ++i) {
                const auto labels =
                    plainLabels(*file, raw[i], kvCompositeColorSegmenterRunParams(3, false));
                kvPelBuffer<unsigned char> labelImage(kvPelRect(0, 0, raw[i].width, raw[i].height));
                for (long y = 0; y < raw[i].height; ++y)
                    std::memcpy(labelImage.pointToRow(y), labels.data() + y * raw[i].width,
                                static_cast<std::size_t>(raw[i].width));
                Frame expected = raw[i];
                if (output == "overlay") {
                    const kv3PlanePelBuffer o = makeOverlay(planesOf(raw[i]), labelImage, colours);
                    const std::vector<int> off = offsets(raw[i]);
                    for (long y = 0; y < expected.height; ++y)
                        for (long x = 0; x < expected.width; ++x) {
                            unsigned char* p =
                                expected.bytes.data() + (y * expected.width + x) * expected.pixel;
                            p[off[0]] = o.plane0().pointToPel(x, y)[0];
                            p[off[1]] = o.plane1().pointToPel(x, y)[0];
                            p[off[2]] = o.plane2().pointToPel(x, y)[0];
                        }
                    EXPECT_FALSE(expected.bytes == raw[i].bytes);
                }
                EXPECT_TRUE(out[i].bytes == expected.bytes) << "frame " << i;

                // The message: this frame's counts and shares.
                const GstStructure* s = run.segments[i];
                guint64 frame = 99;
                EXPECT_TRUE(gst_structure_get_uint64(s, "frame", &frame));
                EXPECT_EQ(frame, i);
                const GValue* counts = gst_structure_get_value(s, "counts");
                const GValue* shares = gst_structure_get_value(s, "shares");
                const GValue* names = gst_structure_get_value(s, "labels");
                ASSERT_TRUE(counts && shares && names);
                ASSERT_EQ(gst_value_array_get_size(counts), 3u);
                double labelled = 0;
                for (guint k = 0; k < 3; ++k) {
                    const auto n =
                        static_cast<guint64>(std::count(labels.begin(), labels.end(), k));
                    EXPECT_EQ(g_value_get_uint64(gst_value_array_get_value(counts, k)), n);
                    const double share = double(n) / double(labels.size());
                    EXPECT_DOUBLE_EQ(g_value_get_double(gst_value_array_get_value(shares, k)),
                                     share);
                    EXPECT_EQ(g_value_get_string(gst_value_array_get_value(names, k)),
                              file->labels[k].name);
                    labelled += share;
                }
                double unlabelled = -1;
                EXPECT_TRUE(gst_structure_get_double(s, "unlabelled", &unlabelled));
                EXPECT_NEAR(unlabelled, 1.0 - labelled, 1e-12);
                EXPECT_GT(unlabelled, 0.0);
                // Region counts, when asked for: the regions layer's on the same labels.
                const GValue* regions = gst_structure_get_value(s, "regions");
                ASSERT_EQ(regions != nullptr, output == "passthrough");
                if (regions) {
                    RegionOptions options;
                    options.minArea = 400;
                    const auto expected = regionCounts(findRegions(labelImage, {}, options), 3);
                    ASSERT_EQ(gst_value_array_get_size(regions), 3u);
                    for (guint k = 0; k < 3; ++k)
                        EXPECT_EQ(g_value_get_uint64(gst_value_array_get_value(regions, k)),
                                  expected[k]);
                    EXPECT_GT(expected[0] + expected[1] + expected[2], 0u);
                }
            }
        }
}

// The meta travels with the buffer; behind a second element, it holds that
// element's result alone.
TEST_F(Element, MetaOnEveryBuffer) {
    ToolFile renamed = barsTool();
    for (ToolLabel& label : renamed.labels) label.name = "first_" + label.name;
    writeToolFile(*dir / "renamed.clsg", renamed);
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(
        ("videotestsrc num-buffers=2 pattern=smpte ! video/x-raw,format=RGBx,width=40,height=30 ! "
         "clsgsegment output=overlay regions=true tool=" +
         (*dir / "renamed.clsg") + " ! clsgsegment output=labels tool=" + tool() +
         " ! appsink name=out sync=false")
            .c_str(),
        &error);
    ASSERT_TRUE(pipeline);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    int seen = 0;
    while (GstSample* s = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 20 * GST_SECOND)) {
        GstBuffer* buffer = gst_sample_get_buffer(s);
        int metas = 0;
        gpointer state = nullptr;
        while (GstMeta* m = gst_buffer_iterate_meta(buffer, &state))
            metas +=
                gst_meta_info_is_custom(m->info) &&
                gst_custom_meta_has_name(reinterpret_cast<GstCustomMeta*>(m), CLSG_SEGMENT_META);
        EXPECT_EQ(metas, 1);
        GstCustomMeta* meta = gst_buffer_get_custom_meta(buffer, CLSG_SEGMENT_META);
        ASSERT_TRUE(meta);
        const GstStructure* fields = gst_custom_meta_get_structure(meta);
        guint64 frame = 99;
        EXPECT_TRUE(gst_structure_get_uint64(fields, "frame", &frame));
        EXPECT_EQ(frame, static_cast<guint64>(seen));
        EXPECT_TRUE(gst_structure_has_field(fields, "shares"));
        EXPECT_FALSE(gst_structure_has_field(fields, "regions"));  // the first one's, not asked
        const GValue* names = gst_structure_get_value(fields, "labels");
        ASSERT_TRUE(names && gst_value_array_get_size(names) == 3);
        EXPECT_STREQ(g_value_get_string(gst_value_array_get_value(names, 0)), "red");
        ++seen;
        gst_sample_unref(s);
    }
    EXPECT_EQ(seen, 2);
    gst_object_unref(sink);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
}

// tool-data is segmented with, whatever file tool names; post-messages=false
// posts nothing (the meta still comes); the label image's row padding is 0.
TEST_F(Element, ToolBytesNoMessagesAndZeroPadding) {
    ToolFile renamed = barsTool();
    for (ToolLabel& label : renamed.labels) label.name = "other_" + label.name;
    writeToolFile(*dir / "other.clsg", renamed);
    const std::string bytes = encodeToolFile(*file);
    for (const bool post : {false, true}) {
        GError* error = nullptr;
        GstElement* pipeline = gst_parse_launch(
            ("videotestsrc num-buffers=40 pattern=snow ! video/x-raw,format=RGB,width=61,height=99 "
             "! clsgsegment name=seg output=labels tool=" +
             (*dir / "other.clsg") + " ! appsink name=out sync=false")
                .c_str(),
            &error);
        ASSERT_TRUE(pipeline && !error);
        GstElement* seg = gst_bin_get_by_name(GST_BIN(pipeline), "seg");
        GBytes* data = g_bytes_new(bytes.data(), bytes.size());
        g_object_set(seg, "tool-data", data, "post-messages", post ? TRUE : FALSE, nullptr);
        g_bytes_unref(data);
        gst_object_unref(seg);
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "out");
        int frames = 0, dirty = 0;
        while (GstSample* s = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 20 * GST_SECOND)) {
            GstBuffer* buffer = gst_sample_get_buffer(s);
            GstCustomMeta* meta = gst_buffer_get_custom_meta(buffer, CLSG_SEGMENT_META);
            ASSERT_TRUE(meta);
            const GValue* names =
                gst_structure_get_value(gst_custom_meta_get_structure(meta), "labels");
            ASSERT_TRUE(names);
            EXPECT_STREQ(g_value_get_string(gst_value_array_get_value(names, 0)), "red");
            GstMapInfo map;
            ASSERT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_READ));
            EXPECT_EQ(map.size, 64u * 99);  // rows of 61 padded to 64
            for (gsize y = 0; y < 99 && map.size == 64 * 99; ++y)
                for (gsize x = 61; x < 64; ++x) dirty += map.data[y * 64 + x] != 0;
            gst_buffer_unmap(buffer, &map);
            ++frames;
            gst_sample_unref(s);
        }
        EXPECT_EQ(frames, 40);
        EXPECT_EQ(dirty, 0);
        gst_object_unref(sink);
        GstBus* bus = gst_element_get_bus(pipeline);
        int posted = 0;
        while (GstMessage* m = gst_bus_pop(bus)) {
            posted += GST_MESSAGE_TYPE(m) == GST_MESSAGE_ELEMENT &&
                      gst_message_has_name(m, CLSG_SEGMENT_MESSAGE);
            gst_message_unref(m);
        }
        EXPECT_EQ(posted, post ? 40 : 0);
        gst_object_unref(bus);
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
    }
}

// A frame narrower than the neighbourhood is said once per size, as clsg run
// says it of an image: caps of another rate or format say it no more.
TEST_F(Element, ANarrowFrameSizeIsSaidOnce) {
    Outcome run;
    runPipeline(
        "appsrc name=src format=time ! clsgsegment neighborhood=31 tool=" + tool() +
            " ! appsink name=out sync=false",
        {"out"}, run, [&](GstAppSrc* src) {
            for (const char* format : {"RGB", "BGRx", "RGB"}) {
                GstCaps* caps = gst_caps_new_simple(
                    "video/x-raw", "format", G_TYPE_STRING, format, "width", G_TYPE_INT, 64,
                    "height", G_TYPE_INT, 20, "framerate", GST_TYPE_FRACTION, 25, 1, nullptr);
                gst_app_src_set_caps(src, caps);
                GstVideoInfo info;
                gst_video_info_from_caps(&info, caps);
                gst_caps_unref(caps);
                gst_app_src_push_buffer(
                    src, gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&info), nullptr));
            }
        });
    ASSERT_EQ(run.warnings.size(), 1u);
    EXPECT_EQ(run.warnings[0].find("clsgsegment: a 64 x 20 frame is 20 pixels tall, fewer than "
                                   "the neighbourhood 31"),
              0u)
        << run.warnings[0];
    EXPECT_EQ(run.frames["out"].size(), 3u);
}

// Frames of three sizes through one running element.
TEST_F(Element, NewFrameSizeMidStream) {
    const std::vector<std::pair<int, int>> sizes = {{80, 60}, {80, 90}, {33, 150}, {80, 60}};
    std::vector<Frame> pushed;
    Outcome run;
    runPipeline(
        "appsrc name=src format=time ! clsgsegment output=labels threads=2 neighborhood=5 tool=" +
            tool() + " ! appsink name=labels sync=false",
        {"labels"}, run, [&](GstAppSrc* src) {
            int seed = 0;
            for (const auto& [w, h] : sizes) {
                GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "RGB",
                                                    "width", G_TYPE_INT, w, "height", G_TYPE_INT, h,
                                                    "framerate", GST_TYPE_FRACTION, 25, 1, nullptr);
                gst_app_src_set_caps(src, caps);
                GstVideoInfo info;
                gst_video_info_from_caps(&info, caps);
                gst_caps_unref(caps);
                for (int k = 0; k < 2; ++k) {
                    const auto image =
                        noisyImage(kvPelRect(0, 0, w, h), static_cast<uint32_t>(++seed));
                    GstBuffer* buffer =
                        gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&info), nullptr);
                    GstMapInfo map;
                    gst_buffer_map(buffer, &map, GST_MAP_WRITE);
                    Frame f;
                    f.info = info;
                    f.width = w;
                    f.height = h;
                    f.pixel = 3;
                    for (long y = 0; y < h; ++y)
                        for (long x = 0; x < w; ++x) {
                            unsigned char* p =
                                map.data + y * GST_VIDEO_INFO_PLANE_STRIDE(&info, 0) + 3 * x;
                            p[0] = image.plane0().pointToPel(x, y)[0];
                            p[1] = image.plane1().pointToPel(x, y)[0];
                            p[2] = image.plane2().pointToPel(x, y)[0];
                            f.bytes.insert(f.bytes.end(), p, p + 3);
                        }
                    gst_buffer_unmap(buffer, &map);
                    GST_BUFFER_PTS(buffer) = pushed.size() * GST_SECOND / 25;
                    pushed.push_back(f);
                    EXPECT_EQ(gst_app_src_push_buffer(src, buffer), GST_FLOW_OK);
                }
            }
        });
    ASSERT_TRUE(run.errors.empty()) << run.errors[0];
    const auto& out = run.frames["labels"];
    ASSERT_EQ(out.size(), pushed.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].width, pushed[i].width);
        EXPECT_TRUE(out[i].bytes ==
                    plainLabels(*file, pushed[i], kvCompositeColorSegmenterRunParams(5, false)))
            << "frame " << i;
    }
}

// Properties are taken at the start: a change while the element plays is
// refused with a warning, and get still says what the frames use.
TEST_F(Element, PropertiesHoldStillWhileItPlays) {
    Outcome run;
    runPipeline(
        "appsrc name=src format=time caps=video/x-raw,format=RGB,width=8,height=4,"
        "framerate=25/1 ! clsgsegment name=s neighborhood=5 tool=" +
            tool() + " ! appsink name=out",
        {"out"}, run, [&](GstAppSrc* src) {
            GstElement* pipeline = GST_ELEMENT(gst_object_get_parent(GST_OBJECT(src)));
            GstElement* s = gst_bin_get_by_name(GST_BIN(pipeline), "s");
            g_object_set(s, "neighborhood", 9, "output", 1, nullptr);
            gint n = 0, output = -1;
            g_object_get(s, "neighborhood", &n, "output", &output, nullptr);
            EXPECT_EQ(n, 5);
            EXPECT_EQ(output, 0);
            gst_object_unref(s);
            gst_object_unref(pipeline);
            GstBuffer* b = gst_buffer_new_allocate(nullptr, 8 * 4 * 3, nullptr);
            gst_buffer_memset(b, 0, 90, 8 * 4 * 3);
            GST_BUFFER_PTS(b) = 0;
            gst_app_src_push_buffer(src, b);
        });
    ASSERT_TRUE(run.errors.empty()) << run.errors[0];
    EXPECT_EQ(run.frames["out"].size(), 1u);
    ASSERT_EQ(run.warnings.size(), 2u);
    EXPECT_NE(run.warnings[0].find("neighborhood is taken when the element starts"),
              std::string::npos)
        << run.warnings[0];
}

// Frames from an appsrc left in bytes (its default): their pts is their time.
TEST_F(Element, FramesOfASegmentInBytesAreTimedByTheirPts) {
    Outcome run;
    runPipeline(
        "appsrc name=src caps=video/x-raw,format=RGB,width=8,height=4,framerate=25/1 "
        "! clsgsegment tool=" +
            tool() + " ! appsink name=out",
        {"out"}, run, [&](GstAppSrc* src) {
            for (int i = 0; i < 2; ++i) {
                GstBuffer* b = gst_buffer_new_allocate(nullptr, 8 * 4 * 3, nullptr);
                gst_buffer_memset(b, 0, 90, 8 * 4 * 3);
                GST_BUFFER_PTS(b) = i * 40 * GST_MSECOND;
                gst_app_src_push_buffer(src, b);
            }
        });
    ASSERT_TRUE(run.errors.empty()) << run.errors[0];
    ASSERT_EQ(run.segments.size(), 2u);
    for (guint64 i = 0; i < 2; ++i) {
        guint64 time = 0;
        ASSERT_TRUE(gst_structure_get_uint64(run.segments[i], "time", &time));
        EXPECT_EQ(time, i * 40 * GST_MSECOND);
    }
}

// Bad tool files and formats: a clear error on the bus, no frame, no crash.
TEST_F(Element, BadInputFailsWithAClearError) {
    std::ofstream(*dir / "garbage.clsg") << "clsg-tool and then nothing a tool file holds";
    ASSERT_EQ(::mkfifo((*dir / "pipe.clsg").c_str(), 0600), 0);
    {
        std::ifstream in(tool(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        std::ofstream(*dir / "cut.clsg", std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    }
    const std::string rgb =
        "videotestsrc num-buffers=2 ! video/x-raw,format=RGB,width=32,height=24 ! ";
    struct Case {
        std::string line, words;
        bool starts;        // the pipeline reaches PLAYING before the error
        bool meta = false;  // the frame pushed is whole, but its meta claims wider rows
    };
    const std::vector<Case> cases = {
        {rgb + "clsgsegment tool=" + *dir / "missing.clsg", "missing.clsg", false},
        {rgb + "clsgsegment", "has no tool file", false},
        {rgb + "clsgsegment tool=" + *dir / "garbage.clsg", "garbage.clsg", false},
        {rgb + "clsgsegment tool=" + *dir / "cut.clsg", "cut.clsg", false},
        {rgb + "clsgsegment tool=" + dir->path.string(), "cannot use the tool file", false},
        {rgb + "clsgsegment tool=" + *dir / "pipe.clsg",  // a pipe no one writes: no wait
         "pipe.clsg is not a regular file (a pipe would wait for its writer)", false},
        {rgb + "clsgsegment max-pixels=767 tool=" + tool(),
         "frames of 32 x 24 pixels are more than max-pixels allows (767)", true},
        {"appsrc name=src caps=video/x-raw,format=RGB,width=32,height=24,framerate=25/1 ! "
         "clsgsegment tool=" +
             tool(),
         "its buffer holds 1152 bytes, and a 32 x 24 RGB frame needs 2304", true},
        {"appsrc name=src caps=video/x-raw,format=I420,width=32,height=24,framerate=25/1 ! "
         "clsgsegment tool=" +
             tool(),
         "not-negotiated", true},
        {"appsrc name=src caps=video/x-raw,format=RGB,width=32,height=24,framerate=25/1 ! "
         "clsgsegment tool=" +
             tool(),
         "the frame's rows reach past the memory it was mapped from: 24 rows 200 bytes apart, in "
         "2304 bytes",
         true, true},
    };
    const std::string why = "clsgsegment takes RGB, RGBx or BGRx frames, not I420";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Outcome run;
        runPipeline(c.line + " ! appsink name=out sync=false", {"out"}, run, [&](GstAppSrc* src) {
            GstBuffer* b =
                gst_buffer_new_allocate(nullptr, 32 * 24 * 3 / (c.meta ? 1 : 2), nullptr);
            gsize offsets[GST_VIDEO_MAX_PLANES] = {};
            gint strides[GST_VIDEO_MAX_PLANES] = {200};
            if (c.meta)
                gst_buffer_add_video_meta_full(b, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_RGB,
                                               32, 24, 1, offsets, strides);
            gst_app_src_push_buffer(src, b);
        });
        EXPECT_EQ(run.started, c.starts);
        ASSERT_FALSE(run.errors.empty());
        EXPECT_NE(run.errors[0].find(c.words), std::string::npos) << run.errors[0];
        // At most one error from the element (refused caps were tried again, each
        // time with an error).
        EXPECT_LE(std::count_if(run.errors.begin(), run.errors.end(),
                                [](const std::string& e) {
                                    return e.find("/ClsgSegment:") != std::string::npos;
                                }),
                  1)
            << run.errors[1];
        EXPECT_TRUE(run.frames["out"].empty());
        EXPECT_TRUE(run.segments.empty());
        // A refused format is explained.
        if (c.words == "not-negotiated") {
            EXPECT_TRUE(!run.warnings.empty() && run.warnings[0].find(why) == 0);
            EXPECT_EQ(std::count_if(run.warnings.begin(), run.warnings.end(),
                                    [&](const std::string& w) { return w.find(why) == 0; }),
                      1);  // once, however often upstream asks
        }
    }
    // After a refused start the tool can be given and the element started anew.
    GstElement* pipeline =
        gst_parse_launch((rgb + "clsgsegment name=s ! fakesink").c_str(), nullptr);
    ASSERT_EQ(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    GstElement* s = gst_bin_get_by_name(GST_BIN(pipeline), "s");
    g_object_set(s, "tool", tool().c_str(), nullptr);
    gchar* given = nullptr;
    g_object_get(s, "tool", &given, nullptr);
    EXPECT_EQ(std::string(given ? given : ""), tool());
    g_free(given);
    gst_object_unref(s);
    EXPECT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* end = gst_bus_timed_pop_filtered(
        bus, 20 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    EXPECT_TRUE(end && GST_MESSAGE_TYPE(end) == GST_MESSAGE_EOS);
    if (end) gst_message_unref(end);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
}

// A live source faster than the element: late frames are dropped and
// reported with QoS messages, not queued.
TEST_F(Element, LiveSourceTooFastReportsQos) {
    Outcome run;
    runPipeline(
        "videotestsrc is-live=true num-buffers=120 pattern=smpte ! "
        "video/x-raw,format=RGB,width=640,height=480,framerate=1000/1 ! "
        "clsgsegment neighborhood=9 threads=1 tool=" +
            tool() + " ! fakesink sync=true qos=true max-lateness=5000000",
        {}, run);
    ASSERT_TRUE(run.errors.empty()) << run.errors[0];
    EXPECT_GT(run.qos, 0);
    EXPECT_LT(run.segments.size(), 120u);  // the late frames were not segmented
    EXPECT_GT(run.segments.size(), 0u);
}

// A GigE Vision camera on loopback: aravis's fake camera through aravissrc.
TEST_F(Element, GigEVisionCameraOnLoopback) {
    const char* camera = "/usr/bin/arv-fake-gv-camera-0.8";
    GstElementFactory* factory = gst_element_factory_find("aravissrc");
    if (::access(camera, X_OK) != 0 || !factory)
        GTEST_SKIP()
            << "needs aravis-tools (arv-fake-gv-camera-0.8) and libaravis-0.8-0 (aravissrc)";
    gst_object_unref(factory);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(camera, camera, "-i", "127.0.0.1", "-s", "CLSGTEST", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::unique_ptr<Outcome> outcome;
    for (int attempt = 0; attempt < 20; ++attempt) {  // until the camera answers
        ::usleep(200 * 1000);
        outcome = std::make_unique<Outcome>();
        runPipeline(
            "aravissrc camera-name=127.0.0.1 num-buffers=4 ! videoconvert ! "
            "video/x-raw,format=RGB" +
                tee("clsgsegment output=labels threads=2 tool=" + tool()),
            {"raw", "labels"}, *outcome);
        if (outcome->errors.empty()) break;
    }
    const Outcome& run = *outcome;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    ASSERT_TRUE(run.errors.empty()) << run.errors[0];
    const auto& raw = run.frames.at("raw");
    const auto& labels = run.frames.at("labels");
    ASSERT_EQ(raw.size(), 4u);
    ASSERT_EQ(labels.size(), 4u);
    for (std::size_t i = 0; i < raw.size(); ++i)
        EXPECT_TRUE(labels[i].bytes ==
                    plainLabels(*file, raw[i], kvCompositeColorSegmenterRunParams(3, false)));
}

}  // namespace

namespace {

// A clip through runVideo: each frame's shares are the library's on the
// decoded frame, and the overlay video holds every frame.
TEST_F(Element, VideoFileReportsAndOverlay) {
    const std::string clip = Element::clip(
                          "walk.webm",
                          "videotestsrc num-buffers=8 pattern=smpte horizontal-speed=5 ! "
                          "video/x-raw,width=160,height=120,framerate=25/1 ! videoconvert ! "
                          "vp8enc deadline=1 ! webmmux"),
                      out = *dir / "walk-overlay" + clsg::overlayVideoExtension();
    std::vector<clsg::VideoFrameReport> reports;
    clsg::VideoRunSettings settings;
    settings.toolPath = tool();
    settings.threads = 2;
    settings.frame = [&](const clsg::VideoFrameReport& r) { reports.push_back(r); };
    EXPECT_EQ(clsg::runVideo(clip, out, settings), 8u);

    Outcome decoded;
    runPipeline(
        "filesrc location=" + clip +
            " ! decodebin ! videoconvert ! video/x-raw,format=RGB ! appsink name=raw sync=false",
        {"raw"}, decoded);
    ASSERT_EQ(decoded.frames["raw"].size(), 8u);
    ASSERT_EQ(reports.size(), 8u);
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const auto labels = plainLabels(*file, decoded.frames["raw"][i],
                                        kvCompositeColorSegmenterRunParams(3, false));
        EXPECT_EQ(reports[i].frame, i);
        EXPECT_NEAR(reports[i].seconds, static_cast<double>(i) / 25, 1e-6);
        ASSERT_EQ(reports[i].labels, file->labelNames());
        for (unsigned char k = 0; k < 3; ++k)
            EXPECT_DOUBLE_EQ(
                reports[i].shares[k],
                static_cast<double>(std::count(labels.begin(), labels.end(), k)) / labels.size());
    }
    Outcome overlay;
    runPipeline(
        "filesrc location=" + out +
            " ! decodebin ! videoconvert ! video/x-raw,format=RGB ! appsink name=raw sync=false",
        {"raw"}, overlay);
    ASSERT_TRUE(overlay.errors.empty()) << overlay.errors[0];
    ASSERT_EQ(overlay.frames["raw"].size(), 8u);
    EXPECT_EQ(overlay.frames["raw"][0].width, 160);

    // Not a video, a missing file, a bad tool: errors naming the cause.
    std::ofstream(*dir / "text.mp4") << "not a video at all";
    const auto fails = [&](const std::string& path, const std::string& toolPath) {
        clsg::VideoRunSettings s;
        s.toolPath = toolPath;
        try {
            clsg::runVideo(path, *dir / "x" + clsg::overlayVideoExtension(), s);
        } catch (const clsg::VideoError& e) {
            return std::string(e.what());
        }
        return std::string("<no error>");
    };
    EXPECT_NE(fails(*dir / "text.mp4", tool()).find("text.mp4: "), std::string::npos);
    EXPECT_NE(fails(*dir / "none.mp4", tool()).find("none.mp4"), std::string::npos);
    EXPECT_NE(fails(clip, *dir / "none.clsg").find("cannot use the tool file"), std::string::npos);
}

}  // namespace
