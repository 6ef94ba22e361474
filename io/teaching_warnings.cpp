#include "clsg/io/teaching_warnings.h"

#include <algorithm>
#include <cstdio>

#include "clsg/io/label_colors.h"

namespace clsg {

std::vector<std::string> teachingWarnings(const std::vector<std::string>& names,
                                          const std::vector<kvCompositeColorSet>& sets,
                                          const std::vector<uint32_t>& colours) {
    std::vector<std::string> said;
    const auto pair = [&](std::size_t i, std::size_t j) {
        return "labels " + names[i] + " and " + names[j];
    };
    for (std::size_t i = 0; i < sets.size() && i < names.size(); ++i)
        for (std::size_t j = i + 1; j < sets.size() && j < names.size(); ++j)
            if (sets[i] == sets[j])
                said.push_back(pair(i, j) +
                               " have identical examples, so no pixel can be told to be one "
                               "rather than the other");
    for (std::size_t i = 0; i < colours.size() && i < names.size(); ++i)
        for (std::size_t j = i + 1; j < colours.size() && j < names.size(); ++j)
            if (colours[i] == colours[j])
                said.push_back(pair(i, j) + " have the same colour " + colorText(colours[i]) +
                               ", so the overlay cannot tell them apart");
    return said;
}

std::string narrowImageNote(const std::string& name, long width, long height, int32_t n) {
    const long side = std::min(width, height);
    if (n < 28 || side >= n) return "";
    return name + " is " + std::to_string(side) + (side == 1 ? " pixel" : " pixels") +
           " across, fewer than the neighbourhood " + std::to_string(n) +
           ": from 28 on the pixels nearest each one weigh 0 in its score, so some of its pixels "
           "may get no label whatever their colour (a neighbourhood of 27 or less weighs them "
           "all)";
}

std::vector<std::string> estimateWarnings(std::size_t labels, double estimate) {
    if (labels == 1)
        return {
            "with one label the search has no other colour to tell it from, so nothing keeps "
            "its tolerance narrow and its estimate cannot show the pixels the label claims "
            "wrongly: teach a label for the rest of the picture too, or give the tolerance by "
            "hand"};
    // Held-out pixels split about evenly between labels of one colour land a
    // point or two either side of chance: within a tenth of the way from
    // chance to perfect, nothing was learnt that can be told from luck.
    const double chance = labels > 1 ? 1.0 / static_cast<double>(labels) : 1.0;
    if (labels > 1 && estimate <= chance + 0.1 * (1.0 - chance)) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "the estimate (%.1f %%) is little or no better than choosing among the %zu "
                      "labels at random (%.1f %%)",
                      100.0 * estimate, labels, 100.0 * chance);
        return {std::string(text) +
                ": the examples are likely too few or too small to learn from, or the labels' "
                "colours alike"};
    }
    return {};
}

}  // namespace clsg
