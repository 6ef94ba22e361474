#include "clsg/clrsgint/self_similarity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "clsg/clrsgint/cpu_features.h"
#include "clsg/clrsgint/neighborhood_kernel.h"
#include "platform/attention.h"
#include "platform/exception.h"

namespace {

// An RGB window with padded rows, so strides differ from the width.
struct TestImage {
    long x0 = 0, y0 = 0, width = 0, height = 0, stride = 0;
    std::vector<unsigned char> planes[3];

    TestImage(long x0_, long y0_, long w, long h) : x0(x0_), y0(y0_), width(w), height(h) {
        stride = w + 3;
        for (auto& p : planes) p.assign(static_cast<size_t>(stride * h), 0);
    }
    unsigned char& at(int c, long x, long y) { return planes[c][(y - y0) * stride + (x - x0)]; }
    unsigned char at(int c, long x, long y) const {
        return planes[c][(y - y0) * stride + (x - x0)];
    }
    kvPlanesView view() const {
        kvPlanesView v{};
        for (int c = 0; c < 3; ++c) {
            v.plane[c] = planes[c].data();
            v.stride[c] = stride;
        }
        v.x0 = x0;
        v.y0 = y0;
        v.width = width;
        v.height = height;
        return v;
    }
};

struct Tables {
    float reciprocal[256];
    unsigned char tolerance[256];
    unsigned char levelStep;
};

// Tolerances as training derives them: max(trunc(v * 0.1), 2), step 5.
Tables realisticTables() {
    Tables t{};
    for (int v = 0; v < 256; ++v) {
        t.tolerance[v] = static_cast<unsigned char>(std::max(static_cast<int>(v * 0.1), 2));
        t.reciprocal[v] = v == 0 ? 1.0f : static_cast<float>(1.0 / v);
    }
    t.levelStep = 5;
    return t;
}

// Arbitrary tolerances, zero included (reciprocal 1 there), and no level step.
Tables randomTables(unsigned seed) {
    Tables t{};
    std::mt19937 rng(seed);
    for (int v = 0; v < 256; ++v) {
        t.tolerance[v] = static_cast<unsigned char>(rng() % 41);
        t.reciprocal[v] = v == 0 ? 1.0f : static_cast<float>(1.0 / v);
    }
    t.levelStep = 0;
    return t;
}

TestImage randomImage(long x0, long y0, long w, long h, unsigned seed) {
    TestImage im(x0, y0, w, h);
    std::mt19937 rng(seed);
    for (auto& p : im.planes)
        for (auto& v : p) v = static_cast<unsigned char>(rng());
    return im;
}

// Smooth colours plus a little noise: most nearby pairs are similar.
TestImage lowContrastImage(long x0, long y0, long w, long h, unsigned seed) {
    TestImage im(x0, y0, w, h);
    std::mt19937 rng(seed);
    for (long y = y0; y < y0 + h; ++y)
        for (long x = x0; x < x0 + w; ++x)
            for (int c = 0; c < 3; ++c) {
                const long base = 90 + 20 * c + (x - x0) / 7 + (y - y0) / 5;
                im.at(c, x, y) = static_cast<unsigned char>(base + static_cast<long>(rng() % 9));
            }
    return im;
}

// The computation as plain loops: pair tables, then each pair scattered to
// every centre whose neighbourhood holds both pixels.
std::vector<double> plainSelfSimilarity(const TestImage& im, double frac, int32_t n,
                                        const Tables& t) {
    const long x0 = im.x0, y0 = im.y0, x1 = x0 + im.width, y1 = y0 + im.height;
    std::vector<double> out(static_cast<size_t>(im.width * im.height));
    const double f2 = frac * frac;
    if (n == 1) {
        std::fill(out.begin(), out.end(), f2);
        return out;
    }
    std::fill(out.begin(), out.end(), 0.0);
    const bool even = n % 2 == 0;
    const int32_t half = n / 2;
    const int32_t lo = -half + (even ? 1 : 0), hi = half;
    const int32_t m = kernelQuadrantSide(n);
    const unsigned char* kw = neighborhoodKernel(n);
    auto r = [&](int32_t u) -> int32_t {
        if (!even) return std::abs(u);
        const double v = std::fabs(u - 0.5) - 0.5;
        return v >= 0 ? static_cast<int32_t>(v + 0.5) : static_cast<int32_t>(v - 0.5);
    };
    auto K = [&](int32_t u, int32_t v) { return int(kw[r(u) * m + r(v)]); };

    struct Record {
        int32_t px, py;
        uint16_t w;
    };
    std::vector<std::vector<Record>> lists(static_cast<size_t>((2 * n - 1) * n));
    for (int32_t dy = 0; dy <= n - 1; ++dy)
        for (int32_t dx = 1 - n; dx <= n - 1; ++dx) {
            auto& list = lists[static_cast<size_t>((dx + n - 1) * n + dy)];
            list.clear();
            for (int32_t px = std::max(lo, lo + dx); px <= std::min(hi, hi + dx); ++px)
                for (int32_t py = lo + dy; py <= hi; ++py) {
                    const int w = K(px, py) * K(px - dx, py - dy);
                    if (w > 0) list.push_back({px, py, static_cast<uint16_t>(w)});
                }
        }

    for (long y = y0; y < y1; ++y)
        for (long x = x0; x < x1; ++x)
            for (long dy = 0; dy <= std::min<long>(n, y1 - y) - 1; ++dy)
                for (long dx = (dy == 0 ? 0 : std::max<long>(1 - n, x0 - x));
                     dx <= std::min<long>(n, x1 - x) - 1; ++dx) {
                    const auto& list = lists[static_cast<size_t>((dx + n - 1) * n + dy)];
                    if (list.empty()) continue;
                    double e[3];
                    for (int c = 0; c < 3; ++c) {
                        const int pc = im.at(c, x, y), qc = im.at(c, x + dx, y + dy);
                        const int d = std::max(0, std::abs(pc - qc) - t.levelStep);
                        e[c] = static_cast<float>(d) * t.reciprocal[t.tolerance[pc]];
                    }
                    const double s = 1.0 - ((e[1] * e[1] + e[0] * e[0]) + e[2] * e[2]);
                    if (!(s > 0)) continue;
                    double v = s * f2;
                    if (dx != 0 || dy != 0) v = v * 2.0;
                    for (const Record& rec : list) {
                        const long tx = x + rec.px, ty = y + rec.py;
                        if (tx < x0 || tx >= x1 || ty < y0 || ty >= y1) continue;
                        out[static_cast<size_t>((ty - y0) * im.width + (tx - x0))] +=
                            static_cast<double>(rec.w) * v;
                    }
                }
    return out;
}

constexpr double kSentinel = -12345.5;

// Runs the library function into a padded output; checks the padding is untouched.
std::vector<double> fastSelfSimilarity(const TestImage& im, double frac, int32_t n,
                                       const Tables& t) {
    const long outStride = im.width + 5;
    std::vector<double> buf(static_cast<size_t>(outStride * im.height), kSentinel);
    const kvImageView<double> out{buf.data(), outStride, im.x0, im.y0, im.width, im.height};
    computeSelfSimilarityPlanes(im.view(), frac, n, t.reciprocal, t.tolerance, t.levelStep, out);
    std::vector<double> packed(static_cast<size_t>(im.width * im.height));
    for (long y = 0; y < im.height; ++y) {
        for (long x = im.width; x < outStride; ++x)
            EXPECT_EQ(buf[static_cast<size_t>(y * outStride + x)], kSentinel)
                << "row padding written at " << x << "," << y;
        std::copy(buf.begin() + y * outStride, buf.begin() + y * outStride + im.width,
                  packed.begin() + y * im.width);
    }
    return packed;
}

// Calls fn once per instruction-set path this processor has, with that path forced.
void forEachSimdPath(const std::function<void()>& fn) {
    for (kvSimdLevel level : {kvSimdLevel::Portable, kvSimdLevel::Avx2, kvSimdLevel::Avx512}) {
        const kvSimdLevel previous = kvSetSimdLimit(level);
        if (kvActiveSimd() == level) {
            SCOPED_TRACE("simd level " + std::to_string(static_cast<int>(level)));
            fn();
        }
        kvSetSimdLimit(previous);
    }
}

void expectBitIdentical(const std::vector<double>& expected, const std::vector<double>& actual,
                        long width) {
    ASSERT_EQ(expected.size(), actual.size());
    if (std::memcmp(expected.data(), actual.data(), expected.size() * sizeof(double)) == 0) return;
    for (size_t i = 0; i < expected.size(); ++i) {
        uint64_t a, b;
        std::memcpy(&a, &expected[i], sizeof a);
        std::memcpy(&b, &actual[i], sizeof b);
        if (a != b) {
            ADD_FAILURE() << "first difference at column " << long(i) % width << ", row "
                          << long(i) / width << ": expected " << expected[i] << " got "
                          << actual[i];
            return;
        }
    }
}

void expectMatchesPlainLoop(const TestImage& im, double frac, int32_t n, const Tables& t) {
    SCOPED_TRACE("N=" + std::to_string(n) + " window " + std::to_string(im.x0) + "," +
                 std::to_string(im.y0) + " " + std::to_string(im.width) + "x" +
                 std::to_string(im.height));
    const std::vector<double> expected = plainSelfSimilarity(im, frac, n, t);
    forEachSimdPath(
        [&] { expectBitIdentical(expected, fastSelfSimilarity(im, frac, n, t), im.width); });
}

TEST(SelfSimilarity, MatchesPlainLoopOnRandomImages) {
    const TestImage im = randomImage(-37, 11, 157, 83, 1);
    const Tables random = randomTables(7);
    for (int32_t n = 1; n <= 10; ++n) expectMatchesPlainLoop(im, 0.37, n, random);
    expectMatchesPlainLoop(im, 0.1, 3, realisticTables());
}

TEST(SelfSimilarity, MatchesPlainLoopOnLowContrastImages) {
    const TestImage im = lowContrastImage(13, -29, 157, 83, 2);
    const Tables realistic = realisticTables();
    for (int32_t n = 1; n <= 10; ++n) expectMatchesPlainLoop(im, 0.1, n, realistic);
    const TestImage small = lowContrastImage(-5, -3, 41, 29, 3);
    for (int32_t n = 2; n <= 10; ++n) expectMatchesPlainLoop(small, 0.5, n, randomTables(n));
}

// Wide rows are processed in several column strips.
TEST(SelfSimilarity, MatchesPlainLoopOnWideImages) {
    const Tables realistic = realisticTables();
    expectMatchesPlainLoop(lowContrastImage(-1001, 7, 1500, 6, 4), 0.1, 4, realistic);
    expectMatchesPlainLoop(lowContrastImage(3, -9, 403, 12, 5), 0.1, 9, realistic);
    expectMatchesPlainLoop(randomImage(-77, 0, 301, 9, 6), 0.25, 10, randomTables(8));
}

// Sizes 27 (smallest centre weight 1) and 28 and above (centre weight 0).
TEST(SelfSimilarity, MatchesPlainLoopForLargeNeighbourhoods) {
    const Tables realistic = realisticTables();
    const TestImage im = lowContrastImage(-21, 5, 45, 31, 9);
    for (int32_t n : {27, 28}) expectMatchesPlainLoop(im, 0.1, n, realistic);
    expectMatchesPlainLoop(randomImage(1, -1, 33, 17, 10), 0.3, 40, randomTables(11));
}

// Windows smaller than the neighbourhood, down to one pixel.
TEST(SelfSimilarity, MatchesPlainLoopOnTinyImages) {
    const Tables realistic = realisticTables();
    const TestImage images[] = {randomImage(0, 0, 1, 1, 12), randomImage(-3, 8, 2, 5, 13),
                                lowContrastImage(9, -2, 5, 2, 14),
                                lowContrastImage(-1, -1, 9, 3, 15)};
    for (const TestImage& im : images)
        for (int32_t n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 27, 28}) {
            expectMatchesPlainLoop(im, 0.1, n, realistic);
            expectMatchesPlainLoop(im, 0.7, n, randomTables(16));
        }
}

