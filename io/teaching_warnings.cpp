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
    const char* way = width == height ? " across" : width < height ? " wide" : " tall";
    return name + " is " + std::to_string(side) + (side == 1 ? " pixel" : " pixels") + way +
           ", fewer than the neighbourhood " + std::to_string(n) +
           ": from 28 on the pixels nearest each one weigh 0 in its score, so some of its pixels "
           "may get no label whatever their colour (a neighbourhood of 27 or less weighs them "
           "all)";
}

}  // namespace clsg
