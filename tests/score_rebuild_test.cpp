// A result keeps no score images after a run: it scores them again when asked. Those rebuilt
// images against the plain per-pixel formula, the derived images and archive bytes against a
// result holding the reference images whole, equality, and the memory a result keeps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "archive_bytes.h"
#include "clsg/clrsgint/color_model.h"
#include "clsg/clrsgint/intensity_normalization.h"
#include "clsg/clrsgint/internal_result.h"
#include "clsg/clrsgint/neighborhood_kernel.h"
#include "clsg/clrsgint/tool_model.h"
#include "clsg/clsg.h"
#include "test_images.h"

namespace {

using Internal = kvCompositeColorSegmenterInternalResult;
using Model = kvCompositeColorSegmenterModel;
using Params = kvCompositeColorSegmenterRunParams;
using Result = kvCompositeColorSegmenterResult;
using Tool = kvCompositeColorSegmenterTool;

Internal& internalOf(const Result& r) { return *static_cast<Internal*>(r.result()); }

// Labels on overlapping noisy colours with 1, 2, 1 and 3 instances.
std::vector<kvCompositeColorSet> setsOf(uint32_t seed, std::size_t labels) {
    const kvPelRect tw(0, 0, 16, 16);
    std::vector<kvCompositeColorSet> sets;
    for (std::size_t k = 0; k < labels; ++k) {
        std::vector<kvCompositeColor> examples;
        for (uint32_t e = 0; e <= (k % 2) * (k / 2 + 1); ++e)
            examples.emplace_back(noisyImage(tw, seed + 10 * k + e),
                                  makeMask(tw, [&](long x, long y) {
                                      return (x + 3 * y + e) % 4 == static_cast<long>(k % 4);
                                  }));
        sets.emplace_back(examples);
    }
    return sets;
}

Tool toolOf(uint32_t seed, std::size_t labels = 4) {
    Tool tool;
    tool.train(setsOf(seed, labels), kvCompositeColorSegmenterTrainParams(0.15, 3));
    return tool;
}

// One label's scores by the formula: each instance's cell weights scattered, times the kernel
// weight, from every pixel in row order into a zero sum (pixels outside the window absent; an
// even N reaches one further right and down); score = sum^2 * normFactor; the label keeps the
// first instance's score unless a later one is strictly greater.
kvPelBuffer<double> plainScores(const Model& model, const kv3PlanePelBuffer_const& img, int32_t n,
                                std::size_t label) {
    const kvPelRect& w = img.window();
    const long W = w.width(), H = w.height();
    kvPelBuffer<double> out(w);
    std::size_t first = 0;
    for (std::size_t l = 0; l < label; ++l) first += model.instanceCounts[l];
    const bool even = n % 2 == 0;
    const unsigned char one = 1, *kernel = n == 1 ? &one : clsgint::neighborhoodKernel(n);
    const long lo = even ? 1 - n / 2 : -(n / 2), hi = n / 2,
               m = n == 1 ? 1 : clsgint::kernelQuadrantSide(n);
    auto index = [&](long t) { return (even && t >= 1) ? t - 1 : std::labs(t); };
    for (uint32_t i = 0; i < model.instanceCounts[label]; ++i) {
        const kvCompositeColorInstanceModel& md = model.instanceModels[first + i];
        const std::size_t levels = md.levelCount;
        std::vector<double> sum(static_cast<std::size_t>(W * H), 0.0);
        for (long sy = 0; sy < H; ++sy)
            for (long sx = 0; sx < W; ++sx) {
                const auto q = [&](const kvPelBuffer_const<unsigned char>& p) {
                    return static_cast<std::size_t>(
                        md.quantTable[p.pointToPel(w.left() + sx, w.top() + sy)[0]]);
                };
                const double v = md.weights[(q(img.plane0()) * levels + q(img.plane1())) * levels +
                                            q(img.plane2())];
                if (v == 0.0) continue;
                for (long ty = lo; ty <= hi; ++ty)
                    for (long tx = lo; tx <= hi; ++tx) {
                        const long x = sx + tx, y = sy + ty;
                        if (x >= 0 && x < W && y >= 0 && y < H)
                            sum[y * W + x] += double(kernel[index(ty) * m + index(tx)]) * v;
                    }
            }
        for (long y = 0; y < H; ++y)
            for (long x = 0; x < W; ++x) {
                const double s = sum[y * W + x] * sum[y * W + x] * md.normFactor;
                double& o = out.pointToPel(w.left() + x, w.top() + y)[0];
                if (i == 0 || s > o) o = s;
            }
    }
    return out;
}

bool sameBits(const kvPelBuffer_const<double>& a, const kvPelBuffer_const<double>& b) {
    if (!(a.window() == b.window())) return false;
    for (long y = a.window().top(); y < a.window().bottom(); ++y)
        if (std::memcmp(a.pointToRow(y), b.pointToRow(y), 8 * std::size_t(a.width()))) return false;
    return true;
}

// The result with its score images held whole instead of rebuilt, caches dropped.
Result holding(const Result& run, const std::vector<kvPelBuffer<double>>& scores) {
    Result r(run);
    Internal& in = internalOf(r);
    in.labelScores = kvLabelScores();
    in.labelScores.held = scores;
    in.labelImage = in.confidenceImage = in.scoreImage = kvPelBuffer<unsigned char>();
    in.scoreSum = kvPelBuffer<double>();
    return r;
}

std::vector<kvPelBuffer_const<unsigned char>> derivedImages(const Result& r) {
    std::vector<kvPelBuffer_const<unsigned char>> images = {r.labelImage(), r.confidenceImage(),
                                                            r.scoreImage()};
    for (std::size_t k = 0; k < internalOf(r).labelScores.size(); ++k)
        images.push_back(r.segmentationImage(static_cast<unsigned char>(k)));
    return images;
}

TEST(ScoreRebuild, MatchesThePlainFormulaAndHeldScoresAfterTheToolIsRetrained) {
    const kvPelRect w(-6, 3, 29, 17);
    const auto frame = clsgint::mapPlanes(noisyImage(w, 9), clsgint::makeGainTable(0.8));
    for (int32_t n : {1, 3, 4, 5, 9})
        for (bool normalize : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "N " << n << " normalize " << normalize);
            Tool tool = toolOf(1);
            const Model model = clsgint::toolModel(tool);  // a copy that outlives the retrain
            Result run;
            tool.run(frame, Params(n, normalize), run);
            const Result copy(run);
            // The result and its copy keep the tables that scored.
            tool.train(setsOf(50, 3), kvCompositeColorSegmenterTrainParams(0.3, 2));
            Internal& in = internalOf(run);
            ASSERT_EQ(in.labelScores.size(), 4u);
            std::vector<kvPelBuffer<double>> expected;
            for (std::size_t k = 0; k < 4; ++k) {
                expected.push_back(plainScores(model, in.image, n, k));
                EXPECT_TRUE(sameBits(in.labelScores[k], expected[k])) << "label " << k;
                EXPECT_TRUE(sameBits(internalOf(copy).labelScores[k], expected[k]));
            }
            // Everything derived from rebuilt rows equals what the whole images give.
            const Result held = holding(run, expected);
            const auto got = derivedImages(run), want = derivedImages(held);
            for (std::size_t i = 0; i < got.size(); ++i)
                EXPECT_TRUE(kfPelEqual(got[i], want[i])) << "image " << i;
            Result heldCopy(held);
            EXPECT_EQ(storeToBytes(run), storeToBytes(heldCopy));
            EXPECT_TRUE(run == held && held == run && copy == run);
        }
}

