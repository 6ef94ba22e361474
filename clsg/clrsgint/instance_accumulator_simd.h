// The job of the training kernel shared by its instruction-set paths
// (layout: simd_dispatch.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "clsg/clrsgint/instance_accumulator.h"
#include "clsg/clrsgint/simd_dispatch.h"

namespace clsgint {

// Room for 256 levels plus one vector of padding.
constexpr int kLevelSlots = 256 + 16;
// Stands in for e2^2 past the end of a level range: r >= 1, so no weight.
constexpr double kOutside = 2.0;

// Row-invariant inputs of the kernels.
struct AccumulatorRow {
    const kvAccumulatorTables* t;
    // levelCenter copied with zero padding, so vector loads past level 255 stay in bounds.
    alignas(64) unsigned char centers[kLevelSlots];
    double* weights;
    size_t cells;  // n^3
};

// Squared normalised distances of one pixel to the levels of its tolerance
// box, per plane: sq[p][i] is e_p^2 for level lo[p] + i.
struct PixelBox {
    int32_t lo[3];
    int32_t len[3];  // 0 when the range is empty
    alignas(64) double sq[3][kLevelSlots];
};

// Each path: fillPlane writes sq[0..len) for colour c and kOutside into the
// slots after it up to the next vector; spread adds the weights of `repeat`
// pixels of one colour to every cell of the box (see accumulateRow).
#ifdef CLSG_X86_SIMD
void fillPlaneAvx2(const AccumulatorRow& ctx, unsigned c, int32_t lo, int32_t len, double* sq);
void spreadAvx2(const AccumulatorRow& ctx, const PixelBox& b, uint32_t repeat);
void fillPlaneAvx512(const AccumulatorRow& ctx, unsigned c, int32_t lo, int32_t len, double* sq);
void spreadAvx512(const AccumulatorRow& ctx, const PixelBox& b, uint32_t repeat);
#endif

namespace {

// Cell index of the first L2 level of the box's last (L0, L1) row.
inline size_t lastRowStart(const PixelBox& b, ptrdiff_t n) {
    return static_cast<size_t>(((b.lo[0] + b.len[0] - 1) * n + b.lo[1] + b.len[1] - 1) * n +
                               b.lo[2]);
}

}  // namespace
}  // namespace clsgint
