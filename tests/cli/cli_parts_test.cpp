// The command-line tool's pieces: --label parsing, masks, overlay, colours, outputs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "../abort_from_thread.h"
#include "cli/cli_error.h"
#include "cli/diag_html.h"
#include "cli/label_option.h"
#include "cli/legend.h"
#include "cli/share_columns.h"
#include "cli/training_examples.h"
#include "cli/utf8_text.h"
#include "cli/video_gaps.h"
#include "clsg/colorseg/errors.h"
#include "clsg/io/errors.h"
#include "clsg/io/label_colors.h"
#include "clsg/io/output_files.h"
#include "clsg/io/overlay.h"
#include "clsg/io/tool_file.h"
#include "clsg/platform/pel_ops.h"
#include "clsg/tuning/quality_report.h"
#include "png_fixture.h"

using namespace clsg;

namespace {

namespace fs = std::filesystem;
using clsgtest::errorOf;

TEST(LabelOption, ParsesEscapesRejectsMalformedArgumentsAndMakesMasks) {
    // Backslashes escape separators, and the stored source text escapes them again.
    const std::string text = "a\\,b.png:m\\:1\\\\.png,c\\@d.png@1,2,3,4+-5,6,7,8";
    const LabelOption e = parseLabelOption("sky=" + text);
    ASSERT_EQ(e.examples.size(), 2u);
    EXPECT_EQ(
        e.name + "|" + e.examples[0].image + "|" + e.examples[0].mask + "|" + e.examples[1].image,
        "sky|a,b.png|m:1\\.png|c@d.png");
    EXPECT_EQ(e.examples[1].rects, (std::vector<kvPelRect>{{1, 2, 3, 4}, {-5, 6, 7, 8}}));
    EXPECT_EQ(exampleSourceText(e.examples[0]) + "," + exampleSourceText(e.examples[1]), text);
    // A reader of the stored text finds the image files again.
    EXPECT_EQ(exampleImageName(exampleSourceText(e.examples[0])), "a,b.png");
    EXPECT_EQ(exampleImageName(exampleSourceText(e.examples[1])), "c@d.png");
    const std::pair<const char*, const char*> bad[] = {
        {"sky", "NAME=IMAGE"},
        {"sky=a.png,", "without an image"},
        {"sky=a\\x.png", "a backslash before 'x' in \"a\\x.png\""},
        {"sky=a.png@1,2,0,4", "empty"},
        {"sky=a.png@1,2,3", "expected ',' (a rectangle is X,Y,WIDTH,HEIGHT) at the end"},
        {"sky=a.png@1,2,3,999999999999", "too large"},
        {"sky=a.png:m.png@1,2,3,4", "rectangles after the mask m.png: an example is IMAGE:MASK"},
        {"sky=a.png:m.png:n.png", "a second ':' after the mask m.png"},
        {"s k y=a.png", "letters, digits"}};
    for (const auto& [arg, part] : bad)
        EXPECT_NE(errorOf<CliError>([&] { parseLabelOption(arg); }).find(part), std::string::npos)
            << arg;
    const kv3PlanePelBuffer image(kvPelRect(0, 0, 6, 4));  // rectangles become masks
    const kvPelBuffer<unsigned char> mask =
        rectangleMask(image, {kvPelRect(1, 0, 2, 2), kvPelRect(2, 1, 4, 3)}, "img");
    EXPECT_EQ(mask.window(), kvPelRect(1, 0, 5, 4));  // their bounding box, not the image
    for (long i = 0, x = 1, y = 0; i < 20; ++i, x = 1 + i % 5, y = i / 5)
        EXPECT_EQ(*mask.pointToPel(x, y),
                  (x >= 1 && x < 3 && y < 2) || (x >= 2 && y >= 1) ? 255 : 0);
    const auto refusal = [&](kvPelRect r) {
        return errorOf<CliError>([&] {
            rectangleMask(image, {kvPelRect(1, 0, 2, 2), r}, "i.png");
        });
    };
    EXPECT_EQ(refusal(kvPelRect(0, 0, 7, 4)),
              "rectangle 0,0,7,4 reaches past the edge of image i.png (6 x 4)");
    EXPECT_EQ(refusal(kvPelRect(-1, 3, 2, 1)),
              "rectangle -1,3,2,1 reaches past the edge of image i.png (6 x 4)");
    EXPECT_EQ(refusal(kvPelRect(6, 0, 1, 1)), "rectangle 6,0,1,1 lies outside image i.png (6 x 4)");
    EXPECT_EQ(refusal(kvPelRect(-2, 0, 2, 4)),
              "rectangle -2,0,2,4 lies outside image i.png (6 x 4)");
}

TEST(Overlay, BlendsLabelColoursAndKeepsUnlabelledPixels) {
    kv3PlanePelBuffer image(kvPelRect(2, 3, 5, 1));
    kvPelBuffer<unsigned char> labels(image.window());
    const unsigned char values[5] = {0, 1, 255, 17, 0};
    const std::vector<uint32_t> colours = {0x102030, 0xf0e0d0};
    const auto pel = [](const kv3PlanePelBuffer& b, int p, long x) {
        return std::array{&b.plane0(), &b.plane1(), &b.plane2()}[p]->pointToRow(3) + x;
    };
    for (long x = 0; x < 5; ++x) {
        for (int p = 0; p < 3; ++p) *pel(image, p, x) = uint8_t(x * 60 + p);
        labels.pointToRow(3)[x] = values[x];
    }
    const kv3PlanePelBuffer out = makeOverlay(image, labels, colours);
    ASSERT_EQ(out.window(), image.window());
    for (long x = 0; x < 5; ++x)
        for (int p = 0; p < 3; ++p) {
            const int v = x * 60 + p,
                      c = values[x] < 2 ? colours[values[x]] >> (16 - 8 * p) & 255 : -1;
            EXPECT_EQ(*pel(out, p, x), c < 0 ? v : (v + c + 1) / 2) << x << p;
        }
    EXPECT_EQ(labelCounts(labels, 2), (std::vector<uint64_t>{2, 1, 2}));  // 17, 255: unlabelled
    const std::vector<uint64_t> most = labelCounts(labels, 255);          // 17 is a label, 255 none
    EXPECT_EQ(std::vector<uint64_t>(most.begin() + 16, most.begin() + 18),
              (std::vector<uint64_t>{0, 1}));
    EXPECT_EQ(most.back(), 1u);
    EXPECT_THROW(labelCounts(labels, 256), kvCompositeColorSegmenterDefs::BadParams);
    EXPECT_THROW(labelCounts(labels, UINT_MAX), kvCompositeColorSegmenterDefs::BadParams);
    // Labels over a wider window are read at the image's own pixels.
    kvPelBuffer<unsigned char> wider(kvPelRect(0, 3, 7, 1));
    for (long x = 0; x < 7; ++x) wider.pointToRow(3)[x] = x < 2 ? 255 : values[x - 2];
    EXPECT_TRUE(kfPelEqual(makeOverlay(image, wider, colours).plane0(), out.plane0()));
    // Labels that miss part of the image, or none: refused, not read beyond them.
    kvPelBuffer<unsigned char> shifted(kvPelRect(3, 3, 5, 1));
    using BadImage = kvCompositeColorSegmenterDefs::BadImage;
    EXPECT_THROW(makeOverlay(image, shifted, colours), BadImage);
    EXPECT_THROW(makeOverlay(image, kvPelBuffer<unsigned char>(), colours), BadImage);
}

TEST(LabelColors, StableDistinctAndAwayFromChosenOnes) {
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i) names.push_back("l" + std::to_string(i * 7));
    const std::vector<uint32_t> colours = assignLabelColors(names);
    EXPECT_EQ(std::set<uint32_t>(colours.begin(), colours.end()).size(), names.size());
    const std::vector<uint32_t> reversed = assignLabelColors({names.rbegin(), names.rend()});
    EXPECT_TRUE(std::equal(colours.begin(), colours.end(), reversed.rbegin()));  // order-free
    EXPECT_NE(assignLabelColors({"l0", "river"}, {std::nullopt, colours[0]})[0], colours[0]);
    uint32_t parsed = 0;
    EXPECT_FALSE(parseColorText("a0b1c2", &parsed) || parseColorText("#a0b1c2f", &parsed));
}

