// Score of one training instance at every pixel of an image window.
#pragma once

#include <cstdint>

#include "clsg/clrsgint/plane_view.h"

namespace clsgint {

// Scores one training instance over a window: out has the same window as img.
//
// Per pixel, the cell weight is v = weights[(quantTable[r] * n + quantTable[g]) * n +
// quantTable[b]] with n = levelCount. For neighborhoodSize N <= 1 the sum S is v itself;
// for N >= 2, S adds (double)w * v over the N x N neighbourhood with the integer kernel
// of neighborhoodKernel(N) (odd N centred on the pixel, even N on its top-left corner),
// pixels outside the window counting as absent. The score is s = S * S * normFactor.
//
// first = true writes s to every pixel; first = false writes s only where s > out(x, y)
// strictly, so equal scores keep the earlier value.
//
// The result is bit-identical to scattering (double)w * v from every pixel with v != 0.0,
// in row-major order, into a zero-filled sum image. quantTable has 256 entries below n,
// weights has n^3 finite entries. Polls for an abort before every row whose absolute y is
// a multiple of 16; an abort leaves out partly written. Working memory is O(N * width).
void scoreInstancePlanes(const kvPlanesView& img, const unsigned char* quantTable,
                         const double* weights, int32_t levelCount, double normFactor,
                         int32_t neighborhoodSize, bool first, const kvImageView<double>& out);

}  // namespace clsgint
