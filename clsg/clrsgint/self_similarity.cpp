#include "clsg/clrsgint/self_similarity.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <vector>

#include "clsg/clrsgint/abort_poll.h"
#include "clsg/clrsgint/cpu_features.h"
#include "clsg/clrsgint/neighborhood_kernel.h"

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

namespace {

#define CLSG_TARGET_AVX2 __attribute__((target("avx2")))
#define CLSG_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq")))

constexpr long kUnit = 8;         // lanes of one gather chunk; rows are padded to it
constexpr long kBlockChunks = 4;  // chunks of a full gather block
constexpr long kBlock = kUnit * kBlockChunks;
constexpr std::size_t kStripDoubles = 32768;  // pair values kept per strip (256 KiB)

// Pair values of one P row segment: v[j] = value of (p[.][j], q[.][j]),
// rt[c][j] = reciprocal tolerance of p[c][j].
using PairRowFn = void (*)(const unsigned char* const p[3], const unsigned char* const q[3],
                           const float* const rt[3], long n, int step, double f2, bool twice,
                           double* v);
// acc[i] += w[t] * v[off[t] + i] for t = 0..n-1 in order, i < chunks * kUnit.
using GatherFn = void (*)(const double* v, const std::ptrdiff_t* off, const double* w,
                          std::size_t n, double* acc, long chunks);

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
    double a[kBlock];
    for (long i = 0; i < lanes; ++i) a[i] = acc[i];
    for (std::size_t t = 0; t < n; ++t) {
        const double* src = v + off[t];
        const double wt = w[t];
        for (long i = 0; i < lanes; ++i) a[i] += wt * src[i];
    }
    for (long i = 0; i < lanes; ++i) acc[i] = a[i];
}

#if defined(__x86_64__) || defined(__i386__)

// Channel distance beyond the level step, as floats, times the reciprocal tolerance.
CLSG_TARGET_AVX2 inline __m256 channelErrorAvx2(const unsigned char* p, const unsigned char* q,
                                                const float* rt, __m256i step) {
    const __m256i a = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    const __m256i b = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q)));
    const __m256i d = _mm256_max_epi32(
        _mm256_sub_epi32(_mm256_abs_epi32(_mm256_sub_epi32(a, b)), step), _mm256_setzero_si256());
    return _mm256_mul_ps(_mm256_cvtepi32_ps(d), _mm256_loadu_ps(rt));
}

CLSG_TARGET_AVX2 inline __m256d pairValueAvx2(__m128 er, __m128 eg, __m128 eb, __m256d f2,
                                              bool twice) {
    const __m256d r = _mm256_cvtps_pd(er), g = _mm256_cvtps_pd(eg), b = _mm256_cvtps_pd(eb);
    const __m256d sq =
        _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(g, g), _mm256_mul_pd(r, r)), _mm256_mul_pd(b, b));
    const __m256d s = _mm256_sub_pd(_mm256_set1_pd(1.0), sq);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d pos = _mm256_cmp_pd(s, zero, _CMP_GT_OQ);
    __m256d v = _mm256_mul_pd(s, f2);
    if (twice) v = _mm256_mul_pd(v, _mm256_set1_pd(2.0));
    return _mm256_blendv_pd(zero, v, pos);
}

CLSG_TARGET_AVX2 void pairRowAvx2(const unsigned char* const p[3], const unsigned char* const q[3],
                                  const float* const rt[3], long n, int step, double f2, bool twice,
                                  double* v) {
    const __m256i vstep = _mm256_set1_epi32(step);
    const __m256d vf2 = _mm256_set1_pd(f2);
    long j = 0;
    for (; j + 8 <= n; j += 8) {
        const __m256 er = channelErrorAvx2(p[0] + j, q[0] + j, rt[0] + j, vstep);
        const __m256 eg = channelErrorAvx2(p[1] + j, q[1] + j, rt[1] + j, vstep);
        const __m256 eb = channelErrorAvx2(p[2] + j, q[2] + j, rt[2] + j, vstep);
        _mm256_storeu_pd(v + j,
                         pairValueAvx2(_mm256_castps256_ps128(er), _mm256_castps256_ps128(eg),
                                       _mm256_castps256_ps128(eb), vf2, twice));
        _mm256_storeu_pd(v + j + 4,
                         pairValueAvx2(_mm256_extractf128_ps(er, 1), _mm256_extractf128_ps(eg, 1),
                                       _mm256_extractf128_ps(eb, 1), vf2, twice));
    }
    if (j < n) {  // the last few pixels through zero-padded copies
        const long rest = n - j;
        alignas(32) unsigned char pb[3][8] = {}, qb[3][8] = {};
        alignas(32) float rb[3][8] = {};
        alignas(32) double vb[8];
        for (int c = 0; c < 3; ++c)
            for (long k = 0; k < rest; ++k) {
                pb[c][k] = p[c][j + k];
                qb[c][k] = q[c][j + k];
                rb[c][k] = rt[c][j + k];
            }
        const unsigned char* const pp[3] = {pb[0], pb[1], pb[2]};
        const unsigned char* const qq[3] = {qb[0], qb[1], qb[2]};
        const float* const rr[3] = {rb[0], rb[1], rb[2]};
        pairRowAvx2(pp, qq, rr, 8, step, f2, twice, vb);
        std::copy(vb, vb + rest, v + j);
    }
}

