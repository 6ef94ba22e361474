// Instance scoring and the label pass on every instruction-set path against plain transcriptions.
#include "clsg/clrsgint/instance_scoring.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "clsg/clrsgint/cpu_features.h"
#include "clsg/clrsgint/label_pass.h"
#include "clsg/clrsgint/neighborhood_kernel.h"
#include "clsg/clrsgint/plane_view.h"
#include "clsg/platform/attention.h"
#include "clsg/platform/exception.h"
#include "simd_path.h"

namespace {

// Three padded random planes of a window: a few repeated colours plus noise.
struct Planes : kvPlanesView {
    std::vector<unsigned char> data[3];
    Planes(std::mt19937_64& rng, long x, long y, long w, long h)
        : kvPlanesView{{}, {}, x, y, w, h} {
        unsigned char palette[12][3];
        for (auto& colour : palette) colour[0] = rng(), colour[1] = rng(), colour[2] = rng();
        for (int c = 0; c < 3; ++c)
            data[c].assign(std::size_t((stride[c] = w + 1 + 2 * c) * h), 0),
                plane[c] = data[c].data();
        for (long i = 0; i < w * h; ++i) {
            const unsigned char* p = palette[rng() % 12];
            const bool noise = rng() % 5 == 0;
            for (int c = 0; c < 3; ++c) data[c][i / w * stride[c] + i % w] = noise ? rng() : p[c];
        }
    }
    unsigned char at(int c, long i) const { return data[c][i / width * stride[c] + i % width]; }
};

struct Model {
    int32_t n;
    std::vector<unsigned char> quant;
    std::vector<double> weights;
    double normFactor;
};

// A score window inside a buffer with guard rows and columns that must never change.
struct Scores {
    long stride;
    std::vector<double> data;
    static constexpr double kGuard = -1234.5;  // no score is negative
    explicit Scores(const Planes& p)
        : stride(p.width + 3), data(std::size_t(stride * (p.height + 2)), kGuard) {}
    double& at(long x, long y) { return data[(y + 1) * stride + x + 1]; }  // window offsets
    bool operator==(const Scores& o) const {  // bit for bit, guards included
        return !std::memcmp(data.data(), o.data.data(), data.size() * 8);
    }
    void score(const Planes& img, const Model& md, int32_t n, bool first) {
        clsgint::scoreInstancePlanes(img, md.quant.data(), md.weights.data(), md.n, md.normFactor,
                                     n, first,
                                     {&at(0, 0), stride, img.x0, img.y0, img.width, img.height});
    }
};

// Plain scatter of (double)w * cell weight from each pixel, row-major (even N reach further +x/+y).
void referenceScores(const Planes& img, const Model& md, int32_t n, bool first, Scores& out) {
    const long W = img.width, H = img.height;
    std::vector<double> cell(std::size_t(W * H)), sum(cell.size(), 0.0);
    for (long i = 0; i < W * H; ++i)
        cell[i] = md.weights[(md.quant[img.at(0, i)] * md.n + md.quant[img.at(1, i)]) * md.n +
                             md.quant[img.at(2, i)]];
    const bool even = n % 2 == 0;
    const unsigned char one = 1, *k = n == 1 ? &one : clsgint::neighborhoodKernel(n);
    const long lo = even ? 1 - n / 2 : -(n / 2), hi = n / 2,
               m = n == 1 ? 1 : clsgint::kernelQuadrantSide(n);
    auto index = [&](long t) { return (even && t >= 1) ? t - 1 : std::labs(t); };
    for (long i = 0; i < W * H; ++i)
        if (cell[i] != 0.0)
            for (long ty = lo; ty <= hi; ++ty)
                for (long tx = lo; tx <= hi; ++tx) {
                    const long x = i % W + tx, y = i / W + ty;
                    if (x >= 0 && x < W && y >= 0 && y < H)
                        sum[y * W + x] += double(k[index(ty) * m + index(tx)]) * cell[i];
                }
    for (long i = 0; i < W * H; ++i) {
        const double s = sum[i] * sum[i] * md.normFactor;
        double& o = out.at(i % W, i / W);
        if (first || s > o) o = s;
    }
}

// Many zero cells (some -0.0), mixed magnitudes, negative ones when signed. Levels by
// training's rule round(c * S / 256) (which the vector paths compute), by that rule with one
// level moved, or by c * n / 256 rounded down (a table only an archive can bring).
enum class Levels { Training, TrainingButOne, Floor };
Model randomModel(std::mt19937_64& rng, bool signedWeights = false, int32_t levels = 0,
                  Levels rule = Levels::Floor) {
    static const int32_t choices[] = {3, 7, 16, 51};
    Model md{levels ? levels : choices[rng() % 4], std::vector<unsigned char>(256), {}, 0.0};
    for (int c = 0; c < 256; ++c) md.quant[c] = static_cast<unsigned char>(c * md.n / 256);
    if (rule != Levels::Floor) {
        const int32_t scale = std::min<int32_t>(md.n, 255);
        for (int c = 0; c < 256; ++c)
            md.quant[c] = static_cast<unsigned char>((c * scale + 128) >> 8);
        if (!levels) md.n = std::max<int32_t>(scale, md.quant[255] + 1);
        if (rule == Levels::TrainingButOne) {
            const std::size_t c = 1 + rng() % 254;
            md.quant[c] = md.quant[c] == md.quant[c + 1] ? md.quant[c - 1] : md.quant[c + 1];
        }
    }
    md.weights.resize(std::size_t(md.n) * md.n * md.n);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (double& w : md.weights) {
        const double u = unit(rng);
        w = u < 0.3 ? 0.0 : u < 0.5 ? -0.0 : std::ldexp(unit(rng), int(rng() % 9) - 4);
        if (signedWeights && rng() % 3 == 0) w = -w;
    }
    md.normFactor = std::ldexp(0.7 + unit(rng), -15);
    return md;
}

class InstanceScoring : public SimdPath {};
class InstanceScoringAbort : public SimdPath {};
class LabelPass : public SimdPath {};

// First and later instance (only strictly smaller prior scores replaced; equal, -0.0, NaN stay);
// signed weights; 257 levels cannot come from training but must work.
TEST_P(InstanceScoring, MatchesScatter) {
    const std::tuple<bool, int32_t, std::vector<int32_t>> cases[] = {
        {false, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 27, 28, 40}},
        {true, 0, {2, 3, 9}},
        {false, 256, {3, 4}},
        {true, 257, {1}}};
    const long windows[][4] = {
        {-3, 7, 1, 1}, {5, -1, 3, 2}, {-37, -21, 157, 83}, {1001, 15, 33, 19}, {-64, 31, 65, 4}};
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int models = 0;
    for (const auto& [signedWeights, levels, sizes] : cases)
        for (const auto& win : windows) {
            if (levels && win[2] < 50) continue;
            const Levels rule = static_cast<Levels>(models++ % 3);
            const Model md = randomModel(rng, signedWeights, levels, rule);
            for (int32_t n : sizes) {
                const Planes img(rng, win[0], win[1], win[2], win[3]);
                Scores fresh(img);
                referenceScores(img, md, n, true, fresh);
                Scores prior = fresh;
                for (long i = 0; i < img.width * img.height; ++i) {
                    double& o = prior.at(i % img.width, i / img.width);
                    const double options[] = {0.0, -0.0, std::nan(""), o, o * (0.5 + unit(rng))};
                    o = options[rng() % 5];
                }
                Scores raised = prior;
                referenceScores(img, md, n, false, raised);
                {
                    SCOPED_TRACE(::testing::Message() << "N=" << n << " window " << win[2] << "x"
                                                      << win[3] << " levels " << md.n);
                    Scores out(img), again = prior;
                    out.score(img, md, n, true), again.score(img, md, n, false);
                    EXPECT_TRUE(fresh == out) << "first instance";
                    EXPECT_TRUE(raised == again) << "later instance";
                }
            }
        }
}

