// The legend written beside each overlay: one row per label with its colour,
// its name and its share of the image's pixels, then the unlabelled pixels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "clsg/platform/three_plane.h"

namespace clsg {

struct LegendRow {
    std::string text;    // drawn in a 5 x 7 pixel font (descenders below), twice the size
    uint32_t color;      // 0xRRGGBB
    bool filled = true;  // false: the swatch is an outline only, struck through
};

// Rows are kLegendRowHeight pixels high; each starts with a 16 x 16 swatch
// at (6, row top + 3) and its text at x = 28. Letters, digits and " _-.%#:"
// are drawn; other characters become a box.
constexpr long kLegendRowHeight = 22;
kv3PlanePelBuffer makeLegend(const std::vector<LegendRow>& rows);

// Draws text in the legend's 5 x 7 font, each font pixel scale x scale
// pixels, its top-left corner at (x, y); pixels outside image are skipped.
void drawText(kv3PlanePelBuffer& image, long x, long y, const std::string& text, uint32_t rgb,
              long scale);

}  // namespace clsg