// Chosen colours stay; colour names give their colour; marks give a colour near their mean, apart
// from the others; the rest come from the palette as before.
TEST(LabelColors, NamesMarksAndChoicesGiveWhatAUserExpects) {
    const auto dist = [](uint32_t a, uint32_t b) {
        double d = 0;
        for (int s : {16, 8, 0}) d += std::pow(double(a >> s & 255) - double(b >> s & 255), 2);
        return std::sqrt(d);
    };
    using O = std::optional<uint32_t>;
    const std::vector<std::string> names = {"red",          "Dark-Green", "lemon",
                                            "orange_flesh", "sky",        "plain"};
    const std::vector<O> chosen = {O(), O(), O(), O(), O(0x123456), O()},
                         means = {O(0x0000ff), O(), O(0xe6c828), O(0xe6c828), O(0x00ff00), O()};
    const std::vector<uint32_t> c = labelColors(names, chosen, means);
    EXPECT_EQ(c[0], 0xff0000u);           // the name wins over the marks
    EXPECT_EQ(c[1], 0x006400u);           // case, '-' and '_' ignored
    EXPECT_EQ(c[4], 0x123456u);           // chosen wins over marks
    EXPECT_LT(dist(c[2], 0xe6c828), 40);  // near the mean (a little more colourful)
    EXPECT_GE(dist(c[3], c[2]), 64);      // the same mean, kept apart
    EXPECT_LT(dist(c[3], 0xe6c828), 140);
    EXPECT_EQ(c[5], assignLabelColors(names, {c[0], c[1], c[2], c[3], c[4], O()})[5]);
    // A colour name whose colour another label has, chosen or named before, gets another.
    const std::vector<uint32_t> twice =
        labelColors({"dark-green", "red", "darkgreen"}, {O(), O(0xff0000), O()}, {});
    EXPECT_EQ(twice[0], 0x006400u);
    EXPECT_TRUE(twice[1] == 0xff0000u && twice[2] != 0x006400u && twice[2] != 0xff0000u);
    EXPECT_NE(labelColors({"a", "red"}, {O(0xff0000), O()}, {O(), O(0xff0000)})[1], 0xff0000u);
    for (const char* other : {"reddish", "", "dark green x", "oranges"})
        EXPECT_FALSE(namedColor(other)) << other;
    EXPECT_EQ(namedColor("Light Sky Blue"), O(0x87cefa));
    EXPECT_EQ(namedColor("yellowgreen"), O(0x9acd32));  // the last name; "aliceblue" the first
    EXPECT_EQ(namedColor("aliceblue"), O(0xf0f8ff));
    // The mean counts only selected pels: a 2 x 1 example, one pel masked out.
    kv3PlanePelBuffer image(kvPelRect(5, 7, 2, 1));
    kvPelBuffer<unsigned char> mask(kvPelRect(5, 7, 2, 1));
    for (auto* p : {&image.plane0(), &image.plane1(), &image.plane2()})
        p->pointToRow(7)[0] = 10, p->pointToRow(7)[1] = 200;
    mask.pointToRow(7)[0] = 0, mask.pointToRow(7)[1] = 255;
    EXPECT_EQ(meanExampleColor(kvCompositeColorSet({kvCompositeColor(image, mask)})), O(0xc8c8c8));
    EXPECT_EQ(meanExampleColor(kvCompositeColorSet({kvCompositeColor(image, {})})), O(0x696969));
}

// Letters with descenders reach below the line, so that g is no 9.
TEST(Legend, DescendersReachBelowTheLine) {
    const auto lowestInk = [](const char* text) {
        const kv3PlanePelBuffer image = makeLegend({{text, 0xffffff}});
        for (long y = image.height() - 1; y >= 0; --y)
            for (long x = 28; x < image.width(); ++x)
                if (image.plane0().pointToRow(y)[x] == 0) return y;
        return -1L;
    };
    EXPECT_EQ(lowestInk("9"), lowestInk("a"));
    for (const char* descender : {"g", "j", "p", "q", "y"}) {
        EXPECT_EQ(lowestInk(descender), lowestInk("9") + 4) << descender;
        EXPECT_LT(lowestInk(descender), kLegendRowHeight);
    }
}

// A white label's swatch shows on the white page, and is no unlabelled swatch.
TEST(Legend, SwatchesShowOnTheWhitePage) {
    const kv3PlanePelBuffer image = makeLegend({{"w", 0xffffff}, {"u", 0, false}});
    const auto swatch = [&image](long row) {
        std::vector<unsigned char> pels;
        for (long y = row * kLegendRowHeight + 3; y < row * kLegendRowHeight + 19; ++y)
            pels.insert(pels.end(), image.plane0().pointToRow(y) + 6,
                        image.plane0().pointToRow(y) + 22);
        return pels;
    };
    const std::vector<unsigned char> white = swatch(0), none = swatch(1);
    EXPECT_LT(std::count(white.begin(), white.end(), 255), static_cast<long>(white.size()));
    EXPECT_NE(white, none);
}

