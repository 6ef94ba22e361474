// PNG through libpng, whose errors arrive by longjmp: every libpng call sits
// in a small function below that holds setjmp and no C++ object, so the jump
// never skips a destructor. The C++ callers own all memory.
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>

#include "clsg/io/image_decode.h"

namespace clsg::decoders {
namespace {

// Deflate turns at most about 1032 bytes into one; more raw data than that
// cannot come from the file.
constexpr uint64_t kMaxDeflateRatio = 1032;

struct PngContext {
    const unsigned char* data;
    std::size_t size;
    std::size_t pos;
    char message[256];
};

void pngError(png_structp png, png_const_charp msg) {
    auto* ctx = static_cast<PngContext*>(png_get_error_ptr(png));
    std::snprintf(ctx->message, sizeof ctx->message, "%s", msg);
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp) {}

void pngReadData(png_structp png, png_bytep out, png_size_t count) {
    auto* ctx = static_cast<PngContext*>(png_get_io_ptr(png));
    if (count > ctx->size - ctx->pos) png_error(png, "the file is truncated");
    std::memcpy(out, ctx->data + ctx->pos, count);
    ctx->pos += count;
}

struct PngHeader {
    png_uint_32 width, height;
    int bitDepth, colorType, interlace;
    bool hasTrns;
    png_colorp palette;
    int paletteSize;
    png_bytep paletteAlpha;
    int paletteAlphaSize;
};

bool pngReadHeader(png_structp png, png_infop info, PngHeader* h) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
    // Text, profiles and suggested palettes are never used, and compressed
    // ones could cost gigabytes for a file of a few MB: skipped unread. The
    // limits below bound the chunks libpng still keeps.
    static const png_byte kSkipped[] = "tEXt\0zTXt\0iTXt\0iCCP\0sPLT\0eXIf";
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, kSkipped, 6);
    png_set_chunk_cache_max(png, 256);
    png_set_chunk_malloc_max(png, 1 << 20);
    png_read_info(png, info);
    int compression, filter;
    png_get_IHDR(png, info, &h->width, &h->height, &h->bitDepth, &h->colorType, &h->interlace,
                 &compression, &filter);
    h->hasTrns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    h->palette = nullptr;
    h->paletteSize = 0;
    h->paletteAlpha = nullptr;
    h->paletteAlphaSize = 0;
    if (h->colorType == PNG_COLOR_TYPE_PALETTE) {
        png_get_PLTE(png, info, &h->palette, &h->paletteSize);
        if (h->hasTrns) png_get_tRNS(png, info, &h->paletteAlpha, &h->paletteAlphaSize, nullptr);
    }
    return true;
}

// Expands to 8 or 16-bit grey, grey-alpha, RGB or RGBA; 16-bit samples in
// host order; palette images to one 8-bit index a pixel (mapped below, where
// an index beyond the palette is caught: libpng misses the first one).
// Returns the decoded channel count and row size.
bool pngSetTransforms(png_structp png, png_infop info, const PngHeader& h, int* channels,
                      png_size_t* rowBytes) {
    if (setjmp(png_jmpbuf(png))) return false;
    if (h.colorType == PNG_COLOR_TYPE_PALETTE) png_set_packing(png);
    if (h.colorType == PNG_COLOR_TYPE_GRAY && h.bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (h.hasTrns && h.colorType != PNG_COLOR_TYPE_PALETTE) png_set_tRNS_to_alpha(png);
    if (h.bitDepth == 16) png_set_swap(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    *channels = png_get_channels(png, info);
    *rowBytes = png_get_rowbytes(png, info);
    return true;
}

bool pngReadRow(png_structp png, png_bytep row) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_row(png, row, nullptr);
    return true;
}

bool pngReadImage(png_structp png, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_image(png, rows);
    return true;
}

bool pngReadEnd(png_structp png) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_end(png, nullptr);
    return true;
}

// The bytes of the image's rows as the file stores them, before they are
// compressed (each row with its filter byte): what the file must hold at the
// deflate ratio, however wide the rows are once expanded.
uint64_t storedBytes(const PngHeader& h) {
    int samples = 1;  // grey and palette
    if (h.colorType == PNG_COLOR_TYPE_GRAY_ALPHA) samples = 2;
    if (h.colorType == PNG_COLOR_TYPE_RGB) samples = 3;
    if (h.colorType == PNG_COLOR_TYPE_RGB_ALPHA) samples = 4;
    const uint64_t bits = uint64_t{h.width} * static_cast<uint64_t>(samples * h.bitDepth);
    return uint64_t{h.height} * ((bits + 7) / 8 + 1);
}

// What an animated PNG declares before its image data: its frames (acTL; 1
// for a still image) and whether the image data is the first of them (an
// fcTL before it). An image that is no frame is what viewers without
// animation show, never what the animation shows.
struct PngAnimation {
    uint32_t frames = 1;
    bool animated = false, imageIsFrame = false;
};

uint32_t be32(const std::vector<unsigned char>& bytes, std::size_t at) {
    return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 |
           uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
}

// Calls visit(type, at, length) for the chunks in file order until it
// returns false or the chunks end; a length past the end of the file is
// clipped to what the file holds, and ends the walk.
template <typename Visit>
void forEachChunk(const std::vector<unsigned char>& bytes, Visit visit) {
    for (std::size_t at = 8; at + 12 <= bytes.size();) {
        const uint32_t length = be32(bytes, at);
        const std::string type(reinterpret_cast<const char*>(&bytes[at + 4]), 4);
        const std::size_t held = std::min<std::size_t>(length, bytes.size() - at - 12);
        if (!visit(type, at, held) || held < length) return;
        at += 12 + held;
    }
}

