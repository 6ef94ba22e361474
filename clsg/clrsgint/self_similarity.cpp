#include "clsg/clrsgint/self_similarity.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <vector>

#include "clsg/clrsgint/abort_poll.h"
#include "clsg/clrsgint/neighborhood_kernel.h"
#include "clsg/clrsgint/self_similarity_simd.h"

// How the sum is formed.
//
// The direct way scatters: each pair (P, Q = P + d) of nearby pixels is
// compared once and its value V_d(P) is added, times w = K(p) * K(p - d), to
// every centre C = P + p whose neighbourhood holds both pixels. A centre thus
// receives its terms ordered by P (row order), then d (dy, then dx); with
// p = C - P that is py descending, px descending, dy, dx. That sequence of
// (p, d, w) is the same for every centre, so here each centre gathers its
// terms in exactly that order, many centres of a row in lock step across x.
// Window edges only remove terms; a removed term is replaced by V = 0, and
// adding w * 0.0 = +0.0 leaves a sum of non-negative terms unchanged.
//
// Rows of P go top to bottom. For each, the pair values V_d of all its
// displacements are computed once, one strip of columns at a time so that
// they stay in cache, and every centre row that this P row feeds runs its
// term list over them. Each live centre row has an accumulator row that is
// zeroed before its first P row and copied out after its last one.
//
// A term position (px, dy, dx) reads the same values V_d at the same columns
// for every centre row py of the P row, only the weight differs. So when the
// window is large enough and the path has the registers for it (AVX-512 and
// the plain path), a group of up to kGroupRows centre rows goes through
// the term positions together (the blocked gather): each value vector is
// loaded once and added, with each row's own weight, to accumulators that stay
// in registers. Rows are independent, so each still sees its own terms in its
// own order.

