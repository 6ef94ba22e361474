// Cleaning a label image before counting: small regions become 255, small
// holes take the label of the region around them.
#include <algorithm>
#include <cstring>

#include "clsg/platform/attention.h"
#include "clsg/regions/region_internal.h"
#include "clsg/regions/regions.h"

namespace clsg {

using regions_detail::kNone;

namespace {

// A stretch of a row that holds the label being filled or not, with its
// node in the union-find over runs.
struct HoleRun {
    int32_t x0, x1;
    uint32_t node;
    bool isLabel;
};

// Per node: the pixels of its set (once the sets are known, of the set and
// all it encloses), the node of the run above its first pixel (kNone on the
// first row), whether it reaches the image border and whether it holds the
// label.
struct Part {
    uint64_t area;
    uint32_t above;
    bool touchesBorder, isLabel;
};

// Finds, one label at a time, the holes of that label's regions and fills
// the small ones. One pass joins the runs into the label's regions and the
// parts between them (connected the other way). A set's first run in the
// pass is its topmost; the pixel above it belongs to the set around it, so
// these links make a tree of sets, each enclosing its children: the hole of
// a region is a child part with everything below it in the tree.
class HoleFinder {
public:
    HoleFinder(kvPelBuffer<unsigned char>& image, int connectivity)
        : image_(image),
          width_(image.width()),
          height_(image.height()),
          labelReach_(connectivity == 8 ? 1 : 0),
          holeReach_(connectivity == 8 ? 0 : 1) {}

    // Fills the holes of label's regions of at most maxArea pixels; returns
    // whether any was filled.
    bool fill(unsigned char label, uint64_t maxArea) {
        parts_.clear();
        parent_.clear();
        std::vector<HoleRun> prev, cur;
        for (long y = 0; y < height_; ++y) {
            if (y % 64 == 0) kfThrowExceptionOnFailure(ksys_attention_check());
            scanRow(y, label, prev, cur, true);
            regions_detail::forTouchingRuns(prev, cur, 1, [&](const HoleRun& a, const HoleRun& b) {
                const bool edge = a.x0 < b.x1 && b.x0 < a.x1;  // not just a corner
                if (a.isLabel == b.isLabel && (edge || (a.isLabel ? labelReach_ : holeReach_)))
                    unite(a.node, b.node);
            });
            std::swap(prev, cur);
        }
        const std::vector<char> filled = holesToFill(maxArea);
        if (std::find(filled.begin(), filled.end(), 1) == filled.end()) return false;
        // The same runs again, in the same order, so that the nodes match.
        uint32_t next = 0;
        prev.clear();
        for (long y = 0; y < height_; ++y) {
            scanRow(y, label, prev, cur, false);
            unsigned char* row = image_.pointToRow(image_.window().top() + y);
            for (const HoleRun& run : cur) {
                if (!run.isLabel && filled[find(next)])
                    std::memset(row + run.x0, label, static_cast<std::size_t>(run.x1 - run.x0));
                ++next;
            }
        }
        return true;
    }

private:
    // Per set (at its root): whether it is a hole to fill. A set's parent
    // comes before it in the pass, so areas add up from the last set to the
    // first. The parts inside a hole to fill are holes no larger, filled too.
    std::vector<char> holesToFill(uint64_t maxArea) {
        const auto n = static_cast<uint32_t>(parts_.size());
        for (uint32_t i = n; i-- > 0;)
            if (parent_[i] == i && parts_[i].above != kNone)
                parts_[find(parts_[i].above)].area += parts_[i].area;
        std::vector<char> filled(n, 0);
        for (uint32_t i = 0; i < n; ++i) {
            const Part& h = parts_[i];
            filled[i] = parent_[i] == i && !h.isLabel && !h.touchesBorder && h.area <= maxArea;
        }
        return filled;
    }

    // The row's runs into cur; with record, a node per run, which notes the
    // run of prev above its first pixel.
    void scanRow(long y, unsigned char label, const std::vector<HoleRun>& prev,
                 std::vector<HoleRun>& cur, bool record) {
        const unsigned char* row = image_.pointToRow(image_.window().top() + y);
        cur.clear();
        std::size_t up = 0;
        for (long x = 0; x < width_;) {
            const bool isLabel = row[x] == label;
            const long e = isLabel ? regions_detail::runEnd(row, x + 1, width_, label)
                                   : regions_detail::findByte(row, x + 1, width_, label);
            HoleRun run{static_cast<int32_t>(x), static_cast<int32_t>(e), kNone, isLabel};
            if (record) {
                while (up < prev.size() && prev[up].x1 <= x) ++up;
                run.node = static_cast<uint32_t>(parts_.size());
                parts_.push_back({static_cast<uint64_t>(e - x),
                                  up < prev.size() ? prev[up].node : kNone,
                                  y == 0 || y == height_ - 1 || x == 0 || e == width_, isLabel});
                parent_.push_back(run.node);
            }
            cur.push_back(run);
            x = e;
        }
    }

