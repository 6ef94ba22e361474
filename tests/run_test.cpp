// Running a trained tool: refusals, the stored run, the brightness search; the images a result
// derives, caches and aborts; reused results refill only buffers no caller holds; tiled runs
// against the whole-image run, progress, stopping and refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

#include "abort_from_thread.h"
#include "clsg/clrsgint/color_model.h"
#include "clsg/clrsgint/intensity_normalization.h"
#include "clsg/clrsgint/internal_result.h"
#include "clsg/clrsgint/label_scores.h"
#include "clsg/clrsgint/tool_model.h"
#include "clsg/clsg.h"
#include "clsg/colorseg/intensity_gain.h"
#include "clsg/tiled/tiled_run.h"
#include "few_threads.h"
#include "test_images.h"

namespace {

using Defs = kvCompositeColorSegmenterDefs;
using Params = kvCompositeColorSegmenterRunParams;
using Result = kvCompositeColorSegmenterResult;

kvCompositeColorSegmenterInternalResult& internalOf(Result& r) {
    return *static_cast<kvCompositeColorSegmenterInternalResult*>(r.result());
}

kvCompositeColorSegmenterTool trainedOn(const std::vector<Rgb>& colours,
                                        const kvCompositeColorSegmenterTrainParams& p = {}) {
    std::vector<kvCompositeColorSet> sets;
    for (const Rgb c : colours)
        sets.push_back(kvCompositeColorSet(
            {kvCompositeColor(uniformImage(kvPelRect(0, 0, 8, 8), c), noMask())}));
    kvCompositeColorSegmenterTool tool;
    tool.train(sets, p);
    return tool;
}

// Three labels on overlapping noisy colours, one or two instances each.
kvCompositeColorSegmenterTool threeLabelTool() {
    const kvPelRect tw(0, 0, 16, 16);
    std::vector<kvCompositeColorSet> sets;
    for (int k = 0; k < 3; ++k) {
        std::vector<kvCompositeColor> examples;
        for (int e = 0; e <= k % 2; ++e)
            examples.emplace_back(noisyImage(tw, 10 * k + e), makeMask(tw, [&](long x, long y) {
                                      return (x + 2 * y + e) % 3 == k;
                                  }));
        sets.emplace_back(examples);
    }
    kvCompositeColorSegmenterTool tool;
    tool.train(sets, kvCompositeColorSegmenterTrainParams());
    return tool;
}

// Taught red, one column of untaught green, taught blue.
kv3PlanePelBuffer threeColours(const kvPelRect& w) {
    return makeImage(w, [&](long x, long) {
        const long m = w.left() + w.width() / 2;
        return x < m ? Rgb{200, 40, 30} : x == m ? Rgb{120, 250, 120} : Rgb{40, 60, 210};
    });
}

TEST(Run, RefusalsRecordOnlyTheInputsAndLeaveThePreviousResult) {
    const auto tool = trainedOn({{200, 40, 30}, {40, 60, 210}});
    kvCompositeColorSegmenterTool untrained;
    Result result;
    tool.run(threeColours(kvPelRect(0, 0, 6, 6)), {}, result);
    result.labelImage();
    const Result before(result);
    kvDiagObject diag;
    EXPECT_THROW(untrained.run(kv3PlanePelBuffer(), {}, result, &diag, 0x30000),
                 kvPel::UnboundWindow);
    kv3PlanePelBuffer hsi = uniformImage(kvPelRect(0, 0, 2, 2), {1, 2, 3});
    hsi.colorSpace(kvColorSpaceHSI);
    EXPECT_THROW(untrained.run(hsi, {}, result, &diag, 0x30000), Defs::BadColorSpace);
    EXPECT_EQ(diag.size(), 0u);
    kv3PlanePelBuffer noXform = threeColours(kvPelRect(0, 0, 9, 9));
    noXform.imageFromClientXformBase(kv2XformHandle(), true);
    EXPECT_THROW(tool.run(noXform, {}, result), kvBadPointer);
    EXPECT_THROW(tool.run(kv3PlanePelBuffer(kvPelRect(0, 0, 0, 2000000000)), {}, result),
                 Defs::BadImage);
    EXPECT_THROW(tool.run(threeColours(kvPelRect(0, 0, 4, 4)), Params(256), result),
                 Defs::BadParams);
    EXPECT_TRUE(result == before && result.labelImage().isBound());
    // An untrained tool records its inputs, then refuses.
    EXPECT_THROW(untrained.run(uniformImage(kvPelRect(0, 0, 2, 2), {1, 2, 3}), Params(7, true),
                               result, &diag, kvCompositeColorSegmenterTool::kDiagInputs),
                 Defs::NotTrained);
    ASSERT_EQ(diag.size(), 1u);
    EXPECT_EQ(diag.record(0).entries().at(2).text, "neighborhoodSize: 7\nnormalizeIntensity: true");
}

TEST(Run, StoresTheRunRecordsItsOutputsAndShiftsEvenNeighbourhoods) {
    const auto tool = trainedOn({{200, 40, 30}, {40, 60, 210}});
    const kvPelRect w(-20, 7, 9, 5);
    auto image = threeColours(w);
    Result result;
    kvDiagObject diag;
    tool.run(image, Params(1), result, &diag, kvCompositeColorSegmenterTool::kDiagOutputs);
    const auto& in = internalOf(result);
    ASSERT_EQ(in.labelScores.size(), 2u);
    EXPECT_EQ(in.labelScores[0].window(), w);
    EXPECT_NE(in.image.plane0().pointToRow(7), image.plane0().pointToRow(7));  // a copy
    EXPECT_TRUE(*result.labelImage().pointToPel(-20, 7) == 0 &&
                *result.labelImage().pointToPel(-12, 11) == 1);
    ASSERT_EQ(diag.size(), 5u);  // label, score, two segmentations, mapped label
    EXPECT_EQ(diag.record(4).entries()[1].text, "Output: Label image (mapped)");
    const auto& mapped = diag.record(4).entries()[0].image8;  // labels 0, 1 and none
    EXPECT_EQ(*mapped.pointToPel(-20, 7) + *mapped.pointToPel(-12, 11) * 1000, 85 + 170 * 1000);
    EXPECT_EQ(*mapped.pointToPel(-16, 9), 0);
    // Even sizes shift the stored transform by half a pel.
    kvMatrix<2> m;
    m(0, 0) = 2.0;
    image.imageFromClientXformBase(kv2XformHandle(new kv2XformLinear(m, 3.0, -1.0)), true);
    tool.run(image, Params(4), result);
    double x = 0, y = 0;
    internalOf(result).imageFromClientXform->map(1.0, 1.0, x, y);
    EXPECT_TRUE(x == 2.0 + 3.0 + 0.5 && y == 0.5) << x << ", " << y;
}

// Scores rebuilt row by row (all instances together, or whole label images when they would
// not fit) equal the whole images, and so do the label images built from either.
TEST(Run, ScoreRowsTogetherOrWholeGiveTheSameScores) {
    const auto tool = threeLabelTool();
    const auto& model = clsgint::toolModel(tool);
    ASSERT_EQ(model.instanceModels.size(), 4u);
    const auto image = noisyImage(kvPelRect(-7, 3, 45, 29), 3);
    for (int32_t n : {1, 4, 7}) {
        SCOPED_TRACE(n);
        std::vector<kvPelBuffer<double>> whole;
        clsgint::computeLabelScores(model, image, Params(n), whole);
        ASSERT_EQ(whole.size(), 3u);
        const std::vector<std::size_t> labels = {2, 0, 1};
        clsgint::LabelScoreRows together(model, image, n, labels),
            inTurn(model, image, n, labels, 0.0);
        for (long y = 3; y < 32; ++y) {
            const double* const* a = together.row(y);
            const double* const* b = inTurn.row(y);
            for (std::size_t i = 0; i < 3; ++i)
                ASSERT_TRUE(!std::memcmp(a[i], whole[labels[i]].pointToRow(y), 45 * 8) &&
                            !std::memcmp(b[i], whole[labels[i]].pointToRow(y), 45 * 8))
                    << y << " " << i;
        }
        Result run;
        tool.run(image, Params(n), run);
        kvCompositeColorSegmenterInternalResult stored = internalOf(run);
        stored.labelScores = kvLabelScores();
        stored.labelScores.held = whole;
        stored.labelImage = stored.confidenceImage = kvPelBuffer<unsigned char>();
        stored.computeLabelImages();
        EXPECT_TRUE(kfPelEqual(run.labelImage(), stored.labelImage) &&
                    kfPelEqual(run.confidenceImage(), stored.confidenceImage));
    }
}

// The gain search written out plainly: every tenth pixel and row, best label score at N = 1.
double plainGainSearch(const kvCompositeColorSegmenterTool& tool, const kv3PlanePelBuffer& image) {
    auto objective = [&](double gain) {
        const auto table = clsgint::makeGainTable(gain);
        const auto plane = [&](const auto& p) { return kfPelMap(kfPelSample(p, 10, 10), table); };
        const kv3PlanePelBuffer sample(plane(image.plane0()), plane(image.plane1()),
                                       plane(image.plane2()));
        Result r;
        tool.run(sample, Params(1, false), r);
        std::vector<kvPelBuffer_const<double>> scores;
        for (std::size_t k = 0; k < internalOf(r).labelScores.size(); ++k)
            scores.push_back(internalOf(r).labelScores[k]);
        double sum = 0.0;
        for (long y = sample.window().top(); y < sample.window().bottom(); ++y)
            for (long x = sample.window().left(); x < sample.window().right(); ++x) {
                double m = scores[0].pointToPel(x, y)[0];
                for (const auto& s : scores) m = std::max(m, s.pointToPel(x, y)[0]);
                sum += m;
            }
        return sum;
    };
    double gain = 1.0, step = 0.5, best = objective(1.0);
    while (true) {
        const double low = objective(gain - step), high = objective(gain + step);
        if (low > best && low > high)
            gain -= step, best = low;
        else if (high > best && high > low)
            gain += step, best = high;
        else if ((step /= 2) <= 0.001)
            return gain;
    }
}

TEST(IntensityNormalization, SearchMatchesAPlainTranscription) {
    const auto half = clsgint::makeGainTable(0.5);
    EXPECT_EQ(half[1] + half[255] * 1000, 1 + 128 * 1000);  // 0.5 rounds away from zero
    EXPECT_EQ(clsgint::makeGainTable(2.0)[200] + clsgint::makeGainTable(-0.5)[100], 255);
    const auto tool = threeLabelTool();
    const kvPelRect w(-13, 4, 93, 71);
    const auto base = noisyImage(w, 3);
    const auto img = makeImage(w, [&](long x, long y) {  // sampled pels far from 1, others less
        const long dx = x - w.left(), dy = y - w.top();
        const double f =
            dx % 10 || dy % 10 ? 1 / 1.2 : 1 / (1.9 + 0.1 * ((dx / 10 + dy / 10 * 3) % 6));
        auto at = [&](const auto& p) {
            return static_cast<unsigned char>(*p.pointToPel(x, y) * f + 0.5);
        };
        return Rgb{at(base.plane0()), at(base.plane1()), at(base.plane2())};
    });
    const double expected = plainGainSearch(tool, img);
    EXPECT_NE(expected, 1.0);
    EXPECT_EQ(clsgint::searchIntensityGain(clsgint::toolModel(tool), Params(5, true), img),
              expected);
    // The same from the subsample alone, as callers that cannot hold the image give it.
    const kv3PlanePelBuffer sample(kfPelSample(img.plane0(), 10, 10),
                                   kfPelSample(img.plane1(), 10, 10),
                                   kfPelSample(img.plane2(), 10, 10), kvColorSpaceRGB);
    EXPECT_EQ(kfSearchIntensityGainOnSample(tool, sample), expected);
    EXPECT_EQ(kfSearchIntensityGain(tool, img), expected);
    // The run scores the whole image mapped with that gain.
    Result normalized;
    tool.run(img, Params(5, true), normalized);
    const auto mapped = clsgint::mapPlanes(img, clsgint::makeGainTable(expected));
    EXPECT_TRUE(kfPelEqual(internalOf(normalized).image.plane2(), mapped.plane2()));

    // Plateaus of all-black / all-white gains, and two greys matched equally by 0.5 and 1.5.
    const auto blackWhite = trainedOn({{0, 0, 0}, {255, 255, 255}}, {0.1, 12});
    const auto twoGreys = trainedOn({{50, 50, 50}, {150, 150, 150}}, {0.1, 300});
    const std::pair<const kvCompositeColorSegmenterTool*, Rgb> cases[] = {
        {&blackWhite, {16, 16, 16}}, {&blackWhite, {180, 200, 190}}, {&twoGreys, {100, 100, 100}}};
    for (const auto& [t, c] : cases) {
        const auto img = uniformImage(w, c);
        EXPECT_EQ(clsgint::searchIntensityGain(clsgint::toolModel(*t), Params(1, true), img),
                  plainGainSearch(*t, img));
    }
}

// A result whose labels score the given values at the single pixel (4, -2).
Result resultWithScores(const std::vector<double>& scores) {
    Result result;
    auto& in = internalOf(result);
    for (double s : scores)
        in.labelScores.held.emplace_back(kvPelRect(4, -2, 1, 1)),
            kfPelSet(in.labelScores.held.back(), s);
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
    EXPECT_THROW(Result().segmentationImage(0), Defs::BadParams);
    EXPECT_THROW(resultWithScores({1, 2, 3}).segmentationImage(3), Defs::BadParams);
}

TEST(ResultImages, ScoreImageAtNeighbourhoodOne) {
    Result result;  // over a window at negative coordinates
    threeLabelTool().run(noisyImage(kvPelRect(-9, -5, 30, 20), 5), Params(1), result);
    const auto& in = internalOf(result);
    const auto score = result.scoreImage(), label = result.labelImage();
    const double f2 = in.colorToleranceFrac * in.colorToleranceFrac;
    int wins[256] = {};
    for (long y = -5; y < 15; ++y)
        for (long x = -9; x < 21; ++x) {
            double best = 0.0;
            for (std::size_t k = 0; k < in.labelScores.size(); ++k)
                best = std::max(best, in.labelScores[k].pointToPel(x, y)[0]);
            ++wins[label.pointToPel(x, y)[0]];
            ASSERT_EQ(score.pointToPel(x, y)[0],
                      kfILimit(iRound(static_cast<float>(best / f2 * 255.0)), 0, 255))
                << x << "," << y;
        }
    EXPECT_TRUE(wins[0] > 0 && wins[1] > 0 && wins[2] > 0);  // each label wins somewhere
}

// An aborted image build leaves its cache unbound, so the next request builds it whole.
TEST(ResultImages, AnAbortedBuildLeavesNothingHalfBuilt) {
    Result run;
    threeLabelTool().run(noisyImage(kvPelRect(0, 0, 700, 700), 5), Params(5), run);
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
        for (std::size_t k = 0; k < in.labelScores.size(); ++k)
            scores.push_back(kfPelCopy(in.labelScores[k]));
    }
    bool operator==(const Snapshot& o) const {
        const auto eq = [](const auto& p, const auto& q) { return kfPelEqual(p, q); };
        return std::equal(images.begin(), images.end(), o.images.begin(), o.images.end(), eq) &&
               std::equal(scores.begin(), scores.end(), o.scores.begin(), o.scores.end(), eq);
    }
};

