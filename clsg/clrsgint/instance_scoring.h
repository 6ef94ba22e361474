// Score of one training instance at every pixel of an image window.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "clsg/clrsgint/instance_scoring_simd.h"
#include "clsg/clrsgint/plane_view.h"

namespace clsgint {

// Scores one training instance over a window: out has the same window as img.
//
// Per pixel, the cell weight is v = weights[(quantTable[r] * n + quantTable[g]) * n +
// quantTable[b]] with n = levelCount. For neighborhoodSize N <= 1 the sum S is v itself;
// for N >= 2, S adds (double)w * v over the N x N neighbourhood with the integer kernel
// of neighborhoodKernel(N) (odd N centred on the pixel, even N on its top-left corner),
// pixels outside the window counting as absent. The score is s = S * S * normFactor.
//
// first = true writes s to every pixel; first = false writes s only where s > out(x, y)
// strictly, so equal scores keep the earlier value.
//
// The result is bit-identical to scattering (double)w * v from every pixel with v != 0.0,
// in row-major order, into a zero-filled sum image. quantTable has 256 entries below n,
// weights has n^3 finite entries. Polls for an abort before every row whose absolute y is
// a multiple of 16; an abort leaves out partly written. Working memory is O(N * width).
void scoreInstancePlanes(const kvPlanesView& img, const unsigned char* quantTable,
                         const double* weights, int32_t levelCount, double normFactor,
                         int32_t neighborhoodSize, bool first, const kvImageView<double>& out);

// The same scores one row at a time, so that several instances can fill their rows of a
// band while it is hot: scoreRow(y, ...) for y = img.y0, img.y0 + 1, ... in turn, each once,
// gives row y of scoreInstancePlanes's out (no abort poll). The tables must outlive the
// scorer. Holds about 8 * N * (width + N) bytes.
class InstanceRowScorer {
public:
    InstanceRowScorer(const kvPlanesView& img, const unsigned char* quantTable,
                      const double* weights, int32_t levelCount, double normFactor,
                      int32_t neighborhoodSize);
    // Not copied or moved: it points into its own buffers and others point at it.
    InstanceRowScorer(const InstanceRowScorer&) = delete;
    InstanceRowScorer& operator=(const InstanceRowScorer&) = delete;
    void scoreRow(long y, bool first, double* out);

    // Takes the cell index of every pixel from leader where it can instead of computing it:
    // leader has the same quantisation, image and size, computes its own cells, scores each
    // row just before this scorer does and outlives it. Returns whether it shares.
    bool shareCells(const InstanceRowScorer& leader);

private:
    void loadRow(long sy);
    double* ringRow(long sy) { return ringBase_ + ((sy - img_.y0) % n_) * rowLen_; }
    int32_t* ringCounts(long sy) {
        return nzBefore_.data() + ((sy - img_.y0) % n_) * (chunks_ + 1);
    }

    kvPlanesView img_;
    CellLookup cells_;
    double normFactor_;
    int32_t n_;
    bool even_;
    long h_, dLo_, dHi_;
    std::vector<Term> terms_;
    std::vector<std::size_t> rowStart_;  // terms of offset dy: [rowStart_[dy - dLo_], next)
    long pad_, rowLen_, chunks_, nextLoad_;
    std::vector<double> ring_;                         // the last N cell-weight rows, zero-padded
    double* ringBase_ = nullptr;                       // ring_'s first cache-line boundary
    std::vector<int32_t> nzBefore_;                    // their non-zero chunk counts
    std::vector<int32_t> cellIndex_;                   // the cells of image row cellRow_
    long cellRow_ = std::numeric_limits<long>::min();  // no row yet
    const InstanceRowScorer* cellSource_ = nullptr;
    std::vector<SourceRow> rows_;
};

}  // namespace clsgint
