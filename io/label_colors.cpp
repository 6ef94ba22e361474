#include "clsg/io/label_colors.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

namespace clsg {

namespace {

constexpr std::size_t kPaletteSize = 64;
constexpr std::size_t kHandPicked = 18;

// 18 hand-picked colours, then hues spaced by the golden angle at three
// brightness levels.
const std::array<uint32_t, kPaletteSize>& palette() {
    static const std::array<uint32_t, kPaletteSize> colours = [] {
        std::array<uint32_t, kPaletteSize> c = {0xe6194b, 0x3cb44b, 0xffe119, 0x0082c8, 0xf58230,
                                                0x911eb4, 0x46f0f0, 0xf032e6, 0xd2f53c, 0xfabed4,
                                                0x008080, 0xdcbeff, 0xaa6e28, 0x800000, 0xaaffc3,
                                                0x808000, 0x000080, 0x808080};
        for (std::size_t k = kHandPicked; k < kPaletteSize; ++k) {
            const unsigned hue = static_cast<unsigned>((k * 137.508)) % 360;
            const unsigned value = 255 - 60 * static_cast<unsigned>(k % 3);  // 255, 195, 135
            const unsigned low = value / 4;
            const unsigned f = hue % 60, up = low + (value - low) * f / 60,
                           down = value - (value - low) * f / 60;
            unsigned r, g, b;
            switch (hue / 60) {
                case 0:
                    r = value, g = up, b = low;
                    break;
                case 1:
                    r = down, g = value, b = low;
                    break;
                case 2:
                    r = low, g = value, b = up;
                    break;
                case 3:
                    r = low, g = down, b = value;
                    break;
                case 4:
                    r = up, g = low, b = value;
                    break;
                default:
                    r = value, g = low, b = down;
                    break;
            }
            c[k] = r << 16 | g << 8 | b;
        }
        return c;
    }();
    return colours;
}

// FNV-1a.
uint32_t nameHash(const std::string& s) {
    uint32_t h = 2166136261u;
    for (unsigned char c : s) h = (h ^ c) * 16777619u;
    return h;
}

bool close(uint32_t a, uint32_t b) {
    long d = 0;
    for (int shift : {16, 8, 0}) {
        const long x =
            static_cast<long>((a >> shift) & 255) - static_cast<long>((b >> shift) & 255);
        d += x * x;
    }
    return d < 48 * 48;
}

}  // namespace

std::vector<uint32_t> assignLabelColors(const std::vector<std::string>& names,
                                        const std::vector<std::optional<uint32_t>>& chosen) {
    std::vector<uint32_t> colours(names.size(), 0);
    std::vector<uint32_t> taken;
    std::vector<std::size_t> derived;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i < chosen.size() && chosen[i]) {
            colours[i] = *chosen[i] & 0xffffff;
            taken.push_back(colours[i]);
        } else {
            derived.push_back(i);
        }
    }
    std::sort(derived.begin(), derived.end(), [&](std::size_t a, std::size_t b) {
        const uint32_t ha = nameHash(names[a]), hb = nameHash(names[b]);
        return ha != hb ? ha < hb : names[a] < names[b];
    });
    std::array<bool, kPaletteSize> used{};
    for (std::size_t i : derived) {
        const uint32_t h = nameHash(names[i]);
        const std::size_t start = h % kPaletteSize;
        colours[i] = 0x808080 ^ (h & 0x7f7f7f);  // all slots taken: from the hash alone
        for (std::size_t step = 0; step < kPaletteSize; ++step) {
            const std::size_t slot = (start + step) % kPaletteSize;
            const uint32_t c = palette()[slot];
            if (used[slot] ||
                std::any_of(taken.begin(), taken.end(), [c](uint32_t t) { return close(c, t); }))
                continue;
            used[slot] = true;
            colours[i] = c;
            break;
        }
    }
    return colours;
}

std::string colorText(uint32_t rgb) {
    char text[8];
    std::snprintf(text, sizeof text, "#%06x", static_cast<unsigned>(rgb & 0xffffff));
    return text;
}

bool parseColorText(const std::string& text, uint32_t* rgb) {
    if (text.size() != 7 || text[0] != '#') return false;
    uint32_t v = 0;
    for (std::size_t i = 1; i < 7; ++i) {
        const char c = text[i];
        const int d = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
        if (d < 0) return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    *rgb = v;
    return true;
}

}  // namespace clsg
