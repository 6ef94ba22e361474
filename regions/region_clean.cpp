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

// Per node (of a run without the label): the size of its set, whether it
// reaches the image border, and a run of the label beside it (kNone: none
// met yet).
struct Hole {
    uint64_t area;
    uint32_t beside;
    bool touchesBorder;
};

// Finds, one label at a time, the holes of that label's regions in the
// image as it is and fills the small ones. The label's regions are found in
// the same pass (their runs joined as regions connect), the holes' runs are
// joined the other way, and every run of the label beside a hole must end up
// in one region.
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
        holes_.clear();
        parent_.clear();
        mustJoin_.clear();
        std::vector<HoleRun> prev, cur;
        for (long y = 0; y < height_; ++y) {
            if (y % 64 == 0) kfThrowExceptionOnFailure(ksys_attention_check());
            scanRow(y, label, cur, true);
            regions_detail::forTouchingRuns(prev, cur, 1, [&](const HoleRun& a, const HoleRun& b) {
                const bool edge = a.x0 < b.x1 && b.x0 < a.x1;  // not just a corner
                if (a.isLabel && b.isLabel) {
                    if (edge || labelReach_ == 1) unite(a.node, b.node);
                } else if (edge || holeReach_ == 1) {
                    if (!a.isLabel && !b.isLabel)
                        uniteHoles(a.node, b.node);
                    else
                        a.isLabel ? beside(b.node, a.node) : beside(a.node, b.node);
                }
            });
            std::swap(prev, cur);
        }
        // A hole whose neighbours lie in two regions is none.
        std::vector<char> ok(holes_.size(), 1);
        for (const auto& m : mustJoin_)
            if (find(m.a) != find(m.b)) ok[find(m.hole)] = 0;
        bool any = false;
        for (uint32_t i = 0; i < holes_.size(); ++i) {
            const Hole& h = holes_[i];
            ok[i] = ok[i] && parent_[i] == i && !h.touchesBorder && h.beside != kNone &&
                    h.area <= maxArea;
            any = any || ok[i];
        }
        if (!any) return false;
        // The same runs again, in the same order, so that the nodes match.
        uint32_t next = 0;
        for (long y = 0; y < height_; ++y) {
            scanRow(y, label, cur, false);
            unsigned char* row = image_.pointToRow(image_.window().top() + y);
            for (const HoleRun& run : cur) {
                if (!run.isLabel && ok[find(next)])
                    std::memset(row + run.x0, label, static_cast<std::size_t>(run.x1 - run.x0));
                ++next;
            }
        }
        return true;
    }

private:
    struct MustJoin {
        uint32_t hole, a, b;
    };

    // The row's runs into cur; with record, a node per run and the runs
    // beside each other along the row.
    void scanRow(long y, unsigned char label, std::vector<HoleRun>& cur, bool record) {
        const unsigned char* row = image_.pointToRow(image_.window().top() + y);
        cur.clear();
        for (long x = 0; x < width_;) {
            const bool isLabel = row[x] == label;
            const long e = isLabel ? regions_detail::runEnd(row, x + 1, width_, label)
                                   : regions_detail::findByte(row, x + 1, width_, label);
            HoleRun run{static_cast<int32_t>(x), static_cast<int32_t>(e), kNone, isLabel};
            if (record) {
                run.node = static_cast<uint32_t>(holes_.size());
                holes_.push_back({static_cast<uint64_t>(e - x), kNone,
                                  y == 0 || y == height_ - 1 || x == 0 || e == width_});
                parent_.push_back(run.node);
                if (!cur.empty()) {
                    const HoleRun& left = cur.back();
                    isLabel ? beside(left.node, run.node) : beside(run.node, left.node);
                }
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
    uint32_t unite(uint32_t a, uint32_t b) {
        a = find(a);
        b = find(b);
        if (b < a) std::swap(a, b);
        parent_[b] = a;
        return a;
    }
    void uniteHoles(uint32_t a, uint32_t b) {
        a = find(a);
        b = find(b);
        if (a == b) return;
        const Hole ha = holes_[a], hb = holes_[b];
        Hole& h = holes_[unite(a, b)];
        h.area = ha.area + hb.area;
        h.touchesBorder = ha.touchesBorder || hb.touchesBorder;
        h.beside = ha.beside != kNone ? ha.beside : hb.beside;
        if (ha.beside != kNone && hb.beside != kNone)
            mustJoin_.push_back({a, ha.beside, hb.beside});
    }
    // labelRun lies beside hole: they must share a region with the hole's
    // other neighbours.
    void beside(uint32_t hole, uint32_t labelRun) {
        Hole& h = holes_[find(hole)];
        if (h.beside == kNone)
            h.beside = labelRun;
        else if (find(h.beside) != find(labelRun))
            mustJoin_.push_back({hole, h.beside, labelRun});
    }

    kvPelBuffer<unsigned char>& image_;
    long width_, height_;
    int32_t labelReach_, holeReach_;
    std::vector<Hole> holes_;
    std::vector<uint32_t> parent_;
    std::vector<MustJoin> mustJoin_;
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

    // A filled hole may leave another (a ring's inside, once an island in
    // it took the ring's label): the labels again until nothing is filled.
    // Each fill joins pixels to the region around them, so this ends.
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
