// Training: fills a trained colour model from the examples of every label.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "clsg/clrsgint/color_model.h"
#include "clsg/colorseg/composite_color.h"
#include "clsg/colorseg/params.h"

namespace clsgint {

// Fills every field of model (which must be empty) from the sets, the
// parameters and the tolerance scale S. Throws BadImage (empty message) for
// an image in which no pixel is selected, and whatever the abort check throws.
void buildColorTables(kvCompositeColorSegmenterModel& model,
                      const std::vector<kvCompositeColorSet>& compositeColors,
                      const kvCompositeColorSegmenterTrainParams& params, int32_t toleranceScale);

// Fills one instance model from one example, with the shared tables that
// buildColorTables has already written into model.
void buildInstanceModel(kvCompositeColorInstanceModel& instance, const kvCompositeColor& example,
                        const kvCompositeColorSegmenterTrainParams& params, int32_t levelCount,
                        const std::array<unsigned char, 256>& quant,
                        const kvCompositeColorSegmenterModel& model);

}  // namespace clsgint
