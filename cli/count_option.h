// Options that take a whole number (a count of pixels, a neighbourhood, a
// port): decimal digits alone, read as decimal. "-1", "5abc" or a number
// beyond 64 bits is refused instead of read as another number, and "010" is
// ten: the parser underneath reads a leading 0 as octal and "0x10" as hex.
#pragma once

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace clsg {

namespace detail {

// text's value when it is decimal digits alone, written back without its
// leading zeros; false when it is anything else or beyond 64 bits.
inline bool readDecimal(std::string& text, uint64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    text.erase(0, std::min(text.find_first_not_of('0'), text.size() - 1));
    try {
        value = std::stoull(text);
    } catch (const std::out_of_range&) {
        return false;
    }
    return true;
}

}  // namespace detail

// A whole number from least to most (given to ->transform, which passes on the
// decimal text).
inline CLI::Validator wholeNumber(uint64_t least, uint64_t most) {
    const std::string range = std::to_string(least) + " to " + std::to_string(most);
    return CLI::Validator(
        [least, most, range](std::string& text) -> std::string {
            const std::string given = text;
            uint64_t value = 0;
            if (!detail::readDecimal(text, value) || value < least || value > most)
                return "must be a whole number from " + range + ", not '" + given + "'";
            return {};
        },
        "INT in [" + std::to_string(least) + " - " + std::to_string(most) + "]");
}

// A count of pixels of at least least (given to ->transform).
inline CLI::Validator countAtLeast(uint64_t least) {
    return CLI::Validator(
        [least](std::string& text) -> std::string {
            const std::string given = text;
            uint64_t value = 0;
            if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
                return "must be a whole number of pixels, not " + given;
            if (!detail::readDecimal(text, value)) return given + " is too large";
            if (value < least) return "must be at least " + std::to_string(least);
            return {};
        },
        least == 0 ? "COUNT" : "COUNT >= " + std::to_string(least));
}

}  // namespace clsg
