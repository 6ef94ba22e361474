// The clsg program end to end: train, run, info, demo and --diag on small
// images made here, and every kind of bad input (non-zero status, one line
// on stderr, nothing left behind).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "apps/image_io.h"
#include "apps/overlay.h"
#include "png_fixture.h"

namespace {

namespace fs = std::filesystem;
using clsgtest::ScratchDir;

struct Outcome {
    int status;
    std::string out, err;
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs the program in dir with args (each quoted for the shell).
Outcome clsg(const ScratchDir& dir, const std::vector<std::string>& args) {
    std::string cmd = "cd '" + dir.path().string() + "' && '" CLSG_CLI_PATH "'";
    for (const std::string& a : args) cmd += " '" + a + "'";
    cmd += " >'" + (dir.path().parent_path() / (dir.path().filename().string() + ".out")).string() +
           "' 2>'" +
           (dir.path().parent_path() / (dir.path().filename().string() + ".err")).string() + "'";
    const int raw = std::system(cmd.c_str());
    Outcome o;
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    const fs::path base = dir.path().parent_path() / dir.path().filename();
    o.out = slurp(base.string() + ".out");
    o.err = slurp(base.string() + ".err");
    fs::remove(base.string() + ".out");
    fs::remove(base.string() + ".err");
    return o;
}

// Every file and directory under dir, relative.
std::set<std::string> listing(const ScratchDir& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir.path()))
        names.insert(fs::relative(e.path(), dir.path()).string());
    return names;
}

// Three vertical bands, 16 pixels wide each: red, green, blue; order gives
// the band colours by index 0 = red, 1 = green, 2 = blue.
const unsigned char kBand[3][3] = {{200, 30, 30}, {30, 180, 40}, {20, 40, 200}};

std::vector<unsigned char> bands(const std::vector<int>& order, unsigned h = 32) {
    std::vector<unsigned char> rgb;
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < 48; ++x) {
            const unsigned char* c = kBand[order[x / 16]];
            // A little texture, so that the examples are not a single colour.
            for (int p = 0; p < 3; ++p)
                rgb.push_back(static_cast<unsigned char>(c[p] + (x + y) % 3));
        }
    return rgb;
}

// Makes the training and test images in dir and trains tool.clsg.
void trainBands(const ScratchDir& dir) {
    clsgtest::writeRgbPng(dir / "bands.png", 48, 32, bands({0, 1, 2}));
    clsgtest::writeRgbPng(dir / "blue.png", 16, 8, bands({2, 2, 2}, 8));
    std::vector<unsigned char> mask(48 * 32, 0);
    for (unsigned y = 0; y < 32; ++y)
        for (unsigned x = 16; x < 32; ++x) mask[y * 48 + x] = 255;
    clsgtest::writeGreyPng(dir / "green-mask.png", 48, 32, mask);
    const Outcome t =
        clsg(dir, {"train", "tool.clsg", "--label", "red=bands.png@0,0,16,32", "--label",
                   "green=bands.png:green-mask.png", "--label", "blue=blue.png"});
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_NE(t.out.find("trained 3 labels from 3 examples"), std::string::npos) << t.out;
}

