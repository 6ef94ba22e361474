// Turns parsed --label arguments into the library's composite colour sets,
// with the checks that give a person a clear message: mask sizes and values,
// rectangles inside their image.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cli/label_option.h"
#include "clsg/colorseg/composite_color.h"
#include "clsg/io/image_io.h"

namespace clsg {

// Reads a colour image by file name.
using ImageLoader = std::function<kv3PlanePelBuffer(const std::string& path)>;

// One set per label, in order. Each image file is read once, masks through
// readMaskImage (any non-black pixel selected). Throws CliError or ImageError.
std::vector<kvCompositeColorSet> buildCompositeColors(const std::vector<LabelOption>& labels,
                                                      const ImageLoader& loadImage,
                                                      const ReadLimits& maskLimits = {});

// One sentence per image file (the same file under any name) and pair of
// labels whose examples there select common pixels, which then teach both
// labels. Pairs with identical examples are left to teachingWarnings. sets
// are labels' examples, in order, as buildCompositeColors gives them (or
// cropped).
std::vector<std::string> sharedPixelWarnings(const std::vector<LabelOption>& labels,
                                             const std::vector<kvCompositeColorSet>& sets);

// A mask over the rectangles' bounding box in image's window: 255 inside the
// rectangles, 0 elsewhere.
// Throws CliError for a rectangle that does not lie inside the image.
kvPelBuffer<unsigned char> rectangleMask(const kv3PlanePelBuffer_const& image,
                                         const std::vector<kvPelRect>& rects,
                                         const std::string& imageName);

}  // namespace clsg
