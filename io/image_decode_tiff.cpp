// TIFF through libtiff, reading from memory: 8 and 16-bit unsigned samples,
// grey (min-is-black or min-is-white), RGB or JPEG-compressed YCbCr (read as
// RGB), with or without an alpha channel, in strips or tiles, contiguous or one plane per channel.
// Every strip or row of tiles is decoded and stored before the next is read. A file of several
// pages is refused; reduced-resolution copies of the image after it (thumbnails) are passed over.
#include <tiffio.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "clsg/io/image_decode.h"

namespace clsg::decoders {
namespace {

struct MemoryFile {
    const std::vector<unsigned char>& bytes;
    uint64_t pos = 0;
    char message[256] = {0};
    // A warning while a strip or tile was decoded that says its data ended
    // early or is damaged (fax and JPEG decoders only warn of that, and fill
    // in the rest of the row or strip).
    char damage[256] = {0};
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
// The fax decoder says "Premature EOF" for data that ends early, and
// "Premature EOL" or "Line length mismatch" for a row shorter or longer than
// the image (data cut short ends in such a row); JPEG says "Premature end" or
// "Corrupt".
bool saysDamaged(std::string text) {
    for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    for (const char* word : {"premature", "corrupt", "line length mismatch"})
        if (text.find(word) != std::string::npos) return true;
    return false;
}

int tiffWarning(TIFF*, void* user, const char*, const char* fmt, va_list ap) {
    auto* f = static_cast<MemoryFile*>(user);
    char text[256];
    std::vsnprintf(text, sizeof text, fmt, ap);
    if (!f->damage[0] && saysDamaged(text)) std::snprintf(f->damage, sizeof f->damage, "%s", text);
    return 1;
}

struct TiffCloser {
    void operator()(TIFF* t) const { TIFFClose(t); }
};

struct Layout {
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, spp = 0, photometric = 0, planar = PLANARCONFIG_CONTIG, format = 1;
    uint16_t compression = COMPRESSION_NONE;
    bool unspecifiedExtra = false;  // the last sample is neither colour nor alpha
};

// The most bytes one byte of the file can decode to, by compression: deflate
// reaches about 1032, LZW stays below 4096 and PackBits at 64. A Huffman-coded
// JPEG block of 8 x 8 samples takes a bit or more, so that even 4 x 4
// subsampled chroma stays below about 1400; arithmetic coding (a rare kind)
// takes far less. Other schemes (fax, zstd, ...) get a loose bound.
uint64_t maxExpansion(uint16_t compression, bool arithmetic) {
    if (arithmetic) return 1 << 16;
    switch (compression) {
        case COMPRESSION_NONE:
            return 1;
        case COMPRESSION_PACKBITS:
            return 64;
        case COMPRESSION_ADOBE_DEFLATE:
        case COMPRESSION_DEFLATE:
            return 1032;
        case COMPRESSION_LZW:
        case COMPRESSION_JPEG:
        case COMPRESSION_OJPEG:
            return 4096;
        default:
            return 1 << 16;
    }
}

// For deflate data, libtiff's faster decoder reads zeros past the end of a
// strip cut short and may fill the strip's last bytes with them, unsaid; zlib
// stops there and the strip is refused.
void checkedDeflate(TIFF* tif, uint16_t compression) {
    if (compression == COMPRESSION_ADOBE_DEFLATE || compression == COMPRESSION_DEFLATE)
        TIFFSetField(tif, TIFFTAG_DEFLATE_SUBCODEC, DEFLATE_SUBCODEC_ZLIB);
}

// A buffer that is not filled with zeros when made.
struct Scratch {
    std::unique_ptr<unsigned char[]> data;
    explicit Scratch(uint64_t size) : data(new unsigned char[static_cast<std::size_t>(size)]) {}
    unsigned char* get() const { return data.get(); }
};

// A buffer that starts as zeros. A large one comes from the system already
// zero, so a file whose first chunk fails to decode costs no memory for it.
struct ZeroedScratch {
    struct Free {
        void operator()(unsigned char* p) const { std::free(p); }
    };
    std::unique_ptr<unsigned char, Free> data;
    explicit ZeroedScratch(uint64_t size)
        : data(static_cast<unsigned char*>(std::calloc(static_cast<std::size_t>(size), 1))) {
        if (!data) throw std::bad_alloc();
    }
    unsigned char* get() const { return data.get(); }
};

// libtiff's messages about a strip or tile read alone name no row (its row
// counter reads 4294967295 then): that part is cut, the caller says where.
std::string withoutRow(std::string message) {
    for (const char* noise : {" at scanline 4294967295", " at row 4294967295", " row 4294967295",
                              " scanline 4294967295", ", col 4294967295", "4294967295"}) {
        const std::size_t at = message.find(noise);
        if (at != std::string::npos) message.erase(at, std::strlen(noise));
    }
    return message;
}

// libtiff's message without the file's name before it, which ours gives.
std::string withoutName(const std::string& message, const std::string& name) {
    const std::string prefix = name + ": ";
    return message.compare(0, prefix.size(), prefix) == 0 ? message.substr(prefix.size()) : message;
}

// A failure found by our own checks, and one of a libtiff call, worded with
// the message libtiff gave during that call when it gave one (the caller
// clears the last message first: an earlier one, of a tag passed over, say,
// is not the reason).
struct Failure {
    const std::string& name;
    MemoryFile& file;
    ImageError operator()(const std::string& what) const {
        return ImageError(name + ": bad TIFF file: " + what);
    }
    ImageError ofLibrary(const std::string& what) const {
        return (*this)(file.message[0] ? withoutRow(withoutName(file.message, name)) : what);
    }
    void clear() const { file.message[0] = '\0'; }
};

Layout readLayout(TIFF* tif) {
    Layout l;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &l.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &l.height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &l.bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &l.spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &l.planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &l.format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &l.compression);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &l.photometric))
        l.photometric = l.spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
    uint16_t extras = 0;
    uint16_t* types = nullptr;
    if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extras, &types) && extras == 1 && types)
        l.unspecifiedExtra = types[0] == EXTRASAMPLE_UNSPECIFIED;
    return l;
}

