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
        // The first label against best = second = 0: best = max(s, 0) (max keeps its second
        // operand for NaN and for equal zeros), second stays 0.
        const __m512d s0 = _mm512_loadu_pd(scores[0] + x);
        __m512d b = _mm512_max_pd(s0, zero), b2 = zero;
        __m128i l =
            _mm_mask_mov_epi8(_mm_set1_epi8(static_cast<char>(255)),  // eight label bytes
                              _mm512_cmp_pd_mask(s0, zero, _CMP_GT_OQ), _mm_setzero_si128());
        for (std::size_t k = 1; k < labels; ++k) {
            const __m512d s = _mm512_loadu_pd(scores[k] + x);
            const __mmask8 gt = _mm512_cmp_pd_mask(s, b, _CMP_GT_OQ);    // false for NaN
            const __mmask8 gt2 = _mm512_cmp_pd_mask(s, b2, _CMP_GT_OQ);  // false for NaN
            b2 = _mm512_mask_mov_pd(_mm512_mask_mov_pd(b2, gt2, s), gt, b);
            b = _mm512_mask_mov_pd(b, gt, s);
            l = _mm_mask_mov_epi8(l, gt, _mm_set1_epi8(static_cast<char>(k)));
        }
        // best and second only ever take scores above them, so 0 <= second < best, neither
        // NaN; then 0 <= q <= 255 (b - b2 <= b2 + b holds after rounding too) unless best is
        // infinite, or 0, where q is NaN. As the AVX2 path: q in float, then iRound (q + 0.5
        // truncated); a NaN truncates to 0x80000000, whose low byte, all that is stored, is
        // the 0 it must give. Without the AVX2 path's shortcut for vectors where no second
        // label scores: here the division costs less than the branch mispredicted in mixed
        // rows.
        const __m512d q = _mm512_mul_pd(_mm512_div_pd(_mm512_sub_pd(b, b2), _mm512_add_pd(b2, b)),
                                        _mm512_set1_pd(255.0));
        const __m512d v = _mm512_add_pd(_mm512_cvtps_pd(_mm512_cvtpd_ps(q)), _mm512_set1_pd(0.5));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(confidence + x),
                         _mm256_cvtepi32_epi8(_mm512_cvttpd_epi32(v)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(label + x), l);
    }
    return n;
}

}  // namespace clsgint
