#include "clsg/clrsgint/self_similarity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "clsg/clrsgint/cpu_features.h"
#include "clsg/clrsgint/neighborhood_kernel.h"
#include "platform/attention.h"
#include "platform/exception.h"

namespace {

// An RGB window with padded rows, so strides differ from the width.
struct TestImage {
    long x0, y0, width, height, stride;
    std::vector<unsigned char> planes[3];

    TestImage(long x, long y, long w, long h) : x0(x), y0(y), width(w), height(h), stride(w + 3) {
        for (auto& p : planes) p.assign(static_cast<size_t>(stride * h), 0);
    }
    unsigned char& at(int c, long x, long y) { return planes[c][(y - y0) * stride + (x - x0)]; }
    unsigned char at(int c, long x, long y) const {
        return planes[c][(y - y0) * stride + (x - x0)];
    }
    kvPlanesView view() const {
        const auto& p = planes;
        const long s = stride;
        return {{p[0].data(), p[1].data(), p[2].data()}, {s, s, s}, x0, y0, width, height};
    }
};

struct Tables {
    float reciprocal[256];
    unsigned char tolerance[256];
    unsigned char levelStep;
};

// Seed 0: tolerances as training derives them, max(trunc(v * 0.1), 2), step 5. Otherwise
// arbitrary tolerances, zero included (reciprocal 1 there), and no level step.
Tables makeTables(unsigned seed = 0) {
    Tables t{};
    std::mt19937 rng(seed);
    for (int v = 0; v < 256; ++v) {
        const int realistic = std::max(static_cast<int>(v * 0.1), 2);
        t.tolerance[v] = static_cast<unsigned char>(seed == 0 ? realistic : rng() % 41);
        t.reciprocal[v] = v == 0 ? 1.0f : static_cast<float>(1.0 / v);
    }
    t.levelStep = seed == 0 ? 5 : 0;
    return t;
}

// Random colours, or (smooth) smooth colours plus a little noise, so that most nearby pairs
// are similar.
TestImage randomImage(long x0, long y0, long w, long h, unsigned seed, bool smooth = false) {
    TestImage im(x0, y0, w, h);
    std::mt19937 rng(seed);
    for (long y = y0; y < y0 + h; ++y)
        for (long x = x0; x < x0 + w; ++x)
            for (int c = 0; c < 3; ++c) {
                const long base = 90 + 20 * c + (x - x0) / 7 + (y - y0) / 5;
                im.at(c, x, y) =
                    static_cast<unsigned char>(smooth ? base + long(rng() % 9) : rng());
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
    const bool even = n % 2 == 0;
    const int32_t half = n / 2;
    const int32_t lo = -half + (even ? 1 : 0), hi = half;
    const int32_t m = clsgint::kernelQuadrantSide(n);
    const unsigned char* kw = clsgint::neighborhoodKernel(n);
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
    std::vector<double> buf(static_cast<size_t>(outStride * im.height), kSentinel), packed;
    const kvImageView<double> out{buf.data(), outStride, im.x0, im.y0, im.width, im.height};
    clsgint::computeSelfSimilarityPlanes(im.view(), frac, n, t.reciprocal, t.tolerance, t.levelStep,
                                         out);
    for (long y = 0; y < im.height; ++y) {
        const auto row = buf.begin() + y * outStride;
        for (long x = im.width; x < outStride; ++x)
            EXPECT_EQ(row[x], kSentinel) << "row padding written at " << x << "," << y;
        packed.insert(packed.end(), row, row + im.width);
    }
    return packed;
}

// Calls fn once per instruction-set path this processor has, with that path forced.
template <class Fn>
void forEachSimdPath(Fn fn) {
    for (kvSimdLevel level : {kvSimdLevel::Portable, kvSimdLevel::Avx2, kvSimdLevel::Avx512}) {
        const kvSimdLevel previous = kvSetSimdLimit(level);
        if (kvActiveSimd() == level) {
            SCOPED_TRACE("simd level " + std::to_string(static_cast<int>(level)));
            fn();
        } else {
            std::printf("note: simd level %d not available here, path not run\n", int(level));
        }
        kvSetSimdLimit(previous);
    }
}

void expectBitIdentical(const std::vector<double>& expected, const std::vector<double>& actual,
                        long width) {
    ASSERT_EQ(expected.size(), actual.size());
    for (size_t i = 0; i < expected.size(); ++i)
        if (std::memcmp(&expected[i], &actual[i], sizeof(double)) != 0) {
            ADD_FAILURE() << "first difference at column " << long(i) % width << ", row "
                          << long(i) / width << ": expected " << expected[i] << " got "
                          << actual[i];
            return;
        }
}

// Every path against the plain loop: random and smooth images, wide rows (processed in
// several column strips), windows smaller than the neighbourhood down to one pixel, and
// sizes 27 (smallest centre weight 1) and 28 and above (centre weight 0).
TEST(SelfSimilarity, MatchesPlainLoopOnEveryPath) {
    const std::vector<int32_t> upTo10 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
                               tiny = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 27, 28};
    const struct {
        TestImage im;
        double frac;
        std::vector<int32_t> sizes;
        unsigned tables;  // makeTables seed
    } cases[] = {
        {randomImage(-37, 11, 157, 83, 1), 0.37, upTo10, 7},
        {randomImage(-37, 11, 157, 83, 1), 0.1, {3}, 0},
        {randomImage(13, -29, 157, 83, 2, true), 0.1, upTo10, 0},
        {randomImage(-5, -3, 41, 29, 3, true), 0.5, upTo10, 5},
        {randomImage(-1001, 7, 1500, 6, 4, true), 0.1, {4}, 0},
        {randomImage(3, -9, 403, 12, 5, true), 0.1, {9}, 0},
        {randomImage(-77, 0, 301, 9, 6), 0.25, {10}, 8},
        {randomImage(-21, 5, 45, 31, 9, true), 0.1, {27, 28}, 0},
        {randomImage(1, -1, 33, 17, 10), 0.3, {40}, 11},
        {randomImage(0, 0, 1, 1, 12), 0.1, tiny, 0},
        {randomImage(-3, 8, 2, 5, 13), 0.7, tiny, 16},
        {randomImage(9, -2, 5, 2, 14, true), 0.1, tiny, 0},
        {randomImage(-1, -1, 9, 3, 15, true), 0.7, tiny, 16},
    };
    for (const auto& c : cases)
        for (int32_t n : c.sizes) {
            SCOPED_TRACE(::testing::Message()
                         << "N=" << n << " window " << c.im.x0 << "," << c.im.y0 << " "
                         << c.im.width << "x" << c.im.height << " tables " << c.tables);
            const Tables t = makeTables(c.tables);
            const std::vector<double> expected = plainSelfSimilarity(c.im, c.frac, n, t);
            forEachSimdPath([&] {
                expectBitIdentical(expected, fastSelfSimilarity(c.im, c.frac, n, t), c.im.width);
            });
        }
}

// N = 3 (kernel 154 centre, 21 edge, 3 corner) with f = 0.5, where every term is exact. A
// single colour gives the squared kernel sum within the window; on a checkerboard of far
// apart colours only same-class pairs count: (154 + 4 * 3)^2 + (4 * 21)^2 at a centre.
TEST(SelfSimilarity, WorkedValues) {
    TestImage flat(-4, 3, 9, 7), checker(0, 0, 6, 6);
    for (auto& p : flat.planes) std::fill(p.begin(), p.end(), 120);
    for (long y = 0; y < 6; ++y)
        for (long x = 0; x < 6; ++x)
            for (int c = 0; c < 3; ++c) checker.at(c, x, y) = ((x + y) % 2) ? 250 : 10;
    const struct {
        const TestImage* im;
        double frac;
        long x, y;  // offset in the window
        double expected;
    } cases[] = {
        {&flat, 0.5, 0, 0, 39601 * 0.25},  // corner: (154 + 2 * 21 + 3)^2
        {&flat, 0.5, 8, 6, 39601 * 0.25},
        {&flat, 0.5, 4, 0, 49729 * 0.25},       // top edge: (154 + 3 * 21 + 2 * 3)^2
        {&flat, 0.1, 4, 3, 625.0000000000002},  // 250^2 * 0.01 with rounding
        {&checker, 0.5, 2, 2, (166.0 * 166.0 + 84.0 * 84.0) * 0.25},
    };
    forEachSimdPath([&] {
        const std::vector<double> out = fastSelfSimilarity(flat, 0.5, 3, makeTables());
        for (long y = 1; y + 1 < flat.height; ++y)
            for (long x = 1; x + 1 < flat.width; ++x)
                EXPECT_EQ(out[size_t(y * flat.width + x)], 62500 * 0.25) << x << "," << y;
        for (const auto& c : cases)
            EXPECT_EQ(
                fastSelfSimilarity(*c.im, c.frac, 3, makeTables())[size_t(c.y * c.im->width + c.x)],
                c.expected)
                << c.x << "," << c.y;
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
    const Tables t = makeTables();  // level step 5 covers 98..103
    forEachSimdPath([&] {
        for (int32_t n : {2, 3, 6})
            expectBitIdentical(fastSelfSimilarity(flat, 0.2, n, t),
                               fastSelfSimilarity(noisy, 0.2, n, t), flat.width);
    });
}

TEST(SelfSimilarity, AbortRequestStopsTheScan) {
    const TestImage im = randomImage(0, 0, 20, 20, 19);
    ksys_request_abort();
    EXPECT_THROW(fastSelfSimilarity(im, 0.1, 3, makeTables()), kvAbortRequested);
    ksys_clear_abort();
    EXPECT_NO_THROW(fastSelfSimilarity(im, 0.1, 3, makeTables()));
}

}  // namespace
