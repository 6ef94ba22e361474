// The AVX-512 path of the self-similarity sum (layout: simd_dispatch.h).
#include <immintrin.h>

#include "clsg/clrsgint/self_similarity_simd.h"

namespace clsgint {
namespace {

// The all-lanes masked forms: GCC 12's plain forms warn about an undefined
// pass-through operand.
constexpr __mmask16 kAll16 = 0xFFFF;
constexpr __mmask8 kAll8 = 0xFF;

// max(0, |a - b| - step) per byte.
inline __m128i distanceBeyondStep(__m128i a, __m128i b, __m128i step) {
    return _mm_subs_epu8(_mm_sub_epi8(_mm_max_epu8(a, b), _mm_min_epu8(a, b)), step);
}
inline __m512i distanceBeyondStep(__m512i a, __m512i b, __m512i step) {
    return _mm512_subs_epu8(_mm512_sub_epi8(_mm512_max_epu8(a, b), _mm512_min_epu8(a, b)), step);
}

// Channel errors of 16 pixels from their byte distances and reciprocal tolerances.
inline __m512 channelErrorAvx512(__m128i distance, const float* rt, __mmask16 lanes) {
    const __m512i d = _mm512_maskz_cvtepu8_epi32(kAll16, distance);
    return _mm512_mul_ps(_mm512_maskz_cvtepi32_ps(kAll16, d), _mm512_maskz_loadu_ps(lanes, rt));
}

inline __m512d pairValueAvx512(__m256 er, __m256 eg, __m256 eb, __m512d f2, bool twice) {
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
inline void pairBlockAvx512(const __m128i distance[3], const float* const rt[3], long j, __m512d f2,
                            bool twice, __mmask16 lanes, double* v) {
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

template <int NV>
void gatherAvx512N(const double* v, const std::ptrdiff_t* off, const double* w, std::size_t n,
                   double* acc) {
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

// The blocked gather: R rows of two registers each stay in registers over
// the whole run list. Row indices are template arguments so that the
// accumulator array is never addressed at run time.
#define CLSG_INLINE inline __attribute__((always_inline))

constexpr int kChunks = kBlockLanes / 8;  // registers per row

template <int S, int E, int R>
CLSG_INLINE void addToRows(__m512d (&a)[R][kChunks], const __m512d (&x)[kChunks], const double* w) {
    if constexpr (S < E) {
        const __m512d wt = _mm512_set1_pd(*w);
#pragma GCC unroll 4
        for (int c = 0; c < kChunks; ++c) a[S][c] = _mm512_add_pd(a[S][c], _mm512_mul_pd(wt, x[c]));
        addToRows<S + 1, E, R>(a, x, w + 1);
    }
}

// One run received by the rows F..L.
template <int F, int L, int R>
CLSG_INLINE void runRows(__m512d (&a)[R][kChunks], const double* v, const std::ptrdiff_t* off,
                         int count, const double* w) {
    if constexpr (F <= L && L < R) {
        for (int k = 0; k < count; ++k, w += L - F + 1) {
            __m512d x[kChunks];
#pragma GCC unroll 4
            for (int c = 0; c < kChunks; ++c) x[c] = _mm512_loadu_pd(v + off[k] + 8 * c);
            addToRows<F, L + 1, R>(a, x, w);
        }
    }
}

#define CLSG_RUN(F, L)      \
    case F* kGroupRows + L: \
        return runRows<F, L, R>(a, v, off, count, w);
#define CLSG_RUNS_FROM(F) \
    CLSG_RUN(F, 0)        \
    CLSG_RUN(F, 1)        \
    CLSG_RUN(F, 2)        \
    CLSG_RUN(F, 3)        \
    CLSG_RUN(F, 4) CLSG_RUN(F, 5) CLSG_RUN(F, 6) CLSG_RUN(F, 7) CLSG_RUN(F, 8)

template <int R>
CLSG_INLINE void runAny(const TermRun& run, __m512d (&a)[R][kChunks], const double* v,
                        const std::ptrdiff_t* off, const double* w) {
    static_assert(kGroupRows == 9, "cases for rows 0..8");
    const int count = run.count;
    switch (run.first * kGroupRows + run.last) {
        CLSG_RUNS_FROM(0)
        CLSG_RUNS_FROM(1)
        CLSG_RUNS_FROM(2)
        CLSG_RUNS_FROM(3)
        CLSG_RUNS_FROM(4)
        CLSG_RUNS_FROM(5)
        CLSG_RUNS_FROM(6)
        CLSG_RUNS_FROM(7)
        CLSG_RUNS_FROM(8)
        default:
            return;
    }
}

template <int R>
void blockAvx512N(const double* v, const TermRun* runs, std::size_t nRuns,
                  const std::ptrdiff_t* off, const double* w, double* const* acc) {
    __m512d a[R][kChunks];
#pragma GCC unroll 9
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 4
        for (int c = 0; c < kChunks; ++c) a[r][c] = _mm512_loadu_pd(acc[r] + 8 * c);
    for (std::size_t j = 0; j < nRuns; ++j) {
        runAny<R>(runs[j], a, v, off, w);
        off += runs[j].count;
        w += static_cast<std::ptrdiff_t>(runs[j].count) * (runs[j].last - runs[j].first + 1);
    }
#pragma GCC unroll 9
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 4
        for (int c = 0; c < kChunks; ++c) _mm512_storeu_pd(acc[r] + 8 * c, a[r][c]);
}

}  // namespace

void pairRowAvx512(const unsigned char* const p[3], const unsigned char* const q[3],
                   const float* const rt[3], long n, int step, double f2, bool twice, double* v) {
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

void gatherAvx512(const double* v, const std::ptrdiff_t* off, const double* w, std::size_t n,
                  double* acc, long chunks) {
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

void blockAvx512(const double* v, const TermRun* runs, std::size_t nRuns, const std::ptrdiff_t* off,
                 const double* w, double* const* acc, int rows) {
    static_assert(kBlockLanes % 8 == 0 && kGroupRows == 9, "whole registers per row, nine rows");
    switch (rows) {
        case 9:
            return blockAvx512N<9>(v, runs, nRuns, off, w, acc);
        case 8:
            return blockAvx512N<8>(v, runs, nRuns, off, w, acc);
        case 7:
            return blockAvx512N<7>(v, runs, nRuns, off, w, acc);
        case 6:
            return blockAvx512N<6>(v, runs, nRuns, off, w, acc);
        case 5:
            return blockAvx512N<5>(v, runs, nRuns, off, w, acc);
        case 4:
            return blockAvx512N<4>(v, runs, nRuns, off, w, acc);
        case 3:
            return blockAvx512N<3>(v, runs, nRuns, off, w, acc);
        case 2:
            return blockAvx512N<2>(v, runs, nRuns, off, w, acc);
        default:
            return blockAvx512N<1>(v, runs, nRuns, off, w, acc);
    }
}

}  // namespace clsgint
