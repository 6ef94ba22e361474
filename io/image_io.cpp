// The format dispatch, the conversions every format shares (16 to 8 bits,
// alpha, masks), file reading and the writers.
#include "clsg/io/image_io.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

#include "clsg/io/image_decode.h"
#include "clsg/io/input_file.h"
#include "clsg/platform/attention.h"

namespace clsg {

namespace decoders {

void checkOpaqueRow(const Raster& r, const unsigned char* row, const std::string& name) {
    if (r.channels != 2 && r.channels != 4) return;
    const std::size_t size = static_cast<std::size_t>(r.bytesPerSample),
                      step = static_cast<std::size_t>(r.channels) * size;
    for (std::size_t i = step - size; i < r.rowBytes(); i += step) {
        uint16_t v = row[i];
        if (size == 2) std::memcpy(&v, row + i, 2);
        if (v != r.maxValue)
            throw ImageError(name +
                             ": the image has transparent pixels (alpha); flatten it onto a "
                             "background colour and save it without an alpha channel");
    }
}

namespace {

// Set while readImageBytes decodes a file's first bytes for the size its
// header declares: checkImageSize then says what it found, and the decoder
// goes no further.
thread_local bool tSizeOnly = false;
struct SizeChecked {
    std::string refusal;  // empty: the size is within the limit
    uint64_t pixels = 0;  // what the header declares, within the sides' limit
};

}  // namespace

void checkImageSize(uint64_t width, uint64_t height, const ReadLimits& limits,
                    const std::string& name) {
    std::string refusal;
    constexpr uint64_t kMaxSide = uint64_t{1} << 30;
    if (width == 0 || height == 0)
        refusal = name + ": the image is empty";
    else if (width > kMaxSide || height > kMaxSide)
        refusal = name + ": the image is too large (" + std::to_string(width) + " x " +
                  std::to_string(height) + " pixels; a side may have at most " +
                  std::to_string(kMaxSide) + ")";
    else if (width * height > limits.maxPixels)
        refusal = name + ": the image is too large (" + std::to_string(width) + " x " +
                  std::to_string(height) + " pixels; the limit is " +
                  std::to_string(limits.maxPixels) + " pixels" +
                  (limits.raise.empty() ? "" : ", " + limits.raise) + ")";
    if (tSizeOnly)
        throw SizeChecked{refusal, width > kMaxSide || height > kMaxSide ? 0 : width * height};
    if (!refusal.empty()) throw ImageError(refusal);
}

}  // namespace decoders

namespace {

using decoders::Raster;

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

enum class Kind { Png, Jpeg, Tiff, Pnm, Bmp, OldPnm, Unknown };

Kind sniff(const unsigned char* b, std::size_t n) {
    if (n >= 8 && png_sig_cmp(b, 0, 8) == 0) return Kind::Png;
    if (n >= 3 && b[0] == 0xff && b[1] == 0xd8 && b[2] == 0xff) return Kind::Jpeg;
    if (n >= 4 && ((b[0] == 'I' && b[1] == 'I' && (b[2] == 42 || b[2] == 43) && b[3] == 0) ||
                   (b[0] == 'M' && b[1] == 'M' && b[2] == 0 && (b[3] == 42 || b[3] == 43))))
        return Kind::Tiff;
    if (n >= 2 && b[0] == 'B' && b[1] == 'M') return Kind::Bmp;
    if (n >= 2 && b[0] == 'P' && (b[1] == '5' || b[1] == '6')) return Kind::Pnm;
    if (n >= 2 && b[0] == 'P' && b[1] >= '1' && b[1] <= '4') return Kind::OldPnm;
    return Kind::Unknown;
}

Raster decode(const std::vector<unsigned char>& b, const std::string& name,
              const ReadLimits& limits) {
    if (b.empty()) throw ImageError(name + ": the file is empty");
    try {
        switch (sniff(b.data(), b.size())) {
            case Kind::Png:
                return decoders::decodePng(b, name, limits);
            case Kind::Jpeg:
                return decoders::decodeJpeg(b, name, limits);
            case Kind::Tiff:
                return decoders::decodeTiff(b, name, limits);
            case Kind::Pnm:
                return decoders::decodePnm(b, name, limits);
            case Kind::Bmp:
                return decoders::decodeBmp(b, name, limits);
            case Kind::OldPnm:
                throw ImageError(name + ": ASCII or bitmap PNM is not supported; use binary " +
                                 "PPM (P6) or PGM (P5)");
            case Kind::Unknown:
                break;
        }
    } catch (const std::bad_alloc&) {
        throw ImageError(name + ": out of memory while reading the image");
    }
    throw ImageError(name + ": not a PNG, JPEG, TIFF, BMP, PPM or PGM file");
}

// One sample of r at index i (in samples), scaled to 8 bits.
struct Scaler {
    const Raster& r;
    unsigned raw(std::size_t i) const {
        if (r.bytesPerSample == 1) return r.data[i];
        uint16_t v;
        std::memcpy(&v, &r.data[2 * i], 2);
        return v;
    }
    unsigned char operator()(std::size_t i) const {
        const unsigned v = raw(i);
        if (r.maxValue == 255) return static_cast<unsigned char>(v);
        return static_cast<unsigned char>((v * 255u + r.maxValue / 2) / r.maxValue);
    }
};

// Refuses an image with an alpha channel unless every pixel is opaque.
void checkOpaque(const Raster& r, const std::string& name) {
    for (uint32_t y = 0; y < r.height; ++y)
        decoders::checkOpaqueRow(r, r.data.data() + y * r.rowBytes(), name);
}

kvPelRect windowOf(const Raster& r) {
    return kvPelRect(0, 0, static_cast<long>(r.width), static_cast<long>(r.height));
}

// ---- Writing ----------------------------------------------------------------

struct PngWriteContext {
    std::FILE* file;
    int error;  // errno of a failed write
    char message[256];
};

void pngWriteError(png_structp png, png_const_charp msg) {
    auto* ctx = static_cast<PngWriteContext*>(png_get_error_ptr(png));
    std::snprintf(ctx->message, sizeof ctx->message, "%s",
                  ctx->error ? std::strerror(ctx->error) : msg);
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp) {}

void pngWriteData(png_structp png, png_bytep data, png_size_t size) {
    auto* ctx = static_cast<PngWriteContext*>(png_get_io_ptr(png));
    if (std::fwrite(data, 1, size, ctx->file) != size) {
        ctx->error = errno ? errno : EIO;
        png_error(png, "write failed");
    }
}
void pngFlush(png_structp) {}

bool pngWriteAll(png_structp png, png_infop info, PngWriteContext* ctx, png_uint_32 width,
                 png_uint_32 height, int colorType, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_write_fn(png, ctx, pngWriteData, pngFlush);
    // Outputs are many and large: favour speed (one filter, fast deflate).
    png_set_compression_level(png, 1);
    png_set_filter(png, 0, PNG_FILTER_UP);
    // Any size PNG allows, as read: the library's default stops at a million
    // pixels a side, which a line-scan image passes.
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
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

// path, when given, is the name opened: a link there is said to be one.
[[noreturn]] void writeFailed(const std::string& shown, int error, const std::string& path = {}) {
    throw ImageError("cannot write " + shown + ": " + writeFailure(path, error));
}

}  // namespace

std::string writeFailure(const std::string& path, int error) {
    struct stat st;
    if (error == ELOOP && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        return "it is a symbolic link, which is never written through: write to the file it "
               "names, or remove the link";
    return std::strerror(error ? error : EIO);
}

int writeFileBytes(const std::string& path, const std::string& data) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int e = n < 0 ? errno : EIO;
            ::close(fd);
            return e;
        }
        done += static_cast<std::size_t>(n);
    }
    return ::close(fd) == 0 ? 0 : errno;
}