// What kind of pixels the file stores; throws for kinds we do not read.
struct Kind {
    bool grey = false, palette = false;
    bool packed = false;  // fewer than 8 bits: one grey or palette sample a pixel
};

// What a refused sample format is, in words (unsigned integers are taken).
std::string sampleKind(uint16_t format) {
    switch (format) {
        case SAMPLEFORMAT_UINT:
            return "";
        case SAMPLEFORMAT_INT:
            return "signed ";
        case SAMPLEFORMAT_IEEEFP:
            return "floating-point ";
        default:
            return "untyped or complex ";
    }
}

Kind checkKind(const Layout& l, const std::string& name) {
    Kind k;
    k.grey = l.photometric == PHOTOMETRIC_MINISBLACK || l.photometric == PHOTOMETRIC_MINISWHITE;
    k.palette = l.photometric == PHOTOMETRIC_PALETTE;
    if (!k.grey && !k.palette && l.photometric != PHOTOMETRIC_RGB)
        throw ImageError(name + ": TIFF photometric interpretation " +
                         std::to_string(l.photometric) +
                         " is not supported; save it as RGB, greyscale or palette");
    k.packed = l.bits == 1 || l.bits == 2 || l.bits == 4;
    const bool bitsOk = l.bits == 8 ||
                        (k.packed && l.spp == 1 && !(l.photometric == PHOTOMETRIC_RGB)) ||
                        (l.bits == 16 && !k.palette);
    if (k.palette && l.bits == 16 && l.format == SAMPLEFORMAT_UINT)
        throw ImageError(name +
                         ": TIFF palette images of 16 bits are not supported; save it with "
                         "an 8-bit palette, or as RGB");
    if (!bitsOk || l.format != SAMPLEFORMAT_UINT)
        throw ImageError(name + ": TIFF with " + std::to_string(l.bits) + "-bit " +
                         sampleKind(l.format) +
                         "samples is not supported; save it with 8 or 16-bit unsigned samples");
    if (k.palette ? l.spp != 1 : l.spp != (k.grey ? 1 : 3) && l.spp != (k.grey ? 2 : 4))
        throw ImageError(name + ": TIFF with " + std::to_string(l.spp) +
                         " samples per pixel is not supported");
    return k;
}

