#include "clsg/clrsgint/instance_scoring.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <vector>

#include "clsg/clrsgint/abort_poll.h"
#include "clsg/clrsgint/cpu_features.h"
#include "clsg/clrsgint/neighborhood_kernel.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define CLSG_HAVE_X86_SIMD 1
#endif

// The neighbourhood sum is computed as a gather: each output pixel adds the kernel-weighted
// cell weights of its N x N sources in row-major source order, which is exactly the order in
// which a row-major scatter from the sources would deliver them. A source whose weight is
// zero (or whose kernel weight is zero) adds +0.0 or -0.0 (weights are finite) to a sum that
// started at +0.0 and so is never -0.0; that leaves the sum unchanged, which makes skipping
// such sources and reading the zero padding around the image exact.
//
// Cell weights of the last N image rows are kept in a ring of zero-padded row buffers. The
// sum is vectorised across x in blocks of kBlock output pixels; for every source row a count
// of non-zero 8-pixel chunks lets a block skip the rows that have nothing for it.

namespace {

constexpr long kChunk = 8;   // pixels per chunk of the non-zero bookkeeping
constexpr long kBlock = 64;  // output pixels summed together (the widest kernel's block)

long roundUp(long v, long step) { return (v + step - 1) / step * step; }

// The cell of a colour, (q[r] * n + q[g]) * n + q[b], split per channel as
// q[r] * n * n + q[g] * n + q[b] for the scalar lookup, and as 16-bit q * n and q for the
// vector lookup (usable while q * n + q fits in 16 bits, i.e. n <= 256).
struct CellLookup {
    const double* weights;
    int32_t n;
    bool narrow;
    std::size_t r[256], g[256], b[256];
    uint16_t qn16[256], q16[256];

