// The clsg program end to end: train, run, info, demo and --diag on small
// images made here, and every kind of bad input (non-zero status, one line
// on stderr, nothing left behind).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iomanip>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "apps/image_io.h"
#include "apps/overlay.h"
#include "apps/tool_file.h"
#include "png_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace clsgtest;
using Bytes = std::vector<unsigned char>;

struct Outcome {
    int status;
    std::string out, err;
};

// Runs the program in dir with the words of line as its arguments; its
// output goes to files beside dir.
Outcome clsg(const ScratchDir& dir, const std::string& line) {
    const std::string base = dir.path.string();
    std::string cmd = "cd '" + base + "' && '" CLSG_CLI_PATH "'";
    std::istringstream words(line);
    for (std::string a; words >> a;) cmd += " '" + a + "'";
    const int raw = std::system((cmd + " >'" + base + ".out' 2>'" + base + ".err'").c_str());
    const Outcome o{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(base + ".out"),
                    slurp(base + ".err")};
    fs::remove(base + ".out");
    fs::remove(base + ".err");
    return o;
}

// Expects each of texts in output.
void expectAll(const std::string& output, const std::vector<std::string>& texts) {
    for (const std::string& t : texts)
        EXPECT_NE(output.find(t), std::string::npos) << "'" << t << "' in:\n" << output;
}

// Every file and directory under dir, relative.
std::set<std::string> listing(const ScratchDir& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir.path))
        names.insert(fs::relative(e.path(), dir.path).string());
    return names;
}

// Three vertical bands, 16 pixels wide each; order gives the band colours
// by index 0 = red, 1 = green, 2 = blue.
Bytes bands(const std::vector<int>& order, unsigned h = 32) {
    const unsigned char colours[3][3] = {{200, 30, 30}, {30, 180, 40}, {20, 40, 200}};
    Bytes rgb;
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < 48; ++x)
            for (int p = 0; p < 3; ++p)  // a little texture, so that no example is one colour
                rgb.push_back(static_cast<unsigned char>(colours[order[x / 16]][p] + (x + y) % 3));
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
    const Bytes swapped = bands({2, 0, 1});  // blue, red, green
    writeBytes(dir / "swapped.ppm",
               "P6\n48 32\n255\n" + std::string(swapped.begin(), swapped.end()));

    const Outcome info = clsg(dir, "info tool.clsg");
    ASSERT_EQ(info.status, 0) << info.err;
    expectAll(info.out,
              {"labels: 3", "0 red (#", "1 green (#", "2 blue (#", "): 1 example",
               "bands.png:green-mask.png, 16 x 32 pixels stored, 512 selected by its mask",
               "bands.png@0,0,16,32, 16 x 32 pixels stored, 512 selected by its mask",
               "blue.png, 16 x 8 pixels stored, 128 selected (no mask)", "colorToleranceFrac 0.1",
               "colorToleranceMin 2", "3 instance models", "memory:"});

    const Outcome run = clsg(
        dir, "run tool.clsg bands.png swapped.ppm --out out -j 2 --threads 3 --neighborhood 5");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    expectAll(run.out, {"bands: 48 x 32", "swapped: 48 x 32",
                        "red 33.3%, green 33.3%, blue 33.3%, unlabelled 0.0%"});
    std::set<std::string> expected = {"out"}, outputs;
    for (const char* image : {"bands", "swapped"})
        for (const char* kind : {"labels", "confidence", "score", "seg-red", "seg-green",
                                 "seg-blue", "overlay", "legend"})
            expected.insert(std::string("out/") + image + "-" + kind + ".png");
    for (const std::string& n : listing(dir))
        if (n.rfind("out", 0) == 0) outputs.insert(n);
    EXPECT_EQ(outputs, expected);

    // Labels follow the bands.
    const Decoded labels = readPng(dir / "out/swapped-labels.png");
    const Decoded segRed = readPng(dir / "out/swapped-seg-red.png");
    const Decoded segBlue = readPng(dir / "out/swapped-seg-blue.png");
    ASSERT_EQ(labels.channels, 1u);
    ASSERT_EQ(labels.pels.size(), 48u * 32u);
    for (std::size_t i = 0; i < labels.pels.size(); ++i) {
        const int band = std::vector<int>{2, 0, 1}[i % 48 / 16];
        ASSERT_EQ(labels.pels[i], band) << i % 48 << "," << i / 48;
        EXPECT_EQ(segRed.pels[i] > 128, band == 0) << i % 48 << "," << i / 48;
        EXPECT_EQ(segBlue.pels[i] > 128, band == 2) << i % 48 << "," << i / 48;
    }
    // The overlay is the input with the label image's colours blended in.
    std::vector<uint32_t> colours;
    for (const ToolLabel& label : readToolFile(dir / "tool.clsg").labels)
        colours.push_back(label.color);
    writeColorImage(dir / "expected-overlay.png",
                    makeOverlay(readColorImage(dir / "swapped.ppm"),
                                readGreyImage(dir / "out/swapped-labels.png"), colours),
                    ImageFormat::Png);
    EXPECT_EQ(readPng(dir / "out/swapped-overlay.png").pels,
              readPng(dir / "expected-overlay.png").pels);

    // One whole-image run per image (--diag) gives the same images as bands on
    // threads; PNM output holds the same pels.
    const Outcome one =
        clsg(dir, "run tool.clsg bands.png swapped.ppm --out one -j 1 -n 5 --format pnm --diag d");
    ASSERT_EQ(one.status, 0) << one.err;
    for (const char* kind : {"labels", "confidence", "score", "seg-green", "overlay"})
        for (const char* image : {"bands", "swapped"}) {
            const std::string base = std::string(image) + "-" + kind;
            const Decoded png = readPng(dir / ("out/" + base + ".png"));
            const std::string pnm =
                slurp(dir / ("one/" + base + (png.channels == 3 ? ".ppm" : ".pgm")));
            EXPECT_EQ(pnm, (png.channels == 3 ? "P6" : "P5") + std::string("\n48 32\n255\n") +
                               std::string(png.pels.begin(), png.pels.end()))
                << base;
        }
}

