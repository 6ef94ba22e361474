// The pieces of the command-line tool below its commands: --label parsing,
// rectangle masks, the overlay and label shares, all-or-nothing output.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "apps/cli_error.h"
#include "apps/label_option.h"
#include "apps/output_files.h"
#include "apps/overlay.h"
#include "apps/training_examples.h"
#include "png_fixture.h"

namespace {

namespace fs = std::filesystem;

std::string parseError(const std::string& text) {
    try {
        parseLabelOption(text);
    } catch (const CliError& e) {
        return e.what();
    }
    return "(parsed)";
}

TEST(LabelOption, ParsesImagesMasksAndRectangles) {
    const LabelOption s =
        parseLabelOption("sky=a.png,b.ppm:b-mask.png,c.png@1,2,3,4+-5,6,7,8,d.png");
    EXPECT_EQ(s.name, "sky");
    ASSERT_EQ(s.examples.size(), 4u);
    EXPECT_EQ(s.examples[0].image, "a.png");
    EXPECT_TRUE(s.examples[0].mask.empty());
    EXPECT_TRUE(s.examples[0].rects.empty());
    EXPECT_EQ(s.examples[1].image, "b.ppm");
    EXPECT_EQ(s.examples[1].mask, "b-mask.png");
    EXPECT_EQ(s.examples[2].image, "c.png");
    ASSERT_EQ(s.examples[2].rects.size(), 2u);
    EXPECT_EQ(s.examples[2].rects[0], kvPelRect(1, 2, 3, 4));
    EXPECT_EQ(s.examples[2].rects[1], kvPelRect(-5, 6, 7, 8));
    EXPECT_EQ(s.examples[3].image, "d.png");
    EXPECT_TRUE(s.examples[3].rects.empty());
}

TEST(LabelOption, RejectsMalformedArgumentsWithTheLabelNamed) {
    EXPECT_NE(parseError("sky").find("NAME=IMAGE"), std::string::npos);
    EXPECT_NE(parseError("sky=").find("no examples"), std::string::npos);
    EXPECT_NE(parseError("sky=a.png,").find("without an image"), std::string::npos);
    EXPECT_NE(parseError("sky=,a.png").find("without an image"), std::string::npos);
    EXPECT_NE(parseError("sky=a.png:").find("empty mask"), std::string::npos);
    EXPECT_NE(parseError("sky=a.png@1,2,3").find("expected"), std::string::npos);
    EXPECT_NE(parseError("sky=a.png@1,2,3,4x").find("expected"), std::string::npos);
    EXPECT_NE(parseError("sky=a.png@1,2,0,4").find("empty"), std::string::npos);
    EXPECT_NE(parseError("sky=a.png@1,2,3,999999999999").find("too large"), std::string::npos);
    EXPECT_NE(parseError("s k y=a.png").find("letters, digits"), std::string::npos);
    EXPECT_NE(parseError("=a.png").find("1 to 64"), std::string::npos);
    EXPECT_NE(parseError("sky=a.png@x").find("label sky"), std::string::npos);
}

TEST(TrainingExamples, RectangleMasksCoverExactlyTheRectangles) {
    const kv3PlanePelBuffer image(kvPelRect(0, 0, 6, 4));
    const kvPelBuffer<unsigned char> mask =
        rectangleMask(image, {kvPelRect(1, 0, 2, 2), kvPelRect(2, 1, 4, 3)}, "img");
    for (long y = 0; y < 4; ++y)
        for (long x = 0; x < 6; ++x) {
            const bool inside = (x >= 1 && x < 3 && y < 2) || (x >= 2 && y >= 1);
            EXPECT_EQ(*mask.pointToPel(x, y), inside ? 255 : 0) << x << "," << y;
        }
    for (const kvPelRect& r : {kvPelRect(-1, 0, 2, 2), kvPelRect(5, 0, 2, 1), kvPelRect(0, 3, 1, 2),
                               kvPelRect(0, 0, 7, 4)}) {
        try {
            rectangleMask(image, {r}, "img.png");
            ADD_FAILURE() << "accepted " << r.left() << "," << r.top();
        } catch (const CliError& e) {
            EXPECT_NE(std::string(e.what()).find("outside image img.png (6 x 4)"),
                      std::string::npos)
                << e.what();
        }
    }
}

TEST(TrainingExamples, ChecksMaskFilesAndReadsEachImageOnce) {
    clsgtest::ScratchDir dir;
    const kv3PlanePelBuffer image(kvPelRect(0, 0, 4, 2));
    int loads = 0;
    const ImageLoader load = [&](const std::string&) {
        ++loads;
        return image;
    };
    clsgtest::writeGreyPng(dir / "good.png", 4, 2, {0, 255, 255, 0, 0, 0, 0, 255});
    clsgtest::writeGreyPng(dir / "small.png", 3, 2, {255, 255, 255, 255, 255, 255});
    clsgtest::writeGreyPng(dir / "grey.png", 4, 2, {0, 255, 17, 0, 0, 0, 0, 255});
    clsgtest::writeGreyPng(dir / "none.png", 4, 2, std::vector<unsigned char>(8, 0));

    const std::vector<kvCompositeColorSet> sets = buildCompositeColors(
        {parseLabelOption("a=img:" + (dir / "good.png")), parseLabelOption("b=img,img@0,0,1,1")},
        load);
    EXPECT_EQ(loads, 1);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].instances().size(), 1u);
    EXPECT_EQ(sets[1].instances().size(), 2u);
    EXPECT_FALSE(sets[1].instances()[0].masks()[0].isBound());  // whole image

    const auto failure = [&](const std::string& option) -> std::string {
        try {
            buildCompositeColors({parseLabelOption(option)}, load);
        } catch (const CliError& e) {
            return e.what();
        }
        return "(built)";
    };
    EXPECT_NE(failure("a=img:" + (dir / "small.png")).find("is 3 x 2 but image img is 4 x 2"),
              std::string::npos);
    EXPECT_NE(failure("a=img:" + (dir / "grey.png")).find("value 17 at (2, 0)"), std::string::npos);
    EXPECT_NE(failure("a=img:" + (dir / "none.png")).find("selects no pixel"), std::string::npos);
}