// Polls only before rows y % 16 == 0: A (from -16) writes nothing, B stops at 16, C completes.
TEST_P(InstanceScoringAbort, PollsBeforeRowsThatAreMultiplesOf16) {
    std::mt19937_64 rng(31);
    const Model md = randomModel(rng);
    const Planes a(rng, -4, -16, 40, 50), b(rng, 2, 1, 30, 25), c(rng, 2, 17, 30, 15);
    {
        for (int32_t n : {1, 4, 9}) {
            SCOPED_TRACE(n);
            ksys_request_abort();
            Scores outA(a), outB(b), outC(c), expectedC(c);
            EXPECT_THROW(outA.score(a, md, n, true), kvAbortRequested);
            EXPECT_TRUE(Scores(a) == outA) << "row -16 written before the poll";
            EXPECT_THROW(outB.score(b, md, n, true), kvAbortRequested);
            EXPECT_TRUE(std::all_of(&outB.at(0, 16 - b.y0), outB.data.data() + outB.data.size(),
                                    [](double s) { return s == Scores::kGuard; }));
            EXPECT_NO_THROW(outC.score(c, md, n, true));
            ksys_clear_abort();
            referenceScores(c, md, n, true, expectedC);
            EXPECT_TRUE(expectedC == outC);
        }
    }
}