// A palette's colours as 8-bit RGB; colour maps written with 8-bit values
// (every entry below 256) are taken as they are.
std::vector<unsigned char> paletteColours(TIFF* tif, const Layout& l, const Failure& fail) {
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue))
        throw fail("a palette image without a colour map");
    // Maps are written as v * 257 (0 to 65535), as v * 256 (the low byte 0) or,
    // by some writers, as v itself; each gives v back exactly. Other 16-bit
    // values are scaled to 8 bits.
    const std::size_t n = std::size_t{1} << l.bits;
    bool eightBit = true, shifted = true;
    for (std::size_t i = 0; i < n; ++i)
        for (const uint16_t* map : {red, green, blue}) {
            eightBit = eightBit && map[i] < 256;
            shifted = shifted && (map[i] & 0xff) == 0;
        }
    std::vector<unsigned char> colours;
    for (std::size_t i = 0; i < n; ++i)
        for (const uint16_t* map : {red, green, blue})
            colours.push_back(static_cast<unsigned char>(eightBit ? map[i]
                                                         : shifted
                                                             ? map[i] >> 8
                                                             : (map[i] * 255u + 32767u) / 65535u));
    return colours;
}

// How the pixels are stored: strips (tileW = the width) or tiles, each
// bandH rows of chunkRowBytes, in one plane or one per sample.
struct Chunks {
    bool tiled = false, separate = false;
    uint16_t planes = 1;
    uint32_t tileW = 0, bandH = 0;
    uint64_t rowBytes = 0, bytes = 0;
};

// The bytes of the file its strips or tiles hold (padding and other data are
// not theirs), at most the file's (chunks that share their data cannot count
// past it), and whether one of them reaches past the file's end.
struct ChunkData {
    uint64_t held = 0;
    bool pastEnd = false;
};

ChunkData chunkData(TIFF* tif, uint64_t fileBytes) {
    const uint32_t chunks = TIFFIsTiled(tif) ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    ChunkData d;
    for (uint32_t i = 0; i < chunks && d.held < fileBytes; ++i) {
        const uint64_t at = TIFFGetStrileOffset(tif, i), count = TIFFGetStrileByteCount(tif, i);
        d.pastEnd = d.pastEnd || at >= fileBytes || count > fileBytes - at;
        if (at < fileBytes) d.held += std::min(count, fileBytes - at);
    }
    d.held = std::min(d.held, fileBytes);
    return d;
}

// Whether the first strip or tile of JPEG data is arithmetic-coded: its frame
// marker is one of SOF9 to SOF15 (in coded data 0xff is followed by 0 or a
// restart marker, so the pair is a marker wherever it is found).
bool arithmeticJpeg(TIFF* tif, const std::vector<unsigned char>& bytes) {
    const uint64_t at = TIFFGetStrileOffset(tif, 0);
    if (at >= bytes.size()) return false;
    const uint64_t end =
        at + std::min<uint64_t>({TIFFGetStrileByteCount(tif, 0), bytes.size() - at, 4096});
    for (uint64_t i = at; i + 1 < end; ++i)
        if (bytes[i] == 0xff && bytes[i + 1] >= 0xc9 && bytes[i + 1] <= 0xcf &&
            bytes[i + 1] != 0xcc)
            return true;
    return false;
}