// Characters that look alike in small fonts differ by at least three font pixels, so that
// "l10" is no "110" and "O" no "0".
TEST(Legend, LookalikeCharactersAreToldApart) {
    const auto ink = [](char c) {
        const kv3PlanePelBuffer image = makeLegend({{std::string(1, c), 0xffffff}});
        std::vector<bool> dark;
        for (long y = 0; y < image.height(); ++y)
            for (long x = 28; x < image.width(); ++x)
                dark.push_back(image.plane0().pointToRow(y)[x] == 0);
        return dark;
    };
    for (const char* pair : {"l1", "lI", "I1", "O0", "o0", "S5", "B8", "Z2", "g9", "q9"}) {
        const std::vector<bool> a = ink(pair[0]), b = ink(pair[1]);
        ASSERT_EQ(a.size(), b.size());
        long differ = 0;
        for (std::size_t i = 0; i < a.size(); ++i) differ += a[i] != b[i];
        EXPECT_GE(differ, 3 * 4) << pair;  // drawn twice the size: 4 pixels a font pixel
    }
}

// Every character a legend row can hold has a glyph of its own, not the box of an
// unknown one: a label name's, and those of the shares and "(unlabelled)".
TEST(Legend, EveryCharacterOfARowHasItsGlyph) {
    const auto rows = [](char c) {
        const kv3PlanePelBuffer image = makeLegend({{std::string(1, c), 0xffffff}});
        std::vector<unsigned char> all;
        for (long y = 0; y < image.height(); ++y)
            all.insert(all.end(), image.plane0().pointToRow(y),
                       image.plane0().pointToRow(y) + image.width());
        return all;
    };
    const std::vector<unsigned char> box = rows('\x01');
    for (const char c : std::string("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                    "0123456789_-() .%<>"))
        EXPECT_NE(rows(c), box) << c;
}

TEST(OutputFiles, CommitReplacesAllOrNothingAndLeavesNoTemporaries) {
    clsgtest::ScratchDir dir;
    const std::string out = dir / "a/b";
    fs::create_directories(out);
    clsgtest::writeBytes(out + "/keep.txt", "old");
    fs::permissions(out + "/keep.txt", fs::perms::owner_read | fs::perms::owner_write);
    {
        OutputFiles files, other;
        files.makeDir(out);
        const std::string staged = files.stage(out + "/keep.txt");  // a plain file; another name
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(staged)));
        EXPECT_NE(other.stage(out + "/keep.txt"), staged);
        clsgtest::writeBytes(staged, "new");
        clsgtest::writeBytes(files.stage(out + "/y.txt"), "y");
        EXPECT_FALSE(fs::exists(out + "/y.txt"));
        EXPECT_EQ(errorOf<FileError>([&] { files.stage(out + "/./y.txt"); }),
                  "two outputs would both be written to " + out + "/./y.txt");
        files.commit();
        // Once: a file staged afterwards would be left behind.
        EXPECT_THROW(files.stage(out + "/late.txt"), std::logic_error);
        EXPECT_THROW(files.commit(), std::logic_error);
    }
    EXPECT_EQ(clsgtest::slurp(out + "/keep.txt") + clsgtest::slurp(out + "/y.txt"), "newy");
    // The file replaced stays private.
    EXPECT_EQ(fs::status(out + "/keep.txt").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 2);
    {  // a folder made that no output took goes with the commit; one that took an output stays
        OutputFiles files;
        files.makeDir(dir / "unused/inner");
        files.makeDir(dir / "used");
        clsgtest::writeBytes(files.stage(dir / "used/z.txt"), "z");
        files.commit();
        EXPECT_FALSE(fs::exists(dir / "unused"));
        EXPECT_EQ(clsgtest::slurp(dir / "used/z.txt"), "z");
        fs::remove_all(dir / "used");
    }
    {  // another clsg putting its outputs in the folder: this commit waits for it to end
        const int other = ::open(out.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_EQ(::flock(other, LOCK_EX), 0);
        OutputFiles files;
        clsgtest::writeBytes(files.stage(out + "/waited.txt"), "w");
        std::atomic<bool> done{false};
        std::thread committer([&] { files.commit(), done = true; });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(done || fs::exists(out + "/waited.txt"));
        ::flock(other, LOCK_UN);
        committer.join();
        EXPECT_EQ(clsgtest::slurp(out + "/waited.txt"), "w");
        EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);  // free again after the commit
        // A lock that does not come (held by whoever started the program, as `flock
        // DIR clsg ...` holds it) is waited for a few seconds, then gone without.
        OutputFiles again;
        clsgtest::writeBytes(again.stage(out + "/waited.txt"), "again");
        again.commit();
        EXPECT_EQ(clsgtest::slurp(out + "/waited.txt"), "again");
        ::close(other);
        fs::remove(out + "/waited.txt");
        // Ctrl-C while one folder's lock is waited for gives back those already taken.
        fs::create_directories(dir / "p"), fs::create_directories(dir / "q");
        struct stat p, q;
        ::stat((dir / "p").c_str(), &p), ::stat((dir / "q").c_str(), &q);
        const std::string first = dir / (p.st_ino < q.st_ino ? "p" : "q"),
                          second = dir / (p.st_ino < q.st_ino ? "q" : "p");
        const int held = ::open(second.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_EQ(::flock(held, LOCK_EX), 0);
        EXPECT_TRUE(abortedFromAnotherThread([&] {
            OutputFiles both;
            clsgtest::writeBytes(both.stage(first + "/a.txt"), "a");
            clsgtest::writeBytes(both.stage(second + "/b.txt"), "b");
            both.commit();
        }));
        ::close(held);
        const int free = ::open(first.c_str(), O_RDONLY | O_DIRECTORY);
        EXPECT_EQ(::flock(free, LOCK_EX | LOCK_NB), 0);
        ::close(free);
        EXPECT_FALSE(fs::exists(first + "/a.txt") || fs::exists(second + "/b.txt"));
        fs::remove(first), fs::remove(second);
    }
    {  // a umask that takes the owner's write permission leaves the temporary writable
        OutputFiles files;
        const mode_t was = ::umask(0277);
        const std::string staged = files.stage(out + "/masked.txt");
        ::umask(was);
        EXPECT_EQ(fs::status(staged).permissions() & fs::perms::owner_all,
                  fs::perms::owner_read | fs::perms::owner_write);
    }
    {  // a directory in the way, at once or by the commit: nothing is committed; destroyed,
       // it removes its temporaries
        OutputFiles files;
        for (const char* name : {"a.txt", "c.txt"})
            clsgtest::writeBytes(files.stage(dir / name), name);
        fs::create_directory(dir / "c.txt");
        EXPECT_EQ(errorOf<FileError>([&] { OutputFiles().stage(dir / "c.txt"); }),
                  "cannot write " + (dir / "c.txt") +
                      ": it names a directory, not a file; nothing was written");
        EXPECT_EQ(errorOf<FileError>([&] { OutputFiles().stage(dir / "d/"); }),  // d not there
                  "cannot write " + (dir / "d/") +
                      ": the name ends in '/', as a directory's does, not a file's; nothing was "
                      "written");
        EXPECT_EQ(
            errorOf<FileError>([&] { files.commit(); }),
            "cannot write " + (dir / "c.txt") + ": a directory is in the way; nothing was written");
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 2);
    {  // a name of 250 bytes, as long as a file name may be less the temporary's additions
        OutputFiles files;
        const std::string longName = dir / (std::string(246, 'x') + ".txt");
        clsgtest::writeBytes(files.stage(longName), "long");
        // One name too long among outputs: refused when staged, so none is renamed.
        const std::string tooLong = dir / (std::string(252, 'x') + ".txt");
        EXPECT_EQ(errorOf<FileError>([&] { files.stage(tooLong); }),
                  "cannot write " + tooLong +
                      ": its name is 256 bytes long, more than the 255 a file name may have "
                      "there; nothing was written");
        files.commit();
        EXPECT_EQ(clsgtest::slurp(longName), "long");
    }
}

// A folder made immutable under a run (chattr +i): neither the renames nor the
// removal of the temporaries can be done, and the error says both.
// A process ending at once (a second Ctrl-C) removes the temporaries still
// staged in any OutputFiles, and nothing already renamed into place.
TEST(OutputFiles, TemporariesCanBeRemovedWithoutUnwinding) {
    clsgtest::ScratchDir dir;
    OutputFiles done, pending, other;
    clsgtest::writeBytes(done.stage(dir / "done.txt"), "done");
    done.commit();
    const std::string a = pending.stage(dir / "a.txt"), b = other.stage(dir / "b.txt");
    clsgtest::writeBytes(a, "partial");
    removeTemporariesNow();
    EXPECT_FALSE(fs::exists(a));
    EXPECT_FALSE(fs::exists(b));
    EXPECT_EQ(clsgtest::slurp(dir / "done.txt"), "done");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

TEST(OutputFiles, TemporariesThatCannotBeRemovedAreNamed) {
    clsgtest::ScratchDir dir;
    const std::string out = dir / "out";
    fs::create_directories(out);
    struct Immutable {  // set while it lives, where the file system and the user allow
        int fd;
        bool set = false;
        explicit Immutable(const std::string& path) : fd(::open(path.c_str(), O_RDONLY)) {
            int flags = 0;
            set = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                  (flags |= FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
        }
        ~Immutable() {
            int flags = 0;
            if (set && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0)
                flags &= ~FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
            if (fd >= 0) ::close(fd);
        }
    };
    {
        OutputFiles files;
        for (const char* name : {"/a.txt", "/b.txt"})
            clsgtest::writeBytes(files.stage(out + name), "x");
        const Immutable frozen(out);
        if (!frozen.set) GTEST_SKIP() << "cannot make a folder immutable here";
        const std::string message = errorOf<FileError>([&] { files.commit(); });
        EXPECT_EQ(message.rfind("cannot write " + out +
                                    "/a.txt: Operation not permitted; nothing "
                                    "was written; the temporary file " +
                                    out + "/.a.txt.tmp-",
                                0),
                  0u)
            << message;
        EXPECT_NE(message.find(" and 1 more could not be removed"), std::string::npos) << message;
    }
    EXPECT_TRUE(fs::is_empty(out));  // removed once the folder could be written again
}

TEST(OutputFiles, PipesAreWrittenIntoAndWhatNoOutputMayReplaceIsRefused) {
    clsgtest::ScratchDir dir;
    const std::string fifo = dir / "fifo", link = dir / "link-to-fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink(fifo, link);
    for (const std::string& name : {fifo, link}) {  // as --summary /dev/stdout, or >(sort)
        // A reader already there (the bytes fit the pipe's buffer), which
        // reads nothing if the pipe was replaced.
        const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        {
            OutputFiles files;
            clsgtest::writeBytes(files.stage(name), "bytes of " + name);
            files.commit();
        }
        char got[256] = {};
        EXPECT_EQ(::read(reader, got, sizeof got - 1), ssize_t(9 + name.size()));
        ::close(reader);
        EXPECT_EQ(std::string(got), "bytes of " + name);
        EXPECT_TRUE(fs::is_fifo(fs::symlink_status(fifo)));
        EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link)));
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 2);
    // A pipe with no reader is waited for, until an abort (Ctrl-C) ends the wait
    // (a reader comes after 5 s, so that a wait that ignores the abort ends).
    std::atomic<bool> waited{false};
    std::thread reader([&] {
        for (int i = 0; i < 250 && !waited; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!waited) ::close(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
    });
    EXPECT_TRUE(abortedFromAnotherThread([&] {
        OutputFiles files;  // the file staged first is not renamed before the wait
        clsgtest::writeBytes(files.stage(dir / "plain.txt"), "plain");
        clsgtest::writeBytes(files.stage(fifo), "unread");
        files.commit();
    }));
    waited = true;
    reader.join();
    EXPECT_FALSE(fs::exists(dir / "plain.txt"));
    // A pipe's bytes wait in a temporary file where TMPDIR says: one that names no folder is
    // said (not taken for the current folder); one set empty is as unset.
    {
        const char* was = std::getenv("TMPDIR");
        const std::string kept = was ? was : "";
        ::setenv("TMPDIR", (dir / "missing").c_str(), 1);
        EXPECT_EQ(errorOf<FileError>([&] { OutputFiles().stage(fifo); }),
                  "cannot write " + fifo +
                      ": its bytes wait for it in a temporary file, and "
                      "TMPDIR names " +
                      (dir / "missing") +
                      ", which cannot be used: No such file or directory; nothing was written");
        ::setenv("TMPDIR", "", 1);
        OutputFiles files;
        EXPECT_EQ(fs::path(files.stage(fifo)).parent_path(), "/tmp");
        if (was)
            ::setenv("TMPDIR", kept.c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }
    // A device that fails fails the commit with nothing renamed.
    fs::create_symlink("/dev/full", dir / "full");
    {
        OutputFiles files;
        clsgtest::writeBytes(files.stage(dir / "plain.txt"), "plain");
        clsgtest::writeBytes(files.stage(dir / "full"), "more than it takes");
        EXPECT_EQ(
            errorOf<FileError>([&] { files.commit(); }),
            "cannot write " + (dir / "full") + ": No space left on device; nothing was written");
    }
    EXPECT_FALSE(fs::exists(dir / "plain.txt"));
    fs::remove(dir / "full");
    // One of the process's streams, even through a link (as /dev/stdout is one),
    // is written where it stands: after what it holds, the link left a link.
    clsgtest::writeBytes(dir / "stream.txt", "earlier lines\n");
    const int stream = ::open((dir / "stream.txt").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(stream, 0);
    fs::create_symlink("/proc/self/fd/" + std::to_string(stream), dir / "stdout-link");
    {
        OutputFiles files;
        clsgtest::writeBytes(files.stage(dir / "stdout-link"), "summary\n");
        files.commit();
    }
    ::close(stream);
    EXPECT_EQ(clsgtest::slurp(dir / "stream.txt"), "earlier lines\nsummary\n");
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir / "stdout-link")));
    fs::remove(dir / "stdout-link"), fs::remove(dir / "stream.txt");

    fs::create_directory(dir / "d");
    fs::create_symlink(dir / "d", dir / "link-to-d");
    clsgtest::writeBytes(dir / "read-only", "kept");
    fs::permissions(dir / "read-only", fs::perms::owner_read | fs::perms::group_read);
    const auto refused = [&](const std::string& name, const char* why) {
        EXPECT_EQ(errorOf<FileError>([&] { OutputFiles().stage(name); }),
                  "cannot write " + name + ": " + why + "; nothing was written");
        OutputFiles files;  // made so after staging: refused by the commit
        fs::rename(name, dir / "aside");
        clsgtest::writeBytes(files.stage(name), "new");
        fs::rename(dir / "aside", name);
        EXPECT_EQ(errorOf<FileError>([&] { files.commit(); }),
                  "cannot write " + name + ": " + why + "; nothing was written");
    };
    refused(dir / "link-to-d", "it is a link to a directory");
    refused(dir / "read-only", "the file is read-only");
    EXPECT_EQ(errorOf<FileError>([&] { OutputFiles().stage(dir / "missing/x.png"); }),
              "cannot write " + (dir / "missing/x.png") + ": the folder " + (dir / "missing") +
                  " does not exist; nothing was written");
    // A folder made for the outputs that another run, failing, removed: made again,
    // however its name was given.
    for (const char* given : {"shared/out", "shared/out/", "shared/./out//"}) {
        OutputFiles files;
        files.makeDir(dir / given);
        fs::remove(dir / "shared/out");
        OutputFiles image(files, true);
        clsgtest::writeBytes(image.stage(dir / "shared/out/x.png"), given);
        image.commit();
        EXPECT_EQ(clsgtest::slurp(dir / "shared/out/x.png"), given);
        fs::remove(dir / "shared/out/x.png");
    }
    fs::remove_all(dir / "shared");
    {  // '..' after a link: where mkdir -p and open() take it, not beside the link
        fs::create_directories(dir / "far/sub");
        fs::create_directory_symlink(dir / "far/sub", dir / "near");
        OutputFiles files;
        files.makeDir(dir / "near/../made/in");
        fs::remove(dir / "far/made/in");
        OutputFiles image(files, true);
        clsgtest::writeBytes(image.stage(dir / "near/../made/in/x.png"), "far");
        image.commit();
        EXPECT_EQ(clsgtest::slurp(dir / "far/made/in/x.png"), "far");
        EXPECT_FALSE(fs::exists(dir / "made"));
        fs::remove_all(dir / "far");
        fs::remove(dir / "near");
        // A folder that was there, reached past one that was not, is not the run's to
        // remove when it fails.
        fs::create_directory(dir / "keep");
        OutputFiles().makeDir(dir / "made/../keep");
        EXPECT_TRUE(fs::is_directory(dir / "keep"));
        EXPECT_FALSE(fs::exists(dir / "made"));
        fs::remove(dir / "keep");
    }
    {  // a bare name in a folder removed while the program stood in it
        const fs::path home = fs::current_path();
        fs::create_directory(dir / "gone");
        fs::current_path(dir / "gone");
        fs::remove(dir / "gone");
        const std::string bare = errorOf<FileError>([&] { OutputFiles().stage("x.png"); });
        const std::string dotted = errorOf<FileError>([&] { OutputFiles().stage("./x.png"); });
        fs::current_path(home);
        EXPECT_EQ(bare, "cannot write x.png: the current folder was removed; nothing was written");
        EXPECT_EQ(dotted,
                  "cannot write ./x.png: the current folder was removed; nothing was written");
    }
    // A folder that is there but takes no new file (/proc) is not said to be missing.
    EXPECT_EQ(errorOf<FileError>([&] { OutputFiles().stage("/proc/x.png"); }),
              "cannot create a temporary file next to /proc/x.png: No such file or directory; "
              "nothing was written");
    EXPECT_EQ(clsgtest::slurp(dir / "read-only"), "kept");
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir / "link-to-d")));

    // In a shared (sticky) directory another user's file is refused before anything is
    // written: its rename would fail once other outputs were in place. The superuser may
    // replace it, so a child checks as another user.
    if (::geteuid() == 0) {
        char shared[] = "/tmp/clsg-sticky-XXXXXX";
        ASSERT_TRUE(::mkdtemp(shared));
        fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
        const std::string theirs = std::string(shared) + "/theirs.png",
                          mine = std::string(shared) + "/mine.png",
                          plain = std::string(shared) + "/open/theirs.png";  // not sticky
        fs::create_directory(std::string(shared) + "/open");
        fs::permissions(std::string(shared) + "/open", fs::perms::all);
        const auto writable = fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec |
                                                 fs::perms::others_exec);
        for (const std::string& file : {theirs, mine, plain}) {
            clsgtest::writeBytes(file, "kept");
            fs::permissions(file, writable);
        }
        ASSERT_EQ(::chown(mine.c_str(), 65534, 65534), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
            try {  // its own file, and another's where the directory is not sticky, are replaced
                OutputFiles files;
                clsgtest::writeBytes(files.stage(mine), "new");
                clsgtest::writeBytes(files.stage(plain), "new");
                files.commit();
            } catch (const FileError&) {
                ::_exit(5);
            }
            try {
                OutputFiles().stage(theirs);
            } catch (const FileError& e) {
                ::_exit(std::string(e.what()) == "cannot write " + theirs +
                                                     ": it belongs to another user, in a shared "
                                                     "directory where only its owner may replace "
                                                     "it; nothing was written"
                            ? 0
                            : 3);
            }
            ::_exit(4);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(clsgtest::slurp(theirs), "kept");
        EXPECT_EQ(clsgtest::slurp(mine) + clsgtest::slurp(plain), "newnew");
        fs::remove_all(shared);
    }

    fs::create_symlink(dir / "gone", dir / "dangling");
    EXPECT_EQ(errorOf<FileError>([&] { OutputFiles().makeDir(dir / "dangling/out"); }),
              (dir / "dangling") + " is a link to " + (dir / "gone") + ", which does not exist");
}

