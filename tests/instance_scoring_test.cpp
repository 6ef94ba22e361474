#include "clsg/clrsgint/instance_scoring.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "clsg/clrsgint/cpu_features.h"
#include "clsg/clrsgint/neighborhood_kernel.h"
#include "platform/attention.h"
#include "platform/exception.h"

namespace {

// Three 8-bit planes of a window, each with its own row padding.
struct Planes {
    long x0, y0, width, height;
    std::ptrdiff_t stride[3];
    std::vector<unsigned char> data[3];

    Planes(long x, long y, long w, long h) : x0(x), y0(y), width(w), height(h) {
        for (int c = 0; c < 3; ++c) {
            stride[c] = w + 1 + 2 * c;
            data[c].assign(static_cast<std::size_t>(stride[c] * h), 0);
        }
    }
    unsigned char& at(int c, long x, long y) { return data[c][(y - y0) * stride[c] + (x - x0)]; }
    unsigned char at(int c, long x, long y) const {
        return data[c][(y - y0) * stride[c] + (x - x0)];
    }
    void set(long x, long y, unsigned char r, unsigned char g, unsigned char b) {
        at(0, x, y) = r;
        at(1, x, y) = g;
        at(2, x, y) = b;
    }
    kvPlanesView view() const {
        return {{data[0].data(), data[1].data(), data[2].data()},
                {stride[0], stride[1], stride[2]},
                x0,
                y0,
                width,
                height};
    }
};

struct Model {
    int32_t n;
    std::vector<unsigned char> quant;
    std::vector<double> weights;
    double normFactor;

    double cellWeight(unsigned char r, unsigned char g, unsigned char b) const {
        return weights[(static_cast<std::size_t>(quant[r]) * n + quant[g]) * n + quant[b]];
    }
};

// A score window inside a larger buffer: one guard row above and below, guard columns
// left and right, all holding a marker that must never change.
struct Scores {
    long x0, y0, width, height;
    std::ptrdiff_t stride;
    std::vector<double> data;

