#include "clsg/clrsgint/instance_accumulator.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "clsg/clrsgint/cpu_features.h"

namespace {

// Room for 256 levels plus one vector of padding.
constexpr int kLevelSlots = 256 + 16;
// Stands in for e2^2 past the end of a level range: r >= 1, so no weight.
constexpr double kOutside = 2.0;

// Row-invariant inputs of the kernels.
struct RowContext {
    const kvAccumulatorTables* t;
    // levelCenter copied with zero padding, so vector loads past level 255 stay in bounds.
    alignas(64) unsigned char centers[kLevelSlots];
    double* weights;
    size_t cells;  // n^3
};

// Squared normalised distances of one pixel to the levels of its tolerance
// box, per plane: sq[p][i] is e_p^2 for level lo[p] + i.
struct PixelBox {
    int32_t lo[3];
    int32_t len[3];  // 0 when the range is empty
    alignas(64) double sq[3][kLevelSlots];
};

void levelRange(const kvAccumulatorTables& t, unsigned c, int32_t& lo, int32_t& len) {
    lo = t.lowLevel[c];
    const int32_t span = t.highLevel[c] - lo + 1;
    len = span > 0 ? span : 0;
}

// e^2 per level, scalar:
//   d = max(|c - centre[L]| - step, 0); e = double(float(d) * rcp); sq = e * e
void fillPlaneScalar(const RowContext& ctx, unsigned c, int32_t lo, int32_t len, double* sq) {
    const float rcp = ctx.t->reciprocal[ctx.t->tolerance[c]];
    const int32_t step = ctx.t->levelStep;
    for (int32_t i = 0; i < len; ++i) {
        int32_t d = static_cast<int32_t>(c) - ctx.centers[lo + i];
        d = (d < 0 ? -d : d) - step;
        if (d < 0) d = 0;
        const double e = static_cast<float>(d) * rcp;
        sq[i] = e * e;
    }
}

// Adds weights for `repeat` consecutive pixels of the same colour: each cell
// gets its weight added `repeat` times in a row, exactly as if the pixels were
// taken one by one (no other cell is touched in between that they share).
void spreadScalar(const RowContext& ctx, const PixelBox& b, uint32_t repeat) {
    const double f2 = ctx.t->f2;
    const ptrdiff_t n = ctx.t->levelCount;
    for (int32_t i0 = 0; i0 < b.len[0]; ++i0) {
        const double s0 = b.sq[0][i0];
        if (s0 >= 1.0) continue;  // r >= s0 >= 1 for every cell of this plane
        for (int32_t i1 = 0; i1 < b.len[1]; ++i1) {
            const double partial = b.sq[1][i1] + s0;  // e1^2 + e0^2
            if (partial >= 1.0) continue;
            double* row = ctx.weights + ((b.lo[0] + i0) * n + b.lo[1] + i1) * n + b.lo[2];
            for (int32_t i2 = 0; i2 < b.len[2]; ++i2) {
                const double r = partial + b.sq[2][i2];
                if (!(r < 1.0)) continue;
                const double w = (1.0 - r) * f2;
                if (!(w > 0.0)) continue;
                double x = row[i2];
                for (uint32_t k = 0; k < repeat; ++k) x += w;
                row[i2] = x;
            }
        }
    }
}

struct ScalarKernel {
    static void fillPlane(const RowContext& ctx, unsigned c, int32_t lo, int32_t len, double* sq) {
        fillPlaneScalar(ctx, c, lo, len, sq);
    }
    static void spread(const RowContext& ctx, const PixelBox& b, uint32_t repeat) {
        spreadScalar(ctx, b, repeat);
    }
};

#if defined(__x86_64__) || defined(__i386__)

#define CLSG_TARGET_AVX2 __attribute__((target("avx2")))
#define CLSG_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq")))

// Cell index of the first L2 level of the box's last (L0, L1) row.
size_t lastRowStart(const PixelBox& b, ptrdiff_t n) {
    return static_cast<size_t>(((b.lo[0] + b.len[0] - 1) * n + b.lo[1] + b.len[1] - 1) * n +
                               b.lo[2]);
}

// ---- AVX2 ----

// Eight levels at a time; the slots from len on get kOutside.
CLSG_TARGET_AVX2 void fillPlaneAvx2(const RowContext& ctx, unsigned c, int32_t lo, int32_t len,
                                    double* sq) {
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

// Weight of four cells of one row and the lanes that receive it:
//   r = partial + e2^2; w = (1 - r) * f2; lane taken when r < 1 and w > 0
struct Lanes4 {
    __m256d w, take;
};

CLSG_TARGET_AVX2 inline Lanes4 lanes4(__m256d partial, const double* sq2, __m256d f2) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d r = _mm256_add_pd(partial, _mm256_load_pd(sq2));
    const __m256d w = _mm256_mul_pd(_mm256_sub_pd(one, r), f2);
    return {w, _mm256_and_pd(_mm256_cmp_pd(r, one, _CMP_LT_OQ),
                             _mm256_cmp_pd(w, _mm256_setzero_pd(), _CMP_GT_OQ))};
}

// Full-width read-modify-write; lanes not taken are written back unchanged.
CLSG_TARGET_AVX2 inline void addLanes4(double* cell, Lanes4 l, uint32_t repeat) {
    const __m256d x = _mm256_loadu_pd(cell);
    __m256d y = _mm256_add_pd(x, l.w);
    for (uint32_t k = 1; k < repeat; ++k) y = _mm256_add_pd(y, l.w);
    _mm256_storeu_pd(cell, _mm256_blendv_pd(x, y, l.take));
}

// Touches only the lanes taken (safe at the end of the table).
CLSG_TARGET_AVX2 inline void addLanes4Masked(double* cell, Lanes4 l, uint32_t repeat) {
    const __m256i take = _mm256_castpd_si256(l.take);
    __m256d y = _mm256_add_pd(_mm256_maskload_pd(cell, take), l.w);
    for (uint32_t k = 1; k < repeat; ++k) y = _mm256_add_pd(y, l.w);
    _mm256_maskstore_pd(cell, take, y);
}

// L2 ranges of up to 4 * kVectors levels, every row read and written whole.
template <int kVectors>
CLSG_TARGET_AVX2 void spreadAvx2Rows(const RowContext& ctx, const PixelBox& b, uint32_t repeat) {
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
CLSG_TARGET_AVX2 void spreadAvx2Any(const RowContext& ctx, const PixelBox& b, uint32_t repeat) {
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

CLSG_TARGET_AVX2 void spreadAvx2(const RowContext& ctx, const PixelBox& b, uint32_t repeat) {
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

struct Avx2Kernel {
    static void fillPlane(const RowContext& ctx, unsigned c, int32_t lo, int32_t len, double* sq) {
        fillPlaneAvx2(ctx, c, lo, len, sq);
    }
    static void spread(const RowContext& ctx, const PixelBox& b, uint32_t repeat) {
        spreadAvx2(ctx, b, repeat);
    }
};

// ---- AVX-512 ----

// Eight levels at a time; the slots from len on get kOutside.
CLSG_TARGET_AVX512 void fillPlaneAvx512(const RowContext& ctx, unsigned c, int32_t lo, int32_t len,
                                        double* sq) {
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

// Weight of eight cells of one row and the lanes that receive it:
//   r = partial + e2^2; w = (1 - r) * f2; lane taken when r < 1 and w > 0
struct Lanes8 {
    __m512d w;
    __mmask8 take;
};

CLSG_TARGET_AVX512 inline Lanes8 lanes8(__m512d partial, __m512d sq2, __m512d f2) {
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d r = _mm512_add_pd(partial, sq2);
    const __m512d w = _mm512_mul_pd(_mm512_sub_pd(one, r), f2);
    return {w, static_cast<__mmask8>(_mm512_cmp_pd_mask(r, one, _CMP_LT_OQ) &
                                     _mm512_cmp_pd_mask(w, _mm512_setzero_pd(), _CMP_GT_OQ))};
}

// Full-width read-modify-write; lanes not taken are written back unchanged
// (measured faster than masked loads and stores when neighbouring pixels
// update the same cells).
CLSG_TARGET_AVX512 inline void addLanes8(double* cell, Lanes8 l, uint32_t repeat) {
    const __m512d x = _mm512_loadu_pd(cell);
    __m512d y = _mm512_add_pd(x, l.w);
    for (uint32_t k = 1; k < repeat; ++k) y = _mm512_add_pd(y, l.w);
    _mm512_storeu_pd(cell, _mm512_mask_blend_pd(l.take, x, y));
}

// Touches only the lanes taken (safe at the end of the table).
CLSG_TARGET_AVX512 inline void addLanes8Masked(double* cell, Lanes8 l, uint32_t repeat) {
    __m512d y = _mm512_add_pd(_mm512_maskz_loadu_pd(l.take, cell), l.w);
    for (uint32_t k = 1; k < repeat; ++k) y = _mm512_add_pd(y, l.w);
    _mm512_mask_storeu_pd(cell, l.take, y);
}

// L2 ranges of up to 8 * kVectors levels, every row read and written whole.
template <int kVectors>
CLSG_TARGET_AVX512 void spreadAvx512Rows(const RowContext& ctx, const PixelBox& b,
                                         uint32_t repeat) {
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
CLSG_TARGET_AVX512 void spreadAvx512Any(const RowContext& ctx, const PixelBox& b, uint32_t repeat) {
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

CLSG_TARGET_AVX512 void spreadAvx512(const RowContext& ctx, const PixelBox& b, uint32_t repeat) {
    if (b.len[0] == 0 || b.len[1] == 0 || b.len[2] == 0) return;
    const int vectors = (b.len[2] + 7) / 8;
    if (vectors > 2 || lastRowStart(b, ctx.t->levelCount) + 8 * vectors > ctx.cells)
        return spreadAvx512Any(ctx, b, repeat);
    if (vectors == 1) return spreadAvx512Rows<1>(ctx, b, repeat);
    return spreadAvx512Rows<2>(ctx, b, repeat);
}

struct Avx512Kernel {
    static void fillPlane(const RowContext& ctx, unsigned c, int32_t lo, int32_t len, double* sq) {
        fillPlaneAvx512(ctx, c, lo, len, sq);
    }
    static void spread(const RowContext& ctx, const PixelBox& b, uint32_t repeat) {
        spreadAvx512(ctx, b, repeat);
    }
};

#endif

// Walks the row, merging runs of care pixels of one colour into a single
// spread with a repeat count.
template <class Kernel>
long accumulate(RowContext& ctx, const unsigned char* p0, const unsigned char* p1,
                const unsigned char* p2, const unsigned char* mask, long count, uint32_t* counts) {
    const kvAccumulatorTables& t = *ctx.t;
    const ptrdiff_t n = t.levelCount;
    PixelBox box;
    unsigned prev[3] = {256, 256, 256};  // colour whose tables are in box
    uint32_t repeat = 0;
    long care = 0;

    auto flush = [&]() {
        counts[(t.quant[prev[0]] * n + t.quant[prev[1]]) * n + t.quant[prev[2]]] += repeat;
        Kernel::spread(ctx, box, repeat);
        repeat = 0;
    };

    for (long x = 0; x < count; ++x) {
        if (mask && mask[x] == 0) continue;
        ++care;
        const unsigned c[3] = {p0[x], p1[x], p2[x]};
        if (c[0] == prev[0] && c[1] == prev[1] && c[2] == prev[2]) {
            if (++repeat == UINT32_MAX) flush();  // keep the count from wrapping
            continue;
        }
        if (repeat) flush();
        for (int p = 0; p < 3; ++p) {
            if (c[p] == prev[p]) continue;
            levelRange(t, c[p], box.lo[p], box.len[p]);
            Kernel::fillPlane(ctx, c[p], box.lo[p], box.len[p], box.sq[p]);
            prev[p] = c[p];
        }
        repeat = 1;
    }
    if (repeat) flush();
    return care;
}

}  // namespace

long accumulateRow(const kvAccumulatorTables& tables, const unsigned char* p0,
                   const unsigned char* p1, const unsigned char* p2, const unsigned char* mask,
                   long count, double* weights, uint32_t* counts) {
    RowContext ctx;
    ctx.t = &tables;
    std::memcpy(ctx.centers, tables.levelCenter, 256);
    std::memset(ctx.centers + 256, 0, kLevelSlots - 256);
    ctx.weights = weights;
    const size_t n = static_cast<size_t>(tables.levelCount);
    ctx.cells = n * n * n;
#if defined(__x86_64__) || defined(__i386__)
    switch (kvActiveSimd()) {
        case kvSimdLevel::Avx512:
            return accumulate<Avx512Kernel>(ctx, p0, p1, p2, mask, count, counts);
        case kvSimdLevel::Avx2:
            return accumulate<Avx2Kernel>(ctx, p0, p1, p2, mask, count, counts);
        case kvSimdLevel::Portable:
            break;
    }
#endif
    return accumulate<ScalarKernel>(ctx, p0, p1, p2, mask, count, counts);
}

double weightedCountSum(const uint32_t* counts, const double* weights, size_t cells) {
    // A cell without pixels adds 0.0 * weight = +0.0 (weights are finite), so skip it.
    double sum = 0.0;
    for (size_t i = 0; i < cells; ++i)
        if (counts[i] != 0) sum = sum + static_cast<double>(counts[i]) * weights[i];
    return sum;
}
