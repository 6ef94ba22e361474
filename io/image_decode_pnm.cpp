// Binary PPM (P6) and PGM (P5), maxval 1 to 65535, and uncompressed BMP (1,
// 4 and 8-bit palette, 24 and 32-bit, bottom-up or top-down). Both formats state
// their data size in the header, so the data is checked to be in the file
// before anything is allocated.
#include <cstring>

#include "clsg/io/image_decode.h"

namespace clsg::decoders {
namespace {

bool isSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads one header number after whitespace and '#' comments.
uint32_t pnmNumber(const std::vector<unsigned char>& b, std::size_t& pos, const std::string& name) {
    for (;;) {
        while (pos < b.size() && isSpace(b[pos])) ++pos;
        if (pos < b.size() && b[pos] == '#') {
            while (pos < b.size() && b[pos] != '\n' && b[pos] != '\r') ++pos;
            continue;
        }
        break;
    }
    if (pos >= b.size() || b[pos] < '0' || b[pos] > '9')
        throw ImageError(name + ": bad PPM/PGM header");
    uint32_t v = 0;
    while (pos < b.size() && b[pos] >= '0' && b[pos] <= '9') {
        if (v > 100000000) throw ImageError(name + ": bad PPM/PGM header (number too large)");
        v = v * 10 + static_cast<uint32_t>(b[pos] - '0');
        ++pos;
    }
    return v;
}

uint32_t le32(const unsigned char* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

}  // namespace

Raster decodePnm(const std::vector<unsigned char>& b, const std::string& name,
                 const ReadLimits& limits) {
    const bool colour = b[1] == '6';
    std::size_t pos = 2;
    Raster r;
    r.width = pnmNumber(b, pos, name);
    r.height = pnmNumber(b, pos, name);
    r.maxValue = pnmNumber(b, pos, name);
    // A comment may follow the maxval directly; its line end is then the
    // one whitespace before the samples.
    if (pos < b.size() && b[pos] == '#')
        while (pos < b.size() && b[pos] != '\n' && b[pos] != '\r') ++pos;
    if (pos >= b.size() || !isSpace(b[pos])) throw ImageError(name + ": bad PPM/PGM header");
    ++pos;
    checkImageSize(r.width, r.height, limits, name);
    if (r.maxValue == 0 || r.maxValue > 65535)
        throw ImageError(name + ": bad PPM/PGM header (maxval " + std::to_string(r.maxValue) + ")");
    r.channels = colour ? 3 : 1;
    r.bytesPerSample = r.maxValue > 255 ? 2 : 1;
    const uint64_t count = uint64_t{r.height} * r.rowBytes();
    // Some writers put comment lines after the maxval's line. The samples may
    // themselves begin with '#', so such lines are taken as comments only when
    // what follows them is exactly the samples, and the file is one byte too
    // long or more for the samples to start right after the maxval.
    if (b.size() - pos > count && b[pos] == '#') {
        for (std::size_t after = pos; after < b.size() && b[after] == '#';) {
            while (after < b.size() && b[after] != '\n') ++after;
            if (after < b.size()) ++after;
            if (b.size() - after == count) {
                pos = after;
                break;
            }
        }
    }
    if (b.size() - pos < count) throw ImageError(name + ": the file is truncated");
    // Another image may follow (netpbm writes streams of them); reading the
    // first alone would leave the rest out unseen. Other bytes after the
    // samples (a line end, padding) are passed over.
    std::size_t next = pos + count;
    while (next < b.size() && isSpace(b[next])) ++next;
    if (b.size() - next >= 2 && b[next] == 'P' && b[next + 1] >= '1' && b[next + 1] <= '7')
        throw ImageError(name +
                         ": the PPM/PGM file holds more than one image, and clsg reads one image "
                         "per file: save each image as a file of its own");
    r.data.assign(b.begin() + static_cast<std::ptrdiff_t>(pos),
                  b.begin() + static_cast<std::ptrdiff_t>(pos + count));
    if (r.bytesPerSample == 2)  // big-endian in the file
        for (std::size_t i = 0; i < r.data.size(); i += 2) {
            const uint16_t v = static_cast<uint16_t>(r.data[i] << 8 | r.data[i + 1]);
            std::memcpy(&r.data[i], &v, 2);
        }
    for (std::size_t i = 0; i < r.data.size(); i += static_cast<std::size_t>(r.bytesPerSample)) {
        uint16_t v = r.data[i];
        if (r.bytesPerSample == 2) std::memcpy(&v, &r.data[i], 2);
        if (v > r.maxValue)
            throw ImageError(name + ": a sample exceeds the maxval " + std::to_string(r.maxValue));
    }
    return r;
}

namespace {

// Where each channel lies in a 32-bit BMP pixel: bytes of blue, green, red and
// alpha (alpha -1: none). Uncompressed pixels are blue, green, red, unused;
// bit fields (as image editors write with a V4 or V5 header) name the
// channels by masks, of which whole bytes are read.
struct BmpLayout {
    int blue = 0, green = 1, red = 2, alpha = -1;
};

BmpLayout bmpLayout(const std::vector<unsigned char>& b, uint32_t headerSize, uint32_t compression,
                    const std::string& name) {
    BmpLayout layout;
    if (compression == 0) return layout;
    const auto byteOf = [&](uint32_t mask) {
        for (int k = 0; k < 4; ++k)
            if (mask == uint32_t{0xff} << (8 * k)) return k;
        throw ImageError(name + ": only BMP bit fields of whole bytes are supported");
    };
    const bool withAlpha = compression == 6 || headerSize >= 56;
    if (b.size() < 14 + 40 + 4 * (withAlpha ? 4u : 3u))
        throw ImageError(name + ": bad BMP file: the file is truncated");
    layout.red = byteOf(le32(&b[54]));
    layout.green = byteOf(le32(&b[58]));
    layout.blue = byteOf(le32(&b[62]));
    const uint32_t alphaMask = withAlpha ? le32(&b[66]) : 0;
    layout.alpha = alphaMask == 0 ? -1 : byteOf(alphaMask);
    if (layout.red == layout.green || layout.green == layout.blue || layout.red == layout.blue ||
        layout.alpha == layout.red || layout.alpha == layout.green || layout.alpha == layout.blue)
        throw ImageError(name + ": bad BMP file: two channels share a byte");
    return layout;
}

}  // namespace

Raster decodeBmp(const std::vector<unsigned char>& b, const std::string& name,
                 const ReadLimits& limits) {
    if (b.size() < 54) throw ImageError(name + ": bad BMP file: the file is truncated");
    const uint32_t dataOffset = le32(&b[10]), headerSize = le32(&b[14]);
    if (headerSize == 12)
        throw ImageError(name +
                         ": a BMP with the old 12-byte (OS/2) header is not supported; save it "
                         "as PNG or as a Windows BMP");
    if (headerSize < 40 || headerSize > b.size() - 14)
        throw ImageError(name + ": bad BMP file: unsupported header");
    const int32_t width = static_cast<int32_t>(le32(&b[18]));
    const int32_t signedHeight = static_cast<int32_t>(le32(&b[22]));
    const uint16_t bits = le16(&b[28]);
    const uint32_t compression = le32(&b[30]);
    uint32_t colours = le32(&b[46]);
    if (width <= 0 || signedHeight == 0 || signedHeight == INT32_MIN)
        throw ImageError(name + ": the image is empty or has a bad size");
    const bool topDown = signedHeight < 0;
    const uint32_t height = static_cast<uint32_t>(topDown ? -signedHeight : signedHeight);
    checkImageSize(static_cast<uint32_t>(width), height, limits, name);
    const bool fields = bits == 32 && (compression == 3 || compression == 6);
    const bool indexed = bits == 1 || bits == 4 || bits == 8;
    if ((compression != 0 && !fields) || (!indexed && bits != 24 && bits != 32))
        throw ImageError(name +
                         ": only uncompressed 1, 4, 8, 24 and 32-bit BMP (and 32-bit with bit "
                         "fields) is supported");
    const BmpLayout layout = bmpLayout(b, headerSize, fields ? compression : 0, name);
    if (indexed && (colours == 0 || colours > (1u << bits))) colours = 1u << bits;
    const uint64_t paletteAt = 14 + uint64_t{headerSize};
    if (indexed && paletteAt + 4 * uint64_t{colours} > b.size())
        throw ImageError(name + ": bad BMP file: the palette is truncated");
    // Rows start on 4-byte boundaries; pixels of 1 and 4 bits fill a byte from its top bit.
    const uint64_t stride = (uint64_t{static_cast<uint32_t>(width)} * bits + 31) / 32 * 4;
    if (dataOffset > b.size() || (b.size() - dataOffset) / stride < height)
        throw ImageError(name + ": bad BMP file: the file is truncated");
    // The pixels follow the headers (and bit fields after a 40-byte header):
    // an offset into them would read the headers as pixels.
    const uint64_t headersEnd =
        14 + uint64_t{headerSize} + (fields && headerSize == 40 ? (compression == 6 ? 16 : 12) : 0);
    if (dataOffset < headersEnd)
        throw ImageError(name + ": bad BMP file: its pixels would start inside its header");

    Raster r;
    r.width = static_cast<uint32_t>(width);
    r.height = height;
    r.channels = 3;
    std::vector<unsigned char> row(r.rowBytes());
    for (uint32_t y = 0; y < height; ++y) {
        const unsigned char* src = &b[dataOffset + stride * (topDown ? y : height - 1 - y)];
        for (uint32_t x = 0; x < r.width; ++x) {
            const unsigned char* bgr = src + uint64_t{x} * bits / 8;
            if (indexed) {
                const unsigned shift = 8 - bits - x * bits % 8;
                const unsigned index = (*bgr >> shift) & ((1u << bits) - 1);
                if (index >= colours)
                    throw ImageError(name + ": bad BMP file: a pixel uses a colour beyond the " +
                                     "palette");
                bgr = &b[paletteAt + 4 * uint64_t{index}];
            }
            if (layout.alpha >= 0 && bgr[layout.alpha] != 255)
                throw ImageError(name +
                                 ": the image has transparent pixels (alpha); flatten it onto a "
                                 "background colour and save it without an alpha channel");
            row[3 * x] = bgr[layout.red];  // (a palette entry too is blue, green, red)
            row[3 * x + 1] = bgr[layout.green];
            row[3 * x + 2] = bgr[layout.blue];
        }
        r.appendRow(row.data());
    }
    return r;
}

}  // namespace clsg::decoders
