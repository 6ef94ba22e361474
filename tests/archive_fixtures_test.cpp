// Archive files in tests/data/archive keep loading to the objects they were made from.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "archive_bytes.h"
#include "archive_fixture_recipes.h"
#include "clsg/clrsgint/internal_result.h"
#include "clsg/clrsgint/tool_model.h"
#include "clsg/colorseg/archive_operators.h"
#include "clsg/colorseg/errors.h"

namespace {

using Defs = kvCompositeColorSegmenterDefs;
using Result = kvCompositeColorSegmenterResult;
using Tool = kvCompositeColorSegmenterTool;

std::string readFixture(const std::string& name) {
    std::ifstream f(CLSG_TEST_DATA_DIR "/archive/" + name, std::ios::binary);
    EXPECT_TRUE(f.good()) << name;
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Loads the whole file; a current-version fixture also stores back to its very bytes.
template <class T>
T loadFixture(const std::string& name, bool rewritesSameBytes) {
    std::istringstream in(readFixture(name));
    kvArchive archive(in);
    T value;
    archive || value;
    EXPECT_EQ(archive.bytesLeft(), 0u) << name;
    EXPECT_TRUE(!rewritesSameBytes || storeToBytes(value) == readFixture(name)) << name;
    return value;
}

const kvCompositeColorSegmenterInternalResult& internalOf(const Result& r) {
    return *static_cast<const kvCompositeColorSegmenterInternalResult*>(r.result());
}

}  // namespace

TEST(ArchiveFixtures, ExamplesSetsParametersAndTools) {
    EXPECT_TRUE(loadFixture<kvCompositeColor>("example.arc", true) == fixture::example());
    auto v0 = loadFixture<kvCompositeColor>("example_v0.arc", false);
    EXPECT_TRUE(v0 == kvCompositeColor(fixture::image(), fixture::mask()));

    auto set = loadFixture<kvCompositeColorSet>("set.arc", true);
    ASSERT_EQ(set.instances().size(), 2u);
    EXPECT_TRUE(set.instances()[0] == fixture::example() && set.instances()[1].images().empty());

    using TrainParams = kvCompositeColorSegmenterTrainParams;
    EXPECT_TRUE(loadFixture<TrainParams>("train_params.arc", true) == fixture::trainParams());
    EXPECT_TRUE(loadFixture<TrainParams>("train_params_v0.arc", false) == TrainParams(0.5, 2));
    EXPECT_TRUE(loadFixture<kvCompositeColorSegmenterRunParams>("run_params.arc", true) ==
                fixture::runParams());
    auto tool = loadFixture<Tool>("tool_trained.arc", true);
    EXPECT_TRUE(tool.isTrained() &&
                clsgint::toolModel(tool) == clsgint::toolModel(fixture::tool()));
    EXPECT_TRUE(loadFixture<Tool>("tool_untrained.arc", false) == Tool());
}

TEST(ArchiveFixtures, Results) {
    auto result = loadFixture<Result>("result_run.arc", true);
    const Result expected = fixture::result();
    EXPECT_TRUE(result == expected);
    const auto &in = internalOf(result), &ex = internalOf(expected);
    EXPECT_TRUE(in.levelStep == ex.levelStep && in.toleranceTable == ex.toleranceTable);
    const auto a = result.confidenceImage(), b = expected.confidenceImage();
    EXPECT_TRUE(a.isBound() && a.window() == b.window() && kfPelEqual(a, b));
    EXPECT_FALSE(loadFixture<Result>("result_empty.arc", false).labelImage().isBound());
}

TEST(ArchiveFixtures, VersionZeroResult) {
    auto result = loadFixture<Result>("result_v0.arc", false);
    const auto& in = internalOf(result);
    EXPECT_TRUE(in.colorToleranceFrac == 0.25 && in.colorToleranceMin == 2u &&
                in.neighborhoodSize == 3 && in.levelStep == 1);
    EXPECT_EQ(in.quantTable, fixture::v0QuantTable());
    ASSERT_EQ(in.labelScores.size(), 2u);
    EXPECT_TRUE(kfPelEqual(in.labelScores[1], fixture::v0Scores(1)));
    // Label 1 wins column 0; column 1 ties, and the lower label keeps a tie.
    const auto labels = result.labelImage();
    EXPECT_TRUE(labels.pointToPel(0, 1)[0] == 1 && labels.pointToPel(1, 1)[0] == 0);
    double x = 0, y = 0;
    labels.imageFromClientXformBase()->map(1, 1, x, y);
    EXPECT_TRUE(x == 3.0 && y == -2.0);
}

TEST(ArchiveFixtures, ErrorObjects) {
    long number = 268472576;
    for (const char* file : {"bad_params", "not_trained", "bad_image", "too_many_composite_colors",
                             "bad_color_space"}) {
        std::istringstream in(readFixture(std::string("error_") + file + ".arc"));
        kvArchive archive(in);
        kvPersistent* object = nullptr;
        kvPersistent::serializePointer(archive, object);
        auto* error = dynamic_cast<Defs::Errors*>(object);
        ASSERT_NE(error, nullptr) << file;
        EXPECT_TRUE(error->errorNumber() == number++ && archive.bytesLeft() == 0u) << file;
        EXPECT_STREQ(error->what(), fixture::kErrorMessage);
    }
}
