// Neighbourhood kernels, and self-similarity on every instruction-set path against a plain loop.
#include "clsg/clrsgint/self_similarity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "clsg/clrsgint/cpu_features.h"
#include "clsg/clrsgint/internal_result.h"
#include "clsg/clrsgint/neighborhood_kernel.h"
#include "clsg/clsg.h"
#include "simd_path.h"
#include "test_images.h"

namespace {

// Padded rows: random colours, or smooth ones plus a little noise.
struct TestImage : kvPlanesView {
    std::vector<unsigned char> planes[3];
    TestImage(long x, long y, long w, long h, unsigned seed, bool smooth = false)
        : kvPlanesView{{}, {w + 3, w + 3, w + 3}, x, y, w, h} {
        std::mt19937 rng(seed);
        for (int c = 0; c < 3; ++c)
            planes[c].resize(std::size_t((w + 3) * h)), plane[c] = planes[c].data();
        for (long i = 0; i < w * h; ++i)
            for (int c = 0; c < 3; ++c)
                planes[c][i / w * (w + 3) + i % w] = static_cast<unsigned char>(
                    smooth ? 90 + 20 * c + i % w / 7 + i / w / 5 + long(rng() % 9) : rng());
    }
    int at(int c, long x, long y) const { return plane[c][(y - y0) * stride[c] + (x - x0)]; }
};

// Seed 0: tolerances as training makes them, step 5; else arbitrary ones (zero too), no step.
struct Tables {
    float reciprocal[256];
    unsigned char tolerance[256];
    unsigned char levelStep;
    explicit Tables(unsigned seed) : levelStep(seed == 0 ? 5 : 0) {
        std::mt19937 rng(seed);
        for (int v = 0; v < 256; ++v)
            tolerance[v] = seed == 0 ? std::max(int(v * 0.1), 2) : rng() % 41,
            reciprocal[v] = v == 0 ? 1.0f : static_cast<float>(1.0 / v);
    }
};

constexpr double kSentinel = -12345.5;
constexpr long kPad = 5;  // output columns right of the window, never written

// Each pair (p, q = p + d, q after p) scattered to every centre whose neighbourhood holds both.
std::vector<double> plain(const TestImage& im, double frac, int32_t n, const Tables& t) {
    const long x0 = im.x0, y0 = im.y0, x1 = x0 + im.width, y1 = y0 + im.height;
    std::vector<double> out(std::size_t((im.width + kPad) * im.height), kSentinel);
    for (long i = 0; i < im.width * im.height; ++i)
        out[i / im.width * (im.width + kPad) + i % im.width] = 0.0;
    const bool even = n % 2 == 0;
    const unsigned char one = 1, *kw = n == 1 ? &one : clsgint::neighborhoodKernel(n);
    const int32_t lo = even ? 1 - n / 2 : -(n / 2), hi = n / 2,
                  m = n == 1 ? 1 : clsgint::kernelQuadrantSide(n);
    auto r = [&](int32_t u) { return even ? (u >= 1 ? u - 1 : -u) : std::abs(u); };
    auto K = [&](int32_t u, int32_t v) { return int(kw[r(u) * m + r(v)]); };
    // K over the whole neighbourhood, looked up below: called there, it took most of the
    // time of an unoptimised build (the sanitizers').
    std::vector<int> weights(std::size_t(n) * n);
    for (int32_t u = lo; u <= hi; ++u)
        for (int32_t v = lo; v <= hi; ++v) weights[std::size_t((u - lo) * n + (v - lo))] = K(u, v);
    const int* W = weights.data();
    for (long y = y0; y < y1; ++y)
        for (long x = x0; x < x1; ++x)
            for (long dy = 0; dy < std::min<long>(n, y1 - y); ++dy)
                for (long dx = dy == 0 ? 0 : std::max<long>(1 - n, x0 - x);
                     dx < std::min<long>(n, x1 - x); ++dx) {
                    double e[3];
                    for (int c = 0; c < 3; ++c) {
                        const int pc = im.at(c, x, y), qc = im.at(c, x + dx, y + dy);
                        const int d = std::max(0, std::abs(pc - qc) - t.levelStep);
                        e[c] = static_cast<float>(d) * t.reciprocal[t.tolerance[pc]];
                    }
                    const double s = 1.0 - ((e[1] * e[1] + e[0] * e[0]) + e[2] * e[2]);
                    if (!(s > 0)) continue;
                    const double v =
                        (dx != 0 || dy != 0) ? s * (frac * frac) * 2.0 : s * frac * frac;
                    for (int32_t px = std::max<int32_t>(lo, lo + dx);
                         px <= std::min<int32_t>(hi, hi + dx); ++px)
                        for (int32_t py = lo + dy; py <= hi; ++py) {
                            const int w = W[(px - lo) * n + (py - lo)] *
                                          W[(px - dx - lo) * n + (py - dy - lo)];
                            const long tx = x + px, ty = y + py;
                            if (w > 0 && tx >= x0 && tx < x1 && ty >= y0 && ty < y1)
                                out[std::size_t((ty - y0) * (im.width + kPad) + (tx - x0))] +=
                                    double(w) * v;
                        }
                }
    return out;
}

// Random and smooth images, wide rows, windows down to one pixel, N 27 and 28+ (centre weight 0).
class SelfSimilarity : public SimdPath {};

TEST_P(SelfSimilarity, MatchesPlainLoop) {
    const std::vector<int32_t> upTo10 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, tiny = {1, 2, 3, 4, 9, 28};
    const struct {
        TestImage im;
        double frac;
        std::vector<int32_t> sizes;
        unsigned tables;
    } cases[] = {
        {{-37, 11, 157, 83, 1}, 0.37, upTo10, 7},    {{13, -29, 157, 83, 2, true}, 0.1, upTo10, 0},
        {{-1001, 7, 1500, 6, 4, true}, 0.1, {4}, 0}, {{-21, 5, 45, 31, 9, true}, 0.1, {27, 28}, 0},
        {{1, -1, 33, 17, 10}, 0.3, {40}, 11},        {{0, 0, 1, 1, 12}, 0.1, tiny, 0},
        {{-3, 8, 2, 5, 13}, 0.7, tiny, 16}};
    for (const auto& c : cases)
        for (int32_t n : c.sizes) {
            SCOPED_TRACE(::testing::Message() << "N=" << n << ", case " << &c - cases);
            const Tables t(c.tables);
            const std::vector<double> expected = plain(c.im, c.frac, n, t);
            std::vector<double> got(expected.size(), kSentinel);  // padding must stay
            clsgint::computeSelfSimilarityPlanes(
                c.im, c.frac, n, t.reciprocal, t.tolerance, t.levelStep,
                {got.data(), c.im.width + kPad, c.im.x0, c.im.y0, c.im.width, c.im.height});
            EXPECT_TRUE(!std::memcmp(got.data(), expected.data(), got.size() * 8));
        }
}

INSTANTIATE_SIMD_PATHS(SelfSimilarity);

// The score image of real runs at N > 1 against the winner's score over the plain loop's
// self-similarity at the same N, rounded in single precision, half away from zero.
TEST(SelfSimilarity, ScoreImageDividesTheWinnersScoreByItAtTheRunsSize) {
    const TestImage im(0, 0, 41, 23, 3, true);
    const auto colour = [&](long x, long y) {
        return Rgb{static_cast<unsigned char>(im.at(0, x, y)),
                   static_cast<unsigned char>(im.at(1, x, y)),
                   static_cast<unsigned char>(im.at(2, x, y))};
    };
    const kv3PlanePelBuffer image = makeImage(kvPelRect(0, 0, 41, 23), colour);
    kvCompositeColorSegmenterTool tool;
    tool.train({kvCompositeColorSet(
                    {kvCompositeColor(makeImage(kvPelRect(0, 0, 20, 10), colour), noMask())}),
                kvCompositeColorSet(
                    {kvCompositeColor(makeImage(kvPelRect(21, 12, 20, 11), colour), noMask())})},
               kvCompositeColorSegmenterTrainParams(0.1, 2));
    for (int32_t n : {2, 3, 5}) {
        SCOPED_TRACE(::testing::Message() << "N=" << n);
        kvCompositeColorSegmenterResult result;
        tool.run(image, kvCompositeColorSegmenterRunParams(n, false), result);
        const kvPelBuffer_const<unsigned char> score = result.scoreImage();
        const auto& in = *static_cast<kvCompositeColorSegmenterInternalResult*>(result.result());
        Tables t(0);
        t.levelStep = in.levelStep;
        std::copy(in.reciprocalTable.begin(), in.reciprocalTable.end(), t.reciprocal);
        std::copy(in.toleranceTable.begin(), in.toleranceTable.end(), t.tolerance);
        const std::vector<double> self = plain(im, in.colorToleranceFrac, n, t);
        long differ = 0, nonZero = 0;
        for (long y = 0; y < 23; ++y)
            for (long x = 0; x < 41; ++x) {
                const unsigned char l = *in.labelImage.pointToPel(x, y);
                const double b = l == 255 ? 0.0 : *in.labelScores[l].pointToPel(x, y);
                const double d = self[std::size_t(y * (41 + kPad) + x)];
                const float q = static_cast<float>(b / d * 255.0);
                const int want = d == 0.0 || std::isnan(d) || !(q > 0.0f) ? 0
                                 : q >= 255.0f                            ? 255
                                               : int(std::floor(double(q) + 0.5));
                differ += *score.pointToPel(x, y) != want;
                nonZero += want != 0;
            }
        EXPECT_EQ(differ, 0);
        EXPECT_GT(nonZero, 41 * 23 / 2);  // a comparison that means something
    }
}

std::vector<int> quadrant(int32_t n) {
    const unsigned char* w = clsgint::neighborhoodKernel(n);
    const int m = clsgint::kernelQuadrantSide(n);
    return std::vector<int>(w, w + m * m);
}

TEST(NeighborhoodKernel, TablesSumsAndSymmetry) {
    EXPECT_EQ(quadrant(2), (std::vector<int>{62}));
    EXPECT_EQ(quadrant(3), (std::vector<int>{154, 21, 21, 3}));
    EXPECT_EQ(quadrant(5), (std::vector<int>{40, 24, 6, 24, 15, 3, 6, 3, 1}));
    const std::vector<int> k9 = quadrant(9);
    EXPECT_EQ(std::vector<int>(k9.begin() + 20, k9.end()), (std::vector<int>{1, 2, 1, 0, 2}));
    for (int n = 2; n <= 300; ++n) {
        const std::vector<int> w = quadrant(n);
        const int m = clsgint::kernelQuadrantSide(n);
        int sum = 0;  // over N x N: an even quadrant repeats 4 times, an odd one mirrors off-axis
        for (int i = 0; i < m; ++i)
            for (int j = 0; j < m; ++j) {
                ASSERT_EQ(w[i * m + j], w[j * m + i]) << "N=" << n;
                sum += w[i * m + j] * (n % 2 == 0 ? 4 : (i ? 2 : 1) * (j ? 2 : 1));
            }
        EXPECT_TRUE((n > 5 && n != 28) || sum == (n == 3 ? 250 : 248)) << "N=" << n;
        if (n < 20) continue;
        for (int v : w) ASSERT_LE(v, 3) << "N=" << n;
        if (n < 28) continue;
        EXPECT_EQ(w[0], 0) << "N=" << n;
        EXPECT_NEAR(sum, 248, 2) << "N=" << n;
    }
}

// Cached tables stay put while the cache grows, and concurrent requests get the one table.
TEST(NeighborhoodKernel, CacheIsStableAndGuarded) {
    const unsigned char* seven = clsgint::neighborhoodKernel(7);
    const std::vector<int> before = quadrant(7);
    clsgint::neighborhoodKernel(333);
    EXPECT_TRUE(clsgint::neighborhoodKernel(7) == seven && quadrant(7) == before);
    std::vector<const unsigned char*> got(8 * 50);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, &got] {
            for (int n = 0; n < 50; ++n) got[t * 50 + n] = clsgint::neighborhoodKernel(400 + n);
        });
    for (auto& th : threads) th.join();
    for (int i = 50; i < 8 * 50; ++i) EXPECT_EQ(got[i], got[i % 50]);
    EXPECT_ANY_THROW(clsgint::neighborhoodKernel(1));
    EXPECT_ANY_THROW(clsgint::neighborhoodKernel(-4));
}

}  // namespace
