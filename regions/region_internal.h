// Internal to the regions layer: runs along a row, per-region records, the
// labelling of one band and the joining of bands.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "clsg/regions/regions.h"

namespace clsg {
namespace regions_detail {

constexpr uint32_t kNone = UINT32_MAX;

// The end of the run of value v that continues at x: the first index from x
// on (below end) whose byte differs from v, or end.
inline long runEnd(const unsigned char* row, long x, long end, unsigned char v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const uint64_t pattern = 0x0101010101010101ull * v;
    for (; x + 8 <= end; x += 8) {
        uint64_t word;
        std::memcpy(&word, row + x, 8);
        const uint64_t diff = word ^ pattern;
        // The lowest differing byte is the first differing pixel.
        if (diff != 0) return x + (__builtin_ctzll(diff) >> 3);
    }
#endif
    while (x < end && row[x] == v) ++x;
    return x;
}

// The first index from x on (below end) whose byte is v, or end.
inline long findByte(const unsigned char* row, long x, long end, unsigned char v) {
    if (x >= end) return end;
    const void* hit = std::memchr(row + x, v, static_cast<std::size_t>(end - x));
    return hit ? static_cast<const unsigned char*>(hit) - row : end;
}

// What is known of a region (or a part of one found so far). Coordinates
// are relative to the image's window.
struct Record {
    uint64_t area = 0, sumX = 0, sumY = 0, sumConfidence = 0;
    uint64_t first = 0;  // y * width + x of the first pixel in row order
    int32_t minX = 0, maxX = 0, minY = 0, maxY = 0;
    unsigned char label = 0;
};

inline void fold(Record& into, const Record& from) {
    into.area += from.area;
    into.sumX += from.sumX;
    into.sumY += from.sumY;
    into.sumConfidence += from.sumConfidence;
    into.first = std::min(into.first, from.first);
    into.minX = std::min(into.minX, from.minX);
    into.maxX = std::max(into.maxX, from.maxX);
    into.minY = std::min(into.minY, from.minY);
    into.maxY = std::max(into.maxY, from.maxY);
}

// Records with union-find over them: the root of a set holds the statistics
// of every record in it (they are folded in when two sets join), and the
// smaller index is the root.
struct RecordSets {
    std::vector<Record> records;
    std::vector<uint32_t> parent;

    uint32_t add(const Record& r) {
        const auto index = static_cast<uint32_t>(records.size());
        records.push_back(r);
        parent.push_back(index);
        return index;
    }
    uint32_t find(uint32_t i) {
        while (parent[i] != i) {
            parent[i] = parent[parent[i]];
            i = parent[i];
        }
        return i;
    }
    // Joins the sets of a and b; returns the root.
    uint32_t unite(uint32_t a, uint32_t b) {
        a = find(a);
        b = find(b);
        if (a == b) return a;
        if (b < a) std::swap(a, b);
        parent[b] = a;
        fold(records[a], records[b]);
        return a;
    }
};

// A run of one label along a row: [x0, x1), with the record it belongs to.
struct Run {
    int32_t x0, x1;
    uint32_t id;
    unsigned char label;
};

// Calls f(run above, run below) for every pair of runs of two neighbouring
// rows that touch (with reach 1 a shared corner is enough). Both rows are
// sorted by x.
template <class R, class F>
void forTouchingRuns(const std::vector<R>& above, const std::vector<R>& below, int32_t reach,
                     F&& f) {
    std::size_t j = 0;
    for (const R& c : below) {
        // In 64 bits: a run may end at x 2^31 - 1.
        while (j < above.size() && int64_t{above[j].x1} + reach <= c.x0) ++j;
        for (std::size_t k = j; k < above.size() && above[k].x0 < int64_t{c.x1} + reach; ++k)
            f(above[k], c);
    }
}

// One band labelled on its own: a record per region of the band, and the
// runs of its first and last rows pointing at them.
struct Band {
    long y0 = 0, rows = 0;
    std::vector<Record> records;
    std::vector<Run> firstRow, lastRow;
    // With a region-number image: the record of every number written into
    // the band's rows.
    std::vector<uint32_t> recordOfNumber;
};

struct BandInput {
    const unsigned char* labels;
    std::ptrdiff_t labelStride;
    const unsigned char* confidence;  // null without
    std::ptrdiff_t confidenceStride;
    long y0, rows;  // relative to the image window
    int32_t width;
    int connectivity;
    uint32_t* numbers;            // null, or the band's first row of region numbers
    std::ptrdiff_t numberStride;  // in elements
};

Band labelBand(const BandInput& in);

// Joins bands given top to bottom into one table's worth of records.
class BandJoiner {
public:
    BandJoiner(int32_t width, int connectivity) : width_(width), connectivity_(connectivity) {}
    // Adds the next band; with keepNumbers, remembers the band's record of
    // every region number for numberOwner().
    void join(Band&& band, bool keepNumbers);
    // The roots: one record per region.
    std::vector<Record> regions();
    // After regions(): per region number of band k, the index of its region
    // in regions()'s vector.
    const std::vector<std::vector<uint32_t>>& numberOwners() const { return owners_; }

private:
    int32_t width_;
    int connectivity_;
    RecordSets sets_;
    std::vector<Run> lastRow_;
    std::vector<std::vector<uint32_t>> owners_;  // per band, numbers -> set member
};

// Every region of an image, and with a region-number image, each pixel's
// region as an index into records (kNone for 255).
struct Labelled {
    std::vector<Record> records;
};
Labelled labelImage(const kvPelBuffer_const<unsigned char>& labels,
                    const kvPelBuffer_const<unsigned char>& confidence,
                    const RegionOptions& options, const kvPelBuffer<uint32_t>* numbers);

// The table of the records of at least minArea pixels, in table order; with
// rowOfRecord, each record's row in the table (kNone when left out).
std::vector<Region> makeTable(const std::vector<Record>& records, const kvPelRect& window,
                              bool withConfidence, uint64_t minArea,
                              std::vector<uint32_t>* rowOfRecord);

void checkImages(const kvPelBuffer_const<unsigned char>& labels,
                 const kvPelBuffer_const<unsigned char>& confidence);
void checkSize(const kvPelRect& window);
void checkOptions(const RegionOptions& options);

}  // namespace regions_detail
}  // namespace clsg
