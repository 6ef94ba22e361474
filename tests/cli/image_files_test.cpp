// The PNG and PPM/PGM reader and writer of the command-line tool: every PNG
// flavour is either decoded exactly or refused with a message naming the
// file and the reason.
#include <gtest/gtest.h>

#include <fstream>

#include "apps/image_io.h"
#include "png_fixture.h"

namespace {

using clsgtest::PngSpec;
using clsgtest::ScratchDir;

// Pels of a colour buffer as interleaved RGB, row by row.
std::vector<unsigned char> interleaved(const kv3PlanePelBuffer_const& b) {
    std::vector<unsigned char> out;
    for (long y = b.window().top(); y < b.window().bottom(); ++y)
        for (long x = 0; x < b.width(); ++x) {
            out.push_back(b.plane0().pointToRow(y)[x]);
            out.push_back(b.plane1().pointToRow(y)[x]);
            out.push_back(b.plane2().pointToRow(y)[x]);
        }
    return out;
}

std::vector<unsigned char> greyPels(const kvPelBuffer_const<unsigned char>& b) {
    std::vector<unsigned char> out;
    for (long y = b.window().top(); y < b.window().bottom(); ++y)
        out.insert(out.end(), b.pointToRow(y), b.pointToRow(y) + b.width());
    return out;
}

// A 7 x 5 RGB pattern with every channel different.
std::vector<unsigned char> pattern(unsigned w, unsigned h) {
    std::vector<unsigned char> rgb;
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
            rgb.push_back(static_cast<unsigned char>(x * 37 + y * 11));
            rgb.push_back(static_cast<unsigned char>(255 - x * 13 - y * 29));
            rgb.push_back(static_cast<unsigned char>((x * y * 7) ^ 0x5a));
        }
    return rgb;
}

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Expects reading path to fail with a message naming the file and holding
// every one of words.
template <class Read>
void expectRefused(Read read, const std::string& path, std::vector<std::string> words) {
    try {
        read(path);
        ADD_FAILURE() << path << " was read";
    } catch (const ImageError& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find(path), std::string::npos) << message;
        for (const std::string& w : words)
            EXPECT_NE(message.find(w), std::string::npos) << "'" << w << "' in: " << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
}

TEST(PngReader, ReadsRgbAndInterlacedRgbExactly) {
    ScratchDir dir;
    const auto rgb = pattern(7, 5);
    clsgtest::writeRgbPng(dir / "plain.png", 7, 5, rgb);
    PngSpec s;
    s.width = 7;
    s.height = 5;
    s.interlaced = true;
    for (unsigned y = 0; y < 5; ++y)
        s.rows.emplace_back(rgb.begin() + y * 21, rgb.begin() + y * 21 + 21);
    clsgtest::writePng(dir / "adam7.png", s);

    for (const char* name : {"plain.png", "adam7.png"}) {
        const kv3PlanePelBuffer image = readColorImage(dir / name);
        EXPECT_EQ(image.width(), 7);
        EXPECT_EQ(image.height(), 5);
        EXPECT_EQ(image.colorSpace(), kvColorSpaceRGB);
        EXPECT_EQ(interleaved(image), rgb) << name;
    }
}

TEST(PngReader, ConvertsGreyAndPaletteToRgbExactly) {
    ScratchDir dir;
    // 8-bit grey: every channel takes the grey value.
    std::vector<unsigned char> grey;
    for (int i = 0; i < 12; ++i) grey.push_back(static_cast<unsigned char>(i * 23));
    clsgtest::writeGreyPng(dir / "grey.png", 4, 3, grey);
    std::vector<unsigned char> expected;
    for (unsigned char g : grey) expected.insert(expected.end(), {g, g, g});
    EXPECT_EQ(interleaved(readColorImage(dir / "grey.png")), expected);
    EXPECT_EQ(greyPels(readGreyImage(dir / "grey.png")), grey);

    // 2-bit grey 0, 1, 2, 3 scales to 0, 85, 170, 255; four pels per byte.
    PngSpec g2;
    g2.width = 5;
    g2.height = 1;
    g2.colorType = PNG_COLOR_TYPE_GRAY;
    g2.bitDepth = 2;
    g2.rows = {{0x1b, 0xc0}};  // 00 01 10 11 | 11
    clsgtest::writePng(dir / "grey2.png", g2);
    EXPECT_EQ(greyPels(readGreyImage(dir / "grey2.png")),
              (std::vector<unsigned char>{0, 85, 170, 255, 255}));

    // 2-bit palette of four colours.
    PngSpec p;
    p.width = 5;
    p.height = 2;
    p.colorType = PNG_COLOR_TYPE_PALETTE;
    p.bitDepth = 2;
    p.palette = {{10, 20, 30}, {200, 100, 0}, {0, 255, 1}, {77, 66, 55}};
    p.rows = {{0x1b, 0x00}, {0xe4, 0x40}};  // 0 1 2 3 0 | 3 2 1 0 1
    clsgtest::writePng(dir / "palette.png", p);
    const std::vector<int> indices = {0, 1, 2, 3, 0, 3, 2, 1, 0, 1};
    expected.clear();
    for (int i : indices)
        expected.insert(expected.end(), {p.palette[i].red, p.palette[i].green, p.palette[i].blue});
    EXPECT_EQ(interleaved(readColorImage(dir / "palette.png")), expected);
}

