// The PNG and PPM/PGM reader and writer of the command-line tool: every PNG
// flavour is either decoded exactly or refused with a message naming the
// file and the reason.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>

#include "apps/image_io.h"
#include "image_fixtures.h"
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

Bytes planePels(const kvPelBuffer<unsigned char>& b) {
    Bytes out;
    for (long y = 0; y < b.height(); ++y)
        out.insert(out.end(), b.pointToRow(y), b.pointToRow(y) + b.width());
    return out;
}
Bytes greyPels(const std::string& path) { return planePels(readGreyImage(path)); }
Bytes maskPels(const std::string& path) { return planePels(readMaskImage(path)); }

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
    // Maxvals other than 255 scale by round(v * 255 / maxval); a comment may
    // follow the maxval.
    writeBytes(dir / "m15.pgm", "P5 3 1 15# four bits\n" + std::string("\x00\x07\x0f", 3));
    EXPECT_EQ(greyPels(dir / "m15.pgm"), (Bytes{0, 119, 255}));
    // Comment lines after the maxval's line, told from samples that start
    // with '#' by the file's length.
    writeBytes(dir / "c.pgm", "P5 2 1 255\n# a\n# b\n#\x05");
    EXPECT_EQ(greyPels(dir / "c.pgm"), (Bytes{'#', 5}));
    writeBytes(dir / "s.pgm", "P5 2 1 255\n#\x05# trailing");
    EXPECT_EQ(greyPels(dir / "s.pgm"), (Bytes{'#', 5}));
    writeBytes(dir / "m1000.pgm", std::string("P5 2 1 1000\n\x00\x02\x03\xe8", 16));
    EXPECT_EQ(greyPels(dir / "m1000.pgm"), (Bytes{1, 255}));

    // Opaque alpha is dropped: RGBA, grey + alpha, a palette whose tRNS is all 255.
    writePng(dir / "rgba.png", 2, 1, PNG_COLOR_TYPE_RGB_ALPHA, {{1, 2, 3, 255, 4, 5, 6, 255}});
    EXPECT_EQ(colourPels(dir / "rgba.png"), (Bytes{1, 2, 3, 4, 5, 6}));
    writePng(dir / "ga.png", 2, 1, PNG_COLOR_TYPE_GRAY_ALPHA, {{9, 255, 0, 255}});
    EXPECT_EQ(greyPels(dir / "ga.png"), (Bytes{9, 0}));
    writePng(dir / "ptrns.png", 2, 1, PNG_COLOR_TYPE_PALETTE, {{0, 1}}, 8, pal, {255, 255});
    EXPECT_EQ(colourPels(dir / "ptrns.png"), (Bytes{10, 20, 30, 200, 100, 0}));
}

// round(v * 255 / 65535), computed apart from the reader's integer form.
unsigned char to8(unsigned v) {
    return static_cast<unsigned char>(std::lround(v * 255.0 / 65535.0));
}

TEST(ImageReader, ScalesSixteenBitSamplesByTheStatedRule) {
    ScratchDir dir;
    // Values around the rounding edges of 8-bit steps.
    const std::vector<uint16_t> values = {0,      128,    129,   385,   386,
                                          0x7fff, 0x8080, 65407, 65408, 65535};
    Rows be(1);
    Bytes expected;
    for (uint16_t v : values) {
        for (int c = 0; c < 3; ++c) {
            const uint16_t w = static_cast<uint16_t>(v ^ (c * 0x0101));
            be[0].insert(be[0].end(),
                         {static_cast<unsigned char>(w >> 8), static_cast<unsigned char>(w)});
            expected.push_back(to8(w));
        }
    }
    writePng(dir / "rgb16.png", 10, 1, PNG_COLOR_TYPE_RGB, be, 16);
    EXPECT_EQ(colourPels(dir / "rgb16.png"), expected);

    // TIFF: every layout gives the same pels from the same samples.
    const unsigned w = 37, h = 21;  // partial tiles and strips at the edges
    const std::vector<TiffLayout> layouts = {
        {8, 3, false, false, false}, {8, 3, true, true, false},   {16, 3, true, false, false},
        {16, 3, false, true, false}, {16, 1, true, false, false}, {8, 1, false, false, true},
        {8, 4, false, true, false},  {16, 2, true, false, false}};
    for (const TiffLayout& l : layouts) {
        std::vector<uint16_t> samples;
        Bytes want;
        for (unsigned i = 0; i < w * h; ++i)
            for (int c = 0; c < l.channels; ++c) {
                const bool alpha = (l.channels == 2 && c == 1) || c == 3;
                const unsigned v =
                    alpha ? (l.bits == 16 ? 65535u : 255u)
                          : (i * 2654435761u >> (c * 5)) & (l.bits == 16 ? 65535u : 255u);
                samples.push_back(static_cast<uint16_t>(v));
                if (alpha) continue;
                unsigned char v8 = l.bits == 16 ? to8(v) : static_cast<unsigned char>(v);
                if (l.minIsWhite) v8 = static_cast<unsigned char>(255 - v8);
                want.insert(want.end(), l.channels < 3 ? 3 : 1, v8);
            }
        const std::string name =
            dir / ("t" + std::to_string(l.bits) + std::to_string(l.channels) +
                   std::to_string(l.tiled) + std::to_string(l.separate) + ".tif");
        writeTiff(name, w, h, l, samples);
        EXPECT_EQ(colourPels(name), want) << name;
    }
}

