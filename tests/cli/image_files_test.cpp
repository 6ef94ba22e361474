// Image reading and writing: every accepted kind decoded exactly, anything else refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include "clsg/io/image_io.h"
#include "clsg/io/tool_file.h"
#include "clsg/platform/attention.h"
#include "clsg/platform/exception.h"
#include "hostile_files.h"
#include "image_fixtures.h"
#include "png_fixture.h"

using namespace clsg;

namespace {

using namespace clsgtest;

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
// A BMP: 40-byte info header, `colours` palette entries 0x010203 then 0xa0b0c0.
std::string bmp(int32_t w, int32_t h, uint32_t bits, uint32_t colours, std::string pels) {
    std::string b = "BM" + std::string(52 + 4 * colours, '\0');
    const uint32_t at[] = {10, 14, 18, 22, 26, 46, 54, 58};  // offsets of the words below
    const uint32_t v[] = {54 + 4 * colours, 40,      uint32_t(w), uint32_t(h),
                          1 | bits << 16,   colours, 0x010203,    0xa0b0c0};
    for (int k = 0; k < 8; ++k)
        for (uint32_t i = 0; i < 4 && at[k] < b.size(); ++i)
            b[at[k] + i] = static_cast<char>(v[k] >> (8 * i));
    return b + pels;
}

// A 1 x 1, 32-bit BMP with bit fields: `header` bytes of info header (40, or 108
// for V4, which holds an alpha mask), the red, green, blue and alpha masks, then
// the pixel's four bytes.
std::string bmpFields(uint32_t header, const std::array<uint32_t, 4>& masks, std::string pel) {
    std::string b = "BM" + std::string(12 + std::max<uint32_t>(header, 56), '\0');
    const uint32_t at[] = {10, 14, 18, 22, 26, 30, 54, 58, 62, 66};
    const uint32_t v[] = {uint32_t(b.size()), header,   1,        1,       1 | 32 << 16, 3,
                          masks[0],           masks[1], masks[2], masks[3]};
    for (int k = 0; k < 10; ++k)
        for (uint32_t i = 0; i < 4; ++i) b[at[k] + i] = static_cast<char>(v[k] >> (8 * i));
    return b + pel;
}

TEST(ImageReader, DecodesEveryAcceptedKindExactlyAndRefusesTheRestInOneLine) {
    ScratchDir dir;
    Bytes ninth;  // eight pixels of the first colour, one of the second
    for (int x = 0; x < 8; ++x) ninth.insert(ninth.end(), {1, 2, 3});
    ninth.insert(ninth.end(), {0xa0, 0xb0, 0xc0});
    Bytes rgb(7 * 5 * 3);  // samples that all differ
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<unsigned char>(i * 37 + 11);
    writePlainPng(dir / "plain.png", 7, 5, rgb);
    writePlainPng(dir / "adam7.png", 7, 5, rgb, true);
    writePlainPng(dir / "grey.png", 3, 1, {0, 99, 255});
    const std::vector<png_color> pal = {{10, 20, 30}, {200, 100, 0}, {0, 255, 1}, {77, 66, 55}};
    writePng(dir / "pal2.png", 5, 1, PNG_COLOR_TYPE_PALETTE, {0xe4, 0x40}, 2, pal);  // 3 2 1 0 1
    writePng(dir / "rgba.png", 2, 1, PNG_COLOR_TYPE_RGB_ALPHA, {1, 2, 3, 255, 4, 5, 6, 255});
    writePng(dir / "ga.png", 2, 1, PNG_COLOR_TYPE_GRAY_ALPHA, {9, 255, 0, 255});
    // tRNS shorter than the palette (valid): colours past it are opaque.
    writePng(dir / "ptrns.png", 3, 1, PNG_COLOR_TYPE_PALETTE, {0, 1, 3}, 8, pal, {255, 255});
    struct Case {  // bytes: the contents unless written above; grey: also read as grey
        std::string file, bytes;
        Bytes want;
        bool grey = false;
    };
    const std::vector<Case> cases = {
        {"plain.png", "", rgb},
        {"adam7.png", "", rgb},
        {"grey.png", "", {0, 99, 255}, true},
        {"pal2.png", "", {77, 66, 55, 0, 255, 1, 200, 100, 0, 10, 20, 30, 200, 100, 0}},
        {"rgba.png", "", {1, 2, 3, 4, 5, 6}, false},  // opaque alpha is dropped
        {"ga.png", "", {9, 0}, true},
        {"ptrns.png", "", {10, 20, 30, 200, 100, 0, 77, 66, 55}},
        {"a.ppm", "P6 # a\n1 1\n# b\n255\n\xfd\x02\x03", {253, 2, 3}},
        {"a.pgm", std::string("P5\n3 1\n255\n\x00\x80\xff", 14), {0, 128, 255}, true},
        {"m15.pgm", "P5 3 1 15# four bits\n" + std::string("\x00\x07\x0f", 3), {0, 119, 255}, true},
        {"m1000.pgm", std::string("P5 2 1 1000\n\x00\x02\x03\xe8", 16), {1, 255}, true},
        {"c.pgm", "P5 2 1 255\n# a\n# b\n#\x05", {'#', 5}, true},
        {"a.bmp",
         bmp(1, 2, 24, 0, std::string("\x03\x02\x01\0\x06\x05\x04\0", 8)),
         {4, 5, 6, 1, 2, 3}},
        {"p.bmp", bmp(2, -1, 8, 2, std::string("\x01\x00\0\0", 4)), {0xa0, 0xb0, 0xc0, 1, 2, 3}},
        // 1 and 4 bits a pixel, from the top bit: the ninth pixel in the second byte.
        {"p1.bmp", bmp(9, -1, 1, 2, std::string("\x00\x80\0\0", 4)), ninth},
        {"p4.bmp",
         bmp(3, -1, 4, 2, std::string("\x01\x10\0\0", 4)),
         {1, 2, 3, 0xa0, 0xb0, 0xc0, 0xa0, 0xb0, 0xc0}},
        // Bit fields: as image editors write them (V4, opaque alpha), and red first.
        {"v4.bmp",
         bmpFields(108, {0xff0000, 0xff00, 0xff, 0xff000000u}, "\x03\x02\x01\xff"),
         {1, 2, 3}},
        {"rgbx.bmp",
         bmpFields(40, {0xff, 0xff00, 0xff0000, 0}, std::string("\x07\x08\x09\x00", 4)),
         {7, 8, 9}},
    };
    for (const Case& c : cases) {
        if (!c.bytes.empty()) writeBytes(dir / c.file, c.bytes);
        Bytes colour;
        for (unsigned char v : c.want) colour.insert(colour.end(), c.grey ? 3 : 1, v);
        EXPECT_EQ(colourPels(dir / c.file), colour) << c.file;
        EXPECT_TRUE(!c.grey || planePels(readGreyImage(dir / c.file)) == c.want) << c.file;
    }
    writePlainPng(dir / "m.png", 3, 1, {0, 0, 0, 0, 0, 1, 7, 0, 0});  // masks: any non-black pel
    writePng(dir / "pal.png", 3, 1, PNG_COLOR_TYPE_PALETTE, {1, 0, 1}, 8, {{0, 0, 0}, {0, 3, 0}});
    writeBytes(dir / "m.pgm", "P5 3 1 65535\n" + std::string("\x00\x00\x00\x01\xff\xff", 6));
    for (const char* file : {"grey.png", "m.png", "pal.png", "m.pgm"})
        EXPECT_EQ(planePels(readMaskImage(dir / file)),
                  (file[1] == 'a' ? Bytes{255, 0, 255} : Bytes{0, 255, 255}))
            << file;
    kvPelBuffer<unsigned char> grey(kvPelRect(-3, 4, 3, 2));  // written from its window's corner
    for (long i = 0; i < 6; ++i)
        grey.pointToRow(4 + i / 3)[i % 3] = static_cast<unsigned char>(40 + 40 * i);
    writeGreyImage(dir / "w.png", grey, ImageFormat::Png);
    const kvPelBuffer<unsigned char> back = readGreyImage(dir / "w.png");
    EXPECT_TRUE(back.width() == 3 && planePels(back) == (Bytes{40, 80, 120, 160, 200, 240}));
    // A line scan more than a million pixels long is written as it is read.
    kvPelBuffer<unsigned char> line(kvPelRect(0, 0, 1, 1000001));
    for (long y = 0; y < line.height(); ++y) *line.pointToRow(y) = static_cast<unsigned char>(y);
    writeGreyImage(dir / "line.png", line, ImageFormat::Png);
    EXPECT_EQ(planePels(readGreyImage(dir / "line.png")), planePels(line));
    // An empty image is refused before the file is opened: what was there stays.
    for (const ImageFormat format : {ImageFormat::Png, ImageFormat::Pnm}) {
        EXPECT_THROW(writeGreyImage(dir / "w.png", kvPelBuffer<unsigned char>(), format),
                     ImageError);
        EXPECT_THROW(writeColorImage(dir / "w.png", kv3PlanePelBuffer(), format), ImageError);
    }
    EXPECT_EQ(planePels(readGreyImage(dir / "w.png")), planePels(back));
    // A link at the name is never written through, and the message says it is a link.
    std::filesystem::create_symlink(dir / "w.png", dir / "link.png");
    try {
        writeGreyImage(dir / "link.png", grey, ImageFormat::Png);
        ADD_FAILURE() << "written through a link";
    } catch (const ImageError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "cannot write " + (dir / "link.png") +
                      ": it is a symbolic link, which is never written through: write to the "
                      "file it names, or remove the link");
    }
    EXPECT_EQ(planePels(readGreyImage(dir / "w.png")), planePels(back));
    EXPECT_EQ(writeFailure(dir / "w.png", ELOOP), std::strerror(ELOOP));  // no link: as it was