    static double guard() {
        const uint64_t bits = 0x7ff8dead0000beefULL;
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    Scores(long x, long y, long w, long h)
        : x0(x),
          y0(y),
          width(w),
          height(h),
          stride(w + 3),
          data(static_cast<std::size_t>(stride * (h + 2)), guard()) {}
    double& at(long x, long y) { return data[(y - y0 + 1) * stride + (x - x0 + 1)]; }
    double value(long x, long y) const { return data[(y - y0 + 1) * stride + (x - x0 + 1)]; }
    kvImageView<double> view() { return {&at(x0, y0), stride, x0, y0, width, height}; }
};

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Reports the first pixel where two score buffers differ in any bit (guards included).
::testing::AssertionResult identical(const Scores& expected, const Scores& actual) {
    for (std::size_t i = 0; i < expected.data.size(); ++i) {
        if (!sameBits(expected.data[i], actual.data[i])) {
            const long row = static_cast<long>(i / expected.stride) - 1;
            const long col = static_cast<long>(i % expected.stride) - 1;
            return ::testing::AssertionFailure()
                   << "first difference at window offset (" << col << ", " << row << "): expected "
                   << expected.data[i] << ", got " << actual.data[i];
        }
    }
    return ::testing::AssertionSuccess();
}

// Plain scatter: cell weight image, a zero-filled sum image grown by N / 2 on every side,
// (double)w * v added from every non-zero pixel in row-major order, then the scores.
void referenceScores(const Planes& img, const Model& md, int32_t n, bool first, Scores& out) {
    const long W = img.width, H = img.height;
    std::vector<double> cell(static_cast<std::size_t>(W * H));
    for (long y = 0; y < H; ++y)
        for (long x = 0; x < W; ++x)
            cell[y * W + x] =
                md.cellWeight(img.at(0, img.x0 + x, img.y0 + y), img.at(1, img.x0 + x, img.y0 + y),
                              img.at(2, img.x0 + x, img.y0 + y));
    std::vector<double> sum = cell;
    if (n >= 2) {
        const long grow = n / 2;
        const long GW = W + 2 * grow, GH = H + 2 * grow;
        std::vector<double> grown(static_cast<std::size_t>(GW * GH), 0.0);
        const unsigned char* k = neighborhoodKernel(n);
        const long m = kernelQuadrantSide(n);
        for (long y = 0; y < H; ++y) {
            for (long x = 0; x < W; ++x) {
                const double v = cell[y * W + x];
                if (v == 0.0) continue;
                auto add = [&](long dx, long dy, unsigned char w) {
                    grown[(y + dy + grow) * GW + (x + dx + grow)] += static_cast<double>(w) * v;
                };
                if (n % 2 != 0) {
                    const long h = (n - 1) / 2;
                    add(0, 0, k[0]);
                    for (long i = 1; i <= h; ++i) {
                        const unsigned char axis = k[i], diag = k[i * m + i];
                        add(i, 0, axis), add(-i, 0, axis), add(0, i, axis), add(0, -i, axis);
                        add(i, i, diag), add(-i, i, diag), add(i, -i, diag), add(-i, -i, diag);
                    }
                    for (long i = 2; i <= h; ++i) {
                        for (long j = 1; j < i; ++j) {
                            const unsigned char w = k[j * m + i];
                            add(j, i, w), add(-j, i, w), add(j, -i, w), add(-j, -i, w);
                            add(i, j, w), add(-i, j, w), add(i, -j, w), add(-i, -j, w);
                        }
                    }
                } else {
                    const long h = n / 2 - 1;
                    for (long i = 0; i <= h; ++i) {
                        const unsigned char w = k[i * m + i];
                        add(-i, -i, w), add(i + 1, -i, w), add(-i, i + 1, w), add(i + 1, i + 1, w);
                    }
                    for (long i = 1; i <= h; ++i) {
                        for (long j = 0; j < i; ++j) {
                            const unsigned char w = k[j * m + i];
                            add(-i, -j, w), add(i + 1, -j, w), add(-i, j + 1, w);
                            add(i + 1, j + 1, w);
                            add(-j, -i, w), add(j + 1, -i, w), add(-j, i + 1, w);
                            add(j + 1, i + 1, w);
                        }
                    }
                }
            }
        }
        for (long y = 0; y < H; ++y)
            for (long x = 0; x < W; ++x) sum[y * W + x] = grown[(y + grow) * GW + (x + grow)];
    }
    for (long y = 0; y < H; ++y) {
        for (long x = 0; x < W; ++x) {
            const double S = sum[y * W + x];
            const double s = S * S * md.normFactor;
            double& o = out.at(img.x0 + x, img.y0 + y);
            if (first || s > o) o = s;
        }
    }
}

void score(const Planes& img, const Model& md, int32_t n, bool first, Scores& out) {
    scoreInstancePlanes(img.view(), md.quant.data(), md.weights.data(), md.n, md.normFactor, n,
                        first, out.view());
}

enum class WeightSigns { NonNegative, Signed };

// A model with many zero cells (some of them -0.0) and weights of mixed magnitudes.
Model randomModel(std::mt19937_64& rng, WeightSigns signs) {
    static const int32_t levels[] = {3, 7, 16, 51};
    Model md;
    md.n = levels[rng() % 4];
    md.quant.resize(256);
    for (int c = 0; c < 256; ++c) md.quant[c] = static_cast<unsigned char>(c * md.n / 256);
    md.weights.resize(static_cast<std::size_t>(md.n) * md.n * md.n);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (double& w : md.weights) {
        const double u = unit(rng);
        if (u < 0.3) {
            w = 0.0;
        } else if (u < 0.5) {
            w = -0.0;
        } else {
            w = std::ldexp(unit(rng), static_cast<int>(rng() % 9) - 4);
            if (signs == WeightSigns::Signed && rng() % 3 == 0) w = -w;
        }
    }
    md.normFactor = std::ldexp(0.7 + unit(rng), -15);
    return md;
}

// Mostly a few repeated colours, with some noise pixels.
Planes randomImage(std::mt19937_64& rng, long x0, long y0, long w, long h) {
    Planes img(x0, y0, w, h);
    unsigned char palette[12][3];
    for (auto& colour : palette)
        for (auto& c : colour) c = static_cast<unsigned char>(rng());
    for (long y = y0; y < y0 + h; ++y) {
        for (long x = x0; x < x0 + w; ++x) {
            if (rng() % 5 == 0) {
                img.set(x, y, static_cast<unsigned char>(rng()), static_cast<unsigned char>(rng()),
                        static_cast<unsigned char>(rng()));
            } else {
                const auto& c = palette[rng() % 12];
                img.set(x, y, c[0], c[1], c[2]);
            }
        }
    }
    return img;
}

// Earlier scores for first = false: other values, both zeros, NaN, and the new score itself.
void fillPrior(std::mt19937_64& rng, const Scores& same, Scores& out) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (long y = out.y0; y < out.y0 + out.height; ++y) {
        for (long x = out.x0; x < out.x0 + out.width; ++x) {
            const double s = same.value(x, y);
            double& o = out.at(x, y);
            switch (rng() % 6) {
                case 0:
                    o = 0.0;
                    break;
                case 1:
                    o = -0.0;
                    break;
                case 2:
                    o = std::nan("");
                    break;
                case 3:
                    o = s;
                    break;
                case 4:
                    o = s * (0.5 + unit(rng));
                    break;
                default:
                    o = std::ldexp(unit(rng), -20);
                    break;
            }
        }
    }
}

const char* levelName(kvSimdLevel level) {
    switch (level) {
        case kvSimdLevel::Portable:
            return "portable";
        case kvSimdLevel::Avx2:
            return "avx2";
        case kvSimdLevel::Avx512:
            return "avx512";
    }
    return "?";
}

class SimdLimit {
public:
    explicit SimdLimit(kvSimdLevel level) : previous_(kvSetSimdLimit(level)) {}
    ~SimdLimit() { kvSetSimdLimit(previous_); }

private:
    kvSimdLevel previous_;
};

// Runs body once per instruction-set path this processor has.
template <class Body>
void forEachSimdPath(Body body) {
    for (kvSimdLevel level : {kvSimdLevel::Portable, kvSimdLevel::Avx2, kvSimdLevel::Avx512}) {
        SimdLimit limit(level);
        if (kvActiveSimd() != level) {
            std::printf("note: %s not available here, path not run\n", levelName(level));
            continue;
        }
        SCOPED_TRACE(levelName(level));
        body();
    }
}

struct Window {
    long x0, y0, width, height;
};

void expectMatchesScatter(WeightSigns signs, const std::vector<int32_t>& sizes,
                          const std::vector<Window>& windows, uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (const Window& win : windows) {
        for (int32_t n : sizes) {
            const Planes img = randomImage(rng, win.x0, win.y0, win.width, win.height);
            const Model md = randomModel(rng, signs);
            Scores fresh(win.x0, win.y0, win.width, win.height);
            referenceScores(img, md, n, true, fresh);
            Scores prior = fresh;
            fillPrior(rng, fresh, prior);
            Scores raised = prior;
            referenceScores(img, md, n, false, raised);
            forEachSimdPath([&] {
                SCOPED_TRACE(::testing::Message()
                             << "N=" << n << " window " << win.width << "x" << win.height << " at ("
                             << win.x0 << ", " << win.y0 << ") n=" << md.n);
                Scores out(win.x0, win.y0, win.width, win.height);
                score(img, md, n, true, out);
                EXPECT_TRUE(identical(fresh, out)) << "first instance";
                Scores again = prior;
                score(img, md, n, false, again);
                EXPECT_TRUE(identical(raised, again)) << "later instance";
            });
        }
    }
}

const std::vector<Window> kWindows = {
    {-3, 7, 1, 1}, {5, -1, 3, 2}, {-37, -21, 157, 83}, {1001, 15, 33, 19}, {-64, 31, 65, 4}};

TEST(InstanceScoring, MatchesScatterOnEveryPathForSmallNeighbourhoods) {
    expectMatchesScatter(WeightSigns::NonNegative, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
                         kWindows, 11);
}

TEST(InstanceScoring, MatchesScatterOnEveryPathForLargeNeighbourhoods) {
    expectMatchesScatter(WeightSigns::NonNegative, {27, 28, 40}, kWindows, 12);
}

// Skipping zero cells and zero kernel weights must hold for negative weights and -0.0 too:
// a sum that starts at +0.0 never becomes -0.0, so adding a signed zero never changes it.
TEST(InstanceScoring, MatchesScatterWithSignedWeights) {
    expectMatchesScatter(WeightSigns::Signed, {1, 2, 3, 6, 9, 28}, kWindows, 13);
}

// 256 levels is the finest quantisation (every channel value its own level); 257 cannot
// come from training but must still work.
TEST(InstanceScoring, MatchesScatterAtTheFinestQuantisation) {
    std::mt19937_64 rng(14);
    for (int32_t levels : {256, 257}) {
        Model md;
        md.n = levels;
        md.quant.resize(256);
        for (int c = 0; c < 256; ++c) md.quant[c] = static_cast<unsigned char>(c);
        md.weights.assign(static_cast<std::size_t>(levels) * levels * levels, 0.0);
        md.normFactor = 0.25;
        Planes img = randomImage(rng, -9, 14, 70, 9);
        for (long x = img.x0; x < img.x0 + 20; ++x) img.set(x, img.y0 + 3, 255, 255, 255);
        for (long y = img.y0; y < img.y0 + img.height; ++y)
            for (long x = img.x0; x < img.x0 + img.width; ++x)
                if (rng() % 3 != 0)
                    md.weights[(static_cast<std::size_t>(img.at(0, x, y)) * levels +
                                img.at(1, x, y)) *
                                   levels +
                               img.at(2, x, y)] = std::ldexp(1.0 + x, -7);
        for (int32_t n : {1, 3, 4}) {
            Scores expected(img.x0, img.y0, img.width, img.height);
            referenceScores(img, md, n, true, expected);
            forEachSimdPath([&] {
                Scores out(img.x0, img.y0, img.width, img.height);
                score(img, md, n, true, out);
                EXPECT_TRUE(identical(expected, out)) << "levels " << levels << " N=" << n;
            });
        }
    }
}

Model uniformQuantModel(int32_t n) {
    Model md;
    md.n = n;
    md.quant.resize(256);
    for (int c = 0; c < 256; ++c) md.quant[c] = static_cast<unsigned char>(c % n);
    md.weights.assign(static_cast<std::size_t>(n) * n * n, 0.0);
    md.normFactor = 1.0;
    return md;
}

TEST(InstanceScoring, SizeOneScoreIsSquaredCellWeightTimesNormFactor) {
    std::mt19937_64 rng(21);
    Model md = randomModel(rng, WeightSigns::NonNegative);
    md.normFactor = 0.3;
    const Planes img = randomImage(rng, -5, -40, 37, 29);
    forEachSimdPath([&] {
        Scores out(img.x0, img.y0, img.width, img.height);
        score(img, md, 1, true, out);
        for (long y = img.y0; y < img.y0 + img.height; ++y) {
            for (long x = img.x0; x < img.x0 + img.width; ++x) {
                const double v = md.cellWeight(img.at(0, x, y), img.at(1, x, y), img.at(2, x, y));
                ASSERT_TRUE(sameBits(out.at(x, y), 0.3 * (v * v))) << x << ", " << y;
            }
        }
    });
}

// N = 2: 62 times the weights of the pixel, its left, upper and upper-left neighbours.
TEST(InstanceScoring, SizeTwoSumsPixelLeftUpperAndUpperLeft) {
    ASSERT_EQ(neighborhoodKernel(2)[0], 62);
    Model md = uniformQuantModel(4);
    md.normFactor = 0.5;
    for (unsigned c = 0; c < 4; ++c) md.weights[(c * 4 + c) * 4 + c] = c;  // grey c: weight c
    std::mt19937_64 rng(22);
    Planes img(10, -3, 23, 17);
    for (long y = img.y0; y < img.y0 + img.height; ++y)
        for (long x = img.x0; x < img.x0 + img.width; ++x) {
            const auto c = static_cast<unsigned char>(rng() % 4);
            img.set(x, y, c, c, c);
        }
    auto weight = [&](long x, long y) -> double {
        if (x < img.x0 || y < img.y0) return 0.0;
        return img.at(0, x, y);
    };
    forEachSimdPath([&] {
        Scores out(img.x0, img.y0, img.width, img.height);
        score(img, md, 2, true, out);
        for (long y = img.y0; y < img.y0 + img.height; ++y) {
            for (long x = img.x0; x < img.x0 + img.width; ++x) {
                const double S = 62.0 * (weight(x, y) + weight(x - 1, y) + weight(x, y - 1) +
                                         weight(x - 1, y - 1));
                ASSERT_EQ(out.at(x, y), S * S * 0.5) << x << ", " << y;
            }
        }
    });
}

// One weighted pixel among zero-weight ones spreads the kernel around itself: odd N centred
// on it, even N reaching one pixel further right and down.
TEST(InstanceScoring, SinglePixelSpreadsTheKernel) {
    Model md = uniformQuantModel(4);
    md.weights[(1 * 4 + 2) * 4 + 3] = 0.75;
    md.normFactor = 2.0;
    Planes img(-7, 3, 15, 15);
    const long qx = 0, qy = 10;
    img.set(qx, qy, 1, 2, 3);
    forEachSimdPath([&] {
        for (int32_t n = 2; n <= 12; ++n) {
            SCOPED_TRACE(n);
            const bool even = n % 2 == 0;
            const long h = even ? n / 2 - 1 : n / 2;
            const long lo = -h, hi = even ? h + 1 : h;
            const unsigned char* k = neighborhoodKernel(n);
            const long m = kernelQuadrantSide(n);
            auto index = [&](long t) { return (even && t >= 1) ? t - 1 : std::labs(t); };
            Scores out(img.x0, img.y0, img.width, img.height);
            score(img, md, n, true, out);
            for (long y = img.y0; y < img.y0 + img.height; ++y) {
                for (long x = img.x0; x < img.x0 + img.width; ++x) {
                    const long tx = x - qx, ty = y - qy;
                    double S = 0.0;
                    if (tx >= lo && tx <= hi && ty >= lo && ty <= hi)
                        S = k[index(ty) * m + index(tx)] * 0.75;
                    ASSERT_TRUE(sameBits(out.at(x, y), S * S * 2.0)) << tx << ", " << ty;
                }
            }
        }
    });
}

// A lone weighted pixel at every column of a wide row: the sums must see it from every
// block of output pixels it reaches, whatever the block width of the path.
TEST(InstanceScoring, LoneWeightedPixelReachesEveryBlock) {
    Model md = uniformQuantModel(4);
    md.weights[(1 * 4 + 1) * 4 + 1] = 0.625;
    md.normFactor = 1.5;
    forEachSimdPath([&] {
        for (int32_t n : {2, 3, 4, 5, 9, 19, 20}) {
            for (long col = 0; col < 150; ++col) {
                Planes img(-5, 30, 150, 3);
                img.set(img.x0 + col, 31, 1, 1, 1);
                Scores expected(img.x0, img.y0, img.width, img.height);
                referenceScores(img, md, n, true, expected);
                Scores out(img.x0, img.y0, img.width, img.height);
                score(img, md, n, true, out);
                ASSERT_TRUE(identical(expected, out)) << "N=" << n << " column " << col;
            }
        }
    });
}

// A uniform colour: interior pixels see the full kernel sum, border pixels less.
TEST(InstanceScoring, BorderPixelsScoreBelowInterior) {
    Model md = uniformQuantModel(8);
    md.weights[(5 * 8 + 5) * 8 + 5] = 1.0;
    md.normFactor = 1.0;
    Planes img(3, -9, 20, 14);
    for (long y = img.y0; y < img.y0 + img.height; ++y)
        for (long x = img.x0; x < img.x0 + img.width; ++x) img.set(x, y, 5, 5, 5);
    const struct {
        int32_t n;
        double fullSum;
    } cases[] = {{3, 250}, {4, 248}, {5, 248}};
    forEachSimdPath([&] {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.n);
            Scores out(img.x0, img.y0, img.width, img.height);
            score(img, md, c.n, true, out);
            // Sources reach N / 2 pixels up and left, N / 2 (odd) or N / 2 - 1 (even) down
            // and right.
            const long before = c.n / 2, after = c.n % 2 ? c.n / 2 : c.n / 2 - 1;
            const double interior = c.fullSum * c.fullSum;
            for (long y = img.y0; y < img.y0 + img.height; ++y) {
                for (long x = img.x0; x < img.x0 + img.width; ++x) {
                    const bool border = x < img.x0 + before || y < img.y0 + before ||
                                        x >= img.x0 + img.width - after ||
                                        y >= img.y0 + img.height - after;
                    if (border)
                        EXPECT_LT(out.at(x, y), interior) << x << ", " << y;
                    else
                        EXPECT_EQ(out.at(x, y), interior) << x << ", " << y;
                }
            }
        }
    });
}

