#include "clsg/io/label_colors.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <utility>

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

long distance2(uint32_t a, uint32_t b) {
    long d = 0;
    for (int shift : {16, 8, 0}) {
        const long x =
            static_cast<long>((a >> shift) & 255) - static_cast<long>((b >> shift) & 255);
        d += x * x;
    }
    return d;
}

bool close(uint32_t a, uint32_t b) { return distance2(a, b) < 48 * 48; }

// Colours closer than this (in RGB) are hard to tell apart in an overlay.
constexpr long kDistinct = 64;

// (1 - t) a + t b per channel, rounded.
uint32_t mix(uint32_t a, uint32_t b, double t) {
    uint32_t out = 0;
    for (int shift : {16, 8, 0}) {
        const double x = ((a >> shift) & 255) * (1 - t) + ((b >> shift) & 255) * t;
        out |= static_cast<uint32_t>(std::lround(std::min(255.0, std::max(0.0, x)))) << shift;
    }
    return out;
}

// mean, its colourfulness raised a little so that the overlay stands out
// from the photograph, then moved towards white or black in growing steps
// until no taken colour is close; the first distinct one.
std::optional<uint32_t> nearMean(uint32_t mean, const std::vector<uint32_t>& taken) {
    const uint32_t r = mean >> 16 & 255, g = mean >> 8 & 255, b = mean & 255;
    const uint32_t grey = (r + g + b) / 3;
    const uint32_t vivid = mix(grey * 0x010101u, mean, 1.25);
    const auto distinct = [&](uint32_t c) {
        return std::all_of(taken.begin(), taken.end(),
                           [c](uint32_t t) { return distance2(c, t) >= kDistinct * kDistinct; });
    };
    if (distinct(vivid)) return vivid;
    const bool light = grey >= 128;
    for (int step = 1; step <= 6; ++step)
        for (const uint32_t towards : {light ? 0u : 0xffffffu, light ? 0xffffffu : 0u}) {
            const uint32_t c = mix(vivid, towards, 0.14 * step);
            if (distinct(c)) return c;
        }
    return std::nullopt;
}

}  // namespace

