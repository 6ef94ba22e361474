// Cost of scoring one training instance over a 1024 x 1024 image, per pixel, for each
// instruction-set path and a few neighbourhood sizes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "clsg/clrsgint/cpu_features.h"
#include "clsg/clrsgint/instance_scoring.h"

namespace {

constexpr long kSide = 1024;

// Smooth colour gradients with some curvature plus pixel noise, fixed seed.
struct SyntheticImage {
    std::vector<unsigned char> plane[3];

    SyntheticImage() {
        std::mt19937 rng(7);
        std::normal_distribution<double> noise(0.0, 6.0);
        for (auto& p : plane) p.resize(kSide * kSide);
        for (long y = 0; y < kSide; ++y) {
            for (long x = 0; x < kSide; ++x) {
                const double u = x / double(kSide), v = y / double(kSide);
                const double base[3] = {40 + 180 * u, 60 + 150 * v * v,
                                        200 - 140 * u * v - 40 * (1 - u)};
                for (int c = 0; c < 3; ++c) {
                    const double value = base[c] + noise(rng);
                    plane[c][y * kSide + x] =
                        static_cast<unsigned char>(std::clamp(value, 0.0, 255.0));
                }
            }
        }
    }
    kvPlanesView view() const {
        return {{plane[0].data(), plane[1].data(), plane[2].data()},
                {kSide, kSide, kSide},
                0,
                0,
                kSide,
                kSide};
    }
};

// n = 51 levels, with a blob of non-zero cells around a few colours of the image, as a
// trained instance would have.
struct SyntheticModel {
    static constexpr int32_t n = 51;
    std::vector<unsigned char> quant = std::vector<unsigned char>(256);
    std::vector<double> weights = std::vector<double>(n * n * n, 0.0);
    double normFactor = 1.0 / (250.0 * 250.0);
    double weightedFraction = 0.0;

    explicit SyntheticModel(const SyntheticImage& img) {
        for (int c = 0; c < 256; ++c) quant[c] = static_cast<unsigned char>(c * n / 256);
        const long seeds[][2] = {{200, 300}, {700, 500}, {400, 900}, {900, 100}};
        const int radius = 6;
        for (const auto& s : seeds) {
            int centre[3];
            for (int c = 0; c < 3; ++c) centre[c] = quant[img.plane[c][s[1] * kSide + s[0]]];
            for (int a = -radius; a <= radius; ++a)
                for (int b = -radius; b <= radius; ++b)
                    for (int d = -radius; d <= radius; ++d) {
                        const int l0 = centre[0] + a, l1 = centre[1] + b, l2 = centre[2] + d;
                        if (l0 < 0 || l1 < 0 || l2 < 0 || l0 >= n || l1 >= n || l2 >= n) continue;
                        const double w = 1.0 / (1 + a * a + b * b + d * d);
                        double& cell = weights[(l0 * n + l1) * n + l2];
                        cell = std::max(cell, w);
                    }
        }
        long weighted = 0;
        for (long i = 0; i < kSide * kSide; ++i) {
            const auto q = [&](int c) { return quant[img.plane[c][i]]; };
            weighted += weights[(q(0) * n + q(1)) * n + q(2)] != 0.0;
        }
        weightedFraction = double(weighted) / (kSide * kSide);
    }
};

const SyntheticImage& image() {
    static const SyntheticImage img;
    return img;
}

const SyntheticModel& model() {
    static const SyntheticModel md(image());
    return md;
}

void BM_ScoreInstance(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(0));
    const auto level = static_cast<kvSimdLevel>(state.range(1));
    const bool first = state.range(2) != 0;
    const kvSimdLevel previous = kvSetSimdLimit(level);
    if (kvActiveSimd() != level) {
        kvSetSimdLimit(previous);
        state.SkipWithError("instruction set not available");
        return;
    }
    const SyntheticImage& img = image();
    const SyntheticModel& md = model();
    std::vector<double> out(kSide * kSide, 0.0);
    const kvImageView<double> view{out.data(), kSide, 0, 0, kSide, kSide};
    for (auto _ : state) {
        clsgint::scoreInstancePlanes(img.view(), md.quant.data(), md.weights.data(), md.n,
                                     md.normFactor, n, first, view);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    kvSetSimdLimit(previous);
    state.counters["ns_per_px"] =
        benchmark::Counter(kSide * kSide * 1e-9, benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
    state.counters["weighted_frac"] = md.weightedFraction;
}

// Floor for comparison: read the three planes, write one double per pixel.
void BM_ReadPlanesWriteDoubles(benchmark::State& state) {
    const SyntheticImage& img = image();
    std::vector<double> out(kSide * kSide);
    for (auto _ : state) {
        for (long i = 0; i < kSide * kSide; ++i)
            out[i] = img.plane[0][i] + 2.0 * img.plane[1][i] + 4.0 * img.plane[2][i];
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["ns_per_px"] =
        benchmark::Counter(kSide * kSide * 1e-9, benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}

// Arguments: neighbourhood size, instruction set (0 portable, 1 AVX2, 2 AVX-512), first flag.
BENCHMARK(BM_ScoreInstance)
    ->ArgNames({"N", "simd", "first"})
    ->ArgsProduct({{1, 3, 5, 9}, {0, 1, 2}, {1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScoreInstance)
    ->ArgNames({"N", "simd", "first"})
    ->ArgsProduct({{1, 3}, {0, 2}, {0}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPlanesWriteDoubles)->Unit(benchmark::kMillisecond);

}  // namespace