namespace clsgint {
namespace {

constexpr std::size_t kStripDoubles = 32768;  // pair values kept per strip (256 KiB)
constexpr long kStripUnit = 96;               // interior strips: whole gather blocks of both kinds
static_assert(kStripUnit % kGatherBlock == 0 && kStripUnit % kBlockLanes == 0, "strip unit");

// e_c = float(max(0, |p_c - q_c| - step)) * rt_c;  s = 1 - ((e_g^2 + e_r^2) + e_b^2)
// value = s > 0 ? (s * f2) * (twice ? 2 : 1) : 0
inline double pairValue(const unsigned char* const p[3], const unsigned char* const q[3],
                        const float* const rt[3], long j, int step, double f2, bool twice) {
    double e[3];
    for (int c = 0; c < 3; ++c) {
        const int d = std::max(0, std::abs(int(p[c][j]) - int(q[c][j])) - step);
        e[c] = static_cast<double>(static_cast<float>(d) * rt[c][j]);
    }
    const double s = 1.0 - ((e[1] * e[1] + e[0] * e[0]) + e[2] * e[2]);
    if (!(s > 0.0)) return 0.0;
    const double v = s * f2;
    return twice ? v * 2.0 : v;
}

void pairRowPortable(const unsigned char* const p[3], const unsigned char* const q[3],
                     const float* const rt[3], long n, int step, double f2, bool twice, double* v) {
    for (long j = 0; j < n; ++j) v[j] = pairValue(p, q, rt, j, step, f2, twice);
}

void gatherPortable(const double* v, const std::ptrdiff_t* off, const double* w, std::size_t n,
                    double* acc, long chunks) {
    const long lanes = chunks * kUnit;
    double a[kGatherBlock];
    for (long i = 0; i < lanes; ++i) a[i] = acc[i];
    for (std::size_t t = 0; t < n; ++t) {
        const double* src = v + off[t];
        const double wt = w[t];
        for (long i = 0; i < lanes; ++i) a[i] += wt * src[i];
    }
    for (long i = 0; i < lanes; ++i) acc[i] = a[i];
}

void blockPortable(const double* v, const TermRun* runs, std::size_t nRuns,
                   const std::ptrdiff_t* off, const double* w, double* const* acc, int rows) {
    double a[kGroupRows][kBlockLanes];
    for (int r = 0; r < rows; ++r) std::copy(acc[r], acc[r] + kBlockLanes, a[r]);
    for (std::size_t j = 0; j < nRuns; ++j)
        for (int k = 0; k < runs[j].count; ++k, ++off)
            for (int r = runs[j].first; r <= runs[j].last; ++r, ++w)
                for (long i = 0; i < kBlockLanes; ++i) a[r][i] += *w * v[*off + i];
    for (int r = 0; r < rows; ++r) std::copy(a[r], a[r] + kBlockLanes, acc[r]);
}

struct Kernels {
    PairRowFn pairRow;
    GatherFn gather;
    BlockFn block;  // none: every centre row runs its own term list
};

Kernels selectKernels() {
    switch (kvActiveSimd()) {
#ifdef CLSG_X86_SIMD
        case kvSimdLevel::Avx512:
            return {pairRowAvx512, gatherAvx512, blockAvx512};
        case kvSimdLevel::Avx2:
            return {pairRowAvx2, gatherAvx2, nullptr};  // 16 registers: the gather is faster
#endif
        default:
            return {pairRowPortable, gatherPortable, blockPortable};
    }
}

long roundUp(long v, long unit) { return (v + unit - 1) / unit * unit; }

// Terms of the centres lying py rows below their P row, in the order a centre
// receives them: offset into the pair values of a strip, and weight product.
struct TermList {
    std::vector<std::ptrdiff_t> off;
    std::vector<double> w;
};

// The term stream of the centre rows first..first+rows-1 of the ring (those
// lying lo+first.. rows below their P row), for the blocked gather.
struct GroupTerms {
    long first, rows;
    std::vector<TermRun> runs;
    std::vector<std::ptrdiff_t> off;
    std::vector<double> w;
};

// Offsets lo..hi of a neighbourhood of size n >= 2 from its centre, its kernel
// weights, and what of it fits a width x height window: only offsets and
// displacements inside the window can ever contribute (|px|, |dx| < width,
// |py|, dy < height). Pair values are kept in planes: dy = 0 with dx >= 0,
// then each dy > 0 with all dx.
struct Geometry {
    Geometry(int32_t size, long width, long height)
        : n(size),
          even(n % 2 == 0),
          lo(-(n / 2) + (even ? 1 : 0)),
          hi(n / 2),
          m(kernelQuadrantSide(n)),
          kq(neighborhoodKernel(n)),
          r(static_cast<std::size_t>(n)),
          dxMax(std::min<long>(n - 1, width - 1)),
          dyMax(std::min<long>(n - 1, height - 1)),
          pxMin(std::max(lo, -(width - 1))),
          pxMax(std::min(hi, width - 1)),
          pyMin(std::max(lo, -(height - 1))),
          pyMax(std::min(hi, height - 1)),
          span(pxMax - pxMin),
          planes((dxMax + 1) + dyMax * (2 * dxMax + 1)) {
        // K(u, v) = W[r(u) * m + r(v)]: r(u) = |u| for odd N, |u - 0.5| - 0.5 for even N.
        for (long u = lo; u <= hi; ++u) {
            long ru = std::labs(u);
            if (even) {
                const double t = std::fabs(u - 0.5) - 0.5;  // whole, >= 0
                ru = static_cast<int32_t>(t + 0.5);
            }
            r[static_cast<std::size_t>(u - lo)] = ru;
        }
    }
    int kernelAt(long u, long v) const {
        return int(
            kq[r[static_cast<std::size_t>(u - lo)] * m + r[static_cast<std::size_t>(v - lo)]]);
    }
    long planeOf(long dx, long dy) const {
        return dy == 0 ? dx : (dxMax + 1) + (dy - 1) * (2 * dxMax + 1) + (dx + dxMax);
    }

