// The AVX-512 path of the training kernel (layout: simd_dispatch.h).
#include <immintrin.h>

#include "clsg/clrsgint/instance_accumulator_simd.h"

namespace clsgint {
namespace {

// Weight of eight cells of one row and the lanes that receive it:
//   r = partial + e2^2; w = (1 - r) * f2; lane taken when r < 1 and w > 0
struct Lanes8 {
    __m512d w;
    __mmask8 take;
};

inline Lanes8 lanes8(__m512d partial, __m512d sq2, __m512d f2) {
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d r = _mm512_add_pd(partial, sq2);
    const __m512d w = _mm512_mul_pd(_mm512_sub_pd(one, r), f2);
    return {w, static_cast<__mmask8>(_mm512_cmp_pd_mask(r, one, _CMP_LT_OQ) &
                                     _mm512_cmp_pd_mask(w, _mm512_setzero_pd(), _CMP_GT_OQ))};
}

// Full-width read-modify-write; lanes not taken are written back unchanged
// (measured faster than masked loads and stores when neighbouring pixels
// update the same cells).
inline void addLanes8(double* cell, Lanes8 l, uint32_t repeat) {
    const __m512d x = _mm512_loadu_pd(cell);
    __m512d y = _mm512_add_pd(x, l.w);
    for (uint32_t k = 1; k < repeat; ++k) y = _mm512_add_pd(y, l.w);
    _mm512_storeu_pd(cell, _mm512_mask_blend_pd(l.take, x, y));
}

// Touches only the lanes taken (safe at the end of the table).
inline void addLanes8Masked(double* cell, Lanes8 l, uint32_t repeat) {
    __m512d y = _mm512_add_pd(_mm512_maskz_loadu_pd(l.take, cell), l.w);
    for (uint32_t k = 1; k < repeat; ++k) y = _mm512_add_pd(y, l.w);
    _mm512_mask_storeu_pd(cell, l.take, y);
}

// L2 ranges of up to 8 * kVectors levels, every row read and written whole.
template <int kVectors>
void spreadAvx512Rows(const AccumulatorRow& ctx, const PixelBox& b, uint32_t repeat) {
    const __m512d f2 = _mm512_set1_pd(ctx.t->f2);
    __m512d sq2[kVectors];
    for (int v = 0; v < kVectors; ++v) sq2[v] = _mm512_load_pd(b.sq[2] + 8 * v);
    const ptrdiff_t n = ctx.t->levelCount;
    for (int32_t i0 = 0; i0 < b.len[0]; ++i0) {
        const double s0 = b.sq[0][i0];
        if (s0 >= 1.0) continue;  // r >= e0^2 >= 1 for the whole plane
        const ptrdiff_t plane = ((b.lo[0] + i0) * n + b.lo[1]) * n + b.lo[2];
        for (int32_t i1 = 0; i1 < b.len[1]; ++i1) {
            double* row = ctx.weights + plane + i1 * n;
            const __m512d partial = _mm512_set1_pd(b.sq[1][i1] + s0);  // e1^2 + e0^2
            for (int v = 0; v < kVectors; ++v)
                addLanes8(row + 8 * v, lanes8(partial, sq2[v], f2), repeat);
        }
    }
}

// Any L2 range; masked memory access, for wide ranges and the end of the table.
void spreadAvx512Any(const AccumulatorRow& ctx, const PixelBox& b, uint32_t repeat) {
    const __m512d f2 = _mm512_set1_pd(ctx.t->f2);
    const ptrdiff_t n = ctx.t->levelCount;
    for (int32_t i0 = 0; i0 < b.len[0]; ++i0) {
        const double s0 = b.sq[0][i0];
        if (s0 >= 1.0) continue;
        for (int32_t i1 = 0; i1 < b.len[1]; ++i1) {
            const double partial = b.sq[1][i1] + s0;
            if (partial >= 1.0) continue;  // r >= partial
            const __m512d pv = _mm512_set1_pd(partial);
            double* row = ctx.weights + ((b.lo[0] + i0) * n + b.lo[1] + i1) * n + b.lo[2];
            for (int32_t i2 = 0; i2 < b.len[2]; i2 += 8) {
                const Lanes8 l = lanes8(pv, _mm512_load_pd(b.sq[2] + i2), f2);
                if (l.take != 0) addLanes8Masked(row + i2, l, repeat);
            }
        }
    }
}

}  // namespace

// Eight levels at a time; the slots from len on get kOutside.
void fillPlaneAvx512(const AccumulatorRow& ctx, unsigned c, int32_t lo, int32_t len, double* sq) {
    const __m256i cv = _mm256_set1_epi32(static_cast<int32_t>(c));
    const __m256i step = _mm256_set1_epi32(ctx.t->levelStep);
    const __m256 rcp = _mm256_set1_ps(ctx.t->reciprocal[ctx.t->tolerance[c]]);
    const __m512d outside = _mm512_set1_pd(kOutside);
    int32_t i = 0;
    for (; i < len; i += 8) {
        const __m128i centre8 =
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(ctx.centers + lo + i));
        __m256i d = _mm256_sub_epi32(cv, _mm256_cvtepu8_epi32(centre8));
        d = _mm256_max_epi32(_mm256_sub_epi32(_mm256_abs_epi32(d), step), _mm256_setzero_si256());
        // Zero-masked form: the plain conversion trips a false uninitialised warning in GCC 12.
        const __m512d e = _mm512_maskz_cvtps_pd(0xff, _mm256_mul_ps(_mm256_cvtepi32_ps(d), rcp));
        const int32_t left = len - i;
        const __mmask8 inside = left >= 8 ? 0xff : static_cast<__mmask8>((1u << left) - 1);
        _mm512_store_pd(sq + i, _mm512_mask_mul_pd(outside, inside, e, e));
    }
    _mm512_store_pd(sq + i, outside);
}

void spreadAvx512(const AccumulatorRow& ctx, const PixelBox& b, uint32_t repeat) {
    if (b.len[0] == 0 || b.len[1] == 0 || b.len[2] == 0) return;
    const int vectors = (b.len[2] + 7) / 8;
    if (vectors > 2 || lastRowStart(b, ctx.t->levelCount) + 8 * vectors > ctx.cells)
        return spreadAvx512Any(ctx, b, repeat);
    if (vectors == 1) return spreadAvx512Rows<1>(ctx, b, repeat);
    return spreadAvx512Rows<2>(ctx, b, repeat);
}

}  // namespace clsgint
