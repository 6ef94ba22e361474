// Regions of a label image: runs along each row, joined to the runs above
// them with union-find, band by band, and bands joined at their seams.
#include "clsg/regions/regions.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <thread>
#include <utility>

#include "clsg/colorseg/errors.h"
#include "clsg/platform/attention.h"
#include "clsg/regions/region_internal.h"

namespace clsg {

using regions_detail::Band;
using regions_detail::BandInput;
using regions_detail::kNone;
using regions_detail::Record;
using regions_detail::RecordSets;
using regions_detail::Run;

bool Region::operator==(const Region& o) const {
    const bool sameConfidence = meanConfidence == o.meanConfidence ||
                                (std::isnan(meanConfidence) && std::isnan(o.meanConfidence));
    return label == o.label && id == o.id && area == o.area && left == o.left && top == o.top &&
           width == o.width && height == o.height && centroidX == o.centroidX &&
           centroidY == o.centroidY && sameConfidence && touchesBorder == o.touchesBorder;
}

std::vector<uint64_t> regionCounts(const std::vector<Region>& table, std::size_t labels) {
    std::vector<uint64_t> counts(labels, 0);
    for (const Region& r : table)
        if (r.label < labels) ++counts[r.label];
    return counts;
}

namespace regions_detail {

Band labelBand(const BandInput& in) {
    Band band;
    band.y0 = in.y0;
    band.rows = in.rows;
    RecordSets sets;
    std::vector<Run> prev, cur;
    const int32_t reach = in.connectivity == 8 ? 1 : 0;
    const long width = in.width;
    for (long r = 0; r < in.rows; ++r) {
        const unsigned char* row = in.labels + r * in.labelStride;
        const unsigned char* conf =
            in.confidence ? in.confidence + r * in.confidenceStride : nullptr;
        uint32_t* numbers = in.numbers ? in.numbers + r * in.numberStride : nullptr;
        const long y = in.y0 + r;
        cur.clear();
        std::size_t j = 0;
        for (long x = 0; x < width;) {
            const unsigned char v = row[x];
            const long e = runEnd(row, x + 1, width, v);
            if (v == 255) {
                if (numbers) std::fill(numbers + x, numbers + e, kNone);
                x = e;
                continue;
            }
            // The runs above that touch this one: prev is sorted by x and the
            // runs of this row come in order, so j only moves forward.
            uint32_t id = kNone;
            while (j < prev.size() && int64_t{prev[j].x1} + reach <= x) ++j;
            for (std::size_t k = j; k < prev.size() && prev[k].x0 < e + reach; ++k)
                if (prev[k].label == v)
                    id = id == kNone ? sets.find(prev[k].id) : sets.unite(id, prev[k].id);
            if (id == kNone) {
                Record start;
                start.first = static_cast<uint64_t>(y) * static_cast<uint64_t>(width) +
                              static_cast<uint64_t>(x);
                start.minX = static_cast<int32_t>(x);
                start.maxX = static_cast<int32_t>(e - 1);
                start.minY = static_cast<int32_t>(y);
                start.label = v;
                id = sets.add(start);
            }
            Record& rec = sets.records[id];
            const auto len = static_cast<uint64_t>(e - x);
            rec.area += len;
            // x + (x + 1) + ... + (e - 1); the product is always even.
            rec.sumX += static_cast<uint64_t>(x + e - 1) * len / 2;
            rec.sumY += static_cast<uint64_t>(y) * len;
            rec.minX = std::min(rec.minX, static_cast<int32_t>(x));
            rec.maxX = std::max(rec.maxX, static_cast<int32_t>(e - 1));
            rec.maxY = static_cast<int32_t>(y);
            if (conf) {
                uint64_t sum = 0;
                for (long i = x; i < e; ++i) sum += conf[i];
                rec.sumConfidence += sum;
            }
            if (numbers) std::fill(numbers + x, numbers + e, id);
            cur.push_back({static_cast<int32_t>(x), static_cast<int32_t>(e), id, v});
            x = e;
        }
        if (r == 0) band.firstRow = cur;
        std::swap(prev, cur);
    }
    band.lastRow = std::move(prev);

    // One record per region of the band, in order of first appearance.
    std::vector<uint32_t> compact(sets.records.size(), kNone);
    for (uint32_t i = 0; i < sets.records.size(); ++i)
        if (sets.parent[i] == i) {
            compact[i] = static_cast<uint32_t>(band.records.size());
            band.records.push_back(sets.records[i]);
        }
    for (auto* runs : {&band.firstRow, &band.lastRow})
        for (Run& run : *runs) run.id = compact[sets.find(run.id)];
    if (in.numbers) {
        band.recordOfNumber.resize(sets.records.size());
        for (uint32_t i = 0; i < sets.records.size(); ++i)
            band.recordOfNumber[i] = compact[sets.find(i)];
    }
    return band;
}

void BandJoiner::join(Band&& band, bool keepNumbers) {
    const auto base = static_cast<uint32_t>(sets_.records.size());
    for (const Record& r : band.records) sets_.add(r);
    const int32_t reach = connectivity_ == 8 ? 1 : 0;
    forTouchingRuns(lastRow_, band.firstRow, reach, [&](const Run& above, const Run& below) {
        if (above.label == below.label) sets_.unite(above.id, base + below.id);
    });

    // Records that joined a region of earlier bands are folded into it and
    // let go, so that memory grows with regions, not with bands. Two records
    // of the band only ever join through an earlier band's, so a record of
    // the band is either its own root or below one of earlier bands.
    const auto added = static_cast<uint32_t>(band.records.size());
    std::vector<uint32_t> slot(added);
    uint32_t kept = base;
    for (uint32_t i = 0; i < added; ++i) {
        const uint32_t root = sets_.find(base + i);
        if (root < base) {
            slot[i] = root;
        } else {
            slot[i] = kept;
            sets_.records[kept] = sets_.records[base + i];
            sets_.parent[kept] = kept;
            ++kept;
        }
    }
    sets_.records.resize(kept);
    sets_.parent.resize(kept);

    lastRow_ = std::move(band.lastRow);
    for (Run& run : lastRow_) run.id = slot[run.id];
    if (keepNumbers) {
        std::vector<uint32_t> owners(band.recordOfNumber.size());
        for (std::size_t n = 0; n < owners.size(); ++n) owners[n] = slot[band.recordOfNumber[n]];
        owners_.push_back(std::move(owners));
    }
}

std::vector<Record> BandJoiner::regions() {
    std::vector<uint32_t> index(sets_.records.size(), kNone);
    std::vector<Record> out;
    for (uint32_t i = 0; i < sets_.records.size(); ++i)
        if (sets_.parent[i] == i) {
            index[i] = static_cast<uint32_t>(out.size());
            out.push_back(sets_.records[i]);
        }
    for (auto& owners : owners_)
        for (uint32_t& o : owners) o = index[sets_.find(o)];
    return out;
}

std::vector<Region> makeTable(const std::vector<Record>& records, const kvPelRect& window,
                              bool withConfidence, uint64_t minArea,
                              std::vector<uint32_t>* rowOfRecord) {
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < records.size(); ++i)
        if (records[i].area >= minArea) order.push_back(i);
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        const Record& p = records[a];
        const Record& q = records[b];
        if (p.label != q.label) return p.label < q.label;
        if (p.minY != q.minY) return p.minY < q.minY;
        if (p.minX != q.minX) return p.minX < q.minX;
        return p.first < q.first;
    });
    if (rowOfRecord) rowOfRecord->assign(records.size(), kNone);
    std::vector<Region> table;
    table.reserve(order.size());
    uint32_t id = 0;
    for (uint32_t i : order) {
        const Record& r = records[i];
        if (rowOfRecord) (*rowOfRecord)[i] = static_cast<uint32_t>(table.size());
        id = !table.empty() && table.back().label == r.label ? id + 1 : 1;
        Region g;
        g.label = r.label;
        g.id = id;
        g.area = r.area;
        g.left = window.left() + r.minX;
        g.top = window.top() + r.minY;
        g.width = static_cast<long>(r.maxX) - r.minX + 1;
        g.height = static_cast<long>(r.maxY) - r.minY + 1;
        // The sums of absolute coordinates, exact in 64 bits, then one division.
        const auto area = static_cast<double>(r.area);
        const auto sumX =
            static_cast<int64_t>(r.sumX + static_cast<uint64_t>(window.left()) * r.area);
        const auto sumY =
            static_cast<int64_t>(r.sumY + static_cast<uint64_t>(window.top()) * r.area);
        g.centroidX = static_cast<double>(sumX) / area;
        g.centroidY = static_cast<double>(sumY) / area;
        g.meanConfidence = withConfidence ? static_cast<double>(r.sumConfidence) / area
                                          : std::numeric_limits<double>::quiet_NaN();
        g.touchesBorder = r.minX == 0 || r.minY == 0 || r.maxX == window.width() - 1 ||
                          r.maxY == window.height() - 1;
        table.push_back(g);
    }
    return table;
}

