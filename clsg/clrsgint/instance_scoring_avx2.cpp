// The AVX2 path of the scoring kernel (layout: simd_dispatch.h).
#include <immintrin.h>

#include <cstdint>

#include "clsg/clrsgint/instance_scoring_simd.h"

namespace clsgint {

namespace {

// Cell indices of 16 pixels at a time for a table of training's rule, computed in 16-bit lanes:
// q * n + q' < n * n <= 65536 and q <= 254, so (q * n + q') fits, then times n in 32 bits.
long indexRowComputed(const CellLookup& t, const LookupJob& job) {
    const unsigned char *r = job.plane[0], *g = job.plane[1], *b = job.plane[2];
    const __m256i scale = _mm256_set1_epi16(static_cast<short>(t.scale));
    const __m256i half = _mm256_set1_epi16(128);
    const __m256i n16 = _mm256_set1_epi16(static_cast<short>(t.n));
    const __m256i n32 = _mm256_set1_epi32(t.n);
    // Locals: vector stores may alias anything, job's pointers included.
    int32_t* const cellIndex = job.cellIndex;
    const long width = job.width;
    long i = 0;
    for (; i + 16 <= width; i += 16) {
        const auto level = [i, scale, half](const unsigned char* p) {
            const __m256i v =
                _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
            return _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(v, scale), half), 8);
        };
        const __m256i rg = _mm256_add_epi16(_mm256_mullo_epi16(level(r), n16), level(g));
        const __m256i qb = level(b);
        const auto cells = [n32](__m128i rg8, __m128i b8) {
            return _mm256_add_epi32(_mm256_mullo_epi32(_mm256_cvtepu16_epi32(rg8), n32),
                                    _mm256_cvtepu16_epi32(b8));
        };
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(cellIndex + i),
                            cells(_mm256_castsi256_si128(rg), _mm256_castsi256_si128(qb)));
        _mm256_storeu_si256(
            reinterpret_cast<__m256i*>(cellIndex + i + 8),
            cells(_mm256_extracti128_si256(rg, 1), _mm256_extracti128_si256(qb, 1)));
    }
    return i;
}

// The weights of four cells, loaded in pairs and stored as one vector.
inline __m256d weightsOf4(const double* weights, const int32_t* k) {
    // Two cells per 64-bit load.
    const auto pair = [weights](const int32_t* two) {
        uint64_t both;  // the builtin: this file includes no other header
        __builtin_memcpy(&both, two, sizeof both);
        const auto lo = static_cast<uint32_t>(both), hi = static_cast<uint32_t>(both >> 32);
        return _mm_loadh_pd(_mm_load_sd(weights + lo), weights + hi);
    };
    return _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(k)), pair(k + 2), 1);
}

// a[i] = a[i] + w * v[x + dx + i] for the terms of s in order (Count of them, or
// s.termCount when Count is 0), at padded column at.
template <std::size_t Count>
inline void addTerms(__m256d* a, const SourceRow& s, long at) {
    const std::size_t count = Count ? Count : s.termCount;
#pragma GCC unroll 3
    for (std::size_t t = 0; t < count; ++t) {
        const __m256d w = _mm256_set1_pd(s.terms[t].w);
        const double* q = s.v + at + s.terms[t].dx;
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j)
            a[j] = _mm256_add_pd(a[j], _mm256_mul_pd(w, _mm256_loadu_pd(q + 4 * j)));
    }
}

}  // namespace

