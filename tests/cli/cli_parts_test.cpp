// The pieces of the command-line tool below its commands: --label parsing,
// rectangle masks, the overlay, its legend and label shares, label names on
// the diagnostics page, all-or-nothing output, the stored report of train
// --auto.
// The checks of mask files run through the program in cli_commands_test.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <sstream>

#include "apps/cli_error.h"
#include "apps/diag_html.h"
#include "apps/label_colors.h"
#include "apps/label_option.h"
#include "apps/legend.h"
#include "apps/output_files.h"
#include "apps/overlay.h"
#include "apps/quality_report.h"
#include "apps/training_examples.h"
#include "png_fixture.h"

namespace {

namespace fs = std::filesystem;

TEST(LabelOption, ParsesImagesMasksAndRectangles) {
    const LabelOption s =
        parseLabelOption("sky=a.png,b.ppm:b-mask.png,c.png@1,2,3,4+-5,6,7,8,d.png");
    EXPECT_EQ(s.name, "sky");
    ASSERT_EQ(s.examples.size(), 4u);
    const std::vector<std::vector<kvPelRect>> rects = {
        {}, {}, {kvPelRect(1, 2, 3, 4), kvPelRect(-5, 6, 7, 8)}, {}};
    const char* images[] = {"a.png", "b.ppm", "c.png", "d.png"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(s.examples[i].image, images[i]);
        EXPECT_EQ(s.examples[i].mask, i == 1 ? "b-mask.png" : "");
        EXPECT_EQ(s.examples[i].rects, rects[i]) << i;
    }
    // Backslashes escape the separators in file names, and the stored source
    // text escapes them again.
    const std::string escaped = "a\\,b.png:m\\:1\\\\.png,c\\@d.png@1,2,3,4";
    const LabelOption e = parseLabelOption("sky=" + escaped);
    ASSERT_EQ(e.examples.size(), 2u);
    EXPECT_EQ(e.examples[0].image, "a,b.png");
    EXPECT_EQ(e.examples[0].mask, "m:1\\.png");
    EXPECT_EQ(e.examples[1].image, "c@d.png");
    EXPECT_EQ(exampleSourceText(e.examples[0]) + "," + exampleSourceText(e.examples[1]), escaped);
}

// The message of the CliError that call throws.
template <class Call>
std::string errorOf(Call call) {
    try {
        call();
    } catch (const CliError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(LabelOption, RejectsMalformedArgumentsWithTheLabelNamed) {
    // Pairs of argument and part of its message.
    const char* cases[] = {"sky",
                           "NAME=IMAGE",
                           "sky=",
                           "no examples",
                           "sky=a.png,",
                           "without an image",
                           "sky=,a.png",
                           "without an image",
                           "sky=a.png:",
                           "empty mask",
                           "sky=a.png@1,2,3",
                           "expected",
                           "sky=a.png@1,2,3,4x",
                           "expected",
                           "sky=a.png@1,2,0,4",
                           "empty",
                           "sky=a.png@1,2,3,999999999999",
                           "too large",
                           "s k y=a.png",
                           "letters, digits",
                           "=a.png",
                           "1 to 64",
                           "sky=a.png@x",
                           "label sky"};
    for (std::size_t i = 0; i < std::size(cases); i += 2) {
        const std::string message = errorOf([&] { parseLabelOption(cases[i]); });
        EXPECT_NE(message.find(cases[i + 1]), std::string::npos) << cases[i] << ": " << message;
    }
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
                               kvPelRect(0, 0, 7, 4)})
        EXPECT_NE(errorOf([&] {
                      rectangleMask(image, {r}, "img.png");
                  }).find("outside image img.png (6 x 4)"),
                  std::string::npos);
}

TEST(TrainingExamples, ReadsEachImageOnceAndBindsOnlyGivenMasks) {
    clsgtest::ScratchDir dir;
    const kv3PlanePelBuffer image(kvPelRect(0, 0, 4, 2));
    int loads = 0;
    const ImageLoader load = [&](const std::string&) {
        ++loads;
        return image;
    };
    clsgtest::writePlainPng(dir / "good.png", 4, 2, {0, 255, 255, 0, 0, 0, 0, 255});
    const std::vector<kvCompositeColorSet> sets = buildCompositeColors(
        {parseLabelOption("a=img:" + (dir / "good.png")), parseLabelOption("b=img,img@0,0,1,1")},
        load);
    EXPECT_EQ(loads, 1);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].instances().size(), 1u);
    ASSERT_EQ(sets[1].instances().size(), 2u);
    EXPECT_FALSE(sets[1].instances()[0].masks()[0].isBound());  // whole image
    EXPECT_TRUE(sets[1].instances()[1].masks()[0].isBound());
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
    const std::vector<uint32_t> colours = {0x102030, 0xf0e0d0};
    const kv3PlanePelBuffer out = makeOverlay(image, labels, colours);
    ASSERT_EQ(out.window(), image.window());
    const kvPelBuffer<unsigned char>* in[3] = {&image.plane0(), &image.plane1(), &image.plane2()};
    const kvPelBuffer<unsigned char>* res[3] = {&out.plane0(), &out.plane1(), &out.plane2()};
    for (long x = 0; x < 5; ++x)
        for (int p = 0; p < 3; ++p) {
            const int v = in[p]->pointToRow(3)[x];
            const int c = values[x] < 2 ? colours[values[x]] >> (16 - 8 * p) & 255 : -1;
            const int expected = c < 0 ? v : (v + c + 1) / 2;
            EXPECT_EQ(res[p]->pointToRow(3)[x], expected) << x << " plane " << p;
        }
    // With 2 labels, 0 and 1 are labels; 17 and 255 count as unlabelled.
    EXPECT_EQ(labelCounts(labels, 2), (std::vector<uint64_t>{2, 1, 2}));
}