    int32_t n;
    bool even;
    long lo, hi, m;
    const unsigned char* kq;
    std::vector<long> r;
    long dxMax, dyMax, pxMin, pxMax, pyMin, pyMax, span, planes;
};

// Per py (pyMin..pyMax), the terms of the centres py rows below their P row, in the order a
// centre receives them (px descending, dy, dx), with zero weights and positions outside the
// window left out.
std::vector<TermList> termLists(const Geometry& g, long width, long height, long planeStride) {
    std::vector<TermList> terms(static_cast<std::size_t>(g.pyMax - g.pyMin + 1));
    for (long py = g.pyMin; py <= g.pyMax; ++py) {
        TermList& list = terms[static_cast<std::size_t>(py - g.pyMin)];
        for (long px = g.pxMax; px >= g.pxMin; --px) {
            for (long dy = 0; dy <= g.dyMax && py - dy >= g.lo; ++dy) {
                if (py - dy < -(height - 1)) break;  // Q above every centre's window
                for (long dx = (dy == 0 ? 0 : -g.dxMax); dx <= g.dxMax; ++dx) {
                    const long qx = px - dx;
                    if (qx < g.lo || qx > g.hi || std::labs(qx) > width - 1) continue;
                    const int w = g.kernelAt(px, py) * g.kernelAt(qx, py - dy);
                    if (w <= 0) continue;
                    list.off.push_back(g.planeOf(dx, dy) * planeStride + (g.pxMax - px));
                    list.w.push_back(static_cast<double>(w));
                }
            }
        }
    }
    return terms;
}

// The term streams of the blocked gather, for a window that holds a whole neighbourhood each
// way: the centre rows of a P row in groups of up to kGroupRows. For each term position
// (px descending, dy, dx) the rows with a nonzero weight are those of the group with
// py - dy >= lo and both kernel weights nonzero; consecutive positions with the same rows
// become runs, one per unbroken range of rows. Pairs with d != 0 count twice: their values
// come without the factor 2 and their weights carry it, (2w) * v = w * (2v) exactly.
std::vector<GroupTerms> groupTerms(const Geometry& g, long planeStride) {
    const long n = g.n, lo = g.lo, hi = g.hi;
    std::vector<GroupTerms> groups;
    const long count = (n + kGroupRows - 1) / kGroupRows;
    for (long k = 0, first = 0; k < count; ++k) {
        GroupTerms gt;
        gt.first = first;
        gt.rows = (n - first) / (count - k);
        first += gt.rows;
        // Appends the positions dxa..dxb (all with rows as in mask) to the stream.
        auto emit = [&](long px, long dy, long dxa, long dxb, unsigned mask) {
            for (long f = 0; f < gt.rows;) {
                if (!(mask >> f & 1u)) {
                    ++f;
                    continue;
                }
                long l = f;
                while (l + 1 < gt.rows && (mask >> (l + 1) & 1u)) ++l;
                gt.runs.push_back(
                    {static_cast<int>(f), static_cast<int>(l), static_cast<int>(dxb - dxa + 1)});
                for (long dx = dxa; dx <= dxb; ++dx) {
                    gt.off.push_back(g.planeOf(dx, dy) * planeStride + (hi - px));
                    for (long j = f; j <= l; ++j) {
                        const long py = lo + gt.first + j;
                        const int w = g.kernelAt(px, py) * g.kernelAt(px - dx, py - dy);
                        gt.w.push_back(static_cast<double>(dx != 0 || dy != 0 ? 2 * w : w));
                    }
                }
                f = l + 1;
            }
        };
        for (long px = hi; px >= lo; --px)
            for (long dy = 0; dy <= gt.first + gt.rows - 1; ++dy) {
                const long dxa = std::max<long>(dy == 0 ? 0 : 1 - n, px - hi);
                const long dxb = std::min<long>(n - 1, px - lo);
                long segment = dxa;
                unsigned segmentMask = 0;
                for (long dx = dxa; dx <= dxb + 1; ++dx) {
                    unsigned mask = 0;
                    for (long j = 0; dx <= dxb && j < gt.rows; ++j) {
                        const long py = lo + gt.first + j;
                        if (py - dy >= lo && g.kernelAt(px, py) * g.kernelAt(px - dx, py - dy) > 0)
                            mask |= 1u << j;
                    }
                    if (dx > dxa && (dx > dxb || mask != segmentMask)) {
                        emit(px, dy, segment, dx - 1, segmentMask);
                        segment = dx;
                    }
                    segmentMask = mask;
                }
            }
        groups.push_back(std::move(gt));
    }
    return groups;
}

// The scan: P rows top to bottom, each in strips of columns; per strip the pair values of
// every displacement, then every centre row the P row feeds gathers its terms over them.
class Scan {
public:
    Scan(const kvPlanesView& img, double f2, const float* reciprocalTable,
         const unsigned char* toleranceTable, unsigned char levelStep,
         const kvImageView<double>& out)
        : img_(img), out_(out), f2_(f2), step_(levelStep), kernels_(selectKernels()) {
        for (int v = 0; v < 256; ++v) recipTol_[v] = reciprocalTable[toleranceTable[v]];
    }