std::optional<uint32_t> namedColor(const std::string& name) {
    // The CSS colour names, sorted.
    static const std::pair<const char*, uint32_t> kNames[] = {
        {"aliceblue", 0xf0f8ff},
        {"antiquewhite", 0xfaebd7},
        {"aqua", 0x00ffff},
        {"aquamarine", 0x7fffd4},
        {"azure", 0xf0ffff},
        {"beige", 0xf5f5dc},
        {"bisque", 0xffe4c4},
        {"black", 0x000000},
        {"blanchedalmond", 0xffebcd},
        {"blue", 0x0000ff},
        {"blueviolet", 0x8a2be2},
        {"brown", 0xa52a2a},
        {"burlywood", 0xdeb887},
        {"cadetblue", 0x5f9ea0},
        {"chartreuse", 0x7fff00},
        {"chocolate", 0xd2691e},
        {"coral", 0xff7f50},
        {"cornflowerblue", 0x6495ed},
        {"cornsilk", 0xfff8dc},
        {"crimson", 0xdc143c},
        {"cyan", 0x00ffff},
        {"darkblue", 0x00008b},
        {"darkcyan", 0x008b8b},
        {"darkgoldenrod", 0xb8860b},
        {"darkgray", 0xa9a9a9},
        {"darkgreen", 0x006400},
        {"darkgrey", 0xa9a9a9},
        {"darkkhaki", 0xbdb76b},
        {"darkmagenta", 0x8b008b},
        {"darkolivegreen", 0x556b2f},
        {"darkorange", 0xff8c00},
        {"darkorchid", 0x9932cc},
        {"darkred", 0x8b0000},
        {"darksalmon", 0xe9967a},
        {"darkseagreen", 0x8fbc8f},
        {"darkslateblue", 0x483d8b},
        {"darkslategray", 0x2f4f4f},
        {"darkslategrey", 0x2f4f4f},
        {"darkturquoise", 0x00ced1},
        {"darkviolet", 0x9400d3},
        {"deeppink", 0xff1493},
        {"deepskyblue", 0x00bfff},
        {"dimgray", 0x696969},
        {"dimgrey", 0x696969},
        {"dodgerblue", 0x1e90ff},
        {"firebrick", 0xb22222},
        {"floralwhite", 0xfffaf0},
        {"forestgreen", 0x228b22},
        {"fuchsia", 0xff00ff},
        {"gainsboro", 0xdcdcdc},
        {"ghostwhite", 0xf8f8ff},
        {"gold", 0xffd700},
        {"goldenrod", 0xdaa520},
        {"gray", 0x808080},
        {"green", 0x008000},
        {"greenyellow", 0xadff2f},
        {"grey", 0x808080},
        {"honeydew", 0xf0fff0},
        {"hotpink", 0xff69b4},
        {"indianred", 0xcd5c5c},
        {"indigo", 0x4b0082},
        {"ivory", 0xfffff0},
        {"khaki", 0xf0e68c},
        {"lavender", 0xe6e6fa},
        {"lavenderblush", 0xfff0f5},
        {"lawngreen", 0x7cfc00},
        {"lemonchiffon", 0xfffacd},
        {"lightblue", 0xadd8e6},
        {"lightcoral", 0xf08080},
        {"lightcyan", 0xe0ffff},
        {"lightgoldenrodyellow", 0xfafad2},
        {"lightgray", 0xd3d3d3},
        {"lightgreen", 0x90ee90},
        {"lightgrey", 0xd3d3d3},
        {"lightpink", 0xffb6c1},
        {"lightsalmon", 0xffa07a},
        {"lightseagreen", 0x20b2aa},
        {"lightskyblue", 0x87cefa},
        {"lightslategray", 0x778899},
        {"lightslategrey", 0x778899},
        {"lightsteelblue", 0xb0c4de},
        {"lightyellow", 0xffffe0},
        {"lime", 0x00ff00},
        {"limegreen", 0x32cd32},
        {"linen", 0xfaf0e6},
        {"magenta", 0xff00ff},
        {"maroon", 0x800000},
        {"mediumaquamarine", 0x66cdaa},
        {"mediumblue", 0x0000cd},
        {"mediumorchid", 0xba55d3},
        {"mediumpurple", 0x9370db},
        {"mediumseagreen", 0x3cb371},
        {"mediumslateblue", 0x7b68ee},
        {"mediumspringgreen", 0x00fa9a},
        {"mediumturquoise", 0x48d1cc},
        {"mediumvioletred", 0xc71585},
        {"midnightblue", 0x191970},
        {"mintcream", 0xf5fffa},
        {"mistyrose", 0xffe4e1},
        {"moccasin", 0xffe4b5},
        {"navajowhite", 0xffdead},
        {"navy", 0x000080},
        {"oldlace", 0xfdf5e6},
        {"olive", 0x808000},
        {"olivedrab", 0x6b8e23},
        {"orange", 0xffa500},
        {"orangered", 0xff4500},
        {"orchid", 0xda70d6},
        {"palegoldenrod", 0xeee8aa},
        {"palegreen", 0x98fb98},
        {"paleturquoise", 0xafeeee},
        {"palevioletred", 0xdb7093},
        {"papayawhip", 0xffefd5},
        {"peachpuff", 0xffdab9},
        {"peru", 0xcd853f},
        {"pink", 0xffc0cb},
        {"plum", 0xdda0dd},
        {"powderblue", 0xb0e0e6},
        {"purple", 0x800080},
        {"rebeccapurple", 0x663399},
        {"red", 0xff0000},
        {"rosybrown", 0xbc8f8f},
        {"royalblue", 0x4169e1},
        {"saddlebrown", 0x8b4513},
        {"salmon", 0xfa8072},
        {"sandybrown", 0xf4a460},
        {"seagreen", 0x2e8b57},
        {"seashell", 0xfff5ee},
        {"sienna", 0xa0522d},
        {"silver", 0xc0c0c0},
        {"skyblue", 0x87ceeb},
        {"slateblue", 0x6a5acd},
        {"slategray", 0x708090},
        {"slategrey", 0x708090},
        {"snow", 0xfffafa},
        {"springgreen", 0x00ff7f},
        {"steelblue", 0x4682b4},
        {"tan", 0xd2b48c},
        {"teal", 0x008080},
        {"thistle", 0xd8bfd8},
        {"tomato", 0xff6347},
        {"turquoise", 0x40e0d0},
        {"violet", 0xee82ee},
        {"wheat", 0xf5deb3},
        {"white", 0xffffff},
        {"whitesmoke", 0xf5f5f5},
        {"yellow", 0xffff00},
        {"yellowgreen", 0x9acd32},
    };
    std::string key;
    for (unsigned char c : name)
        if (c != '-' && c != '_' && c != ' ') key += static_cast<char>(std::tolower(c));
    const auto* end = std::end(kNames);
    const auto* it = std::lower_bound(std::begin(kNames), end, key,
                                      [](const std::pair<const char*, uint32_t>& e,
                                         const std::string& k) { return k.compare(e.first) > 0; });
    if (it == end || key != it->first) return std::nullopt;
    return it->second;
}