// Removal of uncommitted outputs and created directories, and refusing a
// file as directory, are checked through the program in cli_commands_test.
TEST(LabelColors, StableDistinctAndAwayFromChosenOnes) {
    const std::vector<std::string> names = {"sky", "sea", "sand", "rock", "grass"};
    const std::vector<uint32_t> colours = assignLabelColors(names);
    // Reordered, or with a label added in front, the others keep their colours.
    const std::vector<uint32_t> reversed = assignLabelColors({names.rbegin(), names.rend()});
    std::vector<std::string> more = names;
    more.insert(more.begin(), "tree");
    const std::vector<uint32_t> added = assignLabelColors(more);
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(reversed[names.size() - 1 - i], colours[i]) << names[i];
        EXPECT_EQ(added[i + 1], colours[i]) << names[i];
    }
    // Many labels: all different.
    const std::vector<std::string> many = {
        "sky",   "sea",  "sand",   "rock",  "grass", "tree",    "leaf",   "bark",  "soil",  "mud",
        "snow",  "ice",  "cloud",  "road",  "roof",  "wall",    "brick",  "glass", "metal", "rust",
        "water", "foam", "skin",   "hair",  "cell",  "nucleus", "stroma", "fat",   "blood", "bone",
        "crema", "cup",  "saucer", "table", "spoon", "shadow",  "paint",  "wood",  "paper", "ink"};
    const std::vector<uint32_t> manyColours = assignLabelColors(many);
    EXPECT_EQ(std::set<uint32_t>(manyColours.begin(), manyColours.end()).size(), many.size());
    // Where names compete for a slot too, the order of the labels does not matter.
    const std::vector<uint32_t> manyReversed = assignLabelColors({many.rbegin(), many.rend()});
    EXPECT_TRUE(std::equal(manyColours.begin(), manyColours.end(), manyReversed.rbegin()));
    // A chosen colour is kept, and the derived ones keep away from it.
    const std::vector<std::optional<uint32_t>> chosen = {std::nullopt, colours[1]};
    const std::vector<uint32_t> withChosen = assignLabelColors({"sky", "river"}, chosen);
    EXPECT_EQ(withChosen[1], colours[1]);
    EXPECT_NE(withChosen[0], colours[1]);
    EXPECT_EQ(colorText(0x0a0b0c), "#0a0b0c");
    uint32_t parsed = 0;
    EXPECT_TRUE(parseColorText("#A0b1C2", &parsed));
    EXPECT_EQ(parsed, 0xa0b1c2u);
    for (const char* bad : {"a0b1c2", "#a0b1c", "#a0b1c2f", "#a0b1g2"})
        EXPECT_FALSE(parseColorText(bad, &parsed)) << bad;
}

