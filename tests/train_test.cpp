// Training through the tool: validation, resets, aliasing, the model, copies and aborts.
#include <gtest/gtest.h>

#include "abort_from_thread.h"
#include "clsg/clrsgint/tool_model.h"
#include "clsg/clsg.h"
#include "test_images.h"

namespace {

using Defs = kvCompositeColorSegmenterDefs;
using Tool = kvCompositeColorSegmenterTool;
using TrainParams = kvCompositeColorSegmenterTrainParams;

kvCompositeColorSet setOf(const kv3PlanePelBuffer& image,
                          kvPelBuffer_const<unsigned char> mask = noMask()) {
    return kvCompositeColorSet({kvCompositeColor(image, mask)});
}

const kvCompositeColorSegmenterModel& modelOf(const Tool& tool) { return clsgint::toolModel(tool); }

void expectUntrained(const Tool& tool) {
    EXPECT_TRUE(!tool.isTrained() && tool == Tool() &&
                modelOf(tool) == kvCompositeColorSegmenterModel());
    EXPECT_THROW(tool.trainParams(), Defs::NotTrained);
    EXPECT_THROW(tool.compositeColors(), Defs::NotTrained);
}

TEST(Train, ValidatesTheSetsInOrderAndAFailureOrAbortLeavesAnUntrainedTool) {
    Tool tool;
    const TrainParams p;
    const auto img = uniformImage(kvPelRect(0, 0, 2, 2), {10, 20, 30});
    tool.train({setOf(img)}, p);
    EXPECT_EQ(messageOf<Defs::BadParams>([&] { tool.train({}, p); }), "(!compositeColors.size())");
    expectUntrained(tool);
    // More than 254 labels is refused before building set 0, whose mask selects nothing.
    std::vector<kvCompositeColorSet> tooMany(255, setOf(img));
    kvPelBuffer<unsigned char> mask = makeMask(img.window(), [](long, long) { return true; });
    tooMany[0] = setOf(img, mask);
    kfPelSet(mask, 0);
    EXPECT_THROW(tool.train(tooMany, p), Defs::TooManyCompositeColors);
    std::vector<kvCompositeColorSet> bad(2);  // set 0 lacks images, set 1 examples: 0 is reported
    bad[0] = kvCompositeColorSet({kvCompositeColor()});
    EXPECT_EQ(messageOf<Defs::BadParams>([&] { tool.train(bad, p); }),
              "(!compositeColors[i].instances().images().size())");
    // An empty window passes validation, but the build refuses it.
    kvCompositeColor example(img, noMask());
    example.add(kv3PlanePelBuffer(kvPelRect(0, 0, 0, 3)), noMask());
    tool.train({setOf(img)}, p);
    EXPECT_THROW(tool.train({kvCompositeColorSet({example})}, p), Defs::BadImage);
    expectUntrained(tool);
    const auto big = noisyImage(kvPelRect(0, -300, 400, 400), 9);  // an abort is a failure too
    EXPECT_TRUE(abortedFromAnotherThread([&] { tool.train({setOf(big)}, TrainParams(0.3, 2)); }));
    expectUntrained(tool);

    tool.train(std::vector<kvCompositeColorSet>(254, setOf(img)), TrainParams(1.0, 2));
    EXPECT_EQ(modelOf(tool).instanceModels.size(), 254u);
}

TEST(Train, RetrainsFromItsOwnSetsAndParametersPairingMasksByCoordinates) {
    const auto grey = uniformImage(kvPelRect(0, 0, 3, 3), {100, 100, 100});
    const auto teal = uniformImage(kvPelRect(0, 0, 2, 2), {20, 150, 160});
    const TrainParams second(0.3, 5);
    Tool tool, expected;
    tool.train({setOf(grey), setOf(teal)}, TrainParams(0.5, 7));
    tool.train(tool.compositeColors(), second);
    expected.train({setOf(grey), setOf(teal)}, second);
    EXPECT_TRUE(tool == expected && modelOf(tool) == modelOf(expected));
    tool.train({setOf(teal)}, tool.trainParams());
    expected.train({setOf(teal)}, second);
    EXPECT_TRUE(tool == expected && modelOf(tool) == modelOf(expected));

    const auto img = noisyImage(kvPelRect(10, -4, 12, 6), 4);  // masks pair with it by place
    auto care = [](long x, long y) { return (x + y) % 3 == 0; };
    tool.train({setOf(img, makeMask(kvPelRect(13, -6, 20, 9), care))}, TrainParams());
    expected.train({setOf(img, makeMask(kvPelRect(13, -4, 9, 6), care))}, TrainParams());
    EXPECT_TRUE(modelOf(tool) == modelOf(expected));
}

TEST(Train, InstancesAreKeptInSetMajorOrderAndCopiesOwnTheirModel) {
    const kvPelRect w(0, 0, 6, 5);
    std::vector<kvCompositeColor> imgs;
    for (uint32_t s = 0; s < 4; ++s) imgs.emplace_back(noisyImage(w, s + 1), noMask());
    Tool tool;
    tool.train({kvCompositeColorSet({imgs[0], imgs[1], imgs[2]}), kvCompositeColorSet({imgs[3]})},
               TrainParams());
    EXPECT_EQ(modelOf(tool).instanceCounts, (std::vector<uint32_t>{3, 1}));
    ASSERT_EQ(modelOf(tool).instanceModels.size(), 4u);
    // The public size: every instance model's n^3 weights, 8 bytes each.
    const Tool::ModelSize size = tool.modelSize();
    const uint64_t n = modelOf(tool).instanceModels[0].levelCount;
    EXPECT_TRUE(size.instanceModels == 4 && size.levelsPerChannel == n && n > 1 &&
                size.weightBytes == 4 * n * n * n * 8 && size.tableBytes > 5 * 256)
        << size.levelsPerChannel << " " << size.weightBytes << " " << size.tableBytes;
    EXPECT_THROW(Tool().modelSize(), Defs::NotTrained);
    for (std::size_t i : {0, 3}) {
        Tool single;
        single.train({kvCompositeColorSet({imgs[i]})}, TrainParams());
        EXPECT_TRUE(modelOf(tool).instanceModels[i] == modelOf(single).instanceModels[0]) << i;
    }
    Tool copy(tool), assigned;
    const kvCompositeColorSegmenterModel before = modelOf(tool);
    tool.train({kvCompositeColorSet({imgs[0]})}, TrainParams(0.3, 2));
    assigned = copy;
    EXPECT_TRUE(modelOf(assigned) == before && !(copy == tool));
}

TEST(TrainDiagnostics, RecordsParametersThenEveryImageAndBoundMask) {
    const auto img = uniformImage(kvPelRect(0, 0, 3, 3), {5, 6, 7});
    kvCompositeColor example(img, makeMask(img.window(), [](long, long) { return true; }));
    example.add(img, noMask());
    kvDiagObject diag;
    Tool tool;
    tool.train({setOf(img), kvCompositeColorSet({kvCompositeColor(img, noMask()), example})},
               TrainParams(0.25, 9), &diag, Tool::kDiagInputs);
    ASSERT_EQ(diag.size(), 6u);
    EXPECT_EQ(modelOf(tool).instanceModels.size(), 3u);  // two images, one model
    const auto& params = diag.record(0).entries();
    EXPECT_EQ(params.at(0).text + params.at(2).text, "colorToleranceFrac:0.25colorToleranceMin:9");
    EXPECT_EQ(diag.record(4).entries()[1].text + diag.record(5).entries()[1].text,
              "Mask image : Label 1 instance 1 mask   0Input : Label 1 instance 1 image   1");

    kvDiagObject none;  // nothing after a failure or without the input bit
    EXPECT_THROW(tool.train({}, TrainParams(), &none, 0x10000), Defs::BadParams);
    tool.train({setOf(img)}, TrainParams(), &none, 0x20000);
    EXPECT_EQ(none.size(), 0u);
}

}  // namespace
