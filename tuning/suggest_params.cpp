#include "clsg/tuning/suggest_params.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <tuple>

#include "clsg/colorseg/segmenter_result.h"
#include "clsg/colorseg/segmenter_tool.h"
#include "clsg/platform/attention.h"
#include "clsg/platform/pel_ops.h"
#include "clsg/tuning/spatial_folds.h"

namespace clsg {

namespace {

const double kCoarseFractions[] = {0.02, 0.04, 0.08, 0.15, 0.3, 0.5};
const int32_t kNeighborhoods[] = {1, 3, 5, 7, 9};
// Tried at the choice's tolerance only (see the "wide" stage).
const int32_t kWideNeighborhoods[] = {13, 17, 21};
const uint32_t kDefaultMin = 2;
const uint32_t kFloors[] = {1, 6, 15, 40};
static_assert(std::size(kCoarseFractions) + std::size(kFloors) + 1 + 1 + 1 == kSuggestTolerances);
constexpr double kTie = 1e-12;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr const char* kWide = "wide";
// The picture samples: kSampleGrid x kSampleGrid tiles of kSampleSide.
constexpr long kSampleGrid = 4, kSampleSide = 16;
// Floors above this many times the fraction are not tried.
constexpr double kFloorGrey = 128;

// Rounds to two significant digits.
double twoDigits(double v) {
    const double scale = std::pow(10.0, 1.0 - std::floor(std::log10(v)));
    return std::round(v * scale) / scale;
}

uint64_t mix(uint64_t v) {  // splitmix64's finaliser
    v += 0x9e3779b97f4a7c15ull;
    v = (v ^ (v >> 30)) * 0xbf58476d1ce4e5b9ull;
    v = (v ^ (v >> 27)) * 0x94d049bb133111ebull;
    return v ^ (v >> 31);
}

// The picture samples as one tool labels them: pixels left unlabelled, all,
// and the summed confidence (an unlabelled pixel counting 0).
struct SampleTally {
    uint64_t none = 0, total = 0, sure = 0;
};

// Runs tools on the held-out tiles of their folds.
class HeldOutRunner {
public:
    // With perLabel 0 every held-out tile of a fold is scored. Otherwise the
    // tiles are taken in a fixed pseudo-random order, each only while some
    // label it holds has fewer than perLabel pixels taken in the fold.
    HeldOutRunner(const SpatialFolds& folds, uint64_t perLabel, bool pack = true) : pack_(pack) {
        // Writable copies of the pictures, so that tiles can be cut from them as windows.
        for (const kv3PlanePelBuffer_const& image : folds.images())
            pictures_.push_back(kfPelCopy(image));
        for (uint32_t f = 0; f < folds.folds(); ++f) {
            const std::vector<HeldOutPiece>& pieces = folds.heldOut(f);
            std::vector<std::pair<uint64_t, std::size_t>> order;  // key, piece
            for (std::size_t i = 0; i < pieces.size(); ++i) {
                const kvPelRect& r = pieces[i].rect;
                const uint64_t at = static_cast<uint64_t>(static_cast<uint32_t>(r.top())) << 32 |
                                    static_cast<uint32_t>(r.left());
                order.push_back({perLabel == 0 ? i : mix(mix(pieces[i].image) ^ at), i});
            }
            std::sort(order.begin(), order.end());
            std::vector<uint64_t> taken(folds.labels(), 0);
            std::vector<const HeldOutPiece*> chosen;
            for (const auto& [key, i] : order) {
                bool wanted = perLabel == 0;
                for (const HeldOutPixel& px : pieces[i].pixels)
                    wanted = wanted || taken[px.label] < perLabel;
                if (!wanted) continue;
                for (const HeldOutPixel& px : pieces[i].pixels) ++taken[px.label];
                chosen.push_back(&pieces[i]);
            }
            scored_.push_back(std::move(chosen));
        }
        // Sample tiles spread evenly over every picture.
        for (std::size_t d = 0; d < pictures_.size(); ++d) {
            const kvPelRect w = pictures_[d].window();
            const long side = std::min<long>(kSampleSide, std::min(w.width(), w.height()));
            for (long i = 0; i < kSampleGrid; ++i)
                for (long j = 0; j < kSampleGrid; ++j) {
                    const long x = w.left() + (w.width() - side) * (2 * j + 1) / (2 * kSampleGrid);
                    const long y = w.top() + (w.height() - side) * (2 * i + 1) / (2 * kSampleGrid);
                    samples_.push_back({d, kvPelRect(x, y, side, side)});
                }
        }
    }