Chunks chunksOf(TIFF* tif, const Layout& l, const std::vector<unsigned char>& file,
                const Failure& fail) {
    const uint64_t fileBytes = file.size();
    Chunks c;
    c.separate = l.planar == PLANARCONFIG_SEPARATE && l.spp > 1;
    c.planes = c.separate ? l.spp : 1;
    c.tiled = TIFFIsTiled(tif) != 0;
    c.tileW = l.width;
    if (c.tiled) {
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &c.tileW);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &c.bandH);
    } else {
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &c.bandH);
    }
    if (c.tileW == 0 || c.bandH == 0) throw fail("no strip or tile size");
    c.bandH = std::min(c.bandH, l.height);
    const uint64_t unitBits = uint64_t{l.bits} * (c.separate ? 1 : l.spp);  // one pixel stored
    c.rowBytes = (uint64_t{c.tileW} * unitBits + 7) / 8;  // stored rows start on a byte
    c.bytes = c.rowBytes * c.bandH;
    // Before anything is sized: what the strips or tiles decode to, padding
    // included, must be what such an image needs and what the file's bytes
    // can hold at this compression (tiles sharing their data count once).
    // A tile is stored whole; the last strip holds only the rows left (and
    // the TIFF library may cut one strip into several, the last short).
    const uint64_t across = (uint64_t{l.width} + c.tileW - 1) / c.tileW;
    const uint64_t down = (uint64_t{l.height} + c.bandH - 1) / c.bandH;
    const uint64_t stored = (c.tiled ? c.bytes * across * down : c.rowBytes * l.height) * c.planes;
    const uint64_t imageBytes = (uint64_t{l.width} * l.bits * l.spp + 7) / 8 * l.height;
    // Tiles of up to 512 a side are common whatever the image's size (a picture 10 pixels
    // wide in tiles of 256): their padding is allowed for. It costs decoding alone (a
    // tile's buffer is small), which the file's bytes bound below; larger tiles are not.
    const bool common = c.tiled && c.tileW <= 512 && c.bandH <= 512;
    const uint64_t paddedBytes =
        common ? ((l.width + c.tileW - 1) / c.tileW * c.tileW * l.bits * l.spp + 7) / 8 *
                     ((l.height + c.bandH - 1) / c.bandH * c.bandH)
               : 0;
    if (stored > std::max(4 * imageBytes, paddedBytes) + (1u << 20))
        throw fail("its strips or tiles are far larger than the image");
    const ChunkData data = chunkData(tif, fileBytes);
    const bool arithmetic = l.compression == COMPRESSION_JPEG && arithmeticJpeg(tif, file);
    if (stored > data.held * maxExpansion(l.compression, arithmetic))
        throw fail(data.pastEnd
                       ? std::string("the file is truncated (its strips or tiles reach "
                                     "past its end)")
                       : "it declares " + std::to_string(stored) +
                             " bytes of pixel data, more than the " + std::to_string(data.held) +
                             " bytes of its strips or tiles can hold");
    return c;
}

// One decoded chunk's rows into the band, from column x0 of plane p.
struct Unpack {
    const Layout& l;
    const Kind& kind;
    const Chunks& c;
    const std::vector<unsigned char>& colours;
    std::size_t bps, pel, bandRowBytes;

    void operator()(const unsigned char* chunk, unsigned char* band, uint32_t rows, uint32_t x0,
                    uint32_t cols, uint16_t p) const {
        for (uint32_t y = 0; y < rows; ++y) {
            const unsigned char* src = chunk + y * c.rowBytes;
            unsigned char* dst = band + y * bandRowBytes + std::size_t{x0} * pel;
            if (kind.packed || kind.palette) {
                const unsigned mask = (1u << l.bits) - 1;
                for (uint32_t x = 0; x < cols; ++x) {
                    const uint64_t bit = uint64_t{x} * l.bits;
                    const unsigned v =
                        l.bits == 8 ? src[x] : (src[bit / 8] >> (8 - l.bits - bit % 8)) & mask;
                    if (kind.palette)
                        std::memcpy(dst + x * pel, &colours[v * 3], 3);
                    else
                        dst[x] = static_cast<unsigned char>(v * (255 / mask));
                }
            } else if (!c.separate) {
                std::memcpy(dst, src, cols * pel);
            } else {
                for (uint32_t x = 0; x < cols; ++x)
                    std::memcpy(dst + x * pel + p * bps, src + x * bps, bps);
            }
        }
    }
};

