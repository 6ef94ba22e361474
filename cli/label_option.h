// The --label argument of `clsg train`:
//   NAME[#RRGGBB]=EXAMPLE[,EXAMPLE...]
//   EXAMPLE = IMAGE             the whole image
//           | IMAGE:MASK        a mask image of IMAGE's size; its non-black pixels
//                               are selected
//           | IMAGE@x,y,w,h[+x,y,w,h...]   rectangles of pixels
// A backslash in a file name takes the next character as it is: write
// '\,', '\:', '\@' and '\\' for ',', ':', '@' and '\'.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "clsg/platform/geometry.h"

namespace clsg {

struct ExampleSource {
    std::string image;
    std::string mask;              // mask file, or empty
    std::vector<kvPelRect> rects;  // used when not empty
};

struct LabelOption {
    std::string name;
    std::vector<ExampleSource> examples;
    std::optional<uint32_t> color = std::nullopt;  // 0xRRGGBB when given as NAME#RRGGBB
};

// Throws UsageError naming what is wrong with text.
LabelOption parseLabelOption(const std::string& text);

// The example as the --label option writes it (IMAGE, IMAGE:MASK or
// IMAGE@x,y,w,h+...), with the file names escaped.
std::string exampleSourceText(const ExampleSource& example);

// Throws UsageError unless name is 1 to 64 letters, digits, '_' or '-' (label
// names become parts of output file names).
void checkLabelName(const std::string& name);

}  // namespace clsg
