// End-to-end figures through the public API: training, running and the
// derived images, on 1024 x 1024 natural-looking content.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "clsg/clrsgint/color_model.h"
#include "clsg/clrsgint/internal_result.h"
#include "clsg/clrsgint/label_pass.h"
#include "clsg/clrsgint/tool_model.h"
#include "clsg/clsg.h"
#include "synthetic_image.h"

namespace {

constexpr long kSide = 1024;

kv3PlanePelBuffer toImage(const kvSyntheticImage& s) {
    kv3PlanePelBuffer image(kvPelRect(0, 0, s.width, s.height));
    const kvPelBuffer<unsigned char>* planes[3] = {&image.plane0(), &image.plane1(),
                                                   &image.plane2()};
    for (int p = 0; p < 3; ++p)
        for (long y = 0; y < s.height; ++y)
            std::memcpy(planes[p]->pointToRow(y), &s.plane[p][y * s.width], s.width);
    return image;
}

const kv3PlanePelBuffer& benchImage() {
    static const kv3PlanePelBuffer image = toImage(makeSyntheticImage(kSide, kSide, 7));
    return image;
}

kvPelBuffer<unsigned char> rectMask(long x, long y, long w, long h) {
    kvPelBuffer<unsigned char> mask(kvPelRect(0, 0, kSide, kSide));
    kfPelSet(mask, static_cast<unsigned char>(0));
    for (long r = y; r < y + h; ++r) std::memset(mask.pointToPel(x, r), 255, w);
    return mask;
}

// Three labels of two examples each, taught from regions of the image.
const kvCompositeColorSegmenterTool& benchTool() {
    static const kvCompositeColorSegmenterTool tool = [] {
        std::vector<kvCompositeColorSet> sets;
        for (int label = 0; label < 3; ++label) {
            std::vector<kvCompositeColor> examples;
            for (int e = 0; e < 2; ++e)
                examples.emplace_back(benchImage(),
                                      rectMask(100 + 300 * label, 150 + 400 * e, 120, 120));
            sets.emplace_back(examples);
        }
        kvCompositeColorSegmenterTool t;
        t.train(sets, kvCompositeColorSegmenterTrainParams());
        return t;
    }();
    return tool;
}

void BM_TrainOneLabel(benchmark::State& state) {
    const double f = state.range(0) / 100.0;
    const std::vector<kvCompositeColorSet> sets{
        kvCompositeColorSet({kvCompositeColor(benchImage(), kvPelBuffer_const<unsigned char>())})};
    kvCompositeColorSegmenterTool tool;
    for (auto _ : state) tool.train(sets, kvCompositeColorSegmenterTrainParams(f, 2));
    // Cells visited: the product of the three level ranges of every pixel.
    const kvCompositeColorSegmenterModel& m = clsgint::toolModel(tool);
    const kv3PlanePelBuffer& img = benchImage();
    double cells = 0.0;
    for (long y = 0; y < kSide; ++y)
        for (long x = 0; x < kSide; ++x) {
            double box = 1.0;
            for (const auto* plane : {&img.plane0(), &img.plane1(), &img.plane2()}) {
                const unsigned char v = plane->pointToPel(x, y)[0];
                box *= m.highLevelTable[v] - m.lowLevelTable[v] + 1;
            }
            cells += box;
        }
    state.counters["care_pixels_per_s"] = benchmark::Counter(
        static_cast<double>(kSide * kSide), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["cell_updates_per_s"] =
        benchmark::Counter(cells, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_TrainOneLabel)->Arg(10)->Arg(30)->Unit(benchmark::kMillisecond);

void BM_Run(benchmark::State& state) {
    const auto& tool = benchTool();
    const kvCompositeColorSegmenterRunParams params(static_cast<int32_t>(state.range(0)),
                                                    state.range(1) != 0);
    kvCompositeColorSegmenterResult result;
    for (auto _ : state) tool.run(benchImage(), params, result);
    const double instances = static_cast<double>(clsgint::toolModel(tool).instanceModels.size());
    state.counters["ns_per_pixel_instance"] = benchmark::Counter(
        kSide * kSide * instances,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Run)
    ->ArgsProduct({{1, 3, 5, 9}, {0, 1}})
    ->ArgNames({"N", "normalize"})
    ->Unit(benchmark::kMillisecond);

// One derived image per iteration, built from a fresh copy of a run whose
// caches are empty (the copy, and freeing the previous images, are not timed).
// The label and confidence images are not among them: the run builds them
// (BM_LabelPass times that pass).
template <class Build>
void deriveImage(benchmark::State& state, int n, Build build) {
    kvCompositeColorSegmenterResult run;
    benchTool().run(benchImage(), kvCompositeColorSegmenterRunParams(n), run);
    kvCompositeColorSegmenterResult fresh;
    for (auto _ : state) {
        state.PauseTiming();
        fresh = run;  // drops the previous iteration's images, untimed
        state.ResumeTiming();
        benchmark::DoNotOptimize(build(fresh));
    }
    state.counters["ns_per_pixel"] = benchmark::Counter(
        kSide * kSide, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The label pass alone in steady state (label and confidence images written
// into buffers kept from frame to frame), over the first 2 or 3 labels' scores.
void BM_LabelPass(benchmark::State& state) {
    kvCompositeColorSegmenterResult run;
    benchTool().run(benchImage(), kvCompositeColorSegmenterRunParams(3), run);
    const auto& held =
        static_cast<const kvCompositeColorSegmenterInternalResult*>(run.result())->labelScores;
    std::vector<kvPelBuffer_const<double>> scores;
    for (std::size_t k = 0; k < held.size(); ++k) scores.push_back(held[k]);
    const auto labels = static_cast<std::size_t>(state.range(0));
    const kvPelRect w = scores.at(0).window();
    kvPelBuffer<unsigned char> label(w), confidence(w);
    std::vector<const double*> rows(labels);
    for (auto _ : state)
        for (long y = w.top(); y < w.bottom(); ++y) {
            for (std::size_t k = 0; k < labels; ++k) rows[k] = scores[k].pointToRow(y);
            clsgint::labelPassRow(rows.data(), labels, w.width(), label.pointToRow(y),
                                  confidence.pointToRow(y));
        }
    state.counters["ns_per_pixel"] = benchmark::Counter(
        kSide * kSide, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LabelPass)->Arg(2)->Arg(3)->ArgName("labels")->Unit(benchmark::kMillisecond);

void BM_SegmentationImage(benchmark::State& state) {
    deriveImage(state, 3,
                [](const kvCompositeColorSegmenterResult& r) { return r.segmentationImage(1); });
}
BENCHMARK(BM_SegmentationImage)->Unit(benchmark::kMillisecond);

void BM_ScoreImage(benchmark::State& state) {
    deriveImage(state, static_cast<int>(state.range(0)),
                [](const kvCompositeColorSegmenterResult& r) { return r.scoreImage(); });
}
BENCHMARK(BM_ScoreImage)->Arg(3)->Arg(5)->Arg(9)->ArgName("N")->Unit(benchmark::kMillisecond);

}  // namespace