TEST(ScoreRebuild, EqualityComparesTheScoresTheTablesGive) {
    const auto frame = noisyImage(kvPelRect(0, 0, 23, 11), 4);
    const Tool a = toolOf(1), twin = toolOf(1), other = toolOf(2);
    const Params params(3);
    Result ra, rTwin, rOther, loaded;
    a.run(frame, params, ra);
    twin.run(frame, params, rTwin);    // equal tables, another object
    other.run(frame, params, rOther);  // other tables, same quantisation
    ASSERT_EQ(internalOf(ra).quantTable, internalOf(rOther).quantTable);
    loadFromBytes(storeToBytes(rOther), loaded);
    EXPECT_TRUE(ra == rTwin && !(ra == rOther) && !(rOther == ra) && loaded == rOther);
    EXPECT_FALSE(ra == loaded || loaded == ra);
    Result otherSize;
    a.run(frame, Params(5), otherSize);
    EXPECT_FALSE(otherSize == ra);

    // Weights of 0 with an infinite normFactor score NaN where no weight reaches: such a
    // result differs from its own copy, as the pels compare.
    Tool zero;
    zero.train({kvCompositeColorSet({kvCompositeColor(
                   uniformImage(kvPelRect(0, 0, 4, 4), {90, 20, 200}), noMask())})},
               kvCompositeColorSegmenterTrainParams(0.0, 2));
    Result r0;
    zero.run(frame, params, r0);
    const auto scores = internalOf(r0).labelScores[0];
    bool nan = false;
    for (long y = 0; y < 11; ++y)
        for (long x = 0; x < 23; ++x) nan = nan || std::isnan(scores.pointToPel(x, y)[0]);
    EXPECT_TRUE(nan);
    EXPECT_FALSE(r0 == Result(r0));
}

// A run keeps the scored image and the label and confidence images (3 + 1 + 1 bytes a pixel)
// whatever the number of labels; the score image adds 1, the score sum 8.
TEST(ScoreRebuild, AResultKeepsFiveBytesAPixelAfterARun) {
    const kvPelRect w(0, 0, 64, 20);
    const std::size_t pixels = 64 * 20;
    for (std::size_t labels : {1u, 4u, 9u}) {
        Result r;
        toolOf(3, labels).run(noisyImage(w, 2), Params(3), r);
        r.labelImage();
        EXPECT_EQ(internalOf(r).pelBytes(), 5 * pixels) << labels;
        r.scoreImage();
        EXPECT_EQ(internalOf(r).pelBytes(), 6 * pixels);
        r.segmentationImage(0);
        EXPECT_EQ(internalOf(r).pelBytes(), 14 * pixels);
    }
}

}  // namespace
