// JPEG through libjpeg(-turbo), whose errors arrive by longjmp: as with PNG,
// every library call sits in a small function that holds setjmp and no C++
// object. Its warnings (a truncated file, corrupt data) are failures here: a
// half-grey photograph would train or segment silently wrong.
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <new>

// jpeglib.h needs size_t and FILE declared first.
// clang-format off
#include <jpeglib.h>
// clang-format on

#include "clsg/io/image_decode.h"

namespace clsg::decoders {
namespace {

// Every scan of a progressive file costs a pass over the whole image; the
// usual scripts have 10 or so. A file with hundreds (each a few bytes) would
// take minutes to decode.
constexpr int kMaxScans = 100;

struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

// Called as the library consumes input; stops a file past kMaxScans.
void jpegProgress(j_common_ptr common) {
    auto* cinfo = reinterpret_cast<j_decompress_ptr>(common);
    if (cinfo->input_scan_number <= kMaxScans) return;
    auto* err = reinterpret_cast<JpegError*>(common->err);
    std::snprintf(err->message, sizeof err->message,
                  "more than %d progressive scans (a file this reader will not spend the time on)",
                  kMaxScans);
    std::longjmp(err->jump, 1);
}

[[noreturn]] void jpegErrorExit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<JpegError*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

void jpegMessage(j_common_ptr cinfo, int level) {
    if (level < 0) jpegErrorExit(cinfo);  // a warning: corrupt data
}

bool jpegReadHeader(jpeg_decompress_struct* cinfo, JpegError* err, const unsigned char* data,
                    std::size_t size) {
    if (setjmp(err->jump)) return false;
    jpeg_create_decompress(cinfo);
    jpeg_mem_src(cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(cinfo, TRUE);
    return true;
}

bool jpegStart(jpeg_decompress_struct* cinfo, JpegError* err, long maxMemory) {
    if (setjmp(err->jump)) return false;
    cinfo->out_color_space = cinfo->jpeg_color_space == JCS_GRAYSCALE ? JCS_GRAYSCALE : JCS_RGB;
    cinfo->mem->max_memory_to_use = maxMemory;
    jpeg_start_decompress(cinfo);
    return true;
}

bool jpegReadRow(jpeg_decompress_struct* cinfo, JpegError* err, unsigned char* row) {
    if (setjmp(err->jump)) return false;
    JSAMPROW rows[1] = {row};
    return jpeg_read_scanlines(cinfo, rows, 1) == 1;
}

bool jpegFinish(jpeg_decompress_struct* cinfo, JpegError* err) {
    if (setjmp(err->jump)) return false;
    jpeg_finish_decompress(cinfo);
    return true;
}

struct JpegGuard {
    jpeg_decompress_struct* cinfo;
    ~JpegGuard() { jpeg_destroy_decompress(cinfo); }
};

}  // namespace

Raster decodeJpeg(const std::vector<unsigned char>& bytes, const std::string& name,
                  const ReadLimits& limits) {
    jpeg_decompress_struct cinfo{};
    JpegError err{};
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpegErrorExit;
    err.mgr.emit_message = jpegMessage;
    JpegGuard guard{&cinfo};
    jpeg_progress_mgr progress{};
    progress.progress_monitor = jpegProgress;
    const auto fail = [&]() { return ImageError(name + ": bad JPEG file: " + err.message); };
    if (!jpegReadHeader(&cinfo, &err, bytes.data(), bytes.size())) throw fail();
    cinfo.progress = &progress;
    checkImageSize(cinfo.image_width, cinfo.image_height, limits, name);
    if (cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK)
        throw ImageError(name + ": CMYK JPEG is not supported; save it as RGB");
    // The library's own buffers (a progressive file's coefficients): six
    // bytes a pixel at most, more is refused as out of memory.
    const uint64_t budget = uint64_t{cinfo.image_width} * cinfo.image_height * 6 + (64u << 20);
    if (!jpegStart(&cinfo, &err, static_cast<long>(budget))) throw fail();

    Raster r;
    r.width = cinfo.output_width;
    r.height = cinfo.output_height;
    r.channels = cinfo.output_components;
    if (r.channels != 1 && r.channels != 3)
        throw ImageError(name + ": JPEG with " + std::to_string(r.channels) +
                         " components is not supported");
    std::vector<unsigned char> row(r.rowBytes());
    for (uint32_t y = 0; y < r.height; ++y) {
        if (!jpegReadRow(&cinfo, &err, row.data())) throw fail();
        r.appendRow(row.data());
    }
    if (!jpegFinish(&cinfo, &err)) throw fail();
    return r;
}

}  // namespace clsg::decoders
