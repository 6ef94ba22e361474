// Choosing parameters by cross-validation: the folds, the search, its determinism and abort.
#include "clsg/tuning/suggest_params.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "abort_from_thread.h"
#include "clsg/clsg.h"
#include "clsg/tuning/quality_report.h"
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

// What f refuses with, or "" when it throws nothing.
template <typename F>
std::string refusal(F f) {
    try {
        f();
    } catch (const Defs::BadParams& e) {
        return e.what();
    }
    return "";
}

// Equal, or both undefined (a measure without held-out pixels).
bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

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

// One label's example: the union of rects, as one mask.
kvCompositeColorSet rectsSet(const kv3PlanePelBuffer& image, const std::vector<kvPelRect>& rects) {
    const auto in = [&](long x, long y) {
        return std::any_of(rects.begin(), rects.end(),
                           [&](const kvPelRect& r) { return r.contains(kvPelRect(x, y, 1, 1)); });
    };
    return kvCompositeColorSet({kvCompositeColor(image, makeMask(image.window(), in))});
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
        const SpatialFolds folds(sets, k, 32);
        ASSERT_EQ(folds.tileSize(), 32);
        ASSERT_EQ(folds.images().size(), 2u);  // the equal buffers count once
        std::multiset<Pixel> heldOutEver;
        for (uint32_t f = 0; f < k; ++f) {
            std::set<std::tuple<int, long, long>> trainedTiles;
            std::set<std::size_t> trainedLabels;
            for (const auto& [picture, x, y, label] : trainingPixels(folds.trainingSets(f)))
                trainedTiles.insert(tileOf(picture, x, y)), trainedLabels.insert(label);
            EXPECT_EQ(trainedLabels.size(), sets.size()) << "every label trains in fold " << f;
            for (const HeldOutPiece& piece : folds.heldOut(f))
                for (const HeldOutPixel& px : piece.pixels) {
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
    EXPECT_EQ(SpatialFolds(withSmall(kvPelRect(40, 24, 20, 16)), 3, 16).tileSize(), 16);
    EXPECT_EQ(SpatialFolds(withSmall(kvPelRect(40, 8, 10, 4)), 2, 32).tileSize(), 16);
    const kvPelRect pixel(40, 8, 1, 1), half(32, 0, 32, 64);
    for (const auto& [small, folds, tile] : {std::tuple(pixel, 2u, 32), std::tuple(half, 1u, 32),
                                             std::tuple(half, 17u, 32), std::tuple(half, 3u, 3)})
        EXPECT_THROW(SpatialFolds(withSmall(small), folds, tile), Defs::BadParams);
    // Two pixels apart split, wherever they fall, though the tiles are mostly another
    // label's, of unequal sizes at the picture's edges: balanced by that label alone, both
    // could go to one fold.
    const kvPelRect edged(0, 0, 100, 70);
    const kv3PlanePelBuffer wide = twoHalves(edged, 50, 150, 3);
    auto draw = lcg(3);
    for (int k = 0; k < 40; ++k) {
        const std::vector<kvCompositeColorSet> dots = {
            rectsSet(wide, {kvPelRect(draw(50), draw(70), 1, 1),
                            kvPelRect(50 + draw(50), draw(70), 1, 1)}),
            rectSet(wide, edged)};
        EXPECT_EQ(refusal([&] { SpatialFolds(dots, 2, 32); }), "") << k;
    }
    {  // Three rare labels of two pixels each, two of them sharing a tile, on two halves.
        const kvPelRect small(0, 0, 48, 48);
        const std::vector<std::vector<kvPelRect>> rare = {
            {kvPelRect(30, 22, 1, 1), kvPelRect(32, 25, 1, 1)},
            {kvPelRect(33, 33, 1, 1), kvPelRect(31, 39, 1, 1)},
            {kvPelRect(35, 33, 1, 1), kvPelRect(38, 38, 1, 1)}};
        const int colours[3][3] = {{250, 250, 0}, {250, 0, 250}, {0, 250, 0}};
        // The folds are drawn from what the picture shows: these colours put two of a
        // rare label's tiles in one fold when tiles are balanced in one order only.
        const kv3PlanePelBuffer halves = noisy(small, lcg(1), [&](long x, long y, int c) {
            for (int k = 0; k < 3; ++k)
                for (const kvPelRect& r : rare[k])
                    if (r.contains(kvPelRect(x, y, 1, 1))) return std::pair(colours[k][c], 0);
            return std::pair(x < 24 ? 120 : c == 0 ? 30 : c == 1 ? 90 : 160, 0);
        });
        const auto half = [&](bool left) {
            return kvCompositeColorSet(
                {kvCompositeColor(halves, makeMask(small, [&](long x, long y) {
                                      for (const auto& dots : rare)
                                          for (const kvPelRect& r : dots)
                                              if (r.contains(kvPelRect(x, y, 1, 1))) return false;
                                      return (x < 24) == left;
                                  }))});
        };
        std::vector<kvCompositeColorSet> sets = {half(true), half(false)};
        for (const auto& dots : rare) sets.push_back(rectsSet(halves, dots));
        EXPECT_EQ(refusal([&] { SpatialFolds(sets, 2, 32); }), "");
    }
    // The message names the label that cannot be split, by name or by index.
    const std::vector<kvCompositeColorSet> dotFirst = {rectSet(image, pixel),
                                                       rectSet(image, kvPelRect(0, 0, 32, 64))};
    EXPECT_EQ(refusal([&] {
                  SpatialFolds(dotFirst, 2, 32, FoldUnit::tiles, {"dot", "wide"});
              }),
              "too few selected pixels to cross-validate: label dot has them in too few places; "
              "every label needs them in more than one place");
    EXPECT_EQ(refusal([&] { SpatialFolds(withSmall(pixel), 2, 32); }).substr(0, 50),
              "too few selected pixels to cross-validate: label 1");
    // Every label that cannot be split, not only the first found.
    const std::vector<kvCompositeColorSet> twoDots = {rectSet(image, pixel),
                                                      rectSet(image, kvPelRect(0, 0, 32, 64)),
                                                      rectSet(image, kvPelRect(50, 40, 1, 1))};
    EXPECT_EQ(refusal([&] {
                  SpatialFolds(twoDots, 2, 32, FoldUnit::tiles, {"dot", "wide", "speck"});
              }),
              "too few selected pixels to cross-validate: label dot and label speck have them in "
              "too few places; every label needs them in more than one place");
    EXPECT_EQ(refusal([&] {
                  SpatialFolds(twoDots, 2, 32, FoldUnit::examples, {"dot", "wide", "speck"});
              }),
              "too few selected pixels to cross-validate: label dot and label speck have fewer "
              "than 2; every label needs at least one per fold");
}

TEST(SpatialFolds,
     ByExamplesWholeRectanglesGoLargestFirstAndALoneRectangleIsCutAcrossItsLongerSide) {
    const kvPelRect w(0, 0, 200, 120);
    const kv3PlanePelBuffer image = twoHalves(w, 60, 200, 3);
    // Label 0: three rectangles (20 x 20, 30 x 10 touching it only at a corner, 10 x 10) and a
    // fourth of 12 x 12; label 1: one tall rectangle; label 2: one wide one.
    const std::vector<kvPelRect> rects0 = {kvPelRect(10, 10, 20, 20), kvPelRect(30, 30, 30, 10),
                                           kvPelRect(10, 60, 10, 10), kvPelRect(40, 80, 12, 12)};
    const kvPelRect tall(120, 10, 10, 60), wide(140, 90, 40, 6);
    const std::vector<kvCompositeColorSet> sets = {rectsSet(image, rects0), rectSet(image, tall),
                                                   rectSet(image, wide)};
    const SpatialFolds folds(sets, 2, 16, FoldUnit::examples);
    std::map<std::tuple<long, long, std::size_t>, uint32_t> foldOf;
    for (uint32_t f = 0; f < 2; ++f)
        for (const HeldOutPiece& piece : folds.heldOut(f))
            for (const HeldOutPixel& px : piece.pixels)
                EXPECT_TRUE(foldOf.insert({{px.x, px.y, px.label}, f}).second) << "held out twice";
    EXPECT_EQ(foldOf.size(), trainingPixels(sets).size());
    // The corner-touching pair is one piece of 700 pixels, fold 0; then 144 and 100 go to fold 1.
    const auto at = [&](long x, long y, std::size_t l) { return foldOf.at({x, y, l}); };
    EXPECT_EQ(std::vector<uint32_t>({at(10, 10, 0), at(59, 39, 0), at(40, 80, 0), at(10, 60, 0)}),
              std::vector<uint32_t>({0, 0, 1, 1}));
    // Halves of equal counts: top and bottom of the tall one, left and right of the wide one.
    for (const auto& [r, l] : {std::pair(tall, 1), std::pair(wide, 2)})
        for (long y = r.top(); y < r.bottom(); ++y)
            for (long x = r.left(); x < r.right(); ++x) {
                const bool second =
                    l == 1 ? y >= r.top() + r.height() / 2 : x >= r.left() + r.width() / 2;
                ASSERT_EQ(at(x, y, l), second ? 1u : 0u) << x << ", " << y;
            }
    // Training never sees a held-out pixel of its fold.
    for (uint32_t f = 0; f < 2; ++f)
        for (const auto& [picture, x, y, label] : trainingPixels(folds.trainingSets(f)))
            EXPECT_NE(foldOf.at({x, y, label}), f);
    EXPECT_EQ(refusal([&] {
                  SpatialFolds({rectSet(image, kvPelRect(150, 5, 1, 1)), rectSet(image, tall)}, 2,
                               16, FoldUnit::examples, {"dot"});
              }),
              "too few selected pixels to cross-validate: label dot has fewer than 2; every label "
              "needs at least one per fold");
}

TEST(SuggestParams, TiesGoToTheNarrowerFractionTheLargerFloorThenTheSurerAndSmallerNeighbourhood) {
    // Far apart and clean: every candidate up to N 3 classifies every pixel, all label the samples.
    const kvPelRect w(0, 0, 128, 64);
    const SuggestReport report = suggestSegmenterParams(halvesSets(twoHalves(w, 60, 200, 3)));
    for (const SuggestCandidate& c : report.candidates)
        ASSERT_TRUE(c.pictureUnlabelled == 0.0 &&
                    (c.balancedAccuracy == 1.0 || c.runParams.neighborhoodSize() > 3));
    // 0.02 leads; of the floors only 1 fits it and ties, 2 wins; the fine step between 0.02 and
    // 0.04 ties too and is wider. Every size is sure: the smallest wins.
    EXPECT_EQ(report.trainParams, TrainParams(0.02, 2));
    EXPECT_EQ(report.runParams.neighborhoodSize(), 1);
    EXPECT_EQ(report.candidates.size(), (6u + 1 + 1) * 5 + 3);
    const uint32_t folds = SuggestOptions().folds;
    EXPECT_EQ(report.trainings, folds * (6 + 1 + 1) + folds);  // the wide sizes: one a fold
    EXPECT_EQ(report.heldOut.count(0, 0) + report.heldOut.count(1, 1), report.heldOut.total());

    // Flat greys 30 apart under noise 10: at 0.3 every size is right, a larger one surer. Of
    // the sizes that tie with the choice none is surer, and none as sure is smaller.
    const auto flat = [&](int grey, uint32_t seed) {
        return rectSet(twoHalves(w, grey, grey, 10, seed), w);
    };
    const SuggestReport surer = suggestSegmenterParams({flat(100, 1), flat(130, 2)});
    std::vector<double> atCoarse;
    for (const SuggestCandidate& c : surer.candidates)
        if (c.trainParams == TrainParams(0.3, 2)) {
            ASSERT_EQ(c.balancedAccuracy, 1.0);
            atCoarse.push_back(c.meanConfidence);
        }
    ASSERT_EQ(atCoarse.size(), 5u);
    EXPECT_TRUE(std::is_sorted(atCoarse.begin(), atCoarse.end()) && atCoarse[0] < atCoarse[4]);
    const SuggestCandidate& chosen = surer.candidates[surer.chosen];
    for (const SuggestCandidate& c : surer.candidates)
        if (c.trainParams == chosen.trainParams && std::fabs(c.score - chosen.score) <= 1e-12) {
            EXPECT_LE(c.meanConfidence, chosen.meanConfidence + 1e-12);
            if (std::fabs(c.meanConfidence - chosen.meanConfidence) <= 1e-12) {
                EXPECT_GE(c.runParams.neighborhoodSize(), chosen.runParams.neighborhoodSize());
            }
        }
}

TEST(SuggestParams, ShadesNoExampleShowsLowerTheScoreByTheShareOfThePictureLeftUnlabelled) {
    // Thirds of 60, 128 and 200; the examples show only the outer two.
    const kvPelRect w(0, 0, 192, 64);
    const kv3PlanePelBuffer image = noisy(w, lcg(3), [](long x, long, int) {
        return std::pair(x < 64 ? 60 : x < 128 ? 128 : 200, 2);
    });
    const SuggestReport report = suggestSegmenterParams(
        {rectSet(image, kvPelRect(0, 0, 64, 64)), rectSet(image, kvPelRect(128, 0, 64, 64))});
    // The samples: 4 x 4 tiles of 16 x 16 at x = (192 - 16) * (2j + 1) / 8, so 22, 66, 110, 154:
    // two columns of four lie in the middle third.
    bool seen = false;
    for (const SuggestCandidate& c : report.candidates) {
        EXPECT_EQ(c.score, c.balancedAccuracy * (1.0 - c.pictureUnlabelled));
        if (c.trainParams == TrainParams(0.02, 2) && c.runParams.neighborhoodSize() == 1) {
            EXPECT_EQ(c.balancedAccuracy, 1.0);
            EXPECT_EQ(c.pictureUnlabelled, 0.5);
            seen = true;
        }
    }
    EXPECT_TRUE(seen);
    const SuggestCandidate& chosen = report.candidates[report.chosen];
    for (const SuggestCandidate& c : report.candidates)
        EXPECT_TRUE(c.stage == "wide" || c.score <= chosen.score);
    EXPECT_EQ(chosen.pictureUnlabelled, 0.0);
    // The narrowest tolerance leaves the middle third unlabelled; the choice labels it, and
    // the estimate counts a tenth of it wrong.
    EXPECT_EQ(report.uncovered, 0.5);
    EXPECT_EQ(report.uncoveredFraction, 0.02);
    EXPECT_EQ(report.estimated, report.chosen);
    EXPECT_DOUBLE_EQ(report.estimate, 0.95 * chosen.balancedAccuracy);
}

// The picture samples are judged by the first fold's tool: here a patch of the middle shade
// is trained on by one fold only, so the folds' tools leave different shares unlabelled.
TEST(SuggestParams, ThePictureSamplesAreJudgedByTheFirstFoldsTool) {
    const kvPelRect w(0, 0, 192, 64);
    const kv3PlanePelBuffer image = noisy(w, lcg(3), [](long x, long, int) {
        return std::pair(x < 64 ? 60 : x < 128 ? 128 : 200, 2);
    });
    const auto in = [](long x, long y) {
        return x < 64 || (x >= 64 && x < 80 && y >= 32 && y < 48);
    };
    const std::vector<kvCompositeColorSet> sets = {
        kvCompositeColorSet({kvCompositeColor(image, makeMask(w, in))}),
        rectSet(image, kvPelRect(128, 0, 64, 64))};
    const SuggestReport report = suggestSegmenterParams(sets);
    const SpatialFolds folds(sets, SuggestOptions().folds, SuggestOptions().tileSize);
    // The samples' share left unlabelled and mean confidence (an unlabelled pixel counting 0).
    const auto samples = [&](const kvCompositeColorSegmenterTool& tool, int32_t n) {
        kvCompositeColorSegmenterResult result;
        tool.run(image, kvCompositeColorSegmenterRunParams(n, false), result);
        uint64_t none = 0, sure = 0;
        for (long i = 0; i < 4; ++i)
            for (long j = 0; j < 4; ++j)
                for (long y = 0; y < 16; ++y)
                    for (long x = 0; x < 16; ++x) {
                        const long px = (192 - 16) * (2 * j + 1) / 8 + x,
                                   py = (64 - 16) * (2 * i + 1) / 8 + y;
                        const bool unlabelled = *result.labelImage().pointToPel(px, py) == 255;
                        none += unlabelled;
                        sure += unlabelled ? 0 : *result.confidenceImage().pointToPel(px, py);
                    }
        return std::pair(static_cast<double>(none) / (16.0 * 256.0),
                         static_cast<double>(sure) / (16.0 * 256.0));
    };
    std::size_t differing = 0;
    for (const SuggestCandidate& c : report.candidates) {
        kvCompositeColorSegmenterTool first, second;
        first.train(folds.trainingSets(0), c.trainParams);
        second.train(folds.trainingSets(1), c.trainParams);
        const int32_t n = c.runParams.neighborhoodSize();
        EXPECT_EQ(std::pair(c.pictureUnlabelled, c.pictureConfidence), samples(first, n));
        differing += samples(first, n) != samples(second, n);
    }
    EXPECT_GT(differing, 0u);  // else the test could not tell the folds apart
}

TEST(SuggestParams, NoisyLabelsTakeALargeNeighbourhoodAndNoFloorPassesTheFractionOfMidGrey) {
    // Two greys 20 apart under noise 40: the more pixels a label is judged by, the better.
    const SuggestReport noisyPair =
        suggestSegmenterParams(halvesSets(twoHalves(kvPelRect(0, 0, 128, 64), 100, 120, 40)));
    EXPECT_GE(noisyPair.runParams.neighborhoodSize(), 7);
    EXPECT_LT(std::min_element(noisyPair.candidates.begin(), noisyPair.candidates.end(),
                               [](const SuggestCandidate& a, const SuggestCandidate& b) {
                                   return a.balancedAccuracy < b.balancedAccuracy;
                               })
                  ->balancedAccuracy,
              0.9);  // the noise is felt
    // A floor above 128 times the fraction would widen every colour alike: never tried at
    // the best fraction.
    std::set<uint32_t> floors;
    for (const SuggestCandidate& c : noisyPair.candidates) {
        const TrainParams& p = c.trainParams;
        EXPECT_TRUE(p.colorToleranceMin() <= 2 || c.stage != "minimum" ||
                    p.colorToleranceMin() <= 128 * p.colorToleranceFrac())
            << p.colorToleranceFrac() << ", " << p.colorToleranceMin();
        floors.insert(p.colorToleranceMin());
    }
    EXPECT_GT(floors.size(), 1u);
}

// Sizes above 9 are taken only where their held-out pixels grow surer than the lead's (the
// best size up to 9) by more than 2, without a lower score; the estimate stays the lead's.
TEST(SuggestParams, AWideNeighbourhoodIsTakenOnlyWhereItsHeldOutPixelsGrowSurer) {
    const auto check = [](const SuggestReport& r, bool wideWins) {
        const SuggestCandidate &lead = r.candidates[r.estimated], &chosen = r.candidates[r.chosen];
        EXPECT_LE(lead.runParams.neighborhoodSize(), 9);
        EXPECT_NE(lead.stage, "wide");
        EXPECT_EQ(r.runParams.neighborhoodSize(), chosen.runParams.neighborhoodSize());
        EXPECT_EQ(r.chosen != r.estimated, wideWins);
        EXPECT_EQ(r.heldOut.balancedAccuracy(), chosen.balancedAccuracy);
        std::size_t wide = 0;
        for (const SuggestCandidate& c : r.candidates) {
            if (c.stage != "wide") continue;
            ++wide;
            EXPECT_EQ(c.trainParams, lead.trainParams);
            EXPECT_EQ(c.folds, r.folds);  // every wide size is scored on every fold
            const bool surer = c.meanConfidence > lead.meanConfidence + 2;
            if (surer && c.score >= lead.score - 1e-12) {
                EXPECT_TRUE(wideWins) << "N " << c.runParams.neighborhoodSize();
                EXPECT_LE(c.meanConfidence, chosen.meanConfidence);  // the surest is taken
            }
            if (&c == &chosen) {
                EXPECT_TRUE(surer && c.score >= lead.score - 1e-12);
            }
        }
        EXPECT_EQ(wide, 3u);
        return std::pair(lead, chosen);
    };
    // Two greys 20 apart under noise 40, taught away from their border: a wider neighbourhood
    // settles the noise. Taught up to their border, it also blurs the held-out pixels there,
    // which makes them less sure.
    const kv3PlanePelBuffer plain = twoHalves(kvPelRect(0, 0, 256, 64), 100, 120, 40, 9);
    const auto [lead, chosen] =
        check(suggestSegmenterParams({rectSet(plain, kvPelRect(0, 0, 110, 64)),
                                      rectSet(plain, kvPelRect(146, 0, 110, 64))}),
              true);
    EXPECT_EQ(chosen.stage, "wide");
    EXPECT_GT(chosen.meanConfidence, lead.meanConfidence + 2);
    const SuggestReport lost =
        suggestSegmenterParams(halvesSets(twoHalves(kvPelRect(0, 0, 128, 64), 100, 120, 40)));
    check(lost, false);
    const double leadSure = lost.candidates[lost.estimated].meanConfidence;
    for (const SuggestCandidate& c : lost.candidates) {
        if (c.stage == "wide") {
            EXPECT_LT(c.meanConfidence, leadSure);
        }
    }

    // Clean blocks of 60 and 200 on the left, taught away from their border; stripes of 3 of
    // the same greys on the right, where half the samples lie. Every size labels every held-out
    // pixel right and sure, so no wide size is surer, and none blurs the stripes.
    const kvPelRect w(0, 0, 256, 64);
    const kv3PlanePelBuffer striped = noisy(w, lcg(7), [](long x, long, int) {
        return std::pair(x < 64 || (x >= 128 && x / 3 % 2 == 0) ? 60 : 200, 1);
    });
    const SuggestReport clean = suggestSegmenterParams(
        {rectSet(striped, kvPelRect(0, 0, 50, 64)), rectSet(striped, kvPelRect(78, 0, 50, 64))});
    check(clean, false);
    for (const SuggestCandidate& c : clean.candidates) EXPECT_EQ(c.score, 1.0);
}

TEST(SuggestParams, TheSurestWideSizeIsTakenOnlyWhenClearlySurerAndNoWorseThanTheLead) {
    const auto row = [](double sure, double score) {
        SuggestCandidate c{};
        c.meanConfidence = sure;
        c.score = score;
        return c;
    };
    const SuggestCandidate lead = row(200, 0.9);
    const struct {
        std::vector<std::pair<double, double>> rows;  // held-out confidence, score
        std::size_t taken;
    } cases[] = {
        {{{203, 0.95}, {205, 0.9}, {201, 0.9}}, 1},          // the surest, not the first
        {{{202, 1.0}, {199, 1.0}, {std::nan(""), 1.0}}, 3},  // surer by 2 or less: none
        {{{202 + 1e-9, 0.9 - 1e-13}}, 0},                    // surer by more than 2, as good
        {{{230, 0.89}, {204, 0.9}}, 1},                      // a lower score is never taken
        {{{210 - 1e-13, 0.9}, {204, 0.9}, {210, 0.9}}, 0},   // ties within 1e-12: the smaller
        {{}, 0},
    };
    for (const auto& c : cases) {
        std::vector<SuggestCandidate> wide;
        for (const auto& [sure, score] : c.rows) wide.push_back(row(sure, score));
        EXPECT_EQ(wideChoice(lead, wide), c.taken) << c.rows.size() << " rows";
    }
}

// A caller that trains under a budget has the search skip the tolerances it refuses; the
// search chooses among the rest and names what it skipped.
TEST(SuggestParams, TolerancesOverTheTrainingBudgetAreSkippedAndNamed) {
    const std::vector<kvCompositeColorSet> sets =
        halvesSets(twoHalves(kvPelRect(0, 0, 128, 64), 60, 200, 3));
    // Training's bytes: 8 per colour cell per example, and 4 per cell once.
    const auto bytesAt = [&](double frac) {
        kvCompositeColorSegmenterTool tool;
        tool.train(sets, TrainParams(frac, 2));
        const uint64_t cells = uint64_t{tool.modelSize().levelsPerChannel} *
                               tool.modelSize().levelsPerChannel *
                               tool.modelSize().levelsPerChannel;
        return (8 * sets.size() + 4) * cells;
    };
    ASSERT_EQ(suggestSegmenterParams(sets).trainParams, TrainParams(0.02, 2));  // unbounded
    kvCompositeColorSegmenterBudget budget;
    budget.maxBytes = (bytesAt(0.02) + bytesAt(0.04)) / 2;
    SuggestOptions options;
    options.checkCost = [&](const TrainParams& p) { budget.check(sets, p); };
    const SuggestReport report = suggestSegmenterParams(sets, options);
    // Only 0.02 is refused: the floors and the fine step follow the lead, 0.04.
    EXPECT_EQ(report.overBudget, std::vector<TrainParams>{TrainParams(0.02, 2)});
    EXPECT_EQ(report.trainParams, TrainParams(0.04, 2));
    for (const SuggestCandidate& c : report.candidates)
        EXPECT_GT(c.trainParams.colorToleranceFrac(), 0.02);
    std::ostringstream text;
    printSuggestReport(text, {"dark", "light"}, report);
    EXPECT_NE(text.str().find("not tried, over the training budget: colorToleranceFrac 0.02 with "
                              "colorToleranceMin 2\n"),
              std::string::npos);
    // The estimate's correction names the narrowest fraction that was tried.
    EXPECT_EQ(report.uncoveredFraction, 0.04);
    EXPECT_NE(
        text.str().find("the narrowest fraction tried (0.04, at minimum 2 and neighbourhood 1)"),
        std::string::npos)
        << text.str();
    EXPECT_EQ(suggestReportJson({"dark", "light"}, report)["estimate"]["uncoveredFraction"], 0.04);
    EXPECT_EQ(suggestReportJson({"dark", "light"}, report)["overBudget"],
              nlohmann::json::parse(R"([{"colorToleranceFrac":0.02,"colorToleranceMin":2}])"));

    budget.maxBytes = bytesAt(0.5) - 1;  // not even the widest fraction
    EXPECT_THROW(suggestSegmenterParams(sets, options), kvCompositeColorSegmenterBudget::Exceeded);
}

// A noisy dark label wants a raised floor; with it the fraction below the best is tried too,
// though the floor passes that fraction's tolerance of mid-grey (15 > 0.08 * 128), and wins.
TEST(SuggestParams, ARaisedFloorIsTriedAtTheFractionBelowThoughItPassesItsMidGrey) {
    const SuggestReport report =
        suggestSegmenterParams(halvesSets(twoHalves(kvPelRect(0, 0, 128, 64), 40, 200, 20, 1, 5)));
    std::vector<TrainParams> tried;
    for (const SuggestCandidate& c : report.candidates)
        if (c.stage == "floor-fraction" && c.runParams.neighborhoodSize() == 1)
            tried.push_back(c.trainParams);
    EXPECT_EQ(tried, std::vector<TrainParams>{TrainParams(0.08, 15)});
    EXPECT_EQ(report.trainParams, TrainParams(0.08, 15));
}

TEST(SuggestParams, LabelsWithManyTilesAreScoredOnSomeOfThem) {
    // 16384 pixels per label, about 8192 held out per fold; the smaller label keeps them all.
    const kv3PlanePelBuffer image = twoHalves(kvPelRect(0, 0, 256, 128), 60, 200, 3);
    std::vector<kvCompositeColorSet> sets = halvesSets(image);
    sets[1] = rectSet(image, kvPelRect(128, 0, 48, 40));
    SuggestOptions all;
    all.heldOutPerLabel = 0;
    for (const SuggestOptions& options : {SuggestOptions(), all}) {
        const SuggestReport report = suggestSegmenterParams(sets, options);
        const uint64_t big = report.heldOut.truthTotal(0), n = options.heldOutPerLabel;
        EXPECT_TRUE(n == 0 ? big == 128u * 128u : big >= 2 * n && big < 128u * 128u) << big;
        EXPECT_EQ(report.heldOut.truthTotal(1), 48u * 40u);
    }
}

TEST(SuggestParams, HeldOutTilesScoreAsWholePicturesDoAndAReportRepeatsAndAborts) {
    const std::thread::id caller = std::this_thread::get_id();
    const kv3PlanePelBuffer image = twoHalves(kvPelRect(3, 1, 150, 70), 100, 124, 20, 5, 2);
    const SpatialFolds folds(halvesSets(image), 3, 16);
    std::vector<kvCompositeColorSegmenterTool> tools(3);
    for (uint32_t f = 0; f < 3; ++f) tools[f].train(folds.trainingSets(f), TrainParams(0.3, 2));
    for (int32_t n : {1, 3, 9}) {
        const kvCompositeColorSegmenterRunParams params(n, false);
        LabelConfusion whole(2);
        for (uint32_t f = 0; f < 3; ++f) {
            kvCompositeColorSegmenterResult result;
            tools[f].run(image, params, result);
            for (const HeldOutPiece& piece : folds.heldOut(f))
                for (const HeldOutPixel& px : piece.pixels)
                    whole.add(px.label, *result.labelImage().pointToPel(px.x, px.y));
        }
        EXPECT_EQ(scoreHeldOut(folds, tools, params), whole) << "neighbourhood " << n;
    }

    const SuggestReport a = suggestSegmenterParams(halvesSets(image));
    std::vector<uint32_t> progress;
    SuggestOptions watched;  // a caller watching changes nothing, nor do threads
    watched.progress = [&](uint32_t done) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        progress.push_back(done);
    };
    watched.threads = 2;
    const SuggestReport b = suggestSegmenterParams(halvesSets(kfPelCopy(image)), watched);
    EXPECT_EQ(progress, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
    ASSERT_EQ(a.candidates.size(), b.candidates.size());
    for (std::size_t i = 0; i < a.candidates.size(); ++i)
        EXPECT_TRUE(same(a.candidates[i].balancedAccuracy, b.candidates[i].balancedAccuracy) &&
                    a.candidates[i].pictureConfidence == b.candidates[i].pictureConfidence);
    EXPECT_TRUE(a.chosen == b.chosen && a.heldOut == b.heldOut && a.onExamples == b.onExamples);
    {  // Nor does the order a label's examples are given in, which decides the pictures' order.
        const kv3PlanePelBuffer other = twoHalves(image.window(), 100, 124, 20, 6, 2);
        const auto sets = [&](bool otherFirst) {
            std::vector<kvCompositeColorSet> two = halvesSets(image), more = halvesSets(other);
            std::vector<kvCompositeColor> left = {two[0].instances()[0], more[0].instances()[0]};
            if (otherFirst) std::swap(left[0], left[1]);
            return std::vector<kvCompositeColorSet>{
                kvCompositeColorSet(left),
                kvCompositeColorSet({two[1].instances()[0], more[1].instances()[0]})};
        };
        const SuggestReport given = suggestSegmenterParams(sets(false)),
                            swapped = suggestSegmenterParams(sets(true));
        ASSERT_EQ(given.candidates.size(), swapped.candidates.size());
        for (std::size_t i = 0; i < given.candidates.size(); ++i)
            EXPECT_TRUE(
                same(given.candidates[i].balancedAccuracy, swapped.candidates[i].balancedAccuracy))
                << i;
        EXPECT_TRUE(given.chosen == swapped.chosen && given.heldOut == swapped.heldOut);
    }
    // The tool written on its examples' own pixels, every one once: as a whole run of it gives.
    kvCompositeColorSegmenterTool written;
    written.train(halvesSets(image), a.trainParams);
    kvCompositeColorSegmenterResult result;
    written.run(image, a.runParams, result);
    LabelConfusion own(2);
    for (uint32_t f = 0; f < 3; ++f)
        for (const HeldOutPiece& piece : folds.heldOut(f))
            for (const HeldOutPixel& px : piece.pixels)
                own.add(px.label, *result.labelImage().pointToPel(px.x, px.y));
    EXPECT_EQ(a.onExamples, own);
    EXPECT_TRUE(abortedFromAnotherThread([&] { suggestSegmenterParams(halvesSets(image)); }));
    EXPECT_TRUE(
        abortedFromAnotherThread([&] { suggestSegmenterParams(halvesSets(image), watched); }));
}

// Tiles run side by side in one picture score as tiles run one by one: held-out labels and
// confidences, and the picture samples, at every neighbourhood; tiles at a picture's edge
// included (two pictures, examples touching their edges and lying inside).
TEST(SuggestParams, PackedTilesScoreAsTilesRunAlone) {
    const auto textured = [](const kvPelRect& w, uint32_t seed) {
        return noisy(w, lcg(seed), [](long x, long y, int c) {
            return std::pair(static_cast<int>(40 + (x * 3 + y * 5 + c * 40) % 170), 25);
        });
    };
    const kv3PlanePelBuffer a = textured(kvPelRect(0, 0, 160, 90), 3),
                            b = textured(kvPelRect(2, 5, 70, 120), 4);
    const auto rects = [](const kv3PlanePelBuffer& image, std::vector<kvPelRect> rs) {
        return kvCompositeColor(image, makeMask(image.window(), [&](long x, long y) {
                                    for (const kvPelRect& r : rs)
                                        if (r.contains(kvPelRect(x, y, 1, 1))) return true;
                                    return false;
                                }));
    };
    const std::vector<kvCompositeColorSet> sets = {
        kvCompositeColorSet(
            {rects(a, {{0, 0, 40, 30}, {70, 40, 30, 20}}), rects(b, {{2, 5, 20, 60}})}),
        kvCompositeColorSet({rects(a, {{120, 60, 40, 30}}), rects(b, {{30, 50, 30, 40}})}),
        kvCompositeColorSet({rects(a, {{60, 0, 50, 12}, {10, 50, 30, 30}})})};
    for (const FoldUnit unit : {FoldUnit::tiles, FoldUnit::examples}) {
        SuggestOptions packed, alone;
        packed.unit = alone.unit = unit;
        packed.tileSize = alone.tileSize = 16;
        alone.packTiles = false;
        const SuggestReport p = suggestSegmenterParams(sets, packed),
                            q = suggestSegmenterParams(sets, alone);
        ASSERT_EQ(p.candidates.size(), q.candidates.size());
        for (std::size_t i = 0; i < p.candidates.size(); ++i) {
            const SuggestCandidate &c = p.candidates[i], &d = q.candidates[i];
            EXPECT_TRUE(same(c.balancedAccuracy, d.balancedAccuracy) &&
                        same(c.meanConfidence, d.meanConfidence) &&
                        c.pictureUnlabelled == d.pictureUnlabelled &&
                        c.pictureConfidence == d.pictureConfidence)
                << "candidate " << i << " (N " << c.runParams.neighborhoodSize()
                << "): " << c.balancedAccuracy << " " << d.balancedAccuracy << ", "
                << c.meanConfidence << " " << d.meanConfidence << ", " << c.pictureUnlabelled << " "
                << d.pictureUnlabelled;
        }
        EXPECT_TRUE(p.chosen == q.chosen && p.heldOut == q.heldOut);
    }
}

// Every figure of two reports is the same.
void expectSameReports(const SuggestReport& a, const SuggestReport& b) {
    EXPECT_TRUE(a.trainParams == b.trainParams && a.runParams == b.runParams &&
                a.chosen == b.chosen && a.estimated == b.estimated && a.heldOut == b.heldOut &&
                a.onExamples == b.onExamples && a.trainings == b.trainings &&
                a.runPixels == b.runPixels);
    ASSERT_EQ(a.candidates.size(), b.candidates.size());
    for (std::size_t i = 0; i < a.candidates.size(); ++i) {
        const SuggestCandidate &c = a.candidates[i], &d = b.candidates[i];
        EXPECT_TRUE(c.trainParams == d.trainParams && c.runParams == d.runParams &&
                    c.stage == d.stage && same(c.balancedAccuracy, d.balancedAccuracy) &&
                    same(c.foldZeroAccuracy, d.foldZeroAccuracy) &&
                    same(c.meanConfidence, d.meanConfidence) && c.folds == d.folds &&
                    c.pictureUnlabelled == d.pictureUnlabelled && same(c.score, d.score) &&
                    c.pictureConfidence == d.pictureConfidence)
            << "candidate " << i;
    }
}

// Candidates that cannot win stop early: the choice, its held-out pixels and every candidate
// scored on all folds are those of the exhaustive search, with fewer pixels run. The first
// fold's scores made side by side on threads change no figure of the report.
TEST(SuggestParams, CandidatesThatCannotWinStopEarlyAndChangeNoChoice) {
    const kvPelRect w(0, 0, 192, 64);
    const auto thirds = [&](int noise, uint32_t seed) {
        return noisy(w, lcg(seed), [=](long x, long, int c) {
            return std::pair(x < 64 ? 60 + 10 * c : x < 128 ? 110 : 150 - 10 * c, noise);
        });
    };
    const kv3PlanePelBuffer a = thirds(30, 1), b = thirds(12, 2);
    // Three dark labels, close in colour: the fine step's neighbour fractions have sizes
    // that stopped early, and must be scored on every fold before they are compared.
    const kv3PlanePelBuffer dark = noisy(w, lcg(24), [](long x, long, int c) {
        return x < 64    ? std::pair(36 + 3 * c, 7)
               : x < 128 ? std::pair(37, 25)
                         : std::pair(45 - c, 34);
    });
    std::size_t stopped = 0;
    std::vector<SuggestReport> quickReports;
    for (const std::vector<kvCompositeColorSet>& sets :
         {std::vector<kvCompositeColorSet>{rectSet(a, {0, 0, 64, 64}), rectSet(a, {64, 0, 64, 64}),
                                           rectSet(a, {128, 0, 64, 64})},
          std::vector<kvCompositeColorSet>{rectSet(b, {0, 0, 50, 40}),
                                           rectSet(b, {140, 0, 52, 64})},
          halvesSets(twoHalves(w, 100, 124, 20, 5, 2)),
          std::vector<kvCompositeColorSet>{rectSet(dark, {0, 0, 45, 59}),
                                           rectSet(dark, {64, 0, 63, 52}),
                                           rectSet(dark, {128, 0, 55, 27})},
          halvesSets(twoHalves({0, 0, 128, 64}, 140, 148, 30))}) {
        SuggestOptions two;  // the cases were drawn for two folds of 32 x 32 tiles
        two.folds = 2, two.tileSize = 32;
        SuggestOptions every = two, threads = two;
        every.exhaustive = true;
        threads.threads = 3;
        const SuggestReport& quick = quickReports.emplace_back(suggestSegmenterParams(sets, two));
        const SuggestReport full = suggestSegmenterParams(sets, every);
        expectSameReports(quick, suggestSegmenterParams(sets, threads));
        EXPECT_EQ(quick.trainParams, full.trainParams);
        EXPECT_EQ(quick.runParams, full.runParams);
        EXPECT_EQ(quick.heldOut, full.heldOut);
        ASSERT_EQ(quick.candidates.size(), full.candidates.size());
        const double best = full.candidates[full.chosen].score;
        for (std::size_t i = 0; i < quick.candidates.size(); ++i) {
            const SuggestCandidate &q = quick.candidates[i], &f = full.candidates[i];
            EXPECT_EQ(f.folds, 2u);
            EXPECT_EQ(q.pictureConfidence, f.pictureConfidence);
            if (q.folds == 2) {
                EXPECT_TRUE(q.score == f.score && q.meanConfidence == f.meanConfidence) << i;
            } else {
                ++stopped;
                EXPECT_EQ(q.folds, 1u);
                EXPECT_LT(f.score, best) << i;  // it could not have won
            }
        }
        const bool some = std::any_of(quick.candidates.begin(), quick.candidates.end(),
                                      [](const SuggestCandidate& c) { return c.folds < 2; });
        EXPECT_TRUE(some ? quick.runPixels < full.runPixels : quick.runPixels == full.runPixels);
        // Each candidate ran at least the 16 samples of 16 x 16 of the one picture.
        EXPECT_GE(quick.runPixels, 4096u * quick.candidates.size());
    }
    EXPECT_GT(stopped, 0u);
    // In the last case the lead, 0.04, lies between 0.02 and 0.08, and 0.02
    // cannot reach 0.08's best. The coarse stage scores the most promising on
    // the second fold first, and the fine step leans toward 0.08: neither
    // trains 0.02 for the second fold.
    const SuggestReport& last = quickReports.back();
    EXPECT_EQ(last.candidates[last.estimated].trainParams,
              kvCompositeColorSegmenterTrainParams(0.04, 2));
    for (const SuggestCandidate& c : last.candidates) {
        if (c.stage == "fine") {
            EXPECT_EQ(c.trainParams.colorToleranceFrac(), 0.057);
        }
        if (c.trainParams.colorToleranceFrac() == 0.02) {
            EXPECT_EQ(c.folds, 1u);
        }
    }
}

TEST(LabelConfusion, MeasuresFromKnownCounts) {
    LabelConfusion c(3);  // 255 or any value past the labels: none; no true pixels of label 2
    c.add(0, 0, 8), c.add(0, 1, 2), c.add(1, 1, 5), c.add(1, 255, 4), c.add(1, 7, 1);
    EXPECT_EQ(c.count(1, c.noneColumn()), 5u);
    EXPECT_TRUE(c.recall(0) == 0.8 && c.precision(1) == 5.0 / 7.0 && std::isnan(c.precision(2)));
    EXPECT_TRUE(c.accuracy() == 13.0 / 20.0 && c.balancedAccuracy() == (0.8 + 0.5) / 2.0);
    EXPECT_THROW(c.add(LabelConfusion(2)), Defs::BadParams);
    EXPECT_THROW(c.add(3, 0), Defs::BadParams);
}

// The confusion table's headings stand apart, "(none)" beside a label named none too.
TEST(LabelConfusion, PrintedHeadingsStandApart) {
    LabelConfusion c(2);
    c.add(0, 0, 600), c.add(0, 255, 3), c.add(1, 1, 7);
    std::ostringstream out;
    printConfusion(out, {"none", "b"}, c);
    const std::string text = out.str(), above = "columns: label given):\n";
    const std::size_t at = text.find(above) + above.size();
    std::istringstream heading(text.substr(at, text.find('\n', at) - at));
    const std::vector<std::string> words{std::istream_iterator<std::string>(heading), {}};
    EXPECT_EQ(words, (std::vector<std::string>{"none", "b", "(none)"})) << text;
}

}  // namespace
