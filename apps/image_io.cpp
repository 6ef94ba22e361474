// PNG goes through libpng, whose errors arrive by longjmp: every libpng call
// sits in a small function below that holds setjmp and no C++ object, so the
// jump never skips a destructor. The C++ callers own all memory.
#include "apps/image_io.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Larger images are refused before anything is allocated.
constexpr unsigned long kMaxSide = 1UL << 16;
constexpr unsigned long kMaxPels = 1UL << 28;

// Interleaved 8-bit samples, channels 1 (grey) or 3 (RGB).
struct Raster {
    unsigned long width = 0, height = 0;
    int channels = 0;
    std::vector<unsigned char> samples;
};

void checkSize(unsigned long width, unsigned long height, const std::string& name) {
    if (width == 0 || height == 0) throw ImageError(name + ": the image is empty");
    if (width > kMaxSide || height > kMaxSide || width * height > kMaxPels)
        throw ImageError(name + ": the image is too large (" + std::to_string(width) + " x " +
                         std::to_string(height) + ")");
}

bool endsWith(const std::string& s, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    if (s.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char c = s[s.size() - n + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i]) return false;
    }
    return true;
}

// ---- PNG reading ------------------------------------------------------------

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
    int bitDepth, colorType;
    bool hasTransparency;
};

bool pngReadHeader(png_structp png, png_infop info, PngHeader* h) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_user_limits(png, kMaxSide, kMaxSide);
    png_read_info(png, info);
    int interlace, compression, filter;
    png_get_IHDR(png, info, &h->width, &h->height, &h->bitDepth, &h->colorType, &interlace,
                 &compression, &filter);
    h->hasTransparency = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    return true;
}

// Sets the conversions to 8-bit samples of the wanted channel count; returns
// the decoded row size in *rowBytes.
bool pngSetTransforms(png_structp png, png_infop info, int colorType, bool toRgb,
                      png_size_t* rowBytes) {
    if (setjmp(png_jmpbuf(png))) return false;
    if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colorType == PNG_COLOR_TYPE_GRAY) {
        png_set_expand_gray_1_2_4_to_8(png);
        if (toRgb) png_set_gray_to_rgb(png);
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    *rowBytes = png_get_rowbytes(png, info);
    return true;
}

bool pngReadRows(png_structp png, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    return true;
}

struct PngReadGuard {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngReadGuard() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

Raster decodePng(const std::vector<unsigned char>& bytes, const std::string& name, bool toRgb) {
    PngContext ctx{bytes.data(), bytes.size(), 0, {0}};
    PngReadGuard g;
    g.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &ctx, pngError, pngWarning);
    if (g.png) g.info = png_create_info_struct(g.png);
    if (!g.png || !g.info) throw ImageError(name + ": out of memory");
    png_set_read_fn(g.png, &ctx, pngReadData);
    const auto fail = [&]() { return ImageError(name + ": bad PNG file: " + ctx.message); };

    PngHeader h{};
    if (!pngReadHeader(g.png, g.info, &h)) throw fail();
    checkSize(h.width, h.height, name);
    if (h.bitDepth == 16)
        throw ImageError(name + ": 16-bit PNG samples are not supported; save it with 8 bits " +
                         "per sample");
    if ((h.colorType & PNG_COLOR_MASK_ALPHA) || h.hasTransparency)
        throw ImageError(name + ": PNG with transparency (alpha) is not supported; save it " +
                         "without an alpha channel");
    if (!toRgb && h.colorType != PNG_COLOR_TYPE_GRAY)
        throw ImageError(name + ": a mask must be a greyscale image (this PNG is " +
                         (h.colorType == PNG_COLOR_TYPE_PALETTE ? "palette" : "colour") + ")");

    Raster r;
    r.width = h.width;
    r.height = h.height;
    r.channels = toRgb ? 3 : 1;
    png_size_t rowBytes = 0;
    if (!pngSetTransforms(g.png, g.info, h.colorType, toRgb, &rowBytes)) throw fail();
    if (rowBytes != r.width * static_cast<unsigned long>(r.channels))
        throw ImageError(name + ": unexpected PNG layout");
    r.samples.resize(rowBytes * r.height);
    std::vector<png_bytep> rows(r.height);
    for (unsigned long y = 0; y < r.height; ++y) rows[y] = r.samples.data() + y * rowBytes;
    if (!pngReadRows(g.png, rows.data())) throw fail();
    return r;
}

// ---- PNM reading ------------------------------------------------------------

