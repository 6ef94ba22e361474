#include "clsg/tuning/suggest_params.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <optional>
#include <string>

#include "clsg/colorseg/budget.h"
#include "clsg/colorseg/segmenter_tool.h"
#include "clsg/tuning/held_out_runner.h"
#include "clsg/tuning/spatial_folds.h"
#include "clsg/tuning/task_threads.h"

namespace clsg {

namespace {

const double kCoarseFractions[] = {0.02, 0.04, 0.08, 0.15, 0.3, 0.5};
const int32_t kNeighborhoods[] = {1, 3, 5, 7, 9};
// Tried at the choice's tolerance only (see the "wide" stage).
const int32_t kWideNeighborhoods[] = {13, 17, 21};
// How much surer (of 255) a wide size's held-out pixels must be than the
// lead's. On the photographs measured, wide sizes worse than the lead against
// the truth were up to 0.8 surer; the best wide sizes 5.1 and 5.7.
constexpr double kWideSurer = 2.0;
const uint32_t kDefaultMin = 2;
const uint32_t kFloors[] = {1, 6, 15, 40};
static_assert(std::size(kCoarseFractions) + std::size(kFloors) + 1 + 1 + 1 == kSuggestTolerances);
constexpr double kTie = 1e-12;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr const char* kWide = "wide";
// Tolerances are trained side by side only while each costs at most this.
constexpr uint64_t kSideBySideBytes = uint64_t{256} << 20;
// The share of the picture samples labelled that the narrowest setting leaves
// unlabelled that the estimate counts as wrong (see
// SuggestReport::estimate). On the photographs of bench/auto_photos a tenth
// brought the estimate within 3 points of the truth on four of five (6.2 too
// high on the fifth; 4.9 to 12.3 too high on three before).
constexpr double kUncoveredWrong = 0.1;
// Floors above this many times the fraction are not tried.
constexpr double kFloorGrey = 128;

// Rounds to two significant digits.
double twoDigits(double v) {
    const double scale = std::pow(10.0, 1.0 - std::floor(std::log10(v)));
    return std::round(v * scale) / scale;
}

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
    bool overBudget = false;           // SuggestOptions::checkCost refused it: not scored

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
    Search(const SpatialFolds& folds, const SuggestOptions& options)
        : folds_(folds),
          runner_(folds, options.heldOutPerLabel, options.packTiles),
          exhaustive_(options.exhaustive),
          checkCost_(options.checkCost) {
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
        scoreUpTo(t, exhaustive_, main_, ~0u, &best_);
        return t;
    }

    // Adds tolerances, each scored on the first fold with held-out pixels
    // alone, on up to `threads` threads started for them (the caller's alone
    // for one; see forEachTask); finish scores them on the others. done() is
    // called on the caller's thread as each is scored. Nothing a tolerance is scored with
    // depends on the others, so the threads change no result. Each thread
    // holds a fold tool (the caller's earlier one is let go first), so this
    // runs on one thread unless each costs at most kSideBySideBytes to train.
    void addOnFirstFold(const std::vector<kvCompositeColorSegmenterTrainParams>& tolerances,
                        const std::vector<int32_t>& sizes, const char* stage, unsigned threads,
                        const std::function<void()>& done) {
        const std::size_t from = tolerances_.size();
        for (const kvCompositeColorSegmenterTrainParams& p : tolerances)
            push(p.colorToleranceFrac(), p.colorToleranceMin(), sizes, stage);
        main_.kept.reset();
        if (!sideBySide(from)) threads = 1;
        std::vector<Worker> workers(std::clamp<std::size_t>(threads, 1, tolerances.size()));
        forEachTask(
            tolerances.size(), workers.size(),
            [&](std::size_t task, std::size_t thread) {
                scoreUpTo(tolerances_[from + task], exhaustive_, workers[thread], firstFold() + 1,
                          nullptr);
            },
            done);
        for (Worker& w : workers) {
            main_.trainings += w.trainings;
            main_.runPixels += w.runPixels;
        }
        // Done after the threads, in order; no tolerance is complete yet
        // unless the first fold scored is the last.
        for (std::size_t t = from; t < tolerances_.size(); ++t) noteComplete(tolerances_[t]);
    }

    // Scores t on the folds after those addOnFirstFold scored (some sizes may stop
    // early).
    void finish(Tolerance& t) { scoreUpTo(t, exhaustive_, main_, ~0u, &best_); }