// nv accumulators of 4 lanes, kept in registers over the whole term list.
template <int NV>
CLSG_TARGET_AVX2 void gatherAvx2N(const double* v, const std::ptrdiff_t* off, const double* w,
                                  std::size_t n, double* acc) {
    __m256d a[NV];
    for (int k = 0; k < NV; ++k) a[k] = _mm256_loadu_pd(acc + 4 * k);
    for (std::size_t t = 0; t < n; ++t) {
        const double* src = v + off[t];
        const __m256d wt = _mm256_broadcast_sd(w + t);
        for (int k = 0; k < NV; ++k)
            a[k] = _mm256_add_pd(a[k], _mm256_mul_pd(wt, _mm256_loadu_pd(src + 4 * k)));
    }
    for (int k = 0; k < NV; ++k) _mm256_storeu_pd(acc + 4 * k, a[k]);
}

CLSG_TARGET_AVX2 void gatherAvx2(const double* v, const std::ptrdiff_t* off, const double* w,
                                 std::size_t n, double* acc, long chunks) {
    // Up to four chunks (8 registers) per pass over the term list.
    while (chunks > 0) {
        const long c = std::min(chunks, 4L);
        switch (c) {
            case 4:
                gatherAvx2N<8>(v, off, w, n, acc);
                break;
            case 3:
                gatherAvx2N<6>(v, off, w, n, acc);
                break;
            case 2:
                gatherAvx2N<4>(v, off, w, n, acc);
                break;
            default:
                gatherAvx2N<2>(v, off, w, n, acc);
                break;
        }
        v += c * kUnit;
        acc += c * kUnit;
        chunks -= c;
    }
}

// The all-lanes masked forms: GCC 12's plain forms warn about an undefined
// pass-through operand.
constexpr __mmask16 kAll16 = 0xFFFF;
constexpr __mmask8 kAll8 = 0xFF;

// max(0, |a - b| - step) per byte.
CLSG_TARGET_AVX512 inline __m128i distanceBeyondStep(__m128i a, __m128i b, __m128i step) {
    return _mm_subs_epu8(_mm_sub_epi8(_mm_max_epu8(a, b), _mm_min_epu8(a, b)), step);
}
CLSG_TARGET_AVX512 inline __m512i distanceBeyondStep(__m512i a, __m512i b, __m512i step) {
    return _mm512_subs_epu8(_mm512_sub_epi8(_mm512_max_epu8(a, b), _mm512_min_epu8(a, b)), step);
}

// Channel errors of 16 pixels from their byte distances and reciprocal tolerances.
CLSG_TARGET_AVX512 inline __m512 channelErrorAvx512(__m128i distance, const float* rt,
                                                    __mmask16 lanes) {
    const __m512i d = _mm512_maskz_cvtepu8_epi32(kAll16, distance);
    return _mm512_mul_ps(_mm512_maskz_cvtepi32_ps(kAll16, d), _mm512_maskz_loadu_ps(lanes, rt));
}

