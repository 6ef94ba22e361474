// The clsg program end to end on small images made here, and its failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "clsg/io/image_io.h"
#include "clsg/platform/pel_ops.h"
#include "image_fixtures.h"
#include "png_fixture.h"

using namespace clsg;

namespace {

namespace fs = std::filesystem;
using namespace clsgtest;
using nlohmann::json;

struct Outcome {
    int status;
    std::string out, err;
};

// Runs the program in dir with line as its arguments (words without quoting), after shell.
Outcome clsg(const ScratchDir& dir, const std::string& line, const std::string& shell = "") {
    const std::string base = dir.path.string();
    const int raw = std::system((shell + "cd '" + base + "' && '" CLSG_CLI_PATH "' " + line +
                                 " >'" + base + ".out' 2>'" + base + ".err'")
                                    .c_str());
    const Outcome o{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(base + ".out"),
                    slurp(base + ".err")};
    fs::remove(base + ".out"), fs::remove(base + ".err");
    return o;
}

void expectAll(const std::string& output, const std::vector<std::string>& texts) {
    for (const std::string& t : texts)
        EXPECT_NE(output.find(t), std::string::npos) << "'" << t << "' in:\n" << output;
}

// Every file and directory under dir (or those starting with prefix), relative.
std::set<std::string> listing(const ScratchDir& dir, const std::string& prefix = "") {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir.path)) {
        const std::string n = fs::relative(e.path(), dir.path).string();
        if (n.rfind(prefix, 0) == 0) names.insert(n);
    }
    return names;
}

// Three vertical bands of colours order gives (0 red, 1 green, 2 blue), a little textured.
Bytes bands(const std::vector<int>& order, unsigned h = 32, unsigned band = 16) {
    const unsigned char colours[3][3] = {{200, 30, 30}, {30, 180, 40}, {20, 40, 200}};
    Bytes rgb;
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < 3 * band; ++x)
            for (int p = 0; p < 3; ++p)
                rgb.push_back(
                    static_cast<unsigned char>(colours[order[x / band]][p] + (x + y) % 3));
    return rgb;
}

// Makes the training images in dir and trains tool.clsg.
void trainBands(const ScratchDir& dir) {
    writePlainPng(dir / "bands.png", 48, 32, bands({0, 1, 2}));
    writePlainPng(dir / "blue.png", 16, 8, bands({2, 2, 2}, 8));
    Bytes mask(48 * 32);
    for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = i % 48 / 16 == 1 ? 255 : 0;
    writePlainPng(dir / "green-mask.png", 48, 32, mask);
    const Outcome t = clsg(dir,
                           "train tool.clsg --label red=bands.png@0,0,16,32 "
                           "--label green=bands.png:green-mask.png --label blue=blue.png");
    ASSERT_EQ(t.status, 0) << t.err;
    expectAll(t.out, {"trained 3 labels from 3 examples"});
}

TEST(Cli, TrainRunInfoRoundTrip) {
    ScratchDir dir;
    trainBands(dir);
    writePlainPng(dir / "swapped.png", 48, 32, bands({2, 0, 1}));
    expectAll(clsg(dir, "info tool.clsg").out,  // colour names give their colours
              {"0 red (#ff0000)", "1 green (#008000)", "2 blue (#0000ff)",
               "bands.png:green-mask.png, 16 x 32 pixels stored, 512 selected"});
    // Output that never arrived is a failure (a full disk), help and version too.
    for (const std::string line : {"info tool.clsg", "run --help", "--help", "--version"}) {
        const int full = std::system(
            ("cd '" + dir.path.string() + "' && '" CLSG_CLI_PATH "' " + line + " >/dev/full 2>said")
                .c_str());
        EXPECT_TRUE(WIFEXITED(full) && WEXITSTATUS(full) == 1) << line << " " << full;
        EXPECT_EQ(slurp(dir / "said"), "clsg: error: cannot write to standard output\n") << line;
    }
    // A closed standard output is said as such, not as a full disk; a full one still is.
    for (const std::string line : {"train - --label red=bands.png@0,0,16,32 ",
                                   "train /dev/fd/1 --label red=bands.png@0,0,16,32 ",
                                   "run tool.clsg bands.png --out so --summary - "})
        for (const std::string& to : {std::string(">&-"), std::string(">/dev/full")}) {
            std::system(
                ("cd '" + dir.path.string() + "' && '" CLSG_CLI_PATH "' " + line + to + " 2>said")
                    .c_str());
            const std::string said = slurp(dir / "said");
            EXPECT_NE(said.find(to == ">&-" ? ": standard output is closed"
                                            : ": No space left on device"),
                      std::string::npos)
                << line << to << ": " << said;
        }
    fs::remove(dir / "said");
    // A tool or summary written to standard output is that output alone: the lines for people
    // go to standard error.
    const Outcome piped = clsg(dir, "train /dev/stdout --label red=bands.png@0,0,16,32");
    writeBytes(dir / "piped.clsg", piped.out);
    EXPECT_EQ(clsg(dir, "info piped.clsg").status, 0) << piped.out;
    expectAll(piped.err, {"trained 1 label", "wrote /dev/stdout"});
    const Outcome summary = clsg(dir, "run tool.clsg bands.png --out so --summary /dev/stdout");
    EXPECT_EQ(summary.out.rfind("image,status,", 0), 0u) << summary.out;
    EXPECT_EQ(summary.out.find("outputs in"), std::string::npos) << summary.out;
    // "-" is standard output, not a file of that name.
    EXPECT_EQ(clsg(dir, "train - --label red=bands.png@0,0,16,32").out, piped.out);
    const Outcome dash = clsg(dir, "run tool.clsg bands.png --out so --summary -");
    EXPECT_EQ(dash.out.rfind("image,status,", 0), 0u) << dash.out;
    EXPECT_FALSE(fs::exists(dir / "-"));
    const Outcome run = clsg(
        dir, "run tool.clsg bands.png swapped.png --out out -j 2 --threads 3 --neighborhood 5");
    ASSERT_TRUE(run.status == 0 && run.err.empty()) << run.err;
    expectAll(run.out, {"swapped: 48 x 32", "red 33.3%, green 33.3%, blue 33.3%, unlabelled 0.0%"});
    // From 28 on the nearest pixels weigh 0: an image narrower than that is said to risk pixels
    // without a label (blue.png is 8 rows high); one as wide as the size is not.
    const Outcome narrow = clsg(dir, "run tool.clsg blue.png bands.png --out n28 -n 28");
    expectAll(narrow.err, {"clsg: note: blue is 8 pixels tall, fewer than the neighbourhood 28"});
    EXPECT_EQ(narrow.err.find("bands is"), std::string::npos) << narrow.err;
    EXPECT_EQ(clsg(dir, "run tool.clsg blue.png --out n27 -n 27").err, "");
    std::set<std::string> expected;
    for (const char* image : {"bands", "swapped"})
        for (const char* kind : {"labels", "confidence", "score", "seg-red", "seg-green",
                                 "seg-blue", "overlay", "legend"})
            expected.insert(std::string("out/") + image + "-" + kind + ".png");
    EXPECT_EQ(listing(dir, "out/"), expected);
    // A whole-image run (--diag) gives the same images as bands on threads, in PNM.
    clsg(dir, "run tool.clsg bands.png swapped.png --out one -j 1 -n 5 --format pnm --diag d");
    for (const std::string& png : expected) {
        const std::string pnm = dir / ("one" + png.substr(3, png.size() - 7));
        const kv3PlanePelBuffer a = readColorImage(dir / png),
                                b = readColorImage(pnm +
                                                   (fs::exists(pnm + ".ppm") ? ".ppm" : ".pgm"));
        EXPECT_TRUE(kfPelEqual(a.plane0(), b.plane0()) && kfPelEqual(a.plane1(), b.plane1()) &&
                    kfPelEqual(a.plane2(), b.plane2()))
            << png;
    }
    // A run that writes no image writes no page: the one in --diag is said to be an earlier one's.
    writeBytes(dir / "junk.png", "not an image");
    expectAll(clsg(dir, "run tool.clsg junk.png --out one --diag d").err,
              {"clsg: note: d/index.html is from an earlier run: this run wrote no image, and no "
               "page"});
    // Nor does it leave the folders it made for them, though its summary is written.
    EXPECT_EQ(clsg(dir, "run tool.clsg junk.png --out none/out --diag none/d --summary none/s.csv")
                  .status,
              1);
    EXPECT_EQ(listing(dir, "none/"), std::set<std::string>{"none/s.csv"});
    // The page says that the records are of the label image before --min-area cleaned it.
    const std::string before = "the records below are the run's, before that.";
    ASSERT_EQ(clsg(dir, "run tool.clsg bands.png --out m --min-area 5 --diag dm").status, 0);
    EXPECT_NE(slurp(dir / "dm/index.html").find(before), std::string::npos);
    EXPECT_EQ(slurp(dir / "d/index.html").find(before), std::string::npos);
    // --no-score leaves out the score image alone, on threads and in a whole-image run, and
    // says that score images of an earlier run stay.
    for (const char* lean : {"lean", "whole"}) {
        const Outcome o =
            clsg(dir, "run tool.clsg bands.png swapped.png -n 5 --no-score --out " +
                          std::string(lean) + (lean == std::string("whole") ? " --diag wd" : ""));
        ASSERT_EQ(o.status, 0) << o.err;
        std::set<std::string> want;
        for (const std::string& png : expected)
            if (png.find("-score") == std::string::npos) {
                want.insert(lean + png.substr(3));
                EXPECT_EQ(slurp(dir / (lean + png.substr(3))), slurp(dir / png)) << png;
            }
        EXPECT_EQ(listing(dir, std::string(lean) + "/"), want);
    }
    // Nor is a file of the score's name in a folder of inputs refused: it is not written.
    fs::create_directories(dir / "in");
    fs::copy_file(dir / "bands.png", dir / "in/bands.png");
    std::ofstream(dir / "in/bands-score.png") << "mine";
    EXPECT_EQ(clsg(dir, "run tool.clsg in/bands.png --no-score --out in").status, 0);
    EXPECT_EQ(slurp(dir / "in/bands-score.png"), "mine");
    expectAll(clsg(dir, "run tool.clsg bands.png swapped.png -n 5 --no-score --out out").err,
              {"clsg: note: --no-score: out/bands-score.png and 1 more were there before this run "
               "and stay, not scores of this run"});
    // So do a region table not asked for and the segmentation of a label this tool lacks.
    ASSERT_EQ(clsg(dir, "run tool.clsg bands.png --out st --regions").status, 0);
    ASSERT_EQ(clsg(dir,
                   "train rg.clsg --label red=bands.png@0,0,16,32 "
                   "--label green=bands.png:green-mask.png")
                  .status,
              0);
    expectAll(clsg(dir, "run rg.clsg bands.png --out st").err,
              {"clsg: note: st/bands-regions.csv and 1 more were there before this run and "
               "stay, not outputs of this run"});
    EXPECT_EQ(clsg(dir, "run tool.clsg bands.png --out st --regions").err, "");
    // A mask saved as JPEG is warned of, once, told by its bytes whatever its name: the faint
    // pixels of its compression select too.
    Bytes maskRgb;
    for (int i = 0; i < 48 * 32; ++i) maskRgb.insert(maskRgb.end(), 3, i % 48 / 16 == 1 ? 255 : 0);
    writeJpeg(dir / "m.png", 48, 32, maskRgb);
    fs::copy_file(dir / "green-mask.png", dir / "p.jpg");
    const Outcome jpeg = clsg(dir,
                              "train j.clsg --label red=bands.png@0,0,16,32 "
                              "--label green=bands.png:m.png,bands.png:m.png");
    const std::string said = "clsg: warning: the mask m.png is a JPEG: ";
    EXPECT_TRUE(jpeg.status == 0 && jpeg.err.find(said) != std::string::npos &&
                jpeg.err.find(said) == jpeg.err.rfind(said))
        << jpeg.err;
    EXPECT_EQ(clsg(dir, "train j.clsg --label green=bands.png:p.jpg").err, "");
    // As is one inside a TIFF; a TIFF compressed without loss is not.
    std::vector<uint16_t> maskGrey;
    for (std::size_t i = 0; i < maskRgb.size(); i += 3) maskGrey.push_back(maskRgb[i]);
    TiffLayout grey;
    grey.channels = 1, grey.stripRows = 8;
    writeTiff(dir / "deflated.tif", 48, 32, grey, maskGrey);
    grey.compression = COMPRESSION_JPEG;
    writeTiff(dir / "jpeg.tif", 48, 32, grey, maskGrey);
    EXPECT_EQ(clsg(dir, "train j.clsg --label green=bands.png:deflated.tif").err, "");
    expectAll(clsg(dir, "train j.clsg --label green=bands.png:jpeg.tif").err,
              {"clsg: warning: the mask jpeg.tif is a TIFF compressed as JPEG: its compression "});
    // So is a JPEG truth: its values near edges are not the labels drawn.
    EXPECT_NE(
        clsg(dir, "evaluate tool.clsg bands.png --truth m.png")
            .err.find("clsg: warning: the truth m.png is a JPEG: its compression changes values"),
        std::string::npos);
    // And evaluate, as run, says why a neighbourhood wider than the image scores it low
    // (a leading zero is decimal: 040 is forty, not the octal 32).
    expectAll(clsg(dir, "evaluate tool.clsg bands.png --truth green-mask.png -n 040").err,
              {"clsg: note: bands.png is 32 pixels tall, fewer than the neighbourhood 40"});
    EXPECT_EQ(clsg(dir, "evaluate tool.clsg bands.png --truth p.jpg").err.find("is a JPEG"),
              std::string::npos);
    // The images a report shows are exactly the PNG files beside it.
    clsg(dir, "train t.clsg --label r=bands.png@0,0,16,32 --label b=blue.png --diag td");
    // Records that cannot be written take the tool with them, and say so.
    EXPECT_EQ(clsg(dir,
                   "train index.html --label r=bands.png@0,0,16,32 --label b=blue.png "
                   "--diag .")
                  .err,
              "clsg: error: two outputs would both be written to ./index.html; nothing was "
              "written\n");
    EXPECT_FALSE(fs::exists(dir / "index.html"));
    const std::string info = clsg(dir, "info t.clsg").out;  // other names: near their examples
    const std::size_t at = info.find("0 r (#");
    ASSERT_NE(at, std::string::npos) << info;
    const unsigned long r = std::stoul(info.substr(at + 6, 6), nullptr, 16);
    EXPECT_TRUE((r >> 16) > 190 && (r >> 8 & 255) < 40 && (r & 255) < 40) << info;
    // info shows where an example came from as --label takes it, UTF-8 names as they are.
    fs::copy_file(dir / "bands.png", dir / "a,b caf\u00e9\\.png");
    ASSERT_EQ(clsg(dir, "train e.clsg --label 'x=a\\,b caf\u00e9\\\\.png@0,0,4,4'").status, 0);
    expectAll(clsg(dir, "info e.clsg").out, {"example 1: a\\,b caf\u00e9\\\\.png@0,0,4,4, "});
    for (const std::string d : {"td", "d"}) {
        const std::string html = slurp(dir / (d + "/index.html"));
        std::set<std::string> shown, files = listing(dir, d + "/");
        files.erase(d + "/index.html");
        for (std::size_t at = 0; (at = html.find("<img src=\"", at)) != std::string::npos; ++at)
            shown.insert(d + "/" + html.substr(at + 10, html.find('"', at + 10) - at - 10));
        EXPECT_TRUE(!shown.empty() && shown == files) << d;
    }
}