    CellLookup(const unsigned char* q, int32_t levels, const double* w)
        : weights(w), n(levels), narrow(levels >= 1 && levels <= 256) {
        const auto sn = static_cast<std::size_t>(levels);
        for (int c = 0; c < 256; ++c) {
            r[c] = q[c] * sn * sn;
            g[c] = q[c] * sn;
            b[c] = q[c];
            qn16[c] = narrow ? static_cast<uint16_t>(q[c] * levels) : 0;
            q16[c] = q[c];
        }
    }
    std::size_t cell(unsigned char cr, unsigned char cg, unsigned char cb) const {
        return r[cr] + g[cg] + b[cb];
    }
};

// Three plane rows and where their cell weights go.
struct LookupJob {
    const unsigned char* plane[3];
    long width;
    double* v;           // v[i] = weight of pixel i; v starts a chunk
    int32_t* nzBefore;   // per chunk: chunks before it holding a non-zero weight, then the total
    int32_t* cellIndex;  // scratch of width entries
};

// Stores the weights of pixels [i, end) of one chunk and returns whether one is non-zero:
// a double is non-zero when any bit but the sign bit is set.
template <class CellOf>
inline bool fetchChunk(const CellLookup& t, const LookupJob& job, long i, long end, CellOf cellOf) {
    uint64_t bits = 0;
    for (long k = i; k < end; ++k) {
        const double w = t.weights[cellOf(k)];
        uint64_t wb;
        std::memcpy(&wb, &w, sizeof wb);
        bits |= wb;
        job.v[k] = w;
    }
    return (bits << 1) != 0;
}

template <class CellOf>
void fetchRow(const CellLookup& t, const LookupJob& job, CellOf cellOf) {
    int32_t seen = 0;
    long c = 0;
    for (long i = 0; i < job.width; i += kChunk, ++c) {
        const long end = std::min(job.width, i + kChunk);
        const bool any = end - i == kChunk ? fetchChunk(t, job, i, i + kChunk, cellOf)
                                           : fetchChunk(t, job, i, end, cellOf);
        job.nzBefore[c] = seen;
        seen += any ? 1 : 0;
    }
    job.nzBefore[c] = seen;
}

void lookupRowPortable(const CellLookup& t, const LookupJob& job) {
    const unsigned char *r = job.plane[0], *g = job.plane[1], *b = job.plane[2];
    fetchRow(t, job, [&](long k) { return t.cell(r[k], g[k], b[k]); });
}

// A kernel weight and the column offset of its source from the output pixel.
struct Term {
    std::ptrdiff_t dx;
    double w;
};

// A row of cell weights that reaches the output row being summed.
struct SourceRow {
    const double* v;          // zero-padded: v[pad + i] is the image column x0 + i
    const int32_t* nzBefore;  // nzBefore[c]: chunks before chunk c holding a non-zero weight
    const Term* terms;        // the kernel row for this source row, dx ascending
    std::size_t termCount;
};

// One output row: out[i] gets the score of image column x0 + i.
struct RowJob {
    const SourceRow* rows;  // top to bottom
    std::size_t rowCount;
    long pad, width;
    long dxLo, dxHi;  // column offsets of the sources, the same for every row
    double normFactor;
    bool first;
    double* out;
};

// Whether any source of the block starting at padded column `at` has a non-zero weight.
inline bool blockHasWeight(const SourceRow& s, const RowJob& job, long at, long blockSize) {
    const long start = at + job.dxLo;
    const long end = at + blockSize - 1 + job.dxHi;
    return s.nzBefore[end / kChunk + 1] != s.nzBefore[start / kChunk];
}

// Writes the scores s[0..count) of a block (first instance, or keep the strictly greater).
inline void storeScores(const double* s, long count, double* out, bool first) {
    if (first) {
        for (long i = 0; i < count; ++i) out[i] = s[i];
    } else {
        for (long i = 0; i < count; ++i)
            if (s[i] > out[i]) out[i] = s[i];
    }
}

void sumRowPortable(const RowJob& job) {
    constexpr long B = 8;  // more accumulators spill on SSE2
    static_assert(B <= kBlock, "rows are padded for kBlock");
    for (long bx = 0; bx < job.width; bx += B) {
        const long at = job.pad + bx;
        double acc[B] = {};
        for (std::size_t k = 0; k < job.rowCount; ++k) {
            const SourceRow& s = job.rows[k];
            if (!blockHasWeight(s, job, at, B)) continue;
            for (std::size_t t = 0; t < s.termCount; ++t) {
                const double w = s.terms[t].w;
                const double* q = s.v + at + s.terms[t].dx;
                for (long i = 0; i < B; ++i) acc[i] = acc[i] + w * q[i];
            }
        }
        for (long i = 0; i < B; ++i) acc[i] = acc[i] * acc[i] * job.normFactor;
        storeScores(acc, std::min(B, job.width - bx), job.out + bx, job.first);
    }
}

#ifdef CLSG_HAVE_X86_SIMD

__attribute__((target("avx2"))) void sumRowAvx2(const RowJob& job) {
    constexpr long B = 32;  // eight independent add chains
    static_assert(B <= kBlock, "rows are padded for kBlock");
    const __m256d nf = _mm256_set1_pd(job.normFactor);
    for (long bx = 0; bx < job.width; bx += B) {
        const long at = job.pad + bx;
        __m256d a[8];
        for (int j = 0; j < 8; ++j) a[j] = _mm256_setzero_pd();
        for (std::size_t k = 0; k < job.rowCount; ++k) {
            const SourceRow& s = job.rows[k];
            if (!blockHasWeight(s, job, at, B)) continue;
            // a[i] = a[i] + w * v[x + dx + i]
            for (std::size_t t = 0; t < s.termCount; ++t) {
                const __m256d w = _mm256_set1_pd(s.terms[t].w);
                const double* q = s.v + at + s.terms[t].dx;
                for (int j = 0; j < 8; ++j)
                    a[j] = _mm256_add_pd(a[j], _mm256_mul_pd(w, _mm256_loadu_pd(q + 4 * j)));
            }
        }
        // s = S * S * normFactor
        for (int j = 0; j < 8; ++j) a[j] = _mm256_mul_pd(_mm256_mul_pd(a[j], a[j]), nf);
        double* o = job.out + bx;
        if (bx + B <= job.width) {
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
            for (int j = 0; j < 8; ++j) _mm256_store_pd(s + 4 * j, a[j]);
            storeScores(s, job.width - bx, o, job.first);
        }
    }
}

// A 256-entry table of 16-bit values held in eight registers, looked up for 32 pixels.
struct Table16 {
    __m512i part[8];
};

__attribute__((target("avx512f,avx512bw,avx512vl,avx512dq"))) inline __m512i lookup16(
    const Table16& t, __m512i x) {
    // Entries 0..63, 64..127, 128..191, 192..255 by the low six bits, then bits 6 and 7 choose.
    const __m512i e0 = _mm512_permutex2var_epi16(t.part[0], x, t.part[1]);
    const __m512i e1 = _mm512_permutex2var_epi16(t.part[2], x, t.part[3]);
    const __m512i e2 = _mm512_permutex2var_epi16(t.part[4], x, t.part[5]);
    const __m512i e3 = _mm512_permutex2var_epi16(t.part[6], x, t.part[7]);
    const __mmask32 bit6 = _mm512_test_epi16_mask(x, _mm512_set1_epi16(64));
    const __mmask32 bit7 = _mm512_test_epi16_mask(x, _mm512_set1_epi16(128));
    return _mm512_mask_blend_epi16(bit7, _mm512_mask_blend_epi16(bit6, e0, e1),
                                   _mm512_mask_blend_epi16(bit6, e2, e3));
}

// 32 bytes as 16-bit lanes.
__attribute__((target("avx512f,avx512bw,avx512vl,avx512dq"))) inline __m512i widen32(
    const unsigned char* p) {
    return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}

// Cell indices of 32 pixels at a time in vector registers, then the weights by scalar loads
// (measured faster than gathers).
__attribute__((target("avx512f,avx512bw,avx512vl,avx512dq"))) void lookupRowAvx512(
    const CellLookup& t, const LookupJob& job) {
    const unsigned char *r = job.plane[0], *g = job.plane[1], *b = job.plane[2];
    Table16 qn, q;
    for (int k = 0; k < 8; ++k) {
        qn.part[k] = _mm512_loadu_si512(t.qn16 + 32 * k);
        q.part[k] = _mm512_loadu_si512(t.q16 + 32 * k);
    }
    const __m512i n = _mm512_set1_epi32(t.n);
    const __mmask16 all16 = 0xFFFF;
    const __mmask8 all4 = 0xF;
    long i = 0;
    // cell = (q[r] * n + q[g]) * n + q[b]; the bracket fits in 16 bits
    for (; i + 32 <= job.width; i += 32) {
        const __m512i rg =
            _mm512_add_epi16(lookup16(qn, widen32(r + i)), lookup16(q, widen32(g + i)));
        const __m512i lb = lookup16(q, widen32(b + i));
        // Masked widening: the unmasked forms trip a false uninitialised warning in GCC 12.
        const __m256i rgLo = _mm512_maskz_extracti64x4_epi64(all4, rg, 0);
        const __m256i lbLo = _mm512_maskz_extracti64x4_epi64(all4, lb, 0);
        const __m256i rgHi = _mm512_maskz_extracti64x4_epi64(all4, rg, 1);
        const __m256i lbHi = _mm512_maskz_extracti64x4_epi64(all4, lb, 1);
        const __m512i lo =
            _mm512_add_epi32(_mm512_mullo_epi32(_mm512_maskz_cvtepu16_epi32(all16, rgLo), n),
                             _mm512_maskz_cvtepu16_epi32(all16, lbLo));
        const __m512i hi =
            _mm512_add_epi32(_mm512_mullo_epi32(_mm512_maskz_cvtepu16_epi32(all16, rgHi), n),
                             _mm512_maskz_cvtepu16_epi32(all16, lbHi));
        _mm512_storeu_si512(job.cellIndex + i, lo);
        _mm512_storeu_si512(job.cellIndex + i + 16, hi);
    }
    for (; i < job.width; ++i) job.cellIndex[i] = static_cast<int32_t>(t.cell(r[i], g[i], b[i]));
    fetchRow(t, job, [&](long k) { return static_cast<std::size_t>(job.cellIndex[k]); });
}

__attribute__((target("avx512f,avx512bw,avx512vl,avx512dq"))) void sumRowAvx512(const RowJob& job) {
    constexpr long B = 64;  // eight independent add chains
    static_assert(B <= kBlock, "rows are padded for kBlock");
    const __m512d nf = _mm512_set1_pd(job.normFactor);
    for (long bx = 0; bx < job.width; bx += B) {
        const long at = job.pad + bx;
        __m512d a[8];
        for (int j = 0; j < 8; ++j) a[j] = _mm512_setzero_pd();
        for (std::size_t k = 0; k < job.rowCount; ++k) {
            const SourceRow& s = job.rows[k];
            if (!blockHasWeight(s, job, at, B)) continue;
            // a[i] = a[i] + w * v[x + dx + i]
            for (std::size_t t = 0; t < s.termCount; ++t) {
                const __m512d w = _mm512_set1_pd(s.terms[t].w);
                const double* q = s.v + at + s.terms[t].dx;
                for (int j = 0; j < 8; ++j)
                    a[j] = _mm512_add_pd(a[j], _mm512_mul_pd(w, _mm512_loadu_pd(q + 8 * j)));
            }
        }
        // s = S * S * normFactor
        for (int j = 0; j < 8; ++j) a[j] = _mm512_mul_pd(_mm512_mul_pd(a[j], a[j]), nf);
        double* o = job.out + bx;
        if (bx + B <= job.width) {
            for (int j = 0; j < 8; ++j) {
                if (job.first) {
                    _mm512_storeu_pd(o + 8 * j, a[j]);
                } else {
                    const __mmask8 gt =
                        _mm512_cmp_pd_mask(a[j], _mm512_loadu_pd(o + 8 * j), _CMP_GT_OQ);
                    _mm512_mask_storeu_pd(o + 8 * j, gt, a[j]);
                }
            }
        } else {
            alignas(64) double s[B];
            for (int j = 0; j < 8; ++j) _mm512_store_pd(s + 8 * j, a[j]);
            storeScores(s, job.width - bx, o, job.first);
        }
    }
}

#endif  // CLSG_HAVE_X86_SIMD

using LookupRowFn = void (*)(const CellLookup&, const LookupJob&);

LookupRowFn chooseLookupRow(const CellLookup& t) {
#ifdef CLSG_HAVE_X86_SIMD
    if (kvActiveSimd() == kvSimdLevel::Avx512 && t.narrow) return lookupRowAvx512;
#endif
    (void)t;
    return lookupRowPortable;
}

using SumRowFn = void (*)(const RowJob&);

SumRowFn chooseSumRow() {
#ifdef CLSG_HAVE_X86_SIMD
    switch (kvActiveSimd()) {
        case kvSimdLevel::Avx512:
            return sumRowAvx512;
        case kvSimdLevel::Avx2:
            return sumRowAvx2;
        case kvSimdLevel::Portable:
            break;
    }
#endif
    return sumRowPortable;
}

const unsigned char* planeRow(const kvPlanesView& img, int c, long y) {
    return img.plane[c] + (y - img.y0) * img.stride[c];
}

// Kernel index of a source offset d from the output pixel. Odd N: |d|. Even N: a source at
// q reaches q + t for t in {-k, k + 1} with weight index k, so d = -t maps to d or -d - 1.
long kernelIndex(long d, bool even) { return d >= 0 ? d : (even ? -d - 1 : -d); }

// The kernel as terms per source row offset dy (dLo..dHi), each in source column order.
// Zero kernel weights add nothing and are left out. N = 1 has the single term 1.0 * v: the
// sum +0.0 + v is v, or +0.0 for v = -0.0, which squares to the same score.
struct KernelTerms {
    bool even;
    long h, dLo, dHi;  // dLo..dHi: source offsets from the output pixel, both directions
    std::vector<Term> terms;
    std::vector<std::size_t> rowStart;  // terms of offset dy: [rowStart[dy - dLo], next)

