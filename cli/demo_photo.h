// The demo photograph (cli/demo/coffee.png), compiled into the program so
// that `clsg demo` works wherever the binary is.
#pragma once

#include <cstddef>

extern const unsigned char kDemoPhoto[];
extern const std::size_t kDemoPhotoSize;

namespace clsg {}  // namespace clsg