void checkImages(const kvPelBuffer_const<unsigned char>& labels,
                 const kvPelBuffer_const<unsigned char>& confidence) {
    using Defs = kvCompositeColorSegmenterDefs;
    if (!labels.isBound() || labels.window().isEmpty())
        throw Defs::BadImage("the label image is unbound or empty");
    if (confidence.isBound() && confidence.window() != labels.window())
        throw Defs::BadImage("the confidence image's window differs from the label image's");
    checkSize(labels.window());
}

void checkSize(const kvPelRect& window) {
    // Record numbers and coordinates are 32-bit.
    if (window.width() > INT32_MAX || window.height() > INT32_MAX ||
        static_cast<uint64_t>(window.width()) * static_cast<uint64_t>(window.height()) >
            uint64_t{UINT32_MAX} - 1)
        throw kvCompositeColorSegmenterDefs::BadImage("image too large for regions");
    // As every image buffer's (a builder's window is given bare).
    if (window.left() < -INT32_MAX || window.top() < -INT32_MAX ||
        window.left() > INT32_MAX - window.width() || window.top() > INT32_MAX - window.height())
        throw kvCompositeColorSegmenterDefs::BadImage(
            "image window outside the 32-bit coordinate range");
}

void checkOptions(const RegionOptions& options) {
    using Defs = kvCompositeColorSegmenterDefs;
    if (options.connectivity != 4 && options.connectivity != 8)
        throw Defs::BadParams("connectivity must be 4 or 8");
    if (options.bandRows < 0) throw Defs::BadParams("bandRows < 0");
}