// At a name the program made in a folder (an image's output in --out), a pipe
// or device was left there, not asked for: writing into it would wait for a
// reader or lose the output. Refused at stage() and again at commit(); the
// same names given by the user are written into (as above).
TEST(OutputFiles, APipeOrDeviceAtANameTheProgramMadeIsRefused) {
    clsgtest::ScratchDir dir;
    const std::string fifo = dir / "x-overlay.png", link = dir / "x-labels.png",
                      toFifo = dir / "x-legend.png", toStream = dir / "x-confidence.png";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // refused all the same
    ASSERT_GE(reader, 0);
    fs::create_symlink("/dev/null", link);
    fs::create_symlink(fifo, toFifo);
    const int stream = ::open((dir / "stream.txt").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(stream, 0);
    fs::create_symlink("/proc/self/fd/" + std::to_string(stream), toStream);
    const auto refused = [&](const std::string& name, const std::string& why) {
        const std::string message = "cannot write " + name + ": " + why + "; nothing was written";
        EXPECT_EQ(errorOf<FileError>([&] { OutputFiles().stage(name, FinalNameFrom::program); }),
                  message);
        EXPECT_EQ(errorOf<FileError>(
                      [&] { OutputFiles().writeStaged(name, "x", FinalNameFrom::program); }),
                  message);
        OutputFiles files;  // put there after staging: refused by the commit
        fs::rename(name, dir / "aside");
        clsgtest::writeBytes(files.stage(dir / "plain.png", FinalNameFrom::program), "plain");
        clsgtest::writeBytes(files.stage(name, FinalNameFrom::program), "new");
        fs::rename(dir / "aside", name);
        EXPECT_EQ(errorOf<FileError>([&] { files.commit(); }), message);
    };
    refused(fifo, "it is a pipe (FIFO), not a file");
    refused(toFifo, "it is a link to a pipe (FIFO), not a file");
    refused(link, "it is a link to a device, not a file");
    refused(toStream, "it is a link to one of this program's streams (as /dev/stdout), not a file");
    ::close(stream);
    char got[16];
    EXPECT_EQ(::read(reader, got, sizeof got), 0);  // no writer came
    ::close(reader);
    EXPECT_FALSE(fs::exists(dir / "plain.png"));
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(fifo)));
    EXPECT_EQ(fs::read_symlink(link), "/dev/null");
    EXPECT_EQ(clsgtest::slurp(dir / "stream.txt"), "");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 5);
}

