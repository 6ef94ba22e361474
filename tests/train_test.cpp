// Training through the tool: validation, resets, the model it builds, and
// the diagnostic records of training.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "abort_from_thread.h"
#include "clsg/clrsgint/color_model.h"
#include "clsg/clrsgint/tool_model.h"
#include "clsg/clsg.h"
#include "test_images.h"

namespace {

using Defs = kvCompositeColorSegmenterDefs;

kvCompositeColorSet setOf(const kv3PlanePelBuffer& image,
                          kvPelBuffer_const<unsigned char> mask = noMask()) {
    return kvCompositeColorSet({kvCompositeColor(image, mask)});
}

std::size_t cell(const kvCompositeColorInstanceModel& m, int l0, int l1, int l2) {
    return (static_cast<std::size_t>(l0) * m.levelCount + l1) * m.levelCount + l2;
}

template <class E>
std::string messageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "<no exception>";
}

TEST(Train, UntrainedToolRefusesItsAccessors) {
    kvCompositeColorSegmenterTool tool;
    EXPECT_FALSE(tool.isTrained());
    EXPECT_EQ(messageOf<Defs::NotTrained>([&] { tool.trainParams(); }), "");
    EXPECT_EQ(messageOf<Defs::NotTrained>([&] { tool.compositeColors(); }), "");
    EXPECT_TRUE(clsgint::toolModel(tool) == kvCompositeColorSegmenterModel());
    EXPECT_TRUE(tool == kvCompositeColorSegmenterTool());
}

TEST(Train, ValidatesTheSetsInOrder) {
    kvCompositeColorSegmenterTool tool;
    const kvCompositeColorSegmenterTrainParams p;
    EXPECT_EQ(messageOf<Defs::BadParams>([&] { tool.train({}, p); }), "(!compositeColors.size())");

    const auto img = uniformImage(kvPelRect(0, 0, 2, 2), {10, 20, 30});
    // Refused before any model is built: set 0 alone would fail to build (its
    // mask, shared with the example, selects nothing since add()).
    std::vector<kvCompositeColorSet> tooMany(255, setOf(img));
    kvPelBuffer<unsigned char> mask =
        makeMask(kvPelRect(0, 0, 2, 2), [](long, long) { return true; });
    tooMany[0] = kvCompositeColorSet({kvCompositeColor(img, mask)});
    kfPelSet(mask, 0);
    EXPECT_EQ(messageOf<Defs::TooManyCompositeColors>([&] { tool.train(tooMany, p); }),
              "(compositeColors.size() > 254)");

    // Set 0 has an example without images, set 1 no examples: set 0 is reported.
    std::vector<kvCompositeColorSet> sets{kvCompositeColorSet({kvCompositeColor()}),
                                          kvCompositeColorSet()};
    EXPECT_EQ(messageOf<Defs::BadParams>([&] { tool.train(sets, p); }),
              "(!compositeColors[i].instances().images().size())");
    sets = {setOf(img), kvCompositeColorSet()};
    EXPECT_EQ(messageOf<Defs::BadParams>([&] { tool.train(sets, p); }),
              "(!compositeColors[i].instances().size())");
}

TEST(Train, AcceptsTheMostLabels) {
    std::vector<kvCompositeColorSet> sets;
    for (int i = 0; i < 254; ++i)
        sets.push_back(
            setOf(uniformImage(kvPelRect(0, 0, 1, 1), {static_cast<unsigned char>(i), 0, 0})));
    kvCompositeColorSegmenterTool tool;
    tool.train(sets, kvCompositeColorSegmenterTrainParams(1.0, 2));
    EXPECT_EQ(clsgint::toolModel(tool).instanceCounts.size(), 254u);
    EXPECT_EQ(clsgint::toolModel(tool).instanceModels.size(), 254u);
}

TEST(Train, AFailedTrainLeavesAnUntrainedDefaultTool) {
    kvCompositeColorSegmenterTool tool;
    const auto img = uniformImage(kvPelRect(0, 0, 4, 4), {100, 100, 100});
    tool.train({setOf(img)}, kvCompositeColorSegmenterTrainParams(0.5, 7));
    ASSERT_TRUE(tool.isTrained());

    EXPECT_THROW(tool.train({}, kvCompositeColorSegmenterTrainParams()), Defs::BadParams);
    EXPECT_FALSE(tool.isTrained());
    EXPECT_TRUE(tool == kvCompositeColorSegmenterTool());
    EXPECT_TRUE(clsgint::toolModel(tool) == kvCompositeColorSegmenterModel());
}

