// Column names for the per-label shares of a CSV table (run's summary, a
// video's frames): each label's own name, unless another column has it.
#pragma once

#include <string>
#include <vector>

namespace clsg {

// The share column of each label: its name, or "share_" before it (as many
// times as needed) where the name is one of taken (the table's other
// columns) or an earlier label's column. Label names are distinct.
std::vector<std::string> shareColumns(const std::vector<std::string>& labels,
                                      std::vector<std::string> taken);

}  // namespace clsg
