// Failures of the file library, and one-line descriptions of any failure.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace clsg {

// An output that cannot be staged, written or put in place, or a directory
// that cannot be made.
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// text with its control characters (a newline in a file name, say) shown as
// \xNN, so that a message or a result line stays one line.
std::string oneLine(const std::string& text);

// The message of e on one line, as oneLine shows it; a text of our own for the library's errors
// that carry no message.
std::string describeError(const std::exception& e);

}  // namespace clsg
