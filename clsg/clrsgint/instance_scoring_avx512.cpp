// The AVX-512 path of the scoring kernel (layout: simd_dispatch.h).
#include <immintrin.h>

#include <cstdint>

#include "clsg/clrsgint/instance_scoring_simd.h"

namespace clsgint {
namespace {

// A 256-entry table of 16-bit values held in eight registers, looked up for 32 pixels.
struct Table16 {
    __m512i part[8];
};

inline __m512i lookup16(const Table16& t, __m512i x) {
    // Entries 0..63, 64..127, 128..191, 192..255 by the low six bits, then bits 6 and 7 choose.
    const __m512i e0 = _mm512_permutex2var_epi16(t.part[0], x, t.part[1]);
    const __m512i e1 = _mm512_permutex2var_epi16(t.part[2], x, t.part[3]);
    const __m512i e2 = _mm512_permutex2var_epi16(t.part[4], x, t.part[5]);
    const __m512i e3 = _mm512_permutex2var_epi16(t.part[6], x, t.part[7]);
    const __mmask32 bit6 = _mm512_test_epi16_mask(x, _mm512_set1_epi16(64));
    const __mmask32 bit7 = _mm512_test_epi16_mask(x, _mm512_set1_epi16(128));
    return _mm512_mask_blend_epi16(bit7, _mm512_mask_blend_epi16(bit6, e0, e1),
                                   _mm512_mask_blend_epi16(bit6, e2, e3));
}

// 32 bytes as 16-bit lanes.
inline __m512i widen32(const unsigned char* p) {
    return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}

// The weights of eight cells, loaded in pairs and stored as one vector: one store instead
// of eight scalar ones.
inline __m512d weightsOf8(const double* weights, const int32_t* k) {
    // Two cells per 64-bit load.
    const auto pair = [weights](const int32_t* two) {
        uint64_t both;  // the builtin: this file includes no other header
        __builtin_memcpy(&both, two, sizeof both);
        const auto lo = static_cast<uint32_t>(both), hi = static_cast<uint32_t>(both >> 32);
        return _mm_loadh_pd(_mm_load_sd(weights + lo), weights + hi);
    };
    const __m256d lo = _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(k)), pair(k + 2), 1);
    const __m256d hi = _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(k + 4)), pair(k + 6), 1);
    // The all-lanes mask form: GCC warns about the undefined upper half of the plain one.
    return _mm512_maskz_insertf64x4(0xff, _mm512_castpd256_pd512(lo), hi, 1);
}

// a[i] = a[i] + w * v[x + dx + i] for the terms of s in order, at padded column at.
inline void addTerms(__m512d* a, const SourceRow& s, long at) {
    for (std::size_t t = 0; t < s.termCount; ++t) {
        const __m512d w = _mm512_set1_pd(s.terms[t].w);
        const double* q = s.v + at + s.terms[t].dx;
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j)
            a[j] = _mm512_add_pd(a[j], _mm512_mul_pd(w, _mm512_loadu_pd(q + 8 * j)));
    }
}

// The three terms at offsets -1, 0 and 1 of an N 3 row, in that order: the row's ten
// vectors around the block are loaded once and shifted in registers instead of loaded again
// at each offset (a misaligned load per term and vector costs more).
inline void addTermsNear3(__m512d* a, const SourceRow& s, long at) {
    __m512i X[10];  // X[j + 1] holds v[at + 8 j ...]; the padding covers X[0] and X[9]
#pragma GCC unroll 10
    for (int j = 0; j < 10; ++j)
        X[j] = _mm512_castpd_si512(_mm512_loadu_pd(s.v + at + 8 * (j - 1)));
    // The all-lanes mask form: GCC warns about the undefined source of the plain one.
    const auto left = [&X](int j) {
        return _mm512_castsi512_pd(_mm512_maskz_alignr_epi64(0xff, X[j + 1], X[j], 7));
    };
    const auto right = [&X](int j) {
        return _mm512_castsi512_pd(_mm512_maskz_alignr_epi64(0xff, X[j + 2], X[j + 1], 1));
    };
    const __m512d w0 = _mm512_set1_pd(s.terms[0].w), w1 = _mm512_set1_pd(s.terms[1].w),
                  w2 = _mm512_set1_pd(s.terms[2].w);
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) a[j] = _mm512_add_pd(a[j], _mm512_mul_pd(w0, left(j)));
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j)
        a[j] = _mm512_add_pd(a[j], _mm512_mul_pd(w1, _mm512_castsi512_pd(X[j + 1])));
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) a[j] = _mm512_add_pd(a[j], _mm512_mul_pd(w2, right(j)));
}

}  // namespace

// One chunk (kChunk = 8 pixels) per vector; a weight is non-zero when any bit but the sign
// bit is set.
void fetchCellsAvx512(const double* weights, const int32_t* cell, const LookupJob& job) {
    static_assert(kChunk == 8, "a chunk is one vector");
    const __m512i magnitude = _mm512_set1_epi64(0x7fffffffffffffff);
    // Locals: vector stores may alias anything, job's pointers included.
    double* const v = job.v;
    int32_t* const nzBefore = job.nzBefore;
    const long width = job.width;
    int32_t seen = 0;
    long i = 0;
    for (; i + kChunk <= width; i += kChunk) {
        const __m512d w = weightsOf8(weights, cell + i);
        _mm512_storeu_pd(v + i, w);
        nzBefore[i / kChunk] = seen;
        seen += _mm512_test_epi64_mask(_mm512_castpd_si512(w), magnitude) != 0 ? 1 : 0;
    }
    fetchCellsFrom(weights, cell, job, i, seen);
}