std::optional<uint32_t> meanExampleColor(const kvCompositeColorSet& set) {
    uint64_t sum[3] = {0, 0, 0}, count = 0;
    for (const kvCompositeColor& example : set.instances())
        for (std::size_t k = 0; k < example.images().size(); ++k) {
            const kv3PlanePelBuffer_const& image = example.images()[k];
            const kvPelBuffer_const<unsigned char>& mask = example.masks()[k];
            const kvPelRect& w = image.window();
            const kvPelBuffer_const<unsigned char>* planes[3] = {&image.plane0(), &image.plane1(),
                                                                 &image.plane2()};
            for (long y = w.top(); y < w.bottom(); ++y) {
                const unsigned char* rows[3] = {planes[0]->pointToRow(y), planes[1]->pointToRow(y),
                                                planes[2]->pointToRow(y)};
                const bool rowMasked =
                    mask.isBound() && y >= mask.window().top() && y < mask.window().bottom();
                for (long x = w.left(); x < w.right(); ++x) {
                    if (mask.isBound() &&
                        (!rowMasked || x < mask.window().left() || x >= mask.window().right() ||
                         *mask.pointToPel(x, y) == 0))
                        continue;
                    for (int c = 0; c < 3; ++c) sum[c] += rows[c][x - w.left()];
                    ++count;
                }
            }
        }
    if (count == 0) return std::nullopt;
    uint32_t out = 0;
    for (int c = 0; c < 3; ++c)
        out = out << 8 | static_cast<uint32_t>((sum[c] + count / 2) / count);
    return out;
}

std::vector<uint32_t> labelColors(const std::vector<std::string>& names,
                                  const std::vector<std::optional<uint32_t>>& chosen,
                                  const std::vector<std::optional<uint32_t>>& means) {
    std::vector<std::optional<uint32_t>> fixed(names.size());
    std::vector<uint32_t> taken;
    for (std::size_t i = 0; i < names.size(); ++i)
        if (i < chosen.size() && chosen[i]) taken.push_back(*(fixed[i] = *chosen[i] & 0xffffff));
    // A colour name gives its colour unless a label chosen for, or named
    // before, has it ("darkgreen" after "dark-green"): two labels of one
    // colour could not be told apart.
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::optional<uint32_t> named = fixed[i] ? std::nullopt : namedColor(names[i]);
        if (named && std::find(taken.begin(), taken.end(), *named) == taken.end())
            taken.push_back(*(fixed[i] = named));
    }
    for (std::size_t i = 0; i < names.size(); ++i)
        if (!fixed[i] && i < means.size() && means[i] && (fixed[i] = nearMean(*means[i], taken)))
            taken.push_back(*fixed[i]);
    return assignLabelColors(names, fixed);
}

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
