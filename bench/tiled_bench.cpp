// The tiled runner on a 12.6-megapixel image (4340 x 2900 of natural-looking
// content), three labels, producing what `clsg run` writes: the label,
// confidence and score images and one segmentation image per label. N = 3
// and 9, on 1 and 2 threads (wall-clock time; the speedup is the ratio of the
// two thread counts' times).
//   tiled_bench --benchmark_repetitions=5   (reports mean, median and min)
#include <benchmark/benchmark.h>

#include <cstring>

#include "clsg/platform/pel_ops.h"
#include "clsg/tiled/tiled_run.h"
#include "synthetic_image.h"

namespace {

constexpr long kWidth = 4340, kHeight = 2900;

const kv3PlanePelBuffer& benchImage() {
    static const kv3PlanePelBuffer image = [] {
        const kvSyntheticImage s = makeSyntheticImage(kWidth, kHeight, 7);
        kv3PlanePelBuffer out(kvPelRect(0, 0, kWidth, kHeight));
        const kvPelBuffer<unsigned char>* planes[3] = {&out.plane0(), &out.plane1(), &out.plane2()};
        for (int p = 0; p < 3; ++p)
            for (long y = 0; y < kHeight; ++y)
                std::memcpy(planes[p]->pointToRow(y), &s.plane[p][y * kWidth], kWidth);
        return out;
    }();
    return image;
}

// Three labels, each taught from two regions of the image.
const kvCompositeColorSegmenterTool& benchTool() {
    static const kvCompositeColorSegmenterTool tool = [] {
        std::vector<kvCompositeColorSet> sets;
        for (long label = 0; label < 3; ++label) {
            std::vector<kvCompositeColor> examples;
            for (long e = 0; e < 2; ++e) {
                kvPelBuffer<unsigned char> mask(benchImage().window());
                kfPelSet(mask, static_cast<unsigned char>(0));
                for (long y = 400 + 1200 * e; y < 800 + 1200 * e; ++y)
                    std::memset(mask.pointToPel(300 + 1300 * label, y), 255, 400);
                examples.emplace_back(benchImage(), mask);
            }
            sets.emplace_back(examples);
        }
        kvCompositeColorSegmenterTool t;
        t.train(sets, kvCompositeColorSegmenterTrainParams());
        return t;
    }();
    return tool;
}

void BM_TiledRun(benchmark::State& state) {
    const kvCompositeColorSegmenterRunParams params(static_cast<int32_t>(state.range(0)));
    const clsg::TiledOutputs outputs{true, true, true, {0, 1, 2}};
    clsg::TiledOptions options;
    options.threads = static_cast<unsigned>(state.range(1));
    benchTool();
    for (auto _ : state)
        benchmark::DoNotOptimize(
            clsg::tiledRun(benchTool(), benchImage(), params, outputs, options));
    state.counters["ns_per_pixel"] = benchmark::Counter(
        static_cast<double>(kWidth * kHeight),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_TiledRun)
    ->ArgsProduct({{3, 9}, {1, 2}})
    ->ArgNames({"N", "threads"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