namespace {

// Opens path for writing without following a symbolic link at its name.
FilePtr openForWriting(const std::string& path, const std::string& shown) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) writeFailed(shown, errno, path);
    FilePtr f(::fdopen(fd, "wb"));
    if (!f) {
        const int e = errno;
        ::close(fd);
        writeFailed(shown, e);
    }
    return f;
}

void closeWritten(FilePtr f, const std::string& shown) {
    errno = 0;
    const bool bad = std::ferror(f.get()) != 0;
    const int writeErrno = errno;
    if (std::fflush(f.get()) != 0 || bad) writeFailed(shown, errno ? errno : writeErrno);
    if (std::fclose(f.release()) != 0) writeFailed(shown, errno);
}

// rows of width x channels samples each.
void writeRows(const std::string& path, const std::string& shown, uint32_t width, uint32_t height,
               int channels, const std::vector<const unsigned char*>& rows, ImageFormat format) {
    // Refused before the file is opened, which would empty it.
    if (width == 0 || height == 0)
        throw ImageError("cannot write " + shown + ": the image is empty or unbound");
    FilePtr f = openForWriting(path, shown);
    const std::size_t rowBytes = std::size_t{width} * static_cast<std::size_t>(channels);
    if (format == ImageFormat::Pnm) {
        const std::string header = std::string(channels == 3 ? "P6" : "P5") + "\n" +
                                   std::to_string(width) + " " + std::to_string(height) + "\n255\n";
        errno = 0;
        bool ok = std::fwrite(header.data(), 1, header.size(), f.get()) == header.size();
        for (uint32_t y = 0; ok && y < height; ++y)
            ok = std::fwrite(rows[y], 1, rowBytes, f.get()) == rowBytes;
        if (!ok) writeFailed(shown, errno);
        closeWritten(std::move(f), shown);
        return;
    }
    PngWriteContext ctx{f.get(), 0, {0}};
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &ctx, pngWriteError, pngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    const bool ok = png && info &&
                    pngWriteAll(png, info, &ctx, width, height,
                                channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY,
                                const_cast<png_bytepp>(rows.data()));
    png_destroy_write_struct(&png, info ? &info : nullptr);
    if (!ok) throw ImageError("cannot write " + shown + ": " + ctx.message);
    closeWritten(std::move(f), shown);
}

}  // namespace