TEST(PngReader, RefusesAlphaSixteenBitAndColourMasks) {
    ScratchDir dir;
    PngSpec rgba;
    rgba.width = 2;
    rgba.height = 1;
    rgba.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
    rgba.rows = {{1, 2, 3, 255, 4, 5, 6, 0}};
    clsgtest::writePng(dir / "rgba.png", rgba);

    PngSpec greyAlpha = rgba;
    greyAlpha.colorType = PNG_COLOR_TYPE_GRAY_ALPHA;
    greyAlpha.rows = {{1, 255, 2, 0}};
    clsgtest::writePng(dir / "ga.png", greyAlpha);

    PngSpec paletteTrns;
    paletteTrns.width = 2;
    paletteTrns.height = 1;
    paletteTrns.colorType = PNG_COLOR_TYPE_PALETTE;
    paletteTrns.palette = {{1, 2, 3}, {4, 5, 6}};
    paletteTrns.paletteAlpha = {255, 0};
    paletteTrns.rows = {{0, 1}};
    clsgtest::writePng(dir / "ptrns.png", paletteTrns);

    PngSpec greyTrns;
    greyTrns.width = 2;
    greyTrns.height = 1;
    greyTrns.colorType = PNG_COLOR_TYPE_GRAY;
    greyTrns.greyTransparent = true;
    greyTrns.rows = {{0, 255}};
    clsgtest::writePng(dir / "gtrns.png", greyTrns);

    PngSpec rgb16;
    rgb16.width = 1;
    rgb16.height = 1;
    rgb16.bitDepth = 16;
    rgb16.rows = {{1, 2, 3, 4, 5, 6}};
    clsgtest::writePng(dir / "rgb16.png", rgb16);

    PngSpec grey16 = rgb16;
    grey16.colorType = PNG_COLOR_TYPE_GRAY;
    grey16.rows = {{0xff, 0x00}};
    clsgtest::writePng(dir / "grey16.png", grey16);

    const auto colour = [](const std::string& p) { readColorImage(p); };
    const auto mask = [](const std::string& p) { readGreyImage(p); };
    for (const char* name : {"rgba.png", "ga.png", "ptrns.png", "gtrns.png"}) {
        expectRefused(colour, dir / name, {"alpha"});
        expectRefused(mask, dir / name, {"alpha"});
    }
    expectRefused(colour, dir / "rgb16.png", {"16-bit"});
    expectRefused(mask, dir / "grey16.png", {"16-bit"});

    clsgtest::writeRgbPng(dir / "rgb.png", 7, 5, pattern(7, 5));
    const std::string palette = dir / "palette.png";
    PngSpec p = paletteTrns;
    p.paletteAlpha.clear();
    clsgtest::writePng(palette, p);
    expectRefused(mask, dir / "rgb.png", {"greyscale", "colour"});
    expectRefused(mask, palette, {"greyscale", "palette"});
}

TEST(PngReader, RefusesBrokenFilesWithoutCrashing) {
    ScratchDir dir;
    clsgtest::writeRgbPng(dir / "good.png", 7, 5, pattern(7, 5));
    const std::vector<unsigned char> good = readFileBytes(dir / "good.png");
    const std::string whole(good.begin(), good.end());
    // Cut at every length inside the header and data; flip bytes in the data.
    for (std::size_t cut = 8; cut < whole.size(); cut += 7) {
        writeBytes(dir / "cut.png", whole.substr(0, cut));
        expectRefused([](const std::string& p) { readColorImage(p); }, dir / "cut.png", {});
    }
    std::string flipped = whole;
    flipped[whole.size() / 2] = static_cast<char>(flipped[whole.size() / 2] ^ 0x55);
    writeBytes(dir / "flipped.png", flipped);
    expectRefused([](const std::string& p) { readColorImage(p); }, dir / "flipped.png",
                  {"bad PNG"});

    writeBytes(dir / "empty.png", "");
    expectRefused([](const std::string& p) { readColorImage(p); }, dir / "empty.png", {"empty"});
    writeBytes(dir / "text.png", "hello, world");
    expectRefused([](const std::string& p) { readColorImage(p); }, dir / "text.png", {"not a PNG"});
    expectRefused([](const std::string& p) { readColorImage(p); }, dir / "missing.png",
                  {"cannot open", "No such file"});
    expectRefused([](const std::string& p) { readColorImage(p); }, dir.path().string(),
                  {"cannot read"});
}