// On a terminal a run shows progress within an image, in place, cleared at the end; else none.
// A newline in a file name is shown as \x0a in every line that names the file, as in run's
// image lines: a raw one would split the line in two.
TEST(Cli, ResultLinesShowANewlineInANameAsHex) {
    ScratchDir dir;
    trainBands(dir);
    Bytes truth(48 * 32);
    for (std::size_t i = 0; i < truth.size(); ++i)
        truth[i] = static_cast<unsigned char>(i % 48 / 16);
    writePng(dir / "t\nx.png", 48, 32, PNG_COLOR_TYPE_GRAY, truth);
    // a, a newline and b, as the shell's word
    const auto nl = [](const std::string& a, const std::string& b) {
        return "\"$(printf '" + a + "\\n" + b + "')\"";
    };
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"train " + nl("x", "y.clsg") + " --diag " + nl("d", "t") +
             " --label red=bands.png@0,0,16,32",
         {"\nwrote x\\x0ay.clsg\ndiagnostics: d\\x0at/index.html\n"}},
        {"info " + nl("x", "y.clsg"), {"x\\x0ay.clsg: clsg tool file, format version"}},
        {"run tool.clsg bands.png --out " + nl("o", "nl") + " --summary " + nl("s", ".csv") +
             " --diag " + nl("d", "r"),
         {"\noutputs in o\\x0anl\ndiagnostics: d\\x0ar/index.html\nsummary: s\\x0a.csv\n"}},
        {"evaluate tool.clsg bands.png --truth " + nl("t", "x.png"),
         {"bands.png against t\\x0ax.png (neighborhood"}},
        // A byte that starts no UTF-8 character (a Latin-1 name) is shown so too; UTF-8 is not.
        {"run tool.clsg \"$(printf 'caf\\351.png')\" caf\xc3\xa9.png --out l1",
         {"caf\\xe9: 48 x 32", "caf\xc3\xa9: 48 x 32"}}};
    fs::copy_file(dir / "bands.png", dir / "caf\xe9.png");
    fs::copy_file(dir / "bands.png", dir / "caf\xc3\xa9.png");
    for (const auto& [line, texts] : cases) {
        const Outcome o = clsg(dir, line);
        EXPECT_EQ(o.status, 0) << line << "\n" << o.err;
        expectAll(o.out, texts);
    }
}

TEST(Cli, AToolIsNotWrittenToATerminal) {
    ScratchDir dir;
    trainBands(dir);
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    const std::string terminal = ptsname(master);
    for (const std::string name : {"-", "/dev/stdout", "/dev/fd/1", terminal.c_str()}) {
        // '#' drops the usual redirections.
        const Outcome o = clsg(
            dir, "train " + name + " --label red=bands.png@0,0,16,32 >" + terminal + " 2>said #");
        EXPECT_EQ(o.status, 2) << name;
        EXPECT_NE(slurp(dir / "said").find("a tool file is binary, not written to a terminal"),
                  std::string::npos)
            << slurp(dir / "said");
    }
    const int flags = fcntl(master, F_GETFL);
    fcntl(master, F_SETFL, flags | O_NONBLOCK);
    char buffer[64];
    EXPECT_LE(read(master, buffer, sizeof buffer), 0);  // nothing reached the terminal
    close(master);
}

TEST(Cli, ProgressWithinAnImageOnATerminalOnly) {
    ScratchDir dir;
    trainBands(dir);
    const Bytes big = bands({0, 1, 2}, 1000, 400);
    writeBytes(dir / "big.ppm", "P6\n1200 1000\n255\n" + std::string(big.begin(), big.end()));
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    // stderr: the terminal's other end, read after the run ('#' drops the usual redirections).
    const std::string terminal = ptsname(master);
    const Outcome o = clsg(dir, "run tool.clsg big.ppm --out tty >/dev/null 2>" + terminal + " #");
    std::string shown;
    char buffer[4096];
    for (ssize_t got; (got = read(master, buffer, sizeof buffer)) > 0;) shown.append(buffer, got);
    close(master);
    ASSERT_EQ(o.status, 0) << shown;
    std::set<int> percents;
    for (std::size_t at = 0; (at = shown.find("\r\033[Kbig: ", at)) != std::string::npos; at += 9)
        if (std::isdigit(static_cast<unsigned char>(shown[at + 9])))
            percents.insert(std::stoi(shown.substr(at + 9)));
    EXPECT_TRUE(percents.size() >= 3 && *percents.rbegin() == 100) << shown;
    // Then the writing of its outputs, not a progress stuck at 100 %.
    const std::size_t writing = shown.find("\r\033[Kbig: writing its outputs");
    EXPECT_TRUE(writing != std::string::npos && writing > shown.find("big: 100%")) << shown;
    EXPECT_EQ(shown.substr(shown.size() - 4), "\r\033[K") << shown;
    EXPECT_EQ(clsg(dir, "run tool.clsg big.ppm --out file").err, "");
}

