// The command-line tool's own failures.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

#include "clsg/io/errors.h"

namespace clsg {

class CliError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A command line that asks for something impossible (exit status 2, with a
// pointer to the command's --help); every other failure is exit status 1.
class UsageError : public CliError {
public:
    using CliError::CliError;
};

// text with its control characters (a newline in a file name, say) shown as
// \xNN, so that a message or a result line stays one line.
inline std::string oneLine(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (c >= 0x20 && c != 0x7f) {
            out += static_cast<char>(c);
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
        out += escaped;
    }
    return out;
}

}  // namespace clsg