// Runs the program in dir with stderr on a terminal (standard output
// discarded); returns what it wrote there, and its exit status in status
// (-1, and nothing written, where no terminal can be opened).
std::string onTerminal(const ScratchDir& dir, std::vector<std::string> args, int& status) {
    status = -1;
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return "";
    args.insert(args.begin(), CLSG_CLI_PATH);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int devNull = ::open("/dev/null", O_WRONLY);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.path.c_str()) != 0) ::_exit(126);
        ::dup2(devNull, 1);
        ::dup2(slave, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(slave);
    ::close(devNull);
    std::string got;
    char buf[4096];
    for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) got.append(buf, n);
    int raw = 0;
    if (pid > 0 && ::waitpid(pid, &raw, 0) == pid && WIFEXITED(raw)) status = WEXITSTATUS(raw);
    ::close(master);
    return got;
}

TEST(Cli, RunShowsProgressWithinAnImageOnATerminal) {
    ScratchDir dir;
    trainBands(dir);
    // 512 x 640: two bands of rows (512 and 128) on one thread.
    Bytes rgb;
    for (unsigned y = 0; y < 640; ++y) {
        const Bytes row = bands({int(y / 64 % 3), 1, 2}, 1);
        for (unsigned x = 0; x < 512; ++x)
            rgb.insert(rgb.end(), &row[x % 48 * 3], &row[x % 48 * 3] + 3);
    }
    writePlainPng(dir / "wide.png", 512, 640, rgb);
    int status = 0;
    const std::string shown =
        onTerminal(dir, {"run", "tool.clsg", "wide.png", "--out", "out", "--threads", "1"}, status);
    if (status == -1 && shown.empty()) GTEST_SKIP() << "no pseudo-terminal here";
    EXPECT_EQ(status, 0) << shown;
    const std::string clear = "\r\033[K";
    EXPECT_EQ(shown, clear + "wide: 80%" + clear + "wide: 100%" + clear);
}

