// The brightness gain of intensity-normalised runs, for callers that run an
// image in pieces (bands, blocks, a visible region): search the gain once on
// the whole image, map each piece with it, and run the pieces without
// normalisation. Every piece then scores exactly as the same pixels of a
// normalised run of the whole image, once it carries a margin of half the
// neighbourhood size of the image around it (as any piece of any run must:
// a pixel's score takes in its neighbours).
#pragma once

#include "clsg/colorseg/segmenter_tool.h"
#include "clsg/platform/three_plane.h"

// The gain a run with normalizeIntensity would apply to image (searched on a
// 10 x 10 subsample taken from the window's top-left corner). Throws as run()
// does for an unbound, non-RGB or empty image, and NotTrained for an
// untrained tool.
double kfSearchIntensityGain(const kvCompositeColorSegmenterTool& tool,
                             const kv3PlanePelBuffer_const& image);

// The same gain from that subsample alone (pel (x, y) of sample is pel
// (left + 10x, top + 10y) of the image), for callers that cannot hold the
// whole image. Throws as kfSearchIntensityGain does.
double kfSearchIntensityGainOnSample(const kvCompositeColorSegmenterTool& tool,
                                     const kv3PlanePelBuffer_const& sample);

// A new image (same window, colour space and transforms) whose channel values
// v become v * gain rounded half away from zero and clamped to 0..255. Gain 1
// copies the image. Throws kvPel::UnboundWindow for an unbound image.
kv3PlanePelBuffer kfApplyIntensityGain(const kv3PlanePelBuffer_const& image, double gain);