// Reads one header number after whitespace and '#' comments.
unsigned long pnmNumber(const std::vector<unsigned char>& b, std::size_t& pos,
                        const std::string& name) {
    for (;;) {
        while (pos < b.size() && std::strchr(" \t\r\n\v\f", b[pos]) && b[pos] != 0) ++pos;
        if (pos < b.size() && b[pos] == '#') {
            while (pos < b.size() && b[pos] != '\n' && b[pos] != '\r') ++pos;
            continue;
        }
        break;
    }
    if (pos >= b.size() || b[pos] < '0' || b[pos] > '9')
        throw ImageError(name + ": bad PPM/PGM header");
    unsigned long v = 0;
    while (pos < b.size() && b[pos] >= '0' && b[pos] <= '9') {
        if (v > 10000000) throw ImageError(name + ": bad PPM/PGM header (number too large)");
        v = v * 10 + static_cast<unsigned long>(b[pos] - '0');
        ++pos;
    }
    return v;
}

Raster decodePnm(const std::vector<unsigned char>& b, const std::string& name, bool toRgb) {
    const bool colour = b[1] == '6';
    if (!toRgb && colour)
        throw ImageError(name + ": a mask must be a greyscale image (this is a colour PPM)");
    std::size_t pos = 2;
    Raster r;
    r.width = pnmNumber(b, pos, name);
    r.height = pnmNumber(b, pos, name);
    const unsigned long maxval = pnmNumber(b, pos, name);
    if (pos >= b.size() || !std::strchr(" \t\r\n\v\f", b[pos]) || b[pos] == 0)
        throw ImageError(name + ": bad PPM/PGM header");
    ++pos;  // the single whitespace before the samples
    checkSize(r.width, r.height, name);
    if (maxval > 255) throw ImageError(name + ": 16-bit PPM/PGM samples are not supported");
    if (maxval != 255)
        throw ImageError(name + ": PPM/PGM maxval " + std::to_string(maxval) +
                         " is not supported; only 255 is");
    const int inChannels = colour ? 3 : 1;
    const std::size_t count = r.width * r.height * static_cast<unsigned long>(inChannels);
    if (b.size() - pos < count) throw ImageError(name + ": the file is truncated");
    r.channels = toRgb ? 3 : 1;
    if (r.channels == inChannels) {
        r.samples.assign(b.begin() + static_cast<std::ptrdiff_t>(pos),
                         b.begin() + static_cast<std::ptrdiff_t>(pos + count));
    } else {  // grey to RGB
        r.samples.resize(count * 3);
        for (std::size_t i = 0; i < count; ++i)
            r.samples[3 * i] = r.samples[3 * i + 1] = r.samples[3 * i + 2] = b[pos + i];
    }
    return r;
}

Raster decode(const std::vector<unsigned char>& b, const std::string& name, bool toRgb) {
    if (b.empty()) throw ImageError(name + ": the file is empty");
    if (b.size() >= 8 && png_sig_cmp(b.data(), 0, 8) == 0) return decodePng(b, name, toRgb);
    if (b.size() >= 2 && b[0] == 'P' && (b[1] == '5' || b[1] == '6'))
        return decodePnm(b, name, toRgb);
    if (b.size() >= 2 && b[0] == 'P' && b[1] >= '1' && b[1] <= '4')
        throw ImageError(name + ": ASCII or bitmap PNM is not supported; use binary PPM (P6) " +
                         "or PGM (P5)");
    throw ImageError(name + ": not a PNG, PPM or PGM file");
}

// ---- Writing ----------------------------------------------------------------

struct PngWriteContext {
    char message[256];
};

void pngWriteError(png_structp png, png_const_charp msg) {
    auto* ctx = static_cast<PngWriteContext*>(png_get_error_ptr(png));
    std::snprintf(ctx->message, sizeof ctx->message, "%s", msg);
    png_longjmp(png, 1);
}

bool pngWriteAll(png_structp png, png_infop info, std::FILE* file, png_uint_32 width,
                 png_uint_32 height, int colorType, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 8, colorType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return true;
}

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

FilePtr openForWriting(const std::string& path) {
    FilePtr f(std::fopen(path.c_str(), "wb"));
    if (!f) throw ImageError("cannot write " + path + ": " + std::strerror(errno));
    return f;
}

void closeWritten(FilePtr f, const std::string& path) {
    const bool bad = std::ferror(f.get()) != 0;
    if (std::fclose(f.release()) != 0 || bad)
        throw ImageError("cannot write " + path + ": " + std::strerror(errno));
}

