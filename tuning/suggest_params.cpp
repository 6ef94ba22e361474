#include "clsg/tuning/suggest_params.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "clsg/colorseg/segmenter_result.h"
#include "clsg/colorseg/segmenter_tool.h"
#include "clsg/platform/attention.h"
#include "clsg/platform/pel_ops.h"
#include "clsg/tuning/spatial_folds.h"

namespace clsg {

namespace {

const double kCoarseFractions[] = {0.02, 0.04, 0.08, 0.15, 0.3};
const int32_t kNeighborhoods[] = {1, 3, 5};
const uint32_t kDefaultMin = 2;
const uint32_t kOtherMins[] = {1, 5};
static_assert(std::size(kCoarseFractions) + 1 + std::size(kOtherMins) == kSuggestTolerances);
constexpr double kTie = 1e-12;
// How far below the best tolerance on fold 0 another may score there and
// still, if it is the largest such, be scored on every fold beside it.
constexpr double kBroadMargin = 0.01;

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

// Runs tools on the held-out tiles of their folds.
class HeldOutRunner {
public:
    // With perLabel 0 every held-out tile of a fold is scored. Otherwise the
    // tiles are taken in a fixed pseudo-random order, each only while some
    // label it holds has fewer than perLabel pixels taken in the fold.
    HeldOutRunner(const SpatialFolds& folds, uint64_t perLabel) {
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
    }

    // Adds the held-out pixels of fold f, labelled by tool, to confusion, and
    // to (*confidence)[label] the confidence of each that got its label. Each
    // tile is run grown by half the neighbourhood, which gives there the
    // labels of a run over the whole picture.
    void score(uint32_t f, const kvCompositeColorSegmenterTool& tool,
               const kvCompositeColorSegmenterRunParams& params, LabelConfusion& confusion,
               uint64_t* runPixels, std::vector<uint64_t>* confidence = nullptr) const {
        const long margin = params.neighborhoodSize() / 2;
        for (const HeldOutPiece* scored : scored_[f]) {
            const HeldOutPiece& piece = *scored;
            const kv3PlanePelBuffer& picture = pictures_[piece.image];
            const kvPelRect grown =
                kvRectangle<long>(piece.rect + kvRectangle<long>(-margin, -margin, 2 * margin + 1,
                                                                 2 * margin + 1))
                    .intersect(picture.window(), false);
            kvPelBuffer<unsigned char> p0 = picture.plane0(), p1 = picture.plane1(),
                                       p2 = picture.plane2();
            p0.window(grown, false);
            p1.window(grown, false);
            p2.window(grown, false);
            kvCompositeColorSegmenterResult result;
            tool.run(kv3PlanePelBuffer(p0, p1, p2), params, result);
            if (runPixels) *runPixels += static_cast<uint64_t>(grown.width() * grown.height());
            const kvPelBuffer_const<unsigned char> labels = result.labelImage();
            const kvPelBuffer_const<unsigned char> sure = result.confidenceImage();
            for (const HeldOutPixel& px : piece.pixels) {
                const unsigned got = *labels.pointToPel(px.x, px.y);
                confusion.add(px.label, got);
                if (confidence && got == px.label)
                    (*confidence)[px.label] += *sure.pointToPel(px.x, px.y);
            }
        }
    }

private:
    std::vector<kv3PlanePelBuffer> pictures_;
    std::vector<std::vector<const HeldOutPiece*>> scored_;  // per fold
};

// Held-out pixels of one candidate: how they were labelled, and per label the
// summed confidence of those that got it.
struct HeldOutTally {
    LabelConfusion confusion;
    std::vector<uint64_t> confidence;

    explicit HeldOutTally(std::size_t labels) : confusion(labels), confidence(labels, 0) {}
    void add(const HeldOutTally& other) {
        confusion.add(other.confusion);
        for (std::size_t l = 0; l < confidence.size(); ++l) confidence[l] += other.confidence[l];
    }
    // Mean over the labels with held-out pixels of their mean confidence, a
    // wrong label counting 0.
    double meanConfidence() const {
        double sum = 0;
        std::size_t labels = 0;
        for (std::size_t l = 0; l < confidence.size(); ++l)
            if (const uint64_t n = confusion.truthTotal(l)) {
                sum += static_cast<double>(confidence[l]) / static_cast<double>(n);
                ++labels;
            }
        return labels ? sum / static_cast<double>(labels) : 0.0;
    }
};

// One tolerance and the neighbourhoods it is scored with, over the folds
// scored so far (always 0 .. scoredFolds - 1).
struct Tolerance {
    kvCompositeColorSegmenterTrainParams params;
    const char* stage;
    std::vector<int32_t> sizes;
    std::vector<HeldOutTally> screen;  // per size: fold 0 alone
    std::vector<HeldOutTally> all;     // per size: every fold scored
    uint32_t scoredFolds = 0;

