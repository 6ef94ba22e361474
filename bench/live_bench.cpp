// Frames through the clsgsegment element, and the same job as an OpenCV loop.
//
// Frames: the demo photograph tiled to 1920 x 1080 and 3840 x 2160, RGBx,
// pushed one at a time through the element (GstHarness: the push returns
// once the element has passed the frame on, so the time per frame is also
// the element's latency). Tool: two labels trained on rectangles of the
// photograph (crema, white china), N = 3. OpenCV: per label a 51^3 histogram
// back-projected onto the frame (calcBackProject), a 3 x 3 Gaussian filter2D,
// then the argmax over the labels, with cv::setNumThreads set to the same
// thread count. Memory: the process's resident size after the warm-up frames
// and after the timed ones (counter rss_growth_MB).
//
//   live_bench [--isa=avx2|portable] --benchmark_repetitions=5
//   --benchmark_report_aggregates_only=true
//
// --isa caps the instruction set our kernels use (the AVX2 path on an AVX-512
// machine); the context printed before the table names the one that ran.
#include <benchmark/benchmark.h>
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "clsg/clrsgint/cpu_features.h"
#include "clsg/clsg.h"
#include "clsg/io/image_io.h"
#include "clsg/io/tool_file.h"
#include "clsg/live/segment_element.h"
#include "isa_option.h"

namespace {

using namespace clsg;  // the file library

const std::vector<std::vector<cv::Rect>> kLabelRects = {
    {{250, 120, 75, 45}},
    {{250, 45, 80, 30}, {180, 95, 12, 40}},
};

struct Setup {
    kv3PlanePelBuffer photo;
    cv::Mat photoBgr;
    std::string toolPath;

