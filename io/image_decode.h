// Internal to the image reader (image_io.cpp): the raster every format
// decoder fills, and the limits it checks. Not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "clsg/io/image_io.h"

namespace clsg::decoders {

// Interleaved samples as the file holds them: channels 1 (grey), 2 (grey,
// alpha), 3 (RGB) or 4 (RGB, alpha); 8-bit samples one byte each, 16-bit
// samples as host-order uint16 (two bytes each). maxValue is the sample
// value that means full intensity (255 or 65535 for 8 and 16 bits, a PNM's
// maxval otherwise).
struct Raster {
    uint32_t width = 0, height = 0;
    int channels = 0;
    int bytesPerSample = 1;
    uint32_t maxValue = 255;
    // Grey samples of 1, 2 or 4 bits in the file, widened to 8 (1 becomes
    // 255): their bits; 0 otherwise.
    int widenedBits = 0;
    std::vector<unsigned char> data;  // grows as rows arrive

    std::size_t rowBytes() const {
        return std::size_t{width} * static_cast<std::size_t>(channels * bytesPerSample);
    }
    // Appends one row of rowBytes() bytes (geometric growth, so a file that
    // stops early costs only the rows it held).
    void appendRow(const unsigned char* row) { data.insert(data.end(), row, row + rowBytes()); }
};

// Throws ImageError("name: ...") unless every pixel of row (one of r's rows)
// is opaque; a raster without alpha always is. Readers whose rows arrive one
// by one refuse a transparent image at its first such row.
void checkOpaqueRow(const Raster& r, const unsigned char* row, const std::string& name);

// The bytes of pixels at perPixel bytes each, and extra more; the largest
// int64_t where that would pass it (so a limit of 2^61 pixels or more sets
// no bound, instead of wrapping around to a small one).
inline uint64_t bytesForPixels(uint64_t pixels, uint64_t perPixel, uint64_t extra) {
    constexpr uint64_t kMost = uint64_t{1} << 63;
    return pixels > (kMost - 1 - extra) / perPixel ? kMost - 1 : pixels * perPixel + extra;
}

// Throws ImageError("name: ...") for an empty image or one above the limit.
void checkImageSize(uint64_t width, uint64_t height, const ReadLimits& limits,
                    const std::string& name);

// Decoders of a whole file held in memory. Each one throws ImageError
// naming the file; the caller recognised the format by its first bytes.
Raster decodePng(const std::vector<unsigned char>& bytes, const std::string& name,
                 const ReadLimits& limits);
Raster decodeJpeg(const std::vector<unsigned char>& bytes, const std::string& name,
                  const ReadLimits& limits);
Raster decodeTiff(const std::vector<unsigned char>& bytes, const std::string& name,
                  const ReadLimits& limits);
Raster decodePnm(const std::vector<unsigned char>& bytes, const std::string& name,
                 const ReadLimits& limits);
Raster decodeBmp(const std::vector<unsigned char>& bytes, const std::string& name,
                 const ReadLimits& limits);

// True when the first image of the TIFF file at path is stored with JPEG
// compression (old or new style); only its header and first directory are read.
bool tiffCompressedAsJpeg(const std::string& path);

}  // namespace clsg::decoders
