#include "clsg/clrsgint/instance_scoring.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "abort_from_thread.h"
#include "clsg/clrsgint/cpu_features.h"
#include "clsg/clrsgint/neighborhood_kernel.h"
#include "platform/attention.h"
#include "platform/exception.h"

namespace {

struct Window {
    long x0, y0, width, height;
};

// Three 8-bit planes of a window, each with its own row padding.
struct Planes : Window {
    std::ptrdiff_t stride[3];
    std::vector<unsigned char> data[3];

    Planes(long x, long y, long w, long h) : Window{x, y, w, h} {
        for (int c = 0; c < 3; ++c) {
            stride[c] = w + 1 + 2 * c;
            data[c].assign(static_cast<std::size_t>(stride[c] * h), 0);
        }
    }
    unsigned char at(int c, long x, long y) const {
        return data[c][(y - y0) * stride[c] + (x - x0)];
    }
    void set(long x, long y, unsigned char r, unsigned char g, unsigned char b) {
        const unsigned char v[3] = {r, g, b};
        for (int c = 0; c < 3; ++c) data[c][(y - y0) * stride[c] + (x - x0)] = v[c];
    }
    kvPlanesView view() const {
        const auto& d = data;
        return {{d[0].data(), d[1].data(), d[2].data()},
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

// A score window inside a buffer with guard rows and columns that must never change.
struct Scores : Window {
    std::ptrdiff_t stride;
    std::vector<double> data;

    static constexpr double kGuard = -1234.5;  // no score is negative
    explicit Scores(const Window& w)
        : Window(w), stride(w.width + 3), data(std::size_t(stride * (w.height + 2)), kGuard) {}
    double& at(long x, long y) { return data[(y - y0 + 1) * stride + (x - x0 + 1)]; }
    kvImageView<double> view() { return {&at(x0, y0), stride, x0, y0, width, height}; }
};

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Reports the first pixel where two score buffers differ in any bit (guards included).
::testing::AssertionResult identical(const Scores& expected, const Scores& actual) {
    for (std::size_t i = 0; i < expected.data.size(); ++i)
        if (!sameBits(expected.data[i], actual.data[i]))
            return ::testing::AssertionFailure()
                   << "first difference at window offset (" << long(i % expected.stride) - 1 << ", "
                   << long(i / expected.stride) - 1 << "): expected " << expected.data[i]
                   << ", got " << actual.data[i];
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
        const unsigned char* k = clsgint::neighborhoodKernel(n);
        const long m = clsgint::kernelQuadrantSide(n);
        for (long y = 0; y < H; ++y)
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
                    for (long i = 2; i <= h; ++i)
                        for (long j = 1; j < i; ++j) {
                            const unsigned char w = k[j * m + i];
                            add(j, i, w), add(-j, i, w), add(j, -i, w), add(-j, -i, w);
                            add(i, j, w), add(-i, j, w), add(i, -j, w), add(-i, -j, w);
                        }
                } else {
                    const long h = n / 2 - 1;
                    for (long i = 0; i <= h; ++i) {
                        const unsigned char w = k[i * m + i];
                        add(-i, -i, w), add(i + 1, -i, w), add(-i, i + 1, w), add(i + 1, i + 1, w);
                    }
                    for (long i = 1; i <= h; ++i)
                        for (long j = 0; j < i; ++j) {
                            const unsigned char w = k[j * m + i];
                            add(-i, -j, w), add(i + 1, -j, w), add(-i, j + 1, w);
                            add(i + 1, j + 1, w);
                            add(-j, -i, w), add(j + 1, -i, w), add(-j, i + 1, w);
                            add(j + 1, i + 1, w);
                        }
                }
            }
        for (long y = 0; y < H; ++y)
            for (long x = 0; x < W; ++x) sum[y * W + x] = grown[(y + grow) * GW + (x + grow)];
    }
    for (long y = 0; y < H; ++y)
        for (long x = 0; x < W; ++x) {
            const double S = sum[y * W + x];
            const double s = S * S * md.normFactor;
            double& o = out.at(img.x0 + x, img.y0 + y);
            if (first || s > o) o = s;
        }
}

void score(const Planes& img, const Model& md, int32_t n, bool first, Scores& out) {
    clsgint::scoreInstancePlanes(img.view(), md.quant.data(), md.weights.data(), md.n,
                                 md.normFactor, n, first, out.view());
}

// A model with many zero cells (some of them -0.0) and weights of mixed magnitudes, negative
// ones too when signed.
Model randomModel(std::mt19937_64& rng, bool signedWeights = false) {
    static const int32_t levels[] = {3, 7, 16, 51};
    Model md{levels[rng() % 4], std::vector<unsigned char>(256), {}, 0.0};
    for (int c = 0; c < 256; ++c) md.quant[c] = static_cast<unsigned char>(c * md.n / 256);
    md.weights.resize(static_cast<std::size_t>(md.n) * md.n * md.n);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (double& w : md.weights) {
        const double u = unit(rng);
        w = u < 0.3 ? 0.0 : u < 0.5 ? -0.0 : std::ldexp(unit(rng), static_cast<int>(rng() % 9) - 4);
        if (signedWeights && rng() % 3 == 0) w = -w;
    }
    md.normFactor = std::ldexp(0.7 + unit(rng), -15);
    return md;
}

// Quantisation c % n, all weights zero, normFactor 1.
Model uniformQuantModel(int32_t n) {
    Model md{n, std::vector<unsigned char>(256), std::vector<double>(std::size_t(n) * n * n), 1.0};
    for (int c = 0; c < 256; ++c) md.quant[c] = static_cast<unsigned char>(c % n);
    return md;
}

// Mostly a few repeated colours, with some noise pixels.
Planes randomImage(std::mt19937_64& rng, long x0, long y0, long w, long h) {
    Planes img(x0, y0, w, h);
    unsigned char palette[13][3];
    for (auto& colour : palette)
        for (auto& c : colour) c = static_cast<unsigned char>(rng());
    for (long y = y0; y < y0 + h; ++y)
        for (long x = x0; x < x0 + w; ++x) {
            const unsigned char* c = palette[rng() % 12];
            if (rng() % 5 == 0) c = palette[12];
            img.set(x, y, c[0], c[1], c[2]);
            for (auto& v : palette[12]) v = static_cast<unsigned char>(rng());  // a noise colour
        }
    return img;
}

// Earlier scores for first = false: other values, both zeros, NaN, and the new score itself.
void fillPrior(std::mt19937_64& rng, Scores& same) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (long y = same.y0; y < same.y0 + same.height; ++y)
        for (long x = same.x0; x < same.x0 + same.width; ++x) {
            double& o = same.at(x, y);
            const double options[] = {
                0.0, -0.0, std::nan(""), o, o * (0.5 + unit(rng)), std::ldexp(unit(rng), -20)};
            o = options[rng() % 6];
        }
}