TEST(QualityReport, StoredReportShownOnlyWhenItsNumbersAreSound) {
    clsg::SuggestReport report;
    report.trainParams = kvCompositeColorSegmenterTrainParams(0.04, 1);
    report.runParams = kvCompositeColorSegmenterRunParams(5, false);
    report.candidates.push_back(
        {report.trainParams, report.runParams, "coarse", 0.75, 0.75, 200.0});
    report.heldOut = clsg::LabelConfusion(2);
    for (const auto& [truth, label, count] : {std::tuple{0, 0, 30}, {1, 0, 10}, {1, 255, 10}})
        report.heldOut.add(truth, label, count);
    report.folds = 3, report.tileSize = 16;
    const std::vector<std::string> names = {"sky", "sea"};
    const nlohmann::json good = suggestReportJson(names, report);
    std::ostringstream shown, none;
    ASSERT_TRUE(printStoredReport(shown, names, good.dump()));
    const std::string text = shown.str();
    EXPECT_NE(text.find("accuracy 60.0 %, balanced accuracy 50.0 % over 50 pixels"), text.npos);
    nlohmann::json bad = good;  // not whole counts, or other labels: nothing is shown
    bad["heldOut"]["confusion"][1][2] = 1.5;
    EXPECT_FALSE(printStoredReport(none, names, bad.dump()));
    bad["heldOut"]["confusion"][1][2] = UINT64_MAX - 39;  // 40 more wrap the sums round
    EXPECT_FALSE(printStoredReport(none, names, bad.dump()));
    EXPECT_FALSE(printStoredReport(none, {"sky", "sea", "sand"}, good.dump()));
    EXPECT_EQ(none.str(), "");
    EXPECT_EQ(text.find("as judged"), text.npos);
    // A wide size chosen: its estimate is its lead's, and says so.
    report.candidates[0].score = 0.8, report.estimate = 0.75;
    report.candidates.push_back(report.candidates[0]);
    report.candidates[1].runParams = report.runParams =
        kvCompositeColorSegmenterRunParams(21, false);
    report.chosen = 1;
    std::ostringstream wide;
    ASSERT_TRUE(printStoredReport(wide, names, suggestReportJson(names, report).dump()));
    EXPECT_NE(wide.str().find("neighborhood 21\nestimate: balanced accuracy 75.0 % as judged at "
                              "neighbourhood 5\n"),
              std::string::npos)
        << wide.str();
}

