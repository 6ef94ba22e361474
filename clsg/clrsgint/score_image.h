// The self-similarity image behind the score image.
#pragma once

#include <array>
#include <cstdint>

#include "clsg/platform/three_plane.h"

namespace clsgint {

// Replaces out with a new image over image's window holding, at each pixel,
// the kernel-weighted colour similarity of every pair of pixels in its
// neighbourhood: the score a perfectly trained, uniform neighbourhood reaches.
void computeSelfSimilarity(const kv3PlanePelBuffer_const& image, double colorToleranceFrac,
                           int32_t neighborhoodSize, const std::array<float, 256>& reciprocalTable,
                           const std::array<unsigned char, 256>& toleranceTable,
                           unsigned char levelStep, kvPelBuffer<double>& out);

}  // namespace clsgint
