// Regions of a label image: the connected objects of every label, with their
// area, bounding box, centroid, mean confidence and whether they touch the
// image border, and the usual clean-up before counting them (dropping specks,
// filling holes).
//
// A region is a connected set of pixels holding the same label, 8-connected
// by default (diagonal neighbours join) or 4-connected. Every label is found
// in one pass over the 8-bit label image; 255 (no label) forms no region.
//
// Coordinates are those of the label image's window (absolute, as in
// kvPelBuffer). Statistics are exact integer sums, so a table is identical
// whatever the band heights and thread count it was computed with.
//
// Errors: kvCompositeColorSegmenterDefs::BadImage for an unbound or empty
// label image, a confidence image over another window, or an image of more
// than 4294967294 pixels, more than 2147483647 wide or high or reaching past
// the 32-bit coordinates (a RegionBuilder's window); BadParams for a connectivity other
// than 4 or 8, or bands out of order.
//
// Memory: labelling a band keeps two rows of runs (a run is a stretch of
// one label along a row) and a record of 64 bytes per region piece begun in
// the band; across bands, one record per region found so far. Cleaning
// (cleanRegions) also holds the cleaned image, a 4-byte region number per
// pixel and, while filling holes, 20 bytes per run of the image (runs of the
// label being filled and of everything else).
//
// Threads: findRegions and cleanRegions label bands on options.threads
// threads (the caller's among them); RegionBuilder works on the caller's.
// Another thread stops findRegions and cleanRegions with ksys_request_abort()
// (kvAbortRequested leaves the call).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "clsg/platform/pel_buffer.h"

namespace clsg {

struct Region {
    unsigned char label = 0;
    // 1, 2, ... within its label, in table order (see findRegions).
    uint32_t id = 0;
    uint64_t area = 0;  // pixels
    // Bounding box: left and top inclusive, width and height in pixels.
    long left = 0, top = 0, width = 0, height = 0;
    // Mean x and y of the region's pixels (pixel (x, y) counts as x, y).
    double centroidX = 0, centroidY = 0;
    // Mean of the confidence image over the region's pixels; NaN without a
    // confidence image.
    double meanConfidence = 0;
    // Whether a pixel lies on the first or last row or column of the image.
    bool touchesBorder = false;

    bool operator==(const Region& o) const;
    bool operator!=(const Region& o) const { return !(*this == o); }
};

struct RegionOptions {
    // 8: pixels touching at a corner join; 4: only across an edge.
    int connectivity = 8;
    // Regions of fewer pixels are left out of the table (and, when cleaning,
    // become 255).
    uint64_t minArea = 0;
    // When cleaning: holes of at most this many pixels take the label of the
    // region around them (0 fills none). A hole of a region is a connected
    // set of the pixels outside the region (connected the other way: 4 when
    // regions are 8-connected and the reverse) that does not touch the image
    // border, whatever its labels: specks of the region's own label inside
    // it are part of it, and a hole inside a hole goes with the outer one.
    // Holes are looked for after small regions are dropped, one label after
    // the other in increasing order, each on the image the previous labels
    // left, and again while a round fills any (regions of two labels can
    // cross at a corner, so that one's filling makes a hole of another's).
    // The time grows with the pixels, not with how deep holes nest. A table
    // or RegionBuilder without cleaning refuses it (BadParams).
    uint64_t fillHoles = 0;
    // Threads for findRegions and cleanRegions (0: one per core; 1 runs on
    // the caller's thread) and rows per band (0: about a quarter of a
    // megapixel). Neither changes any result.
    unsigned threads = 1;
    long bandRows = 0;
};

// Table order: by label, then top, then left, then by the first pixel in
// row order (which tells apart the rare regions sharing a top-left corner).
// The ids number each label's regions 1, 2, ... in that order.
std::vector<Region> findRegions(const kvPelBuffer_const<unsigned char>& labels,
                                const kvPelBuffer_const<unsigned char>& confidence = {},
                                const RegionOptions& options = {});

struct CleanedRegions {
    // The table of the cleaned image (what findRegions gives on it).
    std::vector<Region> regions;
    // The label image with small regions set to 255 and small holes filled,
    // over the input's window.
    kvPelBuffer<unsigned char> labels;
    // Per pixel the region's index in the table plus 1 (0: no region), when
    // asked for; unbound otherwise.
    kvPelBuffer<uint32_t> regionIndex;
};

// Drops regions smaller than options.minArea (they become 255), then fills
// holes of at most options.fillHoles pixels, then drops the regions filling
// cut below options.minArea, and tables the result. The
// table's statistics are those of the cleaned regions (a filled hole's
// pixels count with their confidence values).
CleanedRegions cleanRegions(const kvPelBuffer_const<unsigned char>& labels,
                            const kvPelBuffer_const<unsigned char>& confidence = {},
                            const RegionOptions& options = {}, bool wantRegionIndex = false);

// Regions per label: element k counts the table's regions of label k, for
// k < labels (larger labels are not counted).
std::vector<uint64_t> regionCounts(const std::vector<Region>& table, std::size_t labels);

// Regions of an image given band after band, top to bottom, each band
// holding whole rows of the image: memory stays bounded by a band plus a
// record per region. finish() gives the same table as findRegions on the
// whole image (hole filling needs the whole image: options.fillHoles must be
// 0). Not for use from several threads at once.
class RegionBuilder {
public:
    // window: the whole image's window; withConfidence: whether every band
    // comes with a confidence band.
    RegionBuilder(const kvPelRect& window, bool withConfidence, const RegionOptions& options = {});
    ~RegionBuilder();
    RegionBuilder(RegionBuilder&&) noexcept;
    RegionBuilder& operator=(RegionBuilder&&) noexcept;

    // The next rows: labels' window must span the image's width and begin
    // where the previous band ended (BadParams otherwise); confidence over
    // the same window when the builder was made withConfidence.
    void addBand(const kvPelBuffer_const<unsigned char>& labels,
                 const kvPelBuffer_const<unsigned char>& confidence = {});
    // The same from raw rows (stride in bytes; confidence null without).
    void addRows(const unsigned char* labels, std::ptrdiff_t labelStride,
                 const unsigned char* confidence, std::ptrdiff_t confidenceStride, long rows);

    long rowsDone() const;
    // The table, once every row was given (BadParams before). The builder
    // cannot take more rows afterwards.
    std::vector<Region> finish();
    // A builder moved from refuses every call (BadParams).

private:
    struct State;
    State& state() const;  // BadParams once moved from
    std::unique_ptr<State> state_;
};

}  // namespace clsg