TEST(Overlay, BlendsLabelColoursAndKeepsUnlabelledPixels) {
    kv3PlanePelBuffer image(kvPelRect(2, 3, 5, 1));
    kvPelBuffer<unsigned char> labels(image.window());
    const unsigned char values[5] = {0, 1, 255, 17, 0};
    for (long x = 0; x < 5; ++x) {
        image.plane0().pointToRow(3)[x] = static_cast<unsigned char>(x * 60);
        image.plane1().pointToRow(3)[x] = static_cast<unsigned char>(255 - x * 60);
        image.plane2().pointToRow(3)[x] = 7;
        labels.pointToRow(3)[x] = values[x];
    }
    const kv3PlanePelBuffer out = makeOverlay(image, labels);
    ASSERT_EQ(out.window(), image.window());
    const kvPelBuffer<unsigned char>* in[3] = {&image.plane0(), &image.plane1(), &image.plane2()};
    const kvPelBuffer<unsigned char>* res[3] = {&out.plane0(), &out.plane1(), &out.plane2()};
    for (long x = 0; x < 5; ++x)
        for (int p = 0; p < 3; ++p) {
            const int v = in[p]->pointToRow(3)[x];
            const int expected = values[x] == 255 ? v : (v + labelColor(values[x])[p] + 1) / 2;
            EXPECT_EQ(res[p]->pointToRow(3)[x], expected) << x << " plane " << p;
        }
    EXPECT_NE(labelColor(0), labelColor(1));

    // 0, 1 and 17 are labels of a 2-label tool only up to 1; 17 and 255 are unlabelled.
    EXPECT_EQ(labelCounts(labels, 2), (std::vector<uint64_t>{2, 1, 2}));
}

TEST(OutputFiles, RenamesOnCommitAndLeavesNothingWithout) {
    clsgtest::ScratchDir dir;
    const std::string out = dir / "a/b";
    {
        OutputFiles files;
        files.makeDir(out);
        std::ofstream(files.stage(out + "/x.txt")) << "x";
        EXPECT_FALSE(fs::exists(out + "/x.txt"));
    }
    EXPECT_FALSE(fs::exists(dir / "a")) << "created directories are removed";

    fs::create_directories(out);
    std::ofstream(out + "/keep.txt") << "old";
    {
        OutputFiles files;
        files.makeDir(out);
        std::ofstream(files.stage(out + "/keep.txt")) << "new";
        std::ofstream(files.stage(out + "/y.txt")) << "y";
        files.commit();
    }
    std::ifstream keep(out + "/keep.txt");
    std::string text;
    keep >> text;
    EXPECT_EQ(text, "new");
    EXPECT_TRUE(fs::exists(out + "/y.txt"));
    std::size_t entries = 0;
    for (const auto& e : fs::directory_iterator(out)) entries += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(entries, 2u) << "no temporary files remain";

    std::ofstream(dir / "file") << "f";
    OutputFiles files;
    EXPECT_THROW(files.makeDir(dir / "file"), CliError);
}

}  // namespace
