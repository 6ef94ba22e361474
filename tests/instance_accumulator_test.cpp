#include "clsg/clrsgint/instance_accumulator.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "clsg/clrsgint/color_tables.h"
#include "clsg/clrsgint/cpu_features.h"
#include "simd_path.h"

namespace {

struct Training {
    kvCompositeColorSegmenterModel model;
    std::array<unsigned char, 256> quant{};
    kvAccumulatorTables t;
    size_t cells;
    Training(double f, uint32_t tmin)
        : t(clsgint::accumulatorTables(
              model, quant,
              clsgint::buildSharedTables(model, f, tmin, clsgint::toleranceScale(f), quant), f)),
          cells(size_t(t.levelCount) * t.levelCount * t.levelCount) {}
};

struct Image {  // row-major; an empty mask: every pixel cares
    long width, height;
    std::vector<unsigned char> plane[3], mask;
};
struct Grid {  // what one accumulation leaves
    std::vector<double> weights;
    std::vector<uint32_t> counts;
    std::vector<clsgint::kvTouchedCells> touched;
    long care = 0;
};

// Literal per-pixel weight spreading: one cell at a time, every distance from scratch.
void referencePixel(const kvAccumulatorTables& t, const int c[3], Grid& g) {
    const int32_t n = t.levelCount;
    ++g.care;
    const size_t cell = size_t((t.quant[c[0]] * n + t.quant[c[1]]) * n + t.quant[c[2]]);
    ++g.counts[cell];
    g.touched[cell / 64] |= clsgint::kvTouchedCells{1} << (cell % 64);
    double e[3][256];  // distance per channel and level
    for (int p = 0; p < 3; ++p)
        for (int L = t.lowLevel[c[p]]; L <= t.highLevel[c[p]]; ++L)
            e[p][L] =
                static_cast<float>(std::max(0, std::abs(c[p] - t.levelCenter[L]) - t.levelStep)) *
                t.reciprocal[t.tolerance[c[p]]];
    for (int L0 = t.lowLevel[c[0]]; L0 <= t.highLevel[c[0]]; ++L0)
        for (int L1 = t.lowLevel[c[1]]; L1 <= t.highLevel[c[1]]; ++L1)
            for (int L2 = t.lowLevel[c[2]]; L2 <= t.highLevel[c[2]]; ++L2) {
                const double r = e[1][L1] * e[1][L1] + e[0][L0] * e[0][L0] + e[2][L2] * e[2][L2];
                if (r < 1.0 && (1.0 - r) * t.f2 > 0.0)
                    g.weights[(L0 * n + L1) * n + L2] += (1.0 - r) * t.f2;
            }
}

void accumulate(const Training& tr, const Image& img, Grid& g, bool reference) {
    g.weights.assign(tr.cells, 0.0);  // counts: the kernel overwrites a cell it first touches
    g.counts.assign(tr.cells, reference ? 0 : 77);
    g.touched.assign((tr.cells + 63) / 64, 0);
    g.care = 0;
    for (long y = 0; y < img.height; ++y) {
        const long o = y * img.width;
        const unsigned char* mask = img.mask.empty() ? nullptr : img.mask.data() + o;
        if (!reference)
            g.care += clsgint::accumulateRow(tr.t, img.plane[0].data() + o, img.plane[1].data() + o,
                                             img.plane[2].data() + o, mask, img.width,
                                             g.weights.data(), g.counts.data(), g.touched.data());
        for (long x = 0; x < img.width && reference; ++x) {
            const int c[3] = {img.plane[0][o + x], img.plane[1][o + x], img.plane[2][o + x]};
            if (mask == nullptr || mask[x] != 0) referencePixel(tr.t, c, g);
        }
    }
}

// The path the test forced (see SimdPath) against the reference.
Grid expectMatchesOnThisPath(const Training& tr, const Image& img) {
    Grid want, g;
    accumulate(tr, img, want, true);
    accumulate(tr, img, g, false);
    EXPECT_EQ(want.care, g.care);
    size_t bad = 0;  // counts count only where touched
    for (size_t i = 0; i < tr.cells; ++i)
        bad += ((g.touched[i / 64] >> (i % 64)) & 1 ? g.counts[i] : 0) != want.counts[i];
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(0, std::memcmp(want.weights.data(), g.weights.data(), tr.cells * 8));
    return want;
}

// Every pixel a new colour, or runs of one colour; no mask, scattered or blocks of don't-care.
Image makeImage(bool runs, int masking, long width, long height, uint32_t seed) {
    Image img{width, height, {}, {}};
    std::mt19937 rng(seed);
    const size_t size = size_t(width) * height;
    unsigned char colour[3] = {0, 0, 0};
    for (size_t i = 0; i < size; ++i) {
        const bool fresh = !runs || rng() % 7 == 0;
        for (int p = 0; p < 3; ++p) img.plane[p].push_back(colour[p] = fresh ? rng() : colour[p]);
    }
    if (masking != 0) img.mask.resize(size);
    for (size_t i = 0; i < img.mask.size(); ++i)
        img.mask[i] = masking == 1 ? (rng() % 10 < 3 ? 0 : 1 + rng() % 255)
                                   : ((i % width / 5 + i / width / 3) % 3 == 0 ? 0 : 255);
    return img;
}

}  // namespace

// 9 levels (short rows), 1, 255 without weight, empty ranges (f < 0); the normalisation sum.
class InstanceAccumulator : public SimdPath {};

TEST_P(InstanceAccumulator, MatchesReferenceBitForBit) {
    uint32_t seed = 1;
    const std::tuple<double, uint32_t, long, long> cases[] = {
        {0.05, 2, 157, 3}, {0.1, 0, 67, 9},           {0.3, 300, 30, 2},
        {1.0, 2, 67, 9},   {4.0, 2, 67, 9},           {1016.017578125, 2, 67, 9},
        {0.0, 2, 23, 3},   {-0.5, 0x80000000u, 31, 3}};
    for (const auto& [f, tmin, width, height] : cases) {
        const Training tr(f, tmin);
        for (int masking = 0; masking < (tr.cells > 1000000 ? 1 : 3); ++masking, ++seed) {
            SCOPED_TRACE(::testing::Message() << "f=" << f << " mask " << masking);
            expectMatchesOnThisPath(tr, makeImage(seed % 2, masking, width, height, seed));
        }
    }
    // A long run with don't-care pixels inside; bright colours reach the last cell; the exact sum.
    const Training tr(0.1, 2);
    Image runs = makeImage(true, 0, 4099, 2, 3), white = makeImage(false, 0, 61, 5, 11);
    for (int c = 0; c < 3; ++c) std::fill_n(runs.plane[c].begin(), 4099, 200);
    for (auto& p : white.plane)
        for (auto& v : p) v = static_cast<unsigned char>(230 + v % 26);
    runs.mask.assign(runs.plane[0].size(), 255);
    for (size_t i = 100; i < runs.mask.size(); i += 997) runs.mask[i] = 0;
    EXPECT_NE(expectMatchesOnThisPath(tr, white).weights.back(), 0.0);
    const Grid g = expectMatchesOnThisPath(tr, runs);
    double plain = 0.0;  // row-major
    for (size_t i = 0; i < tr.cells; ++i) plain = plain + double(g.counts[i]) * g.weights[i];
    const double fast =
        clsgint::weightedCountSum(g.counts.data(), g.touched.data(), g.weights.data(), tr.cells);
    EXPECT_TRUE(fast > 0.0 && std::memcmp(&plain, &fast, sizeof(double)) == 0);
}

INSTANTIATE_SIMD_PATHS(InstanceAccumulator);