TEST(Cli, BadInputFailsWithOneLineAndLeavesNothingBehind) {
    ScratchDir dir;
    trainBands(dir);
    fs::create_directory(dir / "a-directory");
    writePlainPng(dir / "small-mask.png", 10, 8, Bytes(80, 255));
    writePlainPng(dir / "empty-mask.png", 48, 32, Bytes(48 * 32, 0));
    writePng(dir / "alpha.png", 1, 1, PNG_COLOR_TYPE_RGB_ALPHA, {{1, 2, 3, 4}});
    writeBytes(dir / "garbage.png", "this is not an image");
    const std::string tool = slurp(dir / "tool.clsg");
    writeBytes(dir / "truncated.clsg", tool.substr(0, tool.size() / 2));
    writeBytes(dir / "garbage.clsg", std::string(64, '\x07'));
    writePlainPng(dir / "truth.png", 48, 32, Bytes(48 * 32, 2));
    writePlainPng(dir / "truth-other.png", 48, 32, Bytes(48 * 32, 7));
    // The format version follows the 4-byte length and the 9 bytes of "clsg-tool".
    writeBytes(dir / "v3.clsg", tool.substr(0, 13) + '\x03' + tool.substr(14));
    // A label named "labels": image bands-seg's label image and image bands'
    // segmentation image of that label share one name.
    ASSERT_EQ(clsg(dir, "train labels.clsg --label labels=blue.png").status, 0);
    fs::copy_file(dir / "bands.png", dir / "bands-seg.png");

    const std::string train = "train t.clsg --label ", red = "red=bands.png@0,0,16,32";
    const std::string run = "run tool.clsg bands.png ";
    // Usage errors (exit status 2) point to the command's help.
    const std::vector<std::pair<std::string, std::string>> usage = {
        {train + red + " --label green=", "no examples"},
        {train + red + " --label " + red, "given twice"},
        {train + "a=x\\", "backslash at the end"},
        {"train t.clsg", "--label"},
        {train + red + " --frobnicate", "--frobnicate"},
        {train + red + " --color-tolerance-frac 2", "2"},
        {run + "--out out --neighborhood 0", "neighborhood"},
        {run, "--out"},
        {train + red + " --auto --color-tolerance-frac 0.1", "excludes"},
        {train + red + " --report r.json", "requires --auto"},
        {"evaluate tool.clsg bands.png --truth truth.png --truth-map 0=purple", "no label purple"},
        {"evaluate tool.clsg bands.png --truth truth.png --truth-map 300=red", "grey value"},
        {"frobnicate", "frobnicate"},
        {"", "subcommand"},
    };
    // Runtime failures (exit status 1); a batch whose every image fails adds
    // its count line.
    const std::vector<std::pair<std::string, std::string>> runtime = {
        {train + "a=missing.png", "cannot open missing.png"},
        {train + "a=a-directory", "cannot read"},
        {train + "a=garbage.png", "not a PNG, JPEG"},
        {train + "a=alpha.png", "alpha"},
        {train + "a=bands.png:small-mask.png",
         "mask small-mask.png is 10 x 8 but image bands.png is 48 x 32"},
        {train + "a=bands.png:empty-mask.png", "selects no pixel"},
        {train + "a=bands.png:missing-mask.png", "cannot open"},
        {train + "a=bands.png@40,0,16,32", "outside image bands.png"},
        {train + "a=bands.png@-1,0,4,4", "outside image"},
        {"train sub/dir/t.clsg --label a=missing.png", "cannot open"},
        {train + red + " --diag d --label b=missing.png", "missing.png"},
        {"run missing.clsg bands.png --out out", "cannot open missing.clsg"},
        {"run truncated.clsg bands.png --out out", "corrupt tool file"},
        {"run garbage.clsg bands.png --out out", "not a clsg tool file"},
        {"run bands.png bands.png --out out", "not a clsg tool file"},
        {"run v3.clsg bands.png --out out", "format version 3"},
        {"run tool.clsg missing.png --out out", "missing.png"},
        {"run tool.clsg garbage.png --out out/sub -j 2 --diag diag", "garbage.png"},
        {"run tool.clsg alpha.png --out out", "alpha"},
        {"run tool.clsg a-directory --out out", "holds no image files"},
        {run + "a-directory/../bands.png --out out", "named bands"},
        {run + "--out bands.png/x", "not a directory"},
        {"info truncated.clsg", "corrupt tool file"},
        {"evaluate tool.clsg bands.png --truth truth-other.png", "7,7,7 at (0, 0)"},
        {"evaluate tool.clsg bands.png --truth blue.png",
         "blue.png is 16 x 8, bands.png is 48 x 32"},
        {"evaluate tool.clsg bands.png --truth truth.png --truth-map 0=red", "2,2,2 at"},
    };
    const std::set<std::string> before = listing(dir);
    for (const auto* cases : {&usage, &runtime})
        for (const auto& [line, message] : *cases) {
            const Outcome o = clsg(dir, line);
            const bool isUsage = cases == &usage;
            EXPECT_EQ(o.status, isUsage ? 2 : 1) << line;
            EXPECT_EQ(o.err.rfind("clsg: error: ", 0), 0u) << line << "\n" << o.err;
            EXPECT_NE(o.err.find(message), std::string::npos) << line << "\n" << o.err;
            const auto lines = std::count(o.err.begin(), o.err.end(), '\n');
            // A batch of one image that fails ends with the count.
            const bool batch = line.rfind("run tool.clsg ", 0) == 0 &&
                               (line.find("missing.png") != std::string::npos ||
                                line.find("garbage.png") != std::string::npos ||
                                line.find("alpha.png") != std::string::npos);
            EXPECT_EQ(lines, batch ? 2 : 1) << line << "\n" << o.err;
            if (batch) {
                EXPECT_NE(o.err.find("\n1 of 1 images failed\n"), std::string::npos) << o.err;
            }
            if (isUsage) {
                EXPECT_NE(o.err.find("--help)"), std::string::npos) << o.err;
            }
            EXPECT_EQ(listing(dir), before) << line;
        }
    // Image bands' segmentation of label "labels" and image bands-seg's label
    // image share a name: the image that comes second fails, nothing is
    // overwritten.
    const Outcome collision = clsg(dir, "run labels.clsg bands.png bands-seg.png --out out");
    EXPECT_NE(collision.status, 0);
    expectAll(collision.err, {"two outputs would both be written to out/bands-seg-labels.png"});
}

