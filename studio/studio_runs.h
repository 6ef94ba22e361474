// The studio's compact form of 8-bit images (label images, marks): runs of
// equal bytes, each written as the byte followed by the run length as an
// unsigned LEB128 number (7 bits per byte, low bits first, high bit set on
// every byte but the last). The page decodes and encodes the same form.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace clsg {

std::string encodeRuns(const uint8_t* data, std::size_t size);

// Decodes exactly size bytes into out. Returns false, leaving out in an
// unspecified state, when text is truncated, has a zero or overlong run, or
// decodes to more or fewer than size bytes.
bool decodeRuns(const std::string& text, std::size_t size, std::vector<uint8_t>& out);

// Writes into out text's runs (of size bytes in all) with every value v
// made to[v], without decoding them; runs that come to one value are joined,
// as encodeRuns writes them. Returns false, leaving out unspecified, when
// text does not decode to size bytes.
bool mapRuns(const std::string& text, std::size_t size, const std::array<uint8_t, 256>& to,
             std::string& out);

// Whether text decodes to exactly size bytes, none above most (without
// decoding them: a few bytes of runs may stand for many megabytes).
bool checkRuns(const std::string& text, std::size_t size, uint8_t most);

// A 32-bit FNV-1a digest of the w x h box at (x, y) of an image width bytes
// wide, row by row. A page sends it with a stroke to say what the stroke
// replaces; the page computes it the same way.
uint32_t boxDigest(const uint8_t* image, std::size_t width, std::size_t x, std::size_t y,
                   std::size_t w, std::size_t h);

}  // namespace clsg
