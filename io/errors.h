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

// The message of e on one line; a text of our own for the library's errors
// that carry no message.
std::string describeError(const std::exception& e);

}  // namespace clsg