Labelled labelImage(const kvPelBuffer_const<unsigned char>& labels,
                    const kvPelBuffer_const<unsigned char>& confidence,
                    const RegionOptions& options, const kvPelBuffer<uint32_t>* numbers) {
    const kvPelRect& window = labels.window();
    const long height = window.height();
    unsigned threads = options.threads ? options.threads : std::thread::hardware_concurrency();
    threads = std::max(1u, threads);
    long bandRows = options.bandRows;
    if (bandRows == 0) bandRows = std::max(1L, (1L << 18) / window.width());
    bandRows = std::min(bandRows, std::max(1L, height));  // one band at most: no overflow below
    const long bands = (height + bandRows - 1) / bandRows;
    threads = static_cast<unsigned>(std::min<long>(threads, bands));

    auto input = [&](long b) {
        const long y0 = b * bandRows;
        const long top = window.top() + y0;
        BandInput in{};
        in.labels = labels.pointToRow(top);
        in.labelStride = labels.rowStride();
        in.confidence = confidence.isBound() ? confidence.pointToRow(top) : nullptr;
        in.confidenceStride = confidence.isBound() ? confidence.rowStride() : 0;
        in.y0 = y0;
        in.rows = std::min(bandRows, height - y0);
        in.width = static_cast<int32_t>(window.width());
        in.connectivity = options.connectivity;
        in.numbers = numbers ? numbers->pointToRow(top) : nullptr;
        in.numberStride =
            numbers ? numbers->rowStride() / static_cast<std::ptrdiff_t>(sizeof(uint32_t)) : 0;
        return in;
    };

    BandJoiner joiner(static_cast<int32_t>(window.width()), options.connectivity);
    // Waves of one band per thread: label them at once, join them in order.
    std::vector<Band> wave(threads);
    std::vector<std::exception_ptr> errors(threads);
    for (long b0 = 0; b0 < bands; b0 += threads) {
        kfThrowExceptionOnFailure(ksys_attention_check());  // an abort, between waves
        const long count = std::min<long>(threads, bands - b0);
        auto work = [&](long t) {
            try {
                wave[t] = labelBand(input(b0 + t));
            } catch (...) {
                errors[t] = std::current_exception();
            }
        };
        std::vector<std::thread> workers;
        long started = 1;
        try {
            for (; started < count; ++started) workers.emplace_back(work, started);
        } catch (...) {  // no more threads to be had: the caller's does the rest
        }
        work(0);
        for (long t = started; t < count; ++t) work(t);
        for (std::thread& w : workers) w.join();
        for (long t = 0; t < count; ++t)
            if (errors[t]) std::rethrow_exception(errors[t]);
        for (long t = 0; t < count; ++t) joiner.join(std::move(wave[t]), numbers != nullptr);
    }

    Labelled out;
    out.records = joiner.regions();
    if (numbers) {
        // Region numbers of the bands become indices into out.records.
        for (long b = 0; b < bands; ++b) {
            const BandInput in = input(b);
            const std::vector<uint32_t>& owners = joiner.numberOwners()[b];
            for (long r = 0; r < in.rows; ++r) {
                uint32_t* row = in.numbers + r * in.numberStride;
                for (long x = 0; x < in.width; ++x)
                    if (row[x] != kNone) row[x] = owners[row[x]];
            }
        }
    }
    return out;
}

}  // namespace regions_detail