    Setup() {
        gst_init(nullptr, nullptr);
        clsg_segment_register_static();
        photo = readColorImage(CLSG_DEMO_PHOTO);
        photoBgr =
            cv::Mat(static_cast<int>(photo.height()), static_cast<int>(photo.width()), CV_8UC3);
        for (int y = 0; y < photoBgr.rows; ++y)
            for (int x = 0; x < photoBgr.cols; ++x) {
                unsigned char* d = photoBgr.ptr<unsigned char>(y) + 3 * x;
                d[0] = photo.plane2().pointToRow(y)[x];
                d[1] = photo.plane1().pointToRow(y)[x];
                d[2] = photo.plane0().pointToRow(y)[x];
            }
        ToolFile file;
        std::vector<kvCompositeColorSet> sets;
        for (std::size_t k = 0; k < kLabelRects.size(); ++k) {
            kvPelBuffer<unsigned char> mask(photo.window());
            kfPelSet(mask, static_cast<unsigned char>(0));
            for (const cv::Rect& r : kLabelRects[k])
                for (int y = r.y; y < r.y + r.height; ++y)
                    std::memset(mask.pointToPel(r.x, y), 255, r.width);
            sets.push_back(kvCompositeColorSet({kvCompositeColor(photo, mask)}));
            file.labels.push_back({k == 0 ? "crema" : "china", k == 0 ? 0xff0000u : 0x00ff00u, {}});
        }
        file.tool.train(sets, kvCompositeColorSegmenterTrainParams());
        char dir[] = "/tmp/clsg-live-bench-XXXXXX";
        toolPath = std::string(::mkdtemp(dir)) + "/bench.clsg";
        writeToolFile(toolPath, file);
    }
    ~Setup() {
        std::remove(toolPath.c_str());
        ::rmdir(toolPath.substr(0, toolPath.rfind('/')).c_str());
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

double residentMegabytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1 << 20);
}

// The photograph tiled to width x height, as RGBx bytes.
std::vector<unsigned char> tiledRgbx(long width, long height) {
    const kv3PlanePelBuffer& p = setup().photo;
    std::vector<unsigned char> bytes(static_cast<std::size_t>(width * height * 4), 0);
    for (long y = 0; y < height; ++y)
        for (long x = 0; x < width; ++x) {
            unsigned char* d = bytes.data() + (y * width + x) * 4;
            d[0] = p.plane0().pointToRow(y % p.height())[x % p.width()];
            d[1] = p.plane1().pointToRow(y % p.height())[x % p.width()];
            d[2] = p.plane2().pointToRow(y % p.height())[x % p.width()];
        }
    return bytes;
}

// args: width, height, threads, output (0 labels, 1 overlay)
void Element(benchmark::State& state) {
    const long width = state.range(0), height = state.range(1);
    const std::string launch = "clsgsegment tool=" + setup().toolPath +
                               " threads=" + std::to_string(state.range(2)) +
                               " neighborhood=3 output=" + (state.range(3) ? "overlay" : "labels");
    GstHarness* h = gst_harness_new_parse(launch.c_str());
    const std::string caps = "video/x-raw,format=RGBx,width=" + std::to_string(width) +
                             ",height=" + std::to_string(height) + ",framerate=30/1";
    gst_harness_set_src_caps_str(h, caps.c_str());
    const std::vector<unsigned char> frame = tiledRgbx(width, height);
    const bool overlay = state.range(3) != 0;
    GstBuffer* input = gst_buffer_new_allocate(nullptr, frame.size(), nullptr);
    gst_buffer_fill(input, 0, frame.data(), frame.size());
    // One frame through: the overlay is drawn into the pushed buffer, which
    // comes back (refilled first, outside the timing); the label image is a
    // new buffer from the element's pool.
    const auto once = [&]() {
        if (overlay) {
            if (gst_harness_push(h, input) != GST_FLOW_OK) state.SkipWithError("push failed");
            input = gst_harness_pull(h);
        } else {
            if (gst_harness_push(h, gst_buffer_ref(input)) != GST_FLOW_OK)
                state.SkipWithError("push failed");
            gst_buffer_unref(gst_harness_pull(h));
        }
    };
    for (int i = 0; i < 3; ++i) once();
    const double before = residentMegabytes();
    for (auto _ : state) {
        if (overlay) {
            state.PauseTiming();
            gst_buffer_fill(input, 0, frame.data(), frame.size());
            state.ResumeTiming();
        }
        once();
    }
    state.counters["fps"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["rss_growth_MB"] = residentMegabytes() - before;
    gst_buffer_unref(input);
    gst_harness_teardown(h);
}

struct OpenCvSegmenter {
    std::vector<cv::Mat> hists;
    cv::Mat kernel, back, score, best, greater, label;

    OpenCvSegmenter(const cv::Mat& photo, int n) {
        const int channels[] = {0, 1, 2}, sizes[] = {51, 51, 51};
        const float range[] = {0, 256};
        const float* ranges[] = {range, range, range};
        for (const auto& rects : kLabelRects) {
            cv::Mat mask = cv::Mat::zeros(photo.size(), CV_8U);
            for (const cv::Rect& r : rects) mask(r).setTo(255);
            cv::Mat hist;
            cv::calcHist(&photo, 1, channels, mask, hist, 3, sizes, ranges);
            cv::normalize(hist, hist, 0, 255, cv::NORM_MINMAX);
            hists.push_back(hist);
        }
        const cv::Mat g = cv::getGaussianKernel(n, -1, CV_32F);
        kernel = g * g.t();
    }

    void run(const cv::Mat& frame) {
        const int channels[] = {0, 1, 2};
        const float range[] = {0, 256};
        const float* ranges[] = {range, range, range};
        for (std::size_t k = 0; k < hists.size(); ++k) {
            cv::calcBackProject(&frame, 1, channels, hists[k], back, ranges);
            cv::filter2D(back, k == 0 ? best : score, CV_32F, kernel);
            if (k == 0) {
                label.create(frame.size(), CV_8U);
                label.setTo(0);
                continue;
            }
            cv::compare(score, best, greater, cv::CMP_GT);
            cv::max(best, score, best);
            label.setTo(static_cast<int>(k), greater);
        }
    }
};

// args: width, height, threads
void OpenCv(benchmark::State& state) {
    cv::setNumThreads(static_cast<int>(state.range(2)));
    const long width = state.range(0), height = state.range(1);
    const cv::Mat& photo = setup().photoBgr;
    cv::Mat frame(static_cast<int>(height), static_cast<int>(width), CV_8UC3);
    for (int y = 0; y < frame.rows; ++y)
        for (int x = 0; x < frame.cols; ++x)
            frame.at<cv::Vec3b>(y, x) = photo.at<cv::Vec3b>(y % photo.rows, x % photo.cols);
    OpenCvSegmenter segmenter(photo, 3);
    segmenter.run(frame);
    for (auto _ : state) segmenter.run(frame);
    state.counters["fps"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(Element)
    ->ArgNames({"w", "h", "threads", "overlay"})
    ->Args({1920, 1080, 2, 0})
    ->Args({1920, 1080, 2, 1})
    ->Args({3840, 2160, 2, 0})
    ->Args({1920, 1080, 1, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(OpenCv)
    ->ArgNames({"w", "h", "threads"})
    ->Args({1920, 1080, 2})
    ->Args({3840, 2160, 2})
    ->Args({1920, 1080, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Memory over 10,000 frames at 1080p in a real pipeline (videotestsrc ! clsgsegment ! fakesink,
// overlay, 2 threads), only when asked for (--benchmark_filter=Soak): the resident size every
// 1,000 frames (printed), and its lowest and highest from frame 1,000 on.
struct SoakProbe {
    long frames = 0;
    std::vector<double> rss;  // at frames 1000, 2000, ...
};

GstPadProbeReturn countFrame(GstPad*, GstPadProbeInfo*, gpointer data) {
    SoakProbe& probe = *static_cast<SoakProbe*>(data);
    if (++probe.frames % 1000 == 0) probe.rss.push_back(residentMegabytes());
    return GST_PAD_PROBE_OK;
}

void Soak(benchmark::State& state) {
    const long frames = 10000;
    const std::string launch = "videotestsrc num-buffers=" + std::to_string(frames) +
                               " pattern=smpte ! video/x-raw,format=RGBx,width=1920,height=1080"
                               " ! clsgsegment tool=" +
                               setup().toolPath + " threads=2 neighborhood=3 ! fakesink name=sink";
    SoakProbe probe;
    for (auto _ : state) {
        GError* error = nullptr;
        GstElement* pipeline = gst_parse_launch(launch.c_str(), &error);
        if (!pipeline) {
            state.SkipWithError(error ? error->message : "no pipeline");
            return;
        }
        GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
        GstPad* pad = gst_element_get_static_pad(sink, "sink");
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, countFrame, &probe, nullptr);
        gst_object_unref(pad);
        gst_object_unref(sink);
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        GstBus* bus = gst_element_get_bus(pipeline);
        GstMessage* end = gst_bus_timed_pop_filtered(
            bus, GST_CLOCK_TIME_NONE,
            static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        if (GST_MESSAGE_TYPE(end) == GST_MESSAGE_ERROR) state.SkipWithError("pipeline error");
        gst_message_unref(end);
        gst_object_unref(bus);
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
    }
    state.counters["frames"] = static_cast<double>(probe.frames);
    state.counters["fps"] =
        benchmark::Counter(static_cast<double>(probe.frames), benchmark::Counter::kIsRate);
    std::fprintf(stderr, "resident MB every 1000 frames:");
    for (double mb : probe.rss) std::fprintf(stderr, " %.1f", mb);
    std::fprintf(stderr, "\n");
    if (!probe.rss.empty()) {
        state.counters["rss_min_MB"] = *std::min_element(probe.rss.begin(), probe.rss.end());
        state.counters["rss_max_MB"] = *std::max_element(probe.rss.begin(), probe.rss.end());
    }
}
BENCHMARK(Soak)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

int main(int argc, char** argv) {
    std::vector<char*> args = takeIsaOption(argc, argv);
    // The soak runs only when a filter asks for it.
    bool filtered = false;
    for (char* a : args) filtered = filtered || std::strncmp(a, "--benchmark_filter", 18) == 0;
    std::string skipSoak = "--benchmark_filter=-Soak";
    if (!filtered) args.push_back(skipSoak.data());
    return runBenchmarks(args);
}