    void run(int32_t n) {
        const long width = img_.width, height = img_.height;
        const Geometry g(n, width, height);
        blocked_ = kernels_.block && width >= n && height >= n;
        const long laneUnit = blocked_ ? kBlockLanes : kUnit;  // rows are padded to it
        // Strip width: interior strips a multiple of the gather block (of both kinds when
        // blocked), the plane set of one strip about kStripDoubles values.
        const long stripUnit = blocked_ ? kStripUnit : kGatherBlock;
        long strip =
            (static_cast<long>(kStripDoubles / static_cast<std::size_t>(g.planes)) - g.span) /
            stripUnit * stripUnit;
        strip = std::max(strip, stripUnit);
        if (strip >= width) strip = roundUp(width, laneUnit);
        const long planeStride = strip + g.span;

        const std::vector<TermList> terms = termLists(g, width, height, planeStride);
        std::vector<GroupTerms> groups;
        if (blocked_) groups = groupTerms(g, planeStride);

        ring_ = g.pyMax - g.pyMin + 1;  // centre rows fed by one P row
        accWidth_ = roundUp(width, laneUnit);
        acc_.assign(static_cast<std::size_t>(ring_ * accWidth_), 0.0);
        values_.assign(static_cast<std::size_t>(g.planes) * static_cast<std::size_t>(planeStride),
                       0.0);
        rtRow_.assign(static_cast<std::size_t>(3 * planeStride), 0.0f);

        const long y0 = img_.y0, y1 = y0 + height;
        for (long y = y0; y < y1; ++y) {
            pollAttentionAtRow(y);
            const long cyLo = std::max(y0, y + g.pyMin), cyHi = std::min(y1 - 1, y + g.pyMax);
            for (long cy = cyLo; cy <= cyHi; ++cy)
                if (y == std::max(y0, cy - g.pyMax))
                    std::fill(accRow(cy), accRow(cy) + accWidth_, 0.0);
            for (long sx = 0; sx < width; sx += strip) {
                const long lanes = roundUp(std::min(strip, width - sx), laneUnit);
                pairValues(g, y, sx, lanes, planeStride);
                if (blocked_)
                    gatherBlocked(g, groups, y, sx, lanes, cyLo, cyHi);
                else
                    gatherRows(g, terms, y, sx, lanes, cyLo, cyHi);
            }
            for (long cy = cyLo; cy <= cyHi; ++cy)
                if (y == std::min(y1 - 1, cy - g.pyMin))
                    std::copy(accRow(cy), accRow(cy) + width, out_.row(cy));
        }
    }

private:
    double* accRow(long cy) { return acc_.data() + ((cy - img_.y0) % ring_) * accWidth_; }
    const unsigned char* pelRow(int c, long y) const {
        return img_.plane[c] + (y - img_.y0) * img_.stride[c];
    }

