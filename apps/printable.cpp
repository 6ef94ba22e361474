#include "apps/printable.h"

#include <cstdio>

std::string printable(const std::string& text, std::size_t maxChars) {
    std::string out;
    for (unsigned char c : text) {
        if (out.size() >= maxChars) return out + "...";
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out;
}