TEST(Train, RetrainsFromItsOwnSetsAndParameters) {
    // The arguments alias the tool's own state, which a train resets.
    const auto grey = uniformImage(kvPelRect(0, 0, 3, 3), {100, 100, 100});
    const auto teal = uniformImage(kvPelRect(0, 0, 2, 2), {20, 150, 160});
    const kvCompositeColorSegmenterTrainParams first(0.5, 7), second(0.3, 5);
    kvCompositeColorSegmenterTool tool, expected;
    tool.train({setOf(grey), setOf(teal)}, first);

    tool.train(tool.compositeColors(), second);
    expected.train({setOf(grey), setOf(teal)}, second);
    EXPECT_TRUE(tool == expected);
    EXPECT_TRUE(clsgint::toolModel(tool) == clsgint::toolModel(expected));

    tool.train({setOf(teal)}, tool.trainParams());
    expected.train({setOf(teal)}, second);
    EXPECT_TRUE(tool == expected);
    EXPECT_TRUE(clsgint::toolModel(tool) == clsgint::toolModel(expected));
}

TEST(Train, AnImageWithoutSelectedPixelsFailsTheBuild) {
    // An empty window with no mask passes the example validation, but holds
    // no training pixel: the build refuses it with an empty message.
    const kv3PlanePelBuffer empty(kvPelRect(0, 0, 0, 3));
    kvCompositeColor example(uniformImage(kvPelRect(0, 0, 2, 2), {1, 2, 3}), noMask());
    example.add(empty, noMask());
    kvCompositeColorSegmenterTool tool;
    tool.train({setOf(uniformImage(kvPelRect(0, 0, 2, 2), {1, 2, 3}))},
               kvCompositeColorSegmenterTrainParams());
    EXPECT_EQ(messageOf<Defs::BadImage>([&] {
                  tool.train({kvCompositeColorSet({example})},
                             kvCompositeColorSegmenterTrainParams());
              }),
              "");
    EXPECT_FALSE(tool.isTrained());
    EXPECT_TRUE(tool == kvCompositeColorSegmenterTool());
    EXPECT_TRUE(clsgint::toolModel(tool) ==
                kvCompositeColorSegmenterModel());  // nothing half built
}

TEST(Train, ASinglePixelGivesItsWorkedWeights) {
    const auto img = uniformImage(kvPelRect(-7, 3, 5, 4), {100, 100, 100});
    const auto mask =
        makeMask(kvPelRect(-7, 3, 5, 4), [](long x, long y) { return x == -5 && y == 4; });
    kvCompositeColorSegmenterTool tool;
    tool.train({setOf(img, mask)}, kvCompositeColorSegmenterTrainParams(0.1, 2));
    const kvCompositeColorSegmenterModel& m = clsgint::toolModel(tool);
    ASSERT_EQ(m.instanceModels.size(), 1u);
    const kvCompositeColorInstanceModel& inst = m.instanceModels[0];
    EXPECT_EQ(inst.levelCount, 51u);
    EXPECT_EQ(m.levelStep, 5);
    EXPECT_EQ(inst.weights[cell(inst, 20, 20, 20)], 0.010000000000000002);
    EXPECT_EQ(inst.weights[cell(inst, 21, 20, 20)], 0.009599999988079073);
    EXPECT_EQ(inst.weights[cell(inst, 21, 21, 21)], 0.008799999964237215);
    EXPECT_EQ(inst.weights[cell(inst, 18, 18, 18)], 0.007299999785423276);
    EXPECT_EQ(inst.normFactor, 99.99999999999999);
    int touched = 0;
    for (double w : inst.weights) touched += w > 0.0;
    EXPECT_EQ(touched, 64);
}

TEST(Train, MaskAndImageArePairedByCoordinates) {
    // The mask's window starts 3 columns right of the image's: each image
    // pixel must be taken with the mask value at the same coordinates.
    const kvPelRect iw(10, -4, 12, 6);
    const auto img = makeImage(iw, [](long x, long y) {
        return Rgb{static_cast<unsigned char>(x * 17), static_cast<unsigned char>(y * 31 + 128),
                   static_cast<unsigned char>(x * y)};
    });
    auto care = [](long x, long y) { return (x + y) % 3 == 0; };
    const auto shifted = makeMask(kvPelRect(13, -6, 20, 9), care);
    const auto aligned = makeMask(kvPelRect(13, -4, 9, 6), care);

    kvCompositeColorSegmenterTool a, b;
    a.train({setOf(img, shifted)}, kvCompositeColorSegmenterTrainParams());
    b.train({setOf(img, aligned)}, kvCompositeColorSegmenterTrainParams());
    EXPECT_TRUE(clsgint::toolModel(a) == clsgint::toolModel(b));

    // And an unbound mask equals a full mask.
    const auto full = makeMask(iw, [](long, long) { return true; });
    a.train({setOf(img)}, kvCompositeColorSegmenterTrainParams());
    b.train({setOf(img, full)}, kvCompositeColorSegmenterTrainParams());
    EXPECT_TRUE(clsgint::toolModel(a) == clsgint::toolModel(b));
}

