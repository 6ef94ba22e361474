// The hot loop of building one instance model: every care pixel spreads
// weights over the colour cells of its tolerance box.
#pragma once

#include <cstddef>
#include <cstdint>

// Read-only views of the shared tables (all of 256 entries) and the per-
// training constants.
struct kvAccumulatorTables {
    const unsigned char* quant;
    const unsigned char* lowLevel;
    const unsigned char* highLevel;
    const unsigned char* levelCenter;
    const unsigned char* tolerance;
    const float* reciprocal;
    unsigned char levelStep;
    int32_t levelCount;  // n, 1..256; weights and counts hold n^3 cells
    double f2;           // colorToleranceFrac squared
};

namespace clsgint {

// Marks which cells hold training pixels: bit i % 64 of word i / 64 for cell
// i. The caller zeroes (cells + 63) / 64 words before the first row; a cell's
// count is valid only while its bit is set, so counts need no clearing.
using kvTouchedCells = uint64_t;

// Adds every care pixel of one row to weights and counts. p0, p1, p2 point at
// count values of planes 0, 1, 2; mask is null (every pixel is a care pixel)
// or points at count mask values (non-zero = care). For each care pixel
// (c0, c1, c2), counts gets +1 at the pixel's own cell (set to 1 where its
// touched bit was clear, and the bit set), and every cell
// (L0, L1, L2) of its level ranges gets, when positive, (1 - r) * f2 with
//   d_p = max(|c_p - levelCenter[L_p]| - levelStep, 0)
//   e_p = double(float(d_p) * reciprocal[tolerance[c_p]])
//   r   = (e1 * e1 + e0 * e0) + e2 * e2,  only if r < 1.0
// Pixels are taken left to right and cells with L0 outermost, L2 innermost, so
// the result is bit-identical on every instruction-set path.
// Returns the number of care pixels.
long accumulateRow(const kvAccumulatorTables& tables, const unsigned char* p0,
                   const unsigned char* p1, const unsigned char* p2, const unsigned char* mask,
                   long count, double* weights, uint32_t* counts, kvTouchedCells* touched);

// Normalisation sum: over the touched cells in ascending order,
// sum += double(counts[i]) * weights[i]. Every other cell has no pixel and
// would add 0.0 * weight = +0.0, which is exact to leave out while weights are
// finite (always so for a fraction that trainFractionUsable() accepts).
double weightedCountSum(const uint32_t* counts, const kvTouchedCells* touched,
                        const double* weights, size_t cells);

}  // namespace clsgint