// The estimate's line gives the factor it applies, so that its figures multiply out.
TEST(QualityReport, TheEstimateLineMultipliesOut) {
    clsg::SuggestReport report;
    report.trainParams = kvCompositeColorSegmenterTrainParams(0.04, 2);
    report.runParams = kvCompositeColorSegmenterRunParams(3, false);
    report.candidates.push_back({report.trainParams, report.runParams, "coarse", 0.8, 0.8, 200.0});
    report.candidates[0].pictureUnlabelled = 0.1;
    report.uncovered = 0.3, report.uncoveredFraction = 0.02;
    report.estimate = 0.8 * clsg::labelledFactor(report);
    EXPECT_DOUBLE_EQ(report.estimate, 0.8 * (0.9 - 0.02));
    report.heldOut = clsg::LabelConfusion(2);
    report.heldOut.add(0, 0, 4), report.heldOut.add(1, 1, 4);
    std::ostringstream text;
    printSuggestReport(text, {"sky", "sea"}, report);
    EXPECT_NE(text.str().find("estimate: balanced accuracy 70.4 % (held-out example pixels 80.0 %, "
                              "times 88.0 %: the share of the picture samples labelled, 90.0 %, "
                              "less a tenth of the 20.0 % it labels"),
              std::string::npos)
        << text.str();
}