TEST(Cli, BatchesKeepWhatSucceededAndSummarise) {
    ScratchDir dir;
    trainBands(dir);
    fs::create_directory(dir / "in");
    fs::create_directory(dir / "in/sub");
    fs::copy_file(dir / "bands.png", dir / "in/b.png");
    writeBytes(dir / "in/a-broken.png", "this is not an image");
    writeBytes(dir / "in/notes.txt", "not an image name, so not an input");
    fs::copy_file(dir / "bands.png", dir / "in/sub/deeper.png");  // not descended into
    fs::copy_file(dir / "bands.png", dir / "x,1.png");

    const Outcome o =
        clsg(dir, "run tool.clsg in blue.png missing.png --out out --summary s/sum.csv");
    EXPECT_EQ(o.status, 1);
    // One line per failed image, the count last.
    expectAll(o.err, {"clsg: error: in/a-broken.png: not a PNG", "clsg: error: ", "missing.png"});
    EXPECT_EQ(o.err.substr(o.err.rfind('\n', o.err.size() - 2) + 1), "2 of 4 images failed\n");
    expectAll(o.out, {"b: 48 x 32", "blue: 16 x 8"});
    std::set<std::string> outputs;
    for (const std::string& n : listing(dir))
        if (n.rfind("out/", 0) == 0) outputs.insert(n);
    EXPECT_EQ(outputs.size(), 16u);
    EXPECT_TRUE(outputs.count("out/b-seg-green.png") && outputs.count("out/blue-overlay.png"));
    const std::string csv = slurp(dir / "s/sum.csv");
    std::vector<std::string> rows;
    for (std::istringstream in(csv); rows.emplace_back(), std::getline(in, rows.back());) {
    }
    rows.pop_back();
    ASSERT_EQ(rows.size(), 5u) << csv;
    EXPECT_EQ(rows[0], "image,status,width,height,milliseconds,red,green,blue,unlabelled,error");
    EXPECT_EQ(rows[1].rfind("in/a-broken.png,failed,,,,,,,,\"in/a-broken.png: not a PNG", 0), 0u)
        << rows[1];
    EXPECT_EQ(rows[2].rfind("in/b.png,ok,48,32,", 0), 0u) << rows[2];
    EXPECT_NE(rows[2].find(",0.333333,0.333333,0.333333,0.000000,"), std::string::npos) << rows[2];
    EXPECT_NE(rows[3].find(",0.000000,0.000000,1.000000,0.000000,"), std::string::npos) << rows[3];
    EXPECT_EQ(rows[4].rfind("missing.png,failed,", 0), 0u) << rows[4];

    // Escaped commas in example names; warnings that do not stop the training.
    const Outcome t = clsg(dir,
                           "train t.clsg --label red=x\\,1.png@0,0,16,32 --label "
                           "same=bands.png@0,0,16,32 --color-tolerance-frac 0");
    ASSERT_EQ(t.status, 0) << t.err;
    expectAll(t.err, {"clsg: warning: a colour tolerance fraction of 0",
                      "clsg: warning: labels red and same have identical examples"});
    expectAll(clsg(dir, "info t.clsg").out, {"x\\x5c,1.png@0,0,16,32"});
    EXPECT_EQ(clsg(dir,
                   "train t.clsg --label red=x\\,1.png@0,0,16,32 --label "
                   "blue=blue.png")
                  .err,
              "");
}