    // Refusals: one line naming the file and the reason.
    writePng(dir / "rgba0.png", 2, 1, PNG_COLOR_TYPE_RGB_ALPHA, {1, 2, 3, 255, 4, 5, 6, 0});
    writePng(dir / "ptrns0.png", 2, 1, PNG_COLOR_TYPE_PALETTE, {0, 1}, 8, pal, {255, 0});
    writePng(dir / "beyond.png", 3, 1, PNG_COLOR_TYPE_PALETTE, {0, 1, 4}, 8, pal);
    // A 69-byte PNG declaring 16384 x 8192 grey pixels and holding none: refused without sizing it.
    std::string big = slurp(dir / "plain.png").substr(0, 33);  // signature, IHDR
    big.replace(16, 8, std::string("\0\0\x40\0\0\0\x20\0", 8));
    big[24] = 8, big[25] = 0;
    const uLong crc = crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(&big[12]), 17);
    for (int i = 0; i < 4; ++i) big[29 + i] = static_cast<char>(crc >> (24 - 8 * i));
    writeBytes(dir / "declared.png",
               big + std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12) + std::string(24, '\0'));
    Bytes solid;  // progressive JPEG at quality 100: back within 2 levels
    for (int i = 0; i < 40 * 24; ++i) solid.insert(solid.end(), {200, 100, 50});
    writeJpeg(dir / "good.jpg", 40, 24, solid);
    const Bytes jpeg = colourPels(dir / "good.jpg");
    for (std::size_t i = 0; i < solid.size(); ++i) ASSERT_NEAR(jpeg.at(i), solid[i], 2) << i;
    writeTiff(dir / "good.tif", 37, 21, TiffLayout{}, std::vector<uint16_t>(37 * 21 * 3, 77));
    struct Bad {
        std::string file;
        bool mask;
        std::string word;
        const char* bytes = nullptr;  // the file's contents, unless made above
    };
    std::vector<Bad> bad = {
        {"plain.png", true, "greyscale image (this one is colour)"},
        {"beyond.png", false, "beyond the palette"},
        {"declared.png", false, "bad PNG file"},
        {"/dev/zero", false, "not a PNG, JPEG, TIFF"},
        {"empty.png", false, "empty", ""},
        {"over.ppm", false, "exceeds the maxval 15", "P6\n1 1\n15\n\x01\x02\x10"},
        {"short.ppm", false, "truncated", "P6\n2 2\n255\n\x01\x02\x03"},
        {"ascii.ppm", false, "ASCII", "P3\n1 1\n255\n1 2 3\n"},
        {"huge.ppm", false, "header", "P6\n99999999999 4\n255\n"},
    };
    writeBytes(dir / "clear.bmp", bmpFields(108, {0xff0000, 0xff00, 0xff, 0xff000000u},
                                            std::string("\x03\x02\x01\x00", 4)));
    writeBytes(dir / "nibble.bmp", bmpFields(40, {0xf00, 0xf0, 0xf, 0}, "\x01\x02\x03\x04"));
    writeBytes(dir / "far.bmp", bmp(1, -1, 4, 2, std::string("\x20\0\0\0", 4)));  // colour 2 of 2
    bad.push_back({"far.bmp", false, "beyond the palette"});
    std::string os2 = bmp(1, 1, 24, 0, std::string("\x03\x02\x01\0", 4));
    os2[14] = 12;  // the old header's size
    writeBytes(dir / "os2.bmp", os2);
    bad.push_back({"os2.bmp", false, "the old 12-byte (OS/2) header is not supported"});
    std::string inside = bmp(1, 1, 24, 0, std::string("\x40\x40\x40\0", 4));
    inside[10] = 2;  // the pixels at byte 2: "BM" and the file's size would be read
    writeBytes(dir / "inside.bmp", inside);
    bad.push_back({"inside.bmp", false, "bad BMP file: its pixels would start inside its header"});
    TiffLayout sign;
    sign.format = SAMPLEFORMAT_INT;
    writeTiff(dir / "signed.tif", 2, 2, sign, std::vector<uint16_t>(12, 7));
    bad.push_back({"signed.tif", false, "TIFF with 8-bit signed samples is not supported"});
    bad.push_back({"clear.bmp", false, "alpha); flatten it"});
    bad.push_back({"nibble.bmp", false, "bit fields of whole bytes"});
    for (const char* name : {"rgba0.png", "ptrns0.png"})
        for (bool mask : {false, true}) bad.push_back({name, mask, "alpha); flatten it"});
    for (const char* file : {"plain.png", "good.jpg", "good.tif"}) {  // cut inside header and data
        const std::string whole = slurp(dir / file);
        for (std::size_t cut = 8; cut < whole.size(); cut += 7) {
            const std::string name = "cut" + std::to_string(cut) + file;
            writeBytes(dir / name, whole.substr(0, cut));
            bad.push_back({name, false, ""});
        }
    }
    ReadLimits limits;
    limits.maxPixels = 34;
    limits.raise = "raise it with --max-pixels";
    EXPECT_NO_THROW(readColorImage(dir / "pal2.png", limits));
    bad.push_back(
        {"plain.png", false, "7 x 5 pixels; the limit is 34 pixels, raise it with --max-pixels"});
    for (const Bad& c : bad) {
        const std::string path = c.file[0] == '/' ? c.file : dir / c.file;
        if (c.bytes) writeBytes(path, c.bytes);
        const ReadLimits chosen = c.word.find("limit") != std::string::npos ? limits : ReadLimits{};
        const std::string message = errorOf<ImageError>(
            [&] { c.mask ? (void)readGreyImage(path) : (void)readColorImage(path, chosen); });
        EXPECT_NE(message.find(path), std::string::npos) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        EXPECT_NE(message.find(c.word), std::string::npos) << c.word << " in: " << message;
    }
}

