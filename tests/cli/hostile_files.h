// Small files built byte by byte that claim far more than they hold: TIFFs
// whose strips or tiles cannot fit the file, or all point at one deflate
// stream, and progressive JPEGs with hundreds of scans. Shared by the reader
// tests and the measurement notes; built without the code under test.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

// clang-format off
#include <jpeglib.h>  // needs size_t and FILE declared first
// clang-format on

namespace clsgtest {

struct RawTiff {
    uint32_t width = 1, height = 1;
    uint16_t bits = 8, spp = 1, photometric = 1, compression = 8;  // deflate
    bool tiled = false;
    uint32_t chunkWidth = 16, chunkHeight = 1;  // tiles; strips use only the height
    uint32_t chunks = 1;                        // strip or tile count declared
    std::vector<std::string> blobs;             // the data; chunk i points at blob i % size
    std::vector<uint16_t> colormap;             // 3 << bits entries for a palette image
    int32_t shiftLast = 0;                      // moves the last chunk's offset
    bool undefinedTag =
        false;  // a last tag of no known type, which libtiff passes over with an error
};

inline std::string deflated(const std::string& raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(raw.data()),
              static_cast<uLong>(raw.size()), 9);
    out.resize(size);
    return out;
}

// A little-endian TIFF: header, blobs, out-of-line values, one directory.
inline std::string rawTiff(const RawTiff& t) {
    std::string f("II*\0\0\0\0\0", 8);
    const auto put = [](std::string& s, uint64_t v, int n) {
        for (int i = 0; i < n; ++i) s += static_cast<char>(v >> (8 * i));
    };
    std::vector<uint32_t> at;
    for (const std::string& b : t.blobs) at.push_back(static_cast<uint32_t>(f.size())), f += b;
    struct Entry {
        uint16_t tag, type;
        std::vector<uint32_t> values;
    };
    std::vector<uint32_t> offsets, counts, bits(t.spp, t.bits);
    for (uint32_t i = 0; i < t.chunks; ++i) {
        offsets.push_back(at[i % at.size()]);
        counts.push_back(static_cast<uint32_t>(t.blobs[i % at.size()].size()));
    }
    offsets.back() += static_cast<uint32_t>(t.shiftLast);
    std::vector<Entry> entries = {{256, 4, {t.width}},
                                  {257, 4, {t.height}},
                                  {258, 3, bits},
                                  {259, 3, {t.compression}},
                                  {262, 3, {t.photometric}}};
    if (!t.tiled) entries.push_back({273, 4, offsets});
    entries.push_back({277, 3, {t.spp}});
    if (!t.tiled) entries.push_back({278, 4, {t.chunkHeight}}), entries.push_back({279, 4, counts});
    if (!t.colormap.empty())
        entries.push_back({320, 3, std::vector<uint32_t>(t.colormap.begin(), t.colormap.end())});
    if (t.tiled)
        entries.insert(entries.end(), {{322, 4, {t.chunkWidth}},
                                       {323, 4, {t.chunkHeight}},
                                       {324, 4, offsets},
                                       {325, 4, counts}});
    // Values longer than four bytes go before the directory.
    std::vector<uint32_t> where(entries.size(), 0);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const int size = entries[i].type == 3 ? 2 : 4;
        if (entries[i].values.size() * size <= 4) continue;
        where[i] = static_cast<uint32_t>(f.size());
        for (uint32_t v : entries[i].values) put(f, v, size);
    }
    if (f.size() % 2) f += '\0';
    const uint32_t ifd = static_cast<uint32_t>(f.size());
    for (int i = 0; i < 4; ++i) f[4 + i] = static_cast<char>(ifd >> (8 * i));
    put(f, entries.size() + (t.undefinedTag ? 1 : 0), 2);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        put(f, e.tag, 2), put(f, e.type, 2), put(f, e.values.size(), 4);
        std::string inline4;
        if (where[i])
            put(inline4, where[i], 4);
        else
            for (uint32_t v : e.values) put(inline4, v, e.type == 3 ? 2 : 4);
        inline4.resize(4, '\0');
        f += inline4;
    }
    if (t.undefinedTag) f += std::string("\xff\xff\x5f\x60\x00\x01\x7c\x09\x15\x01\x03\x00", 12);
    put(f, 0, 4);
    return f;
}

// About 150 bytes declaring one strip of 16384 x 8192 RGBA pixels at 16 bits
// (1 GiB) that holds a few bytes of deflate data.
inline std::string tiffOneHugeStrip() {
    RawTiff t;
    t.width = 16384, t.height = 8192, t.bits = 16, t.spp = 4, t.photometric = 2;
    t.chunkHeight = 8192;
    t.blobs = {deflated(std::string(64, '\0'))};
    return rawTiff(t);
}