namespace {

// Starts the program with args in dir and returns its process id.
pid_t spawnClsg(const ScratchDir& dir, const std::vector<std::string>& args) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.path.c_str()) != 0) _exit(120);
        std::vector<char*> argv{const_cast<char*>(CLSG_CLI_PATH)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execv(CLSG_CLI_PATH, argv.data());
        _exit(121);
    }
    return pid;
}

}  // namespace

TEST(Cli, SignalsLeaveNoTemporaryFilesAndWholeImages) {
    ScratchDir dir;
    trainBands(dir);
    // Large enough images that the signal comes while outputs are written.
    const Bytes big = bands({0, 1, 2}, 1024);
    std::vector<std::string> args{"run", "tool.clsg", "--out", "out", "-j", "2"};
    for (int i = 0; i < 400; ++i) {
        const std::string name = "i" + std::to_string(i) + ".png";
        if (i == 0)
            writePlainPng(dir / name, 48, 1024, big);
        else
            fs::create_hard_link(dir / "i0.png", dir / name);
        args.push_back(name);
    }
    for (const int signal : {SIGINT, SIGTERM}) {
        fs::remove_all(dir / "out");
        const pid_t pid = spawnClsg(dir, args);
        // Wait for finished outputs and a temporary file beside them, then signal.
        bool seen = false;
        for (int tries = 0; tries < 20000 && !seen; ++tries) {
            std::error_code ec;
            bool temporary = false, finished = false;
            for (fs::directory_iterator it(dir / "out", ec), end; !ec && it != end;
                 it.increment(ec)) {
                const bool tmp = it->path().filename().string().find(".tmp-") != std::string::npos;
                temporary = temporary || tmp;
                finished = finished || !tmp;
            }
            seen = temporary && finished;
            if (!seen) usleep(500);
        }
        ASSERT_TRUE(seen);
        kill(pid, signal);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
        // Each image's outputs are all there or not at all; nothing else.
        std::map<std::string, int> perImage;
        for (const auto& e : fs::directory_iterator(dir / "out")) {
            const std::string n = e.path().filename().string();
            EXPECT_EQ(n.find(".tmp-"), std::string::npos) << n;
            ++perImage[n.substr(0, n.find('-'))];
        }
        EXPECT_GT(perImage.size(), 0u);
        EXPECT_LT(perImage.size(), 400u);
        for (const auto& [image, count] : perImage) EXPECT_EQ(count, 8) << image;
    }
}

