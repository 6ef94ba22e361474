#include "clsg/clrsgint/label_scores.h"

#include <algorithm>
#include <cstring>

#include "clsg/clrsgint/buffer_views.h"
#include "clsg/clrsgint/instance_scoring.h"

namespace {

// First instance of each label, in the model's set-major order.
std::vector<std::size_t> firstInstances(const kvCompositeColorSegmenterModel& model) {
    std::vector<std::size_t> first(model.instanceCounts.size() + 1, 0);
    for (std::size_t l = 0; l < model.instanceCounts.size(); ++l)
        first[l + 1] = first[l] + model.instanceCounts[l];
    return first;
}

double scorerBytes(long width, int32_t neighborhoodSize) {
    const double n = std::max(neighborhoodSize, 1);
    return 8.0 * n * (static_cast<double>(width) + n + 128);
}

}  // namespace

bool clsgint::scoreTogether(const kvCompositeColorSegmenterModel& model, long width,
                            int32_t neighborhoodSize, double togetherBytes) {
    return scorerBytes(width, neighborhoodSize) *
               static_cast<double>(model.instanceModels.size()) <=
           togetherBytes;
}

void clsgint::scoreLabel(const kvCompositeColorSegmenterModel& model, const kvPlanesView& image,
                         int32_t neighborhoodSize, std::size_t label,
                         const kvImageView<double>& out) {
    const std::size_t first = firstInstances(model).at(label);
    for (uint32_t i = 0; i < model.instanceCounts.at(label); ++i) {
        const kvCompositeColorInstanceModel& m = model.instanceModels.at(first + i);
        scoreInstancePlanes(image, m.quantTable.data(), m.weights.data(),
                            static_cast<int32_t>(m.levelCount), m.normFactor, neighborhoodSize,
                            i == 0, out);
    }
}

void clsgint::computeLabelScores(const kvCompositeColorSegmenterModel& model,
                                 const kv3PlanePelBuffer_const& image,
                                 const kvCompositeColorSegmenterRunParams& params,
                                 std::vector<kvPelBuffer<double>>& labelScores) {
    std::vector<kvPelBuffer<double>> scores(model.instanceCounts.size());
    for (std::size_t l = 0; l < scores.size(); ++l) {
        scores[l] = kvPelBuffer<double>(image.window(), 32);
        scoreLabel(model, planesOf(image), params.neighborhoodSize(), l, viewOf(scores[l]));
    }
    labelScores.swap(scores);
}

clsgint::LabelScoreRows::LabelScoreRows(const kvCompositeColorSegmenterModel& model,
                                        const kv3PlanePelBuffer_const& image,
                                        int32_t neighborhoodSize, std::vector<std::size_t> labels,
                                        double togetherBytes)
    : labels_(std::move(labels)), rows_(labels_.size()) {
    const kvPlanesView planes = planesOf(image);
    const std::vector<std::size_t> first = firstInstances(model);
    double instances = 0;
    for (std::size_t l : labels_) instances += model.instanceCounts.at(l);
    if (scorerBytes(planes.width, neighborhoodSize) * instances > togetherBytes) {
        for (std::size_t l : labels_) {
            whole_.emplace_back(image.window(), 32);
            scoreLabel(model, planes, neighborhoodSize, l, viewOf(whole_.back()));
        }
        return;
    }
    for (std::size_t l : labels_) {
        instances_.push_back(model.instanceCounts[l]);
        for (uint32_t i = 0; i < model.instanceCounts[l]; ++i) {
            const kvCompositeColorInstanceModel& m = model.instanceModels.at(first[l] + i);
            scorers_.push_back(std::make_unique<InstanceRowScorer>(
                planes, m.quantTable.data(), m.weights.data(), static_cast<int32_t>(m.levelCount),
                m.normFactor, neighborhoodSize));
            // Instances quantise alike (all of a model's do): the first one's cells serve all.
            if (scorers_.size() > 1) scorers_.back()->shareCells(*scorers_.front());
        }
    }
    stride_ = static_cast<std::size_t>(std::max(planes.width, 0L) + 8);
    scratch_.resize(stride_ * labels_.size());
    for (std::size_t i = 0; i < labels_.size(); ++i) rows_[i] = scratch_.data() + i * stride_;
}

clsgint::LabelScoreRows::LabelScoreRows(const std::vector<kvPelBuffer<double>>& scores,
                                        std::vector<std::size_t> labels)
    : labels_(std::move(labels)), rows_(labels_.size()) {
    for (std::size_t l : labels_) whole_.push_back(scores.at(l));
}

clsgint::LabelScoreRows::LabelScoreRows(LabelScoreRows&&) noexcept = default;
clsgint::LabelScoreRows::~LabelScoreRows() = default;

const double* const* clsgint::LabelScoreRows::row(long y) {
    if (!whole_.empty()) {
        for (std::size_t i = 0; i < whole_.size(); ++i) rows_[i] = whole_[i].pointToRow(y);
        return rows_.data();
    }
    std::size_t k = 0;
    for (std::size_t i = 0; i < labels_.size(); ++i)
        for (uint32_t n = 0; n < instances_[i]; ++n)
            scorers_[k++]->scoreRow(y, n == 0, scratch_.data() + i * stride_);
    return rows_.data();
}
