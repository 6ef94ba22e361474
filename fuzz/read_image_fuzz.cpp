// Decodes arbitrary bytes as an image file (the format is recognised by its
// first bytes: PNG, JPEG, TIFF, BMP, PPM or PGM). Every input must end in an
// image or in an ImageError; nothing else may escape. The pixel limit is
// lowered so that one input stays a few megabytes: the readers refuse larger
// declared images before decoding them.
#include <cstdint>
#include <vector>

#include "clsg/io/image_io.h"

namespace readImageFuzz {

using namespace clsg;

inline void readImageOneInput(const uint8_t* data, std::size_t size) {
    const std::vector<unsigned char> bytes(data, data + size);
    ReadLimits limits;
    limits.maxPixels = 1 << 20;
    try {
        const kv3PlanePelBuffer image = decodeColorImage(bytes, "input", limits);
        if (!image.isBound() || image.window().isEmpty()) __builtin_trap();
    } catch (const ImageError&) {
    }
    try {
        decodeMaskImage(bytes, "input", limits);
    } catch (const ImageError&) {
    }
}

}  // namespace readImageFuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    readImageFuzz::readImageOneInput(data, size);
    return 0;
}