TEST(Cli, AWriteErrorNamesTheOutputAndWhy) {
    ScratchDir dir;
    trainBands(dir);
    Bytes noise(160 * 160 * 3);
    std::mt19937 rng(5);
    for (unsigned char& v : noise) v = static_cast<unsigned char>(rng());
    writePlainPng(dir / "noise.png", 160, 160, noise);
    // Files of at most 4 KB for the program (and its shell): its messages fit,
    // its outputs do not.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const rlimit small{4096, old.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const Outcome o = clsg(dir, "run tool.clsg noise.png --out out");
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_NE(o.status, 0);
    expectAll(o.err, {"cannot write out/noise-", std::strerror(EFBIG)});
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST(Cli, DiagnosticsBecomeAnHtmlReportWithItsImages) {
    ScratchDir dir;
    trainBands(dir);
    const Outcome t = clsg(dir,
                           "train t2.clsg --label red=bands.png@0,0,16,32 --label "
                           "blue=blue.png --diag train-diag");
    ASSERT_EQ(t.status, 0) << t.err;
    const Outcome r = clsg(dir, "run tool.clsg bands.png --out out --diag run-diag");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const std::string d : {"train-diag", "run-diag"}) {
        const std::string html = slurp(dir / (d + "/index.html"));
        expectAll(html, {"Record 1"});
        // The images the report shows are exactly the PNG files beside it.
        std::set<std::string> shown, files;
        for (std::size_t pos = 0; (pos = html.find("<img src=\"", pos)) != std::string::npos;) {
            pos += 10;
            shown.insert(html.substr(pos, html.find('"', pos) - pos));
        }
        for (const auto& e : fs::directory_iterator(dir / d))
            if (e.path().extension() == ".png") files.insert(e.path().filename().string());
        EXPECT_FALSE(shown.empty()) << d;
        EXPECT_EQ(shown, files) << d;
    }
    expectAll(slurp(dir / "run-diag/index.html"),
              {"<h2>bands</h2>", "s1-overlay.png", "Segmentation image 2 (blue)"});
    expectAll(slurp(dir / "train-diag/index.html"), {"Label 1 (blue) instance 0"});
}

TEST(Cli, DemoWritesItsOutputsAndSaysWhere) {
    ScratchDir dir;
    const Outcome o = clsg(dir, "demo --out demo");
    ASSERT_EQ(o.status, 0) << o.err;
    const std::vector<std::string> names = {
        "demo.clsg",        "coffee.png",           "coffee-labels.png",    "coffee-confidence.png",
        "coffee-score.png", "coffee-seg-crema.png", "coffee-seg-table.png", "coffee-overlay.png"};
    expectAll(o.out, names);
    expectAll(o.out, {"wrote into " + (dir / "demo")});
    for (const std::string& name : names) EXPECT_TRUE(fs::exists(dir / ("demo/" + name))) << name;
    const Decoded overlay = readPng(dir / "demo/coffee-overlay.png");
    EXPECT_EQ((std::vector<unsigned>{overlay.width, overlay.height, overlay.channels}),
              (std::vector<unsigned>{600, 400, 3}));
    // The demo's tool file is an ordinary one.
    const Outcome info = clsg(dir, "info demo/demo.clsg");
    EXPECT_EQ(info.status, 0) << info.err;
    expectAll(info.out, {"labels: 4"});
}

