#include "clsg/platform/str.h"

#include <charconv>
#include <cstdio>

std::string kfStr(int value) { return std::to_string(value); }
std::string kfStr(long value) { return std::to_string(value); }
std::string kfStr(unsigned long value) { return std::to_string(value); }
std::string kfStr(unsigned int value) { return std::to_string(value); }

std::string kfStr(double value) {
    char text[64];
    const auto r = std::to_chars(text, text + sizeof text, value);
    return std::string(text, r.ptr);
}

std::string kfStr(bool value) { return value ? "true" : "false"; }

std::string kfPrintable(const std::string& text, std::size_t maxChars) {
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
