// TIFF through libtiff, reading from memory: 8 and 16-bit unsigned samples,
// grey (min-is-black or min-is-white) or RGB, with or without an alpha
// channel, in strips or tiles, contiguous or one plane per channel. Every
// strip or row of tiles is decoded and stored before the next is read.
#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "clsg/io/image_decode.h"

namespace clsg::decoders {
namespace {

struct MemoryFile {
    const std::vector<unsigned char>& bytes;
    uint64_t pos = 0;
    char message[256] = {0};
};

tmsize_t memRead(thandle_t h, void* buf, tmsize_t size) {
    auto* f = static_cast<MemoryFile*>(h);
    const uint64_t left = f->pos < f->bytes.size() ? f->bytes.size() - f->pos : 0;
    const uint64_t n = size < 0 ? 0 : std::min<uint64_t>(left, static_cast<uint64_t>(size));
    if (n) std::memcpy(buf, f->bytes.data() + f->pos, n);
    f->pos += n;
    return static_cast<tmsize_t>(n);
}
tmsize_t memWrite(thandle_t, void*, tmsize_t) { return 0; }
toff_t memSeek(thandle_t h, toff_t off, int whence) {
    auto* f = static_cast<MemoryFile*>(h);
    if (whence == SEEK_CUR)
        off += f->pos;
    else if (whence == SEEK_END)
        off += f->bytes.size();
    f->pos = off;
    return off;
}
int memClose(thandle_t) { return 0; }
toff_t memSize(thandle_t h) { return static_cast<MemoryFile*>(h)->bytes.size(); }
int memMap(thandle_t, void**, toff_t*) { return 0; }
void memUnmap(thandle_t, void*, toff_t) {}

int tiffError(TIFF*, void* user, const char*, const char* fmt, va_list ap) {
    auto* f = static_cast<MemoryFile*>(user);
    if (!f->message[0]) std::vsnprintf(f->message, sizeof f->message, fmt, ap);
    return 1;
}
int tiffWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffCloser {
    void operator()(TIFF* t) const { TIFFClose(t); }
};

struct Layout {
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, spp = 0, photometric = 0, planar = PLANARCONFIG_CONTIG, format = 1;
};

}  // namespace

Raster decodeTiff(const std::vector<unsigned char>& bytes, const std::string& name,
                  const ReadLimits& limits) {
    MemoryFile file{bytes};
    std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions*)> options(TIFFOpenOptionsAlloc(),
                                                                         TIFFOpenOptionsFree);
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), tiffError, &file);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), tiffWarning, &file);
    // One strip or tile may not claim more than the pixel limit's worth.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(),
                                        static_cast<tmsize_t>(limits.maxPixels * 8 + (1u << 20)));
    std::unique_ptr<TIFF, TiffCloser> tif(TIFFClientOpenExt(name.c_str(), "rm", &file, memRead,
                                                            memWrite, memSeek, memClose, memSize,
                                                            memMap, memUnmap, options.get()));
    const auto fail = [&](const char* what) {
        return ImageError(name + ": bad TIFF file: " + (file.message[0] ? file.message : what));
    };
    if (!tif) throw fail("cannot open");

    Layout l;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &l.width);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &l.height);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &l.bits);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &l.spp);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_PLANARCONFIG, &l.planar);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLEFORMAT, &l.format);
    if (!TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &l.photometric))
        l.photometric = l.spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
    checkImageSize(l.width, l.height, limits, name);

    const bool grey =
        l.photometric == PHOTOMETRIC_MINISBLACK || l.photometric == PHOTOMETRIC_MINISWHITE;
    if (!grey && l.photometric != PHOTOMETRIC_RGB)
        throw ImageError(name + ": TIFF photometric interpretation " +
                         std::to_string(l.photometric) +
                         " is not supported; save it as RGB or greyscale");
    if ((l.bits != 8 && l.bits != 16) || l.format != SAMPLEFORMAT_UINT)
        throw ImageError(name + ": TIFF with " + std::to_string(l.bits) + "-bit " +
                         (l.format == SAMPLEFORMAT_UINT ? "" : "non-integer ") +
                         "samples is not supported; save it with 8 or 16-bit samples");
    if (l.spp != (grey ? 1 : 3) && l.spp != (grey ? 2 : 4))
        throw ImageError(name + ": TIFF with " + std::to_string(l.spp) +
                         " samples per pixel is not supported");

    Raster r;
    r.width = l.width;
    r.height = l.height;
    r.channels = l.spp;
    r.bytesPerSample = l.bits / 8;
    r.maxValue = l.bits == 16 ? 65535 : 255;
    const std::size_t bps = static_cast<std::size_t>(r.bytesPerSample);
    const std::size_t pel = bps * l.spp;
    const bool separate = l.planar == PLANARCONFIG_SEPARATE;
    const uint16_t planes = separate ? l.spp : 1;
    const std::size_t unit = separate ? bps : pel;  // bytes of one pixel in a strip or tile

    const bool tiled = TIFFIsTiled(tif.get()) != 0;
    uint32_t tileW = l.width, bandH = 0;
    if (tiled) {
        TIFFGetField(tif.get(), TIFFTAG_TILEWIDTH, &tileW);
        TIFFGetField(tif.get(), TIFFTAG_TILELENGTH, &bandH);
    } else {
        TIFFGetFieldDefaulted(tif.get(), TIFFTAG_ROWSPERSTRIP, &bandH);
    }
    if (tileW == 0 || bandH == 0) throw fail("no strip or tile size");
    bandH = std::min(bandH, l.height);
    const uint64_t chunkBytes = uint64_t{tileW} * bandH * unit;
    if (chunkBytes > limits.maxPixels * 8 + (1u << 20)) throw fail("strips or tiles too large");

    std::vector<unsigned char> chunk(chunkBytes);
    std::vector<unsigned char> band(r.rowBytes() * bandH);
    for (uint32_t y0 = 0; y0 < l.height; y0 += bandH) {
        const uint32_t rows = std::min(bandH, l.height - y0);
        for (uint16_t p = 0; p < planes; ++p) {
            for (uint32_t x0 = 0; x0 < l.width; x0 += tileW) {
                const tmsize_t got =
                    tiled ? TIFFReadEncodedTile(tif.get(), TIFFComputeTile(tif.get(), x0, y0, 0, p),
                                                chunk.data(), static_cast<tmsize_t>(chunk.size()))
                          : TIFFReadEncodedStrip(tif.get(), TIFFComputeStrip(tif.get(), y0, p),
                                                 chunk.data(), static_cast<tmsize_t>(chunk.size()));
                const uint32_t cols = std::min(tileW, l.width - x0);
                const uint64_t need = uint64_t{tiled ? bandH : rows} * tileW * unit;
                if (got < 0 || static_cast<uint64_t>(got) < need)
                    throw fail("the file is truncated");
                for (uint32_t y = 0; y < rows; ++y) {
                    const unsigned char* src = chunk.data() + std::size_t{y} * tileW * unit;
                    unsigned char* dst = band.data() + y * r.rowBytes() + std::size_t{x0} * pel;
                    if (!separate) {
                        std::memcpy(dst, src, cols * pel);
                    } else {
                        for (uint32_t x = 0; x < cols; ++x)
                            std::memcpy(dst + x * pel + p * bps, src + x * bps, bps);
                    }
                }
            }
        }
        for (uint32_t y = 0; y < rows; ++y) r.appendRow(band.data() + y * r.rowBytes());
    }
    if (l.photometric == PHOTOMETRIC_MINISWHITE) {  // grey only, alpha kept
        for (std::size_t i = 0; i < r.data.size(); i += pel) {
            if (bps == 1) {
                r.data[i] = static_cast<unsigned char>(255 - r.data[i]);
            } else {
                uint16_t v;
                std::memcpy(&v, &r.data[i], 2);
                v = static_cast<uint16_t>(65535 - v);
                std::memcpy(&r.data[i], &v, 2);
            }
        }
    }
    return r;
}

}  // namespace clsg::decoders
