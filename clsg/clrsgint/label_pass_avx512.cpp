// The AVX-512 path of the label pass (layout: simd_dispatch.h): eight pixels
// at a time, the plain loop's comparisons as masked moves.
#include <immintrin.h>

#include "clsg/clrsgint/label_pass_simd.h"

namespace clsgint {

long labelRowAvx512(const double* const* scores, std::size_t labels, long width,
                    unsigned char* label, unsigned char* confidence) {
    const long n = width / 8 * 8;
    const __m512d zero = _mm512_setzero_pd();
    for (long x = 0; x < n; x += 8) {
        __m512d b = zero, b2 = zero;
        __m256i l = _mm256_set1_epi32(255);
        for (std::size_t k = 0; k < labels; ++k) {
            const __m512d s = _mm512_loadu_pd(scores[k] + x);
            const __mmask8 gt = _mm512_cmp_pd_mask(s, b, _CMP_GT_OQ);    // false for NaN
            const __mmask8 gt2 = _mm512_cmp_pd_mask(s, b2, _CMP_GT_OQ);  // false for NaN
            b2 = _mm512_mask_mov_pd(_mm512_mask_mov_pd(b2, gt2, s), gt, b);
            b = _mm512_mask_mov_pd(b, gt, s);
            l = _mm256_mask_mov_epi32(l, gt, _mm256_set1_epi32(static_cast<int>(k)));
        }
        // As the AVX2 path: q in float, then iRound and the clamp.
        const __m512d q = _mm512_mul_pd(_mm512_div_pd(_mm512_sub_pd(b, b2), _mm512_add_pd(b2, b)),
                                        _mm512_set1_pd(255.0));
        __m512d v = _mm512_cvtps_pd(_mm512_cvtpd_ps(q));
        v = _mm512_min_pd(_mm512_max_pd(v, zero), _mm512_set1_pd(255.0));
        const __mmask8 none =
            _mm512_cmp_pd_mask(b, zero, _CMP_EQ_OQ) | _mm512_cmp_pd_mask(b, b, _CMP_UNORD_Q);
        v = _mm512_mask_mov_pd(_mm512_add_pd(v, _mm512_set1_pd(0.5)), none, zero);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(confidence + x),
                         _mm256_cvtepi32_epi8(_mm512_cvttpd_epi32(v)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(label + x), _mm256_cvtepi32_epi8(l));
    }
    return n;
}

}  // namespace clsgint