// Cell indices of 32 pixels at a time in vector registers.
void indexRowAvx512(const CellLookup& t, const LookupJob& job) {
    const unsigned char *r = job.plane[0], *g = job.plane[1], *b = job.plane[2];
    Table16 qn, q;
    for (int k = 0; k < 8; ++k) {
        qn.part[k] = _mm512_loadu_si512(t.qn16 + 32 * k);
        q.part[k] = _mm512_loadu_si512(t.q16 + 32 * k);
    }
    const __m512i n = _mm512_set1_epi32(t.n);
    const __mmask16 all16 = 0xFFFF;
    const __mmask8 all4 = 0xF;
    long i = 0;
    // cell = (q[r] * n + q[g]) * n + q[b]; the bracket fits in 16 bits. Tables of training's
    // rule are computed: q[v] = (v * S + 128) >> 8.
    const bool computed = t.scale >= 0;
    const __m512i scale = _mm512_set1_epi16(static_cast<short>(computed ? t.scale : 0));
    const __m512i n16 = _mm512_set1_epi16(static_cast<short>(t.n));
    const auto level = [computed, scale, &q](const unsigned char* p) {
        const __m512i v = widen32(p);
        return computed
                   ? _mm512_srli_epi16(
                         _mm512_add_epi16(_mm512_mullo_epi16(v, scale), _mm512_set1_epi16(128)), 8)
                   : lookup16(q, v);
    };
    // Locals: vector stores may alias anything, job's pointers included.
    int32_t* const cellIndex = job.cellIndex;
    const long width = job.width;
    for (; i + 32 <= width; i += 32) {
        const __m512i rg = _mm512_add_epi16(
            computed ? _mm512_mullo_epi16(level(r + i), n16) : lookup16(qn, widen32(r + i)),
            level(g + i));
        const __m512i lb = level(b + i);
        // Masked widening: the unmasked forms trip a false uninitialised warning in GCC 12.
        const __m256i rgLo = _mm512_maskz_extracti64x4_epi64(all4, rg, 0);
        const __m256i lbLo = _mm512_maskz_extracti64x4_epi64(all4, lb, 0);
        const __m256i rgHi = _mm512_maskz_extracti64x4_epi64(all4, rg, 1);
        const __m256i lbHi = _mm512_maskz_extracti64x4_epi64(all4, lb, 1);
        const __m512i lo =
            _mm512_add_epi32(_mm512_mullo_epi32(_mm512_maskz_cvtepu16_epi32(all16, rgLo), n),
                             _mm512_maskz_cvtepu16_epi32(all16, lbLo));
        const __m512i hi =
            _mm512_add_epi32(_mm512_mullo_epi32(_mm512_maskz_cvtepu16_epi32(all16, rgHi), n),
                             _mm512_maskz_cvtepu16_epi32(all16, lbHi));
        _mm512_storeu_si512(cellIndex + i, lo);
        _mm512_storeu_si512(cellIndex + i + 16, hi);
    }
    for (; i < width; ++i) cellIndex[i] = static_cast<int32_t>(cellOfColour(t, r[i], g[i], b[i]));
}

void sumRowAvx512(const RowJob& job) {
    constexpr long B = 64;  // eight independent add chains
    static_assert(B <= kBlock, "rows are padded for kBlock");
    const __m512d nf = _mm512_set1_pd(job.normFactor);
    // Locals: the compiler cannot tell that the stores leave job alone.
    const long width = job.width;
    const bool first = job.first;
    double* const out = job.out;
    for (long bx = 0; bx < width; bx += B) {
        const long at = job.pad + bx;
        __m512d a[8];
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j) a[j] = _mm512_setzero_pd();
        for (std::size_t k = 0; k < job.rowCount; ++k) {
            const SourceRow& s = job.rows[k];
            if (!blockHasWeight(s, job, at, B)) continue;
            // a[i] = a[i] + w * v[x + dx + i]
            if (s.termCount == 3 && s.terms[0].dx == -1 && s.terms[2].dx == 1) {
                addTermsNear3(a, s, at);
            } else {
                addTerms(a, s, at);
            }
        }
#pragma GCC unroll 8
        // s = S * S * normFactor
        for (int j = 0; j < 8; ++j) a[j] = _mm512_mul_pd(_mm512_mul_pd(a[j], a[j]), nf);
        double* o = out + bx;
        if (bx + B > width) {
            alignas(64) double s[B];
#pragma GCC unroll 8
            for (int j = 0; j < 8; ++j) _mm512_store_pd(s + 8 * j, a[j]);
            storeScores(s, width - bx, o, first);
        } else if (first) {
#pragma GCC unroll 8
            for (int j = 0; j < 8; ++j) _mm512_storeu_pd(o + 8 * j, a[j]);
        } else {
#pragma GCC unroll 8
            for (int j = 0; j < 8; ++j) {
                const __mmask8 gt =
                    _mm512_cmp_pd_mask(a[j], _mm512_loadu_pd(o + 8 * j), _CMP_GT_OQ);
                _mm512_mask_storeu_pd(o + 8 * j, gt, a[j]);
            }
        }
    }
}

}  // namespace clsgint
