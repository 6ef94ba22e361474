// Runs into a result of the same size refill buffers no caller holds; failed runs change nothing.
#include <gtest/gtest.h>

#include <algorithm>

#include "abort_from_thread.h"
#include "clsg/clrsgint/internal_result.h"
#include "clsg/clsg.h"
#include "test_images.h"

namespace {

using Result = kvCompositeColorSegmenterResult;

const kvCompositeColorSegmenterInternalResult& internalOf(const Result& r) {
    return *static_cast<const kvCompositeColorSegmenterInternalResult*>(r.result());
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

std::vector<const void*> addresses(const Result& r) {
    const auto& in = internalOf(r);
    std::vector<const void*> a = {in.image.plane0().pointToRow(in.image.window().top())};
    for (const auto& s : in.labelScores) a.push_back(s.pointToRow(s.window().top()));
    return a;
}

// Deep copies of the input, derived images and score images of a run.
struct Snapshot {
    std::vector<kvPelBuffer<unsigned char>> images;
    std::vector<kvPelBuffer<double>> scores;
    explicit Snapshot(const Result& r) {
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
    const Result copy(reused);  // shares the score images
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
