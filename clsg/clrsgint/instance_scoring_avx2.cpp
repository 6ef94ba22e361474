// The AVX2 path of the scoring kernel (layout: simd_dispatch.h).
#include <immintrin.h>

#include "clsg/clrsgint/instance_scoring_simd.h"

namespace clsgint {

// Cell indices of 8 pixels at a time: the three channel terms gathered from 32-bit tables.
void indexRowAvx2(const CellLookup& t, const LookupJob& job) {
    const unsigned char *r = job.plane[0], *g = job.plane[1], *b = job.plane[2];
    long i = 0;
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
    for (long bx = 0; bx < job.width; bx += B) {
        const long at = job.pad + bx;
        __m256d a[8];
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j) a[j] = _mm256_setzero_pd();
        for (std::size_t k = 0; k < job.rowCount; ++k) {
            const SourceRow& s = job.rows[k];
            if (!blockHasWeight(s, job, at, B)) continue;
            // a[i] = a[i] + w * v[x + dx + i]
            for (std::size_t t = 0; t < s.termCount; ++t) {
                const __m256d w = _mm256_set1_pd(s.terms[t].w);
                const double* q = s.v + at + s.terms[t].dx;
#pragma GCC unroll 8
                for (int j = 0; j < 8; ++j)
                    a[j] = _mm256_add_pd(a[j], _mm256_mul_pd(w, _mm256_loadu_pd(q + 4 * j)));
            }
        }
// s = S * S * normFactor
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j) a[j] = _mm256_mul_pd(_mm256_mul_pd(a[j], a[j]), nf);
        double* o = job.out + bx;
        if (bx + B <= job.width) {
#pragma GCC unroll 8
            for (int j = 0; j < 8; ++j) {
                if (job.first) {
                    _mm256_storeu_pd(o + 4 * j, a[j]);
                } else {
                    const __m256d old = _mm256_loadu_pd(o + 4 * j);
                    const __m256d gt = _mm256_cmp_pd(a[j], old, _CMP_GT_OQ);
                    _mm256_storeu_pd(o + 4 * j, _mm256_blendv_pd(old, a[j], gt));
                }
            }
        } else {
            alignas(32) double s[B];
#pragma GCC unroll 8
            for (int j = 0; j < 8; ++j) _mm256_store_pd(s + 4 * j, a[j]);
            storeScores(s, job.width - bx, o, job.first);
        }
    }
}

}  // namespace clsgint
