// Scoring an image against every label of a trained model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "clsg/clrsgint/color_model.h"
#include "clsg/clrsgint/plane_view.h"
#include "clsg/colorseg/params.h"
#include "clsg/platform/three_plane.h"

namespace clsgint {

class InstanceRowScorer;

// Working memory up to which the instances are scored row by row together
// (beyond it, large neighbourhoods on wide images, one after the other over
// whole images).
constexpr double kScoreTogetherBytes = 32.0 * 1024 * 1024;

// Whether the row scorers of all of the model's instances fit in togetherBytes
// for an image width and neighbourhood size.
bool scoreTogether(const kvCompositeColorSegmenterModel& model, long width,
                   int32_t neighborhoodSize, double togetherBytes = kScoreTogetherBytes);

// Label `label`'s score image over the image's window into out (same window):
// at each pixel the largest score of the label's instances, the first instance
// keeping ties. Polls for an abort before every row whose absolute y is a
// multiple of 16; an abort leaves out partly written.
void scoreLabel(const kvCompositeColorSegmenterModel& model, const kvPlanesView& image,
                int32_t neighborhoodSize, std::size_t label, const kvImageView<double>& out);

// One new score image per label over the image's window (scoreLabel for each),
// replacing what labelScores held.
void computeLabelScores(const kvCompositeColorSegmenterModel& model,
                        const kv3PlanePelBuffer_const& image,
                        const kvCompositeColorSegmenterRunParams& params,
                        std::vector<kvPelBuffer<double>>& labelScores);

// The score rows of some labels, one image row at a time from the top, with
// the bytes scoreLabel writes. Where the row scorers of the chosen labels'
// instances fit in togetherBytes, each row is scored when asked, into a
// scratch row per label (about 8 * N * (width + N + 128) bytes per instance);
// otherwise the constructor scores the chosen labels' whole images and the
// rows point into them (8 bytes per pixel and label, until destruction).
// The model and the image must outlive the object.
class LabelScoreRows {
public:
    LabelScoreRows(const kvCompositeColorSegmenterModel& model,
                   const kv3PlanePelBuffer_const& image, int32_t neighborhoodSize,
                   std::vector<std::size_t> labels, double togetherBytes = kScoreTogetherBytes);
    // Rows of score images already held (stored results).
    LabelScoreRows(const std::vector<kvPelBuffer<double>>& scores, std::vector<std::size_t> labels);
    LabelScoreRows(LabelScoreRows&&) noexcept;
    ~LabelScoreRows();

    // Row y's scores, row(y)[i] for labels[i]. Rows are asked for in turn,
    // from the window's top row down, each once. No abort poll.
    const double* const* row(long y);

private:
    std::vector<std::size_t> labels_;
    std::vector<uint32_t> instances_;  // per chosen label, when scored row by row
    std::vector<std::unique_ptr<InstanceRowScorer>> scorers_;
    std::vector<double> scratch_;
    std::size_t stride_ = 0;
    std::vector<kvPelBuffer<double>> whole_;  // per chosen label, when held whole
    std::vector<const double*> rows_;
};

}  // namespace clsgint