unsigned char to8(unsigned v) { return static_cast<unsigned char>(std::lround(v * 255.0 / 65535)); }

TEST(ImageReader, ScalesSixteenBitSamplesByTheStatedRule) {
    ScratchDir dir;
    Bytes be, expected;  // rounding edges, in each channel
    for (unsigned v : {0, 128, 129, 385, 386, 0x7fff, 0x8080, 65407, 65408, 65535})
        for (unsigned w : {v, v ^ 0x0101, v ^ 0x0202}) {
            be.push_back(static_cast<unsigned char>(w >> 8)), be.push_back(w & 0xff);
            expected.push_back(to8(w));
        }
    writePng(dir / "rgb16.png", 10, 1, PNG_COLOR_TYPE_RGB, be, 16);
    EXPECT_EQ(colourPels(dir / "rgb16.png"), expected);
    // TIFF: every layout gives the same pels; 37 x 21 leaves partial tiles and strips. A
    // fourth or second sample of unspecified meaning is no alpha, and dropped.
    const unsigned w = 37, h = 21;
    for (const TiffLayout& l :
         {TiffLayout{8, 3, true, true}, TiffLayout{16, 1, true},
          TiffLayout{8, 1, false, false, true}, TiffLayout{8, 4, false, true},
          TiffLayout{16, 2, true}, TiffLayout{8, 4, true, false, false, false, 3, 0},
          TiffLayout{16, 2, false, true, false, false, 3, 0}}) {
        std::vector<uint16_t> samples;
        Bytes want;
        const unsigned top = l.bits == 16 ? 65535u : 255u;
        for (unsigned i = 0; i < w * h; ++i)
            for (int c = 0; c < l.channels; ++c) {
                const bool alpha = (l.channels == 2 && c == 1) || c == 3;
                const unsigned v = !alpha ? (i * 2654435761u >> (c * 5)) & top
                                   : l.extra == EXTRASAMPLE_UNSPECIFIED ? i % 7
                                                                        : top;
                samples.push_back(static_cast<uint16_t>(v));
                unsigned char v8 = l.bits == 16 ? to8(v) : static_cast<unsigned char>(v);
                if (l.minIsWhite) v8 = static_cast<unsigned char>(255 - v8);
                if (!alpha) want.insert(want.end(), l.channels < 3 ? 3 : 1, v8);
            }
        const std::string name = dir / ("t" + std::to_string(l.bits * 10 + l.channels) + "-" +
                                        std::to_string(l.extra) + ".tif");
        writeTiff(name, w, h, l, samples);
        EXPECT_EQ(colourPels(name), want) << name;
    }
    // A narrow picture in the common tiles of 256: padding 25 times its size, which a tile
    // that size anywhere would hold (it was refused as a bad file).
    TiffLayout narrow;
    narrow.tiled = true, narrow.tileSide = 256;
    std::vector<uint16_t> column(10 * 3000 * 3);
    for (std::size_t i = 0; i < column.size(); ++i) column[i] = (i * 2654435761u >> 7) & 255;
    writeTiff(dir / "narrow.tif", 10, 3000, narrow, column);
    EXPECT_EQ(colourPels(dir / "narrow.tif"), Bytes(column.begin(), column.end()));
    // One uncompressed strip of 30000 bytes, which the TIFF library hands out in
    // strips of 27 rows, the last of them short.
    TiffLayout one;
    one.raw = true, one.stripRows = 100;
    std::vector<uint16_t> samples(100 * 100 * 3);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = (i * 2654435761u >> 9) & 255;
    writeTiff(dir / "one-strip.tif", 100, 100, one, samples);
    EXPECT_EQ(colourPels(dir / "one-strip.tif"), Bytes(samples.begin(), samples.end()));
    // JPEG-compressed YCbCr, as scanners write it: the JPEG decoder's RGB, as the TIFF
    // library's own RGBA reader gives it.
    {
        TIFF* t = TIFFOpen((dir / "ycbcr.tif").c_str(), "w");
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 100), TIFFSetField(t, TIFFTAG_IMAGELENGTH, 100);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8), TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
        TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16);
        for (uint32_t y = 0; y < 100; ++y) {
            std::vector<unsigned char> row(300);
            for (uint32_t i = 0; i < 300; ++i) row[i] = samples[y * 300 + i];
            TIFFWriteScanline(t, row.data(), y, 0);
        }
        TIFFClose(t);
        t = TIFFOpen((dir / "ycbcr.tif").c_str(), "r");
        std::vector<uint32_t> rgba(100 * 100);
        ASSERT_TRUE(TIFFReadRGBAImageOriented(t, 100, 100, rgba.data(), ORIENTATION_TOPLEFT, 1));
        TIFFClose(t);
        Bytes want;
        for (const uint32_t p : rgba)
            want.insert(want.end(), {static_cast<unsigned char>(TIFFGetR(p)),
                                     static_cast<unsigned char>(TIFFGetG(p)),
                                     static_cast<unsigned char>(TIFFGetB(p))});
        EXPECT_EQ(colourPels(dir / "ycbcr.tif"), want);
    }
    // Compressed data that ends early, which the JPEG decoder only warns of (the rows
    // after it came out grey): an end marker put half-way into the strip.
    TiffLayout jpeg = one;
    jpeg.raw = false, jpeg.compression = COMPRESSION_JPEG;
    writeTiff(dir / "cut.tif", 100, 100, jpeg, samples);
    uint64_t *offsets = nullptr, *counts = nullptr;
    TIFF* t = TIFFOpen((dir / "cut.tif").c_str(), "r");
    ASSERT_TRUE(t && TIFFGetField(t, TIFFTAG_STRIPOFFSETS, &offsets) &&
                TIFFGetField(t, TIFFTAG_STRIPBYTECOUNTS, &counts));
    const uint64_t at = offsets[0] + counts[0] / 2;
    TIFFClose(t);
    colourPels(dir / "cut.tif");  // whole, it reads
    std::string bytes = slurp(dir / "cut.tif");
    bytes[at] = '\xff', bytes[at + 1] = '\xd9';
    writeBytes(dir / "cut.tif", bytes);
    EXPECT_NE(errorOf<ImageError>([&] {
                  readColorImage(dir / "cut.tif");
              }).find("bad TIFF file: its pixel data is cut short or damaged (Corrupt JPEG"),
              std::string::npos);
}