TEST(Cli, TrainRunInfoRoundTrip) {
    ScratchDir dir;
    trainBands(dir);
    clsgtest::writeRgbPng(dir / "swapped.png", 48, 32, bands({2, 0, 1}));

    const Outcome info = clsg(dir, {"info", "tool.clsg"});
    ASSERT_EQ(info.status, 0) << info.err;
    for (const char* text :
         {"labels: 3", "0 red: 1 example", "1 green: 1 example", "2 blue: 1 example",
          "512 pixels selected by its mask", "128 pixels selected (no mask)",
          "colorToleranceFrac 0.1", "colorToleranceMin 2", "3 instance models", "memory:"})
        EXPECT_NE(info.out.find(text), std::string::npos) << text << " in\n" << info.out;

    const Outcome run = clsg(dir, {"run", "tool.clsg", "bands.png", "swapped.png", "--out", "out",
                                   "-j", "2", "--neighborhood", "5"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    for (const char* name : {"bands: 48 x 32", "swapped: 48 x 32"})
        EXPECT_NE(run.out.find(name), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("red 33.3%, green 33.3%, blue 33.3%, unlabelled 0.0%"),
              std::string::npos)
        << run.out;

    std::set<std::string> expected;
    for (const char* image : {"bands", "swapped"})
        for (const char* kind :
             {"labels", "confidence", "score", "seg-red", "seg-green", "seg-blue", "overlay"})
            expected.insert(std::string("out/") + image + "-" + kind + ".png");
    std::set<std::string> outputs;
    for (const std::string& n : listing(dir))
        if (n.rfind("out/", 0) == 0) outputs.insert(n);
    EXPECT_EQ(outputs, expected);

    // Labels follow the bands: swapped holds blue, red, green.
    const std::vector<int> order = {2, 0, 1};
    const clsgtest::Decoded labels = clsgtest::readPng(dir / "out/swapped-labels.png");
    const clsgtest::Decoded segRed = clsgtest::readPng(dir / "out/swapped-seg-red.png");
    const clsgtest::Decoded segBlue = clsgtest::readPng(dir / "out/swapped-seg-blue.png");
    ASSERT_EQ(labels.channels, 1u);
    ASSERT_EQ(labels.pels.size(), 48u * 32u);
    for (unsigned y = 0; y < 32; ++y)
        for (unsigned x = 0; x < 48; ++x) {
            const std::size_t i = y * 48 + x;
            ASSERT_EQ(labels.pels[i], order[x / 16]) << x << "," << y;
            EXPECT_EQ(segRed.pels[i] > 128, order[x / 16] == 0) << x << "," << y;
            EXPECT_EQ(segBlue.pels[i] > 128, order[x / 16] == 2) << x << "," << y;
        }

    // The overlay is the input with the label image's colours blended in.
    const kv3PlanePelBuffer input = readColorImage(dir / "swapped.png");
    const kvPelBuffer<unsigned char> labelImage = readGreyImage(dir / "out/swapped-labels.png");
    const std::string overlayPath = dir / "expected-overlay.png";
    writeColorImage(overlayPath, makeOverlay(input, labelImage), ImageFormat::Png);
    EXPECT_EQ(clsgtest::readPng(dir / "out/swapped-overlay.png").pels,
              clsgtest::readPng(overlayPath).pels);

    // One thread gives the same files; PNM output holds the same pels.
    const Outcome one = clsg(dir, {"run", "tool.clsg", "bands.png", "swapped.png", "--out", "one",
                                   "-j", "1", "-n", "5", "--format", "pnm"});
    ASSERT_EQ(one.status, 0) << one.err;
    for (const char* kind : {"labels", "confidence", "score", "seg-green"})
        for (const char* image : {"bands", "swapped"}) {
            const std::string base = std::string(image) + "-" + kind;
            const kvPelBuffer<unsigned char> a = readGreyImage(dir / ("out/" + base + ".png"));
            const kvPelBuffer<unsigned char> b = readGreyImage(dir / ("one/" + base + ".pgm"));
            ASSERT_EQ(a.width(), b.width());
            for (long y = 0; y < a.height(); ++y)
                for (long x = 0; x < a.width(); ++x)
                    ASSERT_EQ(a.pointToRow(y)[x], b.pointToRow(y)[x]) << base;
        }
    EXPECT_TRUE(fs::exists(dir / "one/swapped-overlay.ppm"));
}

TEST(Cli, ConvertedInputsSegmentLikeTheirRgbOriginal) {
    ScratchDir dir;
    trainBands(dir);
    // The same bands as a palette PNG and as a grey PGM (grey is replicated
    // into all three channels, so it gets some label or none, but runs).
    clsgtest::PngSpec p;
    p.width = 48;
    p.height = 32;
    p.colorType = PNG_COLOR_TYPE_PALETTE;
    for (int b = 0; b < 3; ++b)
        for (int t = 0; t < 3; ++t)
            p.palette.push_back({static_cast<png_byte>(kBand[b][0] + t),
                                 static_cast<png_byte>(kBand[b][1] + t),
                                 static_cast<png_byte>(kBand[b][2] + t)});
    for (unsigned y = 0; y < 32; ++y) {
        std::vector<unsigned char> row;
        for (unsigned x = 0; x < 48; ++x)
            row.push_back(static_cast<unsigned char>(x / 16 * 3 + (x + y) % 3));
        p.rows.push_back(row);
    }
    clsgtest::writePng(dir / "palette.png", p);
    std::ofstream(dir / "grey.pgm", std::ios::binary) << "P5\n4 2\n255\n" << std::string(8, '\x80');

    const Outcome run =
        clsg(dir, {"run", "tool.clsg", "bands.png", "palette.png", "grey.pgm", "--out", "out"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(clsgtest::readPng(dir / "out/palette-labels.png").pels,
              clsgtest::readPng(dir / "out/bands-labels.png").pels);
    EXPECT_TRUE(fs::exists(dir / "out/grey-overlay.png"));
}

struct BadCase {
    std::vector<std::string> args;
    std::string message;  // part of the error line
};

TEST(Cli, BadInputFailsWithOneLineAndLeavesNothingBehind) {
    ScratchDir dir;
    trainBands(dir);
    fs::create_directory(dir / "a-directory");
    clsgtest::writeGreyPng(dir / "small-mask.png", 10, 8, std::vector<unsigned char>(80, 255));
    std::vector<unsigned char> grey(48 * 32, 255);
    grey[5 * 48 + 7] = 100;
    clsgtest::writeGreyPng(dir / "grey-mask.png", 48, 32, grey);
    clsgtest::writeGreyPng(dir / "empty-mask.png", 48, 32, std::vector<unsigned char>(48 * 32, 0));
    clsgtest::PngSpec rgba;
    rgba.width = 2;
    rgba.height = 2;
    rgba.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
    rgba.rows = {{1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 3, 4, 5, 6, 7, 8}};
    clsgtest::writePng(dir / "alpha.png", rgba);
    std::ofstream(dir / "garbage.png") << "this is not an image";

    const std::string tool = slurp(dir / "tool.clsg");
    std::ofstream(dir / "truncated.clsg", std::ios::binary) << tool.substr(0, tool.size() / 2);
    std::ofstream(dir / "garbage.clsg", std::ios::binary) << std::string(64, '\x07');
    // The format version follows the 4-byte length and the 9 bytes of "clsg-tool".
    std::string v2 = tool;
    v2[13] = 2;
    std::ofstream(dir / "v2.clsg", std::ios::binary) << v2;

    const std::string red = "red=bands.png@0,0,16,32";
    const std::vector<BadCase> cases = {
        {{"train", "t.clsg", "--label", "a=missing.png"}, "cannot open missing.png"},
        {{"train", "t.clsg", "--label", "a=a-directory"}, "cannot read"},
        {{"train", "t.clsg", "--label", "a=garbage.png"}, "not a PNG"},
        {{"train", "t.clsg", "--label", "a=alpha.png"}, "alpha"},
        {{"train", "t.clsg", "--label", "a=bands.png:small-mask.png"},
         "mask small-mask.png is 10 x 8 but image bands.png is 48 x 32"},
        {{"train", "t.clsg", "--label", "a=bands.png:grey-mask.png"}, "value 100 at (7, 5)"},
        {{"train", "t.clsg", "--label", "a=bands.png:empty-mask.png"}, "selects no pixel"},
        {{"train", "t.clsg", "--label", "a=bands.png:missing-mask.png"}, "cannot open"},
        {{"train", "t.clsg", "--label", "a=bands.png@40,0,16,32"}, "outside image bands.png"},
        {{"train", "t.clsg", "--label", "a=bands.png@-1,0,4,4"}, "outside image"},
        {{"train", "t.clsg", "--label", red, "--label", "green="}, "no examples"},
        {{"train", "t.clsg", "--label", red, "--label", red}, "given twice"},
        {{"train", "t.clsg"}, "--label"},
        {{"train", "t.clsg", "--label", red, "--frobnicate"}, "--frobnicate"},
        {{"train", "t.clsg", "--label", red, "--color-tolerance-frac", "2"}, "2"},
        {{"train", "sub/dir/t.clsg", "--label", "a=missing.png"}, "cannot open"},
        {{"train", "t.clsg", "--label", red, "--diag", "d", "--label", "b=missing.png"},
         "missing.png"},
        {{"run", "missing.clsg", "bands.png", "--out", "out"}, "cannot open missing.clsg"},
        {{"run", "truncated.clsg", "bands.png", "--out", "out"}, "corrupt tool file"},
        {{"run", "garbage.clsg", "bands.png", "--out", "out"}, "not a clsg tool file"},
        {{"run", "bands.png", "bands.png", "--out", "out"}, "not a clsg tool file"},
        {{"run", "v2.clsg", "bands.png", "--out", "out"}, "format version 2"},
        {{"run", "tool.clsg", "bands.png", "missing.png", "--out", "out"}, "missing.png"},
        {{"run", "tool.clsg", "bands.png", "garbage.png", "--out", "out/sub", "-j", "2", "--diag",
          "diag"},
         "garbage.png"},
        {{"run", "tool.clsg", "bands.png", "alpha.png", "--out", "out"}, "alpha"},
        {{"run", "tool.clsg", "bands.png", "a-directory/../bands.png", "--out", "out"},
         "named bands"},
        {{"run", "tool.clsg", "bands.png", "--out", "out", "--neighborhood", "0"}, "neighborhood"},
        {{"run", "tool.clsg", "bands.png"}, "--out"},
        {{"run", "tool.clsg", "bands.png", "--out", "bands.png/x"}, "not a directory"},
        {{"info", "truncated.clsg"}, "corrupt tool file"},
        {{"frobnicate"}, "frobnicate"},
        {{}, "subcommand"},
    };
    const std::set<std::string> before = listing(dir);
    for (const BadCase& c : cases) {
        std::string line;
        for (const std::string& a : c.args) line += a + " ";
        const Outcome o = clsg(dir, c.args);
        EXPECT_NE(o.status, 0) << line;
        EXPECT_EQ(o.err.rfind("clsg: error: ", 0), 0u) << line << "\n" << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << line << "\n" << o.err;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << line << "\n" << o.err;
        EXPECT_EQ(listing(dir), before) << line;
    }
}

TEST(Cli, DiagnosticsBecomeAnHtmlReportWithItsImages) {
    ScratchDir dir;
    trainBands(dir);
    const Outcome t = clsg(dir, {"train", "t2.clsg", "--label", "red=bands.png@0,0,16,32",
                                 "--label", "blue=blue.png", "--diag", "train-diag"});
    ASSERT_EQ(t.status, 0) << t.err;
    const Outcome r =
        clsg(dir, {"run", "tool.clsg", "bands.png", "--out", "out", "--diag", "run-diag"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* d : {"train-diag", "run-diag"}) {
        const std::string html = slurp(dir / (std::string(d) + "/index.html"));
        ASSERT_NE(html.find("Record 1"), std::string::npos) << d;
        // Every image the report shows exists, and every PNG is shown.
        std::size_t shown = 0;
        for (std::size_t pos = 0; (pos = html.find("<img src=\"", pos)) != std::string::npos;) {
            pos += 10;
            const std::string src = html.substr(pos, html.find('"', pos) - pos);
            EXPECT_TRUE(fs::exists(dir / (std::string(d) + "/" + src))) << src;
            ++shown;
        }
        std::size_t files = 0;
        for (const auto& e : fs::directory_iterator(dir / d))
            files += e.path().extension() == ".png" ? 1 : 0;
        EXPECT_GT(shown, 0u) << d;
        EXPECT_EQ(shown, files) << d;
    }
    EXPECT_NE(slurp(dir / "run-diag/index.html").find("<h2>bands</h2>"), std::string::npos);
}

TEST(Cli, DemoWritesItsOutputsAndSaysWhere) {
    ScratchDir dir;
    const Outcome o = clsg(dir, {"demo", "--out", "demo"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("wrote into " + (dir.path() / "demo").string()), std::string::npos)
        << o.out;
    for (const char* name : {"demo.clsg", "coffee.png", "coffee-labels.png",
                             "coffee-confidence.png", "coffee-score.png", "coffee-seg-crema.png",
                             "coffee-seg-table.png", "coffee-overlay.png"}) {
        EXPECT_TRUE(fs::exists(dir / (std::string("demo/") + name))) << name;
        EXPECT_NE(o.out.find(name), std::string::npos) << name;
    }
    const clsgtest::Decoded overlay = clsgtest::readPng(dir / "demo/coffee-overlay.png");
    EXPECT_EQ(overlay.width, 600u);
    EXPECT_EQ(overlay.height, 400u);
    EXPECT_EQ(overlay.channels, 3u);
    // The demo's tool file is an ordinary one.
    const Outcome info = clsg(dir, {"info", "demo/demo.clsg"});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("labels: 4"), std::string::npos) << info.out;
}

TEST(Cli, EverySubcommandHasHelp) {
    ScratchDir dir;
    const std::vector<std::pair<std::string, std::vector<std::string>>> commands = {
        {"train", {"--label", "--color-tolerance-frac", "--color-tolerance-min", "--diag"}},
        {"run", {"--out", "--neighborhood", "--normalize-intensity", "--jobs", "--diag"}},
        {"info", {"tool"}},
        {"demo", {"--out"}}};
    for (const auto& [name, options] : commands) {
        const Outcome o = clsg(dir, {name, "--help"});
        EXPECT_EQ(o.status, 0) << name;
        for (const std::string& option : options)
            EXPECT_NE(o.out.find(option), std::string::npos) << name << ": " << option;
    }
    const Outcome top = clsg(dir, {"--help"});
    EXPECT_EQ(top.status, 0);
    for (const char* name : {"train", "run", "info", "demo"})
        EXPECT_NE(top.out.find(name), std::string::npos);
}

}  // namespace
