#include "clsg/clrsgint/instance_accumulator.h"

#include <cstring>

#include "clsg/clrsgint/instance_accumulator_simd.h"

namespace clsgint {
namespace {

void levelRange(const kvAccumulatorTables& t, unsigned c, int32_t& lo, int32_t& len) {
    lo = t.lowLevel[c];
    const int32_t span = t.highLevel[c] - lo + 1;
    len = span > 0 ? span : 0;
}

// e^2 per level, scalar:
//   d = max(|c - centre[L]| - step, 0); e = double(float(d) * rcp); sq = e * e
void fillPlaneScalar(const AccumulatorRow& ctx, unsigned c, int32_t lo, int32_t len, double* sq) {
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
void spreadScalar(const AccumulatorRow& ctx, const PixelBox& b, uint32_t repeat) {
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
    static void fillPlane(const AccumulatorRow& ctx, unsigned c, int32_t lo, int32_t len,
                          double* sq) {
        fillPlaneScalar(ctx, c, lo, len, sq);
    }
    static void spread(const AccumulatorRow& ctx, const PixelBox& b, uint32_t repeat) {
        spreadScalar(ctx, b, repeat);
    }
};

#ifdef CLSG_X86_SIMD
struct Avx2Kernel {
    static void fillPlane(const AccumulatorRow& ctx, unsigned c, int32_t lo, int32_t len,
                          double* sq) {
        fillPlaneAvx2(ctx, c, lo, len, sq);
    }
    static void spread(const AccumulatorRow& ctx, const PixelBox& b, uint32_t repeat) {
        spreadAvx2(ctx, b, repeat);
    }
};

struct Avx512Kernel {
    static void fillPlane(const AccumulatorRow& ctx, unsigned c, int32_t lo, int32_t len,
                          double* sq) {
        fillPlaneAvx512(ctx, c, lo, len, sq);
    }
    static void spread(const AccumulatorRow& ctx, const PixelBox& b, uint32_t repeat) {
        spreadAvx512(ctx, b, repeat);
    }
};
#endif

// Walks the row, merging runs of care pixels of one colour into a single
// spread with a repeat count.
template <class Kernel>
long accumulate(AccumulatorRow& ctx, const unsigned char* p0, const unsigned char* p1,
                const unsigned char* p2, const unsigned char* mask, long count, uint32_t* counts,
                kvTouchedCells* touched) {
    const kvAccumulatorTables& t = *ctx.t;
    const ptrdiff_t n = t.levelCount;
    PixelBox box;
    unsigned prev[3] = {256, 256, 256};  // colour whose tables are in box
    uint32_t repeat = 0;
    long care = 0;

    auto flush = [&]() {
        const size_t cell =
            static_cast<size_t>((t.quant[prev[0]] * n + t.quant[prev[1]]) * n + t.quant[prev[2]]);
        const kvTouchedCells bit = kvTouchedCells{1} << (cell % 64);
        if (touched[cell / 64] & bit) {
            counts[cell] += repeat;
        } else {
            touched[cell / 64] |= bit;
            counts[cell] = repeat;
        }
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
}  // namespace clsgint

long clsgint::accumulateRow(const kvAccumulatorTables& tables, const unsigned char* p0,
                            const unsigned char* p1, const unsigned char* p2,
                            const unsigned char* mask, long count, double* weights,
                            uint32_t* counts, kvTouchedCells* touched) {
    using namespace clsgint;
    AccumulatorRow ctx;
    ctx.t = &tables;
    std::memcpy(ctx.centers, tables.levelCenter, 256);
    std::memset(ctx.centers + 256, 0, kLevelSlots - 256);
    ctx.weights = weights;
    const size_t n = static_cast<size_t>(tables.levelCount);
    ctx.cells = n * n * n;
#ifdef CLSG_X86_SIMD
    switch (kvActiveSimd()) {
        case kvSimdLevel::Avx512:
            return accumulate<Avx512Kernel>(ctx, p0, p1, p2, mask, count, counts, touched);
        case kvSimdLevel::Avx2:
            return accumulate<Avx2Kernel>(ctx, p0, p1, p2, mask, count, counts, touched);
        case kvSimdLevel::Portable:
            break;
    }
#endif
    return accumulate<ScalarKernel>(ctx, p0, p1, p2, mask, count, counts, touched);
}

double clsgint::weightedCountSum(const uint32_t* counts, const kvTouchedCells* touched,
                                 const double* weights, size_t cells) {
    double sum = 0.0;
    for (size_t word = 0; word < (cells + 63) / 64; ++word) {
        size_t i = word * 64;
        for (kvTouchedCells bits = touched[word]; bits != 0; ++i, bits >>= 1)
            if ((bits & 1) && counts[i] != 0)
                sum = sum + static_cast<double>(counts[i]) * weights[i];
    }
    return sum;
}