TEST(Cli, FailuresSayWhyAndLeaveNothingBehind) {
    ScratchDir dir;
    trainBands(dir);
    writePlainPng(dir / "small-mask.png", 10, 8, Bytes(80, 255));
    writePlainPng(dir / "turned-mask.png", 32, 48, Bytes(32 * 48, 255));
    writePlainPng(dir / "empty-mask.png", 48, 32, Bytes(48 * 32, 0));
    writePng(dir / "alpha.png", 1, 1, PNG_COLOR_TYPE_RGB_ALPHA, {1, 2, 3, 4});
    const std::string tool = slurp(dir / "tool.clsg");
    writeBytes(dir / "truncated.clsg", tool.substr(0, tool.size() / 2));
    writePlainPng(dir / "truth.png", 48, 32, Bytes(48 * 32, 7));
    writePng(dir / "unjudged.png", 48, 32, PNG_COLOR_TYPE_GRAY, Bytes(48 * 32, 255));
    ASSERT_EQ(clsg(dir, "train ig.clsg --label ignore=bands.png@0,0,16,32").status, 0);
    writeBytes(dir / "truth16.pgm", "P5 1 1 65535\n" + std::string("\x00\x01", 2));     // label 1
    writePng(dir / "truth1.png", 48, 32, PNG_COLOR_TYPE_GRAY, Bytes(32 * 6, 0x0f), 1);  // 0 and 1
    fs::copy_file(dir / "bands.png", dir / "s1.png");  // named as a diagnostic record's picture
    fs::copy_file(dir / "bands.png", dir / "-x.png");
    const std::string train = "train t.clsg --label ", red = "red=bands.png@0,0,16,32 ",
                      run = "run tool.clsg bands.png ";
    // 93 one-pixel examples at 0.02 (115^3 cells each) would need 1.14 GB to train again when
    // read: over the budget every reader of tool files keeps to (87 would fit).
    std::string unreadable = "train t.clsg --color-tolerance-frac 0.02";
    for (int k = 0; k < 93; ++k)
        unreadable += " --label l" + std::to_string(k) + "=bands.png@" + std::to_string(k % 48) +
                      "," + std::to_string(k / 48) + ",1,1";
    // 6 million white pixels at 0.3 would need too much work; smaller boxes fit (at 0.2).
    writePlainPng(dir / "white.png", 3000, 2000, Bytes(3000 * 2000, 255));
    std::string wordy = "train tool.clsg --label " + red + "--label b=bands.png@0,0,1,1";
    for (int k = 0; k < 600; ++k) wordy += "+1,1,1,1";  // 4817 characters: a tool file keeps 4096
    // Usage errors (status 2, pointing to --help), then runtime failures (status 1).
    std::string crowd = "train t.clsg";
    for (int k = 0; k < 255; ++k) crowd += " --label l" + std::to_string(k) + "=bands.png";
    const std::vector<std::tuple<std::string, std::string, int>> cases = {
        {train + red + "--label " + red, "given twice", 2},
        {crowd, "too many labels: 255 given, and a tool takes at most 254", 2},
        {wordy, "takes 4817 characters, more than the 4096 a tool file keeps", 2},
        {"train new/ --label " + red, "cannot write new/: it names a directory, not a file", 1},
        {run + "--out out --neighborhood 256",
         "--neighborhood: must be a whole number from 1 to 255, not '256'", 2},
        {run + "--out out -n 5abc", "must be a whole number from 1 to 255, not '5abc'", 2},
        {run + "--out out -n 0x10", "must be a whole number from 1 to 255, not '0x10'", 2},
        {run + "--out out --max-pixels 01535", "the limit is 1535 pixels", 1},  // not octal
        {run + "--out out --regions --min-area -1", "--min-area: must be a whole number", 2},
        {run + "--out out --fill-holes 18446744073709551616", "is too large", 2},
        {run + "--out out --max-pixels 0", "--max-pixels: must be at least 1", 2},
        {run + "--out out --regions --connectivity ''", "--connectivity: must be 4 or 8, not ''",
         2},  // was taken as 0, and every image failed
        {run + "--out out --regions --connectivity 08", "must be 4 or 8, not '08'", 2},
        {train + red + "--report r.json", "requires --auto", 2},
        {train + red + "--threads 2", "requires --auto", 2},
        {"train t.clsg --lable " + red,
         "unknown argument --lable; did you mean --label? (see clsg train --help)", 2},
        {run + "--out out --neighbourhood 5",
         "unknown argument --neighbourhood; did you mean --neighborhood? (see clsg run --help)", 2},
        // A file named like an option; "--" ends the options, so what is
        // missing before it is said.
        {run + "--out out -x.png",
         "unknown argument -x.png; to name the file -x.png, write ./-x.png or put it after --", 2},
        {"run tool.clsg -- -x.png", "--out is required", 2},
        {"train -t2.clsg --label " + red,
         "unknown argument -t2.clsg; to name the file -t2.clsg, write ./-t2.clsg or put it after "
         "--",
         2},
        // After "--" a word like an option is a file name: one too many is said as typed.
        {"train -- -t3.clsg --label a=-x.png@0,0,5,5",
         "--label is one file name more than clsg train takes: after --, every word is a file "
         "name (see clsg train --help)",
         2},
        {"--threads 2 " + run + "--out out",
         "options go after the command: clsg run --threads ... (see clsg run --help)", 2},
        {train + red + "--color-tolerance-frac nan", "must be a number from 0 to 1", 2},
        {train + red + "--color-tolerance-frac 2", "must be a number from 0 to 1, not '2'", 2},
        {train + red + "--color-tolerance-frac 0", "so the tool would label no pixel", 2},
        {train + red + "--color-tolerance-frac 1e-90", "so the tool would label no pixel", 2},
        {run + "--out out --summary ''", "--summary: needs a file name", 2},
        {run + "--out ''", "--out: needs a file or directory name", 2},
        // Nor is any other empty name taken as a file that cannot be opened.
        {"evaluate tool.clsg bands.png --truth ''", "--truth: needs a file or directory name", 2},
        {"evaluate '' bands.png --truth truth.png", "tool: needs a file or directory name", 2},
        {"evaluate tool.clsg '' --truth truth.png", "image: needs a file or directory name", 2},
        {"info ''", "tool: needs a file or directory name", 2},
        {"run '' bands.png --out out", "tool: needs a file or directory name", 2},
        {run + "'' --out out", "images: needs a file or directory name", 2},
        {"studio bands.png '' --out so", "images: needs a file or directory name", 2},
        // A newline in a name is shown as \x0a, as a space would name another file.
        {"info \"$(printf 'no\\nsuch.clsg')\"", "cannot open no\\x0asuch.clsg: No such file", 1},
        {"evaluate tool.clsg bands.png --truth \"$(printf 'no\\nsuch.png')\"",
         "cannot open no\\x0asuch.png: No such file", 1},
        {train + "\"a=$(printf 'no\\nsuch.png')\"", "cannot open no\\x0asuch.png: No such file", 1},
        {"train sub/t.clsg --label a=missing.png", "cannot open missing.png", 1},
        {"studio missing.png --out so", "cannot open missing.png", 1},  // makes no folder
        {"studio bands.png --tool missing.clsg --out so", "cannot open missing.clsg", 1},
        // A comma or colon meant otherwise: the error says how --label splits.
        {"train t.clsg --label a=bands.png@0,0,1,1,2,2,1,1",
         "cannot open 2: No such file or directory (rectangles are joined with '+'", 1},
        {"train t.clsg --label a=x:bands.png",
         "write it as \\:, since a colon separates an image from its mask", 1},
        {"train t.clsg --label a=x,bands.png", "write it as \\,, since a comma separates examples",
         1},
        {"train t.clsg --auto --label " + red + "--label dot=bands.png@20,4,1,1",
         "cross-validate: label dot has them in too few places", 1},
        {train + "a=bands.png:small-mask.png", "small-mask.png is 10 x 8 but image bands.png", 1},
        {train + "a=bands.png:turned-mask.png",
         "is 48 x 32 as stored (the turn a photo's orientation tag asks viewers for is not", 1},
        {train + "a=bands.png:empty-mask.png", "selects no pixel", 1},
        {"run truncated.clsg bands.png --out out", "corrupt tool file", 1},
        {"run tool.clsg alpha.png --out out/sub -j 2 --diag diag", "alpha", 1},
        {run + "--out bands.png/x", "--out bands.png/x: bands.png is not a directory", 1},
        {run + "--out rt --regions",  // said as an image that cannot be written is
         "clsg: error: cannot write rt/bands-regions.csv: it names a directory", 1},
        {"evaluate tool.clsg bands.png --truth truth.png",
         "7,7,7 at (0, 0) stands for no label (grey i is the tool's label i, and its ", 1},
        // An input not there yet that the run would write: it would read its own output.
        {"run tool.clsg bands.png out9/bands-overlay.png --out out9",
         "out9/bands-overlay.png is also bands.png's output bands-overlay.png; clsg run never "
         "reads its own outputs",
         1},
        {"run tool.clsg bands.png clip.avi --out out9 --summary out9/clip-frames.csv",
         "--summary out9/clip-frames.csv is also clip.avi's output clip-frames.csv", 1},
        {"evaluate tool.clsg bands.png --truth truth.png --max-pixels 1535",
         "the limit is 1535 pixels, raise it with --max-pixels", 1},
        {"evaluate tool.clsg bands.png --truth truth.png --truth-map '# 12345=red'",
         "--truth-map: # 12345 is not a grey value (0 to 255), R,G,B or #rrggbb", 2},
        {"evaluate tool.clsg bands.png --truth truth.png --truth-map '1, 2,3=red'",
         "is not a grey value", 2},
        {"evaluate tool.clsg bands.png --truth truth.png --truth-map +7=red", "is not a grey", 2},
        {"evaluate ig.clsg bands.png --truth truth.png --truth-map 7=ignore",
         "the tool has a label named ignore", 2},
        {"evaluate tool.clsg bands.png --truth unjudged.png",
         "unjudged.png: every pixel is one not judged: nothing to evaluate", 1},
        {"evaluate tool.clsg bands.png --truth truth16.pgm",
         "truth16.pgm: its samples run to 65535, not 255", 1},
        {"evaluate tool.clsg bands.png --truth truth1.png",  // read as 0 and 255 (ignored) before
         "truth1.png: its samples have 1 bit, not 8", 1},
        {unreadable, "could not be read back: training would need 1137614500 bytes", 1},
        {unreadable, "raise --color-tolerance-frac (they fit at 0.05) or give fewer", 1},
        {"train t.clsg --color-tolerance-frac 0.3 --label w=white.png",
         "work units, over the "
         "budget of 4294967296 (tool files are trained again when read); lower "
         "--color-tolerance-frac (they fit at 0.2)",
         1},
        // Inputs are never written over: examples, masks, the tool.
        {"train bands.png --label " + red, "it is the input bands.png", 1},
        {"train t.clsg --auto --report bands.png --label " + red + "--label b=bands.png@16,0,8,8",
         "cannot write bands.png: it is the input bands.png", 1},
        {"train small-mask.png --label a=bands.png:small-mask.png", "input small-mask.png", 1},
        {run + "--out out --summary tool.clsg",
         "would replace the input tool.clsg (as the summary); clsg run never writes over its "
         "inputs: choose another --summary",
         1},
        // Nor is a summary lost to a directory or an output of the run, nor are the outputs
        // to diagnostic records: found before any image is read.
        {run + "--out out --summary out", "--summary out is the output directory", 1},
        {run + "--out out --summary out/bands-labels.png",
         "--summary out/bands-labels.png is also bands.png's output bands-labels.png", 1},
        {run + "--out out --regions --summary out/bands-regions.csv",
         "is also bands.png's output bands-regions.csv", 1},
        {run + "--out out --diag small-mask.png",
         "--diag small-mask.png: small-mask.png is not a directory", 1},
        {run + "--out out --diag d --summary d/s1-legend.png",
         "--summary d/s1-legend.png is in --diag d under the name of a diagnostic record", 1},
        {run + "--out out --diag d --summary d", "--summary d is the --diag directory", 1},
        // Nor a page of the user's own to records.
        {run + "--out out --diag site",
         "--diag site: its index.html is not a page of diagnostic "
         "records, and is never written over",
         1},
        {"train t.clsg --diag site --label " + red, "its index.html is not a page of diagnostic",
         1},
        {run + "--out out --diag out/bands-labels.png",
         "--diag out/bands-labels.png is also bands.png's output bands-labels.png: choose "
         "another --diag",
         1},
        {run + "--out out --diag d/ --summary d/s1-legend.png",  // d not made yet
         "--summary d/s1-legend.png is in --diag d/ under the name", 1},
        {"run tool.clsg bands.png s1.png --out out --diag out/",
         "--diag out/ is the output directory, where a diagnostic record would replace s1.png's "
         "output s1-overlay.png: choose another --diag",
         1}};
    fs::create_directories(dir / "rt/bands-regions.csv");
    fs::create_directories(dir / "site");
    writeBytes(dir / "site/index.html", "<html>my own page</html>");
    const std::set<std::string> before = listing(dir);
    const std::string bands = slurp(dir / "bands.png"), mask = slurp(dir / "small-mask.png");
    for (const auto& [line, message, status] : cases) {
        const Outcome o = clsg(dir, line);
        EXPECT_EQ(o.status, status) << line;
        EXPECT_EQ(o.err.rfind("clsg: error: ", 0), 0u) << line << "\n" << o.err;
        EXPECT_NE(o.err.find(message), std::string::npos) << line << "\n" << o.err;
        EXPECT_EQ(o.err.find("--help)") != std::string::npos, status == 2) << o.err;
        EXPECT_EQ(listing(dir), before) << line;
    }
    EXPECT_EQ(slurp(dir / "site/index.html"), "<html>my own page</html>");
    // Nor is a pipe or device there read (a pipe would be waited on for ever) or written.
    fs::create_directories(dir / "pipe"), fs::create_directories(dir / "dev");
    ASSERT_EQ(mkfifo((dir / "pipe/index.html").c_str(), 0600), 0);
    fs::create_symlink("/dev/null", dir / "dev/index.html");
    for (const std::string folder : {"pipe", "dev"})
        EXPECT_EQ(clsg(dir, run + "--out pout --diag " + folder).err,
                  "clsg: error: --diag " + folder +
                      ": its index.html is not a file, and is never written over; give another "
                      "--diag\n");
    EXPECT_FALSE(fs::exists(dir / "pout"));
    fs::remove_all(dir / "pipe"), fs::remove_all(dir / "dev");
    // Two commands' records of the same names would mix in one folder: the second is refused
    // while the first holds it, and the folder is free again once it is done.
    fs::create_directories(dir / "held");
    const std::string hold = "exec 9>'" + (dir / "held/.clsg-diag.lock") + "' && flock 9 && ";
    for (const std::string& line :
         {run + "--out hout --diag held", "train t.clsg --diag held --label " + red}) {
        const Outcome held = clsg(dir, line, hold);
        EXPECT_EQ(held.status, 1) << line;
        EXPECT_EQ(held.err,
                  "clsg: error: --diag held: another clsg command writes its diagnostic "
                  "records there; give this one another --diag\n");
    }
    EXPECT_FALSE(fs::exists(dir / "hout") || fs::exists(dir / "t.clsg"));
    EXPECT_EQ(clsg(dir, run + "--out hout --diag held").status, 0);
    EXPECT_TRUE(fs::exists(dir / "held/index.html"));
    EXPECT_FALSE(fs::exists(dir / "held/.clsg-diag.lock"));
    fs::remove_all(dir / "held"), fs::remove_all(dir / "hout");
    // In a batch, the image whose output cannot be written is the one said to have none.
    const Outcome pair = clsg(dir, "run tool.clsg bands.png s1.png --out rt --regions");
    EXPECT_EQ(pair.status, 1);
    expectAll(pair.err, {"rt/bands-regions.csv: it names a directory, not a file; none of this "
                         "image's outputs were written\n"});
    EXPECT_TRUE(fs::exists(dir / "rt/s1-labels.png"));
    // So is one image beside a summary, which is written.
    const Outcome alone = clsg(dir, "run tool.clsg bands.png --out rt --regions --summary rt.csv");
    expectAll(alone.err, {"none of this image's outputs were written\n"});
    expectAll(slurp(dir / "rt.csv"), {"none of this image's outputs were written"});
    fs::remove(dir / "rt.csv");
    for (const auto& entry :
         std::vector<fs::directory_entry>(fs::directory_iterator(dir / "rt"), {}))
        if (entry.path().filename() != "bands-regions.csv") fs::remove(entry.path());
    // After "--" a name that begins with '-' is a file, among the images before it too.
    const Outcome dashed = clsg(dir, "run tool.clsg --out dashed bands.png -- -x.png");
    EXPECT_EQ(dashed.status, 0) << dashed.err;
    EXPECT_TRUE(fs::exists(dir / "dashed/-x-labels.png") &&
                fs::exists(dir / "dashed/bands-labels.png"));
    fs::remove_all(dir / "dashed");
    // Found wrong before the search, which would print its report first, and before any image
    // is segmented (each is reported when done).
    EXPECT_EQ(clsg(dir, "train t.clsg --auto --label " + red + "--label " + red).out, "");
    for (const std::string& line :
         {run + "--out out --regions --summary out/bands-regions.csv",
          run + "--out out --diag small-mask.png",
          run + "--out out --diag d --summary d/index.html",
          std::string("run tool.clsg bands.png s1.png --out out --diag out")})
        EXPECT_EQ(clsg(dir, line).out, "") << line;
    // So is an output whose folder takes no new file (/proc, as a folder the user cannot
    // write would): its temporary is made before the work.
    for (const auto& [line, output] : std::vector<std::pair<std::string, std::string>>{
             {"train /proc/t.clsg --auto --label " + red + "--label b=bands.png@16,0,8,8",
              "/proc/t.clsg"},
             {"train t.clsg --auto --report /proc/r.json --label " + red +
                  "--label b=bands.png@16,0,8,8",
              "/proc/r.json"},
             {run + "--out out --summary /proc/s.csv", "/proc/s.csv"}}) {
        const Outcome unwritable = clsg(dir, line);
        EXPECT_EQ(unwritable.status, 1) << line;
        EXPECT_EQ(unwritable.out, "") << line;
        EXPECT_EQ(unwritable.err, "clsg: error: cannot create a temporary file next to " + output +
                                      ": No such file or directory; nothing was written\n");
        EXPECT_FALSE(fs::exists(dir / "t.clsg") || fs::exists(dir / "out")) << line;
    }
    const Outcome early = clsg(dir, "train t.clsg --auto --diag bands.png --label " + red +
                                        "--label b=bands.png@16,0,8,8");
    EXPECT_EQ(early.out, "");
    expectAll(early.err, {"bands.png is not a directory"});
    // A positional between options is no second value of the option before it.
    EXPECT_EQ(clsg(dir, "train --label " + red + "mid.clsg --color-tolerance-min 3").status, 0);
    EXPECT_EQ(clsg(dir, "evaluate --truth-map 0000000007=red mid.clsg bands.png --truth truth.png")
                  .status,
              0);
    fs::remove(dir / "mid.clsg");
    // The summary as one of the outputs, named from the root: found before any image is run too.
    const Outcome rooted = clsg(dir, run + "--out out --summary " + (dir / "out/bands-labels.png"));
    EXPECT_NE(rooted.err.find("is also bands.png's output bands-labels.png"), std::string::npos)
        << rooted.err;
    EXPECT_EQ(rooted.out + (fs::exists(dir / "out") ? "out" : ""), "");
    EXPECT_TRUE(slurp(dir / "bands.png") == bands && slurp(dir / "tool.clsg") == tool &&
                slurp(dir / "small-mask.png") == mask);
    // Nor by a diagnostic record of the same name.
    fs::create_directories(dir / "d");
    fs::copy_file(dir / "bands.png", dir / "d/s1-r1-e1.png");
    const Outcome diag = clsg(dir, "run tool.clsg d/s1-r1-e1.png --out out --diag d");
    EXPECT_NE(diag.status, 0);
    EXPECT_NE(diag.err.find("--diag d is a directory this run reads images from"),
              std::string::npos)
        << diag.err;
    EXPECT_EQ(slurp(dir / "d/s1-r1-e1.png"), bands);
    fs::remove_all(dir / "d"), fs::remove_all(dir / "out");
    // A write error names the output and why; files of at most 4 KB: messages fit, outputs not
    // (and the limit's signal does not kill the program).
    Bytes noise(160 * 160 * 3);
    std::generate(noise.begin(), noise.end(), std::mt19937(5));
    writePlainPng(dir / "noise.png", 160, 160, noise);
    const Outcome o = clsg(dir, "run tool.clsg noise.png --out out", "ulimit -f 8; ");
    EXPECT_NE(o.status, 0);
    expectAll(o.err, {"cannot write out/noise-", "File too large"});
    EXPECT_FALSE(fs::exists(dir / "out"));
    // train's tool and report go together: either one failing is said to take both.
    for (const std::string report : {"", " --report r.json"}) {
        const Outcome t = clsg(dir,
                               "train n.clsg --auto --label a=noise.png@0,0,80,160" + report +
                                   " --label b=noise.png@80,0,80,160",
                               "ulimit -f 1; ");
        EXPECT_EQ(t.status, 1);
        expectAll(t.err, {"cannot write " + std::string(report.empty() ? "n.clsg" : "r.json") +
                          ": File too large; nothing was written\n"});
        EXPECT_FALSE(fs::exists(dir / "n.clsg") || fs::exists(dir / "r.json"));
    }
    fs::create_directories(dir / "in/sub");  // a batch keeps what succeeded and sums up
    fs::copy_file(dir / "bands.png", dir / "in/b.png");
    writeBytes(dir / "in/a-broken.png", "this is not an image");
    writeBytes(dir / "in/notes.txt", "not an image name, so not an input");
    fs::copy_file(dir / "bands.png", dir / "in/sub/deeper.png");  // not descended into
    const Outcome b =
        clsg(dir, "run tool.clsg in blue.png missing.png --out out --summary s.csv --diag dg");
    EXPECT_EQ(b.status, 1);
    expectAll(b.err, {"clsg: error: in/a-broken.png: not a PNG", "missing.png"});
    EXPECT_EQ(b.err.substr(b.err.rfind('\n', b.err.size() - 2) + 1), "2 of 4 images failed\n");
    EXPECT_EQ(listing(dir, "out/").size(), 16u);
    expectAll(slurp(dir / "s.csv"),
              {"image,status,width,height,milliseconds,red,green,blue,unlabelled,error\n"
               "in/a-broken.png,failed,,,,,,,,\"in/a-broken.png: not a PNG",
               "\nin/b.png,ok,48,32,", ",0.333333,0.333333,0.333333,0.000000,\nblue.png,ok,16,8,",
               ",0.000000,0.000000,1.000000,0.000000,\nmissing.png,failed,"});
    expectAll(slurp(dir / "dg/index.html"),  // every image in the record, in the order given
              {"<h2>a-broken</h2>\n<p class=\"note\">failed: in/a-broken.png: not a PNG",
               "<h2>b</h2>\n<figure><img src=\"s2-overlay.png\"", "<h2>blue</h2>",
               "<h2>missing</h2>\n<p class=\"note\">failed: "});
    // JPEG's other extensions are images too, not passed over unsaid.
    fs::create_directories(dir / "jf");
    for (const char* name : {"jf/p.JFIF", "jf/q.jpe"}) fs::copy_file(dir / "bands.png", dir / name);
    EXPECT_EQ(clsg(dir, "run tool.clsg jf --out jfo").status, 0);
    EXPECT_EQ(listing(dir, "jfo/").size(), 16u);
    // An image failing now keeps what an earlier run wrote for it, not passed off as new.
    writeBytes(dir / "in/b.png", "no longer an image");
    for (const std::string format : {"png", "pnm"})  // whatever the format asked now
        expectAll(clsg(dir, "run tool.clsg in --out out --format " + format).err,
                  {"clsg: note: out/b-labels.png and 7 more are from an earlier run, not this "
                   "one's outputs of in/b.png\n"});
    fs::create_directories(dir / "fresh/b-overlay.png");  // a folder in the way is no output
    EXPECT_EQ(clsg(dir, "run tool.clsg in --out fresh").err.find("earlier run"), std::string::npos);
    // Nor is a pipe or device left at an output's name (or a link to one), unlike one the user
    // names (--summary /dev/stdout): that image fails, said so, and the batch goes on. The pipe
    // has a reader (the shell's), so that writing into it would not wait.
    fs::create_directories(dir / "piped"), fs::create_directories(dir / "pd");
    fs::copy_file(dir / "bands.png", dir / "third.png");
    fs::copy_file(dir / "bands.png", dir / "fourth.png");
    ASSERT_EQ(mkfifo((dir / "piped/blue-overlay.png").c_str(), 0600), 0);
    fs::create_symlink("/dev/null", dir / "piped/third-labels.png");
    fs::create_symlink("/dev/null", dir / "piped/fourth-regions.csv");
    fs::create_symlink("/dev/null", dir / "pd/s1-overlay.png");  // the first image's record
    const Outcome piped = clsg(
        dir,
        "run tool.clsg bands.png blue.png third.png fourth.png --out piped --regions --summary "
        "p.csv --diag pd",
        "exec 3<>'" + (dir / "piped/blue-overlay.png") + "'; ");
    EXPECT_EQ(piped.status, 1);
    expectAll(piped.err,
              {"clsg: error: cannot write piped/blue-overlay.png: it is a pipe (FIFO), not a file; "
               "none of this image's outputs were written\n",
               "clsg: error: cannot write piped/third-labels.png: it is a link to a device, not a "
               "file; none of this image's outputs were written\n",
               "clsg: error: cannot write piped/fourth-regions.csv: it is a link to a device, not "
               "a file; none of this image's outputs were written\n",
               "bands: its diagnostic records were not written: cannot write pd/s1-overlay.png: "
               "it is a link to a device, not a file",
               "\n3 of 4 images failed\n"});
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "piped"), fs::directory_iterator()),
              3 + 9);  // bands' outputs and its region table
    expectAll(slurp(dir / "p.csv"), {"\nbands.png,ok,", "\nblue.png,failed,", "\nthird.png,failed,",
                                     "\nfourth.png,failed,"});
    // The region columns follow --regions, not what the images needed.
    ASSERT_EQ(clsg(dir, "run tool.clsg blue.png --out o2 --outline --summary s2.csv").status, 0);
    EXPECT_EQ(slurp(dir / "s2.csv").find("regions_"), std::string::npos) << slurp(dir / "s2.csv");
    clsg(dir, "run tool.clsg missing.png --out o3 --regions --summary s3.csv");
    expectAll(slurp(dir / "s3.csv"), {"unlabelled,regions_red,regions_green,regions_blue,error\n"
                                      "missing.png,failed,,,,,,,,,,,"});
    // A label named like another column gets a share column of its own name.
    ASSERT_EQ(clsg(dir,
                   "train cols.clsg --label status=bands.png@0,0,16,32 --label "
                   "unlabelled=bands.png@16,0,16,32 --label regions_status=bands.png@32,0,16,32")
                  .status,
              0);
    // The console line's pixels of no label are "(unlabelled)" beside a label of that name.
    expectAll(clsg(dir, "run cols.clsg blue.png --out o4 --regions --summary s4.csv").out,
              {"unlabelled 0.0%", ", (unlabelled) "});
    EXPECT_EQ(slurp(dir / "s4.csv").substr(0, slurp(dir / "s4.csv").find('\n')),
              "image,status,width,height,milliseconds,share_status,share_unlabelled,"
              "share_regions_status,unlabelled,regions_status,regions_unlabelled,"
              "regions_regions_status,error");
    const Outcome w =  // warnings do not stop the training
        clsg(dir, train + red + "--label same=bands.png@0,0,16,32");
    expectAll(w.err, {"red and same have identical examples"});
    EXPECT_TRUE(w.status == 0 && fs::exists(dir / "t.clsg"));
    const Outcome twins = clsg(dir,
                               "train t2.clsg --label a#123456=bands.png@0,0,8,8 --label "
                               "b#123456=bands.png@24,0,8,8");
    expectAll(twins.err, {"labels a and b have the same colour #123456"});
    EXPECT_EQ(twins.status, 0);
    // Labels whose examples on one image file select common pixels are warned of, counted
    // once however a label's examples overlap; other files, even of the same pixels, are not.
    Bytes left(48 * 32, 0);
    for (std::size_t i = 0; i < left.size(); ++i) left[i] = i % 48 < 16 ? 255 : 0;
    writePlainPng(dir / "left.png", 48, 32, left);
    fs::copy_file(dir / "bands.png", dir / "copy.png");
    const std::string shared = " are selected by label ";
    for (const auto& [labels, warning] : std::vector<std::pair<std::string, std::string>>{
             {"a=bands.png@0,0,8,8,bands.png@4,0,8,8 --label b=./bands.png@0,0,16,4+0,4,16,4",
              "96 pixels of image bands.png are selected by label a and by label b, so they "
              "teach both labels the same colours\n"},
             {"bg=bands.png:left.png --label shadow=bands.png@3,3,3,3",
              "9 pixels of image bands.png are selected by label bg and by label shadow"},
             {"a=bands.png@0,0,8,8 --label b=copy.png@0,0,8,8", ""},
             {"a=bands.png@0,0,8,8 --label b=bands.png@8,0,8,8", ""},
             {"a=bands.png@0,0,8,8 --label b=bands.png@0,0,8,8", ""}}) {  // identical: said so
        const Outcome o = clsg(dir, "train t3.clsg --label " + labels);
        EXPECT_EQ(o.status, 0) << labels;
        if (warning.empty())
            EXPECT_EQ(o.err.find(shared), std::string::npos) << labels << "\n" << o.err;
        else
            expectAll(o.err, {"clsg: warning: " + warning});
    }
}

