// What a newly taught set of labels, or a run of it, cannot do, in words for
// the user (part of the clsg_files library): the programs print these as
// warnings or notes and the Python package raises them as UserWarning, so
// both say the same.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "clsg/colorseg/composite_color.h"

namespace clsg {

// One sentence per pair of labels (names[i], names[j], i < j) whose examples
// are identical (no pixel can be told to be one rather than the other) and
// per pair that shares a display colour (the overlay cannot tell them apart).
// sets and colours are in the order of names.
std::vector<std::string> teachingWarnings(const std::vector<std::string>& names,
                                          const std::vector<kvCompositeColorSet>& sets,
                                          const std::vector<uint32_t>& colours);

// A run's note on an image (named name) of the given size: from a
// neighbourhood n of 28 on the weights nearest the centre are 0, so in an
// image (or a strip of one) narrower than n a pixel whose weighted
// neighbours all lie outside it scores 0, whatever its colour. Empty when
// there is nothing to say.
std::string narrowImageNote(const std::string& name, long width, long height, int32_t n);

}  // namespace clsg