CLSG_TARGET_AVX512 inline __m512d pairValueAvx512(__m256 er, __m256 eg, __m256 eb, __m512d f2,
                                                  bool twice) {
    const __m512d r = _mm512_maskz_cvtps_pd(kAll8, er), g = _mm512_maskz_cvtps_pd(kAll8, eg),
                  b = _mm512_maskz_cvtps_pd(kAll8, eb);
    const __m512d sq =
        _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(g, g), _mm512_mul_pd(r, r)), _mm512_mul_pd(b, b));
    const __m512d s = _mm512_sub_pd(_mm512_set1_pd(1.0), sq);
    const __mmask8 pos = _mm512_cmp_pd_mask(s, _mm512_setzero_pd(), _CMP_GT_OQ);
    __m512d v = _mm512_mul_pd(s, f2);
    if (twice) v = _mm512_mul_pd(v, _mm512_set1_pd(2.0));
    return _mm512_maskz_mov_pd(pos, v);
}

// Pair values of 16 pixels from byte distances; only the given lanes of rt are read.
CLSG_TARGET_AVX512 inline void pairBlockAvx512(const __m128i distance[3], const float* const rt[3],
                                               long j, __m512d f2, bool twice, __mmask16 lanes,
                                               double* v) {
    const __m512 er = channelErrorAvx512(distance[0], rt[0] + j, lanes);
    const __m512 eg = channelErrorAvx512(distance[1], rt[1] + j, lanes);
    const __m512 eb = channelErrorAvx512(distance[2], rt[2] + j, lanes);
    const __m512d first = pairValueAvx512(_mm512_castps512_ps256(er), _mm512_castps512_ps256(eg),
                                          _mm512_castps512_ps256(eb), f2, twice);
    const __m512d second = pairValueAvx512(_mm512_maskz_extractf32x8_ps(kAll8, er, 1),
                                           _mm512_maskz_extractf32x8_ps(kAll8, eg, 1),
                                           _mm512_maskz_extractf32x8_ps(kAll8, eb, 1), f2, twice);
    if (lanes == kAll16) {
        _mm512_storeu_pd(v + j, first);
        _mm512_storeu_pd(v + j + 8, second);
    } else {
        _mm512_mask_storeu_pd(v + j, static_cast<__mmask8>(lanes), first);
        _mm512_mask_storeu_pd(v + j + 8, static_cast<__mmask8>(lanes >> 8), second);
    }
}

CLSG_TARGET_AVX512 void pairRowAvx512(const unsigned char* const p[3],
                                      const unsigned char* const q[3], const float* const rt[3],
                                      long n, int step, double f2, bool twice, double* v) {
    const __m512i step64 = _mm512_set1_epi8(static_cast<char>(step));
    const __m128i step16 = _mm512_castsi512_si128(step64);
    const __m512d vf2 = _mm512_set1_pd(f2);
    long j = 0;
    // 64 pixels: byte distances at once, then four groups of 16.
    for (; j + 64 <= n; j += 64) {
        __m128i part[4][3];
        for (int c = 0; c < 3; ++c) {
            const __m512i d = distanceBeyondStep(_mm512_loadu_si512(p[c] + j),
                                                 _mm512_loadu_si512(q[c] + j), step64);
            part[0][c] = _mm512_castsi512_si128(d);
            part[1][c] = _mm512_maskz_extracti32x4_epi32(0xF, d, 1);
            part[2][c] = _mm512_maskz_extracti32x4_epi32(0xF, d, 2);
            part[3][c] = _mm512_maskz_extracti32x4_epi32(0xF, d, 3);
        }
        for (int k = 0; k < 4; ++k) pairBlockAvx512(part[k], rt, j + 16 * k, vf2, twice, kAll16, v);
    }
    // Groups of 16, the last one masked so that loads and stores stay inside the row.
    for (; j < n; j += 16) {
        const __mmask16 lanes = n - j >= 16 ? kAll16 : static_cast<__mmask16>((1u << (n - j)) - 1);
        __m128i distance[3];
        for (int c = 0; c < 3; ++c)
            distance[c] = distanceBeyondStep(_mm_maskz_loadu_epi8(lanes, p[c] + j),
                                             _mm_maskz_loadu_epi8(lanes, q[c] + j), step16);
        pairBlockAvx512(distance, rt, j, vf2, twice, lanes, v);
    }
}

