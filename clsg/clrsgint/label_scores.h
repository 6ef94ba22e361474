// Scoring an image against every label of a trained model.
#pragma once

#include <vector>

#include "clsg/clrsgint/color_model.h"
#include "clsg/colorseg/params.h"
#include "platform/three_plane.h"

namespace clsgint {

// One score image per label, over the image's window: at each pixel the
// largest score of the label's instances (the first instance keeps ties).
// Buffers labelScores already holds are refilled where takeBuffer allows.
void computeLabelScores(const kvCompositeColorSegmenterModel& model,
                        const kv3PlanePelBuffer_const& image,
                        const kvCompositeColorSegmenterRunParams& params,
                        std::vector<kvPelBuffer<double>>& labelScores);

// Scores one instance into out: with first, out becomes a buffer of the
// image's window (its own pels reused where takeBuffer allows) holding the
// scores; otherwise out keeps its value wherever
// it is not strictly below the new score.
void scoreInstance(const kvCompositeColorInstanceModel& instance,
                   const kv3PlanePelBuffer_const& image,
                   const kvCompositeColorSegmenterRunParams& params, kvPelBuffer<double>& out,
                   bool first);

}  // namespace clsgint
