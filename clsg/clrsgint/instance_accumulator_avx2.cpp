// The AVX2 path of the training kernel (layout: simd_dispatch.h).
#include <immintrin.h>

#include "clsg/clrsgint/instance_accumulator_simd.h"

namespace clsgint {
namespace {

// Weight of four cells of one row and the lanes that receive it:
//   r = partial + e2^2; w = (1 - r) * f2; lane taken when r < 1 and w > 0
struct Lanes4 {
    __m256d w, take;
};

inline Lanes4 lanes4(__m256d partial, const double* sq2, __m256d f2) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d r = _mm256_add_pd(partial, _mm256_load_pd(sq2));
    const __m256d w = _mm256_mul_pd(_mm256_sub_pd(one, r), f2);
    return {w, _mm256_and_pd(_mm256_cmp_pd(r, one, _CMP_LT_OQ),
                             _mm256_cmp_pd(w, _mm256_setzero_pd(), _CMP_GT_OQ))};
}

// Full-width read-modify-write; lanes not taken are written back unchanged.
inline void addLanes4(double* cell, Lanes4 l, uint32_t repeat) {
    const __m256d x = _mm256_loadu_pd(cell);
    __m256d y = _mm256_add_pd(x, l.w);
    for (uint32_t k = 1; k < repeat; ++k) y = _mm256_add_pd(y, l.w);
    _mm256_storeu_pd(cell, _mm256_blendv_pd(x, y, l.take));
}

// Touches only the lanes taken (safe at the end of the table).
inline void addLanes4Masked(double* cell, Lanes4 l, uint32_t repeat) {
    const __m256i take = _mm256_castpd_si256(l.take);
    __m256d y = _mm256_add_pd(_mm256_maskload_pd(cell, take), l.w);
    for (uint32_t k = 1; k < repeat; ++k) y = _mm256_add_pd(y, l.w);
    _mm256_maskstore_pd(cell, take, y);
}

// L2 ranges of up to 4 * kVectors levels, every row read and written whole.
template <int kVectors>
void spreadAvx2Rows(const AccumulatorRow& ctx, const PixelBox& b, uint32_t repeat) {
    const __m256d f2 = _mm256_set1_pd(ctx.t->f2);
    const ptrdiff_t n = ctx.t->levelCount;
    for (int32_t i0 = 0; i0 < b.len[0]; ++i0) {
        const double s0 = b.sq[0][i0];
        if (s0 >= 1.0) continue;  // r >= e0^2 >= 1 for the whole plane
        const ptrdiff_t plane = ((b.lo[0] + i0) * n + b.lo[1]) * n + b.lo[2];
        for (int32_t i1 = 0; i1 < b.len[1]; ++i1) {
            double* row = ctx.weights + plane + i1 * n;
            const __m256d partial = _mm256_set1_pd(b.sq[1][i1] + s0);  // e1^2 + e0^2
            for (int v = 0; v < kVectors; ++v)
                addLanes4(row + 4 * v, lanes4(partial, b.sq[2] + 4 * v, f2), repeat);
        }
    }
}

// Any L2 range; masked memory access, for wide ranges and the end of the table.
void spreadAvx2Any(const AccumulatorRow& ctx, const PixelBox& b, uint32_t repeat) {
    const __m256d f2 = _mm256_set1_pd(ctx.t->f2);
    const ptrdiff_t n = ctx.t->levelCount;
    for (int32_t i0 = 0; i0 < b.len[0]; ++i0) {
        const double s0 = b.sq[0][i0];
        if (s0 >= 1.0) continue;
        for (int32_t i1 = 0; i1 < b.len[1]; ++i1) {
            const double partial = b.sq[1][i1] + s0;
            if (partial >= 1.0) continue;  // r >= partial
            const __m256d pv = _mm256_set1_pd(partial);
            double* row = ctx.weights + ((b.lo[0] + i0) * n + b.lo[1] + i1) * n + b.lo[2];
            for (int32_t i2 = 0; i2 < b.len[2]; i2 += 4) {
                const Lanes4 l = lanes4(pv, b.sq[2] + i2, f2);
                if (_mm256_movemask_pd(l.take) != 0) addLanes4Masked(row + i2, l, repeat);
            }
        }
    }
}

}  // namespace

// Eight levels at a time; the slots from len on get kOutside.
void fillPlaneAvx2(const AccumulatorRow& ctx, unsigned c, int32_t lo, int32_t len, double* sq) {
    const __m256i cv = _mm256_set1_epi32(static_cast<int32_t>(c));
    const __m256i step = _mm256_set1_epi32(ctx.t->levelStep);
    const __m256 rcp = _mm256_set1_ps(ctx.t->reciprocal[ctx.t->tolerance[c]]);
    for (int32_t i = 0; i < len; i += 8) {
        const __m128i centre8 =
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(ctx.centers + lo + i));
        __m256i d = _mm256_sub_epi32(cv, _mm256_cvtepu8_epi32(centre8));
        d = _mm256_max_epi32(_mm256_sub_epi32(_mm256_abs_epi32(d), step), _mm256_setzero_si256());
        const __m256 e = _mm256_mul_ps(_mm256_cvtepi32_ps(d), rcp);
        const __m256d elo = _mm256_cvtps_pd(_mm256_castps256_ps128(e));
        const __m256d ehi = _mm256_cvtps_pd(_mm256_extractf128_ps(e, 1));
        _mm256_store_pd(sq + i, _mm256_mul_pd(elo, elo));
        _mm256_store_pd(sq + i + 4, _mm256_mul_pd(ehi, ehi));
    }
    for (int32_t i = len; i < ((len + 7) & ~7) + 8; ++i) sq[i] = kOutside;
}

void spreadAvx2(const AccumulatorRow& ctx, const PixelBox& b, uint32_t repeat) {
    if (b.len[0] == 0 || b.len[1] == 0 || b.len[2] == 0) return;
    const int vectors = (b.len[2] + 3) / 4;
    if (vectors > 4 || lastRowStart(b, ctx.t->levelCount) + 4 * vectors > ctx.cells)
        return spreadAvx2Any(ctx, b, repeat);
    switch (vectors) {
        case 1:
            return spreadAvx2Rows<1>(ctx, b, repeat);
        case 2:
            return spreadAvx2Rows<2>(ctx, b, repeat);
        case 3:
            return spreadAvx2Rows<3>(ctx, b, repeat);
        default:
            return spreadAvx2Rows<4>(ctx, b, repeat);
    }
}

}  // namespace clsgint
