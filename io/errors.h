// Failures of the file library, and one-line descriptions of any failure.
#pragma once

#include <cstddef>
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

// text with its control characters (a newline in a file name, say) and the
// bytes that start no UTF-8 character (a Latin-1 name's) shown as \xNN, so
// that a message or a result line stays one line of text.
std::string oneLine(const std::string& text);

// The length of the whole UTF-8 character that starts at text[i], or 0 where
// none does: a byte of a Latin-1 name, a cut or overlong sequence, a
// surrogate, a code point beyond U+10FFFF.
std::size_t utf8CharLength(const std::string& text, std::size_t i);

// The message of e on one line, as oneLine shows it; a text of our own for the library's errors
// that carry no message.
std::string describeError(const std::exception& e);

}  // namespace clsg
