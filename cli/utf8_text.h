// File names need not be UTF-8: what the program shows of them must be.
#pragma once

#include <cstddef>
#include <string>

#include "clsg/io/errors.h"

namespace clsg {

// text with every byte that starts no UTF-8 character shown as \xNN.
std::string withStrayBytesShown(const std::string& text);

}  // namespace clsg
