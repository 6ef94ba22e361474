#include "clsg/clrsgint/instance_scoring.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "clsg/clrsgint/abort_poll.h"
#include "clsg/clrsgint/instance_scoring_simd.h"
#include "clsg/clrsgint/neighborhood_kernel.h"

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

namespace clsgint {
namespace {

long roundUp(long v, long step) { return (v + step - 1) / step * step; }

// The S of q[v] = (v * S + 128) >> 8 when the table follows that rule, else -1.
int32_t trainingScale(const unsigned char* q) {
    for (int32_t s = 0; s < 256; ++s) {
        if (((255 * s + 128) >> 8) != q[255]) continue;
        int v = 0;
        while (v < 256 && q[v] == ((v * s + 128) >> 8)) ++v;
        if (v == 256) return s;
    }
    return -1;
}

CellLookup makeCellLookup(const unsigned char* q, int32_t levels, const double* w) {
    CellLookup t;
    t.weights = w;
    t.n = levels;
    t.narrow = levels >= 1 && levels <= 256;
    t.scale = trainingScale(q);
    const auto sn = static_cast<std::size_t>(levels);
    for (int c = 0; c < 256; ++c) {
        t.r[c] = q[c] * sn * sn;
        t.g[c] = q[c] * sn;
        t.b[c] = q[c];
        t.qn16[c] = t.narrow ? static_cast<uint16_t>(q[c] * levels) : 0;
        t.q16[c] = q[c];
        t.r32[c] = t.narrow ? static_cast<int32_t>(t.r[c]) : 0;
        t.g32[c] = t.narrow ? static_cast<int32_t>(t.g[c]) : 0;
        t.b32[c] = t.narrow ? static_cast<int32_t>(t.b[c]) : 0;
    }
    return t;
}

void indexRowPortable(const CellLookup& t, const LookupJob& job) {
    const unsigned char *r = job.plane[0], *g = job.plane[1], *b = job.plane[2];
    for (long k = 0; k < job.width; ++k)
        job.cellIndex[k] = static_cast<int32_t>(cellOfColour(t, r[k], g[k], b[k]));
}

using IndexRowFn = void (*)(const CellLookup&, const LookupJob&);

IndexRowFn chooseIndexRow() {
#ifdef CLSG_X86_SIMD
    switch (kvActiveSimd()) {
        case kvSimdLevel::Avx512:
            return indexRowAvx512;
        case kvSimdLevel::Avx2:
            return indexRowAvx2;
        case kvSimdLevel::Portable:
            break;
    }
#endif
    return indexRowPortable;
}

void lookupRowPortable(const CellLookup& t, const LookupJob& job) {
    const unsigned char *r = job.plane[0], *g = job.plane[1], *b = job.plane[2];
    fetchRow(t, job, [&](long k) { return cellOfColour(t, r[k], g[k], b[k]); });
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

void fetchCellsPortable(const double* weights, const int32_t* cell, const LookupJob& job) {
    fetchCellsFrom(weights, cell, job, 0, 0);
}

using FetchCellsFn = void (*)(const double*, const int32_t*, const LookupJob&);

FetchCellsFn chooseFetchCells() {
#ifdef CLSG_X86_SIMD
    switch (kvActiveSimd()) {
        case kvSimdLevel::Avx512:
            return fetchCellsAvx512;
        case kvSimdLevel::Avx2:
            return fetchCellsAvx2;
        case kvSimdLevel::Portable:
            break;
    }
#endif
    return fetchCellsPortable;
}

using SumRowFn = void (*)(const RowJob&);

SumRowFn chooseSumRow() {
#ifdef CLSG_X86_SIMD
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

}  // namespace
}  // namespace clsgint

clsgint::InstanceRowScorer::InstanceRowScorer(const kvPlanesView& img,
                                              const unsigned char* quantTable,
                                              const double* weights, int32_t levelCount,
                                              double normFactor, int32_t neighborhoodSize)
    : img_(img),
      cells_(makeCellLookup(quantTable, levelCount, weights)),
      normFactor_(normFactor),
      n_(std::max<int32_t>(neighborhoodSize, 1)),
      even_(n_ % 2 == 0),
      h_(even_ ? n_ / 2 - 1 : (n_ - 1) / 2),
      dLo_(even_ ? -(h_ + 1) : -h_),
      dHi_(h_),
      nextLoad_(img.y0) {
    // The kernel as terms per source row offset dy, each in source column order. Zero kernel
    // weights add nothing and are left out. N = 1 has the single term 1.0 * v: the sum
    // +0.0 + v is v, or +0.0 for v = -0.0, which squares to the same score.
    if (n_ == 1) {
        terms_.push_back({0, 1.0});
        rowStart_ = {0, 1};
    } else {
        const unsigned char* kernel = neighborhoodKernel(n_);
        const long m = kernelQuadrantSide(n_);
        for (long dy = dLo_; dy <= dHi_; ++dy) {
            rowStart_.push_back(terms_.size());
            const long ky = kernelIndex(dy, even_);
            for (long dx = dLo_; dx <= dHi_; ++dx) {
                const unsigned char w = kernel[ky * m + kernelIndex(dx, even_)];
                if (w != 0) terms_.push_back({dx, static_cast<double>(w)});
            }
        }
        rowStart_.push_back(terms_.size());
    }
    // Ring of n zero-padded cell-weight rows, each with its non-zero chunk counts. The row is
    // long enough for the last block's reads at the widest offsets.
    const long width = std::max(img.width, 0L);
    pad_ = roundUp(h_ + 1, kChunk);
    rowLen_ = roundUp(pad_ + roundUp(width, kBlock) + h_ + 1, kChunk);
    chunks_ = rowLen_ / kChunk;
    // Rows start on cache lines (rowLen_ is a whole number of them): a vector load then
    // crosses a line only where the offset of its source column makes it.
    constexpr std::size_t kLine = 64 / sizeof(double);
    ring_.assign(static_cast<std::size_t>(rowLen_) * n_ + kLine - 1, 0.0);
    const auto misalign = reinterpret_cast<std::uintptr_t>(ring_.data()) % 64 / sizeof(double);
    ringBase_ = ring_.data() + (misalign ? kLine - misalign : 0);
    nzBefore_.assign(static_cast<std::size_t>(chunks_ + 1) * n_, 0);
    cellIndex_.resize(static_cast<std::size_t>(width));
    rows_.resize(static_cast<std::size_t>(n_));
}

// Chunks of the left padding hold no weight; those after the image hold the row's total.
void clsgint::InstanceRowScorer::loadRow(long sy) {
    const long firstChunk = pad_ / kChunk, imageChunks = (img_.width + kChunk - 1) / kChunk;
    int32_t* counts = ringCounts(sy);
    const LookupJob job{{planeRow(img_, 0, sy), planeRow(img_, 1, sy), planeRow(img_, 2, sy)},
                        img_.width,
                        ringRow(sy) + pad_,
                        counts + firstChunk,
                        cellIndex_.data()};
    if (!cells_.narrow) {
        lookupRowPortable(cells_, job);
    } else {
        // The cells of this row: from the leader when it has just computed them.
        const int32_t* cell = cellIndex_.data();
        if (cellSource_ && cellSource_->cellRow_ == sy) {
            cell = cellSource_->cellIndex_.data();
        } else {
            chooseIndexRow()(cells_, job);
            cellRow_ = sy;
        }
        chooseFetchCells()(cells_.weights, cell, job);
    }
    const int32_t total = counts[firstChunk + imageChunks];
    std::fill(counts + firstChunk + imageChunks + 1, counts + chunks_ + 1, total);
}

bool clsgint::InstanceRowScorer::shareCells(const InstanceRowScorer& leader) {
    const bool same = leader.cells_.narrow && cells_.narrow && leader.cells_.n == cells_.n &&
                      !std::memcmp(leader.cells_.b, cells_.b, sizeof cells_.b) &&
                      leader.img_.plane[0] == img_.plane[0] && leader.img_.y0 == img_.y0 &&
                      leader.img_.width == img_.width && leader.n_ == n_;
    if (same && !leader.cellSource_) cellSource_ = &leader;
    return cellSource_ == &leader;
}

void clsgint::InstanceRowScorer::scoreRow(long y, bool first, double* out) {
    const long y1 = img_.y0 + img_.height;
    assert(y >= img_.y0 && y < y1);
    for (const long last = std::min(y + dHi_, y1 - 1); nextLoad_ <= last; ++nextLoad_)
        loadRow(nextLoad_);

    // Source rows top to bottom; rows outside the image or without weights add nothing.
    std::size_t rowCount = 0;
    for (long dy = dLo_; dy <= dHi_; ++dy) {
        const long sy = y + dy;
        const std::size_t t0 = rowStart_[dy - dLo_], t1 = rowStart_[dy - dLo_ + 1];
        if (sy < img_.y0 || sy >= y1 || t0 == t1) continue;
        const int32_t* counts = ringCounts(sy);
        if (counts[chunks_] == 0) continue;
        rows_[rowCount++] = {ringRow(sy), counts, terms_.data() + t0, t1 - t0};
    }
    const RowJob job{rows_.data(), rowCount, pad_, img_.width, dLo_, dHi_, normFactor_, first, out};
    chooseSumRow()(job);
}

void clsgint::scoreInstancePlanes(const kvPlanesView& img, const unsigned char* quantTable,
                                  const double* weights, int32_t levelCount, double normFactor,
                                  int32_t neighborhoodSize, bool first,
                                  const kvImageView<double>& out) {
    assert(out.x0 == img.x0 && out.y0 == img.y0 && out.width == img.width &&
           out.height == img.height);
    if (img.width <= 0 || img.height <= 0) return;
    InstanceRowScorer scorer(img, quantTable, weights, levelCount, normFactor, neighborhoodSize);
    for (long y = img.y0; y < img.y0 + img.height; ++y) {
        pollAttentionAtRow(y);
        scorer.scoreRow(y, first, out.row(y));
    }
}