// A TIFF of one strip through libtiff: the pixels encoded by libtiff, or the given
// data stored as the strip as it is. Returns the strip's data.
struct OneStrip {
    uint32_t width = 64, height = 64;
    uint16_t bits = 8, spp = 1, photometric = PHOTOMETRIC_MINISBLACK;
    uint16_t compression = COMPRESSION_ADOBE_DEFLATE;
};
std::string writeOneStrip(const std::string& path, const OneStrip& s, const Bytes& pels,
                          const std::string* raw = nullptr) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, s.width), TIFFSetField(t, TIFFTAG_IMAGELENGTH, s.height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, s.bits), TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, s.spp);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, s.photometric);
    TIFFSetField(t, TIFFTAG_COMPRESSION, s.compression);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, s.height);
    if (raw)
        TIFFWriteRawStrip(t, 0, const_cast<char*>(raw->data()), static_cast<tmsize_t>(raw->size()));
    else
        TIFFWriteEncodedStrip(t, 0, const_cast<unsigned char*>(pels.data()),
                              static_cast<tmsize_t>(pels.size()));
    TIFFClose(t);
    t = TIFFOpen(path.c_str(), "r");
    std::string data(static_cast<std::size_t>(TIFFGetStrileByteCount(t, 0)), '\0');
    TIFFReadRawStrip(t, 0, &data[0], static_cast<tmsize_t>(data.size()));
    TIFFClose(t);
    return data;
}

// A strip whose data is cut short (its byte count saying so) is refused, or read
// whole when all its pixels are still there (a deflate checksum or fax end code
// lost): the decoders made up its last pixels unsaid, as zeros past the end of
// deflate data or as a fax row of the wrong length.
TEST(ImageReader, StripsCutShortAreRefusedOrReadWhole) {
    ScratchDir dir;
    Bytes grey(64 * 64), fax(8 * 48);
    for (std::size_t i = 0; i < grey.size(); ++i) {
        const std::size_t x = i % 64, y = i / 64;
        grey[i] = static_cast<unsigned char>((x * 3 + y * 7 + (x * y) % 11) % 256);
    }
    for (std::size_t i = 0; i < 64 * 48; ++i)  // a black pixel on every third diagonal
        fax[i / 8] |= static_cast<unsigned char>((i % 64 + i / 64) % 3 == 0 ? 0x80 >> i % 8 : 0);
    OneStrip g3;
    g3.height = 48, g3.bits = 1, g3.photometric = PHOTOMETRIC_MINISWHITE,
    g3.compression = COMPRESSION_CCITTFAX3;
    const struct {
        std::string name;
        OneStrip strip;
        const Bytes& pels;
    } files[] = {{"deflate", {}, grey}, {"g3", g3, fax}};
    for (const auto& f : files) {
        const std::string whole = dir / (f.name + ".tif");
        const std::string data = writeOneStrip(whole, f.strip, f.pels);
        const Bytes want = colourPels(whole);
        for (std::size_t cut = 1; cut <= 24; ++cut) {
            const std::string path = dir / (f.name + "-" + std::to_string(cut) + ".tif");
            const std::string shorter = data.substr(0, data.size() - cut);
            writeOneStrip(path, f.strip, {}, &shorter);
            const std::string message = errorOf<ImageError>([&] {
                EXPECT_TRUE(colourPels(path) == want) << path << " read with other pixels";
            });
            if (message != "(no error)") {
                EXPECT_EQ(message.rfind(path + ": bad TIFF file: ", 0), 0u) << message;
            }
        }
    }
}

