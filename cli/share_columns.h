// The CSV tables clsg writes (run's summary and region tables, a video's
// frames): their fields, and the columns of the per-label shares.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace clsg {

// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string csvField(const std::string& text);

// A label's share of an image of the given number of pixels, with the
// decimals that give its pixel count back (six; more from a million pixels
// on): a label present is never written as 0.
std::string shareField(double share, uint64_t pixels);

// The share column of each label: its name, or "share_" before it (as many
// times as needed) where the name is one of taken (the table's other
// columns) or an earlier label's column. Label names are distinct.
std::vector<std::string> shareColumns(const std::vector<std::string>& labels,
                                      std::vector<std::string> taken);

}  // namespace clsg
