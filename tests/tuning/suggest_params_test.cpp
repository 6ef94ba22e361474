// Choosing parameters by cross-validation: the folds, the search, its determinism and abort.
#include "clsg/tuning/suggest_params.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <tuple>

#include "abort_from_thread.h"
#include "clsg/clsg.h"
#include "clsg/tuning/spatial_folds.h"
#include "test_images.h"

using namespace clsg;

namespace {

using Defs = kvCompositeColorSegmenterDefs;
using TrainParams = kvCompositeColorSegmenterTrainParams;

auto lcg(uint32_t state) {  // fixed-seed draws in 0 .. n - 1
    return [state](int n) mutable {
        state = state * 1664525u + 1013904223u;
        return static_cast<int>((state >> 16) % static_cast<uint32_t>(n));
    };
}

// shade(x, y, c) = {base, n}: each sample is base moved by a draw in -n .. n.
template <class R, class F>
kv3PlanePelBuffer noisy(const kvPelRect& w, R rng, F shade) {
    kv3PlanePelBuffer image(w);
    for (long y = w.top(); y < w.bottom(); ++y)
        for (int c = 0; c < 3; ++c) {
            auto& plane = c == 0 ? image.plane0() : c == 1 ? image.plane1() : image.plane2();
            for (long x = w.left(); x < w.right(); ++x) {
                const auto [base, n] = shade(x, y, c);
                *plane.pointToPel(x, y) = static_cast<unsigned char>(base + rng(2 * n + 1) - n);
            }
        }
    return image;
}

// Grey halves around `left` and `right`.
kv3PlanePelBuffer twoHalves(const kvPelRect& w, int left, int right, int noise, uint32_t seed = 1,
                            int rightNoise = -1) {
    const long middle = w.left() + w.width() / 2;
    return noisy(w, lcg(seed), [&](long x, long, int) {
        return x < middle ? std::pair(left, noise)
                          : std::pair(right, rightNoise < 0 ? noise : rightNoise);
    });
}

// Blocks of block x block pixels from the origin, each of its own shade in lo .. hi per channel.
kv3PlanePelBuffer shadeBlocks(const kvPelRect& w, int lo, int hi, int block, uint32_t seed) {
    auto rng = lcg(seed);
    const long across = (w.width() + block - 1) / block;
    std::vector<int> shades(3 * across * ((w.height() + block - 1) / block));
    for (int& s : shades) s = lo + rng(hi - lo + 1);
    return noisy(w, rng, [&](long x, long y, int c) {
        return std::pair(shades[(y / block * across + x / block) * 3 + c], 2);
    });
}

kvCompositeColorSet rectSet(const kv3PlanePelBuffer& image, const kvPelRect& r) {
    const auto in = [&](long x, long y) { return r.contains(kvPelRect(x, y, 1, 1)); };
    return kvCompositeColorSet({kvCompositeColor(image, makeMask(image.window(), in))});
}

// Two labels, one per half of a twoHalves image.
std::vector<kvCompositeColorSet> halvesSets(const kv3PlanePelBuffer& image) {
    const kvPelRect w = image.window();
    const long half = w.width() / 2;
    return {rectSet(image, kvPelRect(w.left(), w.top(), half, w.height())),
            rectSet(image, kvPelRect(w.left() + half, w.top(), w.width() - half, w.height()))};
}

using Pixel = std::tuple<int, long, long, std::size_t>;

int pictureOf(const kv3PlanePelBuffer_const& image) {
    return *image.plane0().pointToPel(image.window().left(), image.window().top());
}

std::set<Pixel> trainingPixels(const std::vector<kvCompositeColorSet>& sets) {
    std::set<Pixel> out;
    for (std::size_t l = 0; l < sets.size(); ++l)
        for (const kvCompositeColor& example : sets[l].instances())
            for (std::size_t j = 0; j < example.images().size(); ++j) {
                const kvPelBuffer_const<unsigned char>& mask = example.masks()[j];
                const kvPelRect& w = mask.isBound() ? mask.window() : example.images()[j].window();
                for (long y = w.top(); y < w.bottom(); ++y)
                    for (long x = w.left(); x < w.right(); ++x)
                        if (!mask.isBound() || *mask.pointToPel(x, y) == 255)
                            out.insert({pictureOf(example.images()[j]), x, y, l});
            }
    return out;
}

TEST(SpatialFolds, NoTileOnBothSidesEveryPixelHeldOutOnceSmallExamplesShrinkTheTiles) {
    // Odd origins; labels 0 and 1 mark picture 1 through two equal buffers, label 2 both pictures.
    const kvPelRect w1(7, -5, 150, 110), w2(0, 0, 90, 70);
    kv3PlanePelBuffer p1 = twoHalves(w1, 60, 200, 5), p1again = kfPelCopy(p1),
                      p2 = twoHalves(w2, 120, 30, 5);
    *p1.plane0().pointToPel(7, -5) = *p1again.plane0().pointToPel(7, -5) = 1;
    *p2.plane0().pointToPel(0, 0) = 2;
    const std::vector<kvCompositeColorSet> sets = {
        rectSet(p1, kvPelRect(9, 0, 61, 90)), rectSet(p1again, kvPelRect(60, 20, 90, 45)),
        kvCompositeColorSet({rectSet(p1, kvPelRect(100, 70, 40, 30)).instances()[0],
                             kvCompositeColor(p2, noMask())})};
    const std::set<Pixel> all = trainingPixels(sets);
    const auto tileOf = [&](int picture, long x, long y) {
        const kvPelRect& w = picture == 1 ? w1 : w2;
        return std::tuple(picture, (x - w.left()) / 32, (y - w.top()) / 32);
    };

    for (uint32_t k : {2u, 3u, 5u}) {
        const clsg::SpatialFolds folds(sets, k, 32);
        ASSERT_EQ(folds.tileSize(), 32);
        ASSERT_EQ(folds.images().size(), 2u);  // the equal buffers count once
        std::multiset<Pixel> heldOutEver;
        for (uint32_t f = 0; f < k; ++f) {
            std::set<std::tuple<int, long, long>> trainedTiles;
            std::set<std::size_t> trainedLabels;
            for (const auto& [picture, x, y, label] : trainingPixels(folds.trainingSets(f)))
                trainedTiles.insert(tileOf(picture, x, y)), trainedLabels.insert(label);
            EXPECT_EQ(trainedLabels.size(), sets.size()) << "every label trains in fold " << f;
            for (const clsg::HeldOutPiece& piece : folds.heldOut(f))
                for (const clsg::HeldOutPixel& px : piece.pixels) {
                    const int picture = pictureOf(folds.images()[piece.image]);
                    EXPECT_TRUE(piece.rect.contains(kvPelRect(px.x, px.y, 1, 1)));
                    EXPECT_EQ(trainedTiles.count(tileOf(picture, px.x, px.y)), 0u)
                        << f << " of " << k << ": " << px.x << ", " << px.y;
                    heldOutEver.insert({picture, px.x, px.y, px.label});
                }
        }
        EXPECT_EQ(std::multiset<Pixel>(all.begin(), all.end()), heldOutEver);  // each once
    }
    // Small examples: two tiles suffice for any fold count; one tile shrinks; one pixel fails.
    const kvPelRect w(0, 0, 64, 64);
    const kv3PlanePelBuffer image = twoHalves(w, 50, 150, 3);
    const auto withSmall = [&](const kvPelRect& small) {
        return std::vector<kvCompositeColorSet>{rectSet(image, kvPelRect(0, 0, 32, 64)),
                                                rectSet(image, small)};
    };
    EXPECT_EQ(clsg::SpatialFolds(withSmall(kvPelRect(40, 24, 20, 16)), 3, 16).tileSize(), 16);
    EXPECT_EQ(clsg::SpatialFolds(withSmall(kvPelRect(40, 8, 10, 4)), 2, 32).tileSize(), 16);
    const kvPelRect pixel(40, 8, 1, 1), half(32, 0, 32, 64);
    for (const auto& [small, folds, tile] : {std::tuple(pixel, 2u, 32), std::tuple(half, 1u, 32),
                                             std::tuple(half, 17u, 32), std::tuple(half, 3u, 3)})
        EXPECT_THROW(clsg::SpatialFolds(withSmall(small), folds, tile), Defs::BadParams);
}

TEST(SuggestParams, TiesGoToTheLargerToleranceThenTheSurerAndSmallerNeighbourhood) {
    // Far apart and clean: every candidate up to neighbourhood 3 classifies every pixel.
    const kvPelRect w(0, 0, 128, 64);
    const clsg::SuggestReport report =
        clsg::suggestSegmenterParams(halvesSets(twoHalves(w, 60, 200, 3)));
    for (const clsg::SuggestCandidate& c : report.candidates)
        ASSERT_TRUE(c.runParams.neighborhoodSize() > 3 || c.balancedAccuracy == 1.0);
    EXPECT_EQ(report.trainParams, TrainParams(0.3, 5));
    EXPECT_EQ(report.runParams.neighborhoodSize(), 1);
    EXPECT_EQ(report.candidates.size(), 5u * 3 + 3 + 2);  // no finer fraction above the largest
    EXPECT_EQ(report.heldOut.count(0, 0) + report.heldOut.count(1, 1), 128u * 64u);
    // 6 tolerances on fold 0, 0.3 and 0.21 on fold 1, then minimum 5 on both and minimum 1 once.
    EXPECT_EQ(report.trainings, 6u + 2 + 2 + 1);
    EXPECT_EQ(report.candidates[report.chosen].folds, 2u);
    EXPECT_EQ(std::count_if(report.candidates.begin(), report.candidates.end(),
                            [](const clsg::SuggestCandidate& c) { return c.folds == 2; }),
              3 + 3 + 1);

    // Flat greys 30 apart under noise 10: at 0.3 every size is right, a larger one surer: it wins.
    const auto flat = [&](int grey, uint32_t seed) {
        return rectSet(twoHalves(w, grey, grey, 10, seed), w);
    };
    const clsg::SuggestReport surer = clsg::suggestSegmenterParams({flat(100, 1), flat(130, 2)});
    std::vector<double> atCoarsest;
    for (const clsg::SuggestCandidate& c : surer.candidates)
        if (c.trainParams == TrainParams(0.3, 2)) {
            ASSERT_EQ(c.balancedAccuracy, 1.0);
            atCoarsest.push_back(c.meanConfidence);
        }
    ASSERT_EQ(atCoarsest.size(), 3u);
    EXPECT_TRUE(atCoarsest[0] < atCoarsest[1] && atCoarsest[1] < atCoarsest[2] &&
                atCoarsest[2] <= 255.0);
    EXPECT_EQ(surer.trainParams, TrainParams(0.3, 5));
    EXPECT_EQ(surer.runParams.neighborhoodSize(), 5);
}

TEST(SuggestParams, ABroaderToleranceNearTheBestOnFoldZeroIsScoredOnEveryFold) {
    // Overlapping shades: fold 0 ranks 0.028, 0.04, then 0.15 within a point; 0.15 goes on, wins.
    const kvPelRect w(0, 0, 128, 64);
    const clsg::SuggestReport report = clsg::suggestSegmenterParams(
        {rectSet(shadeBlocks(w, 100, 140, 4, 1), w), rectSet(shadeBlocks(w, 125, 165, 4, 2), w)});
    std::map<double, std::pair<double, uint32_t>> byFrac;  // best on fold 0, folds scored
    for (const clsg::SuggestCandidate& c : report.candidates) {
        auto& [best, folds] = byFrac[c.trainParams.colorToleranceFrac()];
        if (c.stage != "minimum") best = std::max(best, c.foldZeroAccuracy), folds = c.folds;
    }
    const double top = byFrac[0.028].first;
    ASSERT_TRUE(top > byFrac[0.04].first && byFrac[0.04].first > byFrac[0.15].first &&
                byFrac[0.15].first > top - 0.01 && byFrac[0.3].first < top - 0.01);
    EXPECT_EQ(std::tuple(byFrac[0.028].second, byFrac[0.04].second, byFrac[0.15].second),
              std::tuple(2u, 1u, 2u));
    EXPECT_EQ(report.trainParams.colorToleranceFrac(), 0.15);
}

TEST(SuggestParams, LabelsWithManyTilesAreScoredOnSomeOfThem) {
    // 16384 pixels per label, about 8192 held out per fold; the smaller label keeps them all.
    const kv3PlanePelBuffer image = twoHalves(kvPelRect(0, 0, 256, 128), 60, 200, 3);
    std::vector<kvCompositeColorSet> sets = halvesSets(image);
    sets[1] = rectSet(image, kvPelRect(128, 0, 48, 40));
    clsg::SuggestOptions all;
    all.heldOutPerLabel = 0;
    for (const clsg::SuggestOptions& options : {clsg::SuggestOptions(), all}) {
        const clsg::SuggestReport report = clsg::suggestSegmenterParams(sets, options);
        const uint64_t big = report.heldOut.truthTotal(0), n = options.heldOutPerLabel;
        EXPECT_TRUE(n == 0 ? big == 128u * 128u : big >= 2 * n && big < 128u * 128u) << big;
        EXPECT_EQ(report.heldOut.truthTotal(1), 48u * 40u);
    }
}

TEST(SuggestParams, HeldOutTilesScoreAsWholePicturesDoAndAReportRepeatsAndAborts) {
    const kv3PlanePelBuffer image = twoHalves(kvPelRect(3, 1, 150, 70), 100, 124, 20, 5, 2);
    const clsg::SpatialFolds folds(halvesSets(image), 3, 16);
    std::vector<kvCompositeColorSegmenterTool> tools(3);
    for (uint32_t f = 0; f < 3; ++f) tools[f].train(folds.trainingSets(f), TrainParams(0.3, 2));
    for (int32_t n : {1, 3, 9}) {
        const kvCompositeColorSegmenterRunParams params(n, false);
        clsg::LabelConfusion whole(2);
        for (uint32_t f = 0; f < 3; ++f) {
            kvCompositeColorSegmenterResult result;
            tools[f].run(image, params, result);
            for (const clsg::HeldOutPiece& piece : folds.heldOut(f))
                for (const clsg::HeldOutPixel& px : piece.pixels)
                    whole.add(px.label, *result.labelImage().pointToPel(px.x, px.y));
        }
        EXPECT_EQ(clsg::scoreHeldOut(folds, tools, params), whole) << "neighbourhood " << n;
    }

    const clsg::SuggestReport a = clsg::suggestSegmenterParams(halvesSets(image));
    std::vector<uint32_t> progress;
    clsg::SuggestOptions watched;  // a caller watching changes nothing
    watched.progress = [&](uint32_t done) { progress.push_back(done); };
    const clsg::SuggestReport b =
        clsg::suggestSegmenterParams(halvesSets(kfPelCopy(image)), watched);
    EXPECT_EQ(progress, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_EQ(a.candidates.size(), b.candidates.size());
    for (std::size_t i = 0; i < a.candidates.size(); ++i)
        EXPECT_EQ(a.candidates[i].balancedAccuracy, b.candidates[i].balancedAccuracy);
    EXPECT_TRUE(a.chosen == b.chosen && a.heldOut == b.heldOut);
    EXPECT_TRUE(abortedFromAnotherThread([&] { clsg::suggestSegmenterParams(halvesSets(image)); }));
}

TEST(LabelConfusion, MeasuresFromKnownCounts) {
    clsg::LabelConfusion c(3);  // 255 or any value past the labels: none; no true pixels of label 2
    c.add(0, 0, 8), c.add(0, 1, 2), c.add(1, 1, 5), c.add(1, 255, 4), c.add(1, 7, 1);
    EXPECT_EQ(c.count(1, c.noneColumn()), 5u);
    EXPECT_TRUE(c.recall(0) == 0.8 && c.precision(1) == 5.0 / 7.0 && std::isnan(c.precision(2)));
    EXPECT_TRUE(c.accuracy() == 13.0 / 20.0 && c.balancedAccuracy() == (0.8 + 0.5) / 2.0);
    EXPECT_THROW(c.add(clsg::LabelConfusion(2)), Defs::BadParams);
    EXPECT_THROW(c.add(3, 0), Defs::BadParams);
}

}  // namespace