ImageFormat formatForPath(const std::string& path) {
    return endsWith(path, ".ppm") || endsWith(path, ".pgm") || endsWith(path, ".pnm")
               ? ImageFormat::Pnm
               : ImageFormat::Png;
}

bool hasImageExtension(const std::string& path) {
    for (const char* e : {".png", ".jpg", ".jpeg", ".jpe", ".jfif", ".tif", ".tiff", ".bmp", ".ppm",
                          ".pgm", ".pnm"})
        if (endsWith(path, e)) return true;
    return false;
}

std::string jpegCompressed(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
    unsigned char head[4] = {};
    InputFile f(path);
    const Kind kind = f.isOpen() ? sniff(head, f.read(head, sizeof head)) : Kind::Unknown;
    if (kind == Kind::Jpeg) return "a JPEG";
    if (kind == Kind::Tiff && decoders::tiffCompressedAsJpeg(path))
        return "a TIFF compressed as JPEG";
    return "";
}

kv3PlanePelBuffer decodeColorImage(const std::vector<unsigned char>& bytes, const std::string& name,
                                   const ReadLimits& limits) {
    const Raster r = decode(bytes, name, limits);
    checkOpaque(r, name);
    if (limits.exactValues && (r.maxValue != 255 || r.widenedBits))
        throw ImageError(name + ": its samples " +
                         (r.widenedBits ? "have " + std::to_string(r.widenedBits) +
                                              (r.widenedBits == 1 ? " bit, not 8" : " bits, not 8")
                                        : "run to " + std::to_string(r.maxValue) + ", not 255") +
                         "; values that stand for labels must be 8-bit samples (save "
                         "it with 8 bits per sample)");
    kv3PlanePelBuffer image(windowOf(r));
    const Scaler s{r};
    const std::size_t c = static_cast<std::size_t>(r.channels);
    const bool grey = r.channels < 3;
    std::size_t i = 0;
    for (long y = 0; y < image.height(); ++y) {
        unsigned char* p[3] = {image.plane0().pointToRow(y), image.plane1().pointToRow(y),
                               image.plane2().pointToRow(y)};
        for (long x = 0; x < image.width(); ++x, i += c) {
            p[0][x] = s(i);
            p[1][x] = grey ? p[0][x] : s(i + 1);
            p[2][x] = grey ? p[0][x] : s(i + 2);
        }
    }
    return image;
}