TEST(InstanceScoring, ZeroWeightsGivePositiveZeroEverywhere) {
    std::mt19937_64 rng(23);
    Model md = randomModel(rng, WeightSigns::NonNegative);
    for (std::size_t i = 0; i < md.weights.size(); ++i) md.weights[i] = i % 2 ? -0.0 : 0.0;
    const Planes img = randomImage(rng, -20, -20, 45, 40);
    forEachSimdPath([&] {
        for (int32_t n : {1, 2, 3, 8, 28}) {
            Scores out(img.x0, img.y0, img.width, img.height);
            score(img, md, n, true, out);
            for (long y = img.y0; y < img.y0 + img.height; ++y)
                for (long x = img.x0; x < img.x0 + img.width; ++x)
                    ASSERT_TRUE(sameBits(out.at(x, y), 0.0)) << "N=" << n << " " << x << ", " << y;
        }
    });
}

// Later instances only replace strictly smaller scores: -0.0 stays against a +0.0 score.
TEST(InstanceScoring, LaterInstanceKeepsEqualAndLargerScores) {
    Model md = uniformQuantModel(4);
    md.weights[(1 * 4 + 1) * 4 + 1] = 0.5;  // grey 1; grey 0 weighs 0
    md.normFactor = 4.0;
    Planes img(0, 0, 4, 1);
    img.set(0, 0, 1, 1, 1);
    img.set(1, 0, 1, 1, 1);
    img.set(2, 0, 1, 1, 1);
    // img (3, 0) stays grey 0: score +0.0
    forEachSimdPath([&] {
        Scores out(0, 0, 4, 1);
        out.at(0, 0) = 1.0;   // the new score, equal
        out.at(1, 0) = 2.0;   // larger
        out.at(2, 0) = 0.25;  // smaller
        out.at(3, 0) = -0.0;  // equal to +0.0
        score(img, md, 1, false, out);
        EXPECT_EQ(out.at(0, 0), 1.0);
        EXPECT_EQ(out.at(1, 0), 2.0);
        EXPECT_EQ(out.at(2, 0), 1.0);
        EXPECT_TRUE(std::signbit(out.at(3, 0)));
    });
}

