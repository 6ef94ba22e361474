#include "cli/utf8_text.h"

namespace clsg {

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