TEST(SelfSimilarity, SingleColourImageGivesSquaredKernelSums) {
    TestImage im(-4, 3, 9, 7);
    for (auto& p : im.planes) std::fill(p.begin(), p.end(), 120);
    const Tables t = realisticTables();
    forEachSimdPath([&] {
        // f = 0.5: every term is exact, so the sums are exact.
        const std::vector<double> out = fastSelfSimilarity(im, 0.5, 3, t);
        auto at = [&](long x, long y) { return out[static_cast<size_t>(y * im.width + x)]; };
        for (long y = 1; y + 1 < im.height; ++y)
            for (long x = 1; x + 1 < im.width; ++x) EXPECT_EQ(at(x, y), 62500 * 0.25);
        // Corner: (154 + 2 * 21 + 3)^2; top edge: (154 + 3 * 21 + 2 * 3)^2.
        EXPECT_EQ(at(0, 0), 39601 * 0.25);
        EXPECT_EQ(at(im.width - 1, im.height - 1), 39601 * 0.25);
        EXPECT_EQ(at(4, 0), 49729 * 0.25);

        const std::vector<double> tenth = fastSelfSimilarity(im, 0.1, 3, t);
        const double centre = tenth[static_cast<size_t>(3 * im.width + 4)];
        const double ideal = 62500 * (0.1 * 0.1);
        EXPECT_TRUE(centre == 625.0000000000002 ||
                    std::fabs(centre - ideal) <= 2 * (std::nextafter(ideal, 1e9) - ideal))
            << centre;
    });
}

