// Running a trained tool: image checks, the run's effect on the result, the
// brightness search, transforms, aborts and the diagnostic records of a run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

TEST(IntensityNormalization, FindsTheGainOfADarkenedImage) {
    const auto tool = twoLabelTool();
    // The trained colours at 80 % brightness.
    const kvPelRect w(0, 0, 60, 60);
    const auto dark = makeImage(w, [](long x, long) {
        return x < 30 ? Rgb{160, 32, 24} : Rgb{32, 48, 168};
    });
    kvCompositeColorSegmenterResult plain, normalized;
    tool.run(dark, kvCompositeColorSegmenterRunParams(1, false), plain);
    tool.run(dark, kvCompositeColorSegmenterRunParams(1, true), normalized);
    const double gain = clsgint::searchIntensityGain(clsgint::toolModel(tool),
                                                     kvCompositeColorSegmenterRunParams(1), dark);
    EXPECT_NEAR(gain, 1.25, 0.02);
    const auto& img = internalOf(normalized).image;
    EXPECT_NEAR(img.plane0().pointToPel(0, 0)[0], 200, 2);
    EXPECT_GT(internalOf(normalized).labelScores[0].pointToPel(0, 0)[0],
              internalOf(plain).labelScores[0].pointToPel(0, 0)[0]);
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

    kvDiagObject none;
    tool.run(halfAndHalf(kvPelRect(0, 0, 6, 4)), {}, result, nullptr, 0x30000);
    EXPECT_EQ(none.size(), 0u);
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