    // The held-out tiles of fold f that are scored.
    const std::vector<const HeldOutPiece*>& scored(uint32_t f) const { return scored_[f]; }

    // Runs tool on the held-out tiles of fold f (unless heldOut is false),
    // and on the picture samples when samples is given. Adds the held-out
    // pixels, labelled by tool, to confusion, and to (*confidence)[label] the
    // confidence of each that got its label; adds the samples to *samples
    // (their confidence only when confidence is given). Every tile is run
    // grown by half the neighbourhood, which gives there the labels of a run
    // over the whole picture; the tiles whose grown rectangle lies inside
    // their picture are run together, side by side in one picture (see
    // Mosaic), the others one by one.
    void score(uint32_t f, const kvCompositeColorSegmenterTool& tool,
               const kvCompositeColorSegmenterRunParams& params, LabelConfusion& confusion,
               uint64_t* runPixels, std::vector<uint64_t>* confidence = nullptr,
               SampleTally* samples = nullptr, bool heldOut = true) const {
        const long margin = params.neighborhoodSize() / 2;
        const Mosaic& mosaic = mosaicOf(f, margin, heldOut, samples != nullptr);
        kvCompositeColorSegmenterResult packed;
        kvPelBuffer_const<unsigned char> packedLabels, packedSure;
        if (mosaic.image.window().width() > 0) {
            tool.run(mosaic.image, params, packed);
            if (runPixels)
                *runPixels += static_cast<uint64_t>(mosaic.image.width() * mosaic.image.height());
            packedLabels = packed.labelImage();
            if (confidence) packedSure = packed.confidenceImage();
        }
        const auto place = [&](std::size_t item, std::size_t picture, const kvPelRect& rect,
                               kvCompositeColorSegmenterResult& alone, long& dx, long& dy) {
            const Offset& at = mosaic.at[item];
            if (at.packed) {
                dx = at.dx, dy = at.dy;
                return std::pair{packedLabels, packedSure};
            }
            dx = dy = 0;
            const kvPelBuffer_const<unsigned char> labels =
                runGrown(picture, rect, tool, params, runPixels, &alone);
            return std::pair{
                labels, confidence ? alone.confidenceImage() : kvPelBuffer_const<unsigned char>()};
        };
        std::size_t item = 0;
        for (const HeldOutPiece* piece : heldOut ? scored_[f] : kNoPieces) {
            kvCompositeColorSegmenterResult alone;
            long dx, dy;
            const auto [labels, sure] = place(item++, piece->image, piece->rect, alone, dx, dy);
            for (const HeldOutPixel& px : piece->pixels) {
                const unsigned got = *labels.pointToPel(px.x + dx, px.y + dy);
                confusion.add(px.label, got);
                if (confidence && got == px.label)
                    (*confidence)[px.label] += *sure.pointToPel(px.x + dx, px.y + dy);
            }
        }
        if (!samples) return;
        for (const auto& [picture, rect] : samples_) {
            kvCompositeColorSegmenterResult alone;
            long dx, dy;
            const auto [labels, sure] = place(item++, picture, rect, alone, dx, dy);
            for (long y = rect.top(); y < rect.bottom(); ++y)
                for (long x = rect.left(); x < rect.right(); ++x) {
                    const bool none = *labels.pointToPel(x + dx, y + dy) == 255;
                    samples->none += none;
                    // (an unlabelled pixel's confidence is 0)
                    if (confidence) samples->sure += *sure.pointToPel(x + dx, y + dy);
                }
            samples->total += static_cast<uint64_t>(rect.width() * rect.height());
        }
    }

private:
    // Runs tool on rect of picture grown by half the neighbourhood (which
    // gives in rect the labels of a run over the whole picture); returns the
    // label image, and the result in *out when given.
    kvPelBuffer_const<unsigned char> runGrown(
        std::size_t picture, const kvPelRect& rect, const kvCompositeColorSegmenterTool& tool,
        const kvCompositeColorSegmenterRunParams& params, uint64_t* runPixels,
        kvCompositeColorSegmenterResult* out = nullptr) const {
        const kv3PlanePelBuffer& image = pictures_[picture];
        const long margin = params.neighborhoodSize() / 2;
        const kvPelRect grown =
            kvRectangle<long>(rect +
                              kvRectangle<long>(-margin, -margin, 2 * margin + 1, 2 * margin + 1))
                .intersect(image.window(), false);
        kvPelBuffer<unsigned char> p0 = image.plane0(), p1 = image.plane1(), p2 = image.plane2();
        p0.window(grown, false);
        p1.window(grown, false);
        p2.window(grown, false);
        kvCompositeColorSegmenterResult local;
        kvCompositeColorSegmenterResult& result = out ? *out : local;
        tool.run(kv3PlanePelBuffer(p0, p1, p2), params, result);
        if (runPixels) *runPixels += static_cast<uint64_t>(grown.width() * grown.height());
        return result.labelImage();
    }