TEST(Cli, RunsNeverWriteOverTheirInputsNorReadTheirOwnOutputs) {
    ScratchDir dir;
    trainBands(dir);
    fs::create_directories(dir / "photos");
    fs::copy_file(dir / "bands.png", dir / "photos/photo.png");
    writePlainPng(dir / "photos/photo-overlay.png", 48, 32, bands({2, 1, 0}));   // the user's own
    writePlainPng(dir / "photos/photo-overlays.png", 48, 32, bands({2, 1, 0}));  // no output name
    writePlainPng(dir / "photos/other-labels.png", 48, 32, bands({2, 1, 0}));    // no input "other"
    writeBytes(dir / "photos/notes.csv", "the user's own");
    const std::string userOverlay = slurp(dir / "photos/photo-overlay.png");
    const std::string skipped =
        "clsg: skipping 1 file named as this run's outputs for its other "
        "images: photos/photo-overlay.png (name a file on its own";
    // Refused before anything is written: {command, message}.
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"run tool.clsg photos --out photos",
         "photos/photo-overlay.png exists in photos, which this run reads its inputs from"},
        {"run tool.clsg photos/photo.png photos/photo-overlay.png --out photos",
         "photos/photo-overlay.png would replace the input photos/photo-overlay.png (as "
         "photos/photo.png's output)"},
        {"run tool.clsg photos/photo.png --out out --format pnm --summary photos/photo.png",
         "photos/photo.png would replace the input photos/photo.png (as the summary)"},
        // A named image's directory is read from as well, and so is a summary's.
        {"run tool.clsg photos/photo.png --out photos",
         "photos/photo-overlay.png exists in photos, which this run reads its inputs from"},
        {"run tool.clsg photos --out out --summary photos/notes.csv",
         "photos/notes.csv exists in photos, which this run reads its inputs from; clsg run "
         "never writes over files among its inputs: choose another --summary"},
        // Inputs of other names that would share an output: refused whatever finishes first.
        {"run shared.clsg photos/photo.png shared/photo-seg.png --out out -j 2",
         "the outputs of photos/photo.png and shared/photo-seg.png would both be written to "
         "out/photo-seg-labels.png"}};
    fs::create_directories(dir / "shared");
    fs::copy_file(dir / "bands.png", dir / "shared/photo-seg.png");
    EXPECT_EQ(clsg(dir,
                   "train shared.clsg --label labels=bands.png@0,0,16,32 "
                   "--label other=bands.png@16,0,32,32")
                  .status,
              0);
    const std::set<std::string> before = listing(dir);
    for (const auto& [line, message] : refused) {
        const Outcome o = clsg(dir, line);
        EXPECT_EQ(o.status, 1) << line;
        expectAll(o.err, {"clsg: error: " + message});
        EXPECT_EQ(listing(dir), before) << line;
    }
    EXPECT_EQ(slurp(dir / "photos/photo-overlay.png"), userOverlay);
    // An earlier run's summary beside the images is no file of the user's: the command
    // runs again.
    for (int again = 0; again < 2; ++again)
        EXPECT_EQ(
            clsg(dir, "run tool.clsg photos/photo.png --out out --summary photos/s.csv").status, 0);
    fs::remove_all(dir / "out");
    fs::remove(dir / "photos/s.csv");
    // Elsewhere the run segments the images, not the file named as photo's overlay.
    const Outcome o = clsg(dir, "run tool.clsg photos --out out");
    EXPECT_EQ(o.status, 0) << o.err;
    expectAll(o.err, {skipped});
    EXPECT_EQ(listing(dir, "out/").size(), 3u * 8u);
    EXPECT_EQ(listing(dir, "out/photo-overlay-"), std::set<std::string>{});
    EXPECT_EQ(listing(dir, "out/photo-overlays-labels.png").size(), 1u);
    // Of a directory's entries named as images, a link to nothing fails as it would named
    // on its own; a FIFO (reading it would wait) and a folder are skipped, and said so.
    fs::create_directories(dir / "odd/d.png");
    fs::copy_file(dir / "bands.png", dir / "odd/a.png");
    fs::create_symlink(dir / "nowhere.png", dir / "odd/b.png");
    fs::create_symlink("f.png", dir / "odd/f.png");  // a loop
    ASSERT_EQ(mkfifo((dir / "odd/c.png").c_str(), 0600), 0);
    fs::copy_file(dir / "bands.png", dir / "odd/two\nlines.png");  // each said on one line
    writeBytes(dir / "odd/e\n.png", "junk");
    writeBytes(dir / "odd/clip.mp4", "not read");  // a video is taken only when named
    const Outcome odd = clsg(dir, "run tool.clsg odd --out odd-out --summary odd.csv");
    EXPECT_EQ(odd.status, 1) << odd.err;
    expectAll(odd.out, {"\ntwo\\x0alines: 48 x 32"});
    expectAll(odd.err, {"cannot open odd/b.png", "cannot open odd/f.png: Too many levels",
                        "\nclsg: error: odd/e\\x0a.png: not a PNG",
                        "clsg: skipping 2 entries named as images that are not files (a folder, a "
                        "FIFO, a device): odd/c.png odd/d.png",
                        "clsg: note: a directory argument gives its images only; skipping 1 video: "
                        "odd/clip.mp4 (name a video to segment it)"});
    expectAll(slurp(dir / "odd.csv"), {"odd/a.png,ok", "odd/b.png,failed", "odd/f.png,failed"});
    // A summary that cannot be written is an error of its own: the count of failed images and
    // the folder of the written ones are still said, and the page is written.
    const Outcome full =
        clsg(dir, "run tool.clsg odd/a.png odd/b.png --out full --summary /dev/full --diag dfull");
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.out.find("outputs in full\ndiagnostics: dfull/index.html\n"), std::string::npos)
        << full.out;
    expectAll(full.err, {"clsg: error: cannot write /dev/full: No space left on device\n",
                         "\n1 of 2 images failed\n"});
    EXPECT_EQ(full.err.find("nothing was written"), std::string::npos) << full.err;
    EXPECT_TRUE(fs::exists(dir / "dfull/index.html"));
    // And a page that cannot be written takes neither the summary nor the images with it.
    fs::create_directories(dir / "dro");
    writeBytes(dir / "dro/index.html",  // an earlier run's page, made read-only
               "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>clsg run</title>");
    fs::permissions(dir / "dro/index.html", fs::perms::owner_read);
    const Outcome page =
        clsg(dir, "run tool.clsg odd/a.png --out pro --summary pro/s.csv --diag dro");
    EXPECT_EQ(page.status, 1);
    EXPECT_EQ(page.out.substr(page.out.find("outputs in")), "outputs in pro\nsummary: pro/s.csv\n");
    EXPECT_EQ(page.err, "clsg: error: cannot write dro/index.html: the file is read-only\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "pro"), fs::directory_iterator()), 9);
    // A summary that cannot be written is refused before the first image, not after the last.
    writeBytes(dir / "ro.csv", "kept");
    fs::permissions(dir / "ro.csv", fs::perms::owner_read);
    const Outcome ro = clsg(dir, "run tool.clsg odd/a.png --out rso --summary ro.csv");
    EXPECT_EQ(ro.status, 1);
    EXPECT_EQ(ro.err,
              "clsg: error: cannot write ro.csv: the file is read-only; nothing was written\n");
    EXPECT_FALSE(fs::exists(dir / "rso"));
    // Another user's file that this one may not write is said so: it was said read-only.
    if (geteuid() == 0 && std::system("command -v runuser >/dev/null") == 0) {
        writeBytes(dir / "theirs.csv", "kept");  // root's, 0644
        fs::permissions(dir.path, fs::perms::all);
        const std::string said = dir.path.string() + "/said";
        std::system(("cd '" + dir.path.string() +
                     "' && runuser -u nobody -- '" CLSG_CLI_PATH
                     "' run tool.clsg odd/a.png --out nb --summary theirs.csv 2>'" +
                     said + "'")
                        .c_str());
        EXPECT_EQ(slurp(said),
                  "clsg: error: cannot write theirs.csv: this user may not write the "
                  "file; nothing was written\n");
        // Its own outputs, made without write permission under its umask, it replaces; the
        // folders it makes for them it can write into.
        fs::create_directory(dir / "own");
        fs::permissions(dir / "own", fs::perms::all);
        const std::string twice =
            "cd '" + dir.path.string() +
            "' && umask 0222 && runuser -u nobody -- '" CLSG_CLI_PATH
            "' run tool.clsg odd/a.png --out own/made/here --summary own.csv >/dev/null";
        EXPECT_EQ(std::system((twice + " && " + twice).c_str()), 0);
    }
    // Nor do an image's records, which are committed after its outputs.
    fs::create_directories(dir / "drec/s1-overlay.png");  // a folder in the way
    const Outcome records =
        clsg(dir, "run tool.clsg odd/a.png --out rec --summary rec/s.csv --diag drec");
    EXPECT_EQ(records.status, 1);
    expectAll(records.err, {"clsg: error: a: its diagnostic records were not written: "});
    EXPECT_EQ(records.err.find("nothing was written"), std::string::npos) << records.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "rec"), fs::directory_iterator()), 9);
    expectAll(slurp(dir / "rec/s.csv"), {"\nodd/a.png,ok,"});
    expectAll(slurp(dir / "drec/index.html"), {"<h2>a</h2>\n<p class=\"note\">its diagnostic "
                                               "records were not written: "});
    // Two images of one name are named, before anything is read; one named twice is said so.
    fs::create_directories(dir / "twin");
    fs::copy_file(dir / "bands.png", dir / "twin/a.png");
    const Outcome twins = clsg(dir, "run tool.clsg odd/a.png twin --out twins");
    EXPECT_EQ(twins.status, 1);
    expectAll(twins.err, {"the input images odd/a.png and twin/a.png are both named a; their "
                          "outputs would collide: rename one of them"});
    expectAll(
        clsg(dir, "run tool.clsg twin twin/./a.png --out twins").err,
        {"the image twin/./a.png is given twice (twin/a.png is the same file): give it once"});
    EXPECT_FALSE(fs::exists(dir / "twins"));
    // A second run into its own input directory: the first's outputs are
    // skipped as inputs and not written over.
    fs::create_directories(dir / "again");
    fs::copy_file(dir / "bands.png", dir / "again/a.png");
    EXPECT_EQ(clsg(dir, "run tool.clsg again --out again").status, 0);
    const Outcome second = clsg(dir, "run tool.clsg again --out again");
    EXPECT_EQ(second.status, 1);
    expectAll(second.err, {"clsg: skipping 8 files",
                           "again/a-confidence.png again/a-labels.png "
                           "again/a-legend.png ...",
                           "remove the earlier outputs first"});
    // And after one of the other format: its .pgm and .ppm outputs are no images either.
    fs::create_directories(dir / "pn");
    fs::copy_file(dir / "bands.png", dir / "pn/a.png");
    EXPECT_EQ(clsg(dir, "run tool.clsg pn --out pn --format pnm").status, 0);
    const Outcome png = clsg(dir, "run tool.clsg pn --out pn");
    EXPECT_EQ(png.status, 0) << png.err;
    expectAll(png.err, {"clsg: skipping 8 files named as this run's outputs for its other images: "
                        "pn/a-confidence.pgm pn/a-labels.pgm pn/a-legend.ppm ..."});
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "pn"), fs::directory_iterator()),
              1 + 8 + 8);
    // Named on its own, such a file is read.
    EXPECT_EQ(clsg(dir, "run tool.clsg pn/a.png pn/a-overlay.ppm --out pn-named").status, 0);
    EXPECT_TRUE(fs::exists(dir / "pn-named/a-overlay-overlay.png"));
}