kvPelBuffer<unsigned char> decodeGreyImage(const std::vector<unsigned char>& bytes,
                                           const std::string& name, const ReadLimits& limits) {
    const Raster r = decode(bytes, name, limits);
    checkOpaque(r, name);
    if (r.channels > 2)
        throw ImageError(name + ": expected a greyscale image (this one is colour)");
    kvPelBuffer<unsigned char> image(windowOf(r));
    const Scaler s{r};
    std::size_t i = 0;
    for (long y = 0; y < image.height(); ++y) {
        unsigned char* row = image.pointToRow(y);
        for (long x = 0; x < image.width(); ++x, i += static_cast<std::size_t>(r.channels))
            row[x] = s(i);
    }
    return image;
}

kvPelBuffer<unsigned char> decodeMaskImage(const std::vector<unsigned char>& bytes,
                                           const std::string& name, const ReadLimits& limits) {
    const Raster r = decode(bytes, name, limits);
    checkOpaque(r, name);
    kvPelBuffer<unsigned char> mask(windowOf(r));
    const Scaler s{r};
    const std::size_t c = static_cast<std::size_t>(r.channels);
    const std::size_t colours = r.channels < 3 ? 1 : 3;
    std::size_t i = 0;
    for (long y = 0; y < mask.height(); ++y) {
        unsigned char* row = mask.pointToRow(y);
        for (long x = 0; x < mask.width(); ++x, i += c) {
            bool any = false;
            for (std::size_t k = 0; k < colours; ++k) any = any || s.raw(i + k) != 0;
            row[x] = any ? 255 : 0;
        }
    }
    return mask;
}

std::vector<unsigned char> readFileBytes(const std::string& path, uint64_t maxBytes) {
    InputFile f(path);
    if (!f.isOpen()) throw ImageError("cannot open " + path + ": " + std::strerror(f.error()));
    const auto tooLarge = [&] {
        return ImageError(path + ": the file is larger than " + std::to_string(maxBytes) +
                          " bytes");
    };
    // A file's size is known at once: one too large is refused unread, and
    // another read into one buffer of its size.
    if (f.sizeHint() > maxBytes) throw tooLarge();
    std::vector<unsigned char> bytes;
    bytes.reserve(static_cast<std::size_t>(f.sizeHint()));
    unsigned char chunk[65536];
    for (;;) {
        const std::size_t n = f.read(chunk, sizeof chunk);
        if (bytes.size() + n > maxBytes) throw tooLarge();
        bytes.insert(bytes.end(), chunk, chunk + n);
        if (n < sizeof chunk) break;
    }
    if (f.error()) throw ImageError("cannot read " + path + ": " + std::strerror(f.error()));
    return bytes;
}

