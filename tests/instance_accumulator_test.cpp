#include "clsg/clrsgint/instance_accumulator.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "bench/synthetic_image.h"
#include "clsg/clrsgint/color_tables.h"
#include "clsg/clrsgint/cpu_features.h"

namespace {

// The shared tables of one training, kept alive for the accumulator views.
struct Training {
    kvCompositeColorSegmenterModel model;
    std::array<unsigned char, 256> quant{};
    kvAccumulatorTables tables{};
    size_t cells = 0;

    Training(double f, uint32_t tmin) {
        const int32_t n =
            clsgint::buildSharedTables(model, f, tmin, clsgint::toleranceScale(f), quant);
        tables = clsgint::accumulatorTables(model, quant, n, f);
        cells = static_cast<size_t>(n) * n * n;
    }
    Training(const Training&) = delete;

    // Upper bound of the cells one pixel visits.
    double largestBox() const {
        double widest = 0;
        for (int v = 0; v < 256; ++v)
            widest = std::max(
                widest, static_cast<double>(model.highLevelTable[v] - model.lowLevelTable[v] + 1));
        return widest * widest * widest;
    }
};

struct Image {
    long width = 0, height = 0;
    std::vector<unsigned char> plane[3];
    std::vector<unsigned char> mask;  // empty: every pixel is a care pixel

    const unsigned char* row(int p, long y) const { return plane[p].data() + y * width; }
    const unsigned char* maskRow(long y) const {
        return mask.empty() ? nullptr : mask.data() + y * width;
    }
};

struct Grid {
    std::vector<double> weights;
    std::vector<uint32_t> counts;
    long care = 0;
};

// Literal transcription of the per-pixel weight spreading: one cell at a
// time, every distance computed from scratch.
void referenceRow(const kvAccumulatorTables& t, const unsigned char* p0, const unsigned char* p1,
                  const unsigned char* p2, const unsigned char* mask, long count, Grid& g) {
    const int32_t n = t.levelCount;
    for (long x = 0; x < count; ++x) {
        if (mask != nullptr && mask[x] == 0) continue;
        ++g.care;
        const int c[3] = {p0[x], p1[x], p2[x]};
        ++g.counts[(t.quant[c[0]] * n + t.quant[c[1]]) * n + t.quant[c[2]]];
        for (int L0 = t.lowLevel[c[0]]; L0 <= t.highLevel[c[0]]; ++L0)
            for (int L1 = t.lowLevel[c[1]]; L1 <= t.highLevel[c[1]]; ++L1)
                for (int L2 = t.lowLevel[c[2]]; L2 <= t.highLevel[c[2]]; ++L2) {
                    const int L[3] = {L0, L1, L2};
                    double e[3];
                    for (int p = 0; p < 3; ++p) {
                        int d = std::abs(c[p] - t.levelCenter[L[p]]) - t.levelStep;
                        if (d < 0) d = 0;
                        const float ef = static_cast<float>(d) * t.reciprocal[t.tolerance[c[p]]];
                        e[p] = ef;
                    }
                    const double r = e[1] * e[1] + e[0] * e[0] + e[2] * e[2];
                    if (r < 1.0) {
                        const double w = (1.0 - r) * t.f2;
                        if (w > 0.0) g.weights[(L0 * n + L1) * n + L2] += w;
                    }
                }
    }
}

// Accumulates the image with the library (or the reference) into g, reusing its storage
// (the 255-level grids are large).
void accumulateInto(const Training& tr, const Image& img, Grid& g, bool useReference = false) {
    g.weights.assign(tr.cells, 0.0);
    g.counts.assign(tr.cells, 0);
    g.care = 0;
    for (long y = 0; y < img.height; ++y) {
        const unsigned char *p0 = img.row(0, y), *p1 = img.row(1, y), *p2 = img.row(2, y);
        if (useReference)
            referenceRow(tr.tables, p0, p1, p2, img.maskRow(y), img.width, g);
        else
            g.care += clsgint::accumulateRow(tr.tables, p0, p1, p2, img.maskRow(y), img.width,
                                             g.weights.data(), g.counts.data());
    }
}

Grid reference(const Training& tr, const Image& img) {
    Grid g;
    accumulateInto(tr, img, g, true);
    return g;
}

// Every instruction-set path this processor has, forced in turn, against the reference.
void expectMatchesOnEveryPath(const Training& tr, const Image& img, const Grid& expected) {
    Grid g;
    for (kvSimdLevel level : {kvSimdLevel::Portable, kvSimdLevel::Avx2, kvSimdLevel::Avx512}) {
        const kvSimdLevel previous = kvSetSimdLimit(level);
        if (kvActiveSimd() == level) {
            SCOPED_TRACE("simd path " + std::to_string(static_cast<int>(level)));
            accumulateInto(tr, img, g);
            EXPECT_EQ(expected.care, g.care);
            EXPECT_TRUE(expected.counts == g.counts);
            const size_t bytes = expected.weights.size() * sizeof(double);
            if (std::memcmp(expected.weights.data(), g.weights.data(), bytes) != 0)
                for (size_t i = 0; i < expected.weights.size(); ++i)
                    if (std::memcmp(&expected.weights[i], &g.weights[i], sizeof(double)) != 0) {
                        ADD_FAILURE() << "first differing cell " << i << ": " << expected.weights[i]
                                      << " vs " << g.weights[i];
                        break;
                    }
        } else {
            std::printf("note: simd level %d not available here, path not run\n", int(level));
        }
        kvSetSimdLimit(previous);
    }
}

enum class Content { Uniform, Natural, Patches };
enum class Masking { None, Scattered, Blocks };

Image makeImage(Content content, Masking masking, long width, long height, uint32_t seed) {
    Image img{width, height, {}, {}};
    std::mt19937 rng(seed);
    const size_t size = static_cast<size_t>(width) * height;
    if (content == Content::Natural) {
        kvSyntheticImage s = makeSyntheticImage(width, height, seed);
        for (int p = 0; p < 3; ++p) img.plane[p] = std::move(s.plane[p]);
    } else {
        for (auto& p : img.plane) p.resize(size);
        unsigned char colour[3] = {0, 0, 0};
        for (size_t i = 0; i < size; ++i) {
            // Patches: runs of one colour with an occasional change, so that
            // equal neighbours are common; Uniform: every pixel new.
            if (content == Content::Uniform || rng() % 7 == 0)
                for (auto& c : colour) c = static_cast<unsigned char>(rng());
            for (int p = 0; p < 3; ++p) img.plane[p][i] = colour[p];
        }
    }
    if (masking != Masking::None) {
        img.mask.resize(size);
        for (size_t i = 0; i < size; ++i) {
            const long x = static_cast<long>(i % width), y = static_cast<long>(i / width);
            img.mask[i] = masking == Masking::Scattered
                              ? static_cast<unsigned char>(rng() % 10 < 3 ? 0 : 1 + rng() % 255)
                              : static_cast<unsigned char>(((x / 5 + y / 3) % 3 == 0) ? 0 : 255);
        }
    }
    return img;
}

}  // namespace

