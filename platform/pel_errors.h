// Failures of pixel buffers and windows.
#pragma once

#include <string>

#include "clsg/platform/exception.h"

namespace kvPel {

class Errors : public kvExceptionWithString {
public:
    explicit Errors(const std::string& message = std::string()) : kvExceptionWithString(message) {}
};

// An operation needed a bound buffer.
class UnboundWindow : public Errors {
public:
    explicit UnboundWindow(const std::string& message = "buffer is not bound") : Errors(message) {}
};

// A window that is empty where it may not be, lies outside the buffer's
// pels, does not match another buffer's, or is too large to allocate.
class BadWindow : public Errors {
public:
    explicit BadWindow(const std::string& message = "bad window") : Errors(message) {}
};

}  // namespace kvPel