// Runs body once per instruction-set path this processor has, with that path forced.
template <class Body>
void forEachSimdPath(Body body) {
    for (kvSimdLevel level : {kvSimdLevel::Portable, kvSimdLevel::Avx2, kvSimdLevel::Avx512}) {
        const kvSimdLevel previous = kvSetSimdLimit(level);
        if (kvActiveSimd() == level) {
            SCOPED_TRACE("simd level " + std::to_string(static_cast<int>(level)));
            body();
        } else {
            std::printf("note: simd level %d not available here, path not run\n", int(level));
        }
        kvSetSimdLimit(previous);
    }
}

// Every path against the scatter, for the first instance and for a later one over prior
// scores (a later one replaces only strictly smaller scores, so equal ones, -0.0 against
// +0.0 and NaN stay). Skipping zero cells must stay exact for signed weights and -0.0 too.
TEST(InstanceScoring, MatchesScatterOnEveryPath) {
    const struct {
        bool signedWeights;
        std::vector<int32_t> sizes;
    } cases[] = {{false, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 27, 28, 40}},
                 {true, {1, 2, 3, 6, 9, 28}}};
    const long windows[][4] = {
        {-3, 7, 1, 1}, {5, -1, 3, 2}, {-37, -21, 157, 83}, {1001, 15, 33, 19}, {-64, 31, 65, 4}};
    std::mt19937_64 rng(11);
    for (const auto& c : cases)
        for (const auto& win : windows)
            for (int32_t n : c.sizes) {
                const Planes img = randomImage(rng, win[0], win[1], win[2], win[3]);
                const Model md = randomModel(rng, c.signedWeights);
                Scores fresh(img);
                referenceScores(img, md, n, true, fresh);
                Scores prior = fresh;
                fillPrior(rng, prior);
                Scores raised = prior;
                referenceScores(img, md, n, false, raised);
                forEachSimdPath([&] {
                    SCOPED_TRACE(::testing::Message()
                                 << "N=" << n << " window " << win[2] << "x" << win[3] << " at ("
                                 << win[0] << ", " << win[1] << ") n=" << md.n);
                    Scores out(img);
                    score(img, md, n, true, out);
                    EXPECT_TRUE(identical(fresh, out)) << "first instance";
                    Scores again = prior;
                    score(img, md, n, false, again);
                    EXPECT_TRUE(identical(raised, again)) << "later instance";
                });
            }
}

