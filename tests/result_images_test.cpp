// The label, confidence, score and segmentation images a result derives, caches and aborts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include "abort_from_thread.h"
#include "clsg/clrsgint/internal_result.h"
#include "clsg/clsg.h"
#include "test_images.h"

namespace {

using Result = kvCompositeColorSegmenterResult;

kvCompositeColorSegmenterInternalResult& internalOf(Result& r) {
    return *static_cast<kvCompositeColorSegmenterInternalResult*>(r.result());
}

// A result whose labels score the given values at the single pixel (4, -2).
Result resultWithScores(const std::vector<double>& scores) {
    Result result;
    auto& in = internalOf(result);
    for (double s : scores) {
        kvPelBuffer<double> b(kvPelRect(4, -2, 1, 1));
        kfPelSet(b, s);
        in.labelScores.push_back(b);
    }
    in.image = uniformImage(kvPelRect(4, -2, 1, 1), {0, 0, 0});
    in.imageFromClientXform = kv2XformLinear::identity();
    return result;
}

TEST(ResultImages, LabelConfidenceAndSegmentationOfOnePixel) {
    const double nan = std::nan("");  // scores, label, confidence, segmentation of first and last
    const struct {
        std::vector<double> s;
        int label, confidence, first, last;
    } cases[] = {
        {{4, 1}, 0, 153, 204, 51},  {{1, 1}, 0, 0, 128, 128},  // ties: lower label, 127.5 up
        {{1, 3, 2}, 1, 51, 43, 85}, {{1, 3, 3}, 1, 0, 36, 109}, {{0, 0}, 255, 0, 0, 0},
        {{nan}, 255, 0, -1, -1},    {{-1, 3}, 1, -1, 0, -1},    {{INFINITY, 1}, 0, -1, -1, 0}};
    for (const auto& c : cases) {
        auto r = resultWithScores(c.s);
        SCOPED_TRACE(::testing::PrintToString(c.s));
        EXPECT_EQ(r.labelImage().pointToPel(4, -2)[0], c.label);
        const auto last = static_cast<unsigned char>(c.s.size() - 1);  // -1: not checked
        EXPECT_TRUE(c.confidence < 0 || r.confidenceImage().pointToPel(4, -2)[0] == c.confidence);
        EXPECT_TRUE(c.first < 0 || r.segmentationImage(0).pointToPel(4, -2)[0] == c.first);
        EXPECT_TRUE(c.last < 0 || r.segmentationImage(last).pointToPel(4, -2)[0] == c.last);
    }
    EXPECT_THROW(Result().segmentationImage(0), kvCompositeColorSegmenterDefs::BadParams);
    EXPECT_THROW(resultWithScores({1, 2, 3}).segmentationImage(3),
                 kvCompositeColorSegmenterDefs::BadParams);
}

// A trained two-colour run over a window at negative coordinates.
Result realRun(int n, const kvPelRect& w = kvPelRect(-9, -5, 30, 20)) {
    kvCompositeColorSegmenterTool tool;
    const kvPelRect tw(0, 0, 6, 6);
    tool.train({kvCompositeColorSet({kvCompositeColor(uniformImage(tw, {200, 40, 30}), noMask())}),
                kvCompositeColorSet({kvCompositeColor(uniformImage(tw, {40, 60, 210}), noMask())})},
               kvCompositeColorSegmenterTrainParams());
    Result result;
    tool.run(noisyImage(w, 5), kvCompositeColorSegmenterRunParams(n), result);
    return result;
}

TEST(ResultImages, ScoreImageAtNeighbourhoodOne) {
    auto result = realRun(1);
    const auto& in = internalOf(result);
    const auto score = result.scoreImage();
    const double f2 = in.colorToleranceFrac * in.colorToleranceFrac;
    int wins[2] = {0, 0};
    for (long y = -5; y < 15; ++y)
        for (long x = -9; x < 21; ++x) {
            const double s0 = in.labelScores[0].pointToPel(x, y)[0],
                         s1 = in.labelScores[1].pointToPel(x, y)[0];
            if (std::max(s0, s1) > 0.0) ++wins[s1 > s0];
            const double q = std::max({0.0, s0, s1}) / f2 * 255.0;
            ASSERT_EQ(score.pointToPel(x, y)[0], kfILimit(iRound(static_cast<float>(q)), 0, 255))
                << x << "," << y;
        }
    EXPECT_TRUE(wins[0] > 0 && wins[1] > 0);  // each label wins somewhere
}

// An aborted image build leaves its cache unbound, so the next request builds it whole.
TEST(ResultImages, AnAbortedBuildLeavesNothingHalfBuilt) {
    const auto run = realRun(5, kvPelRect(0, 0, 700, 700));
    using Request = kvPelBuffer_const<unsigned char> (*)(Result&);
    for (Request request :
         {+[](Result& r) { return r.labelImage(); }, +[](Result& r) { return r.scoreImage(); },
          +[](Result& r) { return r.segmentationImage(1); }}) {
        auto reference = run;
        const auto expected = kfPelCopy(request(reference));
        Result result = reference;  // assigned over one that built the image: scratch reused
        EXPECT_TRUE(abortedFromAnotherThread([&] {
            result = run;  // caches empty but the run's label images: dropped too
            internalOf(result).labelImage = kvPelBuffer<unsigned char>();
            internalOf(result).confidenceImage = kvPelBuffer<unsigned char>();
            request(result);
        }));
        EXPECT_TRUE(kfPelEqual(request(result), expected));
    }
}

}  // namespace