TEST(QualityReport, ConfusionColumnsStayApartForLargeCounts) {
    clsg::LabelConfusion c(2);
    for (const auto& [truth, label, count] : {std::tuple{0, 0, 142977},
                                              {0, 1, 111451},
                                              {0, 255, 225572},
                                              {1, 0, 7},
                                              {1, 1, 1234567890}})
        c.add(truth, label, count);
    std::ostringstream out;
    printConfusion(out, {"a", "b"}, c);
    const std::string text = out.str();
    std::istringstream rows(text.substr(text.find("label given):\n") + 14));
    std::vector<std::vector<std::string>> table;
    for (std::string line; std::getline(rows, line);) {
        std::istringstream words(line);
        table.emplace_back(std::istream_iterator<std::string>(words),
                           std::istream_iterator<std::string>());
    }
    const std::vector<std::vector<std::string>> expected = {
        {"a", "b", "none"}, {"a", "142977", "111451", "225572"}, {"b", "7", "1234567890", "0"}};
    EXPECT_EQ(table, expected) << text;
    // The column of no label is named apart from every label.
    std::ostringstream named;
    printConfusion(named, {"(none)", "none"}, c);
    EXPECT_NE(named.str().find(" (none)        none    ((none))\n"), std::string::npos)
        << named.str();
    // A name short, or one too many: refused before anything is written, not read past the end.
    for (const std::vector<std::string>& names :
         {std::vector<std::string>{"a"}, std::vector<std::string>{"a", "b", "c"}}) {
        std::ostringstream none;
        using BadParams = kvCompositeColorSegmenterDefs::BadParams;
        EXPECT_THROW(printConfusion(none, names, c), BadParams);
        EXPECT_THROW(confusionJson(names, c), BadParams);
        clsg::SuggestReport report;
        report.heldOut = c;
        EXPECT_THROW(printSuggestReport(none, names, report), BadParams);
        EXPECT_THROW(suggestReportJson(names, report), BadParams);
        EXPECT_EQ(none.str(), "");
    }
    // 7 of 1235047897 pixels wrong: not 100.0 %.
    EXPECT_EQ(text.rfind("accuracy >99.9 %, balanced accuracy 64.9 %", 0), 0u) << text;
    // Shares never round to all or nothing unless they are.
    for (const auto& [share, shown] : {std::pair{0.0, "0.0"},
                                       {1e-9, "<0.1"},
                                       {0.0004999, "<0.1"},
                                       {0.0006, "0.1"},
                                       {0.123, "12.3"},
                                       {0.9994, "99.9"},
                                       {0.99951, ">99.9"},
                                       {1.0, "100.0"}})
        EXPECT_EQ(percentText(share), shown) << share;
}

// Frames a decoder dropped show as gaps in the frames' times.
TEST(VideoGaps, CountsTheFramesThatWouldFitAtTheNominalRate) {
    const double f = 1.0 / 30;
    const auto skipped = [&](std::vector<double> times) {
        return framesSkipped(times, std::vector<double>(times.size(), f));
    };
    std::vector<double> steady, gaps = {0, f, 2 * f, 6 * f, 7 * f, 8 * f, 10 * f, 11 * f};
    for (int i = 0; i < 30; ++i) steady.push_back(5 + i * f);  // starting anywhere
    EXPECT_EQ(skipped(steady), 0u);
    EXPECT_EQ(skipped(gaps), 3u + 1u);
    gaps.insert(gaps.begin() + 3, -1.0);  // a frame of unknown time is passed over
    EXPECT_EQ(skipped(gaps), 4u);
    EXPECT_EQ(skipped({0, 3 * f}), 0u);  // too few to tell
    // Times rounded to the millisecond are no gaps; over half the frames lost still count.
    EXPECT_EQ(skipped({0, 0.033, 0.067, 0.1, 0.133, 0.167}), 0u);
    EXPECT_EQ(skipped({0, 2 * f, 4 * f, 7 * f, 8 * f, 13 * f}), 1u + 1u + 2u + 4u);
    // A frame timed a millisecond after the one before, or twice at one time, loses none.
    EXPECT_EQ(skipped({0, f, 2 * f, 2 * f + 0.001, 4 * f, 5 * f}), 0u);
    EXPECT_EQ(skipped({0, f, f, 3 * f, 4 * f, 5 * f}), 0u);
    // Without a nominal rate nothing can be told; each stretch counts at its own rate.
    EXPECT_EQ(framesSkipped({0, 1, 5, 6}, {0, 0, 0, 0}), 0u);
    EXPECT_EQ(framesSkipped({0, f, 2 * f, 4 * f, 4 * f + 0.1, 4 * f + 0.4}, {f, f, f, f, 0.1, 0.1}),
              1u + 2u);
    // Frames lost before the first are those its packets hold before it; a video that
    // starts after its sound loses none, nor does one of unknown packets or rate.
    EXPECT_EQ(framesMissingAtStart({-1, 50 * f, 51 * f}, {f, f, f}, 0.0), 50u);
    EXPECT_EQ(framesMissingAtStart({0.5, 0.5 + f}, {f, f}, 0.5), 0u);
    EXPECT_EQ(framesMissingAtStart({0.5 + f, 0.5 + 2 * f}, {f, f}, 0.5), 1u);
    EXPECT_EQ(framesMissingAtStart({3 * f, 4 * f}, {f, f}, -1.0), 0u);
    EXPECT_EQ(framesMissingAtStart({5.0, 6.0}, {0, 0}, 0.0), 0u);
    // A file cut short still states its whole length: the frames that would follow.
    std::vector<double> times, steps;
    for (int i = 0; i < 40; ++i) times.push_back(i * f), steps.push_back(f);
    EXPECT_EQ(framesMissingAtEnd(times, steps, 40 * f, 0.05 * 40 * f), 0u);
    EXPECT_EQ(framesMissingAtEnd(times, steps, 41.4 * f, 0.05 * 41.4 * f),
              0u);  // a length a little off
    EXPECT_EQ(framesMissingAtEnd(times, steps, 100 * f, 0.05 * 100 * f), 60u);
    times.push_back(-1), steps.push_back(f);  // the last known time counts
    EXPECT_EQ(framesMissingAtEnd(times, steps, 100 * f, 0.05 * 100 * f), 60u);
    // In a long clip (80 s), a second lost is said, though under 5 % of its length.
    std::vector<double> longer;
    for (int i = 0; i < 2369; ++i) longer.push_back(i * f);
    const std::vector<double> rate(2371, f);
    EXPECT_EQ(endShortfall(80, false, -1), 1.0);
    EXPECT_EQ(framesMissingAtEnd(longer, rate, 2400 * f, 1.0), 31u);
    longer.push_back(2369 * f), longer.push_back(2370 * f);
    EXPECT_EQ(framesMissingAtEnd(longer, rate, 2400 * f, 1.0), 0u);
    EXPECT_EQ(endShortfall(10, false, -1), 0.5);
    // Beside sound the length may be the sound's: 5 % of it, and nothing where the file's
    // packets, the sound's too, reach it.
    EXPECT_EQ(endShortfall(80, true, -1), 4.0);
    EXPECT_EQ(endShortfall(80, true, 78.9), 4.0);
    EXPECT_EQ(endShortfall(80, true, 79.9), HUGE_VAL);
    // Nor where the file's packets still begin half a second past the video's end: the
    // video ended whole. A block of sound that ends later but began before it is no sign.
    EXPECT_EQ(endShortfall(80, true, 61.0, 59.0, 59.5), HUGE_VAL);
    EXPECT_EQ(endShortfall(80, true, 61.0, 59.0, 59.4), 4.0);
    EXPECT_DOUBLE_EQ(endShortfall(12, true, 7.0, 6.16, 6.0), 0.6);
    steps.assign(steps.size(), 0.0);  // no nominal rate: nothing to tell
    EXPECT_EQ(framesMissingAtEnd(times, steps, 100 * f, 0.05 * 100 * f), 0u);
    // Times that stand still (every frame at 0) tell nothing either; one time, or unknown
    // ones between times that advance, are not that.
    EXPECT_TRUE(timesStandStill({0, 0, -1, 0}));
    EXPECT_TRUE(timesStandStill({-1, 2, 1}));
    EXPECT_FALSE(timesStandStill({0}));
    EXPECT_FALSE(timesStandStill({-1, 0, -1, f}));
    EXPECT_FALSE(timesStandStill(times));
}