TEST(Train, InstancesAreKeptInSetMajorOrder) {
    const kvPelRect w(0, 0, 6, 5);
    std::vector<kv3PlanePelBuffer> imgs;
    for (uint32_t s = 0; s < 4; ++s) imgs.push_back(noisyImage(w, s + 1));
    std::vector<kvCompositeColorSet> sets{
        kvCompositeColorSet({kvCompositeColor(imgs[0], noMask()),
                             kvCompositeColor(imgs[1], noMask()),
                             kvCompositeColor(imgs[2], noMask())}),
        kvCompositeColorSet({kvCompositeColor(imgs[3], noMask())})};
    kvCompositeColorSegmenterTool tool;
    tool.train(sets, kvCompositeColorSegmenterTrainParams());
    EXPECT_EQ(clsgint::toolModel(tool).instanceCounts, (std::vector<uint32_t>{3, 1}));
    ASSERT_EQ(clsgint::toolModel(tool).instanceModels.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        kvCompositeColorSegmenterTool single;
        single.train({setOf(imgs[i])}, kvCompositeColorSegmenterTrainParams());
        EXPECT_TRUE(clsgint::toolModel(tool).instanceModels[i] ==
                    clsgint::toolModel(single).instanceModels[0])
            << i;
    }

    // Two images in one example make one instance model from both.
    kvCompositeColorSegmenterTool both;
    kvCompositeColor two(imgs[0], noMask());
    two.add(imgs[1], noMask());
    both.train({kvCompositeColorSet({two})}, kvCompositeColorSegmenterTrainParams());
    EXPECT_EQ(clsgint::toolModel(both).instanceModels.size(), 1u);
    EXPECT_FALSE(clsgint::toolModel(both).instanceModels[0] ==
                 clsgint::toolModel(tool).instanceModels[0]);
}

TEST(Train, CopiesOwnTheirModel) {
    kvCompositeColorSegmenterTool tool;
    tool.train({setOf(noisyImage(kvPelRect(0, 0, 8, 8), 3))},
               kvCompositeColorSegmenterTrainParams());
    kvCompositeColorSegmenterTool copy(tool);
    EXPECT_TRUE(copy == tool);
    EXPECT_TRUE(clsgint::toolModel(copy) == clsgint::toolModel(tool));
    const kvCompositeColorSegmenterModel before = clsgint::toolModel(copy);
    tool.train({setOf(noisyImage(kvPelRect(0, 0, 8, 8), 4))},
               kvCompositeColorSegmenterTrainParams(0.3, 2));
    EXPECT_TRUE(clsgint::toolModel(copy) == before);
    EXPECT_FALSE(copy == tool);

    kvCompositeColorSegmenterTool assigned;
    assigned = copy;
    assigned = assigned;  // self-assignment changes nothing
    EXPECT_TRUE(assigned == copy);
    EXPECT_TRUE(clsgint::toolModel(assigned) == before);

    kvCompositeColorSegmenterTool otherMin;
    otherMin.train(copy.compositeColors(), kvCompositeColorSegmenterTrainParams(0.1, 3));
    EXPECT_FALSE(otherMin == copy);
}

