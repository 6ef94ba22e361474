// The brightness-gain search of a run with intensity normalisation.
#pragma once

#include <vector>

#include "clsg/clrsgint/color_model.h"
#include "clsg/colorseg/params.h"
#include "clsg/platform/three_plane.h"

namespace clsgint {

// Entry i: i * gain in double, to single precision, rounded by iRound and
// clamped to 0..255. Gain 1 gives the identity.
std::vector<unsigned char> makeGainTable(double gain);

// A new image whose planes are the source's mapped through table, with the
// source's colour space and transforms.
kv3PlanePelBuffer mapPlanes(const kv3PlanePelBuffer_const& source,
                            const std::vector<unsigned char>& table);

// The sum over the image of the best label score at each pixel.
double intensityObjective(const kvCompositeColorSegmenterModel& model,
                          const kvCompositeColorSegmenterRunParams& searchParams,
                          const kv3PlanePelBuffer_const& image);

// The gain that maximises the objective on a 10 x 10 subsample of image,
// found by a step-halving search from gain 1.
double searchIntensityGain(const kvCompositeColorSegmenterModel& model,
                           const kvCompositeColorSegmenterRunParams& params,
                           const kv3PlanePelBuffer_const& image);

// The same search on the subsample itself.
double searchIntensityGainOnSample(const kvCompositeColorSegmenterModel& model,
                                   const kvCompositeColorSegmenterRunParams& params,
                                   const kv3PlanePelBuffer_const& sample);

}  // namespace clsgint