    // Where an item (a held-out tile of the fold, then a picture sample) is
    // in the mosaic: its pixel (x, y) is there at (x + dx, y + dy).
    struct Offset {
        bool packed = false;
        long dx = 0, dy = 0;
    };
    // The items of one fold, each grown by one margin, side by side in rows
    // (a row at most kMosaicWidth wide unless one item is wider), in their
    // order. An item whose grown rectangle reaches past its picture is left
    // out (a run there sees the picture's edge, which the mosaic does not
    // show). Within an item's rectangle, a run over the mosaic gives the
    // labels of a run over the whole picture; one run is much cheaper than
    // one per small tile.
    struct Mosaic {
        kv3PlanePelBuffer image;
        std::vector<Offset> at;  // per item
    };
    static constexpr long kMosaicWidth = 256;

    const Mosaic& mosaicOf(uint32_t f, long margin, bool withHeldOut, bool withSamples) const {
        const auto key = std::make_tuple(f, margin, withHeldOut, withSamples);
        const auto found = mosaics_.find(key);
        if (found != mosaics_.end()) return found->second;
        std::vector<std::pair<std::size_t, kvPelRect>> items;
        for (const HeldOutPiece* piece : withHeldOut ? scored_[f] : kNoPieces)
            items.push_back({piece->image, piece->rect});
        if (withSamples) items.insert(items.end(), samples_.begin(), samples_.end());
        Mosaic m;
        m.at.resize(items.size());
        std::vector<std::pair<std::size_t, kvPelRect>> grown(items.size());  // item, source
        long x = 0, y = 0, rowHeight = 0, width = 0;
        for (std::size_t i = 0; i < items.size() && pack_; ++i) {
            const kvPelRect& r = items[i].second;
            const kvPelRect g(r.left() - margin, r.top() - margin, r.width() + 2 * margin,
                              r.height() + 2 * margin);
            if (kvRectangle<long>(g).intersect(pictures_[items[i].first].window(), false) != g)
                continue;
            if (x > 0 && x + g.width() > kMosaicWidth) {
                x = 0;
                y += rowHeight;
                rowHeight = 0;
            }
            m.at[i] = {true, x - g.left(), y - g.top()};
            grown[i] = {items[i].first, g};
            x += g.width();
            width = std::max(width, x);
            rowHeight = std::max(rowHeight, g.height());
        }
        if (width > 0) {
            m.image = kv3PlanePelBuffer(kvPelRect(0, 0, width, y + rowHeight));
            kvPelBuffer<unsigned char> to[] = {m.image.plane0(), m.image.plane1(),
                                               m.image.plane2()};  // handles of its planes
            for (kvPelBuffer<unsigned char>& plane : to) kfPelSet(plane, 0);
            for (std::size_t i = 0; i < items.size(); ++i) {
                if (!m.at[i].packed) continue;
                const kv3PlanePelBuffer& from = pictures_[grown[i].first];
                const kvPelBuffer<unsigned char>* planes[] = {&from.plane0(), &from.plane1(),
                                                              &from.plane2()};
                const kvPelRect& g = grown[i].second;
                for (int p = 0; p < 3; ++p)
                    for (long row = g.top(); row < g.bottom(); ++row)
                        std::copy_n(planes[p]->pointToPel(g.left(), row), g.width(),
                                    to[p].pointToPel(g.left() + m.at[i].dx, row + m.at[i].dy));
            }
        }
        return mosaics_.emplace(key, std::move(m)).first->second;
    }