    uint32_t find(uint32_t i) {
        while (parent_[i] != i) {
            parent_[i] = parent_[parent_[i]];
            i = parent_[i];
        }
        return i;
    }
    // The lower node stays the root: a set's root is its first run.
    void unite(uint32_t a, uint32_t b) {
        a = find(a);
        b = find(b);
        if (a == b) return;
        if (b < a) std::swap(a, b);
        parent_[b] = a;
        parts_[a].area += parts_[b].area;
        parts_[a].touchesBorder = parts_[a].touchesBorder || parts_[b].touchesBorder;
    }

    kvPelBuffer<unsigned char>& image_;
    long width_, height_;
    int32_t labelReach_, holeReach_;
    std::vector<Part> parts_;
    std::vector<uint32_t> parent_;
};

}  // namespace

CleanedRegions cleanRegions(const kvPelBuffer_const<unsigned char>& labels,
                            const kvPelBuffer_const<unsigned char>& confidence,
                            const RegionOptions& options, bool wantRegionIndex) {
    regions_detail::checkOptions(options);
    regions_detail::checkImages(labels, confidence);
    const kvPelRect& window = labels.window();
    kvPelBuffer<uint32_t> regionOf(window);
    const regions_detail::Labelled found =
        regions_detail::labelImage(labels, confidence, options, &regionOf);

    // Small regions become 255.
    CleanedRegions out;
    out.labels = kvPelBuffer<unsigned char>(window);
    bool present[256] = {};
    for (const auto& r : found.records)
        if (r.area >= options.minArea) present[r.label] = true;
    for (long y = window.top(); y < window.bottom(); ++y) {
        unsigned char* row = out.labels.pointToRow(y);
        uint32_t* regions = regionOf.pointToRow(y);
        for (long x = 0; x < window.width(); ++x) {
            const uint32_t n = regions[x];
            if (n != kNone && found.records[n].area < options.minArea) regions[x] = kNone;
            row[x] = regions[x] == kNone ? 255 : found.records[n].label;
        }
    }

    // Holes inside holes are filled with the outer one. Regions of two
    // labels may cross where they touch at a corner, so that filling one
    // label's holes can change another's: the labels again until nothing is
    // filled (a second round, as a rule, that finds nothing).
    bool filled = false;
    if (options.fillHoles > 0) {
        HoleFinder holes(out.labels, options.connectivity);
        for (bool again = true; again;) {
            again = false;
            for (int label = 0; label < 255; ++label)
                if (present[label])
                    again =
                        holes.fill(static_cast<unsigned char>(label), options.fillHoles) || again;
            filled = filled || again;
        }
    }

    // Filling changes regions (holes join them, regions inside vanish): table
    // the cleaned image afresh.
    regions_detail::Labelled again;
    if (filled) again = regions_detail::labelImage(out.labels, confidence, options, &regionOf);
    const std::vector<regions_detail::Record>& records = filled ? again.records : found.records;
    std::vector<uint32_t> rowOf;
    out.regions =
        regions_detail::makeTable(records, window, confidence.isBound(), options.minArea, &rowOf);
    if (filled || wantRegionIndex) {
        // A region cut below the minimum by a hole of another label is
        // dropped as well.
        for (long y = window.top(); y < window.bottom(); ++y) {
            unsigned char* row = out.labels.pointToRow(y);
            uint32_t* regions = regionOf.pointToRow(y);
            for (long x = 0; x < window.width(); ++x) {
                const uint32_t n = regions[x];
                const uint32_t tableRow = n == kNone ? kNone : rowOf[n];
                if (tableRow == kNone) row[x] = 255;
                regions[x] = tableRow == kNone ? 0 : tableRow + 1;
            }
        }
    }
    if (wantRegionIndex) out.regionIndex = regionOf;
    return out;
}

}  // namespace clsg