TEST(Cli, EvaluateCountsEveryJudgedPixel) {
    ScratchDir dir;
    trainBands(dir);
    // The truth: red band right, the green band's first 4 columns called
    // blue (wrongly), its other 12 green, the blue band not judged (255).
    Bytes truth(48 * 32);
    for (std::size_t i = 0; i < truth.size(); ++i) {
        const std::size_t x = i % 48;
        truth[i] = x < 16 ? 0 : x < 20 ? 2 : x < 32 ? 1 : 255;
    }
    writePlainPng(dir / "truth.png", 48, 32, truth);
    const Outcome o = clsg(dir, "evaluate tool.clsg bands.png --truth truth.png -n 1 --json");
    ASSERT_EQ(o.status, 0) << o.err;
    const nlohmann::json j = nlohmann::json::parse(o.out);
    EXPECT_EQ(j["confusion"], nlohmann::json::parse("[[512,0,0,0],[0,384,0,0],[0,128,0,0]]"));
    EXPECT_EQ(j["ignoredPixels"], 512);
    EXPECT_DOUBLE_EQ(j["accuracy"].get<double>(), 896.0 / 1024.0);
    EXPECT_DOUBLE_EQ(j["balancedAccuracy"].get<double>(), 2.0 / 3.0);
    EXPECT_DOUBLE_EQ(j["labels"][1]["precision"].get<double>(), 0.75);
    EXPECT_TRUE(j["labels"][2]["precision"].is_null());  // nothing was called blue

    // The same truth in colours, through --truth-map; the table for people.
    Bytes rgb;
    for (unsigned char v : truth)
        for (int c = 0; c < 3; ++c)
            rgb.push_back(v == 255 ? 9 : static_cast<unsigned char>(v * 50 + c));
    writePlainPng(dir / "truth-rgb.png", 48, 32, rgb);
    const Outcome t = clsg(dir,
                           "evaluate tool.clsg bands.png --truth truth-rgb.png -n 1 --truth-map "
                           "0,1,2=red --truth-map #323334=green --truth-map 100,101,102=blue "
                           "--truth-map 9=ignore");
    ASSERT_EQ(t.status, 0) << t.err;
    expectAll(t.out,
              {"512 pixels ignored", "accuracy 87.5 %, balanced accuracy 66.7 %",
               "green         384   100.0 %     75.0 %", "blue         0    128      0      0"});
}

