// Regions of a 12-megapixel label image with 5 labels (the demo photograph
// tiled to 4200 x 3000 and segmented), against OpenCV's
// connectedComponentsWithStats run once per label on a binary image of it
// (the compare that makes that image is timed with it), and against the run
// that made the label image (tool.run + labelImage); and hole filling on
// nested rings. One thread throughout.
//
// The "bytes/px" counter is the peak of what findRegions allocates, per
// pixel, beyond the label image.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "clsg/clsg.h"
#include "clsg/io/image_io.h"
#include "clsg/regions/regions.h"

namespace {

std::atomic<std::size_t> gLive{0}, gPeak{0};

}  // namespace

// Counts what operator new hands out (a size header in front of each block).
// GCC takes the free() of a block from this operator new for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
    void* p = std::malloc(size + 16);
    if (!p) throw std::bad_alloc();
    std::memcpy(p, &size, sizeof size);
    const std::size_t live = gLive += size;
    std::size_t peak = gPeak.load();
    while (live > peak && !gPeak.compare_exchange_weak(peak, live)) {
    }
    return static_cast<char*>(p) + 16;
}
void operator delete(void* p) noexcept {
    if (!p) return;
    char* block = static_cast<char*>(p) - 16;
    std::size_t size;
    std::memcpy(&size, block, sizeof size);
    gLive -= size;
    std::free(block);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

// Rectangles (x, y, width, height) on the 600 x 400 photograph: crema, white
// china, red china, table, the front of the cup (as in peer_bench).
const std::vector<std::vector<kvPelRect>> kLabelRects = {
    {{250, 120, 75, 45}},
    {{250, 45, 80, 30}, {180, 95, 12, 40}},
    {{100, 190, 50, 90}, {415, 180, 40, 70}},
    {{470, 20, 110, 60}, {10, 350, 120, 45}, {15, 180, 50, 100}, {100, 40, 60, 40}},
    {{265, 215, 50, 30}},
};

struct Setup {
    kv3PlanePelBuffer frame;
    kvCompositeColorSegmenterTool tool;
    kvPelBuffer<unsigned char> labels;
    cv::Mat labelMat;

    Setup() {
        const kv3PlanePelBuffer photo = clsg::readColorImage(CLSG_DEMO_PHOTO);
        const long width = 4200, height = 3000;
        frame = kv3PlanePelBuffer(kvPelRect(0, 0, width, height));
        const kvPelBuffer<unsigned char>* from[3] = {&photo.plane0(), &photo.plane1(),
                                                     &photo.plane2()};
        const kvPelBuffer<unsigned char>* to[3] = {&frame.plane0(), &frame.plane1(),
                                                   &frame.plane2()};
        for (int p = 0; p < 3; ++p)
            for (long y = 0; y < height; ++y)
                for (long x = 0; x < width; ++x)
                    to[p]->pointToRow(y)[x] =
                        from[p]->pointToRow(y % photo.height())[x % photo.width()];
        std::vector<kvCompositeColorSet> sets;
        for (const auto& rects : kLabelRects) {
            kvPelBuffer<unsigned char> mask(photo.window());
            kfPelSet(mask, static_cast<unsigned char>(0));
            for (const kvPelRect& r : rects)
                for (long y = r.top(); y < r.bottom(); ++y)
                    std::memset(mask.pointToPel(r.left(), y), 255, r.width());
            sets.push_back(kvCompositeColorSet({kvCompositeColor(photo, mask)}));
        }
        tool.train(sets, kvCompositeColorSegmenterTrainParams());
        kvCompositeColorSegmenterResult result;
        tool.run(frame, kvCompositeColorSegmenterRunParams(3, false), result);
        labels = kfPelCopy(result.labelImage());
        labelMat = cv::Mat(static_cast<int>(height), static_cast<int>(width), CV_8U,
                           labels.pointToRow(0), static_cast<std::size_t>(labels.rowStride()));
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

void BM_Regions(benchmark::State& state) {
    Setup& s = setup();
    clsg::RegionOptions options;
    options.connectivity = static_cast<int>(state.range(0));
    std::size_t regions = 0, peak = 0;
    for (auto _ : state) {
        const std::size_t before = gLive;
        gPeak = before;
        const auto table = clsg::findRegions(s.labels, {}, options);
        peak = std::max(peak, gPeak - before);
        regions = table.size();
        benchmark::DoNotOptimize(table.data());
    }
    state.counters["regions"] = static_cast<double>(regions);
    state.counters["bytes/px"] =
        static_cast<double>(peak) / static_cast<double>(s.labels.width() * s.labels.height());
}

void BM_OpenCvPerLabel(benchmark::State& state) {
    Setup& s = setup();
    cv::setNumThreads(1);
    const int connectivity = static_cast<int>(state.range(0));
    cv::Mat mask, lab, stats, centroids;
    std::size_t regions = 0;
    for (auto _ : state) {
        regions = 0;
        for (int k = 0; k < static_cast<int>(kLabelRects.size()); ++k) {
            cv::compare(s.labelMat, k, mask, cv::CMP_EQ);
            regions += static_cast<std::size_t>(cv::connectedComponentsWithStats(
                           mask, lab, stats, centroids, connectivity, CV_32S)) -
                       1;
        }
        benchmark::DoNotOptimize(stats.data);
    }
    state.counters["regions"] = static_cast<double>(regions);
    // The same job: the two must find the same objects.
    clsg::RegionOptions options;
    options.connectivity = connectivity;
    if (clsg::findRegions(s.labels, {}, options).size() != regions)
        state.SkipWithError("clsg and OpenCV count different regions");
}

void BM_Run(benchmark::State& state) {
    Setup& s = setup();
    const kvCompositeColorSegmenterRunParams params(3, false);
    for (auto _ : state) {
        kvCompositeColorSegmenterResult result;
        s.tool.run(s.frame, params, result);
        benchmark::DoNotOptimize(result.labelImage().pointToRow(0));
    }
}

// Hole filling on square rings one pixel wide, of two labels in turn, nested
// from the border to the middle: side / 2 levels of holes inside holes, all
// filled into the outermost ring. The time should grow with the pixels
// (4 times per doubling of the side), not with the pixels times the levels.
void BM_FillHolesInNestedRings(benchmark::State& state) {
    const long side = state.range(0);
    kvPelBuffer<unsigned char> rings(kvPelRect(0, 0, side, side));
    for (long y = 0; y < side; ++y)
        for (long x = 0; x < side; ++x)
            rings.pointToRow(y)[x] = static_cast<unsigned char>(
                std::min(std::min(x, side - 1 - x), std::min(y, side - 1 - y)) % 2);
    clsg::RegionOptions options;
    options.fillHoles = uint64_t{1} << 62;
    std::size_t regions = 0;
    for (auto _ : state) regions = clsg::cleanRegions(rings, {}, options).regions.size();
    if (regions != 1) state.SkipWithError("the rings are not all filled into the outermost");
}

double best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

}  // namespace

BENCHMARK(BM_Regions)
    ->Arg(8)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(7)
    ->ComputeStatistics("best", best);
BENCHMARK(BM_OpenCvPerLabel)
    ->Arg(8)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(7)
    ->ComputeStatistics("best", best);
BENCHMARK(BM_FillHolesInNestedRings)
    ->Arg(500)
    ->Arg(1000)
    ->Arg(2000)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ComputeStatistics("best", best);
BENCHMARK(BM_Run)->Unit(benchmark::kMillisecond)->Repetitions(5)->ComputeStatistics("best", best);