TEST(ResultReuse, RunsIntoOneResultMatchFreshRunsAndNeverWriteWhatOthersHold) {
    const auto tool = threeLabelTool();
    const Params params(4);
    Result reused;
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        const kvPelRect w(-3, 2, 41 - seed % 2, 23);
        tool.run(noisyImage(w, seed), params, reused);
        Result fresh;
        tool.run(noisyImage(w, seed), params, fresh);
        EXPECT_TRUE(Snapshot(reused) == Snapshot(fresh));
    }
    // Images and copies a caller holds are never overwritten.
    const kvPelBuffer_const<unsigned char> label = reused.labelImage(), score = reused.scoreImage();
    const auto labelBefore = kfPelCopy(label), scoreBefore = kfPelCopy(score);
    Result copy(reused);
    const Snapshot copyBefore(copy);
    for (uint32_t seed : {6, 7, 8}) {
        tool.run(noisyImage(kvPelRect(-3, 2, 40, 23), seed), params, reused);
        EXPECT_NE(reused.labelImage().pointToRow(2), label.pointToRow(2));
    }
    EXPECT_TRUE(kfPelEqual(label, labelBefore) && kfPelEqual(score, scoreBefore));
    EXPECT_TRUE(Snapshot(copy) == copyBefore);
}

// A frame of the same window goes into the planes of the previous one when nobody else holds
// them: a steady stream of frames allocates no new image.
TEST(ResultReuse, ARunIntoAResultNobodyElseHoldsCopiesTheImageIntoItsPlanes) {
    const auto tool = threeLabelTool();
    const Params params(3);
    const kvPelRect w(5, -4, 37, 19);
    Result reused, fresh;
    tool.run(noisyImage(w, 1), params, reused);
    const auto& in = internalOf(reused);
    const unsigned char* rows[] = {in.image.plane0().pointToRow(0), in.image.plane1().pointToRow(0),
                                   in.image.plane2().pointToRow(0)};
    tool.run(noisyImage(w, 2), params, reused);
    EXPECT_TRUE(in.image.plane0().pointToRow(0) == rows[0] &&
                in.image.plane1().pointToRow(0) == rows[1] &&
                in.image.plane2().pointToRow(0) == rows[2]);
    tool.run(noisyImage(w, 2), params, fresh);
    EXPECT_TRUE(Snapshot(reused) == Snapshot(fresh));
    // A window of a larger picture: its rows lie further apart than the result's.
    const kv3PlanePelBuffer big = noisyImage(kvPelRect(2, -6, 70, 25), 3);
    kvPelBuffer<unsigned char> view[] = {big.plane0(), big.plane1(), big.plane2()};
    for (auto& plane : view) plane.window(w, false);
    tool.run(kv3PlanePelBuffer(view[0], view[1], view[2]), params, reused);
    Result compact;
    tool.run(kv3PlanePelBuffer(kfPelCopy(view[0]), kfPelCopy(view[1]), kfPelCopy(view[2])), params,
             compact);
    EXPECT_TRUE(Snapshot(reused) == Snapshot(compact));
}

