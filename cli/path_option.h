// Options that name a file or directory: an empty name is refused, not taken
// as "not given" (a script's empty variable would lose the output silently)
// nor as the current directory. An output file named "-" is standard output.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace clsg {

inline CLI::Validator nonEmptyPath() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            return text.empty() ? "needs a file or directory name, not an empty one" : "";
        },
        "");
}

inline CLI::Validator outputFile() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (text == "-") text = "/dev/stdout";
            return text.empty() ? "needs a file name, not an empty one" : "";
        },
        "");
}

}  // namespace clsg
