// File names need not be UTF-8: what the program shows of them must be.
#pragma once

#include <cstddef>
#include <string>

namespace clsg {

// The length of the whole UTF-8 character that starts at text[i], or 0 where
// none does: a byte of a Latin-1 name, a cut or overlong sequence, a
// surrogate, a code point beyond U+10FFFF.
std::size_t utf8CharLength(const std::string& text, std::size_t i);

// text with every byte that starts no UTF-8 character shown as \xNN.
std::string withStrayBytesShown(const std::string& text);

}  // namespace clsg