// Row with one more sample a pixel than r has, copied into kept without it.
const unsigned char* withoutLastSample(const unsigned char* row, std::vector<unsigned char>& kept,
                                       const Raster& r) {
    const std::size_t pel = static_cast<std::size_t>(r.bytesPerSample * r.channels);
    const std::size_t stride = pel + static_cast<std::size_t>(r.bytesPerSample);
    for (uint32_t x = 0; x < r.width; ++x) std::memcpy(&kept[x * pel], row + x * stride, pel);
    return kept.data();
}

// Min-is-white grey samples turned the right way round (alpha kept).
void invertGrey(Raster& r) {
    const std::size_t bps = static_cast<std::size_t>(r.bytesPerSample);
    const std::size_t pel = bps * static_cast<std::size_t>(r.channels);
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

// Whether a page follows the one read. A reduced-resolution copy of the image
// (a thumbnail, a level of a pyramid) is no page; a damaged directory after
// the first one ends the search, as the file was read before. At most 256
// directories are looked at.
bool anotherPageFollows(TIFF* tif) {
    for (int seen = 0; seen < 256 && TIFFReadDirectory(tif); ++seen) {
        uint32_t type = 0;
        TIFFGetFieldDefaulted(tif, TIFFTAG_SUBFILETYPE, &type);
        if (!(type & FILETYPE_REDUCEDIMAGE)) return true;
    }
    return false;
}

}  // namespace

bool tiffCompressedAsJpeg(const std::string& path) {
    std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions*)> options(TIFFOpenOptionsAlloc(),
                                                                         TIFFOpenOptionsFree);
    const auto quiet = [](TIFF*, void*, const char*, const char*, va_list) { return 1; };
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), quiet, nullptr);
    std::unique_ptr<TIFF, TiffCloser> tif(TIFFOpenExt(path.c_str(), "r", options.get()));
    uint16_t compression = COMPRESSION_NONE;
    return tif && TIFFGetField(tif.get(), TIFFTAG_COMPRESSION, &compression) &&
           (compression == COMPRESSION_JPEG || compression == COMPRESSION_OJPEG);
}