TEST(ImageReader, ReadsJpegAndBmp) {
    ScratchDir dir;
    const unsigned w = 40, h = 24;
    Bytes rgb, grey;
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {  // smooth, so quality 100 keeps it within a few levels
            rgb.insert(rgb.end(), {static_cast<unsigned char>(40 + 4 * x),
                                   static_cast<unsigned char>(200 - 5 * y), 90});
            grey.push_back(static_cast<unsigned char>(30 + 3 * x + 2 * y));
        }
    for (bool progressive : {false, true}) {
        writeJpeg(dir / "c.jpg", w, h, 3, rgb, progressive);
        writeJpeg(dir / "g.jpg", w, h, 1, grey, progressive);
        const Bytes c = colourPels(dir / "c.jpg"), g = colourPels(dir / "g.jpg");
        ASSERT_EQ(c.size(), rgb.size());
        ASSERT_EQ(g.size(), grey.size() * 3);
        for (std::size_t i = 0; i < c.size(); ++i) EXPECT_NEAR(c[i], rgb[i], 4) << i;
        for (std::size_t i = 0; i < g.size(); ++i) EXPECT_NEAR(g[i], grey[i / 3], 4) << i;
    }
    // 24-bit bottom-up BMP of 3 x 2 (rows padded to 12 bytes), and an 8-bit
    // top-down one with a two-colour palette.
    const auto header = [](int32_t width, int32_t height, uint16_t bits, uint32_t colours,
                           const std::string& pels) {
        std::string b(54 + 4 * colours, '\0');
        const auto put = [&b](std::size_t at, uint32_t v, int n) {
            for (int i = 0; i < n; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
        };
        b[0] = 'B', b[1] = 'M';
        put(10, static_cast<uint32_t>(b.size()), 4);
        put(14, 40, 4);
        put(18, static_cast<uint32_t>(width), 4);
        put(22, static_cast<uint32_t>(height), 4);
        put(26, 1, 2);
        put(28, bits, 2);
        put(46, colours, 4);
        for (uint32_t i = 0; i < colours; ++i) put(54 + 4 * i, i ? 0x00a0b0c0 : 0x00010203, 4);
        return b + pels;
    };
    writeBytes(dir / "a.bmp", header(3, 2, 24, 0,
                                     std::string("\x03\x02\x01\x06\x05\x04\x09\x08\x07\0\0\0"
                                                 "\x0c\x0b\x0a\x0f\x0e\x0d\x12\x11\x10\0\0\0",
                                                 24)));
    EXPECT_EQ(colourPels(dir / "a.bmp"),
              (Bytes{10, 11, 12, 13, 14, 15, 16, 17, 18, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    writeBytes(dir / "p.bmp", header(2, -1, 8, 2, std::string("\x01\x00\0\0", 4)));
    EXPECT_EQ(colourPels(dir / "p.bmp"), (Bytes{0xa0, 0xb0, 0xc0, 1, 2, 3}));
}

TEST(MaskReader, SelectsEveryNonBlackPixelOfAnyKind) {
    ScratchDir dir;
    writePlainPng(dir / "grey.png", 5, 1, {0, 1, 9, 200, 255});
    EXPECT_EQ(maskPels(dir / "grey.png"), (Bytes{0, 255, 255, 255, 255}));
    writePlainPng(dir / "rgb.png", 3, 1, {0, 0, 0, 0, 0, 1, 7, 0, 0});
    EXPECT_EQ(maskPels(dir / "rgb.png"), (Bytes{0, 255, 255}));
    const std::vector<png_color> pal = {{0, 0, 0}, {0, 3, 0}};
    writePng(dir / "pal.png", 3, 1, PNG_COLOR_TYPE_PALETTE, {{1, 0, 1}}, 8, pal);
    EXPECT_EQ(maskPels(dir / "pal.png"), (Bytes{255, 0, 255}));
    writeBytes(dir / "m.pgm", "P5 3 1 65535\n" + std::string("\x00\x00\x00\x01\xff\xff", 6));
    EXPECT_EQ(maskPels(dir / "m.pgm"), (Bytes{0, 255, 255}));
}

TEST(ImageReader, RefusesWithOneLineNamingTheFileAndTheReason) {
    ScratchDir dir;
    writePng(dir / "rgba.png", 2, 1, PNG_COLOR_TYPE_RGB_ALPHA, {{1, 2, 3, 255, 4, 5, 6, 0}});
    writePng(dir / "ga.png", 2, 1, PNG_COLOR_TYPE_GRAY_ALPHA, {{1, 255, 2, 0}});
    const std::vector<png_color> pal = {{1, 2, 3}, {4, 5, 6}};
    writePng(dir / "palette.png", 2, 1, PNG_COLOR_TYPE_PALETTE, {{0, 1}}, 8, pal);
    writePng(dir / "ptrns.png", 2, 1, PNG_COLOR_TYPE_PALETTE, {{0, 1}}, 8, pal, {255, 0});
    writePng(dir / "gtrns.png", 2, 1, PNG_COLOR_TYPE_GRAY, {{0, 255}}, 8, {}, {0});
    // Index 2 of a two-colour palette.
    writePng(dir / "beyond.png", 3, 1, PNG_COLOR_TYPE_PALETTE, {{0, 1, 2}}, 8, pal);
    // A 69-byte PNG declaring 16384 x 8192 grey pixels (under the pixel limit) and
    // holding none: fails as the rows do not arrive, without sizing the image.
    {
        std::string big = slurp(dir / "palette.png").substr(0, 33);  // signature, IHDR
        big.replace(16, 8, std::string("\0\0\x40\0\0\0\x20\0", 8));
        big[24] = 8, big[25] = 0;  // 8-bit grey
        const uLong crc = crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(&big[12]), 17);
        for (int i = 0; i < 4; ++i) big[29 + i] = static_cast<char>(crc >> (24 - 8 * i));
        writeBytes(dir / "declared.png",
                   big + std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12) + std::string(24, '\0'));
    }
    Bytes smooth(40 * 24 * 3, 128);
    writeJpeg(dir / "good.jpg", 40, 24, 3, smooth, true);
    std::vector<uint16_t> tiffSamples(37 * 21 * 3, 77);
    writeTiff(dir / "good.tif", 37, 21, TiffLayout{}, tiffSamples);
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
        {"rgb.png", true, "greyscale image (this one is colour)"},
        {"palette.png", true, "greyscale image (this one is colour)"},
        {"beyond.png", false, "beyond the palette"},
        {"declared.png", false, "bad PNG file"},
        {"/dev/zero", false, "not a PNG, JPEG, TIFF"},
        {"flipped.png", false, "bad PNG"},
        {"missing.png", false, "cannot open"},
        {"a-directory", false, "cannot read"},
        {"empty.png", false, "empty", ""},
        {"text.png", false, "not a PNG", "hello, world"},
        {"over.ppm", false, "exceeds the maxval 15", "P6\n1 1\n15\n\x01\x02\x10"},
        {"maxval0.ppm", false, "maxval 0", "P6\n1 1\n0\n\x01\x02\x03"},
        {"cmyk.jpg", false, "bad JPEG", "\xff\xd8\xff\xe0"},
        {"short.ppm", false, "truncated", "P6\n2 2\n255\n\x01\x02\x03"},
        {"ascii.ppm", false, "ASCII", "P3\n1 1\n255\n1 2 3\n"},
        {"zero.ppm", false, "empty", "P6\n0 4\n255\n"},
        {"huge.ppm", false, "header", "P6\n99999999999 4\n255\n"},
        {"colour.ppm", true, "greyscale", "P6\n1 1\n255\n\x01\x02\x03"},
    };
    for (const char* name : {"rgba.png", "ga.png", "ptrns.png", "gtrns.png"})
        for (bool mask : {false, true}) cases.push_back({name, mask, "alpha); flatten it"});
    // Cut at every seventh length inside the header and the data.
    for (const char* file : {"rgb.png", "good.jpg", "good.tif"}) {
        const std::string whole = slurp(dir / file);
        for (std::size_t cut = 8; cut < whole.size(); cut += 7) {
            const std::string name = "cut" + std::to_string(cut) + file;
            writeBytes(dir / name, whole.substr(0, cut));
            cases.push_back({name, false, ""});
        }
    }

    for (const Case& c : cases) {
        const std::string path = c.file[0] == '/' ? c.file : dir / c.file;
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
    // The pixel limit, and how to raise it.
    ReadLimits limits;
    limits.maxPixels = 34;
    EXPECT_NO_THROW(readColorImage(dir / "palette.png", limits));
    try {
        readColorImage(dir / "rgb.png", limits);  // 7 x 5
        ADD_FAILURE() << "read above the limit";
    } catch (const ImageError& e) {
        EXPECT_NE(std::string(e.what()).find("7 x 5 pixels; the limit is 34 pixels, raise it with "
                                             "--max-pixels"),
                  std::string::npos)
            << e.what();
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
