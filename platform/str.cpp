#include "platform/str.h"

#include <charconv>

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
