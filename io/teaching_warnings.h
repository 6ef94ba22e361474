// What a newly taught set of labels cannot do, in words for the user (part of
// the clsg_files library): the programs print these as warnings and the
// Python package raises them as UserWarning, so both say the same.
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

}  // namespace clsg