// Ties, NaN, zeros, infinities, negatives, .5 roundings and every row tail; and whole
// vectors where a single label scores (the paths skip the division there).
TEST_P(LabelPass, MatchesThePlainRule) {
    const double inf = HUGE_VAL, nan = std::nan("");
    const double specials[] = {0.0,  -0.0,   1.0,   1.0, 3.0,       nan,         inf,   -inf,
                               -2.0, 1e-310, 1e300, 0.5, 2.0 / 3.0, 1.0 / 511.0, 255.0, 7.0};
    std::mt19937 rng(5);
    const auto expectPlainRule = [](const std::vector<std::vector<double>>& scores, long width) {
        std::vector<const double*> rows;
        for (const auto& row : scores) rows.push_back(row.data());
        const std::size_t labels = scores.size();
        std::vector<unsigned char> label(width), confidence(width);
        clsgint::labelPassRow(rows.data(), labels, width, label.data(), confidence.data());
        for (long x = 0; x < width; ++x) {  // round half away from zero in single precision
            double b = 0.0, second = 0.0;
            std::size_t l = 255;
            for (std::size_t k = 0; k < labels; ++k)
                if (scores[k][x] > b)
                    second = b, b = scores[k][x], l = k;
                else if (scores[k][x] > second)
                    second = scores[k][x];
            const float q = static_cast<float>((b - second) / (second + b) * 255.0);  // NaN at 0
            const int c = !(q > 0.0f) ? 0 : q >= 255.0f ? 255 : int(std::floor(double(q) + 0.5));
            EXPECT_TRUE(label[x] == l && confidence[x] == c) << x;
        }
    };
    {
        for (std::size_t labels = 0; labels <= 6; ++labels)
            for (long width = 1; width <= 37; width += 3) {
                SCOPED_TRACE(::testing::Message() << "level " << int(kvActiveSimd()) << " labels "
                                                  << labels << " width " << width);
                std::vector<std::vector<double>> scores(labels, std::vector<double>(width));
                for (auto& row : scores)
                    for (double& s : row)
                        s = rng() % 3 == 0 ? specials[rng() % 16]
                                           : std::ldexp(double(rng() % 1000), -int(rng() % 20));
                expectPlainRule(scores, width);
            }
        for (std::size_t labels = 2; labels <= 4; ++labels) {
            SCOPED_TRACE(::testing::Message() << "level " << int(kvActiveSimd()) << " labels "
                                              << labels << ", one scoring per pixel");
            const double others[] = {0.0, -0.0, nan, -1.0};
            std::vector<std::vector<double>> scores(labels, std::vector<double>(64));
            for (long x = 0; x < 64; ++x) {
                const std::size_t scoring = rng() % labels;
                for (std::size_t k = 0; k < labels; ++k)
                    scores[k][x] = k != scoring ? others[rng() % 4]
                                   : x % 4 == 0
                                       ? specials[rng() % 16]
                                       : std::ldexp(double(rng() % 1000), -int(rng() % 20));
            }
            expectPlainRule(scores, 64);
        }
        // Quotients just below a .5 that single precision rounds up to it: 127.49999... is
        // 127.5f, so 128; in double it would give 127. Eight pixels reach every path's loop.
        const struct {
            double best, second;
            unsigned char confidence;
        } edges[] = {{1.0, double(0.33333334f), 128}, {3.0, 1.0, 128}};
        for (const auto& e : edges) {
            const std::vector<double> a(8, e.best), b(8, e.second);
            const double* rows[] = {a.data(), b.data()};
            std::vector<unsigned char> label(8), confidence(8);
            clsgint::labelPassRow(rows, 2, 8, label.data(), confidence.data());
            EXPECT_EQ(confidence, std::vector<unsigned char>(8, e.confidence))
                << "level " << int(kvActiveSimd()) << " best " << e.best;
        }
    }
}

INSTANTIATE_SIMD_PATHS(InstanceScoring);
INSTANTIATE_SIMD_PATHS(InstanceScoringAbort);
INSTANTIATE_SIMD_PATHS(LabelPass);

}  // namespace
