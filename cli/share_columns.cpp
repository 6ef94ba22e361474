#include "cli/share_columns.h"

#include <cstdio>

namespace clsg {

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string shareField(double share, uint64_t pixels) {
    int decimals = 0;  // as many as pixels has digits: 10^decimals > pixels
    for (uint64_t p = pixels; p > 0; p /= 10) ++decimals;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals < 6 ? 6 : decimals, share);
    return text;
}

std::vector<std::string> shareColumns(const std::vector<std::string>& labels,
                                      std::vector<std::string> taken) {
    // A later label's bare name is kept for it: "share_a" beside a label
    // named "share_a" moves on to "share_share_a".
    taken.insert(taken.end(), labels.begin(), labels.end());
    const auto isTaken = [&](const std::string& name, std::size_t self) {
        for (std::size_t k = 0; k < taken.size(); ++k)
            if (k != self && taken[k] == name) return true;
        return false;
    };
    std::vector<std::string> columns;
    const std::size_t first = taken.size() - labels.size();
    for (std::size_t i = 0; i < labels.size(); ++i) {
        std::string column = labels[i];
        while (isTaken(column, first + i)) column = "share_" + column;
        taken[first + i] = column;
        columns.push_back(column);
    }
    return columns;
}

}  // namespace clsg