namespace {

// A tool and n images of bands, i0.png to i(n-1).png (links to one file), for
// runs long enough to be signalled.
void bandBatch(const ScratchDir& dir, int n) {
    trainBands(dir);
    writePlainPng(dir / "i0.png", 48, 1024, bands({0, 1, 2}, 1024));
    for (int i = 1; i < n; ++i)
        fs::create_hard_link(dir / "i0.png", dir / ("i" + std::to_string(i) + ".png"));
}

// Starts `clsg run tool.clsg --out out i*.png` in dir through bash, after
// shell (what to do first), its output to dir/said and dir/err.
pid_t startBatch(const ScratchDir& dir, const std::string& shell = "") {
    const std::string line = "cd '" + dir.path.string() + "' && " + shell + "exec '" +
                             CLSG_CLI_PATH "' run tool.clsg --out out i*.png >said 2>err";
    const pid_t pid = fork();
    if (pid == 0) execl("/bin/bash", "bash", "-c", line.c_str(), nullptr), _exit(121);
    return pid;
}

}  // namespace

// Started with SIGHUP and SIGINT ignored (`nohup`, a script's background job),
// a batch outlives the terminal closing: it is meant to.
TEST(Cli, SignalsTheCallerIgnoresStayIgnored) {
    ScratchDir dir;
    bandBatch(dir, 60);
    const pid_t pid = startBatch(dir, "trap '' HUP INT && ");
    for (int tries = 0; tries < 20000 && !fs::exists(dir / "out/i0-labels.png"); ++tries)
        usleep(500);
    kill(pid, SIGHUP);
    kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << slurp(dir / "err");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()), 480);
}