    // Adds a tolerance every size of which is scored on every fold, none
    // stopping early (it does not raise the best score the others stop by).
    Tolerance& addInFull(double frac, uint32_t min, std::vector<int32_t> sizes, const char* stage) {
        Tolerance& t = push(frac, min, std::move(sizes), stage);
        scoreUpTo(t, true, main_, ~0u, nullptr);
        return t;
    }

    // Scores the sizes of t that stopped early on the folds they missed, when
    // one of them might beat t's best size scored on every fold.
    void complete(Tolerance& t) {
        if (t.overBudget) return;
        const std::size_t best = bestSize(t);
        for (std::size_t i = 0; i < t.sizes.size(); ++i)
            if (!t.complete(i) && (best == t.sizes.size() ||
                                   bound(t, i, t.done[i]) >= t.candidate(best).score - 2 * kTie)) {
                scoreUpTo(t, true, main_, ~0u, &best_);
                return;
            }
    }

    // The highest score a size of t could reach: its score where scored on
    // every fold, else its bound.
    double reach(const Tolerance& t) const {
        double r = -1;
        if (t.overBudget) return r;
        for (std::size_t i = 0; i < t.sizes.size(); ++i)
            r = std::max(r, t.complete(i) ? t.candidate(i).score : bound(t, i, t.done[i]));
        return r;
    }

    std::vector<Tolerance>& tolerances() { return tolerances_; }
    bool tried(double frac, uint32_t min) const {
        for (const Tolerance& t : tolerances_)
            if (t.params.colorToleranceFrac() == frac && t.params.colorToleranceMin() == min)
                return true;
        return false;
    }
    // What checkCost said when it last refused a tolerance.
    const std::string& refusal() const { return refusal_; }
    uint32_t trainings() const { return main_.trainings; }
    uint64_t runPixels() const { return main_.runPixels; }

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
        t.overBudget = refused(t.params);
        tolerances_.push_back(std::move(t));
        return tolerances_.back();
    }

    // True when checkCost refuses params (its refusal is kept for refusal()).
    bool refused(const kvCompositeColorSegmenterTrainParams& params) {
        if (!checkCost_) return false;
        try {
            checkCost_(params);
            return false;
        } catch (const kvCompositeColorSegmenterBudget::Exceeded& e) {
            refusal_ = e.what();
            return true;
        }
    }

    // What one thread of the search trains and runs. It keeps one fold tool
    // until another is wanted: one at a time, as a tool at a small fraction
    // is large (about 12 MB per example at 0.02).
    struct Worker {
        std::optional<kvCompositeColorSegmenterTool> kept;
        uint32_t keptFold = 0;
        kvCompositeColorSegmenterTrainParams keptParams;
        uint32_t trainings = 0;
        uint64_t runPixels = 0;

        const kvCompositeColorSegmenterTool& tool(const SpatialFolds& folds,
                                                  const kvCompositeColorSegmenterTrainParams& p,
                                                  uint32_t f) {
            if (!kept || keptFold != f || !(keptParams == p)) {
                kept.reset();
                kvCompositeColorSegmenterTool trained;
                trained.train(folds.trainingSets(f), p);
                kept = std::move(trained);
                keptFold = f;
                keptParams = p;
                ++trainings;
            }
            return *kept;
        }
    };

    // True when the tolerances from index `from` on may be trained at once:
    // when each costs at most kSideBySideBytes (see addOnFirstFold).
    bool sideBySide(std::size_t from) const {
        kvCompositeColorSegmenterBudget limit;
        limit.maxBytes = kSideBySideBytes;
        for (std::size_t t = from; t < tolerances_.size(); ++t) try {
                if (!tolerances_[t].overBudget)
                    limit.check(folds_.trainingSets(firstFold()), tolerances_[t].params);
            } catch (...) {  // too dear, or refused: training says which
                return false;
            }
        return true;
    }

    // Raises best_ by the sizes of t scored on every fold.
    void noteComplete(const Tolerance& t) {
        for (std::size_t i = 0; i < t.sizes.size(); ++i)
            if (t.complete(i)) best_ = std::max(best_, t.candidate(i).score);
    }