TEST(Legend, DrawsSwatchesAndDistinctGlyphs) {
    const kv3PlanePelBuffer legend =
        makeLegend({{"ab", 0x123456}, {"abc", 0xfedcba}, {"none", 0x00ff00, false}});
    ASSERT_EQ(legend.height(), 3 * kLegendRowHeight);
    ASSERT_EQ(legend.width(), 28 + 4 * 12 + 6);  // the longest text sets the width
    const auto rgb = [&](long x, long y) {
        return uint32_t{*legend.plane0().pointToPel(x, y)} << 16 |
               uint32_t{*legend.plane1().pointToPel(x, y)} << 8 | *legend.plane2().pointToPel(x, y);
    };
    for (long d : {0L, 15L}) {  // the swatches' corners; the outline's inside is white
        EXPECT_EQ(rgb(6 + d, 3 + d), 0x123456u);
        EXPECT_EQ(rgb(6 + d, kLegendRowHeight + 3 + d), 0xfedcbau);
        EXPECT_NE(rgb(6 + d, 2 * kLegendRowHeight + 3 + d), 0x00ff00u);
    }
    EXPECT_EQ(rgb(14, 2 * kLegendRowHeight + 11), 0xffffffu);
    EXPECT_EQ(rgb(5, 3), 0xffffffu);
    EXPECT_EQ(rgb(6, 2), 0xffffffu);

    // Every character a label name or share may hold has a glyph of its own,
    // drawn in black inside its cell; others become one box.
    const std::string chars =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-.%#:";
    std::set<std::vector<unsigned char>> seen;
    const auto cell = [](const kv3PlanePelBuffer& one) {
        std::vector<unsigned char> ink;
        for (long y = 0; y < kLegendRowHeight; ++y)
            for (long x = 28; x < 28 + 12; ++x) ink.push_back(*one.plane1().pointToPel(x, y));
        return ink;
    };
    for (char c : chars) {
        const std::vector<unsigned char> ink = cell(makeLegend({{std::string(1, c), 0}}));
        EXPECT_TRUE(std::count(ink.begin(), ink.end(), 0) > 0) << c;
        EXPECT_EQ(std::count(ink.begin(), ink.end(), 0) + std::count(ink.begin(), ink.end(), 255),
                  static_cast<long>(ink.size()))
            << c;
        EXPECT_TRUE(seen.insert(ink).second) << c << " looks like another character";
    }
    EXPECT_EQ(cell(makeLegend({{"!", 0}})), cell(makeLegend({{"~", 0}})));
    EXPECT_EQ(seen.count(cell(makeLegend({{"!", 0}}))), 0u);
}

TEST(DiagReport, NamesNumberedLabels) {
    const std::vector<std::string> names = {"sky", "sea"};
    EXPECT_EQ(withLabelNames("Input : Label 1 instance 0 image 0", names),
              "Input : Label 1 (sea) instance 0 image 0");
    EXPECT_EQ(withLabelNames("Segmentation image 0, Label 2, Label image, Label 10", names),
              "Segmentation image 0 (sky), Label 2, Label image, Label 10");
    EXPECT_EQ(withLabelNames("Label 0Label 1", names), "Label 0 (sky)Label 1 (sea)");
}

TEST(OutputFiles, CommitReplacesOldFilesAndLeavesNoTemporaries) {
    clsgtest::ScratchDir dir;
    const std::string out = dir / "a/b";
    fs::create_directories(out);
    clsgtest::writeBytes(out + "/keep.txt", "old");
    {
        OutputFiles files;
        files.makeDir(out);
        clsgtest::writeBytes(files.stage(out + "/keep.txt"), "new");
        clsgtest::writeBytes(files.stage(out + "/y.txt"), "y");
        EXPECT_FALSE(fs::exists(out + "/y.txt"));
        files.commit();
    }
    EXPECT_EQ(clsgtest::slurp(out + "/keep.txt"), "new");
    EXPECT_EQ(clsgtest::slurp(out + "/y.txt"), "y");
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 2);
}

