// The AVX2 path of the label pass (layout: simd_dispatch.h): four pixels at a
// time, the plain loop's comparisons as blends.
#include <immintrin.h>

#include <cmath>

#include "clsg/clrsgint/label_pass_simd.h"

namespace clsgint {

long labelRowAvx2(const double* const* scores, std::size_t labels, long width, unsigned char* label,
                  unsigned char* confidence) {
    const long n = width / 4 * 4;
    const __m256d zero = _mm256_setzero_pd();
    const __m256d infinity = _mm256_set1_pd(HUGE_VAL);
    for (long x = 0; x < n; x += 4) {
        // The first label against best = second = 0: best = max(s, 0) (max keeps its second
        // operand for NaN and for equal zeros), second stays 0.
        const __m256d s0 = _mm256_loadu_pd(scores[0] + x);
        __m256d b = _mm256_max_pd(s0, zero), b2 = zero;
        __m256d l =
            _mm256_blendv_pd(_mm256_set1_pd(255.0), zero, _mm256_cmp_pd(s0, zero, _CMP_GT_OQ));
        for (std::size_t k = 1; k < labels; ++k) {
            const __m256d s = _mm256_loadu_pd(scores[k] + x);
            const __m256d gt = _mm256_cmp_pd(s, b, _CMP_GT_OQ);    // false for NaN
            const __m256d gt2 = _mm256_cmp_pd(s, b2, _CMP_GT_OQ);  // false for NaN
            b2 = _mm256_blendv_pd(_mm256_blendv_pd(b2, s, gt2), b, gt);
            b = _mm256_blendv_pd(b, s, gt);
            l = _mm256_blendv_pd(l, _mm256_set1_pd(static_cast<double>(k)), gt);
        }
        // best and second only ever take scores above them, so 0 <= second < best, neither
        // NaN; then 0 <= q <= 255 (b - b2 <= b2 + b holds after rounding too) unless best is
        // infinite, where q is NaN. q in float, then iRound: NaN gives 0 (max keeps its
        // second operand for NaN).
        __m256d v;
        if (_mm256_movemask_pd(_mm256_cmp_pd(b2, zero, _CMP_NEQ_OQ)) == 0) {
            // No second score anywhere: q = b / b * 255 is 255 for a finite b > 0 and NaN
            // for an infinite one; b = 0 gives 0. No division needed.
            const __m256d finite = _mm256_and_pd(_mm256_cmp_pd(b, zero, _CMP_GT_OQ),
                                                 _mm256_cmp_pd(b, infinity, _CMP_LT_OQ));
            v = _mm256_and_pd(finite, _mm256_set1_pd(255.5));
        } else {
            const __m256d q = _mm256_mul_pd(
                _mm256_div_pd(_mm256_sub_pd(b, b2), _mm256_add_pd(b2, b)), _mm256_set1_pd(255.0));
            v = _mm256_max_pd(_mm256_cvtps_pd(_mm256_cvtpd_ps(q)), zero);
            const __m256d none = _mm256_cmp_pd(b, zero, _CMP_EQ_OQ);
            v = _mm256_andnot_pd(none, _mm256_add_pd(v, _mm256_set1_pd(0.5)));
        }
        const __m128i c32 = _mm256_cvttpd_epi32(v);
        const __m128i l32 = _mm256_cvttpd_epi32(l);
        const __m128i c8 = _mm_packus_epi16(_mm_packus_epi32(c32, c32), _mm_setzero_si128());
        const __m128i l8 = _mm_packus_epi16(_mm_packus_epi32(l32, l32), _mm_setzero_si128());
        _mm_storeu_si32(confidence + x, c8);
        _mm_storeu_si32(label + x, l8);
    }
    return n;
}

}  // namespace clsgint
