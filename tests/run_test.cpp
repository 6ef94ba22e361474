// Running a trained tool: image checks, the run's effect on the result, the
// brightness search, transforms, aborts and the diagnostic records of a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "abort_from_thread.h"
#include "clsg/clrsgint/color_model.h"
#include "clsg/clrsgint/intensity_normalization.h"
#include "clsg/clrsgint/internal_result.h"
#include "clsg/clrsgint/tool_model.h"
#include "clsg/clsg.h"
#include "test_images.h"

namespace {

using Defs = kvCompositeColorSegmenterDefs;

const kvCompositeColorSegmenterInternalResult& internalOf(
    const kvCompositeColorSegmenterResult& r) {
    return *static_cast<const kvCompositeColorSegmenterInternalResult*>(r.result());
}

// Two labels: reddish and bluish.
kvCompositeColorSegmenterTool twoLabelTool() {
    const kvPelRect w(0, 0, 8, 8);
    kvCompositeColorSegmenterTool tool;
    tool.train({kvCompositeColorSet({kvCompositeColor(uniformImage(w, {200, 40, 30}), noMask())}),
                kvCompositeColorSet({kvCompositeColor(uniformImage(w, {40, 60, 210}), noMask())})},
               kvCompositeColorSegmenterTrainParams());
    return tool;
}

kv3PlanePelBuffer halfAndHalf(const kvPelRect& w) {
    return makeImage(w, [&](long x, long) {
        return x < w.left() + w.width() / 2 ? Rgb{200, 40, 30} : Rgb{40, 60, 210};
    });
}

TEST(Run, ChecksTheImageBeforeAnythingElse) {
    kvCompositeColorSegmenterTool untrained;
    kvCompositeColorSegmenterResult result;
    kvDiagObject diag;
    EXPECT_THROW(untrained.run(kv3PlanePelBuffer(), {}, result, &diag, 0x30000),
                 kvPel::UnboundWindow);
    EXPECT_EQ(diag.size(), 0u);

    kv3PlanePelBuffer hsi = uniformImage(kvPelRect(0, 0, 2, 2), {1, 2, 3});
    hsi.colorSpace(kvColorSpaceHSI);
    try {
        untrained.run(hsi, {}, result, &diag, 0x30000);
        FAIL() << "no exception";
    } catch (const Defs::BadColorSpace& e) {
        EXPECT_STREQ(e.what(), "image's color space is not RGB");
    }
    EXPECT_EQ(diag.size(), 0u);
}

TEST(Run, AnUntrainedToolRecordsItsInputThenRefuses) {
    kvCompositeColorSegmenterTool untrained;
    for (bool normalize : {false, true}) {
        kvCompositeColorSegmenterResult result;
        kvDiagObject diag;
        EXPECT_THROW(untrained.run(uniformImage(kvPelRect(0, 0, 2, 2), {1, 2, 3}),
                                   kvCompositeColorSegmenterRunParams(7, normalize), result, &diag,
                                   kvCompositeColorSegmenterTool::kDiagInputs),
                     Defs::NotTrained);
        ASSERT_EQ(diag.size(), 1u);
        const auto& e = diag.record(0).entries();
        ASSERT_EQ(e.size(), 3u);
        EXPECT_EQ(e[0].kind, kvDiagRecord::Kind::ImageRGB);
        EXPECT_EQ(e[1].text, "Search Inputs: Image and Params");
        EXPECT_EQ(e[2].text, std::string("neighborhoodSize: 7\nnormalizeIntensity: ") +
                                 (normalize ? "true" : "false"));
        EXPECT_EQ(e[2].label, "Run Params");
        EXPECT_TRUE(result == kvCompositeColorSegmenterResult());
    }
}

TEST(Run, StoresTheRunInTheResult) {
    const auto tool = twoLabelTool();
    const kvPelRect w(-20, 7, 9, 5);
    const auto image = halfAndHalf(w);
    kvCompositeColorSegmenterResult result;
    tool.run(image, kvCompositeColorSegmenterRunParams(1), result);
    const auto& in = internalOf(result);
    ASSERT_EQ(in.labelScores.size(), 2u);
    EXPECT_EQ(in.labelScores[0].window(), w);
    EXPECT_EQ(in.image.window(), w);
    EXPECT_EQ(in.neighborhoodSize, 1);
    EXPECT_EQ(in.colorToleranceFrac, 0.1);
    EXPECT_EQ(in.colorToleranceMin, 2u);
    EXPECT_EQ(in.quantTable, clsgint::toolModel(tool).instanceModels[0].quantTable);
    EXPECT_EQ(in.levelStep, clsgint::toolModel(tool).levelStep);
    // The image is a copy, not a share of the caller's pels.
    EXPECT_NE(in.image.plane0().pointToRow(7), image.plane0().pointToRow(7));

    // With N = 1 each score is normFactor * weight^2 of the pixel's own cell.
    const auto& inst = clsgint::toolModel(tool).instanceModels[0];
    const auto& q = inst.quantTable;
    const std::size_t n = inst.levelCount;
    const double v = inst.weights[(q[200] * n + q[40]) * n + q[30]];
    EXPECT_EQ(in.labelScores[0].pointToPel(-20, 7)[0], v * v * inst.normFactor);
    EXPECT_GT(in.labelScores[0].pointToPel(-20, 7)[0], in.labelScores[1].pointToPel(-20, 7)[0]);
    EXPECT_EQ(result.labelImage().pointToPel(-20, 7)[0], 0);
    EXPECT_EQ(result.labelImage().pointToPel(-12, 11)[0], 1);
}

TEST(Run, AFailingRunLeavesThePreviousResult) {
    const auto tool = twoLabelTool();
    kvCompositeColorSegmenterResult result;
    tool.run(halfAndHalf(kvPelRect(0, 0, 6, 6)), {}, result);
    result.labelImage();
    const kvCompositeColorSegmenterResult before(result);

    kv3PlanePelBuffer noXform = halfAndHalf(kvPelRect(0, 0, 9, 9));
    noXform.imageFromClientXformBase(kv2XformHandle(), true);
    EXPECT_THROW(tool.run(noXform, {}, result), kvBadPointer);
    EXPECT_TRUE(result == before);
    EXPECT_TRUE(result.labelImage().isBound());

    kvCompositeColorSegmenterTool untrained;
    EXPECT_THROW(untrained.run(noXform, {}, result), Defs::NotTrained);
    EXPECT_TRUE(result == before);
}

TEST(Run, AnotherThreadCanAbortARun) {
    const auto tool = twoLabelTool();
    kvCompositeColorSegmenterResult result;
    tool.run(halfAndHalf(kvPelRect(0, 0, 6, 6)), {}, result);
    kvCompositeColorSegmenterResult before(result);

    const auto big = halfAndHalf(kvPelRect(0, 0, 600, 600));
    EXPECT_TRUE(abortedFromAnotherThread([&] {
        tool.run(big, kvCompositeColorSegmenterRunParams(9), result);
        before = result;  // only after a run that finished
    }));
    EXPECT_TRUE(result == before);
}

TEST(Run, EvenNeighbourhoodsShiftTheTransformByHalfAPel) {
    const auto tool = twoLabelTool();
    kv3PlanePelBuffer image = halfAndHalf(kvPelRect(0, 0, 6, 6));
    kvMatrix<2> m;
    m(0, 0) = 2.0;
    image.imageFromClientXformBase(kv2XformHandle(new kv2XformLinear(m, 3.0, -1.0)), true);

    kvCompositeColorSegmenterResult result;
    tool.run(image, kvCompositeColorSegmenterRunParams(5), result);
    EXPECT_EQ(internalOf(result).imageFromClientXform.get(),
              image.imageFromClientXformBase().get());
    EXPECT_EQ(result.labelImage().imageFromClientXformBase().get(),
              image.imageFromClientXformBase().get());

    tool.run(image, kvCompositeColorSegmenterRunParams(4), result);
    double x = 0, y = 0;
    internalOf(result).imageFromClientXform->map(1.0, 1.0, x, y);
    EXPECT_EQ(x, 2.0 * 1.0 + 3.0 + 0.5);
    EXPECT_EQ(y, 1.0 - 1.0 + 0.5);
}

TEST(Run, TinyImagesAndLargeNeighbourhoodsWork) {
    const auto tool = twoLabelTool();
    kvCompositeColorSegmenterResult result;
    for (const kvPelRect& w :
         {kvPelRect(5, 5, 1, 1), kvPelRect(-3, -9, 3, 2), kvPelRect(0, 0, 9, 1)})
        for (int n : {1, 2, 9, 30})
            for (bool normalize : {false, true}) {
                tool.run(halfAndHalf(w), kvCompositeColorSegmenterRunParams(n, normalize), result);
                EXPECT_EQ(result.labelImage().window(), w);
                EXPECT_TRUE(result.scoreImage().isBound());
                EXPECT_TRUE(result.confidenceImage().isBound());
                EXPECT_TRUE(result.segmentationImage(1).isBound());
            }
}

TEST(IntensityNormalization, GainTablesRoundAndClamp) {
    const auto identity = clsgint::makeGainTable(1.0);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(identity[i], i);
    const auto half = clsgint::makeGainTable(0.5);
    EXPECT_EQ(half[1], 1);  // 0.5 rounds away from zero
    EXPECT_EQ(half[3], 2);
    EXPECT_EQ(half[255], 128);
    EXPECT_EQ(clsgint::makeGainTable(2.0)[200], 255);
    EXPECT_EQ(clsgint::makeGainTable(-0.5)[100], 0);
}

// The gain search written out plainly. The sample is every tenth pixel of
// every tenth row, from the window's top-left corner. The objective is the
// sum, over the sample in row order, of each pixel's best label score in a
// run with neighbourhood 1. Each round moves to whichever of gain - step and
// gain + step is strictly better than both the other and the best so far, and
// halves the step only when neither is; it ends once the step is 0.001 or less.
double plainGainSearch(const kvCompositeColorSegmenterTool& tool, const kv3PlanePelBuffer& image) {
    const kvPelRect& w = image.window();
    const kvPelRect sw(w.left(), w.top(), (w.width() + 9) / 10, (w.height() + 9) / 10);
    auto objective = [&](double gain) {
        const auto table = clsgint::makeGainTable(gain);
        const auto sample = makeImage(sw, [&](long x, long y) {
            const long ix = w.left() + (x - w.left()) * 10, iy = w.top() + (y - w.top()) * 10;
            return Rgb{table[image.plane0().pointToPel(ix, iy)[0]],
                       table[image.plane1().pointToPel(ix, iy)[0]],
                       table[image.plane2().pointToPel(ix, iy)[0]]};
        });
        kvCompositeColorSegmenterResult r;
        tool.run(sample, kvCompositeColorSegmenterRunParams(1, false), r);
        const auto& scores = internalOf(r).labelScores;
        double sum = 0.0;
        for (long y = sw.top(); y < sw.bottom(); ++y)
            for (long x = sw.left(); x < sw.right(); ++x) {
                double m = scores[0].pointToPel(x, y)[0];
                for (const auto& s : scores) m = std::max(m, s.pointToPel(x, y)[0]);
                sum += m;
            }
        return sum;
    };
    double gain = 1.0, step = 0.5, best = objective(1.0);
    while (true) {
        const double low = objective(gain - step), high = objective(gain + step);
        if (low > best && low > high) {
            gain -= step;
            best = low;
        } else if (high > best && high > low) {
            gain += step;
            best = high;
        } else {
            step /= 2;
            if (step <= 0.001) return gain;
        }
    }
}

TEST(IntensityNormalization, SearchMatchesAPlainTranscription) {
    kvCompositeColorSegmenterTool tool;
    const kvPelRect tw(0, 0, 24, 24);
    tool.train({kvCompositeColorSet({kvCompositeColor(noisyImage(tw, 1), noMask())}),
                kvCompositeColorSet({kvCompositeColor(noisyImage(tw, 2), noMask())})},
               kvCompositeColorSegmenterTrainParams(0.05, 1));
    // Images whose pixel (x, y) is a trained colour at 1 / gain(sx, sy, sampled)
    // of its brightness; sx, sy count sampled columns and rows, and sampled
    // tells the pixels the search sees from the others.
    const kvPelRect w(-13, 4, 93, 71);
    const auto trained = noisyImage(kvPelRect(0, 0, 93, 71), 3);
    auto image = [&](const std::function<double(long, long, bool)>& gain) {
        return makeImage(w, [&](long x, long y) {
            const long dx = x - w.left(), dy = y - w.top();
            const double f = 1 / gain(dx / 10, dy / 10, dx % 10 == 0 && dy % 10 == 0);
            auto at = [&](const kvPelBuffer<unsigned char>& p) {
                return static_cast<unsigned char>(p.pointToPel(dx, dy)[0] * f + 0.5);
            };
            return Rgb{at(trained.plane0()), at(trained.plane1()), at(trained.plane2())};
        });
    };
    const kv3PlanePelBuffer images[] = {
        // Far from 1, so the search moves several times with one step and
        // halves below 0.1; the pixels it does not sample are brighter.
        image([](long sx, long sy, bool sampled) {
            return sampled ? 1.9 + 0.1 * ((sx + 3 * sy) % 6) : 1.2;
        }),
        // A block that wins with neighbourhoods, scattered pixels without.
        image([](long sx, long sy, bool) {
            if (sx < 4 && sy < 4) return 1.8;
            return (sx + sy) % 2 ? 1.37 : 9.0;
        }),
        // One brightness: plateaus, where only strict comparisons stay put.
        image([](long, long, bool) { return 1.3; }),
    };
    for (const auto& img : images) {
        const double expected = plainGainSearch(tool, img);
        for (long n : {1L, 5L}) {
            EXPECT_EQ(
                clsgint::searchIntensityGain(clsgint::toolModel(tool),
                                             kvCompositeColorSegmenterRunParams(n, true), img),
                expected)
                << "neighbourhood " << n;
        }
        // The run scores the whole image mapped with that gain.
        kvCompositeColorSegmenterResult normalized;
        tool.run(img, kvCompositeColorSegmenterRunParams(5, true), normalized);
        const auto mapped = clsgint::mapPlanes(img, clsgint::makeGainTable(expected));
        EXPECT_TRUE(kfPelEqual(internalOf(normalized).image.plane2(), mapped.plane2()));
    }

    // Black and white: a dark image moves down twice with one step and then
    // sits on gains that all give black; a light one reaches gains that all
    // give white, where moving further up is no gain.
    kvCompositeColorSegmenterTool blackWhite;
    blackWhite.train(
        {kvCompositeColorSet({kvCompositeColor(uniformImage(tw, {0, 0, 0}), noMask())}),
         kvCompositeColorSet({kvCompositeColor(uniformImage(tw, {255, 255, 255}), noMask())})},
        kvCompositeColorSegmenterTrainParams(0.1, 12));
    for (const Rgb c : {Rgb{16, 16, 16}, Rgb{180, 200, 190}}) {
        const auto img = uniformImage(w, c);
        const double expected = plainGainSearch(blackWhite, img);
        EXPECT_EQ(clsgint::searchIntensityGain(clsgint::toolModel(blackWhite),
                                               kvCompositeColorSegmenterRunParams(1, true), img),
                  expected);
    }

    // Two labels that a gain of 0.5 and of 1.5 match equally well: no move.
    kvCompositeColorSegmenterTool twoGreys;
    twoGreys.train(
        {kvCompositeColorSet({kvCompositeColor(uniformImage(tw, {50, 50, 50}), noMask())}),
         kvCompositeColorSet({kvCompositeColor(uniformImage(tw, {150, 150, 150}), noMask())})},
        kvCompositeColorSegmenterTrainParams(0.1, 300));
    const auto grey = uniformImage(w, {100, 100, 100});
    const double expected = plainGainSearch(twoGreys, grey);
    EXPECT_EQ(clsgint::searchIntensityGain(clsgint::toolModel(twoGreys),
                                           kvCompositeColorSegmenterRunParams(1, true), grey),
              expected);
}

TEST(IntensityNormalization, KeepsAnImageNoGainImproves) {
    const auto tool = twoLabelTool();
    const auto image = halfAndHalf(kvPelRect(3, 3, 40, 20));
    kvCompositeColorSegmenterResult result;
    tool.run(image, kvCompositeColorSegmenterRunParams(3, true), result);
    EXPECT_TRUE(kfPelEqual(internalOf(result).image.plane0(), image.plane0()));
    EXPECT_TRUE(kfPelEqual(internalOf(result).image.plane2(), image.plane2()));
}

TEST(RunDiagnostics, OutputRecordsFollowASuccessfulRun) {
    const auto tool = twoLabelTool();
    kvCompositeColorSegmenterResult result;
    kvDiagObject diag;
    tool.run(halfAndHalf(kvPelRect(0, 0, 6, 4)), {}, result, &diag,
             kvCompositeColorSegmenterTool::kDiagOutputs);
    ASSERT_EQ(diag.size(), 2u + 3u);
    EXPECT_EQ(diag.record(0).entries()[1].text, "Output: Label image");
    EXPECT_EQ(diag.record(1).entries()[1].text, "Output: Score image");
    EXPECT_EQ(diag.record(2).entries()[1].text, "Output: Segmentation image 0");
    EXPECT_EQ(diag.record(3).entries()[1].text, "Output: Segmentation image 1");
    EXPECT_EQ(diag.record(4).entries()[1].text, "Output: Label image (mapped)");
    const auto& mapped = diag.record(4).entries()[0].image8;
    EXPECT_EQ(mapped.pointToPel(0, 0)[0], 85);
    EXPECT_EQ(mapped.pointToPel(5, 0)[0], 170);
    // The records asked for the images, so the caches are already built.
    const auto& in = internalOf(result);
    EXPECT_TRUE(in.labelImage.isBound() && in.scoreImage.isBound() && in.scoreSum.isBound());

    // No record without its flag; a null object with flags is a plain run.
    kvDiagObject none;
    tool.run(halfAndHalf(kvPelRect(0, 0, 6, 4)), {}, result, &none, ~0x30000ul);
    EXPECT_EQ(none.size(), 0u);
    kvCompositeColorSegmenterResult plain;
    tool.run(halfAndHalf(kvPelRect(0, 0, 6, 5)), {}, result, nullptr, 0x30000);
    tool.run(halfAndHalf(kvPelRect(0, 0, 6, 5)), {}, plain);
    EXPECT_TRUE(result == plain);
}

TEST(RunDiagnostics, UnlabelledPixelsAreZeroInTheMappedLabelImage) {
    const auto tool = twoLabelTool();
    kvCompositeColorSegmenterResult result;
    kvDiagObject diag;
    const auto image = makeImage(kvPelRect(0, 0, 4, 1), [](long x, long) {
        return x == 0 ? Rgb{200, 40, 30} : Rgb{120, 250, 120};  // green was never taught
    });
    tool.run(image, kvCompositeColorSegmenterRunParams(1), result, &diag, 0x20000);
    EXPECT_EQ(result.labelImage().pointToPel(3, 0)[0], 255);
    const auto& mapped = diag.record(diag.size() - 1).entries()[0].image8;
    EXPECT_EQ(mapped.pointToPel(0, 0)[0], 85);
    EXPECT_EQ(mapped.pointToPel(3, 0)[0], 0);
}

TEST(Run, CopiesOfToolsAndResultsAreIndependent) {
    kvCompositeColorSegmenterResult source, assigned;
    {
        const auto original = std::make_unique<kvCompositeColorSegmenterTool>(twoLabelTool());
        kvCompositeColorSegmenterTool copy(*original);
        original->run(halfAndHalf(kvPelRect(0, 0, 6, 6)), {}, source);
        assigned = source;
        assigned = assigned;
        kvCompositeColorSegmenterTool survivor(copy);
        const_cast<std::unique_ptr<kvCompositeColorSegmenterTool>&>(original).reset();
        survivor.run(halfAndHalf(kvPelRect(0, 0, 12, 3)), {}, source);
    }
    EXPECT_EQ(internalOf(assigned).labelScores[0].window(), kvPelRect(0, 0, 6, 6));
    EXPECT_EQ(internalOf(source).labelScores[0].window(), kvPelRect(0, 0, 12, 3));
    EXPECT_FALSE(source == assigned);
}

TEST(Run, ANewRunDropsTheImagesBuiltFromThePreviousOne) {
    const auto tool = twoLabelTool();
    kvCompositeColorSegmenterResult result;
    tool.run(halfAndHalf(kvPelRect(0, 0, 6, 6)), {}, result);
    result.scoreImage();
    result.confidenceImage();
    result.segmentationImage(0);
    tool.run(halfAndHalf(kvPelRect(0, 0, 6, 6)), {}, result);
    const auto& in = internalOf(result);
    EXPECT_FALSE(in.labelImage.isBound() || in.scoreImage.isBound() ||
                 in.confidenceImage.isBound() || in.scoreSum.isBound());
}

}  // namespace

namespace {

TEST(Run, RefusesEmptyImagesAndOversizedNeighbourhoods) {
    const auto tool = twoLabelTool();
    kvCompositeColorSegmenterResult result;
    tool.run(halfAndHalf(kvPelRect(0, 0, 4, 4)), {}, result);
    const kvCompositeColorSegmenterResult before(result);
    EXPECT_THROW(tool.run(kv3PlanePelBuffer(kvPelRect(0, 0, 0, 2000000000)), {}, result),
                 Defs::BadImage);
    EXPECT_THROW(tool.run(halfAndHalf(kvPelRect(0, 0, 4, 4)),
                          kvCompositeColorSegmenterRunParams(256), result),
                 Defs::BadParams);
    EXPECT_TRUE(result == before);
    // The largest size runs, scores and builds its score image.
    tool.run(halfAndHalf(kvPelRect(0, 0, 3, 2)), kvCompositeColorSegmenterRunParams(255), result);
    EXPECT_TRUE(result.scoreImage().isBound());
}

}  // namespace
