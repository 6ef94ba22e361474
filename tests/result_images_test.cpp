// The images a result derives, caches and aborts; runs into a result of the same size refill
// buffers no caller holds, and failed runs change nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

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

kvCompositeColorSegmenterTool threeLabelTool() {
    const kvPelRect w(0, 0, 16, 16);
    std::vector<kvCompositeColorSet> sets;
    for (int k = 0; k < 3; ++k)
        sets.push_back(kvCompositeColorSet(
            {kvCompositeColor(noisyImage(w, 20 + k),
                              makeMask(w, [k](long x, long y) { return (x + y) % 3 == k; }))}));
    kvCompositeColorSegmenterTool tool;
    tool.train(sets, kvCompositeColorSegmenterTrainParams());
    return tool;
}

// A run over a window at negative coordinates.
Result realRun(int n, const kvPelRect& w = kvPelRect(-9, -5, 30, 20)) {
    Result result;
    threeLabelTool().run(noisyImage(w, 5), kvCompositeColorSegmenterRunParams(n), result);
    return result;
}

TEST(ResultImages, ScoreImageAtNeighbourhoodOne) {
    auto result = realRun(1);
    const auto& in = internalOf(result);
    const auto score = result.scoreImage();
    const double f2 = in.colorToleranceFrac * in.colorToleranceFrac;
    const auto label = result.labelImage();
    int wins[256] = {};
    for (long y = -5; y < 15; ++y)
        for (long x = -9; x < 21; ++x) {
            double best = 0.0;
            for (const auto& s : in.labelScores) best = std::max(best, s.pointToPel(x, y)[0]);
            ++wins[label.pointToPel(x, y)[0]];
            ASSERT_EQ(score.pointToPel(x, y)[0],
                      kfILimit(iRound(static_cast<float>(best / f2 * 255.0)), 0, 255))
                << x << "," << y;
        }
    EXPECT_TRUE(wins[0] > 0 && wins[1] > 0 && wins[2] > 0);  // each label wins somewhere
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

std::vector<const void*> addresses(Result& r) {
    const auto& in = internalOf(r);
    std::vector<const void*> a = {in.image.plane0().pointToRow(in.image.window().top())};
    for (const auto& s : in.labelScores) a.push_back(s.pointToRow(s.window().top()));
    return a;
}

// Deep copies of the input, derived images and score images of a run.
struct Snapshot {
    std::vector<kvPelBuffer<unsigned char>> images;
    std::vector<kvPelBuffer<double>> scores;
    explicit Snapshot(Result& r) {
        r.labelImage(), r.scoreImage();  // the label image brings the confidence one
        const auto& in = internalOf(r);
        for (const auto& p : {in.image.plane0(), in.image.plane1(), in.image.plane2(),
                              in.labelImage, in.confidenceImage, in.scoreImage})
            images.push_back(kfPelCopy(p));
        for (const auto& b : in.labelScores) scores.push_back(kfPelCopy(b));
    }
    bool operator==(const Snapshot& o) const {
        const auto eq = [](const auto& p, const auto& q) { return kfPelEqual(p, q); };
        return std::equal(images.begin(), images.end(), o.images.begin(), o.images.end(), eq) &&
               std::equal(scores.begin(), scores.end(), o.scores.begin(), o.scores.end(), eq);
    }
};

TEST(ResultReuse, SteadyStateRunsRefillBuffersNoCallerHoldsAndMatchFreshRuns) {
    const auto tool = threeLabelTool();
    const kvPelRect w(-3, 2, 41, 23);
    const kvCompositeColorSegmenterRunParams params(4);
    Result reused;
    std::vector<std::vector<const void*>> runs;
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        tool.run(noisyImage(w, seed), params, reused);
        Result fresh;
        tool.run(noisyImage(w, seed), params, fresh);
        EXPECT_TRUE(Snapshot(reused) == Snapshot(fresh));
        runs.push_back(addresses(reused));
    }
    EXPECT_TRUE(runs[2] == runs[0] && runs[1] != runs[0]);  // two sets of buffers alternate
    tool.run(noisyImage(kvPelRect(-3, 2, 40, 23), 5), params, reused);  // another size
    EXPECT_TRUE(addresses(reused)[0] != runs[1][0] && addresses(reused)[0] != runs[2][0]);
    // Images and copies a caller holds are never overwritten.
    const kvPelBuffer_const<unsigned char> label = reused.labelImage(), score = reused.scoreImage();
    const auto labelBefore = kfPelCopy(label), scoreBefore = kfPelCopy(score);
    Result copy(reused);  // shares the score images
    const Snapshot copyBefore(copy);
    for (uint32_t seed : {6, 7, 8}) {
        tool.run(noisyImage(kvPelRect(-3, 2, 40, 23), seed), params, reused);
        EXPECT_NE(reused.labelImage().pointToRow(2), label.pointToRow(2));
    }
    EXPECT_TRUE(kfPelEqual(label, labelBefore) && kfPelEqual(score, scoreBefore));
    EXPECT_TRUE(Snapshot(copy) == copyBefore);
}

TEST(ResultReuse, AnAbortedRunIntoAReusedResultLeavesItAsItWas) {
    const auto tool = threeLabelTool();
    const kvPelRect w(0, 0, 300, 300);
    const kv3PlanePelBuffer frames[] = {noisyImage(w, 1), noisyImage(w, 2)};
    const kvCompositeColorSegmenterRunParams params(7);
    Result result;
    for (const auto& frame : frames) tool.run(frame, params, result), result.scoreImage();
    // Alternating frames show a run that wrote into the current run's buffers.
    int i = 0, last = 1;
    EXPECT_TRUE(abortedFromAnotherThread([&] {
        tool.run(frames[i % 2], params, result);
        last = i++ % 2;  // only after a run that finished
    }));
    Result expected;
    tool.run(frames[last], params, expected);
    EXPECT_TRUE(Snapshot(result) == Snapshot(expected));
}

}  // namespace