// Stopped, a run into a folder an earlier run filled says that the images it
// did not reach still have the earlier run's outputs there.
TEST(Cli, AStoppedRunNamesTheEarlierOutputsItLeft) {
    const auto stopped = [](const ScratchDir& dir) {  // its stderr
        const pid_t pid = startBatch(dir);
        bool staging = false;
        for (int tries = 0; tries < 20000 && !staging; ++tries, usleep(500)) {
            std::error_code ec;
            for (fs::directory_iterator it(dir / "out", ec), end; !ec && it != end;
                 it.increment(ec))
                staging =
                    staging || it->path().filename().string().find(".tmp-") != std::string::npos;
        }
        kill(pid, SIGINT);
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(staging && WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
        return slurp(dir / "err");
    };
    ScratchDir dir;
    bandBatch(dir, 150);
    ASSERT_EQ(clsg(dir, "run tool.clsg --out out i*.png").status, 0);
    const std::string err = stopped(dir);
    const std::size_t at = err.find("clsg: note: ");
    ASSERT_NE(at, std::string::npos) << err;
    expectAll(err.substr(at), {" images this run did not reach (i",
                               ") have outputs in out from an earlier run, not this run's"});
    // A folder, a pipe or a link to a device under an image's names is no earlier output.
    ScratchDir bare;
    bandBatch(bare, 150);
    fs::create_directories(bare / "out/i149-labels.png");
    ASSERT_EQ(mkfifo((bare / "out/i148-labels.png").c_str(), 0600), 0);
    fs::create_symlink("/dev/null", bare / "out/i147-labels.png");
    const std::string bareErr = stopped(bare);
    EXPECT_EQ(bareErr.find("earlier run"), std::string::npos) << bareErr;
}

// A command held in a write (a pipe that is never read) ends at a second
// signal, 2 s on, with its partial files removed and said to be.
TEST(Cli, ASecondSignalRemovesThePartialFiles) {
    ScratchDir dir;
    Bytes noise(400 * 400 * 3);
    std::generate(noise.begin(), noise.end(), std::mt19937(3));
    writePlainPng(dir / "n.png", 400, 400, noise);  // a tool far larger than a pipe holds
    writeBytes(
        dir / "s.sh",
        "mkdir tmp && mkfifo t.clsg && exec 3<>t.clsg\n"  // a reader that never reads
        "TMPDIR=tmp '" CLSG_CLI_PATH
        "' train t.clsg --label a=n.png@0,0,400,200 --label b=n.png@0,200,400,200 2>err &\n"
        "pid=$!\n"
        "for i in $(seq 600); do\n"  // until the tool, written, waits for the pipe
        "  [ -n \"$(find tmp -name '.t.clsg.tmp-*' -size +64k)\" ] && break; sleep 0.1\n"
        "done\n"
        "sleep 1; kill -TERM $pid; sleep 0.3; kill -TERM $pid; wait $pid; echo $? >status\n");
    ASSERT_EQ(std::system(("cd '" + dir.path.string() + "' && bash s.sh").c_str()), 0);
    EXPECT_EQ(slurp(dir / "status"), "143\n");
    EXPECT_NE(slurp(dir / "err")
                  .find("stopped at once by a second signal; finished outputs kept, "
                        "partial files removed"),
              std::string::npos)
        << slurp(dir / "err");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "tmp"), fs::directory_iterator()), 0);
}

// A command whose stop hangs (here a write into a pipe that is never read)
// is ended as by a second signal once it has not stopped some seconds after
// the first: service managers send one SIGTERM, then SIGKILL.
TEST(Cli, AStopThatHangsIsEndedAfterItsBound) {
    ScratchDir dir;
    Bytes noise(400 * 400 * 3);
    std::generate(noise.begin(), noise.end(), std::mt19937(3));
    writePlainPng(dir / "n.png", 400, 400, noise);  // a tool far larger than a pipe holds
    writeBytes(dir / "s.sh",
               "mkdir tmp && mkfifo t.clsg && exec 3<>t.clsg\n"  // a reader that never reads
               "CLSG_STOP_SECONDS=2 TMPDIR=tmp '" CLSG_CLI_PATH
               "' train t.clsg --label a=n.png@0,0,400,200 --label b=n.png@0,200,400,200 2>err &\n"
               "pid=$!\n"
               "for i in $(seq 600); do\n"  // until the tool, written, waits for the pipe
               "  [ -n \"$(find tmp -name '.t.clsg.tmp-*' -size +64k)\" ] && break; sleep 0.1\n"
               "done\n"
               "sleep 1; kill -TERM $pid\n"
               "for i in $(seq 200); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done\n"
               "kill -0 $pid 2>/dev/null && kill -KILL $pid; wait $pid; echo $? >status\n");
    ASSERT_EQ(std::system(("cd '" + dir.path.string() + "' && bash s.sh").c_str()), 0);
    EXPECT_EQ(slurp(dir / "status"), "143\n");
    EXPECT_NE(slurp(dir / "err")
                  .find("clsg: stopped at once, as it had not stopped within 2 s of "
                        "the signal; finished outputs kept, partial files removed"),
              std::string::npos)
        << slurp(dir / "err");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "tmp"), fs::directory_iterator()), 0);
    // A bound that is no number of seconds is said, not taken.
    const Outcome odd = clsg(dir, "info n.png", "export CLSG_STOP_SECONDS=2s; ");
    EXPECT_NE(odd.err.find("clsg: note: CLSG_STOP_SECONDS is not a whole number of seconds"),
              std::string::npos)
        << odd.err;
}

