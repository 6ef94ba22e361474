// Integer Gaussian neighbourhood weights, one quadrant per size, cached.
#pragma once

#include <cstdint>

namespace clsgint {

// Quadrant side of the kernel for a neighbourhood size n >= 2:
// h + 1 with h = n / 2 for odd n, n / 2 for even n.
inline int32_t kernelQuadrantSide(int32_t n) { return (n % 2 == 0) ? n / 2 : n / 2 + 1; }

// The m x m quadrant of 8-bit weights for size n (n >= 2), row-major,
// W[i * m + j] = W[j * m + i]. For odd n, entry (i, j) weighs the pixels i and
// j away from the centre; for even n, those i + 1/2 and j + 1/2 away. The full
// neighbourhood sums to 250 or slightly less.
//
// Built on first request and kept for the life of the process; the returned
// table never moves or changes. Safe to call from several threads.
const unsigned char* neighborhoodKernel(int32_t n);

}  // namespace clsgint
