// README.md's C++ quick-start, compiled and run: the code between the markers must appear there.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// [quickstart]
#include <cstdio>
#include <vector>

#include "clsg/clsg.h"

// Paints an RGB image: one colour left of splitX, another from splitX on.
static void paint(kv3PlanePelBuffer& image, long splitX, const unsigned char left[3],
                  const unsigned char right[3]) {
    for (long y = image.window().top(); y < image.window().bottom(); ++y) {
        unsigned char* rows[3] = {image.plane0().pointToRow(y), image.plane1().pointToRow(y),
                                  image.plane2().pointToRow(y)};
        for (long x = 0; x < image.width(); ++x)
            for (int c = 0; c < 3; ++c) rows[c][x] = x < splitX ? left[c] : right[c];
    }
}

// Trains "orange" (label 0) and "teal" (label 1), segments a picture that is
// orange on the left and teal on the right, and returns its label image.
kvPelBuffer_const<unsigned char> quickstart() {
    const unsigned char orange[3] = {240, 140, 20}, teal[3] = {20, 150, 160};
    const kvPelRect window(0, 0, 64, 48);

    // One example per label; an unbound mask means "every pixel of the image".
    kv3PlanePelBuffer orangeExample(window), tealExample(window);
    paint(orangeExample, 64, orange, orange);
    paint(tealExample, 64, teal, teal);
    const kvPelBuffer_const<unsigned char> wholeImage;
    const std::vector<kvCompositeColorSet> labels = {
        kvCompositeColorSet({kvCompositeColor(orangeExample, wholeImage)}),  // label 0
        kvCompositeColorSet({kvCompositeColor(tealExample, wholeImage)}),    // label 1
    };

    kvCompositeColorSegmenterTool tool;
    try {
        tool.train(labels, kvCompositeColorSegmenterTrainParams(0.1, 2));
    } catch (const kvException& e) {  // every library error derives from kvException
        std::fprintf(stderr, "training failed: %s\n", e.what());
        throw;
    }

    kv3PlanePelBuffer picture(window);
    paint(picture, 32, orange, teal);
    kvCompositeColorSegmenterResult result;
    tool.run(picture, kvCompositeColorSegmenterRunParams(3, false), result);

    // The winning label per pixel: 0, 1, or 255 where no label scored.
    const kvPelBuffer_const<unsigned char> labelImage = result.labelImage();
    std::printf("label at (10, 20): %d, at (50, 20): %d\n", *labelImage.pointToPel(10, 20),
                *labelImage.pointToPel(50, 20));
    return labelImage;
}
// [quickstart end]

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Quickstart, LabelsEachHalfOfThePicture) {
    const kvPelBuffer_const<unsigned char> labels = quickstart();
    EXPECT_TRUE(labels.window() == kvPelRect(0, 0, 64, 48) && *labels.pointToPel(31, 47) == 0 &&
                *labels.pointToPel(32, 0) == 1);
}

TEST(Quickstart, ReadmeShowsThisCode) {
    // Paths from the test data folder, not __FILE__ (which a compiler cache may make relative).
    const std::filesystem::path tests = std::filesystem::path(CLSG_TEST_DATA_DIR).parent_path();
    const std::string self = slurp((tests / "quickstart_test.cpp").string());
    const std::string begin = "// [quickstart]\n", end = "// [quickstart end]\n";
    const std::size_t from = self.find(begin) + begin.size();
    const std::string code = self.substr(from, self.find(end) - from);
    ASSERT_GT(code.size(), 100u);
    const std::string readme = slurp((tests.parent_path() / "README.md").string());
    EXPECT_NE(readme.find(code), std::string::npos) << "README.md must show the quick-start";
}

}  // namespace