// Palette and 1, 2 or 4-bit TIFFs, uncompressed, one strip.
TEST(ImageReader, ReadsPaletteAndFewBitTiffs) {
    ScratchDir dir;
    struct Case {
        uint16_t bits, photometric;
        std::string pels;
        std::vector<uint16_t> colormap;
        Bytes want;  // grey or RGB
    };
    std::vector<uint16_t> map16(3 * 4), map8(3 * 256, 0);  // red, green, blue arrays
    for (int i = 0; i < 4; ++i)
        map16[i] = static_cast<uint16_t>(i * 20000),
        map16[4 + i] = static_cast<uint16_t>(65535 - i),
        map16[8 + i] = static_cast<uint16_t>(i * 257 + 128);
    map8[2] = 10, map8[256 + 2] = 20, map8[512 + 2] = 255, map8[255] = 1;
    std::vector<uint16_t> map256;  // as v * 256, which some writers use
    for (const uint16_t v : {0, 204, 255, 129, 1, 2, 3, 4, 255, 254, 0, 7})
        map256.push_back(static_cast<uint16_t>(v << 8));
    const std::vector<Case> cases = {
        {1, 1, "\xa0\x40", {}, {255, 0, 255, 0, 0, 0, 0, 0, 0, 255}},  // min-is-black
        {1, 0, "\xa0\x40", {}, {0, 255, 0, 255, 255, 255, 255, 255, 255, 0}},
        {2, 1, "\x1b\xc0", {}, {0, 85, 170, 255, 255}},
        {4, 1, std::string("\x0f\x80", 2), {}, {0, 255, 136}},
        {2, 3, "\x1b\x80", map16, {0, 255, 0, 78, 255, 1, 156, 255, 2, 233, 255, 3, 156, 255, 2}},
        {8, 3, std::string("\x02\xff\x00", 3), map8, {10, 20, 255, 1, 0, 0, 0, 0, 0}},
        {2, 3, "\x1b", map256, {0, 1, 255, 204, 2, 254, 255, 3, 0, 129, 4, 7}},
    };
    for (const Case& c : cases) {
        RawTiff t;
        t.width = static_cast<uint32_t>(c.want.size() / (c.colormap.empty() ? 1 : 3));
        t.bits = c.bits, t.photometric = c.photometric, t.compression = 1, t.chunkHeight = 1;
        t.blobs = {c.pels}, t.colormap = c.colormap;
        const std::string name = dir / ("p" + std::to_string(c.bits * 10 + c.photometric) + ".tif");
        writeBytes(name, rawTiff(t));
        Bytes want;
        for (unsigned char v : c.want) want.insert(want.end(), c.colormap.empty() ? 3 : 1, v);
        EXPECT_EQ(colourPels(name), want) << name;
        // Widened grey is no label image; a palette's colours are what the file holds.
        ReadLimits exact;
        exact.exactValues = true;
        if (c.colormap.empty())
            EXPECT_THROW(readColorImage(name, exact), ImageError) << name;
        else
            EXPECT_NO_THROW(readColorImage(name, exact)) << name;
    }
    RawTiff wide;  // a 16-bit palette is refused as what it is: its samples are unsigned
    wide.width = 1, wide.bits = 16, wide.photometric = 3, wide.compression = 1;
    wide.chunkHeight = 1, wide.blobs = {std::string(2, '\0')};
    wide.colormap.assign(3 << 16, 0);
    writeBytes(dir / "p16.tif", rawTiff(wide));
    EXPECT_EQ(errorOf<ImageError>([&] { readColorImage(dir / "p16.tif"); }),
              dir / "p16.tif" +
                  ": TIFF palette images of 16 bits are not supported; save it with an 8-bit "
                  "palette, or as RGB");
}

// A TIFF of 2 x 1 RGB pages, each of the given subfile type; page k's pels are all k + 1.
void writePages(const std::string& path, const std::vector<uint32_t>& types) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (!t) throw std::runtime_error("cannot create " + path);
    for (std::size_t k = 0; k < types.size(); ++k) {
        TIFFSetField(t, TIFFTAG_SUBFILETYPE, types[k]);
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 2), TIFFSetField(t, TIFFTAG_IMAGELENGTH, 1);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8), TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 1);
        std::vector<unsigned char> row(6, static_cast<unsigned char>(k + 1));
        TIFFWriteEncodedStrip(t, 0, row.data(), 6);
        TIFFWriteDirectory(t);
    }
    TIFFClose(t);
}

TEST(ImageReader, FilesOfSeveralPagesOrFramesAreRefusedAndAThumbnailAfterTheImageIsPassedOver) {
    ScratchDir dir;
    // An animated PNG: its acTL chunk, after the header, declares the frames.
    writePlainPng(dir / "still.png", 2, 1, {1, 2, 3, 4, 5, 6});
    const std::string still = slurp(dir / "still.png");
    // One frame is read when the image is that frame (an fcTL before it); an
    // image that is no frame is not what the animation shows.
    const std::string frameControl = pngChunk("fcTL", std::string(26, '\0'));
    for (const char frames : {'\1', '\2'})
        for (const bool imageIsFrame : {true, false}) {
            writeBytes(dir / "apng.png", still.substr(0, 33) +
                                             pngChunk("acTL", std::string("\0\0\0", 3) + frames +
                                                                  std::string(4, '\0')) +
                                             (imageIsFrame ? frameControl : "") + still.substr(33));
            const std::string error =
                errorOf<ImageError>([&] { readColorImage(dir / "apng.png"); });
            if (frames == '\2')
                EXPECT_EQ(error, dir / "apng.png" +
                                     ": the PNG file is animated (2 frames), and clsg reads one "
                                     "image per file: save each frame as a file of its own");
            else if (imageIsFrame)
                EXPECT_EQ(colourPels(dir / "apng.png"), Bytes({1, 2, 3, 4, 5, 6}));
            else
                EXPECT_EQ(error, dir / "apng.png" +
                                     ": the PNG file is animated, and its image is not the frame "
                                     "it shows: save the frame as a file of its own");
        }
    // A PPM stream of two images; a line end after the one image is no second.
    const std::string ppm = "P6 2 1 255\n" + std::string("\1\2\3\4\5\6", 6);
    writeBytes(dir / "two.ppm", ppm + "\n" + ppm);
    EXPECT_EQ(errorOf<ImageError>([&] { readColorImage(dir / "two.ppm"); }),
              dir / "two.ppm" +
                  ": the PPM/PGM file holds more than one image, and clsg reads one image per "
                  "file: save each image as a file of its own");
    writeBytes(dir / "one.ppm", ppm + "\n");
    EXPECT_EQ(colourPels(dir / "one.ppm"), Bytes({1, 2, 3, 4, 5, 6}));
    const uint32_t page = FILETYPE_PAGE, thumbnail = FILETYPE_REDUCEDIMAGE;
    writePages(dir / "thumbnail.tif", {0, thumbnail, thumbnail | page});
    EXPECT_EQ(colourPels(dir / "thumbnail.tif"), Bytes(6, 1));
    for (const std::vector<uint32_t>& types :
         {std::vector<uint32_t>{0, 0}, {page, page}, {0, thumbnail, 0}}) {
        writePages(dir / "pages.tif", types);
        EXPECT_EQ(errorOf<ImageError>([&] { readColorImage(dir / "pages.tif"); }),
                  dir / "pages.tif" +
                      ": the TIFF file holds more than one page, and clsg reads one image per "
                      "file: save each page as a file of its own")
            << types.size();
    }
}

