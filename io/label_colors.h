// Display colours of labels (part of the clsg_files library), as 0xRRGGBB.
//
// labelColors gives each label the colour a user expects: the one chosen for
// it; else, for a name that is a CSS colour name, that colour unless a label
// chosen for or named before has it; else, when its
// examples are known, a colour near their mean, kept distinct from the labels
// before it; else one derived from its name (assignLabelColors).
//
// A label without a chosen colour gets one derived from its name: a hash of
// the name picks a slot in a fixed palette of well-separated colours, and a
// name whose slot is taken (or too close to a chosen colour) moves to the
// next free slot. Labels are placed in the order of their hashes, not of the
// labels, so reordering labels changes nothing and adding one moves another
// only when the two compete for a slot. Up to 64 derived colours are
// distinct; beyond that colours may repeat.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "clsg/colorseg/composite_color.h"

namespace clsg {

// One colour per name; chosen[i], when set, is kept for names[i].
std::vector<uint32_t> assignLabelColors(const std::vector<std::string>& names,
                                        const std::vector<std::optional<uint32_t>>& chosen = {});

// The colour of a CSS colour name, ignoring case, '-', '_' and spaces
// ("Dark-Green" is darkgreen); none for any other name.
std::optional<uint32_t> namedColor(const std::string& name);

// The mean colour of the selected pixels of the set's examples (pixels whose
// mask is non-zero; all of an example without a mask); none when none is.
std::optional<uint32_t> meanExampleColor(const kvCompositeColorSet& set);

// The colours by the rule above; chosen and means may be shorter than names.
std::vector<uint32_t> labelColors(const std::vector<std::string>& names,
                                  const std::vector<std::optional<uint32_t>>& chosen,
                                  const std::vector<std::optional<uint32_t>>& means);

// "#rrggbb".
std::string colorText(uint32_t rgb);
// Parses "#RRGGBB" (either case); false for anything else.
bool parseColorText(const std::string& text, uint32_t* rgb);

inline std::array<unsigned char, 3> colorBytes(uint32_t rgb) {
    return {static_cast<unsigned char>(rgb >> 16), static_cast<unsigned char>(rgb >> 8),
            static_cast<unsigned char>(rgb)};
}

}  // namespace clsg