template <int NV>
CLSG_TARGET_AVX512 void gatherAvx512N(const double* v, const std::ptrdiff_t* off, const double* w,
                                      std::size_t n, double* acc) {
    __m512d a[NV];
    for (int k = 0; k < NV; ++k) a[k] = _mm512_loadu_pd(acc + 8 * k);
    for (std::size_t t = 0; t < n; ++t) {
        const double* src = v + off[t];
        const __m512d wt = _mm512_set1_pd(w[t]);
        for (int k = 0; k < NV; ++k)
            a[k] = _mm512_add_pd(a[k], _mm512_mul_pd(wt, _mm512_loadu_pd(src + 8 * k)));
    }
    for (int k = 0; k < NV; ++k) _mm512_storeu_pd(acc + 8 * k, a[k]);
}

CLSG_TARGET_AVX512 void gatherAvx512(const double* v, const std::ptrdiff_t* off, const double* w,
                                     std::size_t n, double* acc, long chunks) {
    switch (chunks) {
        case 4:
            gatherAvx512N<4>(v, off, w, n, acc);
            break;
        case 3:
            gatherAvx512N<3>(v, off, w, n, acc);
            break;
        case 2:
            gatherAvx512N<2>(v, off, w, n, acc);
            break;
        default:
            gatherAvx512N<1>(v, off, w, n, acc);
            break;
    }
}

#endif

struct Kernels {
    PairRowFn pairRow;
    GatherFn gather;
};

Kernels selectKernels() {
    switch (kvActiveSimd()) {
#if defined(__x86_64__) || defined(__i386__)
        case kvSimdLevel::Avx512:
            return {pairRowAvx512, gatherAvx512};
        case kvSimdLevel::Avx2:
            return {pairRowAvx2, gatherAvx2};
#endif
        default:
            return {pairRowPortable, gatherPortable};
    }
}

long roundUp(long v, long unit) { return (v + unit - 1) / unit * unit; }

// Terms of the centres lying py rows below their P row, in the order a centre
// receives them: offset into the pair values of a strip, and weight product.
struct TermList {
    std::vector<std::ptrdiff_t> off;
    std::vector<double> w;
};

}  // namespace

