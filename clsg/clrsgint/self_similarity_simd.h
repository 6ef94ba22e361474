// The row kernels of the self-similarity sum shared by its instruction-set
// paths (layout: simd_dispatch.h).
#pragma once

#include <cstddef>

#include "clsg/clrsgint/simd_dispatch.h"

namespace clsgint {

constexpr long kUnit = 8;         // lanes of one gather chunk; rows are padded to it
constexpr long kBlockChunks = 4;  // chunks of a full gather block
constexpr long kGatherBlock = kUnit * kBlockChunks;

// Pair values of one P row segment: v[j] = value of (p[.][j], q[.][j]),
// rt[c][j] = reciprocal tolerance of p[c][j]:
//   e_c = float(max(0, |p_c - q_c| - step)) * rt_c;  s = 1 - ((e_g^2 + e_r^2) + e_b^2)
//   value = s > 0 ? (s * f2) * (twice ? 2 : 1) : 0
using PairRowFn = void (*)(const unsigned char* const p[3], const unsigned char* const q[3],
                           const float* const rt[3], long n, int step, double f2, bool twice,
                           double* v);
// acc[i] += w[t] * v[off[t] + i] for t = 0..n-1 in order, i < chunks * kUnit
// (chunks <= kBlockChunks).
using GatherFn = void (*)(const double* v, const std::ptrdiff_t* off, const double* w,
                          std::size_t n, double* acc, long chunks);

// The gather for a group of up to kGroupRows centre rows at once, kBlockLanes
// lanes each. A run is a sequence of count term positions that the group's
// rows first..last all receive. For each run in order and each of its
// positions k (offsets off[], consumed in order), every row r = first..last
// in ascending order takes the next weight wt of w[] and does
//   acc[r][i] += wt * v[off[k] + i],  i < kBlockLanes.
// Each row thus sees its own terms in stream order.
constexpr long kBlockLanes = 24;
constexpr int kGroupRows = 9;
struct TermRun {
    int first;
    int last;
    int count;
};
using BlockFn = void (*)(const double* v, const TermRun* runs, std::size_t nRuns,
                         const std::ptrdiff_t* off, const double* w, double* const* acc, int rows);

#ifdef CLSG_X86_SIMD
void pairRowAvx2(const unsigned char* const p[3], const unsigned char* const q[3],
                 const float* const rt[3], long n, int step, double f2, bool twice, double* v);
void gatherAvx2(const double* v, const std::ptrdiff_t* off, const double* w, std::size_t n,
                double* acc, long chunks);
void pairRowAvx512(const unsigned char* const p[3], const unsigned char* const q[3],
                   const float* const rt[3], long n, int step, double f2, bool twice, double* v);
void gatherAvx512(const double* v, const std::ptrdiff_t* off, const double* w, std::size_t n,
                  double* acc, long chunks);
void blockAvx512(const double* v, const TermRun* runs, std::size_t nRuns, const std::ptrdiff_t* off,
                 const double* w, double* const* acc, int rows);
#endif

}  // namespace clsgint
