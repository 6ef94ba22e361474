// Self-similarity of a 1024 x 1024 natural-looking image, per instruction-set path.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "bench/synthetic_image.h"
#include "clsg/clrsgint/cpu_features.h"
#include "clsg/clrsgint/self_similarity.h"

namespace {

constexpr long kSide = 1024;

// A natural-looking image (fixed seed) and the tables training makes for
// colorToleranceFrac 0.1.
struct Scene {
    kvSyntheticImage image = makeSyntheticImage(kSide, kSide, 7);
    float reciprocal[256];
    unsigned char tolerance[256];
    std::vector<double> out = std::vector<double>(static_cast<size_t>(kSide * kSide));

    Scene() {
        for (int v = 0; v < 256; ++v) {
            tolerance[v] = static_cast<unsigned char>(std::max(static_cast<int>(v * 0.1), 2));
            reciprocal[v] = v == 0 ? 1.0f : static_cast<float>(1.0 / v);
        }
    }
};

void BM_SelfSimilarity(benchmark::State& state) {
    static Scene scene;
    const auto level = static_cast<kvSimdLevel>(state.range(1));
    const kvSimdLevel previous = kvSetSimdLimit(level);
    if (kvActiveSimd() != level) {
        kvSetSimdLimit(previous);
        state.SkipWithError("instruction set not available");
        return;
    }
    kvPlanesView img{};
    for (int c = 0; c < 3; ++c) {
        img.plane[c] = scene.image.plane[c].data();
        img.stride[c] = kSide;
    }
    img.width = img.height = kSide;
    const kvImageView<double> out{scene.out.data(), kSide, 0, 0, kSide, kSide};
    for (auto _ : state) {
        clsgint::computeSelfSimilarityPlanes(img, 0.1, static_cast<int32_t>(state.range(0)),
                                             scene.reciprocal, scene.tolerance, 5, out);
        benchmark::DoNotOptimize(scene.out.data());
    }
    kvSetSimdLimit(previous);
    // Seconds per pixel (shown with an SI prefix, n = nanoseconds).
    state.counters["per_pixel"] = benchmark::Counter(
        static_cast<double>(kSide * kSide),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Arguments: neighbourhood size, instruction set (0 portable, 1 AVX2, 2 AVX-512).
BENCHMARK(BM_SelfSimilarity)
    ->ArgNames({"N", "simd"})
    ->ArgsProduct({{3, 5, 9}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