// About 2 KB: a 11585 x 11585 grey image (134 megapixels) in 144 tiles of
// 1024 x 1024 that all point at one deflate stream of a megabyte of zeros.
inline std::string tiffSharedTiles() {
    RawTiff t;
    t.width = t.height = 11585, t.tiled = true;
    t.chunkWidth = t.chunkHeight = 1024, t.chunks = 144;
    t.blobs = {deflated(std::string(1024 * 1024, '\0'))};
    return rawTiff(t);
}

inline std::string pngChunk(const std::string& type, const std::string& data) {
    std::string c;
    for (int i = 3; i >= 0; --i) c += static_cast<char>(data.size() >> (8 * i));
    const std::string body = type + data;
    const uLong crc =
        crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
    c += body;
    for (int i = 3; i >= 0; --i) c += static_cast<char>(crc >> (8 * i));
    return c;
}

// A PNG of width x height pixels of zeros in one deflate stream (about a
// thousandth of their bytes): 16-bit RGBA, so every pixel is transparent.
// With texts, that many compressed text chunks of textBytes each come first
// (and the pixels are opaque grey, 8-bit RGB).
inline std::string pngOfZeros(uint32_t width, uint32_t height, int texts = 0,
                              std::size_t textBytes = 0) {
    std::string header;
    for (uint32_t v : {width, height})
        for (int i = 3; i >= 0; --i) header += static_cast<char>(v >> (8 * i));
    const std::size_t pixelBytes = texts ? 3 : 8;
    header += texts ? std::string("\x08\x02\0\0\0", 5)   // 8 bits, RGB
                    : std::string("\x10\x06\0\0\0", 5);  // 16 bits, RGBA
    const std::string rows(std::size_t{height} * (1 + std::size_t{width} * pixelBytes), '\0');
    std::string text;
    for (int i = 0; i < texts; ++i)
        text +=
            pngChunk("zTXt", std::string("Comment\0\0", 9) + deflated(std::string(textBytes, 'A')));
    return "\x89PNG\r\n\x1a\n" + pngChunk("IHDR", header) + text +
           pngChunk("IDAT", deflated(rows)) + pngChunk("IEND", "");
}

// A progressive RGB JPEG of width x height whose scan script sends every AC
// coefficient of every component on its own, first the high bits and then
// the low one: 2 + 2 x 3 x 63 = 380 valid scans (the usual script has 10).
// A flat image makes every scan a few bytes.
// A JPEG of rows that fill makes, with the settings configure gives after
// the defaults.
inline std::string compressJpeg(unsigned width, unsigned height, int components,
                                J_COLOR_SPACE space,
                                const std::function<void(jpeg_compress_struct&)>& configure,
                                const std::function<void(unsigned, unsigned char*)>& fill) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = width, c.image_height = height, c.input_components = components;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    configure(c);
    jpeg_start_compress(&c, TRUE);
    std::vector<unsigned char> row(std::size_t{width} * static_cast<unsigned>(components));
    for (unsigned y = 0; y < height; ++y) {
        fill(y, row.data());
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::string bytes(reinterpret_cast<char*>(out), size);
    std::free(out);
    return bytes;
}

// A grey JPEG of one flat value, arithmetic-coded: a few hundred bytes for
// megapixels, as no Huffman-coded JPEG can be.
inline std::string jpegArithmeticFlat(unsigned width, unsigned height) {
    return compressJpeg(
        width, height, 1, JCS_GRAYSCALE, [](jpeg_compress_struct& c) { c.arith_code = TRUE; },
        [width](unsigned, unsigned char* row) { std::fill_n(row, width, 200); });
}

inline std::string jpegManyScans(unsigned width, unsigned height, bool flat = false) {
    std::vector<jpeg_scan_info> scans;
    scans.push_back({3, {0, 1, 2, 0}, 0, 0, 0, 1});
    for (int c = 0; c < 3; ++c)
        for (int k = 1; k < 64; ++k) scans.push_back({1, {c, 0, 0, 0}, k, k, 0, 1});
    scans.push_back({3, {0, 1, 2, 0}, 0, 0, 1, 0});
    for (int c = 0; c < 3; ++c)
        for (int k = 1; k < 64; ++k) scans.push_back({1, {c, 0, 0, 0}, k, k, 1, 0});
    return compressJpeg(
        width, height, 3, JCS_RGB,
        [&scans](jpeg_compress_struct& c) {
            jpeg_set_quality(&c, 95, TRUE);
            c.scan_info = scans.data();
            c.num_scans = static_cast<int>(scans.size());
        },
        [width, flat](unsigned y, unsigned char* row) {
            for (unsigned x = 0; x < width; ++x)  // texture, so every coefficient carries data
                for (unsigned k = 0; k < 3; ++k)
                    row[x * 3 + k] = static_cast<unsigned char>(
                        flat ? 90 + k : (x * 7 + y * 13 + k * 50) ^ (x * y));
        });
}

}  // namespace clsgtest
