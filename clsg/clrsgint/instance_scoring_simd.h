// The jobs of the scoring kernel shared by its instruction-set paths
// (layout: simd_dispatch.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "clsg/clrsgint/simd_dispatch.h"

namespace clsgint {

constexpr long kChunk = 8;   // pixels per chunk of the non-zero bookkeeping
constexpr long kBlock = 64;  // output pixels summed together (the widest kernel's block)

// The cell of a colour, (q[r] * n + q[g]) * n + q[b], split per channel as
// q[r] * n * n + q[g] * n + q[b] for the scalar lookup, and as 16-bit q * n and q for the
// vector lookup (usable while q * n + q fits in 16 bits, i.e. n <= 256).
//
// Training quantises by q[v] = (v * S + 128) >> 8 for a scale S in 0..255; scale holds S when the
// table is such a one (a vector path may then compute q instead of looking it up), else -1.
struct CellLookup {
    const double* weights;
    int32_t n;
    bool narrow;
    int32_t scale;
    std::size_t r[256], g[256], b[256];
    uint16_t qn16[256], q16[256];
    int32_t r32[256], g32[256], b32[256];  // r, g and b in 32 bits (narrow only)
};

// Three plane rows and where their cell weights go.
struct LookupJob {
    const unsigned char* plane[3];
    long width;
    double* v;           // v[i] = weight of pixel i; v starts a chunk
    int32_t* nzBefore;   // per chunk: chunks before it holding a non-zero weight, then the total
    int32_t* cellIndex;  // scratch of width entries
};

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

// Per path: indexRow fills job.cellIndex for one image row (narrow tables only); fetchCells
// then fills job.v and job.nzBefore from the weights of the cells cell[0..width); sumRow
// scores one output row.
#ifdef CLSG_X86_SIMD
void sumRowAvx2(const RowJob& job);
void indexRowAvx2(const CellLookup& t, const LookupJob& job);
void fetchCellsAvx2(const double* weights, const int32_t* cell, const LookupJob& job);
void indexRowAvx512(const CellLookup& t, const LookupJob& job);
void fetchCellsAvx512(const double* weights, const int32_t* cell, const LookupJob& job);
void sumRowAvx512(const RowJob& job);
#endif

namespace {

inline std::size_t cellOfColour(const CellLookup& t, unsigned char cr, unsigned char cg,
                                unsigned char cb) {
    return t.r[cr] + t.g[cg] + t.b[cb];
}

// Stores the weights of pixels [i, end) of one chunk and returns whether one is non-zero:
// a double is non-zero when any bit but the sign bit is set.
template <class CellOf>
inline bool fetchChunk(const double* weights, double* v, long i, long end, CellOf cellOf) {
    uint64_t bits = 0;
#pragma GCC unroll 8
    for (long k = i; k < end; ++k) {
        const double w = weights[cellOf(k)];
        uint64_t wb;
        std::memcpy(&wb, &w, sizeof wb);
        bits |= wb;
        v[k] = w;
    }
    return (bits << 1) != 0;
}

// Weights of a row from pixel `from` (a multiple of kChunk) on, and its non-zero chunk counts
// from there, given `seen` chunks with a weight before it.
template <class CellOf>
inline void fetchRowFrom(const double* weights, const LookupJob& job, long from, int32_t seen,
                         CellOf cellOf) {
    // Locals: the compiler cannot tell that the stores leave job's pointers alone.
    double* const v = job.v;
    int32_t* const nzBefore = job.nzBefore;
    const long width = job.width;
    long c = from / kChunk;
    for (long i = from; i < width; i += kChunk, ++c) {
        const long end = width < i + kChunk ? width : i + kChunk;
        const bool any = end - i == kChunk ? fetchChunk(weights, v, i, i + kChunk, cellOf)
                                           : fetchChunk(weights, v, i, end, cellOf);
        nzBefore[c] = seen;
        seen += any ? 1 : 0;
    }
    nzBefore[c] = seen;
}

// Weights of a whole row, and its non-zero chunk counts.
template <class CellOf>
inline void fetchRow(const CellLookup& t, const LookupJob& job, CellOf cellOf) {
    fetchRowFrom(t.weights, job, 0, 0, cellOf);
}

// The scalar fetch of the cells cell[from..width).
inline void fetchCellsFrom(const double* weights, const int32_t* cell, const LookupJob& job,
                           long from, int32_t seen) {
    fetchRowFrom(weights, job, from, seen,
                 [cell](long k) { return static_cast<std::size_t>(cell[k]); });
}

// Whether any source of the block starting at padded column `at` has a non-zero weight.
inline bool blockHasWeight(const SourceRow& s, const RowJob& job, long at, long blockSize) {
    const long start = at + job.dxLo;
    const long end = at + blockSize - 1 + job.dxHi;
    return s.nzBefore[end / kChunk + 1] != s.nzBefore[start / kChunk];
}

// Bit j set: some source of the vector of `lanes` pixels at `at + j * lanes` holds a weight.
inline unsigned liveVectors(const SourceRow& s, const RowJob& job, long at, long lanes,
                            int vectors) {
    unsigned live = 0;
    for (int j = 0; j < vectors; ++j) {
        const long start = at + j * lanes + job.dxLo;
        const long end = at + (j + 1) * lanes - 1 + job.dxHi;
        if (s.nzBefore[end / kChunk + 1] != s.nzBefore[start / kChunk]) live |= 1u << j;
    }
    return live;
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

}  // namespace
}  // namespace clsgint