// Channel differences up to the level step count as identical colours.
TEST(SelfSimilarity, DifferencesWithinLevelStepCountAsIdentical) {
    TestImage flat(0, 0, 23, 19), noisy(0, 0, 23, 19);
    std::mt19937 rng(17);
    for (int c = 0; c < 3; ++c) {
        std::fill(flat.planes[c].begin(), flat.planes[c].end(), 100);
        for (auto& v : noisy.planes[c]) v = static_cast<unsigned char>(98 + rng() % 6);
    }
    const Tables t = realisticTables();  // level step 5 covers 98..103
    forEachSimdPath([&] {
        for (int32_t n : {2, 3, 6}) {
            SCOPED_TRACE(n);
            expectBitIdentical(fastSelfSimilarity(flat, 0.2, n, t),
                               fastSelfSimilarity(noisy, 0.2, n, t), flat.width);
        }
    });
}

// Pixels that are far apart in colour only pair with themselves.
TEST(SelfSimilarity, DissimilarPairsContributeNothing) {
    TestImage im(0, 0, 6, 6);
    for (long y = 0; y < 6; ++y)
        for (long x = 0; x < 6; ++x)
            for (int c = 0; c < 3; ++c) im.at(c, x, y) = ((x + y) % 2) ? 250 : 10;
    const Tables t = realisticTables();
    // Centre (2, 2) with N = 3: the pixels of its 3 x 3 neighbourhood form two
    // colour classes; only same-class pairs count: (sum of K over class)^2.
    // Class of the centre: 154 + 4 * 3 = 166; the other class: 4 * 21 = 84.
    forEachSimdPath([&] {
        const std::vector<double> out = fastSelfSimilarity(im, 0.5, 3, t);
        EXPECT_EQ(out[2 * 6 + 2], (166.0 * 166.0 + 84.0 * 84.0) * 0.25);
    });
}

TEST(SelfSimilarity, SizeOneIsTheSquaredFraction) {
    const TestImage im = randomImage(-2, -9, 13, 4, 18);
    forEachSimdPath([&] {
        for (double v : fastSelfSimilarity(im, 0.3, 1, realisticTables())) EXPECT_EQ(v, 0.3 * 0.3);
    });
}

TEST(SelfSimilarity, AbortRequestStopsTheScan) {
    const TestImage im = randomImage(0, 0, 20, 20, 19);
    ksys_request_abort();
    EXPECT_THROW(fastSelfSimilarity(im, 0.1, 3, realisticTables()), kvAbortRequested);
    ksys_clear_abort();
    EXPECT_NO_THROW(fastSelfSimilarity(im, 0.1, 3, realisticTables()));
}

}  // namespace