    bool pack_;
    std::vector<kv3PlanePelBuffer> pictures_;
    std::vector<std::vector<const HeldOutPiece*>> scored_;    // per fold
    std::vector<std::pair<std::size_t, kvPelRect>> samples_;  // picture, rect
    mutable std::map<std::tuple<uint32_t, long, bool, bool>, Mosaic> mosaics_;
    inline static const std::vector<const HeldOutPiece*> kNoPieces;
};

// Held-out pixels of one candidate: how they were labelled, and per label the
// summed confidence of those that got it.
struct HeldOutTally {
    LabelConfusion confusion;
    std::vector<uint64_t> confidence;

    SampleTally samples;

    explicit HeldOutTally(std::size_t labels) : confusion(labels), confidence(labels, 0) {}
    double unlabelled() const { return perSample(samples.none); }
    double pictureConfidence() const { return perSample(samples.sure); }
    double perSample(uint64_t sum) const {
        return samples.total ? static_cast<double>(sum) / static_cast<double>(samples.total) : 0.0;
    }
    void add(const HeldOutTally& other) {
        confusion.add(other.confusion);
        samples.none += other.samples.none;
        samples.total += other.samples.total;
        samples.sure += other.samples.sure;
        for (std::size_t l = 0; l < confidence.size(); ++l) confidence[l] += other.confidence[l];
    }
    // Mean over the labels with held-out pixels of their mean confidence, a
    // wrong label counting 0 (NaN without held-out pixels).
    double meanConfidence() const {
        double sum = 0;
        std::size_t labels = 0;
        for (std::size_t l = 0; l < confidence.size(); ++l)
            if (const uint64_t n = confusion.truthTotal(l)) {
                sum += static_cast<double>(confidence[l]) / static_cast<double>(n);
                ++labels;
            }
        return labels ? sum / static_cast<double>(labels) : kNaN;
    }
};

// One tolerance and the neighbourhoods it is scored with. Folds are scored in
// order; a size may stop before the last (see Search::scoreUpTo).
struct Tolerance {
    kvCompositeColorSegmenterTrainParams params;
    const char* stage;
    std::vector<int32_t> sizes;
    std::vector<HeldOutTally> screen;  // per size: fold 0 alone
    std::vector<HeldOutTally> all;     // per size: every fold scored
    std::vector<uint32_t> done;        // per size: folds scored (0 .. done - 1)
    uint32_t folds = 0;                // of the search

    bool complete(std::size_t i) const { return done[i] == folds; }
    SuggestCandidate candidate(std::size_t i) const {
        const HeldOutTally& c = all[i];
        return {params,
                kvCompositeColorSegmenterRunParams(sizes[i], false),
                stage,
                c.confusion.balancedAccuracy(),
                screen[i].confusion.balancedAccuracy(),
                c.meanConfidence(),
                done[i],
                c.unlabelled(),
                c.confusion.balancedAccuracy() * (1.0 - c.unlabelled()),
                c.pictureConfidence()};
    }
};

// True when a beats b: a higher score, or on a tie the smaller fraction, the
// larger minimum, then (sizes of one tolerance) the higher mean confidence
// and the smaller neighbourhood.
bool beats(const SuggestCandidate& a, const SuggestCandidate& b) {
    if (std::fabs(a.score - b.score) > kTie) return a.score > b.score;
    if (a.trainParams.colorToleranceFrac() != b.trainParams.colorToleranceFrac())
        return a.trainParams.colorToleranceFrac() < b.trainParams.colorToleranceFrac();
    if (a.trainParams.colorToleranceMin() != b.trainParams.colorToleranceMin())
        return a.trainParams.colorToleranceMin() > b.trainParams.colorToleranceMin();
    if (std::fabs(a.meanConfidence - b.meanConfidence) > kTie)
        return a.meanConfidence > b.meanConfidence;
    return a.runParams.neighborhoodSize() < b.runParams.neighborhoodSize();
}

// Index of the best size of t scored on every fold (t.sizes.size() when none is).
std::size_t bestSize(const Tolerance& t) {
    std::size_t best = t.sizes.size();
    for (std::size_t i = 0; i < t.sizes.size(); ++i)
        if (t.complete(i) && (best == t.sizes.size() || beats(t.candidate(i), t.candidate(best))))
            best = i;
    return best;
}

// The search's state: its tolerances and the trainings done.
class Search {
public:
    Search(const SpatialFolds& folds, uint32_t heldOutPerLabel, bool pack, bool exhaustive)
        : folds_(folds), runner_(folds, heldOutPerLabel, pack), exhaustive_(exhaustive) {
        for (uint32_t f = 0; f < folds.folds(); ++f) {
            std::vector<uint64_t> n(folds.labels(), 0);
            for (const HeldOutPiece* piece : runner_.scored(f))
                for (const HeldOutPixel& px : piece->pixels) ++n[px.label];
            heldOut_.push_back(std::move(n));
        }
    }

