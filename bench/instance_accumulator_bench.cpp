// Throughput of the instance-model accumulation: one label trained from a
// fully selected 1024 x 1024 synthetic image, per instruction-set path.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <vector>

#include "bench/synthetic_image.h"
#include "clsg/clrsgint/color_tables.h"
#include "clsg/clrsgint/cpu_features.h"
#include "clsg/clrsgint/instance_accumulator.h"

namespace {

const kvSyntheticImage& image() {
    static const kvSyntheticImage img = makeSyntheticImage(1024, 1024);
    return img;
}

void BM_AccumulateInstance(benchmark::State& state) {
    const auto simd = static_cast<kvSimdLevel>(state.range(0));
    const double f = state.range(1) / 100.0;
    const kvSimdLevel previous = kvSetSimdLimit(simd);
    if (kvActiveSimd() != simd) {
        kvSetSimdLimit(previous);
        state.SkipWithError("instruction set not available");
        return;
    }

    kvCompositeColorSegmenterModel model;
    std::array<unsigned char, 256> quant{};
    const int32_t n = clsgint::buildSharedTables(model, f, 2, clsgint::toleranceScale(f), quant);
    const kvAccumulatorTables tables = clsgint::accumulatorTables(model, quant, n, f);
    const size_t cells = static_cast<size_t>(n) * n * n;
    std::vector<double> weights(cells);
    std::vector<uint32_t> counts(cells);
    std::vector<clsgint::kvTouchedCells> touched((cells + 63) / 64);

    const kvSyntheticImage& img = image();
    // Cells visited: product of the three level-range lengths per pixel.
    double cellUpdates = 0.0;
    auto rangeLength = [&](unsigned char c) {
        return static_cast<double>(model.highLevelTable[c] - model.lowLevelTable[c] + 1);
    };
    for (size_t i = 0; i < img.plane[0].size(); ++i)
        cellUpdates += rangeLength(img.plane[0][i]) * rangeLength(img.plane[1][i]) *
                       rangeLength(img.plane[2][i]);

    long care = 0;
    for (auto _ : state) {
        std::fill(weights.begin(), weights.end(), 0.0);
        std::fill(touched.begin(), touched.end(), 0);
        care = 0;
        for (long y = 0; y < img.height; ++y) {
            const size_t row = static_cast<size_t>(y) * img.width;
            care +=
                clsgint::accumulateRow(tables, img.plane[0].data() + row, img.plane[1].data() + row,
                                       img.plane[2].data() + row, nullptr, img.width,
                                       weights.data(), counts.data(), touched.data());
        }
        benchmark::DoNotOptimize(
            clsgint::weightedCountSum(counts.data(), touched.data(), weights.data(), cells));
    }
    kvSetSimdLimit(previous);

    const double iterations = static_cast<double>(state.iterations());
    state.counters["care_pixels/s"] =
        benchmark::Counter(static_cast<double>(care) * iterations, benchmark::Counter::kIsRate);
    state.counters["cell_updates/s"] =
        benchmark::Counter(cellUpdates * iterations, benchmark::Counter::kIsRate);
}

// Arguments: instruction set (0 portable, 1 AVX2, 2 AVX-512), f in hundredths.
BENCHMARK(BM_AccumulateInstance)
    ->ArgNames({"simd", "f_pct"})
    ->ArgsProduct({{0, 1, 2}, {10, 30}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