    // The values of every displacement's plane for the P row y, columns sx.. of the strip
    // (value index 0 is P at column x0 + sx - pxMax); zero where P or Q is outside.
    void pairValues(const Geometry& g, long y, long sx, long lanes, long planeStride) {
        const long x0 = img_.x0, x1 = x0 + img_.width, y1 = img_.y0 + img_.height;
        const long vLen = lanes + g.span;
        const long vx0 = x0 + sx - g.pxMax;  // absolute column of P at value index 0
        const long ja = std::max(0L, x0 - vx0), jb = std::min(vLen, x1 - vx0);
        const unsigned char* prow[3] = {pelRow(0, y), pelRow(1, y), pelRow(2, y)};
        float* rt[3];
        for (int c = 0; c < 3; ++c) {
            rt[c] = rtRow_.data() + c * planeStride;
            for (long j = ja; j < jb; ++j) rt[c][j] = recipTol_[prow[c][vx0 + j - x0]];
        }
        for (long dy = 0; dy <= g.dyMax; ++dy) {
            for (long dx = (dy == 0 ? 0 : -g.dxMax); dx <= g.dxMax; ++dx) {
                double* v = values_.data() + g.planeOf(dx, dy) * planeStride;
                const long qy = y + dy;
                const long a = std::max(ja, x0 - dx - vx0), b = std::min(jb, x1 - dx - vx0);
                if (qy >= y1 || a >= b) {
                    std::fill(v, v + vLen, 0.0);
                    continue;
                }
                std::fill(v, v + a, 0.0);
                std::fill(v + b, v + vLen, 0.0);
                const unsigned char* p[3];
                const unsigned char* q[3];
                const float* rtp[3];
                for (int c = 0; c < 3; ++c) {
                    p[c] = prow[c] + (vx0 + a - x0);
                    q[c] = pelRow(c, qy) + (vx0 + a + dx - x0);
                    rtp[c] = rt[c] + a;
                }
                kernels_.pairRow(p, q, rtp, b - a, step_, f2_, !blocked_ && (dx != 0 || dy != 0),
                                 v + a);
            }
        }
    }

    // Each group of centre rows through the blocked gather; rows outside the window add
    // into a spare row.
    void gatherBlocked(const Geometry& g, const std::vector<GroupTerms>& groups, long y, long sx,
                       long lanes, long cyLo, long cyHi) {
        for (long i = 0; i < lanes; i += kBlockLanes)
            for (const GroupTerms& gt : groups) {
                double* rows[kGroupRows];
                for (long k = 0; k < gt.rows; ++k) {
                    const long cy = y + g.lo + gt.first + k;
                    rows[k] = cy >= cyLo && cy <= cyHi ? accRow(cy) + sx + i : spare_;
                }
                kernels_.block(values_.data() + i, gt.runs.data(), gt.runs.size(), gt.off.data(),
                               gt.w.data(), rows, static_cast<int>(gt.rows));
            }
    }

    // Each centre row the P row feeds runs its own term list.
    void gatherRows(const Geometry& g, const std::vector<TermList>& terms, long y, long sx,
                    long lanes, long cyLo, long cyHi) {
        for (long i = 0; i < lanes; i += kGatherBlock) {
            const long chunks = std::min(kBlockChunks, (lanes - i) / kUnit);
            for (long cy = cyLo; cy <= cyHi; ++cy) {
                const TermList& list = terms[static_cast<std::size_t>(cy - y - g.pyMin)];
                kernels_.gather(values_.data() + i, list.off.data(), list.w.data(), list.off.size(),
                                accRow(cy) + sx + i, chunks);
            }
        }
    }

    const kvPlanesView img_;
    const kvImageView<double> out_;
    const double f2_;
    const int step_;
    const Kernels kernels_;
    float recipTol_[256];
    bool blocked_ = false;
    long ring_ = 1, accWidth_ = 0;
    std::vector<double> acc_, values_;
    std::vector<float> rtRow_;
    double spare_[kBlockLanes] = {};  // stands in for centre rows outside the window
};

}  // namespace
}  // namespace clsgint

void clsgint::computeSelfSimilarityPlanes(const kvPlanesView& img, double colorToleranceFrac,
                                          int32_t neighborhoodSize, const float* reciprocalTable,
                                          const unsigned char* toleranceTable,
                                          unsigned char levelStep, const kvImageView<double>& out) {
    if (img.width <= 0 || img.height <= 0) return;
    const double f2 = colorToleranceFrac * colorToleranceFrac;
    if (neighborhoodSize <= 1) {
        for (long y = img.y0; y < img.y0 + img.height; ++y)
            std::fill(out.row(y), out.row(y) + img.width, f2);
        return;
    }
    Scan(img, f2, reciprocalTable, toleranceTable, levelStep, out).run(neighborhoodSize);
}