    // Scores a new tolerance on every fold (some sizes may stop early).
    Tolerance& add(double frac, uint32_t min, std::vector<int32_t> sizes, const char* stage) {
        Tolerance& t = push(frac, min, std::move(sizes), stage);
        scoreUpTo(t, exhaustive_);
        return t;
    }

    // Adds a tolerance scored on the first fold with held-out pixels alone;
    // finish scores it on the others.
    Tolerance& addOnFirstFold(double frac, uint32_t min, std::vector<int32_t> sizes,
                              const char* stage) {
        Tolerance& t = push(frac, min, std::move(sizes), stage);
        scoreUpTo(t, exhaustive_, firstFold() + 1);
        return t;
    }

    // Scores t on the folds after those addOnFirstFold scored (some sizes may stop
    // early).
    void finish(Tolerance& t) { scoreUpTo(t, exhaustive_); }

    // Adds a tolerance whose sizes are scored on the picture samples alone,
    // by the first fold's tool; scoreHeldOut scores one of them on the
    // held-out pixels afterwards.
    Tolerance& addBySamples(double frac, uint32_t min, std::vector<int32_t> sizes,
                            const char* stage) {
        Tolerance& t = push(frac, min, std::move(sizes), stage);
        const uint32_t f = firstFold();
        for (std::size_t i = 0; i < t.sizes.size(); ++i) {
            HeldOutTally s(folds_.labels());
            runner_.score(f, keptTool(t, f), kvCompositeColorSegmenterRunParams(t.sizes[i], false),
                          s.confusion, &runPixels_, &s.confidence, &s.samples, false);
            t.all[i].add(s);
            if (f == 0) t.screen[i].add(s);
        }
        return t;
    }

    // Scores size i of the last tolerance added by addBySamples on the
    // held-out pixels of every fold.
    void scoreHeldOut(Tolerance& t, std::size_t i) {
        for (uint32_t f = 0; f < t.folds; ++f) {
            if (folds_.heldOut(f).empty()) continue;
            HeldOutTally fold(folds_.labels());
            runner_.score(f, keptTool(t, f), kvCompositeColorSegmenterRunParams(t.sizes[i], false),
                          fold.confusion, &runPixels_, &fold.confidence);
            if (f == 0) t.screen[i].add(fold);
            t.all[i].add(fold);
        }
        t.done[i] = t.folds;
    }

    // Scores the sizes of t that stopped early on the folds they missed, when
    // one of them might beat t's best size scored on every fold.
    void complete(Tolerance& t) {
        const std::size_t best = bestSize(t);
        for (std::size_t i = 0; i < t.sizes.size(); ++i)
            if (!t.complete(i) && (best == t.sizes.size() ||
                                   bound(t, i, t.done[i]) >= t.candidate(best).score - 2 * kTie)) {
                scoreUpTo(t, true);
                return;
            }
    }

    // The highest score a size of t could reach: its score where scored on
    // every fold, else its bound.
    double reach(const Tolerance& t) const {
        double r = -1;
        for (std::size_t i = 0; i < t.sizes.size(); ++i)
            r = std::max(r, t.complete(i) ? t.candidate(i).score : bound(t, i, t.done[i]));
        return r;
    }