    explicit KernelTerms(int32_t n)
        : even(n % 2 == 0), h(even ? n / 2 - 1 : (n - 1) / 2), dLo(even ? -(h + 1) : -h), dHi(h) {
        if (n == 1) {
            terms.push_back({0, 1.0});
            rowStart = {0, 1};
            return;
        }
        const unsigned char* kernel = neighborhoodKernel(n);
        const long m = kernelQuadrantSide(n);
        for (long dy = dLo; dy <= dHi; ++dy) {
            rowStart.push_back(terms.size());
            const long ky = kernelIndex(dy, even);
            for (long dx = dLo; dx <= dHi; ++dx) {
                const unsigned char w = kernel[ky * m + kernelIndex(dx, even)];
                if (w != 0) terms.push_back({dx, static_cast<double>(w)});
            }
        }
        rowStart.push_back(terms.size());
    }
};

}  // namespace

void scoreInstancePlanes(const kvPlanesView& img, const unsigned char* quantTable,
                         const double* weights, int32_t levelCount, double normFactor,
                         int32_t neighborhoodSize, bool first, const kvImageView<double>& out) {
    assert(out.x0 == img.x0 && out.y0 == img.y0 && out.width == img.width &&
           out.height == img.height);
    if (img.width <= 0 || img.height <= 0) return;
    const CellLookup cells(quantTable, levelCount, weights);

    const int32_t n = std::max<int32_t>(neighborhoodSize, 1);
    const KernelTerms k(n);

    // Ring of n zero-padded cell-weight rows, each with its non-zero chunk counts. The row is
    // long enough for the last block's reads at the widest offsets.
    const long width = img.width;
    const long pad = roundUp(k.h + 1, kChunk);
    const long rowLen = roundUp(pad + roundUp(width, kBlock) + k.h + 1, kChunk);
    const long chunks = rowLen / kChunk;
    std::vector<double> ring(static_cast<std::size_t>(rowLen) * n, 0.0);
    std::vector<int32_t> nzBefore(static_cast<std::size_t>(chunks + 1) * n, 0);
    auto ringRow = [&](long sy) { return ring.data() + ((sy - img.y0) % n) * rowLen; };
    auto ringCounts = [&](long sy) { return nzBefore.data() + ((sy - img.y0) % n) * (chunks + 1); };

    // Chunks of the left padding hold no weight; those after the image hold the row's total.
    const LookupRowFn lookupRow = chooseLookupRow(cells);
    std::vector<int32_t> cellIndex(static_cast<std::size_t>(width));
    const long firstChunk = pad / kChunk, imageChunks = (width + kChunk - 1) / kChunk;
    auto loadRow = [&](long sy) {
        int32_t* counts = ringCounts(sy);
        const LookupJob job{{planeRow(img, 0, sy), planeRow(img, 1, sy), planeRow(img, 2, sy)},
                            width,
                            ringRow(sy) + pad,
                            counts + firstChunk,
                            cellIndex.data()};
        lookupRow(cells, job);
        const int32_t total = counts[firstChunk + imageChunks];
        std::fill(counts + firstChunk + imageChunks + 1, counts + chunks + 1, total);
    };

    const SumRowFn sumRow = chooseSumRow();
    std::vector<SourceRow> rows(static_cast<std::size_t>(n));
    const long y1 = img.y0 + img.height;
    long nextLoad = img.y0;
    for (long y = img.y0; y < y1; ++y) {
        pollAttentionAtRow(y);
        for (const long last = std::min(y + k.dHi, y1 - 1); nextLoad <= last; ++nextLoad)
            loadRow(nextLoad);

        // Source rows top to bottom; rows outside the image or without weights add nothing.
        std::size_t rowCount = 0;
        for (long dy = k.dLo; dy <= k.dHi; ++dy) {
            const long sy = y + dy;
            const std::size_t t0 = k.rowStart[dy - k.dLo], t1 = k.rowStart[dy - k.dLo + 1];
            if (sy < img.y0 || sy >= y1 || t0 == t1) continue;
            const int32_t* counts = ringCounts(sy);
            if (counts[chunks] == 0) continue;
            rows[rowCount++] = {ringRow(sy), counts, k.terms.data() + t0, t1 - t0};
        }
        const RowJob job{rows.data(), rowCount,   pad,   width,     k.dLo,
                         k.dHi,       normFactor, first, out.row(y)};
        sumRow(job);
    }
}
