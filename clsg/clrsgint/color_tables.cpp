#include "clsg/clrsgint/color_tables.h"

#include <cmath>
#include <limits>

#include "clsg/platform/exception.h"

namespace {

// Truncation toward zero to signed 32 bits. Out-of-range values saturate and
// NaN gives 0, so that no input is undefined behaviour.
int32_t truncToInt32(double x) {
    if (!(x > -2147483649.0)) return std::isnan(x) ? 0 : std::numeric_limits<int32_t>::min();
    if (!(x < 2147483648.0)) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(x);
}

// Add 0.5 (or subtract it below zero), then truncate.
double halfAwayBiased(double x) { return x >= 0.0 ? x + 0.5 : x - 0.5; }

int32_t roundHalfAway(double x) { return truncToInt32(halfAwayBiased(x)); }

bool fitsInt32(double x) { return x > -2147483649.0 && x < 2147483648.0; }

// Two's complement reading of an unsigned 32-bit value.
int32_t asSigned(uint32_t u) {
    return u <= 0x7fffffffu ? static_cast<int32_t>(u)
                            : static_cast<int32_t>(static_cast<int64_t>(u) - 0x100000000LL);
}

int32_t limit255(int32_t v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

}  // namespace

int32_t clsgint::toleranceScale(double f) {
    int32_t m = roundHalfAway(f * 256.0);
    if (m <= 1) m = 1;
    return roundHalfAway(255.0 / std::sqrt(static_cast<double>(m)));
}

bool clsgint::trainFractionUsable(double f) {
    // |v * f| grows with v, so v = 255 bounds every tolerance product.
    return std::isfinite(f) && fitsInt32(halfAwayBiased(f * 256.0)) && fitsInt32(255.0 * f);
}

int32_t clsgint::buildSharedTables(kvCompositeColorSegmenterModel& model, double f,
                                   uint32_t tminBits, int32_t scale,
                                   std::array<unsigned char, 256>& quant) {
    if (scale < 0 || scale > 255)
        throw kvExceptionWithString("buildSharedTables: toleranceScale outside 0..255");

    // Level of v: round(v * S / 256), with v * S as a running sum.
    int32_t a = 0;
    for (int v = 0; v < 256; ++v, a += scale)
        quant[v] = static_cast<unsigned char>(limit255(roundHalfAway(a * 0.00390625)));

    const int32_t n = scale > quant[255] + 1 ? scale : quant[255] + 1;

    model.reciprocalTable[0] = 1.0f;
    for (int t = 1; t < 256; ++t) model.reciprocalTable[t] = static_cast<float>(1.0 / t);

    // 256 / 1 keeps only its low 8 bits (0) when there is a single level.
    model.levelStep = static_cast<unsigned char>(256 / n);

    const int32_t tmin = asSigned(tminBits);
    unsigned char runLevel = quant[0];
    int32_t runSum = 0, runCount = 0, level = 0;
    model.levelCenterTable.fill(0);
    for (int v = 0; v < 256; ++v) {
        const int32_t scaled = truncToInt32(v * f);
        const int32_t tol = scaled > tmin ? scaled : tmin;
        model.toleranceTable[v] = static_cast<unsigned char>(tol);

        // 64-bit so that extreme tolerances neither overflow nor index
        // outside the table (a negative tolerance gives an empty range).
        const int64_t lo = static_cast<int64_t>(v) - tol;
        const int64_t hi = static_cast<int64_t>(v) + tol;
        model.lowLevelTable[v] = lo > 0 ? quant[lo < 255 ? lo : 255] : quant[0];
        model.highLevelTable[v] = hi < 255 ? quant[hi > 0 ? hi : 0] : quant[255];

        // Level centres: mean of each run of equal levels.
        if (quant[v] == runLevel) {
            runSum += v;
            ++runCount;
        } else {
            model.levelCenterTable[level++] = static_cast<unsigned char>(runSum / runCount);
            runLevel = quant[v];
            runSum = v;
            runCount = 1;
        }
    }
    model.levelCenterTable[level] = static_cast<unsigned char>(runSum / runCount);
    return n;
}
