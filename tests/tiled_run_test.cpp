// Tiled runs against the whole-image run, progress, stopping and refusals.
#include "tiled/tiled_run.h"

#include <gtest/gtest.h>

#include <atomic>

#include "clsg/clrsgint/intensity_normalization.h"
#include "clsg/clsg.h"
#include "test_images.h"

namespace {

using Defs = kvCompositeColorSegmenterDefs;
using Params = kvCompositeColorSegmenterRunParams;

// Three labels on overlapping colours: they compete, tie and leave pixels unscored.
kvCompositeColorSegmenterTool threeLabelTool() {
    const kvPelRect w(0, 0, 24, 24);
    std::vector<kvCompositeColorSet> sets;
    for (int k = 0; k < 3; ++k)
        sets.push_back(kvCompositeColorSet(
            {kvCompositeColor(noisyImage(w, 10 + k),
                              makeMask(w, [k](long x, long y) { return (x + 2 * y) % 3 == k; }))}));
    kvCompositeColorSegmenterTool t;
    t.train(sets, kvCompositeColorSegmenterTrainParams(0.1, 2));
    return t;
}

// Noisy colours at 3/4 brightness, so that normalisation finds a gain other than 1.
kv3PlanePelBuffer testImage(const kvPelRect& w) {
    return clsgint::mapPlanes(noisyImage(w, 7), clsgint::makeGainTable(0.75));
}

TEST(TiledRun, MatchesTheWholeImageRun) {
    const auto tool = threeLabelTool();
    const kvPelRect imageWindow(-7, 5, 53, 41);
    const kv3PlanePelBuffer image = testImage(imageWindow);
    for (int32_t n = 1; n <= 9; ++n)
        for (bool normalize : {false, true}) {
            kvCompositeColorSegmenterResult whole;
            tool.run(image, Params(n, normalize), whole);
            // Threads 1-4; bands of 1-3 rows (below the halo) or automatic; sub-windows.
            for (unsigned threads = 1; threads <= 4; ++threads) {
                kvTiledOptions options;
                options.threads = threads;
                options.bandRows = (n + threads) % 4;
                if (threads % 2 == 0) options.window = kvPelRect(-3 + n, 9, 31 - n, 17 + n);
                const kvPelRect w = options.window.isEmpty() ? imageWindow : options.window;
                SCOPED_TRACE(::testing::Message()
                             << "N " << n << " " << normalize << " " << threads);
                const kvTiledImages tiled = kfTiledRun(tool, image, Params(n, normalize),
                                                       {true, true, true, {0, 1, 2}}, options);
                using Pel = kvPelBuffer_const<unsigned char>;
                std::vector<std::pair<Pel, Pel>> pairs = {
                    {tiled.label, whole.labelImage()},
                    {tiled.score, whole.scoreImage()},
                    {tiled.confidence, whole.confidenceImage()}};
                for (int k = 0; k < 3; ++k)
                    pairs.emplace_back(tiled.segmentations[k], whole.segmentationImage(k));
                for (auto [got, want] : pairs) {
                    want.window(w, false);
                    EXPECT_EQ(got.window(), w);
                    EXPECT_TRUE(kfPelEqual(got, want));
                    EXPECT_TRUE(got.imageFromClientXformBase()->isEqual(
                        *want.imageFromClientXformBase().get()));
                }
                EXPECT_EQ(tiled.gain == 1.0, !normalize);  // a gain other than 1 was found
            }
        }
}

TEST(TiledRun, AppliesAGivenGainReportsProgressStopsAndRefuses) {
    const auto tool = threeLabelTool();
    const kv3PlanePelBuffer image = testImage(kvPelRect(0, 0, 20, 50));
    kvCompositeColorSegmenterResult plain;
    tool.run(image, Params(3), plain);
    for (unsigned threads : {1u, 3u}) {
        kvTiledOptions options;
        options.threads = threads;
        options.bandRows = 10;
        std::vector<long> seen;
        options.progress = [&](long done, long total) { return seen.push_back(done), total == 50; };
        options.gain = 1.0;  // instead of a search
        const kvTiledImages given = kfTiledRun(tool, image, Params(3, true), {}, options);
        EXPECT_TRUE(given.gain == 1.0 && kfPelEqual(given.label, plain.labelImage()));
        EXPECT_TRUE(!seen.empty() && seen.back() == 50 && std::is_sorted(seen.begin(), seen.end()));
        // A callback that says stop: no more bands start.
        std::atomic<int> calls{0};
        options.progress = [&](long, long) { return ++calls > 1; };
        EXPECT_THROW(kfTiledRun(tool, image, {}, {}, options), kvAbortRequested);
        EXPECT_EQ(calls, 1);
    }
    kvTiledOptions outside;
    outside.window = kvPelRect(15, 5, 6, 2);
    EXPECT_THROW(kfTiledRun(tool, image, {}, {}, outside), Defs::BadImage);
    EXPECT_THROW(kfTiledRun(tool, image, {}, {true, false, false, {3}}), Defs::BadParams);
}

}  // namespace