// One chunk (kChunk = 8 pixels) per two vectors: two stores instead of eight scalar ones; a
// weight is non-zero when any bit but the sign bit is set.
void fetchCellsAvx2(const double* weights, const int32_t* cell, const LookupJob& job) {
    static_assert(kChunk == 8, "a chunk is two vectors");
    const __m256i magnitude = _mm256_set1_epi64x(0x7fffffffffffffff);
    // Locals: vector stores may alias anything, job's pointers included.
    double* const v = job.v;
    int32_t* const nzBefore = job.nzBefore;
    const long width = job.width;
    int32_t seen = 0;
    long i = 0;
    for (; i + kChunk <= width; i += kChunk) {
        const __m256d lo = weightsOf4(weights, cell + i), hi = weightsOf4(weights, cell + i + 4);
        _mm256_storeu_pd(v + i, lo);
        _mm256_storeu_pd(v + i + 4, hi);
        nzBefore[i / kChunk] = seen;
        seen += _mm256_testz_si256(_mm256_castpd_si256(_mm256_or_pd(lo, hi)), magnitude) ? 0 : 1;
    }
    fetchCellsFrom(weights, cell, job, i, seen);
}

// Cell indices of 8 pixels at a time: computed for training's tables, else the three channel
// terms gathered from 32-bit tables.
void indexRowAvx2(const CellLookup& t, const LookupJob& job) {
    const unsigned char *r = job.plane[0], *g = job.plane[1], *b = job.plane[2];
    long i = t.scale >= 0 ? indexRowComputed(t, job) : 0;
    for (; i + 8 <= job.width; i += 8) {
        const auto bytes = [i](const unsigned char* p) {
            return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + i)));
        };
        const __m256i cr = _mm256_i32gather_epi32(t.r32, bytes(r), 4);
        const __m256i cg = _mm256_i32gather_epi32(t.g32, bytes(g), 4);
        const __m256i cb = _mm256_i32gather_epi32(t.b32, bytes(b), 4);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(job.cellIndex + i),
                            _mm256_add_epi32(_mm256_add_epi32(cr, cg), cb));
    }
    for (; i < job.width; ++i)
        job.cellIndex[i] = static_cast<int32_t>(cellOfColour(t, r[i], g[i], b[i]));
}

void sumRowAvx2(const RowJob& job) {
    constexpr long B = 32;  // eight independent add chains
    static_assert(B <= kBlock, "rows are padded for kBlock");
    const __m256d nf = _mm256_set1_pd(job.normFactor);
    // Locals: the compiler cannot tell that the stores leave job alone.
    const long width = job.width;
    const bool first = job.first;
    double* const out = job.out;
    for (long bx = 0; bx < width; bx += B) {
        const long at = job.pad + bx;
        __m256d a[8];
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j) a[j] = _mm256_setzero_pd();
        for (std::size_t k = 0; k < job.rowCount; ++k) {
            const SourceRow& s = job.rows[k];
            if (!blockHasWeight(s, job, at, B)) continue;
            // a[i] = a[i] + w * v[x + dx + i]; three terms (N = 3) unrolled
            if (s.termCount == 3) {
                addTerms<3>(a, s, at);
            } else {
                addTerms<0>(a, s, at);
            }
        }
#pragma GCC unroll 8
        // s = S * S * normFactor
        for (int j = 0; j < 8; ++j) a[j] = _mm256_mul_pd(_mm256_mul_pd(a[j], a[j]), nf);
        double* o = out + bx;
        if (bx + B > width) {
            alignas(32) double s[B];
#pragma GCC unroll 8
            for (int j = 0; j < 8; ++j) _mm256_store_pd(s + 4 * j, a[j]);
            storeScores(s, width - bx, o, first);
        } else if (first) {
#pragma GCC unroll 8
            for (int j = 0; j < 8; ++j) _mm256_storeu_pd(o + 4 * j, a[j]);
        } else {
#pragma GCC unroll 8
            for (int j = 0; j < 8; ++j) {
                const __m256d old = _mm256_loadu_pd(o + 4 * j);
                const __m256d gt = _mm256_cmp_pd(a[j], old, _CMP_GT_OQ);
                _mm256_storeu_pd(o + 4 * j, _mm256_blendv_pd(old, a[j], gt));
            }
        }
    }
}

}  // namespace clsgint