TEST(PnmReader, ReadsBinaryPpmAndPgmAndRefusesOtherVariants) {
    ScratchDir dir;
    writeBytes(dir / "a.ppm", std::string("P6 # a comment\n2 1\n# another\n255\n") +
                                  std::string("\x01\x02\x03\xfd\xfe\xff", 6));
    EXPECT_EQ(interleaved(readColorImage(dir / "a.ppm")),
              (std::vector<unsigned char>{1, 2, 3, 253, 254, 255}));
    writeBytes(dir / "a.pgm", std::string("P5\n3 1\n255\n") + std::string("\x00\x80\xff", 3));
    EXPECT_EQ(greyPels(readGreyImage(dir / "a.pgm")), (std::vector<unsigned char>{0, 128, 255}));
    EXPECT_EQ(interleaved(readColorImage(dir / "a.pgm")),
              (std::vector<unsigned char>{0, 0, 0, 128, 128, 128, 255, 255, 255}));

    const auto colour = [](const std::string& p) { readColorImage(p); };
    writeBytes(dir / "wide.ppm", "P6\n1 1\n65535\n\x01\x02\x03\x04\x05\x06");
    expectRefused(colour, dir / "wide.ppm", {"16-bit"});
    writeBytes(dir / "small.ppm", "P6\n1 1\n15\n\x01\x02\x03");
    expectRefused(colour, dir / "small.ppm", {"maxval 15"});
    writeBytes(dir / "short.ppm", "P6\n2 2\n255\n\x01\x02\x03");
    expectRefused(colour, dir / "short.ppm", {"truncated"});
    writeBytes(dir / "ascii.ppm", "P3\n1 1\n255\n1 2 3\n");
    expectRefused(colour, dir / "ascii.ppm", {"ASCII"});
    writeBytes(dir / "zero.ppm", "P6\n0 4\n255\n");
    expectRefused(colour, dir / "zero.ppm", {"empty"});
    writeBytes(dir / "huge.ppm", "P6\n99999999999 4\n255\n");
    expectRefused(colour, dir / "huge.ppm", {"header"});
    expectRefused([](const std::string& p) { readGreyImage(p); }, dir / "a.ppm", {"greyscale"});
}

TEST(ImageWriter, WritesWhatAnIndependentReaderReadsBack) {
    ScratchDir dir;
    const auto rgb = pattern(7, 5);
    clsgtest::writeRgbPng(dir / "src.png", 7, 5, rgb);
    const kv3PlanePelBuffer image = readColorImage(dir / "src.png");

    writeColorImage(dir / "out.png", image, ImageFormat::Png);
    const clsgtest::Decoded d = clsgtest::readPng(dir / "out.png");
    EXPECT_EQ(d.width, 7u);
    EXPECT_EQ(d.height, 5u);
    EXPECT_EQ(d.channels, 3u);
    EXPECT_EQ(d.pels, rgb);

    // A grey buffer whose window starts away from (0, 0): the window's pels
    // are written, first row first.
    kvPelBuffer<unsigned char> grey(kvPelRect(-3, 4, 3, 2));
    unsigned char v = 1;
    for (long y = 4; y < 6; ++y)
        for (long x = -3; x < 0; ++x) *grey.pointToPel(x, y) = v++ * 40;
    writeGreyImage(dir / "grey.png", grey, ImageFormat::Png);
    const clsgtest::Decoded g = clsgtest::readPng(dir / "grey.png");
    EXPECT_EQ(g.channels, 1u);
    EXPECT_EQ(g.pels, (std::vector<unsigned char>{40, 80, 120, 160, 200, 240}));

    writeGreyImage(dir / "grey.pgm", grey, ImageFormat::Pnm);
    const std::vector<unsigned char> pgm = readFileBytes(dir / "grey.pgm");
    EXPECT_EQ(std::string(pgm.begin(), pgm.end()),
              std::string("P5\n3 2\n255\n") + std::string("\x28\x50\x78\xa0\xc8\xf0", 6));
    writeColorImage(dir / "out.ppm", image, ImageFormat::Pnm);
    EXPECT_EQ(interleaved(readColorImage(dir / "out.ppm")), rgb);

    EXPECT_EQ(formatForPath("x/y.PPM"), ImageFormat::Pnm);
    EXPECT_EQ(formatForPath("y.pgm"), ImageFormat::Pnm);
    EXPECT_EQ(formatForPath("y.png"), ImageFormat::Png);

    EXPECT_THROW(writeColorImage(dir / "no/such/dir.png", image, ImageFormat::Png), ImageError);
}

}  // namespace