    SuggestCandidate candidate(std::size_t i, bool screened) const {
        const HeldOutTally& c = screened ? screen[i] : all[i];
        return {params,
                kvCompositeColorSegmenterRunParams(sizes[i], false),
                stage,
                c.confusion.balancedAccuracy(),
                screen[i].confusion.balancedAccuracy(),
                c.meanConfidence(),
                screened ? 1 : scoredFolds};
    }
};

// True when a beats b: a higher score, or on a tie the larger fraction, the
// larger minimum, then (sizes of one tolerance) the higher mean confidence
// and the smaller neighbourhood.
bool beats(const SuggestCandidate& a, const SuggestCandidate& b) {
    if (std::fabs(a.balancedAccuracy - b.balancedAccuracy) > kTie)
        return a.balancedAccuracy > b.balancedAccuracy;
    if (a.trainParams.colorToleranceFrac() != b.trainParams.colorToleranceFrac())
        return a.trainParams.colorToleranceFrac() > b.trainParams.colorToleranceFrac();
    if (a.trainParams.colorToleranceMin() != b.trainParams.colorToleranceMin())
        return a.trainParams.colorToleranceMin() > b.trainParams.colorToleranceMin();
    if (std::fabs(a.meanConfidence - b.meanConfidence) > kTie)
        return a.meanConfidence > b.meanConfidence;
    return a.runParams.neighborhoodSize() < b.runParams.neighborhoodSize();
}

// Index of the best size of t, on fold 0 alone or on every fold scored.
std::size_t bestSize(const Tolerance& t, bool screened) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < t.sizes.size(); ++i)
        if (beats(t.candidate(i, screened), t.candidate(best, screened))) best = i;
    return best;
}

// The search's state: its tolerances and the trainings done.
class Search {
public:
    Search(const SpatialFolds& folds, uint32_t heldOutPerLabel)
        : folds_(folds), runner_(folds, heldOutPerLabel) {}

    // Scores a new tolerance on fold 0.
    Tolerance& add(double frac, uint32_t min, std::vector<int32_t> sizes, const char* stage) {
        Tolerance t{
            kvCompositeColorSegmenterTrainParams(frac, min), stage, std::move(sizes), {}, {}, 0};
        t.screen.assign(t.sizes.size(), HeldOutTally(folds_.labels()));
        t.all = t.screen;
        tolerances_.push_back(std::move(t));
        scoreUpTo(tolerances_.back(), 1);
        return tolerances_.back();
    }

    // Scores t on the folds it has not been scored on yet.
    void complete(Tolerance& t) { scoreUpTo(t, folds_.folds()); }

    std::vector<Tolerance>& tolerances() { return tolerances_; }
    uint32_t trainings() const { return trainings_; }
    uint64_t runPixels() const { return runPixels_; }

private:
    void scoreUpTo(Tolerance& t, uint32_t end) {
        for (uint32_t f = t.scoredFolds; f < end; ++f) {
            if (folds_.heldOut(f).empty()) continue;
            kvCompositeColorSegmenterTool tool;
            tool.train(folds_.trainingSets(f), t.params);
            ++trainings_;
            for (std::size_t i = 0; i < t.sizes.size(); ++i) {
                HeldOutTally fold(folds_.labels());
                runner_.score(f, tool, kvCompositeColorSegmenterRunParams(t.sizes[i], false),
                              fold.confusion, &runPixels_, &fold.confidence);
                if (f == 0) t.screen[i].add(fold);
                t.all[i].add(fold);
            }
        }
        t.scoredFolds = std::max(t.scoredFolds, end);
    }

