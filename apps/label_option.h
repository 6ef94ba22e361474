// The --label argument of `clsg train`:
//   NAME=EXAMPLE[,EXAMPLE...]
//   EXAMPLE = IMAGE             the whole image
//           | IMAGE:MASK        a mask image (0 and 255), same size as IMAGE
//           | IMAGE@x,y,w,h[+x,y,w,h...]   rectangles of pixels
// File names cannot contain ',', ':' or '@'.
#pragma once

#include <string>
#include <vector>

#include "platform/geometry.h"

struct ExampleSource {
    std::string image;
    std::string mask;              // mask file, or empty
    std::vector<kvPelRect> rects;  // used when not empty
};

struct LabelOption {
    std::string name;
    std::vector<ExampleSource> examples;
};

// Throws CliError naming what is wrong with text.
LabelOption parseLabelOption(const std::string& text);

// Throws CliError unless name is 1 to 64 letters, digits, '_' or '-' (label
// names become parts of output file names).
void checkLabelName(const std::string& name);