TEST(InstanceAccumulator, SinglePixelWorkedValues) {
    const Training tr(0.1, 2);
    ASSERT_EQ(tr.tables.levelCount, 51);
    Image img;
    img.width = img.height = 1;
    for (auto& p : img.plane) p.assign(1, 100);
    auto cell = [](int a, int b, int c) { return static_cast<size_t>((a * 51 + b) * 51 + c); };
    const Grid g = reference(tr, img);
    expectMatchesOnEveryPath(tr, img, g);
    EXPECT_EQ(g.care, 1);
    EXPECT_EQ(g.counts[cell(20, 20, 20)], 1u);
    EXPECT_EQ(g.weights[cell(20, 20, 20)], 0.010000000000000002);
    EXPECT_EQ(g.weights[cell(21, 20, 20)], 0.009599999988079073);
    EXPECT_EQ(g.weights[cell(21, 21, 21)], 0.008799999964237215);
    EXPECT_EQ(g.weights[cell(18, 18, 18)], 0.007299999785423276);
    // Exactly the 4 x 4 x 4 cells 18..21 get weight.
    for (int a = 0; a < 51; ++a)
        for (int b = 0; b < 51; ++b)
            for (int c = 0; c < 51; ++c) {
                const bool inBox = a >= 18 && a <= 21 && b >= 18 && b <= 21 && c >= 18 && c <= 21;
                EXPECT_EQ(g.weights[cell(a, b, c)] > 0.0, inBox) << a << "," << b << "," << c;
            }
    EXPECT_EQ(1.0 / clsgint::weightedCountSum(g.counts.data(), g.weights.data(), tr.cells),
              99.99999999999999);
}

