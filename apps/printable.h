// Text from files (names, library messages about stored records) made safe
// for a terminal (part of the clsg_files library): bytes outside printable
// ASCII are shown as \xNN, and the text is cut to maxChars characters with
// "..." appended.
#pragma once

#include <cstddef>
#include <string>

std::string printable(const std::string& text, std::size_t maxChars = 200);