    std::vector<Tolerance>& tolerances() { return tolerances_; }
    uint32_t trainings() const { return trainings_; }
    uint64_t runPixels() const { return runPixels_; }

private:
    Tolerance& push(double frac, uint32_t min, std::vector<int32_t> sizes, const char* stage) {
        Tolerance t{kvCompositeColorSegmenterTrainParams(frac, min),
                    stage,
                    std::move(sizes),
                    {},
                    {},
                    {},
                    folds_.folds()};
        t.screen.assign(t.sizes.size(), HeldOutTally(folds_.labels()));
        t.all = t.screen;
        t.done.assign(t.sizes.size(), 0);
        tolerances_.push_back(std::move(t));
        return tolerances_.back();
    }

    // The tool of fold f for t's tolerance, kept until another is wanted:
    // one tool at a time, as a tool at a small fraction is large (about 12 MB
    // per example at 0.02).
    const kvCompositeColorSegmenterTool& keptTool(const Tolerance& t, uint32_t f) {
        if (!kept_ || keptFold_ != f || !(keptParams_ == t.params)) {
            kept_.reset();
            kvCompositeColorSegmenterTool tool;
            tool.train(folds_.trainingSets(f), t.params);
            kept_ = std::move(tool);
            keptFold_ = f;
            keptParams_ = t.params;
            ++trainings_;
        }
        return *kept_;
    }

    // Scores the sizes of t fold after fold. Once the first fold with
    // held-out pixels is scored, a size stops (unless every is wanted) when
    // it cannot win: when even with every pixel of the folds still to score
    // given its label, its score would stay more than a tie below the best
    // candidate scored on every fold so far. (The picture samples are all
    // scored by then.) A fold where every size stops is not trained for.
    void scoreUpTo(Tolerance& t, bool every, uint32_t end = ~0u) {
        const uint32_t first = firstFold();
        for (uint32_t f = *std::min_element(t.done.begin(), t.done.end());
             f < std::min(t.folds, end); ++f) {
            std::vector<std::size_t> todo;
            for (std::size_t i = 0; i < t.sizes.size(); ++i)
                if (t.done[i] == f && (every || f <= first || bound(t, i, f) >= best_ - 2 * kTie))
                    todo.push_back(i);
            if (todo.empty()) continue;
            if (!folds_.heldOut(f).empty()) {
                // The picture samples are run by the first fold's tool alone:
                // a tool trained on some of the examples, as the held-out
                // pixels see it, at half the cost of every fold's.
                const bool samples = f == first;
                kvCompositeColorSegmenterTool tool;
                tool.train(folds_.trainingSets(f), t.params);
                ++trainings_;
                for (std::size_t i : todo) {
                    HeldOutTally fold(folds_.labels());
                    runner_.score(f, tool, kvCompositeColorSegmenterRunParams(t.sizes[i], false),
                                  fold.confusion, &runPixels_, &fold.confidence,
                                  samples ? &fold.samples : nullptr);
                    if (f == 0) t.screen[i].add(fold);
                    t.all[i].add(fold);
                }
            }
            for (std::size_t i : todo)
                if (++t.done[i] == t.folds) best_ = std::max(best_, t.candidate(i).score);
        }
    }

    // The highest score size i of t could reach on folds f onwards: the
    // balanced accuracy with every held-out pixel of those folds right.
    double bound(const Tolerance& t, std::size_t i, uint32_t f) const {
        const LabelConfusion& c = t.all[i].confusion;
        double sum = 0;
        std::size_t labels = 0;
        for (std::size_t l = 0; l < c.labels(); ++l) {
            uint64_t rest = 0;
            for (uint32_t g = f; g < t.folds; ++g) rest += heldOut_[g][l];
            if (const uint64_t n = c.truthTotal(l) + rest) {
                sum += static_cast<double>(c.count(l, static_cast<unsigned>(l)) + rest) /
                       static_cast<double>(n);
                ++labels;
            }
        }
        return (labels ? sum / static_cast<double>(labels) : 0.0) * (1.0 - t.all[i].unlabelled());
    }

    uint32_t firstFold() const {
        uint32_t f = 0;
        while (folds_.heldOut(f).empty()) ++f;  // some fold holds pixels out
        return f;
    }

