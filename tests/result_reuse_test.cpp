// Runs into a result that already holds a run of the same size refill its
// buffers, but never ones a caller still references, and a run that fails
// leaves the result exactly as it was.
#include <gtest/gtest.h>

#include "abort_from_thread.h"
#include "clsg/clrsgint/internal_result.h"
#include "clsg/clsg.h"
#include "test_images.h"

namespace {

const kvCompositeColorSegmenterInternalResult& internalOf(
    const kvCompositeColorSegmenterResult& r) {
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

// Where the result's buffers keep their pels.
std::vector<const void*> addresses(const kvCompositeColorSegmenterResult& r) {
    const auto& in = internalOf(r);
    std::vector<const void*> a = {in.image.plane0().pointToRow(in.image.window().top())};
    for (const auto& s : in.labelScores) a.push_back(s.pointToRow(s.window().top()));
    return a;
}

// Deep copies of everything a run leaves: the scored image's planes, the
// score images and the label, confidence and score images.
struct Snapshot {
    std::vector<kvPelBuffer<unsigned char>> bytes;
    std::vector<kvPelBuffer<double>> scores;
    explicit Snapshot(const kvCompositeColorSegmenterResult& r) {
        const auto& in = internalOf(r);
        for (const auto& p : {in.image.plane0(), in.image.plane1(), in.image.plane2()})
            bytes.push_back(kfPelCopy(p));
        for (const auto& b : {in.labelImage, in.confidenceImage, in.scoreImage})
            bytes.push_back(kfPelCopy(b));
        for (const auto& s : in.labelScores) scores.push_back(kfPelCopy(s));
    }
    bool operator==(const Snapshot& o) const {
        if (bytes.size() != o.bytes.size() || scores.size() != o.scores.size()) return false;
        for (std::size_t i = 0; i < bytes.size(); ++i)
            if (!kfPelEqual(bytes[i], o.bytes[i])) return false;
        for (std::size_t i = 0; i < scores.size(); ++i)
            if (!kfPelEqual(scores[i], o.scores[i])) return false;
        return true;
    }
};

void deriveAll(const kvCompositeColorSegmenterResult& r) {
    r.labelImage();
    r.confidenceImage();
    r.scoreImage();
}

TEST(ResultReuse, SteadyStateRunsRefillTheSameBuffersAndMatchFreshRuns) {
    const auto tool = threeLabelTool();
    const kvPelRect w(-3, 2, 41, 23);
    const kv3PlanePelBuffer frames[] = {noisyImage(w, 1), noisyImage(w, 2), noisyImage(w, 3),
                                        noisyImage(w, 4)};
    const kvCompositeColorSegmenterRunParams params(4);
    kvCompositeColorSegmenterResult reused;
    std::vector<std::vector<const void*>> runs;
    std::vector<const void*> labelPels;
    for (const auto& frame : frames) {
        tool.run(frame, params, reused);
        deriveAll(reused);
        runs.push_back(addresses(reused));
        labelPels.push_back(reused.labelImage().pointToRow(w.top()));

        kvCompositeColorSegmenterResult fresh;
        tool.run(frame, params, fresh);
        deriveAll(fresh);
        EXPECT_TRUE(Snapshot(reused) == Snapshot(fresh));
        EXPECT_TRUE(reused == fresh);
    }
    // Two sets of run buffers alternate; the derived images reuse the
    // previous run's.
    EXPECT_EQ(runs[2], runs[0]);
    EXPECT_EQ(runs[3], runs[1]);
    EXPECT_NE(runs[1], runs[0]);
    EXPECT_EQ(labelPels[2], labelPels[1]);
    EXPECT_EQ(labelPels[3], labelPels[2]);

    // Another size allocates anew.
    tool.run(noisyImage(kvPelRect(-3, 2, 40, 23), 5), params, reused);
    EXPECT_NE(addresses(reused)[0], runs[3][0]);
    EXPECT_NE(addresses(reused)[0], runs[2][0]);
}

TEST(ResultReuse, ImagesAndResultsACallerHoldsAreNeverOverwritten) {
    const auto tool = threeLabelTool();
    const kvPelRect w(0, 0, 30, 20);
    kvCompositeColorSegmenterResult result;
    tool.run(noisyImage(w, 1), {}, result);
    deriveAll(result);
    tool.run(noisyImage(w, 2), {}, result);  // spares now exist
    deriveAll(result);

    const kvPelBuffer_const<unsigned char> label = result.labelImage();
    const kvPelBuffer_const<unsigned char> score = result.scoreImage();
    const kvPelBuffer<unsigned char> labelBefore = kfPelCopy(label), scoreBefore = kfPelCopy(score);
    const kvCompositeColorSegmenterResult copy(result);  // shares the score images
    const Snapshot copyBefore(copy);

    for (uint32_t seed : {3, 4, 5}) {
        tool.run(noisyImage(w, seed), {}, result);
        deriveAll(result);
        EXPECT_NE(result.labelImage().pointToRow(0), label.pointToRow(0));
    }
    EXPECT_TRUE(kfPelEqual(label, labelBefore));
    EXPECT_TRUE(kfPelEqual(score, scoreBefore));
    EXPECT_TRUE(Snapshot(copy) == copyBefore);
}

TEST(ResultReuse, AnAbortedRunIntoAReusedResultLeavesItAsItWas) {
    const auto tool = threeLabelTool();
    const kvPelRect w(0, 0, 300, 300);
    const kv3PlanePelBuffer frames[] = {noisyImage(w, 1), noisyImage(w, 2)};
    const kvCompositeColorSegmenterRunParams params(7);
    kvCompositeColorSegmenterResult result;
    for (const auto& frame : frames) {
        tool.run(frame, params, result);
        deriveAll(result);
    }
    // Alternate the frames, so that a run that wrote into the current run's
    // buffers would show.
    int i = 0, last = 1;
    EXPECT_TRUE(abortedFromAnotherThread([&] {
        tool.run(frames[i % 2], params, result);
        last = i++ % 2;  // only after a run that finished
    }));
    kvCompositeColorSegmenterResult expected;
    tool.run(frames[last], params, expected);
    deriveAll(expected);
    deriveAll(result);
    EXPECT_TRUE(Snapshot(result) == Snapshot(expected));
}

}  // namespace