    // Scores the sizes of t fold after fold, by w's tools, up to fold end.
    // Once the first fold with held-out pixels is scored, a size stops
    // (unless every is wanted) when it cannot win: when even with every pixel
    // of the folds still to score given its label, its score would stay more
    // than a tie below *best, the best candidate scored on every fold so far,
    // which each size scored on every fold raises. (The picture samples are
    // all scored by then.) A fold where every size stops is not trained for.
    // Without best (on a search thread, or for the wide sizes) every size is
    // wanted, or only the first fold scored, and no best is raised.
    void scoreUpTo(Tolerance& t, bool every, Worker& w, uint32_t end, double* best) {
        if (t.overBudget) return;
        const uint32_t first = firstFold();
        for (uint32_t f = *std::min_element(t.done.begin(), t.done.end());
             f < std::min(t.folds, end); ++f) {
            std::vector<std::size_t> todo;
            for (std::size_t i = 0; i < t.sizes.size(); ++i)
                if (t.done[i] == f && (every || f <= first || bound(t, i, f) >= *best - 2 * kTie))
                    todo.push_back(i);
            if (todo.empty()) continue;
            if (!folds_.heldOut(f).empty()) {
                // The picture samples are run by the first fold's tool alone:
                // a tool trained on some of the examples, as the held-out
                // pixels see it, at half the cost of every fold's.
                const bool samples = f == first;
                const kvCompositeColorSegmenterTool& tool = w.tool(folds_, t.params, f);
                for (std::size_t i : todo) {
                    HeldOutTally fold(folds_.labels());
                    runner_.score(f, tool, kvCompositeColorSegmenterRunParams(t.sizes[i], false),
                                  fold.confusion, &w.runPixels, &fold.confidence,
                                  samples ? &fold.samples : nullptr);
                    if (f == 0) t.screen[i].add(fold);
                    t.all[i].add(fold);
                }
            }
            for (std::size_t i : todo)
                if (++t.done[i] == t.folds && best) *best = std::max(*best, t.candidate(i).score);
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
    const std::function<void(const kvCompositeColorSegmenterTrainParams&)>& checkCost_;
    std::vector<std::vector<uint64_t>> heldOut_;  // per fold and label: pixels scored
    std::vector<Tolerance> tolerances_;
    Worker main_;       // the caller's thread
    double best_ = -1;  // the best score of a candidate scored on every fold
    std::string refusal_;
};

// Tells SuggestOptions::progress of each step of the search.
class Steps {
public:
    explicit Steps(const std::function<void(uint32_t)>& progress) : progress_(progress) {}
    void tick() {
        if (progress_) progress_(++done_);
    }

private:
    const std::function<void(uint32_t)>& progress_;
    uint32_t done_ = 0;
};

const std::vector<int32_t> kSizes(std::begin(kNeighborhoods), std::end(kNeighborhoods));

// The tolerance of the best candidate scored on every fold (the first
// tolerance finished has every size so scored), the wide sizes aside.
std::size_t bestTolerance(const std::vector<Tolerance>& tried) {
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
}

// Adds the tolerance unless it was tried already; a step either way.
void addUnlessTried(Search& search, double frac, uint32_t min, const char* stage, Steps& steps) {
    if (!search.tried(frac, min)) search.add(frac, min, kSizes, stage);
    steps.tick();
}

// 1. Fractions at the default minimum: each on the first fold, then on the
// others the most promising first, so that a good score is known early and
// the rest can stop after one fold (the narrow fractions' colour tables take
// longest to clear).
void coarseStage(Search& search, Steps& steps, unsigned threads) {
    std::vector<Tolerance>& tried = search.tolerances();
    std::vector<std::size_t> coarse;
    for (std::size_t i = 0; i < std::size(kCoarseFractions); ++i)
        coarse.push_back(tried.size() + i);
    // A step for each, as the first fold is most of a tolerance's cost.
    std::vector<kvCompositeColorSegmenterTrainParams> fractions;
    for (double frac : kCoarseFractions) fractions.emplace_back(frac, kDefaultMin);
    search.addOnFirstFold(fractions, kSizes, "coarse", threads, [&] { steps.tick(); });
    std::stable_sort(coarse.begin(), coarse.end(), [&](std::size_t a, std::size_t b) {
        return search.reach(tried[a]) > search.reach(tried[b]) + kTie;
    });
    for (std::size_t t : coarse) search.finish(tried[t]);
}

// 2. Floors at the best fraction: a dark label's tolerance is its floor. A
// floor above the tolerance of mid-grey (128 * fraction) would widen every
// colour alike, and train slowly. Each is scored on the first fold (side by
// side), then on the others in order: as before any is finished, the first
// fold's scores decide nothing.
void floorStage(Search& search, Steps& steps, unsigned threads) {
    std::vector<Tolerance>& tried = search.tolerances();
    const double frac = tried[bestTolerance(tried)].params.colorToleranceFrac();
    std::vector<kvCompositeColorSegmenterTrainParams> floors;
    for (uint32_t min : kFloors)
        if ((min < kDefaultMin || min <= frac * kFloorGrey) && !search.tried(frac, min))
            floors.emplace_back(frac, min);
    const std::size_t from = tried.size();
    search.addOnFirstFold(floors, kSizes, "minimum", threads, [&] { steps.tick(); });
    for (std::size_t t = from; t < tried.size(); ++t) search.finish(tried[t]);
    for (std::size_t skipped = floors.size(); skipped < std::size(kFloors); ++skipped) steps.tick();
}

// 3. A raised floor keeps dark labels apart by itself, so the bright ones may
// do with a smaller fraction: the coarse fraction below, at the best floor,
// even if the floor passes its tolerance of mid-grey.
void floorFractionStage(Search& search, Steps& steps) {
    const Tolerance& best = search.tolerances()[bestTolerance(search.tolerances())];
    const uint32_t floor = best.params.colorToleranceMin();
    double below = 0;
    for (double frac : kCoarseFractions)
        if (frac < best.params.colorToleranceFrac()) below = frac;
    if (floor > kDefaultMin && below > 0)
        addUnlessTried(search, below, floor, "floor-fraction", steps);
    else
        steps.tick();
}

// 4. The geometric midpoint (two significant digits) between the best
// fraction and the better of its neighbours at the best floor (on a tie the
// smaller): the score falls off more slowly on that side.
void fineStage(Search& search, Steps& steps) {
    std::vector<Tolerance>& tried = search.tolerances();
    const Tolerance& best = tried[bestTolerance(tried)];
    const uint32_t min = best.params.colorToleranceMin();
    const double frac = best.params.colorToleranceFrac();
    Tolerance *lower = nullptr, *upper = nullptr;
    for (Tolerance& t : tried) {
        if (t.params.colorToleranceMin() != min || t.stage == std::string("fine") || t.overBudget)
            continue;
        const double f = t.params.colorToleranceFrac();
        if (f < frac && (!lower || f > lower->params.colorToleranceFrac())) lower = &t;
        if (f > frac && (!upper || f < upper->params.colorToleranceFrac())) upper = &t;
    }
    // The neighbours are compared by their best sizes over every fold. The
    // lower one (the dearer to train) is completed only if it might beat the
    // upper one.
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
        addUnlessTried(search, twoDigits(std::sqrt(toward->params.colorToleranceFrac() * frac)),
                       min, "fine", steps);
    else
        steps.tick();
}

// The candidate chosen and the one whose score is the estimate, as a
// tolerance of the search and a size of it.
struct Choice {
    std::size_t tolerance, size;
    std::size_t leadTolerance, leadSize;
};

// 5. Wider neighbourhoods at the lead's tolerance, taken only where their
// held-out pixels grow clearly surer (see wideChoice). The estimate stays the
// lead's score: a wide size's own held-out pixels, inside the examples, are
// seldom wrong, which says little of the boundaries between labels.
Choice wideStage(Search& search, Steps& steps) {
    std::vector<Tolerance>& tried = search.tolerances();
    const std::size_t leadTolerance = bestTolerance(tried),
                      leadSize = bestSize(tried[leadTolerance]);
    Choice choice{leadTolerance, leadSize, leadTolerance, leadSize};
    const SuggestCandidate first = tried[leadTolerance].candidate(leadSize);
    Tolerance& wide = search.addInFull(
        first.trainParams.colorToleranceFrac(), first.trainParams.colorToleranceMin(),
        std::vector<int32_t>(std::begin(kWideNeighborhoods), std::end(kWideNeighborhoods)), kWide);
    std::vector<SuggestCandidate> rows;
    for (std::size_t i = 0; i < wide.sizes.size(); ++i) rows.push_back(wide.candidate(i));
    const std::size_t taken = wideChoice(first, rows);
    if (taken < rows.size()) {
        choice.tolerance = tried.size() - 1;
        choice.size = taken;
    }
    steps.tick();
    return choice;
}

// Sets report.uncovered and report.estimate (see SuggestReport).
void estimate(SuggestReport& report) {
    const SuggestCandidate* narrowest = nullptr;
    for (const SuggestCandidate& c : report.candidates)
        if (c.stage == "coarse" && c.runParams.neighborhoodSize() == 1 &&
            (!narrowest ||
             c.trainParams.colorToleranceFrac() < narrowest->trainParams.colorToleranceFrac()))
            narrowest = &c;
    const SuggestCandidate& lead = report.candidates.at(report.estimated);
    report.uncovered = narrowest ? narrowest->pictureUnlabelled : 0.0;
    report.uncoveredFraction = narrowest ? narrowest->trainParams.colorToleranceFrac() : 0.0;
    report.estimate = lead.balancedAccuracy * labelledFactor(report);
}

SuggestReport reportOf(Search& search, const SpatialFolds& folds, const Choice& choice) {
    const std::vector<Tolerance>& tried = search.tolerances();
    SuggestReport report;
    for (std::size_t t = 0; t < tried.size(); ++t) {
        if (tried[t].overBudget) {
            report.overBudget.push_back(tried[t].params);
            continue;
        }
        for (std::size_t i = 0; i < tried[t].sizes.size(); ++i) {
            if (t == choice.tolerance && i == choice.size) report.chosen = report.candidates.size();
            if (t == choice.leadTolerance && i == choice.leadSize)
                report.estimated = report.candidates.size();
            report.candidates.push_back(tried[t].candidate(i));
        }
    }
    const Tolerance& chosen = tried[choice.tolerance];
    report.trainParams = chosen.params;
    report.runParams = kvCompositeColorSegmenterRunParams(chosen.sizes[choice.size], false);
    report.heldOut = chosen.all[choice.size].confusion;
    report.folds = folds.folds();
    report.tileSize = folds.tileSize();
    report.trainings = search.trainings();
    report.runPixels = search.runPixels();
    report.unit = folds.unit();
    estimate(report);
    return report;
}

}  // namespace

double widenedShare(const SuggestReport& report) {
    return std::max(0.0,
                    report.uncovered - report.candidates.at(report.estimated).pictureUnlabelled);
}

double labelledFactor(const SuggestReport& report) {
    return 1.0 - report.candidates.at(report.estimated).pictureUnlabelled -
           kUncoveredWrong * widenedShare(report);
}

std::size_t wideChoice(const SuggestCandidate& lead, const std::vector<SuggestCandidate>& wide) {
    std::size_t taken = wide.size();
    for (std::size_t i = 0; i < wide.size(); ++i)
        if (wide[i].meanConfidence > lead.meanConfidence + kWideSurer &&
            wide[i].score >= lead.score - kTie &&
            (taken == wide.size() || wide[i].meanConfidence > wide[taken].meanConfidence + kTie))
            taken = i;
    return taken;
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

namespace {

// See SuggestReport::onExamples. Every example pixel is held out in one fold,
// so scoring each fold's pieces scores them all, each as in a whole run.
LabelConfusion scoreOnExamples(const std::vector<kvCompositeColorSet>& sets,
                               const SpatialFolds& folds, const SuggestReport& report) {
    kvCompositeColorSegmenterTool tool;
    tool.train(sets, report.trainParams);
    const HeldOutRunner runner(folds, 0);
    LabelConfusion confusion(folds.labels());
    for (uint32_t f = 0; f < folds.folds(); ++f)
        if (!folds.heldOut(f).empty()) runner.score(f, tool, report.runParams, confusion, nullptr);
    return confusion;
}

}  // namespace

SuggestReport suggestSegmenterParams(const std::vector<kvCompositeColorSet>& sets,
                                     const SuggestOptions& options) {
    const SpatialFolds folds(sets, options.folds, options.tileSize, options.unit,
                             options.labelNames);
    Search search(folds, options);
    Steps steps(options.progress);
    coarseStage(search, steps, options.threads);
    // checkCost refused every coarse fraction.
    if (bestTolerance(search.tolerances()) == search.tolerances().size())
        throw kvCompositeColorSegmenterBudget::Exceeded(search.refusal());
    floorStage(search, steps, options.threads);
    floorFractionStage(search, steps);
    fineStage(search, steps);
    SuggestReport report = reportOf(search, folds, wideStage(search, steps));
    report.onExamples = scoreOnExamples(sets, folds, report);
    return report;
}

}  // namespace clsg
