// What choosing the parameters by cross-validation costs, against one plain
// train (default parameters) and run (neighbourhood 3, label image) of the
// same examples: the demo photograph with the demo's rectangles, and the cat
// photograph of data/photos. Both with the heap settings of `clsg train
// --auto` (useTrainingHeap, shareTrainingHeapWithThreads), as a user's run
// has them. The rows named _avx2 run both on the AVX2 path (kvSetSimdLimit),
// the others on the widest the machine has; the search runs on one thread,
// except in the rows named _2threads (the plain train and run stays on one).
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <vector>

#include "clsg/clrsgint/cpu_features.h"
#include "clsg/clsg.h"
#include "clsg/io/image_io.h"
#include "clsg/platform/pel_ops.h"
#include "clsg/tuning/suggest_params.h"
#include "clsg/tuning/training_heap.h"

using namespace clsg;

namespace {

struct Case {
    std::string photo;
    std::vector<std::vector<kvPelRect>> labels;  // rectangles per label
    int scale = 1;  // photo and rectangles enlarged this many times (pixels repeated)
};

const Case kCoffee = {
    CLSG_SOURCE_DIR "/cli/demo/coffee.png",
    {{{250, 120, 75, 45}},
     {{250, 45, 80, 30}, {180, 95, 12, 40}},
     {{100, 190, 50, 90}, {415, 180, 40, 70}, {265, 215, 50, 30}},
     {{470, 20, 110, 60}, {10, 350, 120, 45}, {15, 180, 50, 100}, {100, 40, 60, 40}}}};
const Case kChelsea = {CLSG_SOURCE_DIR "/data/photos/chelsea.png",
                       {{{60, 150, 60, 40}, {230, 20, 60, 40}, {150, 230, 50, 40}},
                        {{150, 105, 30, 25}, {310, 125, 15, 20}},
                        {{250, 234, 25, 10}},
                        {{405, 20, 40, 100}}}};
// The demo photograph at 1800 x 1200 with 9 times the example pixels: how
// both costs grow with the examples and the picture.
const Case kCoffeeTimes3 = {kCoffee.photo, kCoffee.labels, 3};

kv3PlanePelBuffer enlarged(const kv3PlanePelBuffer& photo, int k) {
    if (k == 1) return photo;
    kv3PlanePelBuffer out(kvPelRect(0, 0, photo.width() * k, photo.height() * k));
    const kvPelBuffer<unsigned char>* from[] = {&photo.plane0(), &photo.plane1(), &photo.plane2()};
    const kvPelBuffer<unsigned char>* to[] = {&out.plane0(), &out.plane1(), &out.plane2()};
    for (int p = 0; p < 3; ++p)
        for (long y = 0; y < out.height(); ++y) {
            const unsigned char* src = from[p]->pointToRow(y / k);
            unsigned char* dst = to[p]->pointToRow(y);
            for (long x = 0; x < out.width(); ++x) dst[x] = src[x / k];
        }
    return out;
}

// 255 inside the rectangles, 0 elsewhere.
kvPelBuffer<unsigned char> maskOf(const kv3PlanePelBuffer& photo,
                                  const std::vector<kvPelRect>& rects) {
    kvPelBuffer<unsigned char> mask(photo.window());
    kfPelSet(mask, 0);
    for (const kvPelRect& r : rects) {
        kvPelBuffer<unsigned char> inside = mask;  // a handle on the same pels
        inside.window(r, false);
        kfPelSet(inside, 255);
    }
    return mask;
}

std::vector<kvCompositeColorSet> setsOf(const Case& c, kv3PlanePelBuffer& photo) {
    useTrainingHeap();
    shareTrainingHeapWithThreads();
    photo = enlarged(readColorImage(c.photo), c.scale);
    std::vector<kvCompositeColorSet> sets;
    for (std::vector<kvPelRect> rects : c.labels) {
        for (kvPelRect& r : rects)
            r = kvPelRect(r.left() * c.scale, r.top() * c.scale, r.width() * c.scale,
                          r.height() * c.scale);
        sets.emplace_back(
            std::vector<kvCompositeColor>{kvCompositeColor(photo, maskOf(photo, rects))});
    }
    return sets;
}

void plainTrainAndRun(const std::vector<kvCompositeColorSet>& sets,
                      const kv3PlanePelBuffer& photo) {
    kvCompositeColorSegmenterTool tool;
    tool.train(sets, kvCompositeColorSegmenterTrainParams());
    kvCompositeColorSegmenterResult result;
    tool.run(photo, kvCompositeColorSegmenterRunParams(), result);
    benchmark::DoNotOptimize(result.labelImage());
}

void BM_PlainTrainAndRun(benchmark::State& state, const Case& c) {
    kv3PlanePelBuffer photo;
    const std::vector<kvCompositeColorSet> sets = setsOf(c, photo);
    for (auto _ : state) plainTrainAndRun(sets, photo);
}

// Also reports "ratio": the search's time over that of a plain train and run,
// both measured in turns within each iteration (the plain one three times),
// so that a load on the machine weighs on both alike.
void BM_SuggestParams(benchmark::State& state, const Case& c, kvSimdLevel level,
                      unsigned threads = 1) {
    // AVX-512 stands for the widest the machine has; a row of a narrower one
    // is skipped where that one is not available.
    const kvSimdLevel previous = kvSetSimdLimit(level);
    if (level != kvSimdLevel::Avx512 && kvActiveSimd() != level) {
        kvSetSimdLimit(previous);
        state.SkipWithError("instruction set not available");
        return;
    }
    const char* const names[] = {"plain", "AVX2", "AVX-512"};
    state.SetLabel(names[static_cast<int>(kvActiveSimd())]);
    kv3PlanePelBuffer photo;
    const std::vector<kvCompositeColorSet> sets = setsOf(c, photo);
    using Clock = std::chrono::steady_clock;
    std::chrono::duration<double> plain{}, search{};
    for (auto _ : state) {
        state.PauseTiming();
        const Clock::time_point t0 = Clock::now();
        for (int k = 0; k < 3; ++k) plainTrainAndRun(sets, photo);
        const Clock::time_point t1 = Clock::now();
        state.ResumeTiming();
        SuggestOptions options;
        options.threads = threads;
        benchmark::DoNotOptimize(clsg::suggestSegmenterParams(sets, options));
        search += Clock::now() - t1;
        plain += (t1 - t0) / 3;
    }
    state.counters["ratio"] = search / plain;
    kvSetSimdLimit(previous);
}

}  // namespace

BENCHMARK_CAPTURE(BM_PlainTrainAndRun, coffee, kCoffee)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SuggestParams, coffee, kCoffee, kvSimdLevel::Avx512)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SuggestParams, coffee_avx2, kCoffee, kvSimdLevel::Avx2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PlainTrainAndRun, chelsea, kChelsea)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SuggestParams, chelsea, kChelsea, kvSimdLevel::Avx512)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SuggestParams, chelsea_avx2, kChelsea, kvSimdLevel::Avx2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SuggestParams, chelsea_2threads, kChelsea, kvSimdLevel::Avx512, 2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SuggestParams, coffee_2threads, kCoffee, kvSimdLevel::Avx512, 2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PlainTrainAndRun, coffee_x3, kCoffeeTimes3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SuggestParams, coffee_x3, kCoffeeTimes3, kvSimdLevel::Avx512)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SuggestParams, coffee_x3_avx2, kCoffeeTimes3, kvSimdLevel::Avx2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SuggestParams, coffee_x3_2threads, kCoffeeTimes3, kvSimdLevel::Avx512, 2)
    ->Unit(benchmark::kMillisecond);