    const SpatialFolds& folds_;
    HeldOutRunner runner_;
    bool exhaustive_;
    std::vector<std::vector<uint64_t>> heldOut_;  // per fold and label: pixels scored
    std::vector<Tolerance> tolerances_;
    std::optional<kvCompositeColorSegmenterTool> kept_;  // see keptTool
    uint32_t keptFold_ = 0;
    kvCompositeColorSegmenterTrainParams keptParams_;
    double best_ = -1;  // the best score of a candidate scored on every fold
    uint32_t trainings_ = 0;
    uint64_t runPixels_ = 0;
};

}  // namespace

std::vector<std::size_t> wideOrder(const SuggestCandidate& lead,
                                   const std::vector<SuggestCandidate>& wide) {
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < wide.size(); ++i)
        if (wide[i].pictureConfidence > lead.pictureConfidence + kTie) order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return wide[a].pictureConfidence > wide[b].pictureConfidence + kTie;
    });
    return order;
}

LabelConfusion scoreHeldOut(const SpatialFolds& folds,
                            const std::vector<kvCompositeColorSegmenterTool>& tools,
                            const kvCompositeColorSegmenterRunParams& params, uint64_t* runPixels) {
    const HeldOutRunner runner(folds, 0);
    LabelConfusion confusion(folds.labels());
    for (uint32_t f = 0; f < folds.folds(); ++f)
        if (!folds.heldOut(f).empty()) runner.score(f, tools.at(f), params, confusion, runPixels);
    return confusion;
}

