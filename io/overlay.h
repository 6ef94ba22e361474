// Pictures for a person: each label's colour over the input image, and the
// share of pixels per label.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "clsg/platform/three_plane.h"

namespace clsg {

// The input with each labelled pixel blended half and half with its label's
// colour (colours[label], 0xRRGGBB), rounded up: (in + colour + 1) / 2.
// Pixels labelled 255 (no label) or beyond colours keep their colour. labels
// must cover image's window (BadImage otherwise, or when either is unbound).
kv3PlanePelBuffer makeOverlay(const kv3PlanePelBuffer_const& image,
                              const kvPelBuffer_const<unsigned char>& labels,
                              const std::vector<uint32_t>& colours);

// Pixel counts of labels 0 .. labelCount - 1, then of unlabelled pixels
// (value 255 or any value >= labelCount). Throws BadParams for a labelCount
// over 255.
std::vector<uint64_t> labelCounts(const kvPelBuffer_const<unsigned char>& labels,
                                  unsigned labelCount);

}  // namespace clsg
