// Scoring an image against every label of a trained model.
#pragma once

#include <vector>

#include "clsg/clrsgint/color_model.h"
#include "clsg/colorseg/params.h"
#include "clsg/platform/three_plane.h"

namespace clsgint {

// The label and confidence images a run may build along with the scores.
struct LabelImages {
    kvPelBuffer<unsigned char>* label;
    kvPelBuffer<unsigned char>* confidence;
};

// Working memory up to which computeLabelScores scores all instances row by
// row together (beyond it, large neighbourhoods on wide images, one after the
// other).
constexpr double kScoreTogetherBytes = 32.0 * 1024 * 1024;
// Score images larger than this in all are written around the cache when
// scored together: they would push the rest of a frame out of it, and nothing
// reads them again soon. Smaller ones (a band of a tiled run, say) stay cached
// for the derived images built from them next.
constexpr double kStreamScoreBytes = 12.0 * 1024 * 1024;

// One score image per label, over the image's window: at each pixel the
// largest score of the label's instances (the first instance keeps ties).
// With labelImages, also the label and confidence images of labelPassRow.
// Buffers already held (labelScores, *label, *confidence) are refilled where
// takeBuffer allows. Polls for an abort before every row whose absolute y is
// a multiple of 16; an abort leaves the buffers partly written. The result
// does not depend on togetherBytes or streamBytes.
void computeLabelScores(const kvCompositeColorSegmenterModel& model,
                        const kv3PlanePelBuffer_const& image,
                        const kvCompositeColorSegmenterRunParams& params,
                        std::vector<kvPelBuffer<double>>& labelScores,
                        LabelImages* labelImages = nullptr,
                        double togetherBytes = kScoreTogetherBytes,
                        double streamBytes = kStreamScoreBytes);

}  // namespace clsgint