std::vector<Region> findRegions(const kvPelBuffer_const<unsigned char>& labels,
                                const kvPelBuffer_const<unsigned char>& confidence,
                                const RegionOptions& options) {
    regions_detail::checkOptions(options);
    if (options.fillHoles != 0)
        throw kvCompositeColorSegmenterDefs::BadParams("filling holes needs cleanRegions");
    regions_detail::checkImages(labels, confidence);
    const auto labelled = regions_detail::labelImage(labels, confidence, options, nullptr);
    return regions_detail::makeTable(labelled.records, labels.window(), confidence.isBound(),
                                     options.minArea, nullptr);
}

struct RegionBuilder::State {
    kvPelRect window;
    bool withConfidence;
    RegionOptions options;
    long rowsDone = 0;
    bool finished = false;
    regions_detail::BandJoiner joiner;
};

RegionBuilder::RegionBuilder(const kvPelRect& window, bool withConfidence,
                             const RegionOptions& options) {
    regions_detail::checkOptions(options);
    if (options.fillHoles != 0)
        throw kvCompositeColorSegmenterDefs::BadParams("filling holes needs cleanRegions");
    if (window.isEmpty()) throw kvCompositeColorSegmenterDefs::BadImage("empty image window");
    regions_detail::checkSize(window);
    state_.reset(new State{
        window, withConfidence, options, 0, false,
        regions_detail::BandJoiner(static_cast<int32_t>(window.width()), options.connectivity)});
}

RegionBuilder::~RegionBuilder() = default;
RegionBuilder::RegionBuilder(RegionBuilder&&) noexcept = default;
RegionBuilder& RegionBuilder::operator=(RegionBuilder&&) noexcept = default;

RegionBuilder::State& RegionBuilder::state() const {
    if (!state_) throw kvCompositeColorSegmenterDefs::BadParams("the builder was moved from");
    return *state_;
}

long RegionBuilder::rowsDone() const { return state().rowsDone; }

void RegionBuilder::addBand(const kvPelBuffer_const<unsigned char>& labels,
                            const kvPelBuffer_const<unsigned char>& confidence) {
    using Defs = kvCompositeColorSegmenterDefs;
    const State& s = state();
    if (s.finished) throw Defs::BadParams("the builder has finished");
    if (!labels.isBound() || labels.window().isEmpty())
        throw Defs::BadImage("the label band is unbound or empty");
    if (labels.window().left() != s.window.left() || labels.window().width() != s.window.width() ||
        labels.window().top() != s.window.top() + s.rowsDone)
        throw Defs::BadParams("the band does not continue the image where the last one ended");
    if (s.withConfidence != confidence.isBound() ||
        (confidence.isBound() && confidence.window() != labels.window()))
        throw Defs::BadImage("the confidence band does not match the label band");
    addRows(labels.pointToRow(labels.window().top()), labels.rowStride(),
            confidence.isBound() ? confidence.pointToRow(labels.window().top()) : nullptr,
            confidence.rowStride(), labels.height());
}

void RegionBuilder::addRows(const unsigned char* labels, std::ptrdiff_t labelStride,
                            const unsigned char* confidence, std::ptrdiff_t confidenceStride,
                            long rows) {
    using Defs = kvCompositeColorSegmenterDefs;
    State& s = state();
    if (s.finished) throw Defs::BadParams("the builder has finished");
    if (rows <= 0 || rows > s.window.height() - s.rowsDone)
        throw Defs::BadParams("the band's rows do not fit in the image");
    if (!labels || s.withConfidence != (confidence != nullptr))
        throw Defs::BadParams("the band's rows are missing");
    BandInput in{};
    in.labels = labels;
    in.labelStride = labelStride;
    in.confidence = confidence;
    in.confidenceStride = confidenceStride;
    in.y0 = s.rowsDone;
    in.rows = rows;
    in.width = static_cast<int32_t>(s.window.width());
    in.connectivity = s.options.connectivity;
    s.joiner.join(regions_detail::labelBand(in), false);
    s.rowsDone += rows;
}

std::vector<Region> RegionBuilder::finish() {
    State& s = state();
    if (s.finished) throw kvCompositeColorSegmenterDefs::BadParams("the builder has finished");
    if (s.rowsDone != s.window.height())
        throw kvCompositeColorSegmenterDefs::BadParams("the image is not complete");
    s.finished = true;
    return regions_detail::makeTable(s.joiner.regions(), s.window, s.withConfidence,
                                     s.options.minArea, nullptr);
}

}  // namespace clsg
