// Numbers and flags as text, and text from files made safe to show.
#pragma once

#include <cstddef>
#include <string>

std::string kfStr(int value);
std::string kfStr(long value);
std::string kfStr(unsigned long value);
std::string kfStr(unsigned int value);
// The shortest text that reads back to the same double ("0.1", "1e-300").
std::string kfStr(double value);
// "true" or "false".
std::string kfStr(bool value);

// Text read from a file, made safe to show: bytes outside printable ASCII,
// and the backslash, become \xNN; the text is cut after maxChars characters
// with "..." appended.
std::string kfPrintable(const std::string& text, std::size_t maxChars);