TEST(Cli, TrainAutoStoresTheChoiceAndReportsIt) {
    ScratchDir dir;
    Bytes rgb;  // three bands as in bands(), 96 x 64, so that tiles can split them
    for (unsigned y = 0; y < 64; ++y)
        for (unsigned x = 0; x < 96; ++x) {
            const Bytes b = bands({0, 1, 2}, 1);
            for (int p = 0; p < 3; ++p) rgb.push_back(b[(x / 2 + y % 2) * 3 + p]);
        }
    writePlainPng(dir / "big.png", 96, 64, rgb);
    const Outcome t = clsg(dir,
                           "train auto.clsg --auto --report r.json --label r=big.png@0,0,32,64 "
                           "--label g=big.png@32,0,32,64 --label b=big.png@64,0,32,64");
    ASSERT_EQ(t.status, 0) << t.err;
    expectAll(t.out, {"cross-validation: 3 folds", "<- chosen", "chosen: colorToleranceFrac",
                      "confusion", "wrote auto.clsg"});
    const nlohmann::json r = nlohmann::json::parse(slurp(dir / "r.json"));
    ASSERT_GE(r["candidates"].size(), 15u);
    const nlohmann::json& chosen = r["candidates"][r["chosen"]["index"].get<std::size_t>()];
    EXPECT_EQ(chosen["colorToleranceFrac"], r["chosen"]["colorToleranceFrac"]);
    EXPECT_EQ(r["heldOut"]["pixels"], 96 * 64);
    // The tool file carries the choice and the estimate.
    const int n = r["chosen"]["neighborhoodSize"].get<int>();
    std::ostringstream params, estimate;
    params << "colorToleranceFrac " << r["chosen"]["colorToleranceFrac"].get<double>()
           << ", colorToleranceMin " << r["chosen"]["colorToleranceMin"].get<int>();
    estimate << std::fixed << std::setprecision(1) << "balanced accuracy "
             << 100.0 * r["heldOut"]["balancedAccuracy"].get<double>() << " % over 6144 pixels";
    const Outcome info = clsg(dir, "info auto.clsg");
    ASSERT_EQ(info.status, 0) << info.err;
    expectAll(
        info.out,
        {"train parameters: " + params.str(), "stored neighbourhood size: " + std::to_string(n),
         "chosen by train --auto from " + std::to_string(r["candidates"].size()) + " candidates",
         params.str() + ", neighborhood " + std::to_string(n), "estimate on held-out pixels",
         estimate.str(), "confusion"});
    EXPECT_EQ(info.out.find("quality report"), std::string::npos) << "shown, not dumped";
    // A report that is not one of ours is shown as it is.
    ToolFile odd = readToolFile(dir / "auto.clsg");
    odd.qualityJson = R"({"chosen": {}, "note": "by hand"})";
    writeToolFile(dir / "odd.clsg", odd);
    expectAll(clsg(dir, "info odd.clsg").out,
              {"quality report: {\"chosen\": {}, \"note\": \"by hand\"}"});

    // run and evaluate use the stored neighbourhood unless given one.
    const Outcome stored = clsg(dir, "run auto.clsg big.png --out a");
    ASSERT_EQ(stored.status, 0) << stored.err;
    expectAll(stored.out, {"neighbourhood " + std::to_string(n) + " (stored in auto.clsg)"});
    const Outcome given = clsg(dir, "run auto.clsg big.png --out b -n " + std::to_string(n));
    ASSERT_EQ(given.status, 0) << given.err;
    EXPECT_EQ(given.out.find("stored in"), std::string::npos);
    EXPECT_EQ(slurp(dir / "a/big-labels.png"), slurp(dir / "b/big-labels.png"));
    Bytes truth(96 * 64);
    for (std::size_t i = 0; i < truth.size(); ++i)
        truth[i] = static_cast<unsigned char>(i % 96 / 32);
    writePlainPng(dir / "truth.png", 96, 64, truth);
    for (const int given : {0, n % 5 + 1}) {
        const Outcome e = clsg(dir, "evaluate auto.clsg big.png --truth truth.png --json" +
                                        (given ? " -n " + std::to_string(given) : ""));
        ASSERT_EQ(e.status, 0) << e.err;
        EXPECT_EQ(nlohmann::json::parse(e.out)["neighborhoodSize"], given ? given : n);
    }
}

TEST(Cli, EverySubcommandHasHelp) {
    ScratchDir dir;
    const std::vector<std::pair<std::string, std::vector<std::string>>> commands = {
        {"train",
         {"--label", "--color-tolerance-frac", "--color-tolerance-min", "--diag", "--auto",
          "--report"}},
        {"evaluate", {"--truth", "--truth-map", "--neighborhood", "--json", "ignore"}},
        {"run",
         {"--out", "--neighborhood", "--normalize-intensity", "--jobs", "--threads", "--diag"}},
        {"info", {"tool"}},
        {"demo", {"--out"}},
        {"", {"train", "run", "info", "demo", "evaluate"}}};
    for (const auto& [name, words] : commands) {
        const Outcome o = clsg(dir, name + " --help");
        EXPECT_EQ(o.status, 0) << name;
        expectAll(o.out, words);
    }
}

}  // namespace