TEST(OutputFiles, TemporariesAreNewFilesAndFinalNamesUnique) {
    clsgtest::ScratchDir dir;
    OutputFiles files, other;
    const std::string a = files.stage(dir / "a.png");
    // Created at once, as a plain file of this process's, under a name no one
    // could plant a link at beforehand; another writer gets another name.
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(a)));
    EXPECT_EQ(fs::file_size(a), 0u);
    EXPECT_NE(other.stage(dir / "a.png"), a);
    // One final name twice, however spelt: refused.
    EXPECT_EQ(errorOf([&] { files.stage(dir / "./a.png"); }),
              "two outputs would both be written to " + (dir / "./a.png"));
}

TEST(OutputFiles, ADirectoryInTheWayCommitsNothing) {
    clsgtest::ScratchDir dir;
    fs::create_directory(dir / "c.txt");
    {
        OutputFiles files;
        for (const char* name : {"a.txt", "b.txt", "c.txt"})
            clsgtest::writeBytes(files.stage(dir / name), name);
        EXPECT_EQ(
            errorOf([&] { files.commit(); }),
            "cannot write " + (dir / "c.txt") + ": a directory is in the way; nothing was written");
    }
    EXPECT_FALSE(fs::exists(dir / "a.txt"));
    EXPECT_FALSE(fs::exists(dir / "b.txt"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

TEST(QualityReport, StoredReportShownOnlyWhenItsNumbersAreSound) {
    kvSuggestReport report;
    report.trainParams = kvCompositeColorSegmenterTrainParams(0.04, 1);
    report.runParams = kvCompositeColorSegmenterRunParams(5, false);
    report.candidates.push_back({report.trainParams, report.runParams, "coarse", 0.75});
    report.heldOut = kvLabelConfusion(2);
    report.heldOut.add(0, 0, 30);
    report.heldOut.add(1, 0, 10);
    report.heldOut.add(1, 255, 10);
    report.folds = 3;
    report.tileSize = 16;
    const std::vector<std::string> names = {"sky", "sea"};
    const nlohmann::json good = suggestReportJson(names, report);
    std::ostringstream shown;
    ASSERT_TRUE(printStoredReport(shown, names, good.dump()));
    for (const char* part :
         {"from 1 candidates (cross-validation, 3 folds of 16 x 16 tiles): colorToleranceFrac "
          "0.04, colorToleranceMin 1, neighborhood 5",
          "accuracy 60.0 %, balanced accuracy 50.0 % over 50 pixels", "sea       10     0    10"})
        EXPECT_NE(shown.str().find(part), std::string::npos) << part << " in\n" << shown.str();

    // Counts and sizes that are not whole numbers, rows that do not fit the
    // labels, other labels: nothing is shown.
    std::vector<nlohmann::json> bad(7, good);
    bad[0]["heldOut"]["confusion"][1][2] = 1.5;
    bad[1]["heldOut"]["confusion"][1][2] = -1;
    bad[2]["heldOut"]["confusion"][0][0] = 1e30;
    bad[3]["chosen"]["neighborhoodSize"] = 1e30;
    bad[4]["heldOut"]["confusion"][1].erase(2);
    bad[5]["tileSize"] = "16";
    bad[6]["candidates"] = 1;
    for (std::size_t i = 0; i < bad.size(); ++i) {
        std::ostringstream none;
        EXPECT_FALSE(printStoredReport(none, names, bad[i].dump())) << i;
        EXPECT_EQ(none.str(), "") << i;
    }
    std::ostringstream none;
    EXPECT_FALSE(printStoredReport(none, {"sky", "sea", "sand"}, good.dump()));
    EXPECT_FALSE(printStoredReport(none, names, "{\"chosen\""));
    EXPECT_EQ(none.str(), "");
}

}  // namespace