namespace {

// Starts `clsg ARGS` in dir through bash, its stderr to dir/err and its
// stdout into a pipe already full, whose reader (returned in reader) does
// not read: as `clsg ... | less` before it is scrolled.
pid_t startIntoFullPipe(const ScratchDir& dir, const std::string& args, int& reader) {
    int ends[2];
    if (pipe(ends) != 0) return -1;
    // Filled here without waiting; the command gets the pipe as it was opened.
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    const std::string page(4096, 'x');
    while (write(ends[1], page.data(), page.size()) > 0) {
    }
    fcntl(ends[1], F_SETFL, 0);
    const std::string line =
        "cd '" + dir.path.string() + "' && exec '" CLSG_CLI_PATH "' " + args + " 2>err";
    const pid_t pid = fork();
    if (pid == 0)
        dup2(ends[1], 1), execl("/bin/bash", "bash", "-c", line.c_str(), nullptr), _exit(121);
    close(ends[1]);
    reader = ends[0];
    return pid;
}

// pid's wait status once it ends, within seconds; else it is killed and -1.
int endedWithin(pid_t pid, int seconds) {
    for (int tries = 0; tries < seconds * 20; ++tries, usleep(50000)) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return status;
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

}  // namespace

// A reader of the output that stops reading does not keep Ctrl-C from
// stopping a run, nor its summary from being written.
TEST(Cli, AStalledReaderOfTheOutputDoesNotHoldAStop) {
    ScratchDir dir;
    bandBatch(dir, 60);
    int reader = -1;
    // An image's line waits for the reader, and the others' lines for it.
    pid_t pid = startIntoFullPipe(dir, "run tool.clsg --out out i*.png --summary s.csv", reader);
    for (int tries = 0; tries < 1200 && !fs::exists(dir / "out/i0-labels.png"); ++tries)
        usleep(50000);
    usleep(1000000);
    kill(pid, SIGINT);
    int status = endedWithin(pid, 8);
    close(reader);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    expectAll(slurp(dir / "err"), {"clsg: note: standard output took nothing for a second once "
                                   "the command was asked to stop",
                                   "clsg: stopped by Ctrl-C (SIGINT)"});
    std::set<std::string> written;
    for (const auto& e : fs::directory_iterator(dir / "out")) {
        const std::string n = e.path().filename().string();
        EXPECT_EQ(n.find(".tmp-"), std::string::npos) << n;
        written.insert(n.substr(0, n.find('-')));
    }
    const std::string summary = slurp(dir / "s.csv");
    std::size_t ok = 0, stopped = 0;
    for (std::size_t at = 0; (at = summary.find(".png,", at)) != std::string::npos; ++at)
        (summary.compare(at + 5, 3, "ok,") == 0 ? ok : stopped) += 1;
    EXPECT_TRUE(ok == written.size() && ok > 0 && ok + stopped == 60) << summary;
    // The summary itself for that output cannot arrive: said, not waited for.
    fs::remove_all(dir / "out");
    pid = startIntoFullPipe(dir, "run tool.clsg --out out i*.png --summary -", reader);
    const auto files = [&dir]() {  // once every image is written, the summary is
        std::error_code ec;
        return std::distance(fs::directory_iterator(dir / "out", ec), fs::directory_iterator());
    };
    for (int tries = 0; tries < 1200 && files() < 480; ++tries) usleep(50000);
    usleep(1000000);
    kill(pid, SIGINT);
    status = endedWithin(pid, 8);
    close(reader);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    expectAll(slurp(dir / "err"), {"its reader took nothing for a second once the command was "
                                   "asked to stop"});
}

TEST(Cli, SignalsLeaveNoTemporaryFilesAndWholeImages) {
    ScratchDir dir;
    bandBatch(dir, 400);
    const std::string cd = "cd '" + dir.path.string() + "' && ",
                      run =
                          "'" CLSG_CLI_PATH "' run tool.clsg --out out -j 2 i*.png --summary s.csv";
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        fs::remove_all(dir / "out");
        fs::remove(dir / "s.csv");
        const std::string command = run + (signal == SIGINT ? " --diag dg" : "");
        // SIGPIPE: the reader of the output stops after the first line.
        const std::string line =
            signal == SIGPIPE ? cd + "set -o pipefail; " + command + " 2>err | head -1 >/dev/null"
                              : cd + "exec " + command + " >said 2>err";
        const pid_t pid = fork();
        if (pid == 0) execl("/bin/bash", "bash", "-c", line.c_str(), nullptr), _exit(121);
        // Signal once finished outputs and a temporary file are there together.
        std::set<bool> temporary;
        for (int tries = 0; signal != SIGPIPE && tries < 20000 && temporary.size() < 2;
             ++tries, usleep(500)) {
            std::error_code ec;
            temporary.clear();
            for (fs::directory_iterator it(dir / "out", ec), end; !ec && it != end;
                 it.increment(ec))
                temporary.insert(it->path().filename().string().find(".tmp-") != std::string::npos);
        }
        ASSERT_TRUE(signal == SIGPIPE || temporary.size() == 2u);
        if (signal != SIGPIPE) kill(pid, signal);
        // Sent again at once, as `timeout` does (to the process, then its group): one request.
        if (signal == SIGINT) usleep(1000), kill(pid, signal);
        // Another signal while it stops (SIGTERM, then the terminal closed): it still ends
        // as the first asked, leaving nothing half-written. Both may be pending at once,
        // and then the lower number is taken first.
        if (signal == SIGTERM) usleep(1000), kill(pid, SIGHUP);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 128 + signal ||
                                          (signal == SIGTERM && WEXITSTATUS(status) == 129)))
            << status;
        EXPECT_EQ(slurp(dir / "err").rfind("clsg: stopped ", 0), 0u) << slurp(dir / "err");
        std::map<std::string, int> perImage;  // each image's outputs all there or none
        for (const auto& e : fs::directory_iterator(dir / "out")) {
            const std::string n = e.path().filename().string();
            EXPECT_EQ(n.find(".tmp-"), std::string::npos) << n;
            ++perImage[n.substr(0, n.find('-'))];
        }
        EXPECT_TRUE(perImage.size() > 0u && perImage.size() < 400u) << perImage.size();
        for (const auto& [image, count] : perImage) EXPECT_EQ(count, 8) << image;
        // The summary says which images were written and which the signal stopped.
        std::istringstream summary(slurp(dir / "s.csv"));
        std::map<std::string, std::size_t> statuses;
        for (std::string row; std::getline(summary, row);)
            ++statuses[row.substr(row.find(',') + 1,
                                  row.find(',', row.find(',') + 1) - row.find(',') - 1)];
        EXPECT_EQ(statuses["ok"], perImage.size()) << signal;
        EXPECT_EQ(statuses["ok"] + statuses["stopped"], 400u) << signal;
        // Where the reports went is said as at a run's end.
        const std::string said = signal == SIGPIPE ? "" : slurp(dir / "said"),
                          last =
                              std::string(signal == SIGINT ? "diagnostics: dg/index.html\n" : "") +
                              "summary: s.csv\n";
        EXPECT_TRUE(signal == SIGPIPE ||
                    (said.size() > last.size() && said.substr(said.size() - last.size()) == last))
            << said;
        if (signal != SIGINT) continue;  // and the diagnostics page shows the images written
        const std::string page = slurp(dir / "dg/index.html");
        const auto count = [&page](const std::string& text) {
            std::size_t n = 0;
            for (std::size_t at = page.find(text); at != std::string::npos;
                 at = page.find(text, at + 1))
                ++n;
            return n;
        };
        EXPECT_EQ(count("-overlay.png\" alt"), statuses["ok"]);
        EXPECT_EQ(count("not finished: the run was stopped before this image was done"),
                  statuses["stopped"]);
    }
    // A reader gone before a short command's one flush, at its end: still SIGPIPE's status.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    const std::string tool = dir / "tool.clsg", err = dir / "info-err";
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(ends[1], 1), dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        execl(CLSG_CLI_PATH, "clsg", "info", tool.c_str(), nullptr), _exit(121);
    }
    close(ends[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGPIPE) << status;
    EXPECT_EQ(slurp(err), "");  // as `info | head` is no failure: nothing was stopped half-way
}

// The demo's tool file gives the demo's images when run. A second demo into
// the same directory replaces its own files, but not a photo of the user's
// that has the demo photograph's name.
TEST(Cli, TheDemosToolRunsAsTheDemoDidAndTheDemoKeepsTheUsersFiles) {
    ScratchDir dir;
    ASSERT_EQ(clsg(dir, "demo --out d").status, 0);
    ASSERT_EQ(clsg(dir, "run d/demo.clsg d/coffee.png --out r").status, 0);
    for (const std::string name :
         {"coffee-labels.png", "coffee-overlay.png", "coffee-confidence.png"})
        EXPECT_TRUE(slurp(dir / ("r/" + name)) == slurp(dir / ("d/" + name))) << name;
    EXPECT_EQ(clsg(dir, "demo --out d").status, 0);
    fs::create_directory(dir / "mine");
    writePlainPng(dir / "mine/coffee.png", 4, 4, Bytes(48, 7));
    const std::string photo = slurp(dir / "mine/coffee.png");
    const Outcome o = clsg(dir, "demo --out mine");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("mine/coffee.png: a file of that name is there and is not the demo's"),
              std::string::npos)
        << o.err;
    EXPECT_TRUE(slurp(dir / "mine/coffee.png") == photo);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "mine"), fs::directory_iterator()), 1);
    // An output's name too, in a folder where no demo ran; where one did, its outputs are
    // replaced, though another version's may differ.
    fs::rename(dir / "mine/coffee.png", dir / "mine/coffee-overlay.png");
    expectAll(clsg(dir, "demo --out mine").err,
              {"mine/coffee-overlay.png: a file of that name is there and is not the demo's"});
    EXPECT_TRUE(slurp(dir / "mine/coffee-overlay.png") == photo);
    writeBytes(dir / "d/coffee-legend.png", "an earlier version's legend");
    EXPECT_EQ(clsg(dir, "demo --out d").status, 0);
    EXPECT_TRUE(slurp(dir / "d/coffee-legend.png") == slurp(dir / "r/coffee-legend.png"));
    // A device left at the name of its tool or photo (a link to one) is refused, not written into.
    for (const std::string name : {"demo.clsg", "coffee.png"}) {
        fs::remove_all(dir / "dev");
        fs::create_directory(dir / "dev");
        fs::create_symlink("/dev/null", dir / ("dev/" + name));
        expectAll(clsg(dir, "demo --out dev").err, {"clsg: error: cannot write dev/" + name +
                                                    ": it is a link to a device, not a file"});
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / "dev"), fs::directory_iterator()), 1);
    }
}

// Too little memory (a limit of address space) is an error, never the end of
// the process, and threads are taken as they can be had. The process ended:
// - for info, when the thread that waits for Ctrl-C could not start (abort,
//   26 to 32 MB), and when the stack could not grow once the heap had taken
//   the rest (SIGSEGV, at 26 or 34 MB as the program's size moved);
// - for run -j 3, when its second thread failed to start (terminate, 46 to 50
//   MB); it now runs on those it has, and says so;
// - for the studio, when the page's threads failed after the signal waiter's
//   had started (terminate, 170 to 174 MB).
TEST(Cli, TooLittleMemoryIsAnErrorNotTheEnd) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer reserves more address space than any limit tried";
#endif
    ScratchDir dir;
    trainBands(dir);
    fs::copy_file(dir / "bands.png", dir / "swapped.png");
    struct Case {
        std::string line;
        int fromKb, toKb, stepKb, seconds;
        std::string said;  // said at some limit
    };
    const Case cases[] = {
        {"info tool.clsg", 20000, 60000, 1000, 20, "clsg: error: "},
        {"run tool.clsg bands.png blue.png swapped.png --out o -j 3", 38000, 60000, 2000, 20,
         "clsg: note: 3 images at a time asked for, "},
        {"studio bands.png --out s", 150000, 200000, 4000, 1, "clsg: error: "}};  // 124: serving
    for (const Case& c : cases) {
        int said = 0;
        for (int kb = c.fromKb; kb <= c.toKb; kb += c.stepKb) {
            const int raw =
                std::system(("cd '" + dir.path.string() + "' && ulimit -v " + std::to_string(kb) +
                             " && timeout " + std::to_string(c.seconds) + " '" CLSG_CLI_PATH "' " +
                             c.line + " >/dev/null 2>err")
                                .c_str());
            const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            const std::string err = slurp(dir / "err");
            ASSERT_TRUE(status == 0 || status == 1 || status == 124 ||
                        status == 127)  // 127: no loader
                << c.line << ", " << kb << " KB: " << status << " " << err;
            said += err.find(c.said) != std::string::npos;
        }
        EXPECT_GT(said, 0) << c.line;  // some limit was tight enough to matter
    }
    // Nor does a small stack under such a limit: the stack taken first fits within it.
    const int small = std::system(("cd '" + dir.path.string() +
                                   "' && ulimit -s 512 && ulimit -v 200000 && '" CLSG_CLI_PATH
                                   "' info tool.clsg >/dev/null")
                                      .c_str());
    EXPECT_TRUE(WIFEXITED(small) && WEXITSTATUS(small) == 0) << small;
}