PngAnimation pngAnimation(const std::vector<unsigned char>& bytes) {
    PngAnimation a;
    forEachChunk(bytes, [&](const std::string& type, std::size_t at, std::size_t length) {
        if (type == "IDAT") return false;
        if (type == "acTL" && length >= 8) {
            a.animated = true;
            a.frames = be32(bytes, at + 8);
        }
        if (type == "fcTL") a.imageIsFrame = true;
        return true;
    });
    return a;
}

// The compressed image data the file holds: its IDAT chunks. Other chunks
// (padding in a private chunk, say) cannot decode to rows.
uint64_t imageDataBytes(const std::vector<unsigned char>& bytes) {
    uint64_t held = 0;
    forEachChunk(bytes, [&](const std::string& type, std::size_t, std::size_t length) {
        if (type == "IDAT") held += length;
        return type != "IEND";
    });
    return held;
}

struct PngReadGuard {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngReadGuard() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

}  // namespace

Raster decodePng(const std::vector<unsigned char>& bytes, const std::string& name,
                 const ReadLimits& limits) {
    PngContext ctx{bytes.data(), bytes.size(), 0, {0}};
    PngReadGuard g;
    g.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &ctx, pngError, pngWarning);
    if (g.png) g.info = png_create_info_struct(g.png);
    if (!g.png || !g.info) throw std::bad_alloc();
    png_set_read_fn(g.png, &ctx, pngReadData);
    const auto fail = [&]() { return ImageError(name + ": bad PNG file: " + ctx.message); };

    PngHeader h{};
    if (!pngReadHeader(g.png, g.info, &h)) throw fail();
    // Reading only the first of several frames would leave the rest out unseen;
    // an image that is no frame is not the picture the animation shows.
    if (const PngAnimation a = pngAnimation(bytes); a.frames > 1)
        throw ImageError(name + ": the PNG file is animated (" + std::to_string(a.frames) +
                         " frames), and clsg reads one image per file: save each frame as a "
                         "file of its own");
    else if (a.animated && !a.imageIsFrame)
        throw ImageError(name +
                         ": the PNG file is animated, and its image is not the frame "
                         "it shows: save the frame as a file of its own");
    checkImageSize(h.width, h.height, limits, name);
    // Rows its image data cannot hold at deflate's best ratio are not decoded,
    // nor made room for: libpng's row buffers alone are the declared width.
    const uint64_t held = imageDataBytes(bytes);
    if (storedBytes(h) > held * kMaxDeflateRatio)
        throw ImageError(name + ": bad PNG file: the file is truncated");

    Raster r;
    r.width = h.width;
    r.height = h.height;
    r.bytesPerSample = h.bitDepth == 16 ? 2 : 1;
    r.maxValue = h.bitDepth == 16 ? 65535 : 255;
    if (h.colorType == PNG_COLOR_TYPE_GRAY && h.bitDepth < 8) r.widenedBits = h.bitDepth;
    png_size_t rowBytes = 0;
    if (!pngSetTransforms(g.png, g.info, h, &r.channels, &rowBytes)) throw fail();
    const bool palette = h.colorType == PNG_COLOR_TYPE_PALETTE;
    if (palette) {
        if (rowBytes != r.width) throw ImageError(name + ": unexpected PNG layout");
        r.channels = h.hasTrns ? 4 : 3;
    } else if (rowBytes != r.rowBytes()) {
        throw ImageError(name + ": unexpected PNG layout");
    }
    // Palette indices to RGB(A) in place, back to front.
    const auto mapPalette = [&](unsigned char* row) {
        const int c = r.channels;
        for (uint32_t x = r.width; x-- > 0;) {
            const int index = row[x];
            if (index >= h.paletteSize)
                throw ImageError(name + ": bad PNG file: a pixel uses a colour beyond the palette");
            unsigned char* out = row + std::size_t{x} * static_cast<std::size_t>(c);
            const png_color colour = h.palette[index];
            if (c == 4) out[3] = index < h.paletteAlphaSize ? h.paletteAlpha[index] : 255;
            out[2] = colour.blue;
            out[1] = colour.green;
            out[0] = colour.red;
        }
    };

    if (h.interlace == PNG_INTERLACE_NONE) {
        // Room for the rows the file can hold, at once: no copies as they
        // arrive. A transparent image is refused at its first such row.
        const uint64_t fit = held * kMaxDeflateRatio / (rowBytes + 1);
        r.data.reserve(static_cast<std::size_t>(std::min<uint64_t>(r.height, fit) * r.rowBytes()));
        std::vector<unsigned char> row(r.rowBytes());
        for (uint32_t y = 0; y < r.height; ++y) {
            if (!pngReadRow(g.png, row.data())) throw fail();
            if (palette) mapPalette(row.data());
            checkOpaqueRow(r, row.data(), name);
            r.appendRow(row.data());
        }
    } else if (palette) {
        std::vector<unsigned char> indices(rowBytes * r.height);
        std::vector<png_bytep> rows(r.height);
        for (uint32_t y = 0; y < r.height; ++y) rows[y] = indices.data() + y * rowBytes;
        if (!pngReadImage(g.png, rows.data())) throw fail();
        std::vector<unsigned char> row(r.rowBytes());
        for (uint32_t y = 0; y < r.height; ++y) {
            std::memcpy(row.data(), rows[y], rowBytes);
            mapPalette(row.data());
            r.appendRow(row.data());
        }
    } else {
        r.data.resize(rowBytes * r.height);
        std::vector<png_bytep> rows(r.height);
        for (uint32_t y = 0; y < r.height; ++y) rows[y] = r.data.data() + y * rowBytes;
        if (!pngReadImage(g.png, rows.data())) throw fail();
    }
    if (!pngReadEnd(g.png)) throw fail();
    return r;
}

}  // namespace clsg::decoders
