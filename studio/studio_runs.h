// The studio's compact form of 8-bit images (label images, marks): runs of
// equal bytes, each written as the byte followed by the run length as an
// unsigned LEB128 number (7 bits per byte, low bits first, high bit set on
// every byte but the last). The page decodes and encodes the same form.
#pragma once

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

}  // namespace clsg