TEST(TrainDiagnostics, RecordsParametersThenEveryImageAndBoundMask) {
    const auto img = uniformImage(kvPelRect(0, 0, 3, 3), {5, 6, 7});
    const auto mask = makeMask(kvPelRect(0, 0, 3, 3), [](long, long) { return true; });
    kvCompositeColor example(img, mask);
    example.add(img, noMask());
    kvDiagObject diag;
    kvCompositeColorSegmenterTool tool;
    tool.train({setOf(img), kvCompositeColorSet({kvCompositeColor(img, noMask()), example})},
               kvCompositeColorSegmenterTrainParams(0.25, 9), &diag,
               kvCompositeColorSegmenterTool::kDiagInputs);

    ASSERT_EQ(diag.size(), 6u);
    const auto& params = diag.record(0).entries();
    ASSERT_EQ(params.size(), 4u);
    EXPECT_EQ(params[0].text, "colorToleranceFrac:0.25");
    EXPECT_EQ(params[0].label, "Train Params");
    EXPECT_EQ(params[1].text, "Train Params");
    EXPECT_EQ(params[2].text, "colorToleranceMin:9");
    EXPECT_EQ(params[3].kind, kvDiagRecord::Kind::Annotation);

    EXPECT_EQ(diag.record(1).entries()[0].kind, kvDiagRecord::Kind::ImageRGB);
    EXPECT_EQ(diag.record(1).entries()[1].text, "Input : Label 0 instance 0 image   0");
    EXPECT_EQ(diag.record(2).entries()[1].text, "Input : Label 1 instance 0 image   0");
    EXPECT_EQ(diag.record(3).entries()[1].text, "Input : Label 1 instance 1 image   0");
    EXPECT_EQ(diag.record(4).entries()[0].kind, kvDiagRecord::Kind::Image8);
    EXPECT_EQ(diag.record(4).entries()[1].text, "Mask image : Label 1 instance 1 mask   0");
    EXPECT_EQ(diag.record(5).entries()[1].text, "Input : Label 1 instance 1 image   1");
}

TEST(TrainDiagnostics, NothingIsRecordedWithoutAnObjectOrAfterAFailure) {
    const auto img = uniformImage(kvPelRect(0, 0, 3, 3), {5, 6, 7});
    kvCompositeColorSegmenterTool tool;
    tool.train({setOf(img)}, kvCompositeColorSegmenterTrainParams(), nullptr, 0x30000);
    EXPECT_TRUE(tool.isTrained());
    kvDiagObject diag;
    EXPECT_THROW(tool.train({}, kvCompositeColorSegmenterTrainParams(), &diag, 0x10000),
                 Defs::BadParams);
    EXPECT_EQ(diag.size(), 0u);
    tool.train({setOf(img)}, kvCompositeColorSegmenterTrainParams(), &diag, 0x20000);
    EXPECT_EQ(diag.size(), 0u);  // only the input bit asks for training records
}

TEST(Train, AnotherThreadCanAbortATrain) {
    const auto img = noisyImage(kvPelRect(0, -300, 400, 400), 9);
    kvCompositeColorSegmenterTool tool;
    EXPECT_TRUE(abortedFromAnotherThread(
        [&] { tool.train({setOf(img)}, kvCompositeColorSegmenterTrainParams(0.3, 2)); }));
    EXPECT_FALSE(tool.isTrained());
    EXPECT_TRUE(clsgint::toolModel(tool) == kvCompositeColorSegmenterModel());
}

}  // namespace

namespace {

// Train parameters as only an archive can hold them: the setter refuses
// fractions outside 0..1, the archive record does not.
kvCompositeColorSegmenterTrainParams storedParams(double fraction, uint32_t minimum) {
    std::stringstream bytes;
    kvArchive out(static_cast<std::ostream&>(bytes));
    unsigned char version = 1;
    out || version || fraction || minimum;
    bytes.seekg(0);
    kvArchive in(static_cast<std::istream&>(bytes));
    kvCompositeColorSegmenterTrainParams params;
    in || params;
    return params;
}

TEST(Train, FractionsOutsideTheRangeTrainThroughTheSameFormulas) {
    const auto img = uniformImage(kvPelRect(0, 0, 3, 3), {120, 30, 200});
    kvCompositeColorSegmenterTool tool;
    // 4.0: m = 1024, scale 8, nine levels of width 28.
    tool.train({setOf(img)}, storedParams(4.0, 2));
    EXPECT_EQ(clsgint::toolModel(tool).instanceModels[0].levelCount, 9u);
    EXPECT_EQ(clsgint::toolModel(tool).levelStep, 28);
    EXPECT_EQ(tool.trainParams().colorToleranceFrac(), 4.0);
    // 1016.017578125: scale 0, a single level whose width wraps to 0.
    tool.train({setOf(img)}, storedParams(1016.017578125, 2));
    EXPECT_EQ(clsgint::toolModel(tool).instanceModels[0].levelCount, 1u);
    EXPECT_EQ(clsgint::toolModel(tool).levelStep, 0);
    EXPECT_EQ(clsgint::toolModel(tool).levelCenterTable[0], 127);
}

TEST(Train, FractionsTrainingCannotConvertAreRefused) {
    for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e10})
        EXPECT_THROW(storedParams(bad, 2), Defs::BadParams) << bad;
}

}  // namespace