struct AbortRequest {
    AbortRequest() { ksys_request_abort(); }
    ~AbortRequest() { ksys_clear_abort(); }
};

TEST(InstanceScoringAbort, ThrowsBeforeWritingTheFirstRowThatIsAMultipleOf16) {
    std::mt19937_64 rng(31);
    const Model md = randomModel(rng, WeightSigns::NonNegative);
    const Planes img = randomImage(rng, -4, -16, 40, 50);
    forEachSimdPath([&] {
        for (int32_t n : {1, 3, 6}) {
            AbortRequest abort;
            Scores out(img.x0, img.y0, img.width, img.height);
            const Scores before = out;
            EXPECT_THROW(score(img, md, n, true, out), kvException);
            EXPECT_TRUE(identical(before, out)) << "N=" << n << ": row -16 written before the poll";
        }
    });
}

TEST(InstanceScoringAbort, StopsAtRow16AndIgnoresRowsBetween) {
    std::mt19937_64 rng(32);
    const Model md = randomModel(rng, WeightSigns::NonNegative);
    const Planes img = randomImage(rng, 2, 1, 30, 25);    // rows 1..25 contain 16
    const Planes rest = randomImage(rng, 2, 17, 30, 15);  // rows 17..31 contain no multiple of 16
    forEachSimdPath([&] {
        for (int32_t n : {1, 4, 9}) {
            SCOPED_TRACE(n);
            AbortRequest abort;
            Scores out(img.x0, img.y0, img.width, img.height);
            const Scores before = out;
            EXPECT_THROW(score(img, md, n, true, out), kvException);
            for (long y = 16; y < img.y0 + img.height; ++y)
                for (long x = img.x0; x < img.x0 + img.width; ++x)
                    ASSERT_TRUE(sameBits(out.at(x, y), Scores::guard())) << x << ", " << y;

            Scores whole(rest.x0, rest.y0, rest.width, rest.height);
            Scores expected = whole;
            ASSERT_NO_THROW(score(rest, md, n, true, whole));
            referenceScores(rest, md, n, true, expected);
            EXPECT_TRUE(identical(expected, whole));
        }
    });
}

TEST(InstanceScoringAbort, AbortFromAnotherThreadStopsARunningCall) {
    std::mt19937_64 rng(33);
    Model md = randomModel(rng, WeightSigns::NonNegative);
    for (double& w : md.weights) w = 1.0;  // every pixel costs the full neighbourhood
    const Planes img = randomImage(rng, 0, 0, 256, 1024);
    Scores out(img.x0, img.y0, img.width, img.height);
    ksys_clear_abort();
    std::thread aborter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ksys_request_abort();
    });
    // Calls run back to back until one is stopped, however the threads are scheduled.
    bool stopped = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!stopped && std::chrono::steady_clock::now() < deadline) {
        try {
            score(img, md, 40, true, out);
        } catch (const kvException&) {
            stopped = true;
        }
    }
    aborter.join();
    ksys_clear_abort();
    EXPECT_TRUE(stopped);
}

}  // namespace