// Memory running out while a tool is stored says so: it said "archive write
// failed" where the payload outgrew what was left (65 to 90 MB here).
TEST(Cli, MemoryRunningOutWhileATrainedToolIsStoredIsSaid) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer reserves more address space than any limit tried";
#endif
    ScratchDir dir;
    Bytes rgb(2000 * 1500 * 3, 77);
    for (std::size_t i = 0; i < 2000 * 1500; ++i) {
        rgb[3 * i] = static_cast<unsigned char>(i % 2000);
        rgb[3 * i + 1] = static_cast<unsigned char>(i / 2000 / 6);
    }
    writePlainPng(dir / "mid.png", 2000, 1500, rgb);
    int short_ = 0, wrote = 0;
    for (int kb = 41000; kb <= 121000; kb += 8000) {
        const Outcome o =
            clsg(dir, "train t.clsg --label a=mid.png", "ulimit -v " + std::to_string(kb) + "; ");
        EXPECT_EQ(o.err.find("archive"), std::string::npos) << kb << " KB: " << o.err;
        short_ += o.err.find("out of memory") != std::string::npos;
        wrote += o.status == 0;
    }
    EXPECT_GT(short_, 0);
    EXPECT_GT(wrote, 0);
}

// A batch's memory does not grow with its length: the C library kept what
// each image's run freed, about 4 bytes per pixel of every image run.
TEST(Cli, ABatchsMemoryDoesNotGrowWithItsLength) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer keeps freed memory in quarantine";
#endif
    ScratchDir dir;
    Bytes noise(320 * 240 * 3);
    std::generate(noise.begin(), noise.end(), std::mt19937(9));
    writePlainPng(dir / "p.png", 320, 240, noise);
    ASSERT_EQ(
        clsg(dir, "train t.clsg --label a=p.png@0,0,40,40 --label b=p.png@99,99,40,40").status, 0);
    // The peak of one run, in a child of its own so that RUSAGE_CHILDREN holds it alone.
    // failing: a folder in the way of each image's legend fails it once it is segmented.
    const auto peakKb = [&](int images, const std::string& options, bool failing) {
        const std::string batch = "b" + std::to_string(images);
        fs::create_directories(dir / batch);
        fs::remove_all(dir / ("o" + batch));
        for (int i = 0; i < images; ++i) {
            const std::string name = "i" + std::to_string(i);
            if (!fs::is_symlink(dir / (batch + "/" + name + ".png")))
                fs::create_symlink("../p.png", dir / (batch + "/" + name + ".png"));
            if (failing) fs::create_directories(dir / ("o" + batch + "/" + name + "-legend.png"));
        }
        int ends[2];
        EXPECT_EQ(pipe(ends), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            const int status =
                clsg(dir, "run t.clsg " + batch + " --out o" + batch + options).status;
            rusage r{};
            getrusage(RUSAGE_CHILDREN, &r);
            const long kb = status == (failing ? 1 : 0) ? r.ru_maxrss : -1;
            _exit(write(ends[1], &kb, sizeof kb) == sizeof kb ? 0 : 1);
        }
        close(ends[1]);
        long kb = -1;
        EXPECT_EQ(read(ends[0], &kb, sizeof kb), ssize_t(sizeof kb));
        close(ends[0]);
        waitpid(pid, nullptr, 0);
        return kb;
    };
    for (const bool failing : {false, true})  // what a failed image held is let go as well
        for (const std::string options : {"", " --diag d"}) {  // records written as they come
            const long few = peakKb(10, options, failing), many = peakKb(100, options, failing);
            ASSERT_GT(few, 0) << options << failing;
            // The records' page text and the allocator's own keep some more with --diag; the
            // records kept were 1 MB an image.
            EXPECT_LT(many, few + (options.empty() ? 10 : 30) * 1024)
                << few << " KB for 10 images" << options << (failing ? ", failing" : "");
        }
}

TEST(Cli, TrainAutoStoresTheChoiceAndUsesIt) {
    ScratchDir dir;  // bands wide enough for tiles to split them
    Bytes truth;
    for (unsigned i = 0; i < 96 * 64; ++i) truth.push_back(static_cast<unsigned char>(i % 96 / 32));
    writePlainPng(dir / "big.png", 96, 64, bands({0, 1, 2}, 64, 32));
    writePlainPng(dir / "truth.png", 96, 64, truth);
    const Outcome t = clsg(dir,
                           "train auto.clsg --auto --report r.json --label r=big.png@0,0,32,64 "
                           "--label g=big.png@32,0,32,64 --label b=big.png@64,0,32,64");
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(t.err, "");
    // Labels no example of which tells apart: said, and written all the same.
    const Outcome chance = clsg(dir,
                                "train chance.clsg --auto --label a=big.png@0,0,1,1+40,40,1,1 "
                                "--label b=big.png@1,1,1,1+41,41,1,1");
    EXPECT_EQ(chance.status, 0) << chance.err;
    EXPECT_NE(chance.err.find("is little or no better than choosing among the 2 labels at "
                              "random (50.0 %)"),
              std::string::npos)
        << chance.out << chance.err;
    // Nor do two labels of one colour from two rectangles: every pixel theirs by a tie.
    writePlainPng(dir / "black.png", 300, 200, Bytes(300 * 200, 0));
    const Outcome alike = clsg(dir,
                               "train alike.clsg --auto --label a=black.png@0,0,100,100 "
                               "--label b=black.png@100,100,100,100");
    EXPECT_EQ(alike.status, 0) << alike.err;
    EXPECT_NE(alike.err.find("warning: the labels are not told apart: every held-out pixel that "
                             "got its own label got it in a tie"),
              std::string::npos)
        << alike.err;
    // One label: no colour to weigh its claims against, which is said instead of chance.
    const Outcome one = clsg(dir, "train one.clsg --auto --label r=big.png@0,0,32,64");
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.err,
              "clsg: warning: with one label the search has no other colour to tell it from, so "
              "nothing keeps its tolerance narrow and its estimate cannot show the pixels the "
              "label claims wrongly: teach a label for the rest of the picture too, or give the "
              "tolerance by hand (the tool is written all the same)\n");
    const std::string n = json::parse(slurp(dir / "r.json"))["chosen"]["neighborhoodSize"].dump();
    expectAll(clsg(dir, "info auto.clsg").out, {"stored neighbourhood size: " + n,
                                                "estimate: balanced accuracy", "held-out pixels"});
    expectAll(clsg(dir, "run auto.clsg big.png --out a").out,
              {"neighbourhood " + n + " (stored in auto.clsg)"});
    const Outcome e = clsg(dir, "evaluate auto.clsg big.png --truth truth.png --json");
    EXPECT_EQ(json::parse(e.out)["neighborhoodSize"].dump(), n) << e.err;
    // A file name need not be UTF-8: its other bytes are replaced in the JSON.
    fs::copy_file(dir / "big.png", dir / "lat\xe9.png");
    const Outcome latin = clsg(dir, "evaluate auto.clsg 'lat\xe9.png' --truth truth.png --json");
    ASSERT_EQ(latin.status, 0) << latin.err;
    EXPECT_EQ(json::parse(latin.out)["image"], "lat\xef\xbf\xbd.png");
    // The same examples give the same file, the search's time and threads aside.
    const std::string first = slurp(dir / "auto.clsg");
    ASSERT_EQ(clsg(dir,
                   "train again.clsg --auto --threads 3 --label r=big.png@0,0,32,64 "
                   "--label g=big.png@32,0,32,64 --label b=big.png@64,0,32,64")
                  .status,
              0);
    EXPECT_EQ(slurp(dir / "again.clsg"), first);
    // A report that cannot be written fails before the search.
    const Outcome same = clsg(dir,
                              "train s.clsg --auto --report s.clsg --label r=big.png@0,0,32,64 "
                              "--label g=big.png@32,0,32,64");
    EXPECT_EQ(same.status, 1);
    EXPECT_EQ(same.out, "") << same.out;
    expectAll(same.err, {"two outputs would both be written to s.clsg"});
}

}  // namespace

namespace {

// Regions: red squares and specks and a blue ring holding a green hole, on
// green. Specks below --min-area go, the hole fills, and the table, the
// console line, the summary and the written label image agree.
TEST(Cli, RegionsTableCountsAndCleaning) {
    ScratchDir dir;
    trainBands(dir);
    const unsigned w = 40, h = 30;
    std::vector<int> cls(w * h, 1);
    const auto square = [&](unsigned x0, unsigned y0, unsigned side, int c) {
        for (unsigned y = y0; y < y0 + side; ++y)
            for (unsigned x = x0; x < x0 + side; ++x) cls[y * w + x] = c;
    };
    square(2, 2, 4, 0), square(10, 2, 5, 0), square(20, 2, 6, 0);    // kept
    square(2, 20, 1, 0), square(6, 20, 2, 0), cls[24 * w + 12] = 0;  // specks
    square(28, 18, 7, 2), square(30, 20, 3, 1);                      // ring, 9-pixel hole
    const unsigned char colours[3][3] = {{200, 30, 30}, {30, 180, 40}, {20, 40, 200}};
    Bytes rgb;
    for (unsigned i = 0; i < w * h; ++i)
        for (int p = 0; p < 3; ++p)
            rgb.push_back(static_cast<unsigned char>(colours[cls[i]][p] + (i % w + i / w) % 3));
    writePlainPng(dir / "spots.png", w, h, rgb);

    const Outcome run = clsg(dir,
                             "run tool.clsg spots.png --out o -n 1 --regions --min-area 5 "
                             "--fill-holes 9 --outline --summary s.csv");
    ASSERT_EQ(run.status, 0) << run.err;
    expectAll(run.out, {"; regions: red 3, green 1, blue 1"});
    const std::string csv = slurp(dir / "o/spots-regions.csv");
    EXPECT_EQ(csv.rfind("label,id,area,left,top,width,height,centroid_x,centroid_y,"
                        "mean_confidence,touches_border\nred,1,16,2,2,4,4,3.500,3.500,",
                        0),
              0u)
        << csv;
    expectAll(csv, {"red,2,25,10,2,5,5,12.000,4.000,", "red,3,36,20,2,6,6,22.500,4.500,",
                    "green,1,1074,0,0,40,30,", ",true\n", "blue,1,49,28,18,7,7,31.000,21.000,"});
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 6);
    expectAll(slurp(dir / "s.csv"),
              {",regions_red,regions_green,regions_blue,error\n", ",3,1,1,\n"});
    // The label image written is the cleaned one: specks gone into the
    // green, the ring's hole blue.
    const kvPelBuffer<unsigned char> labels = readGreyImage(dir / "o/spots-labels.png");
    EXPECT_EQ(labels.pointToRow(20)[2], 1);
    EXPECT_EQ(labels.pointToRow(21)[31], 2);
    // Without cleaning the specks are regions and the hole is green.
    const Outcome raw =
        clsg(dir, "run tool.clsg spots.png --out r -n 1 --regions --connectivity 4");
    ASSERT_EQ(raw.status, 0) << raw.err;
    expectAll(raw.out, {"; regions: red 6, green 2, blue 1"});
    EXPECT_EQ(readGreyImage(dir / "r/spots-labels.png").pointToRow(21)[31], 1);
    EXPECT_EQ(raw.err.find("--connectivity applies"), std::string::npos) << raw.err;
    // Where no option finds regions, a connectivity given changes nothing, and is said to.
    const Outcome alone = clsg(dir, "run tool.clsg spots.png --out a -n 1 --connectivity 4");
    ASSERT_EQ(alone.status, 0) << alone.err;
    expectAll(alone.err, {"clsg: note: --connectivity applies to regions, and no option here "
                          "finds them (--regions, --outline, --min-area or --fill-holes)"});
}

}  // namespace