SuggestReport suggestSegmenterParams(const std::vector<kvCompositeColorSet>& sets,
                                     const SuggestOptions& options) {
    const SpatialFolds folds(sets, options.folds, options.tileSize, options.unit);
    Search search(folds, options.heldOutPerLabel, options.packTiles, options.exhaustive);
    std::vector<Tolerance>& tried = search.tolerances();
    uint32_t scored = 0;
    const auto tick = [&] {
        if (options.progress) options.progress(++scored);
    };
    const std::vector<int32_t> sizes(std::begin(kNeighborhoods), std::end(kNeighborhoods));
    // The tolerance of the best candidate scored on every fold (the first
    // tolerance finished has every size so scored), the wide sizes aside.
    const auto best = [&] {
        std::size_t b = tried.size();
        for (std::size_t i = 0; i < tried.size(); ++i) {
            if (tried[i].stage == std::string(kWide)) continue;
            const std::size_t size = bestSize(tried[i]);
            if (size < tried[i].sizes.size() &&
                (b == tried.size() ||
                 beats(tried[i].candidate(size), tried[b].candidate(bestSize(tried[b])))))
                b = i;
        }
        return b;
    };
    const auto has = [&](double frac, uint32_t min) {
        for (const Tolerance& t : tried)
            if (t.params.colorToleranceFrac() == frac && t.params.colorToleranceMin() == min)
                return true;
        return false;
    };
    const auto add = [&](double frac, uint32_t min, const char* stage) {
        if (!has(frac, min)) search.add(frac, min, sizes, stage);
        tick();
    };

    // 1. Fractions at the default minimum: each on the first fold, then on
    // the others the most promising first, so that a good score is known
    // early and the rest can stop after one fold (the narrow fractions'
    // colour tables take longest to clear).
    {
        std::vector<std::size_t> coarse;
        for (double frac : kCoarseFractions) {
            coarse.push_back(tried.size());
            search.addOnFirstFold(frac, kDefaultMin, sizes, "coarse");
            tick();  // the first fold is most of a tolerance's cost
        }
        std::stable_sort(coarse.begin(), coarse.end(), [&](std::size_t a, std::size_t b) {
            return search.reach(tried[a]) > search.reach(tried[b]) + kTie;
        });
        for (std::size_t t : coarse) search.finish(tried[t]);
    }
    // 2. Floors at the best fraction: a dark label's tolerance is its floor.
    const double coarseFrac = tried[best()].params.colorToleranceFrac();
    // A floor above the tolerance of mid-grey (128 * fraction) would widen
    // every colour alike, and train slowly.
    const auto floorFits = [](double frac, uint32_t min) { return min <= frac * kFloorGrey; };
    for (uint32_t min : kFloors)
        if (min < kDefaultMin || floorFits(coarseFrac, min))
            add(coarseFrac, min, "minimum");
        else
            tick();
    // 3. A raised floor keeps dark labels apart by itself, so the bright ones
    // may do with a smaller fraction: the coarse fraction below, at the best
    // floor, even if the floor passes its tolerance of mid-grey.
    const uint32_t floor = tried[best()].params.colorToleranceMin();
    double below = 0;
    for (double frac : kCoarseFractions)
        if (frac < coarseFrac) below = frac;
    if (floor > kDefaultMin && below > 0)
        add(below, floor, "floor-fraction");
    else
        tick();
    // 4. The geometric midpoint (two significant digits) between the best
    // fraction and the better of its neighbours at the best floor (on a tie
    // the smaller): the score falls off more slowly on that side.
    {
        const Tolerance& lead = tried[best()];
        const uint32_t min = lead.params.colorToleranceMin();
        const double frac = lead.params.colorToleranceFrac();
        Tolerance *lower = nullptr, *upper = nullptr;
        for (Tolerance& t : tried) {
            if (t.params.colorToleranceMin() != min || t.stage == std::string("fine")) continue;
            const double f = t.params.colorToleranceFrac();
            if (f < frac && (!lower || f > lower->params.colorToleranceFrac())) lower = &t;
            if (f > frac && (!upper || f < upper->params.colorToleranceFrac())) upper = &t;
        }
        // The neighbours are compared by their best sizes over every fold.
        // The lower one (the dearer to train) is completed only if it might
        // beat the upper one.
        const auto score = [](const Tolerance* t) { return t->candidate(bestSize(*t)); };
        if (lower && upper) {
            search.complete(*upper);
            if (search.reach(*lower) >= score(upper).score - 2 * kTie) search.complete(*lower);
        }
        const Tolerance* toward = upper && (!lower || bestSize(*lower) == lower->sizes.size() ||
                                            !beats(score(lower), score(upper)))
                                      ? upper
                                      : lower;
        if (toward)
            add(twoDigits(std::sqrt(toward->params.colorToleranceFrac() * frac)), min, "fine");
        else
            tick();
    }

    // 5. Wider neighbourhoods at the lead's tolerance, judged by the picture
    // samples. The estimate stays the lead's score: a wide size's own
    // held-out pixels only grow surer with it, which says nothing of the
    // boundaries between labels.
    const std::size_t leadTolerance = best(), leadSize = bestSize(tried[leadTolerance]);
    std::size_t chosen = leadTolerance, chosenSize = leadSize;
    {
        const SuggestCandidate lead = tried[chosen].candidate(chosenSize);
        Tolerance& wide = search.addBySamples(
            lead.trainParams.colorToleranceFrac(), lead.trainParams.colorToleranceMin(),
            std::vector<int32_t>(std::begin(kWideNeighborhoods), std::end(kWideNeighborhoods)),
            kWide);
        std::vector<SuggestCandidate> rows;
        for (std::size_t i = 0; i < wide.sizes.size(); ++i) rows.push_back(wide.candidate(i));
        if (options.exhaustive)
            for (std::size_t i = 0; i < wide.sizes.size(); ++i) search.scoreHeldOut(wide, i);
        for (const std::size_t i : wideOrder(lead, rows)) {
            if (!wide.complete(i)) search.scoreHeldOut(wide, i);
            if (wide.candidate(i).score >= lead.score - kTie) {
                chosen = tried.size() - 1;
                chosenSize = i;
                break;
            }
        }
        tick();
    }

    SuggestReport report;
    for (const Tolerance& t : tried)
        for (std::size_t i = 0; i < t.sizes.size(); ++i) {
            if (&t == &tried[chosen] && i == chosenSize) report.chosen = report.candidates.size();
            if (&t == &tried[leadTolerance] && i == leadSize)
                report.estimated = report.candidates.size();
            report.candidates.push_back(t.candidate(i));
        }
    report.trainParams = tried[chosen].params;
    report.runParams = kvCompositeColorSegmenterRunParams(tried[chosen].sizes[chosenSize], false);
    report.heldOut = tried[chosen].all[chosenSize].confusion;
    report.folds = folds.folds();
    report.tileSize = folds.tileSize();
    report.trainings = search.trainings();
    report.runPixels = search.runPixels();
    report.unit = folds.unit();
    return report;
}

}  // namespace clsg
