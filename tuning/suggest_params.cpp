#include "tuning/suggest_params.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "clsg/colorseg/segmenter_result.h"
#include "clsg/colorseg/segmenter_tool.h"
#include "platform/attention.h"
#include "platform/pel_ops.h"
#include "tuning/spatial_folds.h"

namespace {

const double kCoarseFractions[] = {0.02, 0.04, 0.08, 0.15, 0.3};
const int32_t kNeighborhoods[] = {1, 3, 5};
const uint32_t kDefaultMin = 2;
const uint32_t kOtherMins[] = {1, 5};
static_assert(std::size(kCoarseFractions) + 1 + std::size(kOtherMins) == kSuggestTolerances);
constexpr double kTie = 1e-12;

// Rounds to two significant digits.
double twoDigits(double v) {
    const double scale = std::pow(10.0, 1.0 - std::floor(std::log10(v)));
    return std::round(v * scale) / scale;
}

// Trains one tool per fold and scores them on their held-out tiles.
class CrossValidation {
public:
    explicit CrossValidation(const kvSpatialFolds& folds) : folds_(folds) {}

    void train(const kvCompositeColorSegmenterTrainParams& params) {
        tools_.assign(folds_.folds(), kvCompositeColorSegmenterTool());
        for (uint32_t f = 0; f < folds_.folds(); ++f) {
            if (folds_.heldOut(f).empty()) continue;
            tools_[f].train(folds_.trainingSets(f), params);
            ++trainings_;
        }
    }

    kvLabelConfusion score(int32_t n) {
        return kvScoreHeldOut(folds_, tools_, kvCompositeColorSegmenterRunParams(n, false),
                              &runPixels_);
    }

    uint32_t trainings() const { return trainings_; }
    uint64_t runPixels() const { return runPixels_; }

private:
    const kvSpatialFolds& folds_;
    std::vector<kvCompositeColorSegmenterTool> tools_;
    uint32_t trainings_ = 0;
    uint64_t runPixels_ = 0;
};

struct Scored {
    kvSuggestCandidate candidate;
    kvLabelConfusion confusion;
};

// True when a beats b: a higher score, or on a tie the larger fraction, the
// larger minimum, the smaller neighbourhood.
bool beats(const kvSuggestCandidate& a, const kvSuggestCandidate& b) {
    if (std::fabs(a.balancedAccuracy - b.balancedAccuracy) > kTie)
        return a.balancedAccuracy > b.balancedAccuracy;
    if (a.trainParams.colorToleranceFrac() != b.trainParams.colorToleranceFrac())
        return a.trainParams.colorToleranceFrac() > b.trainParams.colorToleranceFrac();
    if (a.trainParams.colorToleranceMin() != b.trainParams.colorToleranceMin())
        return a.trainParams.colorToleranceMin() > b.trainParams.colorToleranceMin();
    return a.runParams.neighborhoodSize() < b.runParams.neighborhoodSize();
}

}  // namespace

kvLabelConfusion kvScoreHeldOut(const kvSpatialFolds& folds,
                                const std::vector<kvCompositeColorSegmenterTool>& tools,
                                const kvCompositeColorSegmenterRunParams& params,
                                uint64_t* runPixels) {
    // Writable copies, so that tiles can be cut from them as windows.
    std::vector<kv3PlanePelBuffer> pictures;
    for (const kv3PlanePelBuffer_const& image : folds.images())
        pictures.push_back(kfPelCopy(image));
    kvLabelConfusion confusion(folds.labels());
    const long margin = params.neighborhoodSize() / 2;
    for (uint32_t f = 0; f < folds.folds(); ++f)
        for (const kvHeldOutPiece& piece : folds.heldOut(f)) {
            const kv3PlanePelBuffer& picture = pictures[piece.image];
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
            tools.at(f).run(kv3PlanePelBuffer(p0, p1, p2), params, result);
            if (runPixels) *runPixels += static_cast<uint64_t>(grown.width() * grown.height());
            const kvPelBuffer_const<unsigned char> labels = result.labelImage();
            for (const kvHeldOutPixel& px : piece.pixels)
                confusion.add(px.label, *labels.pointToPel(px.x, px.y));
        }
    return confusion;
}

kvSuggestReport kvSuggestSegmenterParams(const std::vector<kvCompositeColorSet>& sets,
                                         const kvSuggestOptions& options) {
    const kvSpatialFolds folds(sets, options.folds, options.tileSize);
    CrossValidation cv(folds);
    std::vector<Scored> tried;
    std::size_t best = 0;
    uint32_t scored = 0;

    // Trains once for the tolerance, then scores each neighbourhood.
    const auto tryTolerance = [&](double frac, uint32_t min, const std::vector<int32_t>& sizes,
                                  const char* stage) {
        const kvCompositeColorSegmenterTrainParams trainParams(frac, min);
        cv.train(trainParams);
        for (int32_t n : sizes) {
            kvLabelConfusion confusion = cv.score(n);
            const kvSuggestCandidate c{trainParams, kvCompositeColorSegmenterRunParams(n, false),
                                       stage, confusion.balancedAccuracy()};
            tried.push_back({c, std::move(confusion)});
            if (tried.size() == 1 || beats(c, tried[best].candidate)) best = tried.size() - 1;
        }
        if (options.progress) options.progress(++scored);
    };
    const auto bestFrac = [&] { return tried[best].candidate.trainParams.colorToleranceFrac(); };
    const auto bestN = [&] { return tried[best].candidate.runParams.neighborhoodSize(); };

    const std::vector<int32_t> sizes(std::begin(kNeighborhoods), std::end(kNeighborhoods));
    for (double frac : kCoarseFractions) tryTolerance(frac, kDefaultMin, sizes, "coarse");

    // Refine between the best coarse fraction and the better of its
    // neighbours (on a tie the larger one): the score falls off more slowly on
    // that side, so a better fraction is likelier there.
    const auto bestScoreAt = [&](double frac) {
        double score = -1.0;
        for (const Scored& s : tried)
            if (s.candidate.trainParams.colorToleranceFrac() == frac)
                score = std::max(score, s.candidate.balancedAccuracy);
        return score;
    };
    const double* coarse =
        std::find(std::begin(kCoarseFractions), std::end(kCoarseFractions), bestFrac());
    const double* below = coarse == std::begin(kCoarseFractions) ? nullptr : coarse - 1;
    const double* above = coarse + 1 == std::end(kCoarseFractions) ? nullptr : coarse + 1;
    const double* toward =
        !below || (above && bestScoreAt(*above) >= bestScoreAt(*below) - kTie) ? above : below;
    if (toward) tryTolerance(twoDigits(std::sqrt(*toward * *coarse)), kDefaultMin, sizes, "fine");

    const double frac = bestFrac();
    for (uint32_t min : kOtherMins) tryTolerance(frac, min, {bestN()}, "minimum");

    kvSuggestReport report;
    report.trainParams = tried[best].candidate.trainParams;
    report.runParams = tried[best].candidate.runParams;
    for (const Scored& s : tried) report.candidates.push_back(s.candidate);
    report.chosen = best;
    report.heldOut = tried[best].confusion;
    report.folds = folds.folds();
    report.tileSize = folds.tileSize();
    report.trainings = cv.trainings();
    report.runPixels = cv.runPixels();
    return report;
}
