// The images a result derives from its score images: label, confidence,
// score and segmentation images, their caches and their aborts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "clsg/clrsgint/internal_result.h"
#include "clsg/clrsgint/score_image.h"
#include "clsg/clsg.h"
#include "test_images.h"

namespace {

using Defs = kvCompositeColorSegmenterDefs;

kvCompositeColorSegmenterInternalResult& internalOf(kvCompositeColorSegmenterResult& r) {
    return *static_cast<kvCompositeColorSegmenterInternalResult*>(r.result());
}

// A result whose labels score the given values at the single pixel (4, -2).
kvCompositeColorSegmenterResult resultWithScores(const std::vector<double>& scores) {
    kvCompositeColorSegmenterResult result;
    auto& in = internalOf(result);
    const kvPelRect w(4, -2, 1, 1);
    for (double s : scores) {
        kvPelBuffer<double> b(w);
        kfPelSet(b, s);
        in.labelScores.push_back(b);
    }
    in.image = uniformImage(w, {0, 0, 0});
    in.imageFromClientXform = kv2XformLinear::identity();
    return result;
}

int labelOf(const std::vector<double>& s) {
    return resultWithScores(s).labelImage().pointToPel(4, -2)[0];
}
int confidenceOf(const std::vector<double>& s) {
    return resultWithScores(s).confidenceImage().pointToPel(4, -2)[0];
}
int segmentOf(const std::vector<double>& s, unsigned char label) {
    return resultWithScores(s).segmentationImage(label).pointToPel(4, -2)[0];
}

TEST(LabelImages, WinnerAndConfidence) {
    EXPECT_EQ(labelOf({4.0, 1.0}), 0);
    EXPECT_EQ(confidenceOf({4.0, 1.0}), 153);
    EXPECT_EQ(labelOf({1.0, 1.0}), 0);  // the lower label keeps a tie
    EXPECT_EQ(confidenceOf({1.0, 1.0}), 0);
    EXPECT_EQ(labelOf({0.0, 2.0}), 1);
    EXPECT_EQ(confidenceOf({0.0, 2.0}), 255);
    EXPECT_EQ(labelOf({1.0, 3.0, 2.0}), 1);
    EXPECT_EQ(confidenceOf({1.0, 3.0, 2.0}), 51);
    EXPECT_EQ(labelOf({1.0, 3.0, 3.0}), 1);  // a tieing later label is the runner-up
    EXPECT_EQ(confidenceOf({1.0, 3.0, 3.0}), 0);
    EXPECT_EQ(labelOf({0.0}), 255);  // nothing scored
    EXPECT_EQ(confidenceOf({0.0}), 0);
    EXPECT_EQ(labelOf({std::nan(""), 1.0}), 1);  // NaN never wins
    EXPECT_EQ(confidenceOf({std::nan("")}), 0);
}

TEST(SegmentationImage, SharesOfTheScoreSum) {
    EXPECT_EQ(segmentOf({1.0, 3.0}, 0), 64);
    EXPECT_EQ(segmentOf({1.0, 3.0}, 1), 191);
    EXPECT_EQ(segmentOf({1.0, 1.0, 1.0}, 2), 85);
    EXPECT_EQ(segmentOf({2.0, 2.0}, 0), 128);  // 127.5 rounds up
    EXPECT_EQ(segmentOf({0.0, 0.0}, 1), 0);
    EXPECT_EQ(segmentOf({0.0, 5.0}, 1), 255);
    EXPECT_EQ(segmentOf({0.0, 5.0}, 0), 0);
    // Values no run produces still give an image without undefined conversions.
    EXPECT_EQ(segmentOf({-1.0, 3.0}, 0), 0);
    EXPECT_EQ(segmentOf({INFINITY, 1.0}, 1), 0);
}

TEST(SegmentationImage, RefusesLabelsTheResultDoesNotHold) {
    kvCompositeColorSegmenterResult empty;
    try {
        empty.segmentationImage(0);
        FAIL();
    } catch (const Defs::BadParams& e) {
        EXPECT_STREQ(e.what(), "Invalid label");
    }
    auto three = resultWithScores({1, 2, 3});
    EXPECT_NO_THROW(three.segmentationImage(2));
    EXPECT_THROW(three.segmentationImage(3), Defs::BadParams);
    EXPECT_THROW(three.segmentationImage(255), Defs::BadParams);
    // Never cached: two calls give two buffers.
    EXPECT_NE(three.segmentationImage(1).pointToRow(-2), three.segmentationImage(1).pointToRow(-2));
}

TEST(ResultImages, AResultWithoutARunGivesUnboundImages) {
    const kvCompositeColorSegmenterResult empty;
    EXPECT_FALSE(empty.labelImage().isBound());
    EXPECT_FALSE(empty.confidenceImage().isBound());
    EXPECT_FALSE(empty.scoreImage().isBound());
    EXPECT_TRUE(empty == kvCompositeColorSegmenterResult());
}

// A trained two-colour run over a window at negative coordinates.
kvCompositeColorSegmenterResult realRun(int n, const kvPelRect& w = kvPelRect(-9, -5, 30, 20)) {
    kvCompositeColorSegmenterTool tool;
    const kvPelRect tw(0, 0, 6, 6);
    tool.train({kvCompositeColorSet({kvCompositeColor(uniformImage(tw, {200, 40, 30}), noMask())}),
                kvCompositeColorSet({kvCompositeColor(uniformImage(tw, {40, 60, 210}), noMask())})},
               kvCompositeColorSegmenterTrainParams());
    kvCompositeColorSegmenterResult result;
    tool.run(noisyImage(w, 5), kvCompositeColorSegmenterRunParams(n), result);
    return result;
}

TEST(ResultImages, CachesAreBuiltOnceAndCopiedWithTheResult) {
    auto result = realRun(3);
    const auto conf = result.confidenceImage();  // builds the label images too
    EXPECT_TRUE(internalOf(result).labelImage.isBound());
    const auto label = result.labelImage();
    EXPECT_EQ(label.pointToRow(-5), internalOf(result).labelImage.pointToRow(-5));
    EXPECT_EQ(result.confidenceImage().pointToRow(-5), conf.pointToRow(-5));

    const auto score = result.scoreImage();
    kvCompositeColorSegmenterResult copy(result);
    EXPECT_EQ(copy.labelImage().pointToRow(-5), label.pointToRow(-5));  // not rebuilt
    EXPECT_EQ(copy.scoreImage().pointToRow(-5), score.pointToRow(-5));
    EXPECT_TRUE(copy == result);
}

TEST(ScoreImage, AtNeighbourhoodOneIsTheBestScoreOverFSquared) {
    auto result = realRun(1);
    const auto& in = internalOf(result);
    const auto score = result.scoreImage();
    const double f2 = in.colorToleranceFrac * in.colorToleranceFrac;
    int wins[2] = {0, 0};
    for (long y = -5; y < 15; ++y)
        for (long x = -9; x < 21; ++x) {
            const double s0 = in.labelScores[0].pointToPel(x, y)[0];
            const double s1 = in.labelScores[1].pointToPel(x, y)[0];
            if (std::max(s0, s1) > 0.0) ++wins[s1 > s0];
            const double q = std::max({0.0, s0, s1}) / f2 * 255.0;
            const long expect = kfILimit(iRound(static_cast<float>(q)), 0, 255);
            ASSERT_EQ(score.pointToPel(x, y)[0], expect) << x << "," << y;
        }
    EXPECT_GT(wins[0], 0);  // each label wins somewhere
    EXPECT_GT(wins[1], 0);
}

TEST(ScoreImage, SelfSimilarityOfAUniformImage) {
    // Every pair is identical, so each pel holds f^2 times the squared
    // kernel sum over the part of its neighbourhood inside the image.
    kvCompositeColorSegmenterInternalResult defaults;
    const auto image = uniformImage(kvPelRect(-2, 3, 6, 5), {90, 90, 90});
    kvPelBuffer<double> out;
    clsgint::computeSelfSimilarity(image, 0.5, 3, defaults.reciprocalTable, defaults.toleranceTable,
                                   1, out);
    EXPECT_EQ(out.pointToPel(0, 5)[0], 62500 * 0.25);
    EXPECT_EQ(out.pointToPel(-2, 3)[0], 39601 * 0.25);
    EXPECT_EQ(out.pointToPel(3, 7)[0], 39601 * 0.25);

    clsgint::computeSelfSimilarity(image, 0.1, 3, defaults.reciprocalTable, defaults.toleranceTable,
                                   1, out);
    const double interior = out.pointToPel(0, 5)[0];
    EXPECT_LE(std::abs(interior - 62500 * 0.01), 2 * std::nextafter(625.0, 1e9) - 2 * 625.0);

    clsgint::computeSelfSimilarity(image, 0.3, 1, defaults.reciprocalTable, defaults.toleranceTable,
                                   1, out);
    EXPECT_EQ(out.pointToPel(1, 4)[0], 0.3 * 0.3);
}

TEST(ScoreImage, NoSelfSimilarityGivesZero) {
    // At colorToleranceFrac 0 nothing is similar: every score pixel is 0.
    kvCompositeColorSegmenterTool tool;
    tool.train({kvCompositeColorSet(
                   {kvCompositeColor(uniformImage(kvPelRect(0, 0, 3, 3), {9, 9, 9}), noMask())})},
               kvCompositeColorSegmenterTrainParams(0.0, 2));
    kvCompositeColorSegmenterResult result;
    tool.run(uniformImage(kvPelRect(0, 0, 4, 4), {9, 9, 9}), {}, result);
    const auto score = result.scoreImage();
    for (long y = 0; y < 4; ++y)
        for (long x = 0; x < 4; ++x) EXPECT_EQ(score.pointToPel(x, y)[0], 0);
    // A one-pel image at N = 40: the centre weight is 0.
    auto big = realRun(40, kvPelRect(0, 0, 1, 1));
    EXPECT_EQ(big.scoreImage().pointToPel(0, 0)[0], 0);
}

// Aborts an image build from another thread at delays cycling through
// 0 to 4.5 ms, so that some attempts are caught mid-build however the threads
// are scheduled (up to half a minute). After every abort the cache must be
// unbound and the next request must build the image completely.
template <class Request>
void abortThenRebuild(Request request, const char* what) {
    const auto run = realRun(5, kvPelRect(0, 0, 700, 700));
    auto reference = run;
    const auto expected = kfPelCopy(request(reference));
    int aborted = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int attempt = 0;
         (attempt < 31 || aborted == 0) && std::chrono::steady_clock::now() < deadline; ++attempt) {
        auto result = run;  // caches empty
        std::thread aborter([attempt] {
            std::this_thread::sleep_for(std::chrono::microseconds(150 * (attempt % 31)));
            ksys_request_abort();
        });
        bool threw = false;
        try {
            request(result);
        } catch (const kvAbortRequested&) {
            threw = true;
        }
        aborter.join();
        ksys_clear_abort();
        if (!threw) {
            if (aborted > 0) break;  // the build now finishes before the abort lands
            continue;                // the aborting thread was not scheduled in time
        }
        ++aborted;
        EXPECT_TRUE(kfPelEqual(request(result), expected)) << what << " attempt " << attempt;
    }
    EXPECT_GT(aborted, 0) << what;
}

TEST(ResultImages, AnAbortedBuildLeavesNothingHalfBuilt) {
    abortThenRebuild([](kvCompositeColorSegmenterResult& r) { return r.labelImage(); }, "label");
    abortThenRebuild([](kvCompositeColorSegmenterResult& r) { return r.scoreImage(); }, "score");
    abortThenRebuild([](kvCompositeColorSegmenterResult& r) { return r.segmentationImage(1); },
                     "segmentation");
}

}  // namespace