void writeRaster(const std::string& path, const Raster& r, ImageFormat format) {
    FilePtr f = openForWriting(path);
    if (format == ImageFormat::Pnm) {
        const std::string header = std::string(r.channels == 3 ? "P6" : "P5") + "\n" +
                                   std::to_string(r.width) + " " + std::to_string(r.height) +
                                   "\n255\n";
        std::fwrite(header.data(), 1, header.size(), f.get());
        std::fwrite(r.samples.data(), 1, r.samples.size(), f.get());
        closeWritten(std::move(f), path);
        return;
    }
    PngWriteContext ctx{{0}};
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &ctx, pngWriteError, pngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    std::vector<png_bytep> rows(r.height);
    const std::size_t rowBytes = r.width * static_cast<unsigned long>(r.channels);
    for (unsigned long y = 0; y < r.height; ++y)
        rows[y] = const_cast<png_bytep>(r.samples.data() + y * rowBytes);
    const bool ok =
        png && info &&
        pngWriteAll(png, info, f.get(), static_cast<png_uint_32>(r.width),
                    static_cast<png_uint_32>(r.height),
                    r.channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, rows.data());
    png_destroy_write_struct(&png, info ? &info : nullptr);
    if (!ok) throw ImageError("cannot write " + path + ": " + ctx.message);
    closeWritten(std::move(f), path);
}

}  // namespace

ImageFormat formatForPath(const std::string& path) {
    return endsWith(path, ".ppm") || endsWith(path, ".pgm") || endsWith(path, ".pnm")
               ? ImageFormat::Pnm
               : ImageFormat::Png;
}

kv3PlanePelBuffer decodeColorImage(const std::vector<unsigned char>& bytes,
                                   const std::string& name) {
    const Raster r = decode(bytes, name, true);
    kv3PlanePelBuffer image(
        kvPelRect(0, 0, static_cast<long>(r.width), static_cast<long>(r.height)));
    const unsigned char* src = r.samples.data();
    for (long y = 0; y < image.height(); ++y) {
        unsigned char* p0 = image.plane0().pointToRow(y);
        unsigned char* p1 = image.plane1().pointToRow(y);
        unsigned char* p2 = image.plane2().pointToRow(y);
        for (long x = 0; x < image.width(); ++x, src += 3) {
            p0[x] = src[0];
            p1[x] = src[1];
            p2[x] = src[2];
        }
    }
    return image;
}

kvPelBuffer<unsigned char> decodeGreyImage(const std::vector<unsigned char>& bytes,
                                           const std::string& name) {
    const Raster r = decode(bytes, name, false);
    kvPelBuffer<unsigned char> image(
        kvPelRect(0, 0, static_cast<long>(r.width), static_cast<long>(r.height)));
    for (long y = 0; y < image.height(); ++y)
        std::memcpy(image.pointToRow(y), r.samples.data() + y * image.width(),
                    static_cast<std::size_t>(image.width()));
    return image;
}

std::vector<unsigned char> readFileBytes(const std::string& path) {
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f) throw ImageError("cannot open " + path + ": " + std::strerror(errno));
    std::vector<unsigned char> bytes;
    unsigned char chunk[65536];
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, f.get());
        bytes.insert(bytes.end(), chunk, chunk + n);
        if (n < sizeof chunk) break;
    }
    if (std::ferror(f.get())) throw ImageError("cannot read " + path + ": " + std::strerror(errno));
    return bytes;
}

kv3PlanePelBuffer readColorImage(const std::string& path) {
    return decodeColorImage(readFileBytes(path), path);
}

kvPelBuffer<unsigned char> readGreyImage(const std::string& path) {
    return decodeGreyImage(readFileBytes(path), path);
}

void writeColorImage(const std::string& path, const kv3PlanePelBuffer_const& image,
                     ImageFormat format) {
    Raster r;
    r.width = static_cast<unsigned long>(image.width());
    r.height = static_cast<unsigned long>(image.height());
    r.channels = 3;
    r.samples.resize(r.width * r.height * 3);
    unsigned char* dst = r.samples.data();
    const kvPelRect& w = image.window();
    for (long y = w.top(); y < w.bottom(); ++y) {
        const unsigned char* p0 = image.plane0().pointToRow(y);
        const unsigned char* p1 = image.plane1().pointToRow(y);
        const unsigned char* p2 = image.plane2().pointToRow(y);
        for (long x = 0; x < w.width(); ++x, dst += 3) {
            dst[0] = p0[x];
            dst[1] = p1[x];
            dst[2] = p2[x];
        }
    }
    writeRaster(path, r, format);
}

void writeGreyImage(const std::string& path, const kvPelBuffer_const<unsigned char>& image,
                    ImageFormat format) {
    Raster r;
    r.width = static_cast<unsigned long>(image.width());
    r.height = static_cast<unsigned long>(image.height());
    r.channels = 1;
    r.samples.resize(r.width * r.height);
    const kvPelRect& w = image.window();
    for (long y = w.top(); y < w.bottom(); ++y)
        std::memcpy(r.samples.data() + (y - w.top()) * w.width(), image.pointToRow(y),
                    static_cast<std::size_t>(w.width()));
    writeRaster(path, r, format);
}
