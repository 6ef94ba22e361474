// Reading and writing images (part of the clsg_files library).
//
// Readers take PNG, JPEG, TIFF, BMP and binary PPM/PGM, recognised by their
// first bytes, and give 8-bit RGB (or a mask). What converts exactly or by a
// stated rule is converted, what would invent information is refused:
//   - greyscale and palette images become RGB (grey in every channel);
//   - 1, 2 and 4-bit samples are scaled to 8 bits exactly;
//   - samples above 8 bits (16-bit PNG and TIFF, PPM/PGM maxval above 255)
//     and PPM/PGM maxvals below 255 are scaled to 8 bits as
//         v8 = round(v * 255 / maxval),  i.e. (v * 255 + maxval / 2) / maxval
//     (for 16 bits: (v + 128) / 257);
//   - an alpha channel (or PNG transparency chunk) is accepted when every
//     pixel is fully opaque; an image with any transparent pixel is refused
//     with a message saying how to flatten it;
//   - CMYK, floating-point and other layouts are refused.
//   - a TIFF of several pages or an animated PNG is refused (reduced-
//     resolution copies of the image, such as a thumbnail, are passed over);
//   - a recorded orientation (EXIF, TIFF) is not applied: pixels come in the
//     order they are stored.
// Masks are read the same way; every non-black pixel (any channel non-zero)
// is selected and becomes 255, the others 0.
//
// Before anything is allocated by the image's declared size, a reader checks
// the size against ReadLimits::maxPixels and that the file can hold that
// much data; rows are stored as they arrive. Every failure is an ImageError
// whose message is one line naming the file; out of memory is reported as
// such.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "clsg/platform/three_plane.h"

namespace clsg {

class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ReadLimits {
    // Largest image accepted, in pixels (width x height).
    uint64_t maxPixels = uint64_t{1} << 27;  // 134 megapixels
    // How the caller's user can raise the limit, said with a refusal ("raise it
    // with --max-pixels"); empty when they cannot.
    std::string raise;
    // Refuse samples of other than 8 bits: scaled to 8 bits they would not
    // keep their values (the label values of a truth image).
    bool exactValues = false;
};

enum class ImageFormat { Png, Pnm };

// PNM for names ending in .ppm, .pgm or .pnm, PNG otherwise.
ImageFormat formatForPath(const std::string& path);

// True when the file name ends in an extension the readers take (.png,
// .jpg, .jpeg, .jpe, .jfif, .tif, .tiff, .bmp, .ppm, .pgm, .pnm; any case).
bool hasImageExtension(const std::string& path);
// What a regular file at path is when its pixels went through JPEG's lossy
// compression: "a JPEG", "a TIFF compressed as JPEG", or "" (other files, and
// pipes, whose bytes are not read: they would be gone).
std::string jpegCompressed(const std::string& path);

// Decoders of a whole file held in memory; name appears in messages.
kv3PlanePelBuffer decodeColorImage(const std::vector<unsigned char>& bytes, const std::string& name,
                                   const ReadLimits& limits = {});
// Grey images only (a colour image is refused): exact grey values.
kvPelBuffer<unsigned char> decodeGreyImage(const std::vector<unsigned char>& bytes,
                                           const std::string& name, const ReadLimits& limits = {});
// Any image as a mask: 255 where any channel is non-zero, 0 elsewhere.
kvPelBuffer<unsigned char> decodeMaskImage(const std::vector<unsigned char>& bytes,
                                           const std::string& name, const ReadLimits& limits = {});

// The file's bytes. Stops with an ImageError once more than maxBytes were
// read (a device such as /dev/zero never ends).
std::vector<unsigned char> readFileBytes(const std::string& path,
                                         uint64_t maxBytes = uint64_t{1} << 32);
kv3PlanePelBuffer readColorImage(const std::string& path, const ReadLimits& limits = {});
kvPelBuffer<unsigned char> readGreyImage(const std::string& path, const ReadLimits& limits = {});
kvPelBuffer<unsigned char> readMaskImage(const std::string& path, const ReadLimits& limits = {});

// Writes data to path (created or truncated) without following a symbolic
// link at its name. Returns 0, or the errno of the failure.
int writeFileBytes(const std::string& path, const std::string& data);

// Why path could not be written, from the errno of a writer above: a symbolic
// link at path is said to be one (open refuses it with ELOOP, "too many
// levels of symbolic links").
std::string writeFailure(const std::string& path, int error);

// Writers; the window's top-left pel becomes the file's first pel. PNG is
// written with a fast compression level. path is opened without following a
// symbolic link. Errors name shownName (path when empty) and the reason.
void writeColorImage(const std::string& path, const kv3PlanePelBuffer_const& image,
                     ImageFormat format, const std::string& shownName = {});
void writeGreyImage(const std::string& path, const kvPelBuffer_const<unsigned char>& image,
                    ImageFormat format, const std::string& shownName = {});

}  // namespace clsg