// A figure of this process's /proc/self/status, in KiB ("VmRSS:", "VmHWM:").
long kib(const char* key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key)));
    return -1L;
}

// Files of a few hundred bytes to a few kilobytes that claim hundreds of
// megabytes, or minutes of decoding, are refused before anything is sized.
TEST(ImageReader, SmallFilesThatClaimHugeImagesOrWorkAreRefusedOrReadCheaply) {
    ScratchDir dir;
    RawTiff hugeTile;  // a column of 64 pixels in a tile 65536 wide: 4 MB decoded for 64 bytes
    hugeTile.tiled = true, hugeTile.height = 64;
    hugeTile.chunkWidth = 65536, hugeTile.chunkHeight = 64;
    hugeTile.blobs = {deflated(std::string(65536 * 64, '\0'))};
    RawTiff wideTile = hugeTile;  // a column of 4096 in 8 tiles 2048 wide: 8 MB decoded for 4 KB
    wideTile.height = 4096, wideTile.chunkWidth = 2048, wideTile.chunkHeight = 512;
    wideTile.chunks = 8;
    wideTile.blobs = std::vector<std::string>(8, deflated(std::string(2048 * 512, '\0')));
    RawTiff cut;  // uncompressed, the last strip starts 40 bytes before the end
    cut.width = 64, cut.height = 64, cut.compression = 1, cut.chunkHeight = 16, cut.chunks = 4;
    cut.blobs = {std::string(4096, '\x11')};
    cut.shiftLast = 4096 - 40;
    RawTiff cutOne = cut;  // its one strip runs past the end of the file
    cutOne.chunkHeight = 64, cutOne.chunks = 1;
    RawTiff clear;  // 72 MB of transparent pixels in twelve strips of 6 KB
    clear.width = clear.height = 3000, clear.bits = 16, clear.spp = 4, clear.photometric = 2;
    clear.chunkHeight = 250, clear.chunks = 12;
    clear.blobs.assign(12, deflated(std::string(250 * 3000 * 8, '\0')));
    RawTiff shortTable;  // five strips of a row, one in the table: the rest would be the header
    shortTable.width = 11, shortTable.height = 5;
    shortTable.blobs = {deflated(std::string(11, '\x40'))};
    RawTiff tagged = shortTable;  // a tag passed over earlier is not why a strip cannot be read
    tagged.undefinedTag = true, tagged.chunks = 5, tagged.blobs = {std::string(16, '\x5a')};
    RawTiff thin = tagged;  // so much the less the reason of our own refusal
    thin.compression = 1, thin.chunks = 1;
    RawTiff codec = shortTable;  // 1 GiB in a strip of a scheme no decoder reads
    codec.width = 16384, codec.height = 8192, codec.bits = 16, codec.spp = 4, codec.photometric = 2;
    codec.compression = 65000, codec.chunkHeight = 8192;
    codec.blobs = {std::string(16400, '\x5a')};
    // 64 MiB in a strip of deflate data that does not inflate (small enough that
    // AddressSanitizer's shadow of the strip's buffer stays well under the limit below).
    RawTiff junk = codec;
    junk.height = junk.chunkHeight = 512;
    junk.compression = 8, junk.blobs = {std::string(1 << 16, '\x5a')};
    RawTiff padded = junk;  // the same in 600 bytes, and a megabyte of padding no strip holds
    padded.blobs = {std::string(600, '\x5a'), std::string(1 << 20, '\0')};
    RawTiff jpeg = codec;  // 363 MB of JPEG data in 6 KB
    jpeg.width = jpeg.height = 11000, jpeg.bits = 8, jpeg.spp = 3, jpeg.compression = 7;
    jpeg.chunkHeight = 11000, jpeg.blobs = {std::string(6000, '\x5a')};
    const struct {
        std::string file, bytes, words;
    } cases[] = {
        {"short.tif", rawTiff(shortTable),
         "bad TIFF file: strip 1 has no place in the file (its table of strips or tiles is short "
         "or damaged)"},
        {"tagged.tif", rawTiff(tagged), "bad TIFF file: Decoding error at scanline 0"},
        {"thin.tif", rawTiff(thin), "more than the 16 bytes of its strips or tiles can hold"},
        {"codec.tif", rawTiff(codec), "TIFF compression 65000 is not supported"},
        {"padded.tif", rawTiff(padded), "more than the 600 bytes of its strips or tiles can hold"},
        {"junk.tif", rawTiff(junk), "bad TIFF file: Decoding error"},
        {"jpeg.tif", rawTiff(jpeg), "declares 363000000 bytes of pixel data, more than"},
        {"header.tif", std::string("II*\0\xff\0\0\0", 8), "Can not read TIFF directory count"},
        {"strip.tif", tiffOneHugeStrip(), "declares 1073741824 bytes of pixel data, more than"},
        {"shared.tif", tiffSharedTiles(), "declares 150994944 bytes of pixel data, more than"},
        {"tile.tif", rawTiff(hugeTile), "strips or tiles are far larger than the image"},
        {"cut.tif", rawTiff(cut), "bad TIFF file: Read error"},
        {"cutone.tif", rawTiff(cutOne),
         "bad TIFF file: the file is truncated (its strips or tiles reach past its end)"},
        {"scans.jpg", jpegManyScans(48, 40), "more than 100 progressive scans"},
        // Transparent pixels are refused at the first row (128 MB in 125 KB).
        {"zeros.png", pngOfZeros(4000, 4000), "the image has transparent pixels"},
        {"zeros.tif", rawTiff(clear), "the image has transparent pixels"},
        // Interlaced rows are sized at once: 100 MB claimed in a few bytes.
        {"adam7.png",
         "\x89PNG\r\n\x1a\n" +
             pngChunk("IHDR", std::string("\0\0\x27\x10\0\0\x27\x10\x08\0\0\0\x01", 13)) +
             pngChunk("IDAT", deflated(std::string(64, '\0'))) + pngChunk("IEND", ""),
         "bad PNG file: the file is truncated"},
        // So are rows one after another (they would be decoded until the data ran out).
        {"rows.png",
         "\x89PNG\r\n\x1a\n" +
             pngChunk("IHDR", std::string("\0\0\x27\x10\0\0\x27\x10\x08\0\0\0\0", 13)) +
             pngChunk("IDAT", deflated(std::string(64, '\0'))) + pngChunk("IEND", ""),
         "bad PNG file: the file is truncated"},
        // One row of 16 M pixels: libpng's row buffers alone would be 256 MB.
        {"wide.png",
         "\x89PNG\r\n\x1a\n" +
             pngChunk("IHDR", std::string("\x01\0\0\0\0\0\0\x01\x10\x06\0\0\x01", 13)) +
             pngChunk("IDAT", deflated(std::string(64, '\0'))) + pngChunk("IEND", ""),
         "bad PNG file: the file is truncated"},
        // Bytes outside the image data hold no rows: 48 MB claimed beside 50 KB of padding.
        {"padded.png",
         "\x89PNG\r\n\x1a\n" +
             pngChunk("IHDR", std::string("\0\0\x0f\xa0\0\0\x0f\xa0\x08\x02\0\0\x01", 13)) +
             pngChunk("prIv", std::string(50000, 'x')) +
             pngChunk("IDAT", deflated(std::string(64, '\0'))) + pngChunk("IEND", ""),
         "bad PNG file: the file is truncated"},
        {"wide.tif", rawTiff(wideTile), "strips or tiles are far larger than the image"},
    };
    ASSERT_LT(cases[8].bytes.size(), 200u);
    ASSERT_LT(cases[16].bytes.size(), 100u);
    ASSERT_LT(cases[9].bytes.size(), 2400u);
    for (const auto& c : cases) {
        writeBytes(dir / c.file, c.bytes);
        std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
        const long before = kib("VmRSS:");
        const std::string message = errorOf<ImageError>([&] { readColorImage(dir / c.file); });
        EXPECT_LT(kib("VmHWM:") - before, 32 * 1024) << c.file;
        EXPECT_NE(message.find(c.words), std::string::npos) << c.file << ": " << message;
        EXPECT_EQ(message.find("4294967295"), std::string::npos) << message;
        EXPECT_EQ(message.find(c.file, (dir / c.file).size()), std::string::npos) << message;
    }
    // An arithmetic-coded JPEG strip holds far more than a Huffman-coded one can:
    // 4 megapixels of one grey in a few hundred bytes read as they are.
    RawTiff arith;
    arith.width = arith.height = arith.chunkHeight = 2048, arith.compression = 7;
    arith.blobs = {jpegArithmeticFlat(2048, 2048)};
    ASSERT_LT(arith.blobs[0].size() * 4096, 2048u * 2048u);
    writeBytes(dir / "arith.tif", rawTiff(arith));
    const kv3PlanePelBuffer flat = readColorImage(dir / "arith.tif");
    EXPECT_EQ(*flat.plane1().pointToPel(2047, 2047), 200);
    // A mask of 1 bit a pixel, interlaced, is 8 times smaller stored than read: 6 MB in 2 KB.
    Bytes bits(2000 * 375, 0);
    for (std::size_t y = 100; y < 200; ++y) std::fill_n(&bits[y * 375 + 10], 10, 0xff);
    writePng(dir / "mask.png", 3000, 2000, PNG_COLOR_TYPE_GRAY, bits, 1, {}, {}, true);
    ASSERT_LT(std::filesystem::file_size(dir / "mask.png"),
              6000000u / 1032);  // deflate gives 1032 at most
    const kvPelBuffer<unsigned char> mask = readMaskImage(dir / "mask.png");
    const Bytes pels = planePels(mask);
    EXPECT_EQ(std::count(pels.begin(), pels.end(), 255), 8000);
    EXPECT_EQ(*mask.pointToPel(80, 100) + *mask.pointToPel(159, 199), 2 * 255);
    // Texts are skipped unread: 40 of 7.9 MB each, in 300 KB before a 2 x 2 image.
    const std::string texts = pngOfZeros(2, 2, 40, 7900000);
    ASSERT_LT(texts.size(), 400u << 10);
    writeBytes(dir / "texts.png", texts);
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = kib("VmRSS:");
    EXPECT_EQ(readColorImage(dir / "texts.png").width(), 2);
    EXPECT_LT(kib("VmHWM:") - before, 32 * 1024);
}