// Fractions in and outside [0, 1]: 4.0 gives 9 levels (rows shorter than a vector),
// 1016.017578125 a single level. A minimum of 2^31 or above with f >= 0 builds the same
// tables as 0 (color_tables_test).
TEST(InstanceAccumulator, MatchesReferenceBitForBit) {
    const double cellBudget = 2.5e5;  // cells visited per image, keeps each case quick
    for (double f : {0.05, 0.1, 0.3, 1.0, 4.0, 1016.017578125})
        for (uint32_t tmin : {0u, 2u, 300u}) {
            const Training tr(f, tmin);
            const long pixels = std::max(
                14L, std::min(157L * 83L, static_cast<long>(cellBudget / tr.largestBox())));
            const long width = std::min(157L, pixels), height = std::max(1L, pixels / width);
            uint32_t seed = 1;
            for (Content content : {Content::Uniform, Content::Natural, Content::Patches})
                for (Masking masking : {Masking::None, Masking::Scattered, Masking::Blocks}) {
                    const Image img = makeImage(content, masking, width, height, seed++);
                    SCOPED_TRACE(::testing::Message() << "f=" << f << " tmin=" << tmin << " image "
                                                      << width << "x" << height << " content "
                                                      << int(content) << " mask " << int(masking));
                    expectMatchesOnEveryPath(tr, img, reference(tr, img));
                }
        }
}

// 255 levels (16.6 million cells, so one small image each): f = 0.0 adds no weight at all
// (1 / the normalisation sum is infinite); f < 0 with a negative minimum gives many values
// an empty level range, so their pixels count but spread nothing.
TEST(InstanceAccumulator, LargestGrids) {
    const Training zero(0.0, 2), negative(-0.5, 0x80000000u);
    ASSERT_EQ(zero.tables.levelCount, 255);
    ASSERT_EQ(negative.tables.levelCount, 255);
    const Image natural = makeImage(Content::Natural, Masking::Scattered, 23, 3, 7);
    const Grid expected = reference(zero, natural);
    for (double w : expected.weights) ASSERT_EQ(w, 0.0);
    EXPECT_EQ(1.0 / clsgint::weightedCountSum(expected.counts.data(), expected.weights.data(),
                                              zero.cells),
              std::numeric_limits<double>::infinity());
    expectMatchesOnEveryPath(zero, natural, expected);
    const Image uniform = makeImage(Content::Uniform, Masking::Scattered, 31, 3, 9);
    expectMatchesOnEveryPath(negative, uniform, reference(negative, uniform));
}

// A row of thousands of equal pixels with don't-care pixels inside the run; white-ish pixels
// that reach the last cells of the weight table.
TEST(InstanceAccumulator, LongRunsAndTheEndOfTheGrid) {
    const Training tr(0.1, 2);
    Image runs = makeImage(Content::Patches, Masking::None, 4099, 2, 3);
    for (auto& p : runs.plane) std::fill(p.begin(), p.begin() + 4099, 200);
    runs.mask.assign(runs.plane[0].size(), 255);
    for (size_t i = 100; i < runs.mask.size(); i += 997) runs.mask[i] = 0;
    Image white = makeImage(Content::Uniform, Masking::None, 61, 5, 11);
    for (auto& p : white.plane)
        for (auto& v : p) v = static_cast<unsigned char>(230 + v % 26);
    const Grid whiteGrid = reference(tr, white);
    ASSERT_NE(whiteGrid.weights.back(), 0.0);
    expectMatchesOnEveryPath(tr, white, whiteGrid);
    expectMatchesOnEveryPath(tr, runs, reference(tr, runs));
}

TEST(InstanceAccumulator, NormalisationSumSkipsEmptyCellsExactly) {
    const Training tr(0.1, 2);
    const Grid g = reference(tr, makeImage(Content::Natural, Masking::Scattered, 157, 83, 5));
    double plain = 0.0;
    for (size_t i = 0; i < tr.cells; ++i)
        plain = plain + static_cast<double>(g.counts[i]) * g.weights[i];
    const double fast = clsgint::weightedCountSum(g.counts.data(), g.weights.data(), tr.cells);
    EXPECT_EQ(std::memcmp(&plain, &fast, sizeof(double)), 0);
    EXPECT_GT(fast, 0.0);
}
