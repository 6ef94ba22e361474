// The library's failures as Python exceptions (classes in clsg/_errors.py).
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace clsgpy {

// Throw the library's own BadImage / BadParams, so that a failure the binding
// detects reaches Python like one the library detects, with its number.
[[noreturn]] void throwBadImage(const std::string& message);
[[noreturn]] void throwBadParams(const std::string& message);

// Installs the translator from C++ exceptions to clsg's Python exceptions.
void registerErrorTranslator();

}  // namespace clsgpy