namespace {

// What the header at the start of a file (its first bytes, prefix) declares:
// the refusal when it is beyond the limits ("" when it fits), and its pixels
// (0 when they cannot be told from these bytes alone).
decoders::SizeChecked sizeFound(const unsigned char* prefix, std::size_t n, const std::string& path,
                                const ReadLimits& limits) {
    struct Flag {
        Flag() { decoders::tSizeOnly = true; }
        ~Flag() { decoders::tSizeOnly = false; }
    } flag;
    try {
        decode(std::vector<unsigned char>(prefix, prefix + n), path, limits);
    } catch (const decoders::SizeChecked& checked) {
        return checked;
    } catch (const ImageError&) {  // the header lies further on, or the rest is missing
    }
    return {};
}

// The file's bytes once its first bytes show an image format this reader
// takes; at most what an image within the limits can take (8 bytes a pixel
// and 64 MiB for metadata), and for a PPM or PGM, which holds its pixels and
// nothing else, what the image its header declares can take. (Other formats
// may hold far more than their first image: layers, reduced copies.)
std::vector<unsigned char> readImageBytes(const std::string& path, const ReadLimits& limits) {
    InputFile f(path);
    if (!f.isOpen()) throw ImageError("cannot open " + path + ": " + std::strerror(f.error()));
    constexpr uint64_t kSlack = uint64_t{64} << 20;
    uint64_t maxBytes = decoders::bytesForPixels(limits.maxPixels, 8, kSlack), declared = 0;
    const auto tooLarge = [&]() {
        if (declared != 0)
            return ImageError(path + ": the file is larger than an image of the " +
                              std::to_string(declared) + " pixels its header declares can be");
        return ImageError(path + ": the file is larger than an image within the pixel " +
                          "limit can be" + (limits.raise.empty() ? "" : " (" + limits.raise + ")"));
    };
    std::vector<unsigned char> bytes;
    unsigned char chunk[65536];
    for (bool first = true;; first = false) {
        // A large file read from a slow disk still stops at Ctrl-C.
        kfThrowExceptionOnFailure(ksys_attention_check());
        const std::size_t n = f.read(chunk, sizeof chunk);
        if (f.error()) throw ImageError("cannot read " + path + ": " + std::strerror(f.error()));
        if (first && n > 0 && sniff(chunk, n) == Kind::Unknown)
            throw ImageError(path + ": not a PNG, JPEG, TIFF, BMP, PPM or PGM file");
        // More to come: an image over the limit is refused by its header,
        // unread, and a PPM far larger than its image (a pipe that never
        // ends) once it passes what that image can take.
        if (first && n == sizeof chunk) {
            const decoders::SizeChecked found = sizeFound(chunk, n, path, limits);
            if (!found.refusal.empty()) throw ImageError(found.refusal);
            const uint64_t own = decoders::bytesForPixels(found.pixels, 8, kSlack);
            if (sniff(chunk, n) == Kind::Pnm && found.pixels != 0 && own < maxBytes)
                maxBytes = own, declared = found.pixels;
        }
        // A file's size is known at once: one too large is refused unread, and
        // another read into one buffer of its size.
        if (first && f.sizeHint() > maxBytes) throw tooLarge();
        if (first) bytes.reserve(static_cast<std::size_t>(f.sizeHint()));
        if (bytes.size() + n > maxBytes) throw tooLarge();
        bytes.insert(bytes.end(), chunk, chunk + n);
        if (n < sizeof chunk) break;
    }
    return bytes;
}

}  // namespace

kv3PlanePelBuffer readColorImage(const std::string& path, const ReadLimits& limits) {
    return decodeColorImage(readImageBytes(path, limits), path, limits);
}

kvPelBuffer<unsigned char> readGreyImage(const std::string& path, const ReadLimits& limits) {
    return decodeGreyImage(readImageBytes(path, limits), path, limits);
}

kvPelBuffer<unsigned char> readMaskImage(const std::string& path, const ReadLimits& limits) {
    return decodeMaskImage(readImageBytes(path, limits), path, limits);
}

void writeColorImage(const std::string& path, const kv3PlanePelBuffer_const& image,
                     ImageFormat format, const std::string& shownName) {
    const kvPelRect& w = image.window();
    const uint32_t width = static_cast<uint32_t>(w.width()),
                   height = static_cast<uint32_t>(w.height());
    std::vector<unsigned char> samples(std::size_t{width} * height * 3);
    std::vector<const unsigned char*> rows(height);
    unsigned char* dst = samples.data();
    for (long y = w.top(); y < w.bottom(); ++y) {
        rows[static_cast<std::size_t>(y - w.top())] = dst;
        const unsigned char* p0 = image.plane0().pointToRow(y);
        const unsigned char* p1 = image.plane1().pointToRow(y);
        const unsigned char* p2 = image.plane2().pointToRow(y);
        for (long x = 0; x < w.width(); ++x, dst += 3) {
            dst[0] = p0[x];
            dst[1] = p1[x];
            dst[2] = p2[x];
        }
    }
    writeRows(path, shownName.empty() ? path : shownName, width, height, 3, rows, format);
}

void writeGreyImage(const std::string& path, const kvPelBuffer_const<unsigned char>& image,
                    ImageFormat format, const std::string& shownName) {
    const kvPelRect& w = image.window();
    std::vector<const unsigned char*> rows;
    for (long y = w.top(); y < w.bottom(); ++y) rows.push_back(image.pointToRow(y));
    writeRows(path, shownName.empty() ? path : shownName, static_cast<uint32_t>(w.width()),
              static_cast<uint32_t>(w.height()), 1, rows, format);
}

}  // namespace clsg