// Waiting on a FIFO for its writer gives way to an abort request (Ctrl-C in
// the programs), for images and tool files alike; a writer that comes is read.
TEST(ImageReader, WaitingOnAPipeGivesWayToAnAbortAndAWriterThatComesIsRead) {
    ScratchDir dir;
    const std::string fifo = dir / "wait.png";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::function<void()> readers[] = {[&] { readColorImage(fifo); },
                                             [&] { readToolFile(fifo); }};
    for (const auto& read : readers) {
        auto reading = std::async(std::launch::async, [&] {
            try {
                read();
                return std::string("read");
            } catch (const kvAbortRequested&) {
                return std::string("aborted");
            } catch (const std::exception& e) {
                return std::string(e.what());
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ksys_request_abort();
        const bool ended = reading.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        ksys_clear_abort();
        if (!ended) close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // lets a deaf reader go
        EXPECT_TRUE(ended);
        EXPECT_EQ(reading.get(), "aborted");
    }
    const Bytes rgb = {1, 2, 3, 40, 50, 60, 200, 100, 0, 9, 9, 9};
    writePlainPng(dir / "plain.png", 2, 2, rgb);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        writeBytes(fifo, slurp(dir / "plain.png"));
    });
    EXPECT_EQ(colourPels(fifo), rgb);
    writer.join();
}

// A file larger than an image within the pixel limit, or a PPM larger than
// the image its header declares, can be is refused unread (a sparse 200 MB one costs
// nothing), and a long read stops at an abort.
TEST(ImageReader, AFileTooLargeIsRefusedUnreadAndAReadStopsAtAnAbort) {
    ScratchDir dir;
    const std::string sparse = dir / "sparse.ppm";
    ReadLimits few;
    few.maxPixels = 1000;
    for (const auto& [header, said] :
         {std::pair{"P6\n1000 1\n255\n", "than an image within the pixel limit can be"},
          {"P6\n10 10\n255\n", "than an image of the 100 pixels its header declares can be"}}) {
        writeBytes(sparse, header);
        std::filesystem::resize_file(sparse, std::uintmax_t{200} << 20);
        std::ofstream("/proc/self/clear_refs") << "5";
        const long before = kib("VmRSS:");
        const std::string message = errorOf<ImageError>([&] { readColorImage(sparse, few); });
        EXPECT_LT(kib("VmHWM:") - before, 32 * 1024);
        EXPECT_NE(message.find(std::string("the file is larger ") + said), std::string::npos)
            << message;
    }
    // So is a pipe's: its end is not known, but its header is (it kept the bytes of an
    // endless pipe up to the pixel limit's, 1 GiB).
    const std::string fifo = dir / "endless.ppm";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto pipeWas = std::signal(SIGPIPE, SIG_IGN);  // the reader goes first
    std::thread writer([&] {
        std::ofstream out(fifo, std::ios::binary);
        out << "P6\n2048 2048\n255\n";  // 96 MiB at 8 bytes a pixel, and 64 MiB
        const std::string zeros(1 << 20, '\0');
        for (int i = 0; i < 200 && out; ++i) out << zeros;
    });
    std::ofstream("/proc/self/clear_refs") << "5";
    [[maybe_unused]] const long before = kib("VmRSS:");  // unread under the sanitizer
    EXPECT_NE(errorOf<ImageError>([&] {
                  readColorImage(fifo);
              }).find("than an image of the 4194304 pixels its header declares can be"),
              std::string::npos);
    writer.join();
    std::signal(SIGPIPE, pipeWas);
#ifndef __SANITIZE_ADDRESS__  // which keeps the buffers the growth let go in quarantine
    EXPECT_LT(kib("VmHWM:") - before, 200 * 1024);  // 2 x 96 MiB as the buffer grows
#endif
    // Other formats may hold far more than their first image (layers, smaller copies):
    // not refused for it.
    writePlainPng(dir / "bulky.png", 2, 2, Bytes(12, 7));
    writeTiff(dir / "bulky.tif", 2, 2, TiffLayout{}, std::vector<uint16_t>(12, 7));
    for (const char* bulky : {"bulky.png", "bulky.tif"}) {
        std::filesystem::resize_file(dir / bulky, std::uintmax_t{100} << 20);
        EXPECT_EQ(readColorImage(dir / bulky).width(), 2) << bulky;
    }
    writeBytes(sparse, "P6\n10000 10000\n255\n");  // a long read, within both
    ksys_request_abort();
    EXPECT_THROW(readColorImage(sparse), kvAbortRequested);
    ksys_clear_abort();
    // A limit of 2^61 pixels or more sets no limit on the file's size (its 8 bytes a pixel
    // must not wrap around to a few).
    ReadLimits unlimited;
    unlimited.maxPixels = uint64_t{1} << 61;
    writeBytes(sparse, "P6\n1073741824 1073741824\n255\n\x01\x02\x03");
    std::filesystem::resize_file(sparse, std::uintmax_t{65} << 20);
    std::string said = "read";
    try {
        readColorImage(sparse, unlimited);
    } catch (const ImageError& e) {
        said = e.what();
    }
    EXPECT_EQ(said.find("larger than an image within"), std::string::npos) << said;
    // Nor is an image whose header declares more pixels than the limit read on: a sparse
    // 400 MB PPM and a PNG of 100 KB are refused by the size they declare.
    const std::string over = dir / "over.ppm", png = dir / "over.png";
    writeBytes(over, "P6\n16385 8192\n255\n");
    std::filesystem::resize_file(over, 16385ull * 8192 * 3 + 20);
    writeBytes(png,
               "\x89PNG\r\n\x1a\n" +
                   pngChunk("IHDR", std::string("\0\0\x4e\x20\0\0\x4e\x20\x08\x02\0\0\0", 13)) +
                   pngChunk("IDAT", std::string(100000, '\x5a')) + pngChunk("IEND", ""));
    for (const auto& [file, size] : {std::pair{over, "16385 x 8192"}, {png, "20000 x 20000"}}) {
        std::ofstream("/proc/self/clear_refs") << "5";
        const long start = kib("VmRSS:");
        const std::string refusal = errorOf<ImageError>([&] { readColorImage(file); });
        EXPECT_LT(kib("VmHWM:") - start, 32 * 1024) << file;
        EXPECT_NE(refusal.find(std::string("the image is too large (") + size + " pixels"),
                  std::string::npos)
            << refusal;
    }
    // A side longer than any image may have is said to be, whatever the pixel limit.
    writeBytes(png, "\x89PNG\r\n\x1a\n" +
                        pngChunk("IHDR", std::string("\0\0\0\x01\x40\0\0\x01\x08\x02\0\0\0", 13)) +
                        pngChunk("IDAT", std::string(100, '\x5a')) + pngChunk("IEND", ""));
    EXPECT_EQ(errorOf<ImageError>([&] { readColorImage(png, unlimited); }),
              png +
                  ": the image is too large (1 x 1073741825 pixels; a side may have at most "
                  "1073741824)");
}

}  // namespace
