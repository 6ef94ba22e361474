// The PNG and PPM/PGM reader and writer of the command-line tool: every PNG
// flavour is either decoded exactly or refused with a message naming the
// file and the reason.
#include <gtest/gtest.h>

#include "apps/image_io.h"
#include "png_fixture.h"

namespace {

using namespace clsgtest;
using Bytes = std::vector<unsigned char>;

// The pels of an image file read as colour (interleaved RGB) or as a mask.
Bytes colourPels(const std::string& path) {
    const kv3PlanePelBuffer b = readColorImage(path);
    Bytes out;
    for (long y = 0; y < b.height(); ++y)
        for (long x = 0; x < b.width(); ++x)
            for (const auto* plane : {&b.plane0(), &b.plane1(), &b.plane2()})
                out.push_back(plane->pointToRow(y)[x]);
    return out;
}

Bytes greyPels(const std::string& path) {
    const kvPelBuffer<unsigned char> b = readGreyImage(path);
    Bytes out;
    for (long y = 0; y < b.height(); ++y)
        out.insert(out.end(), b.pointToRow(y), b.pointToRow(y) + b.width());
    return out;
}

// w x h RGB pels whose samples all differ.
Bytes pattern(unsigned w, unsigned h) {
    Bytes rgb(w * h * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<unsigned char>(i * 37 + 11);
    return rgb;
}

TEST(ImageReader, DecodesEveryAcceptedKindExactly) {
    ScratchDir dir;
    const Bytes rgb = pattern(7, 5);
    writePlainPng(dir / "plain.png", 7, 5, rgb);
    writePlainPng(dir / "adam7.png", 7, 5, rgb, true);
    for (const char* name : {"plain.png", "adam7.png"}) {
        const kv3PlanePelBuffer image = readColorImage(dir / name);
        EXPECT_EQ(image.window(), kvPelRect(0, 0, 7, 5));
        EXPECT_EQ(image.colorSpace(), kvColorSpaceRGB);
        EXPECT_EQ(colourPels(dir / name), rgb) << name;
    }

    // 8-bit grey: every channel takes the grey value.
    Bytes grey, greyRgb;
    for (int i = 0; i < 12; ++i) {
        grey.push_back(static_cast<unsigned char>(i * 23));
        greyRgb.insert(greyRgb.end(), 3, grey.back());
    }
    writePlainPng(dir / "grey.png", 4, 3, grey);
    EXPECT_EQ(colourPels(dir / "grey.png"), greyRgb);
    EXPECT_EQ(greyPels(dir / "grey.png"), grey);
    // 2-bit grey 0, 1, 2, 3 scales to 0, 85, 170, 255; four pels per byte.
    writePng(dir / "grey2.png", 5, 1, PNG_COLOR_TYPE_GRAY, {{0x1b, 0xc0}}, 2);
    EXPECT_EQ(greyPels(dir / "grey2.png"), (Bytes{0, 85, 170, 255, 255}));
    // A 2-bit palette of four colours; indices 0 1 2 3 0 | 3 2 1 0 1.
    const std::vector<png_color> pal = {{10, 20, 30}, {200, 100, 0}, {0, 255, 1}, {77, 66, 55}};
    writePng(dir / "palette.png", 5, 2, PNG_COLOR_TYPE_PALETTE, {{0x1b, 0x00}, {0xe4, 0x40}}, 2,
             pal);
    Bytes fromPalette;
    for (int i : {0, 1, 2, 3, 0, 3, 2, 1, 0, 1})
        fromPalette.insert(fromPalette.end(), {pal[i].red, pal[i].green, pal[i].blue});
    EXPECT_EQ(colourPels(dir / "palette.png"), fromPalette);

    writeBytes(dir / "a.ppm", "P6 # a comment\n2 1\n# another\n255\n\x01\x02\x03\xfd\xfe\xff");
    EXPECT_EQ(colourPels(dir / "a.ppm"), (Bytes{1, 2, 3, 253, 254, 255}));
    writeBytes(dir / "a.pgm", std::string("P5\n3 1\n255\n\x00\x80\xff", 14));
    EXPECT_EQ(greyPels(dir / "a.pgm"), (Bytes{0, 128, 255}));
    EXPECT_EQ(colourPels(dir / "a.pgm"), (Bytes{0, 0, 0, 128, 128, 128, 255, 255, 255}));
}

TEST(ImageReader, RefusesWithOneLineNamingTheFileAndTheReason) {
    ScratchDir dir;
    writePng(dir / "rgba.png", 2, 1, PNG_COLOR_TYPE_RGB_ALPHA, {{1, 2, 3, 255, 4, 5, 6, 0}});
    writePng(dir / "ga.png", 2, 1, PNG_COLOR_TYPE_GRAY_ALPHA, {{1, 255, 2, 0}});
    const std::vector<png_color> pal = {{1, 2, 3}, {4, 5, 6}};
    writePng(dir / "palette.png", 2, 1, PNG_COLOR_TYPE_PALETTE, {{0, 1}}, 8, pal);
    writePng(dir / "ptrns.png", 2, 1, PNG_COLOR_TYPE_PALETTE, {{0, 1}}, 8, pal, {255, 0});
    writePng(dir / "gtrns.png", 2, 1, PNG_COLOR_TYPE_GRAY, {{0, 255}}, 8, {}, {0});
    writePng(dir / "rgb16.png", 1, 1, PNG_COLOR_TYPE_RGB, {{1, 2, 3, 4, 5, 6}}, 16);
    writePng(dir / "grey16.png", 1, 1, PNG_COLOR_TYPE_GRAY, {{0xff, 0x00}}, 16);
    writePlainPng(dir / "rgb.png", 7, 5, pattern(7, 5));
    std::filesystem::create_directory(dir / "a-directory");
    const std::string good = slurp(dir / "rgb.png");
    std::string flipped = good;
    flipped[good.size() / 2] = static_cast<char>(flipped[good.size() / 2] ^ 0x55);
    writeBytes(dir / "flipped.png", flipped);

    struct Case {
        std::string file;
        bool mask;
        std::string word;
        const char* bytes = nullptr;  // the file's contents, unless made above
    };
    std::vector<Case> cases = {
        {"rgb16.png", false, "16-bit"},
        {"grey16.png", true, "16-bit"},
        {"rgb.png", true, "greyscale image (this PNG is colour)"},
        {"palette.png", true, "greyscale image (this PNG is palette)"},
        {"flipped.png", false, "bad PNG"},
        {"missing.png", false, "cannot open"},
        {"a-directory", false, "cannot read"},
        {"empty.png", false, "empty", ""},
        {"text.png", false, "not a PNG", "hello, world"},
        {"wide.ppm", false, "16-bit", "P6\n1 1\n65535\n\x01\x02\x03\x04\x05\x06"},
        {"small.ppm", false, "maxval 15", "P6\n1 1\n15\n\x01\x02\x03"},
        {"short.ppm", false, "truncated", "P6\n2 2\n255\n\x01\x02\x03"},
        {"ascii.ppm", false, "ASCII", "P3\n1 1\n255\n1 2 3\n"},
        {"zero.ppm", false, "empty", "P6\n0 4\n255\n"},
        {"huge.ppm", false, "header", "P6\n99999999999 4\n255\n"},
        {"colour.ppm", true, "greyscale", "P6\n1 1\n255\n\x01\x02\x03"},
    };
    for (const char* name : {"rgba.png", "ga.png", "ptrns.png", "gtrns.png"})
        for (bool mask : {false, true}) cases.push_back({name, mask, "alpha"});
    // Cut at every seventh length inside the header and the data.
    for (std::size_t cut = 8; cut < good.size(); cut += 7) {
        const std::string name = "cut" + std::to_string(cut) + ".png";
        writeBytes(dir / name, good.substr(0, cut));
        cases.push_back({name, false, ""});
    }

    for (const Case& c : cases) {
        const std::string path = dir / c.file;
        if (c.bytes) writeBytes(path, c.bytes);
        try {
            c.mask ? (void)readGreyImage(path) : (void)readColorImage(path);
            ADD_FAILURE() << path << " was read";
        } catch (const ImageError& e) {
            const std::string message = e.what();
            EXPECT_NE(message.find(path), std::string::npos) << message;
            EXPECT_EQ(message.find('\n'), std::string::npos) << message;
            EXPECT_NE(message.find(c.word), std::string::npos) << c.word << " in: " << message;
        }
    }
}

TEST(ImageWriter, WritesWhatAnIndependentReaderReadsBack) {
    ScratchDir dir;
    const Bytes rgb = pattern(7, 5);
    writePlainPng(dir / "src.png", 7, 5, rgb);
    const kv3PlanePelBuffer image = readColorImage(dir / "src.png");
    writeColorImage(dir / "out.png", image, ImageFormat::Png);
    const Decoded d = readPng(dir / "out.png");
    EXPECT_EQ((std::vector<unsigned>{d.width, d.height, d.channels}),
              (std::vector<unsigned>{7, 5, 3}));
    EXPECT_EQ(d.pels, rgb);
    writeColorImage(dir / "out.ppm", image, ImageFormat::Pnm);
    EXPECT_EQ(slurp(dir / "out.ppm"), "P6\n7 5\n255\n" + std::string(rgb.begin(), rgb.end()));

    // A grey buffer whose window starts away from (0, 0): the window's pels
    // are written, first row first.
    kvPelBuffer<unsigned char> grey(kvPelRect(-3, 4, 3, 2));
    unsigned char v = 1;
    for (long y = 4; y < 6; ++y)
        for (long x = -3; x < 0; ++x) *grey.pointToPel(x, y) = v++ * 40;
    writeGreyImage(dir / "grey.png", grey, ImageFormat::Png);
    const Decoded g = readPng(dir / "grey.png");
    EXPECT_EQ(g.channels, 1u);
    EXPECT_EQ(g.pels, (Bytes{40, 80, 120, 160, 200, 240}));
    writeGreyImage(dir / "grey.pgm", grey, ImageFormat::Pnm);
    EXPECT_EQ(slurp(dir / "grey.pgm"), "P5\n3 2\n255\n\x28\x50\x78\xa0\xc8\xf0");

    EXPECT_EQ(formatForPath("x/y.PPM"), ImageFormat::Pnm);
    EXPECT_EQ(formatForPath("y.pgm"), ImageFormat::Pnm);
    EXPECT_EQ(formatForPath("y.png"), ImageFormat::Png);
    EXPECT_THROW(writeColorImage(dir / "no/such/dir.png", image, ImageFormat::Png), ImageError);
}

}  // namespace