Raster decodeTiff(const std::vector<unsigned char>& bytes, const std::string& name,
                  const ReadLimits& limits) {
    MemoryFile file{bytes};
    std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions*)> options(TIFFOpenOptionsAlloc(),
                                                                         TIFFOpenOptionsFree);
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), tiffError, &file);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), tiffWarning, &file);
    // One strip or tile may not claim more than the pixel limit's worth.
    TIFFOpenOptionsSetMaxSingleMemAlloc(
        options.get(), static_cast<tmsize_t>(bytesForPixels(limits.maxPixels, 8, 1u << 20)));
    std::unique_ptr<TIFF, TiffCloser> tif(TIFFClientOpenExt(name.c_str(), "rm", &file, memRead,
                                                            memWrite, memSeek, memClose, memSize,
                                                            memMap, memUnmap, options.get()));
    const Failure fail{name, file};
    if (!tif) throw fail.ofLibrary("cannot open");

    Layout l = readLayout(tif.get());
    checkImageSize(l.width, l.height, limits, name);
    if (!TIFFIsCODECConfigured(l.compression))
        throw ImageError(name + ": TIFF compression " + std::to_string(l.compression) +
                         " is not supported; save it uncompressed or with LZW, deflate or JPEG");
    checkedDeflate(tif.get(), l.compression);
    // JPEG-compressed YCbCr (as scanners write it) is decoded to RGB by the
    // JPEG decoder, as a JPEG file is.
    if (l.compression == COMPRESSION_JPEG && l.photometric == PHOTOMETRIC_YCBCR && l.spp == 3 &&
        TIFFSetField(tif.get(), TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB))
        l.photometric = PHOTOMETRIC_RGB;
    const Kind kind = checkKind(l, name);
    const std::vector<unsigned char> colours =
        kind.palette ? paletteColours(tif.get(), l, fail) : std::vector<unsigned char>();

    Raster r;
    r.width = l.width;
    r.height = l.height;
    // An unspecified extra sample is read and dropped.
    const int stored = kind.palette ? 3 : l.spp;
    const bool dropExtra = l.unspecifiedExtra && (stored == 2 || stored == 4);
    r.channels = dropExtra ? stored - 1 : stored;
    r.bytesPerSample = l.bits == 16 ? 2 : 1;
    r.maxValue = l.bits == 16 ? 65535 : 255;
    if (kind.packed && !kind.palette) r.widenedBits = l.bits;
    const std::size_t bps = static_cast<std::size_t>(r.bytesPerSample);
    const Chunks c = chunksOf(tif.get(), l, bytes, fail);
    const Unpack unpack{l,
                        kind,
                        c,
                        colours,
                        bps,
                        bps * static_cast<std::size_t>(stored),
                        bps * static_cast<std::size_t>(stored) * l.width};

    const ZeroedScratch chunk(c.bytes);
    bool zeroed = true;  // the chunk holds no earlier chunk's pixels yet
    const Scratch band(unpack.bandRowBytes * c.bandH);
    std::vector<unsigned char> kept(dropExtra ? static_cast<std::size_t>(r.rowBytes()) : 0);
    r.data.reserve(static_cast<std::size_t>(r.rowBytes() * l.height));
    for (uint32_t y0 = 0; y0 < l.height; y0 += c.bandH) {
        const uint32_t rows = std::min(c.bandH, l.height - y0);
        for (uint16_t p = 0; p < c.planes; ++p)
            for (uint32_t x0 = 0; x0 < l.width; x0 += c.tileW) {
                file.damage[0] = '\0';
                fail.clear();
                const uint32_t index = c.tiled ? TIFFComputeTile(tif.get(), x0, y0, 0, p)
                                               : TIFFComputeStrip(tif.get(), y0, p);
                // A table of strips or tiles shorter than the image leaves
                // the rest at 0, where libtiff would read the file's header.
                if (TIFFGetStrileOffset(tif.get(), index) == 0)
                    throw fail(std::string(c.tiled ? "tile " : "strip ") + std::to_string(index) +
                               " has no place in the file (its table of strips or tiles is "
                               "short or damaged)");
                // A decoder may leave the end of a chunk unwritten without
                // an error: it is then zeros, never an earlier chunk's pixels.
                if (!zeroed) std::memset(chunk.get(), 0, static_cast<std::size_t>(c.bytes));
                zeroed = false;
                const tmsize_t got = c.tiled ? TIFFReadEncodedTile(tif.get(), index, chunk.get(),
                                                                   static_cast<tmsize_t>(c.bytes))
                                             : TIFFReadEncodedStrip(tif.get(), index, chunk.get(),
                                                                    static_cast<tmsize_t>(c.bytes));
                const uint64_t need = uint64_t{c.tiled ? c.bandH : rows} * c.rowBytes;
                if (got < 0 || static_cast<uint64_t>(got) < need)
                    throw fail.ofLibrary("the file is truncated");
                if (file.damage[0])
                    throw ImageError(name +
                                     ": bad TIFF file: its pixel data is cut short or "
                                     "damaged (" +
                                     withoutRow(file.damage) + ")");
                unpack(chunk.get(), band.get(), rows, x0, std::min(c.tileW, l.width - x0), p);
            }
        for (uint32_t y = 0; y < rows; ++y) {
            const unsigned char* row = band.get() + y * unpack.bandRowBytes;
            if (dropExtra) row = withoutLastSample(row, kept, r);
            checkOpaqueRow(r, row, name);  // refused at the first band
            r.appendRow(row);
        }
    }
    if (l.photometric == PHOTOMETRIC_MINISWHITE) invertGrey(r);
    // Reading only the first of several pages would leave the rest out unseen.
    if (anotherPageFollows(tif.get()))
        throw ImageError(name +
                         ": the TIFF file holds more than one page, and clsg reads one image per "
                         "file: save each page as a file of its own");
    return r;
}

}  // namespace clsg::decoders