// 256 levels is the finest quantisation; 257 cannot come from training but must still work.
TEST(InstanceScoring, MatchesScatterAtTheFinestQuantisation) {
    std::mt19937_64 rng(14);
    for (int32_t levels : {256, 257}) {
        Model md = uniformQuantModel(levels);  // every channel value its own level
        md.normFactor = 0.25;
        Planes img = randomImage(rng, -9, 14, 70, 9);
        for (long x = img.x0; x < img.x0 + 20; ++x) img.set(x, img.y0 + 3, 255, 255, 255);
        for (long y = img.y0; y < img.y0 + img.height; ++y)
            for (long x = img.x0; x < img.x0 + img.width; ++x)
                if (rng() % 3 != 0)
                    md.weights[(std::size_t(img.at(0, x, y)) * levels + img.at(1, x, y)) * levels +
                               img.at(2, x, y)] = std::ldexp(1.0 + x, -7);
        for (int32_t n : {1, 3, 4}) {
            Scores expected(img);
            referenceScores(img, md, n, true, expected);
            forEachSimdPath([&] {
                Scores out(img);
                score(img, md, n, true, out);
                EXPECT_TRUE(identical(expected, out)) << "levels " << levels << " N=" << n;
            });
        }
    }
}

// A lone weighted pixel at every column of a wide window spreads the kernel around itself:
// odd N centred on it, even N reaching one pixel further right and down. Every block of
// output pixels it reaches must see it, whatever the block width of the path.
TEST(InstanceScoring, LoneWeightedPixelSpreadsTheKernelIntoEveryBlock) {
    Model md = uniformQuantModel(4);
    md.weights[(1 * 4 + 2) * 4 + 3] = 0.75;
    md.normFactor = 2.0;
    forEachSimdPath([&] {
        for (int32_t n : {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 19, 20}) {
            const unsigned char* k = clsgint::neighborhoodKernel(n);
            const bool even = n % 2 == 0;
            const long h = even ? n / 2 - 1 : n / 2, lo = -h, hi = even ? h + 1 : h;
            auto index = [&](long t) { return (even && t >= 1) ? t - 1 : std::labs(t); };
            for (long col = 0; col < 150; ++col) {
                Planes img(-5, 28, 150, 7);
                const long qx = img.x0 + col, qy = 31;
                img.set(qx, qy, 1, 2, 3);
                Scores out(img);
                score(img, md, n, true, out);
                for (long y = img.y0; y < img.y0 + img.height; ++y)
                    for (long x = img.x0; x < img.x0 + img.width; ++x) {
                        const long tx = x - qx, ty = y - qy;
                        double S = 0.0;
                        if (tx >= lo && tx <= hi && ty >= lo && ty <= hi)
                            S = k[index(ty) * clsgint::kernelQuadrantSide(n) + index(tx)] * 0.75;
                        ASSERT_TRUE(sameBits(out.at(x, y), S * S * 2.0))
                            << "N=" << n << " column " << col << " at " << tx << ", " << ty;
                    }
            }
        }
    });
}

// The poll comes before every row whose absolute y is a multiple of 16, and only there:
// window A starts on row -16 and writes nothing; window B stops before row 16; window C
// (rows 17..31) holds no such row and completes.
TEST(InstanceScoringAbort, PollsBeforeRowsThatAreMultiplesOf16) {
    std::mt19937_64 rng(31);
    const Model md = randomModel(rng);
    const Planes a = randomImage(rng, -4, -16, 40, 50), b = randomImage(rng, 2, 1, 30, 25),
                 c = randomImage(rng, 2, 17, 30, 15);
    forEachSimdPath([&] {
        for (int32_t n : {1, 4, 9}) {
            SCOPED_TRACE(n);
            struct Clear {
                ~Clear() { ksys_clear_abort(); }
            } clear;
            ksys_request_abort();
            Scores outA(a), outB(b), outC(c), expectedC(c);
            const Scores untouchedA = outA;
            EXPECT_THROW(score(a, md, n, true, outA), kvAbortRequested);
            EXPECT_TRUE(identical(untouchedA, outA)) << "row -16 written before the poll";
            EXPECT_THROW(score(b, md, n, true, outB), kvAbortRequested);
            for (long y = 16; y < b.y0 + b.height; ++y)
                for (long x = b.x0; x < b.x0 + b.width; ++x)
                    ASSERT_TRUE(sameBits(outB.at(x, y), Scores::kGuard)) << x << ", " << y;
            EXPECT_NO_THROW(score(c, md, n, true, outC));
            referenceScores(c, md, n, true, expectedC);
            EXPECT_TRUE(identical(expectedC, outC));
        }
    });
}

TEST(InstanceScoringAbort, AbortFromAnotherThreadStopsARunningCall) {
    std::mt19937_64 rng(33);
    Model md = randomModel(rng);
    for (double& w : md.weights) w = 1.0;  // every pixel costs the full neighbourhood
    const Planes img = randomImage(rng, 0, 0, 256, 1024);
    Scores out(img);
    EXPECT_TRUE(abortedFromAnotherThread([&] { score(img, md, 40, true, out); }));
}

}  // namespace
