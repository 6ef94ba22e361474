// Self-similarity of every pixel's neighbourhood: the full-scale value that the
// score image divides the best label score by.
#pragma once

#include <cstdint>

#include "clsg/clrsgint/plane_view.h"

namespace clsgint {

// Fills out (same window as img, already allocated) with the self-similarity
// of every pixel's N x N neighbourhood, N = neighborhoodSize >= 1:
//
//   out(C) = f^2 * sum over ordered pairs (P, Q) of window pixels that both lie
//            in C's neighbourhood of K(C - P) * K(C - Q) * max(0, s(P, Q))
//
// with f = colorToleranceFrac, K the weights of neighborhoodKernel(N) and
//   e_c = float(max(0, |P_c - Q_c| - levelStep)) * reciprocalTable[toleranceTable[P_c]]
//   s   = 1 - ((e_green^2 + e_red^2) + e_blue^2)
// where P is the pixel of the pair that comes first in row order. N = 1 gives f^2.
//
// Every centre receives its terms in one fixed order (first pixel of the pair
// in row order, then displacement, then offset from the centre), so the result
// is bit-identical on every instruction-set path. Polls the abort check
// before each row whose absolute y is a multiple of 16.
void computeSelfSimilarityPlanes(const kvPlanesView& img, double colorToleranceFrac,
                                 int32_t neighborhoodSize, const float* reciprocalTable,
                                 const unsigned char* toleranceTable, unsigned char levelStep,
                                 const kvImageView<double>& out);

}  // namespace clsgint
