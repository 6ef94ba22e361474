// Test-side JPEG and TIFF files through libjpeg and libtiff directly (not the code under test).
#pragma once

#include <tiffio.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

// clang-format off
#include <jpeglib.h>  // needs size_t and FILE declared first

using namespace clsg;
// clang-format on

namespace clsgtest {

// A progressive RGB JPEG at quality 100.
inline void writeJpeg(const std::string& path, unsigned width, unsigned height,
                      const std::vector<unsigned char>& rgb) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot create " + path);
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = width, c.image_height = height, c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 100, TRUE);
    jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    for (JSAMPROW row = const_cast<unsigned char*>(rgb.data()); c.next_scanline < height;
         row += width * 3)
        jpeg_write_scanlines(&c, &row, 1);
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::fclose(f);
}

struct TiffLayout {
    int bits = 8;           // 8 or 16
    int channels = 3;       // 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA
    bool tiled = false;     // square tiles of tileSide, else strips of 3 rows
    bool separate = false;  // one plane per channel
    bool minIsWhite = false;
    bool raw = false;                         // uncompressed, else compressed as below
    unsigned stripRows = 3;                   // rows per strip
    uint16_t extra = EXTRASAMPLE_UNASSALPHA;  // what a second or fourth channel is
    uint16_t compression = COMPRESSION_ADOBE_DEFLATE;
    uint16_t format = SAMPLEFORMAT_UINT;
    unsigned tileSide = 16;
};

// samples: interleaved, 16-bit ones as host-order uint16 (two bytes each).
inline void writeTiff(const std::string& path, unsigned width, unsigned height, const TiffLayout& l,
                      const std::vector<uint16_t>& samples) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (!t) throw std::runtime_error("cannot create " + path);
    const unsigned tw = l.tiled ? l.tileSide : width, th = l.tiled ? l.tileSide : l.stripRows;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width), TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, l.bits),
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, l.channels);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, l.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    const int grey = l.minIsWhite ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK;
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, l.channels >= 3 ? PHOTOMETRIC_RGB : grey);
    TIFFSetField(t, TIFFTAG_COMPRESSION, l.raw ? COMPRESSION_NONE : l.compression);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, l.format);
    if (l.channels % 2 == 0) TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &l.extra);
    l.tiled ? (TIFFSetField(t, TIFFTAG_TILEWIDTH, tw), TIFFSetField(t, TIFFTAG_TILELENGTH, th))
            : TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, th);
    const int planes = l.separate ? l.channels : 1, per = l.separate ? 1 : l.channels;
    const std::size_t bps = static_cast<std::size_t>(l.bits / 8);
    uint32_t index = 0;  // tiles and strips are numbered plane by plane, row by row
    for (int p = 0; p < planes; ++p)
        for (unsigned y0 = 0; y0 < height; y0 += th)
            for (unsigned x0 = 0; x0 < width; x0 += tw) {
                const unsigned rows = l.tiled ? th : std::min(th, height - y0);
                std::vector<unsigned char> chunk(std::size_t{tw} * rows * per * bps, 0);
                for (unsigned y = 0; y < rows && y0 + y < height; ++y)
                    for (unsigned x = 0; x < tw && x0 + x < width; ++x)
                        for (int c = 0; c < per; ++c)  // low byte first: a little-endian host
                            std::memcpy(&chunk[((y * tw + x) * per + c) * bps],
                                        &samples[((y0 + y) * width + x0 + x) * l.channels + p + c],
                                        bps);
                (l.tiled ? TIFFWriteEncodedTile : TIFFWriteEncodedStrip)(
                    t, index++, chunk.data(), static_cast<tmsize_t>(chunk.size()));
            }
    TIFFClose(t);
}

}  // namespace clsgtest
