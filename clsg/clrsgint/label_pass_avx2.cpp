// The AVX2 path of the label pass (layout: simd_dispatch.h): four pixels at a
// time, the plain loop's comparisons as blends, and sixteen pixels' bytes
// packed and stored together.
#include <immintrin.h>

#include <cmath>

#include "clsg/clrsgint/label_pass_simd.h"

namespace clsgint {
namespace {

// Confidence and label of four pixels, as 32-bit integers.
struct Quad {
    __m128i confidence, label;
};

// Best and second score and label of four pixels.
struct Ranked {
    __m256d b, b2, l;
};

// Labels labels, or anyLabels when Labels is 0.
template <std::size_t Labels>
inline Ranked rankQuad(const double* const* scores, std::size_t anyLabels, long x) {
    const std::size_t labels = Labels ? Labels : anyLabels;
    const __m256d zero = _mm256_setzero_pd();
    // The first label against best = second = 0: best = max(s, 0) (max keeps its second
    // operand for NaN and for equal zeros), second stays 0.
    const __m256d s0 = _mm256_loadu_pd(scores[0] + x);
    Ranked r{_mm256_max_pd(s0, zero), zero,
             _mm256_blendv_pd(_mm256_set1_pd(255.0), zero, _mm256_cmp_pd(s0, zero, _CMP_GT_OQ))};
    for (std::size_t k = 1; k < labels; ++k) {
        const __m256d s = _mm256_loadu_pd(scores[k] + x);
        const __m256d gt = _mm256_cmp_pd(s, r.b, _CMP_GT_OQ);    // false for NaN
        const __m256d gt2 = _mm256_cmp_pd(s, r.b2, _CMP_GT_OQ);  // false for NaN
        r.b2 = _mm256_blendv_pd(_mm256_blendv_pd(r.b2, s, gt2), r.b, gt);
        r.b = _mm256_blendv_pd(r.b, s, gt);
        r.l = _mm256_blendv_pd(r.l, _mm256_set1_pd(static_cast<double>(k)), gt);
    }
    return r;
}

// Whether some pixel of r has a second score.
inline bool hasSecond(const Ranked& r) {
    return _mm256_movemask_pd(_mm256_cmp_pd(r.b2, _mm256_setzero_pd(), _CMP_NEQ_OQ)) != 0;
}

// Confidence and label of the four pixels of r; divide says whether any has a second score
// (it may say so for all four pixels of several quads at once).
inline Quad finishQuad(const Ranked& r, bool divide) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d b = r.b, b2 = r.b2;
    __m256d v;
    if (!divide) {
        // No second score anywhere: q = b / b * 255 is 255 for a finite b > 0 and NaN
        // for an infinite one; b = 0 gives 0. No division needed.
        const __m256d finite =
            _mm256_and_pd(_mm256_cmp_pd(b, zero, _CMP_GT_OQ),
                          _mm256_cmp_pd(b, _mm256_set1_pd(HUGE_VAL), _CMP_LT_OQ));
        v = _mm256_and_pd(finite, _mm256_set1_pd(255.5));
    } else {
        // best and second only ever take scores above them, so 0 <= second < best, neither
        // NaN; then 0 <= q <= 255 (b - b2 <= b2 + b holds after rounding too) unless best is
        // infinite (or 0), where q is NaN. q in float, then iRound (q + 0.5 truncated): a NaN
        // truncates to 0x80000000, which the packing to bytes saturates to the 0 it must give.
        const __m256d q = _mm256_mul_pd(_mm256_div_pd(_mm256_sub_pd(b, b2), _mm256_add_pd(b2, b)),
                                        _mm256_set1_pd(255.0));
        v = _mm256_add_pd(_mm256_cvtps_pd(_mm256_cvtpd_ps(q)), _mm256_set1_pd(0.5));
    }
    return {_mm256_cvttpd_epi32(v), _mm256_cvttpd_epi32(r.l)};
}

// Sixteen 32-bit values of 0..255 as bytes.
inline __m128i bytes16(__m128i a, __m128i b, __m128i c, __m128i d) {
    return _mm_packus_epi16(_mm_packus_epi32(a, b), _mm_packus_epi32(c, d));
}

// The rows of Labels labels (any number when 0).
template <std::size_t Labels>
long labelRows(const double* const* scores, std::size_t labels, long width, unsigned char* label,
               unsigned char* confidence) {
    long x = 0;
    for (; x + 16 <= width; x += 16) {
        const Ranked ra = rankQuad<Labels>(scores, labels, x),
                     rb = rankQuad<Labels>(scores, labels, x + 4),
                     rc = rankQuad<Labels>(scores, labels, x + 8),
                     rd = rankQuad<Labels>(scores, labels, x + 12);
        // One branch for the sixteen pixels.
        const bool divide = hasSecond(ra) || hasSecond(rb) || hasSecond(rc) || hasSecond(rd);
        const Quad a = finishQuad(ra, divide), b = finishQuad(rb, divide),
                   c = finishQuad(rc, divide), d = finishQuad(rd, divide);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(confidence + x),
                         bytes16(a.confidence, b.confidence, c.confidence, d.confidence));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(label + x),
                         bytes16(a.label, b.label, c.label, d.label));
    }
    for (; x + 4 <= width; x += 4) {
        const Ranked r = rankQuad<Labels>(scores, labels, x);
        const Quad a = finishQuad(r, hasSecond(r));
        _mm_storeu_si32(confidence + x,
                        bytes16(a.confidence, a.confidence, a.confidence, a.confidence));
        _mm_storeu_si32(label + x, bytes16(a.label, a.label, a.label, a.label));
    }
    return x;
}

}  // namespace

// Two labels, the most common case, with the label loop unrolled.
long labelRowAvx2(const double* const* scores, std::size_t labels, long width, unsigned char* label,
                  unsigned char* confidence) {
    return labels == 2 ? labelRows<2>(scores, labels, width, label, confidence)
                       : labelRows<0>(scores, labels, width, label, confidence);
}

}  // namespace clsgint