void computeSelfSimilarityPlanes(const kvPlanesView& img, double colorToleranceFrac,
                                 int32_t neighborhoodSize, const float* reciprocalTable,
                                 const unsigned char* toleranceTable, unsigned char levelStep,
                                 const kvImageView<double>& out) {
    const long width = img.width, height = img.height;
    if (width <= 0 || height <= 0) return;
    const long x0 = img.x0, y0 = img.y0, x1 = x0 + width, y1 = y0 + height;
    const double f2 = colorToleranceFrac * colorToleranceFrac;
    const int32_t n = neighborhoodSize;

    if (n <= 1) {
        for (long y = y0; y < y1; ++y) std::fill(out.row(y), out.row(y) + width, f2);
        return;
    }

    // Offsets lo..hi from the centre; kernel weight K(u, v) = W[r(u) * m + r(v)].
    const bool even = (n % 2 == 0);
    const long half = n / 2;
    const long lo = -half + (even ? 1 : 0), hi = half;
    const long m = kernelQuadrantSide(n);
    const unsigned char* kq = neighborhoodKernel(n);
    std::vector<long> r(static_cast<std::size_t>(n));
    for (long u = lo; u <= hi; ++u) {
        long ru = std::labs(u);
        if (even) {
            const double t = std::fabs(u - 0.5) - 0.5;  // whole, >= 0
            ru = static_cast<int32_t>(t + 0.5);
        }
        r[static_cast<std::size_t>(u - lo)] = ru;
    }
    auto kernelAt = [&](long u, long v) {
        return int(
            kq[r[static_cast<std::size_t>(u - lo)] * m + r[static_cast<std::size_t>(v - lo)]]);
    };

    // Only offsets and displacements that fit inside the window can ever
    // contribute: |px|, |dx| < width, |py|, dy < height.
    const long dxMax = std::min<long>(n - 1, width - 1), dyMax = std::min<long>(n - 1, height - 1);
    const long pxMin = std::max(lo, -(width - 1)), pxMax = std::min(hi, width - 1);
    const long pyMin = std::max(lo, -(height - 1)), pyMax = std::min(hi, height - 1);
    const long span = pxMax - pxMin;
    // Pair-value planes: dy = 0 with dx >= 0, then each dy > 0 with all dx.
    const long planes = (dxMax + 1) + dyMax * (2 * dxMax + 1);
    auto planeOf = [&](long dx, long dy) {
        return dy == 0 ? dx : (dxMax + 1) + (dy - 1) * (2 * dxMax + 1) + (dx + dxMax);
    };

    // Strip width: interior strips a multiple of the gather block, the plane
    // set of one strip about kStripDoubles values.
    long strip = (static_cast<long>(kStripDoubles / static_cast<std::size_t>(planes)) - span) /
                 kBlock * kBlock;
    strip = std::max(strip, kBlock);
    if (strip >= width) strip = roundUp(width, kUnit);
    const long planeStride = strip + span;

    std::vector<TermList> terms(static_cast<std::size_t>(pyMax - pyMin + 1));
    for (long py = pyMin; py <= pyMax; ++py) {
        TermList& list = terms[static_cast<std::size_t>(py - pyMin)];
        for (long px = pxMax; px >= pxMin; --px) {
            for (long dy = 0; dy <= dyMax && py - dy >= lo; ++dy) {
                if (py - dy < -(height - 1)) break;  // Q above every centre's window
                for (long dx = (dy == 0 ? 0 : -dxMax); dx <= dxMax; ++dx) {
                    const long qx = px - dx;
                    if (qx < lo || qx > hi || std::labs(qx) > width - 1) continue;
                    const int w = kernelAt(px, py) * kernelAt(qx, py - dy);
                    if (w <= 0) continue;
                    list.off.push_back(planeOf(dx, dy) * planeStride + (pxMax - px));
                    list.w.push_back(static_cast<double>(w));
                }
            }
        }
    }

    float recipTol[256];
    for (int v = 0; v < 256; ++v) recipTol[v] = reciprocalTable[toleranceTable[v]];

    const Kernels kernels = selectKernels();
    const long ring = pyMax - pyMin + 1;  // centre rows fed by one P row
    const long accWidth = roundUp(width, kUnit);
    std::vector<double> acc(static_cast<std::size_t>(ring * accWidth));
    std::vector<double> values(static_cast<std::size_t>(planes) *
                               static_cast<std::size_t>(planeStride));
    std::vector<float> rtRow(static_cast<std::size_t>(3 * planeStride));
    auto accRow = [&](long cy) { return acc.data() + ((cy - y0) % ring) * accWidth; };
    auto pelRow = [&](int c, long y) { return img.plane[c] + (y - img.y0) * img.stride[c]; };

    for (long y = y0; y < y1; ++y) {
        pollAttentionAtRow(y);
        const long cyLo = std::max(y0, y + pyMin), cyHi = std::min(y1 - 1, y + pyMax);
        for (long cy = cyLo; cy <= cyHi; ++cy)
            if (y == std::max(y0, cy - pyMax)) std::fill(accRow(cy), accRow(cy) + accWidth, 0.0);
        const unsigned char* prow[3] = {pelRow(0, y), pelRow(1, y), pelRow(2, y)};

        for (long sx = 0; sx < width; sx += strip) {
            const long lanes = roundUp(std::min(strip, width - sx), kUnit);
            const long vLen = lanes + span;
            const long vx0 = x0 + sx - pxMax;  // absolute column of P at value index 0
            const long ja = std::max(0L, x0 - vx0), jb = std::min(vLen, x1 - vx0);
            float* rt[3];
            for (int c = 0; c < 3; ++c) {
                rt[c] = rtRow.data() + c * planeStride;
                for (long j = ja; j < jb; ++j) rt[c][j] = recipTol[prow[c][vx0 + j - x0]];
            }

            for (long dy = 0; dy <= dyMax; ++dy) {
                for (long dx = (dy == 0 ? 0 : -dxMax); dx <= dxMax; ++dx) {
                    double* v = values.data() + planeOf(dx, dy) * planeStride;
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
                    kernels.pairRow(p, q, rtp, b - a, levelStep, f2, dx != 0 || dy != 0, v + a);
                }
            }

            for (long i = 0; i < lanes; i += kBlock) {
                const long chunks = std::min(kBlockChunks, (lanes - i) / kUnit);
                for (long cy = cyLo; cy <= cyHi; ++cy) {
                    const TermList& list = terms[static_cast<std::size_t>(cy - y - pyMin)];
                    kernels.gather(values.data() + i, list.off.data(), list.w.data(),
                                   list.off.size(), accRow(cy) + sx + i, chunks);
                }
            }
        }

        for (long cy = cyLo; cy <= cyHi; ++cy)
            if (y == std::min(y1 - 1, cy - pyMin))
                std::copy(accRow(cy), accRow(cy) + width, out.row(cy));
    }
}
