#include "cli/utf8_text.h"

namespace clsg {

namespace {

bool isContinuation(unsigned char c) { return (c & 0xc0) == 0x80; }

}  // namespace

std::size_t utf8CharLength(const std::string& text, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned char c = at(0);
    if (c < 0x80) return 1;
    const std::size_t len = c >= 0xc2 && c <= 0xdf   ? 2
                            : c >= 0xe0 && c <= 0xef ? 3
                            : c >= 0xf0 && c <= 0xf4 ? 4
                                                     : 0;
    if (len == 0 || i + len > text.size()) return 0;
    for (std::size_t k = 1; k < len; ++k)
        if (!isContinuation(at(k))) return 0;
    // The second byte's range where the first allows fewer: no overlong
    // form, no surrogate, nothing past U+10FFFF.
    const unsigned char second = at(1);
    if ((c == 0xe0 && second < 0xa0) || (c == 0xed && second > 0x9f) ||
        (c == 0xf0 && second < 0x90) || (c == 0xf4 && second > 0x8f))
        return 0;
    return len;
}

std::string withStrayBytesShown(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t len = utf8CharLength(text, i);
        if (len > 0) {
            out.append(text, i, len);
            i += len;
        } else {
            const auto c = static_cast<unsigned char>(text[i++]);
            out += std::string("\\x") + kHex[c >> 4] + kHex[c & 15];
        }
    }
    return out;
}

}  // namespace clsg