TEST(ShareColumns, ALabelNamedLikeAnotherColumnIsPrefixedUntilNoneIs) {
    EXPECT_EQ(shareColumns({"red", "green"}, {"frame", "time", "unlabelled"}),
              (std::vector<std::string>{"red", "green"}));
    // "share_a" is a later label's own name: "a" moves past it; "time" is taken.
    EXPECT_EQ(
        shareColumns({"a", "share_a", "time", "unlabelled"}, {"a", "time", "unlabelled"}),
        (std::vector<std::string>{"share_share_a", "share_a", "share_time", "share_unlabelled"}));
    EXPECT_TRUE(shareColumns({}, {"frame"}).empty());
}

// A share gives its pixel count back: a label of one pixel in three million is not 0.
TEST(ShareColumns, AShareHasTheDecimalsOfItsPixelCount) {
    EXPECT_EQ(shareField(0.25, 240000), "0.250000");
    EXPECT_EQ(shareField(1.0 / 999999, 999999), "0.000001");
    EXPECT_EQ(shareField(1.0 / 1000000, 1000000), "0.0000010");
    EXPECT_EQ(shareField(1.0 / 3e6, 3000000), "0.0000003");
    EXPECT_EQ(shareField(1.0 - 1.0 / 3e6, 3000000), "0.9999997");
}

TEST(DescribeError, OneLineAndOurWordsForSilentErrors) {
    EXPECT_EQ(describeError(std::bad_alloc()), "out of memory");
    using Defs = kvCompositeColorSegmenterDefs;
    EXPECT_EQ(describeError(Defs::BadParams("(!compositeColors[i].instances().size())")),
              "a label has no examples");
    EXPECT_EQ(describeError(Defs::BadParams("(frac > 0)")), "(frac > 0)");  // others as they are
    EXPECT_EQ(describeError(kvCompositeColorSegmenterDefs::NotTrained()),
              "the tool is not trained");
    EXPECT_EQ(describeError(std::runtime_error("two\nlines")), "two\\x0alines");
}

}  // namespace

TEST(FileErrors, WhatWasWrittenIsSaidOfTheMessageNotOfAFileName) {
    const std::string image = "; none of this image's outputs were written";
    EXPECT_EQ(saidOfWhatWasWritten("cannot write o/x: full; nothing was written", image),
              "cannot write o/x: full" + image);
    EXPECT_EQ(saidOfWhatWasWritten(
                  "cannot write o/x: full; nothing was written; the temporary file o/.t could not "
                  "be removed",
                  ""),
              "cannot write o/x: full; the temporary file o/.t could not be removed");
    const std::string named = "cannot write o/x; nothing was written-regions.csv: File too large";
    EXPECT_EQ(saidOfWhatWasWritten(named, image), named);
    EXPECT_EQ(saidOfWhatWasWritten("cannot write o/x; nothing was written: full; nothing was "
                                   "written",
                                   ""),
              "cannot write o/x; nothing was written: full");
}

TEST(ShownNames, BytesOfNoUtf8CharacterAreShownAsHexAndTheRestKept) {
    const std::string whole = "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa8 \xf4\x8f\xbf\xbf";
    EXPECT_EQ(withStrayBytesShown(whole), whole);
    const std::pair<std::string, std::string> stray[] = {
        {"caf\xe9.png", "caf\\xe9.png"},               // a Latin-1 name
        {"a\xc0\xaf", "a\\xc0\\xaf"},                  // an overlong '/'
        {"\xe0\x9f\xbf", "\\xe0\\x9f\\xbf"},           // an overlong three-byte form
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},           // a surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // past U+10FFFF
        {"\xf5\x80\x80\x80", "\\xf5\\x80\\x80\\x80"},
        {"x\xe2\x82", "x\\xe2\\x82"},  // cut at the end
        {"\xe2\x82x", "\\xe2\\x82x"},  // cut before another character
    };
    for (const auto& [text, shown] : stray) EXPECT_EQ(withStrayBytesShown(text), shown) << shown;
    // The diagnostic page, written in UTF-8, shows such a name so.
    EXPECT_EQ(diagNoteSection("caf\xe9 <1>.png", "a \"note\""),
              "<h2>caf\\xe9 &lt;1&gt;.png</h2>\n<p class=\"note\">a &quot;note&quot;</p>\n");
}
