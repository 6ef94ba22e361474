// Whole-buffer pixel operations and the integer helpers used with them.
// An empty window (no width or no height) is handled without walking its
// rows, however long its other side is.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "clsg/platform/three_plane.h"

// Independent copies: same window, same transform, pels of their own. A
// colour image keeps its colour-space tag, bound or not.
kvPelBuffer<unsigned char> kfPelCopy(const kvPelBuffer_const<unsigned char>& src);
kvPelBuffer<double> kfPelCopy(const kvPelBuffer_const<double>& src);
inline kvPelBuffer<unsigned char> kfPelCopy(const kvPelBuffer<unsigned char>& src) {
    return kfPelCopy(kvPelBuffer_const<unsigned char>(src));
}
inline kvPelBuffer<double> kfPelCopy(const kvPelBuffer<double>& src) {
    return kfPelCopy(kvPelBuffer_const<double>(src));
}
kv3PlanePelBuffer kfPelCopy(const kv3PlanePelBuffer_const& src);

// Equal sizes and equal pel values, compared in row order (the windows'
// positions do not matter). Unbound buffers are equal only to unbound ones.
bool kfPelEqual(const kvPelBuffer_const<unsigned char>& a,
                const kvPelBuffer_const<unsigned char>& b);
bool kfPelEqual(const kvPelBuffer_const<double>& a, const kvPelBuffer_const<double>& b);

// Counts of each pel value over the window.
std::array<uint64_t, 256> kfPelHistogram(const kvPelBuffer_const<unsigned char>& src);

// A new buffer of table[pel] for every pel (table needs 256 entries).
kvPelBuffer<unsigned char> kfPelMap(const kvPelBuffer_const<unsigned char>& src,
                                    const std::vector<unsigned char>& table);

// Keeps the pels at offsets 0, fx, 2 fx, ... across and 0, fy, ... down from
// the window's top-left corner: a W x H window gives ceil(W / fx) x
// ceil(H / fy) pels, in a window with the same top-left corner.
kvPelBuffer<unsigned char> kfPelSample(const kvPelBuffer_const<unsigned char>& src, long fx,
                                       long fy);

void kfPelSet(kvPelBuffer<double>& dst, double value);
void kfPelSet(kvPelBuffer<unsigned char>& dst, unsigned char value);
inline void kfPelSet_U8(kvPelBuffer<unsigned char>& dst, unsigned char value) {
    kfPelSet(dst, value);
}

inline long kfILimit(long value, long low, long high) {
    return value < low ? low : (value > high ? high : value);
}

// Nearest integer, halves away from zero; NaN gives 0 and values beyond the
// 32-bit range saturate. Inline: the derived images call it once per pel.
inline int32_t iRound(float value) {
    const double v = value;                                   // exact, so v + 0.5 is exact too
    if (!(v > -2147483648.5)) return v != v ? 0 : INT32_MIN;  // NaN, or too low
    if (!(v < 2147483647.5)) return INT32_MAX;
    const double r = v >= 0.0 ? v + 0.5 : v - 0.5;
    return static_cast<int32_t>(r);  // truncates toward zero, in range
}