TEST(ResultReuse, AnAbortedRunIntoAReusedResultLeavesItAsItWas) {
    const auto tool = threeLabelTool();
    const kvPelRect w(0, 0, 300, 300);
    const kv3PlanePelBuffer frames[] = {noisyImage(w, 1), noisyImage(w, 2)};
    const Params params(7);
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

// Noisy colours at 3/4 brightness, so that normalisation finds a gain other than 1.
kv3PlanePelBuffer dimmed(const kvPelRect& w) {
    return clsgint::mapPlanes(noisyImage(w, 7), clsgint::makeGainTable(0.75));
}

TEST(TiledRun, MatchesTheWholeImageRun) {
    const auto tool = threeLabelTool();
    const kvPelRect imageWindow(-7, 5, 53, 41);
    const kv3PlanePelBuffer image = dimmed(imageWindow);
    for (int32_t n = 1; n <= 9; ++n)
        for (bool normalize : {false, true}) {
            Result whole;
            tool.run(image, Params(n, normalize), whole);
            // Threads 1-4; bands of 1-3 rows (below the halo), automatic or of more rows
            // than any image has; sub-windows.
            for (unsigned threads = 1; threads <= 4; ++threads) {
                clsg::TiledOptions options;
                options.threads = threads;
                options.bandRows = n == 9 ? std::numeric_limits<long>::max() : (n + threads) % 4;
                if (threads % 2 == 0) options.window = kvPelRect(-3 + n, 9, 31 - n, 17 + n);
                const kvPelRect w = options.window.isEmpty() ? imageWindow : options.window;
                SCOPED_TRACE(::testing::Message()
                             << "N " << n << " " << normalize << " " << threads);
                const clsg::TiledImages tiled = clsg::tiledRun(
                    tool, image, Params(n, normalize), {true, true, true, {0, 1, 2}}, options);
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
    const kv3PlanePelBuffer image = dimmed(kvPelRect(0, 0, 20, 50));
    kvCompositeColorSegmenterResult plain;
    tool.run(image, Params(3), plain);
    for (unsigned threads : {1u, 3u}) {
        clsg::TiledOptions options;
        options.threads = threads;
        options.bandRows = 10;
        std::vector<long> seen;
        options.progress = [&](long done, long total) { return seen.push_back(done), total == 50; };
        options.gain = 1.0;  // instead of a search
        const clsg::TiledImages given = clsg::tiledRun(tool, image, Params(3, true), {}, options);
        EXPECT_TRUE(given.gain == 1.0 && kfPelEqual(given.label, plain.labelImage()));
        EXPECT_TRUE(!seen.empty() && seen.back() == 50 && std::is_sorted(seen.begin(), seen.end()));
        // A callback that says stop: no more bands start.
        std::atomic<int> calls{0};
        options.progress = [&](long, long) { return ++calls > 1; };
        EXPECT_THROW(clsg::tiledRun(tool, image, {}, {}, options), kvAbortRequested);
        EXPECT_EQ(calls, 1);
    }
    clsg::TiledOptions outside;
    outside.window = kvPelRect(15, 5, 6, 2);
    EXPECT_THROW(clsg::tiledRun(tool, image, {}, {}, outside), Defs::BadImage);
    EXPECT_THROW(clsg::tiledRun(tool, image, {}, {true, false, false, {3}}), Defs::BadParams);
    clsg::TiledOptions negative;
    negative.bandRows = -5;
    EXPECT_THROW(clsg::tiledRun(tool, image, {}, {}, negative), Defs::BadParams);
    for (const double gain : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {  // not a search, nor all black
        clsg::TiledOptions odd;
        odd.gain = gain;
        EXPECT_THROW(clsg::tiledRun(tool, image, Params(3, true), {}, odd), Defs::BadParams);
    }
}

// Threads the system will not start leave their bands to those that did, or
// to the caller's thread: the image failed with "Resource temporarily
// unavailable".
TEST(TiledRun, BandsWithoutAThreadOfTheirOwnRunOnThoseThatStarted) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit leaves";
#endif
    const auto tool = threeLabelTool();
    const kv3PlanePelBuffer image = noisyImage(kvPelRect(0, 0, 9, 300), 5);
    Result whole;
    tool.run(image, Params(3), whole);
    clsg::TiledOptions many;
    many.threads = 300;  // a band of one row each, far more threads than the limit allows
    many.bandRows = 1;
    for (int spare : {0, 3})
        EXPECT_EQ(withFewThreads(spare,
                                 [&] {
                                     const clsg::TiledImages tiled = clsg::tiledRun(
                                         tool, image, Params(3), {true, true, false, {}}, many);
                                     return kfPelEqual(tiled.label, whole.labelImage()) &&
                                            kfPelEqual(tiled.confidence, whole.confidenceImage());
                                 }),
                  0)
            << spare;
}

}  // namespace
