// Options that take a count (pixels): whole decimal numbers only, so that "-1"
// or a number beyond 64 bits is refused instead of wrapping round.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace clsg {

inline CLI::Validator countAtLeast(uint64_t least) {
    return CLI::Validator(
        [least](std::string& text) -> std::string {
            if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
                return "must be a whole number of pixels, not " + text;
            try {
                if (std::stoull(text) >= least) return {};
            } catch (const std::out_of_range&) {
                return text + " is too large";
            }
            return "must be at least " + std::to_string(least);
        },
        least == 0 ? "COUNT" : "COUNT >= " + std::to_string(least));
}

}  // namespace clsg
