// The AVX2 path of the self-similarity sum (layout: simd_dispatch.h).
#include <immintrin.h>

#include "clsg/clrsgint/self_similarity_simd.h"

namespace clsgint {
namespace {

// Channel distance beyond the level step, as floats, times the reciprocal tolerance.
inline __m256 channelErrorAvx2(const unsigned char* p, const unsigned char* q, const float* rt,
                               __m256i step) {
    const __m256i a = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    const __m256i b = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q)));
    const __m256i d = _mm256_max_epi32(
        _mm256_sub_epi32(_mm256_abs_epi32(_mm256_sub_epi32(a, b)), step), _mm256_setzero_si256());
    return _mm256_mul_ps(_mm256_cvtepi32_ps(d), _mm256_loadu_ps(rt));
}

inline __m256d pairValueAvx2(__m128 er, __m128 eg, __m128 eb, __m256d f2, bool twice) {
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

// nv accumulators of 4 lanes, kept in registers over the whole term list.
template <int NV>
void gatherAvx2N(const double* v, const std::ptrdiff_t* off, const double* w, std::size_t n,
                 double* acc) {
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

}  // namespace

void pairRowAvx2(const unsigned char* const p[3], const unsigned char* const q[3],
                 const float* const rt[3], long n, int step, double f2, bool twice, double* v) {
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
        for (long k = 0; k < rest; ++k) v[j + k] = vb[k];
    }
}

void gatherAvx2(const double* v, const std::ptrdiff_t* off, const double* w, std::size_t n,
                double* acc, long chunks) {
    // Up to four chunks (8 registers) per pass over the term list.
    while (chunks > 0) {
        const long c = chunks < 4 ? chunks : 4;
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

}  // namespace clsgint