    const SpatialFolds& folds_;
    HeldOutRunner runner_;
    std::vector<Tolerance> tolerances_;
    uint32_t trainings_ = 0;
    uint64_t runPixels_ = 0;
};

}  // namespace

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
    const SpatialFolds folds(sets, options.folds, options.tileSize);
    Search search(folds, options.heldOutPerLabel);
    std::vector<Tolerance>& tried = search.tolerances();
    uint32_t scored = 0;
    const auto tick = [&] {
        if (options.progress) options.progress(++scored);
    };
    // The better of two tolerances by their best sizes on fold 0.
    const auto screenBeats = [](const Tolerance& a, const Tolerance& b) {
        return beats(a.candidate(bestSize(a, true), true), b.candidate(bestSize(b, true), true));
    };

    // Coarse and fine: every tolerance on fold 0 alone.
    const std::vector<int32_t> sizes(std::begin(kNeighborhoods), std::end(kNeighborhoods));
    for (double frac : kCoarseFractions) {
        search.add(frac, kDefaultMin, sizes, "coarse");
        tick();
    }
    // Refine between the best coarse fraction and the better of its
    // neighbours (on a tie the larger one): the score falls off more slowly on
    // that side, so a better fraction is likelier there.
    std::size_t coarse = 0;
    for (std::size_t i = 1; i < tried.size(); ++i)
        if (screenBeats(tried[i], tried[coarse])) coarse = i;
    const bool hasBelow = coarse > 0, hasAbove = coarse + 1 < tried.size();
    std::size_t toward = coarse;
    if (hasAbove && (!hasBelow || !screenBeats(tried[coarse - 1], tried[coarse + 1])))
        toward = coarse + 1;
    else if (hasBelow)
        toward = coarse - 1;
    if (toward != coarse)
        search.add(twoDigits(std::sqrt(tried[toward].params.colorToleranceFrac() *
                                       tried[coarse].params.colorToleranceFrac())),
                   kDefaultMin, sizes, "fine");
    tick();

    // On every fold: the best of them on fold 0, and the largest of the
    // others within kBroadMargin of it there (without one, the second best).
    // Fold 0 alone is a noisy judge that favours narrow tolerances when the
    // examples are uniform, and a broader one carries over better to shades
    // the examples miss; every fold decides between the two.
    std::vector<std::size_t> order{0};
    for (std::size_t i = 1; i < tried.size(); ++i)
        if (screenBeats(tried[i], tried[order[0]])) order[0] = i;
    const auto screenScore = [](const Tolerance& t) {
        return t.candidate(bestSize(t, true), true).foldZeroAccuracy;
    };
    std::size_t broad = tried.size(), second = tried.size();
    for (std::size_t i = 0; i < tried.size(); ++i) {
        if (i == order[0]) continue;
        if (screenScore(tried[i]) >= screenScore(tried[order[0]]) - kBroadMargin &&
            (broad == tried.size() ||  // all have minimum 2 here
             tried[i].params.colorToleranceFrac() > tried[broad].params.colorToleranceFrac()))
            broad = i;
        if (second == tried.size() || screenBeats(tried[i], tried[second])) second = i;
    }
    if (broad < tried.size())
        order.push_back(broad);
    else if (second < tried.size())
        order.push_back(second);
    for (std::size_t i : order) search.complete(tried[i]);
    const auto bestComplete = [&] {
        std::size_t best = order[0];
        for (std::size_t i = 0; i < tried.size(); ++i)
            if (tried[i].scoredFolds == folds.folds() &&
                beats(tried[i].candidate(bestSize(tried[i], false), false),
                      tried[best].candidate(bestSize(tried[best], false), false)))
                best = i;
        return best;
    };

    // Other minimums at the best tolerance and size so far, screened on fold
    // 0 against it; one that beats it there is scored on every fold.
    const std::size_t leader = bestComplete();
    const std::size_t leaderSize = bestSize(tried[leader], false);
    const double frac = tried[leader].params.colorToleranceFrac();
    const int32_t n = tried[leader].sizes[leaderSize];
    for (uint32_t min : kOtherMins) {
        Tolerance& t = search.add(frac, min, {n}, "minimum");
        if (beats(t.candidate(0, true), tried[leader].candidate(leaderSize, true)))
            search.complete(t);
        tick();
    }

    SuggestReport report;
    const std::size_t chosen = bestComplete();
    const std::size_t chosenSize = bestSize(tried[chosen], false);
    for (const Tolerance& t : tried)
        for (std::size_t i = 0; i < t.sizes.size(); ++i) {
            if (&t == &tried[chosen] && i == chosenSize) report.chosen = report.candidates.size();
            report.candidates.push_back(t.candidate(i, false));
        }
    report.trainParams = tried[chosen].params;
    report.runParams = kvCompositeColorSegmenterRunParams(tried[chosen].sizes[chosenSize], false);
    report.heldOut = tried[chosen].all[chosenSize].confusion;
    report.folds = folds.folds();
    report.tileSize = folds.tileSize();
    report.trainings = search.trainings();
    report.runPixels = search.runPixels();
    return report;
}

}  // namespace clsg
