// Parameters of training and running.
#pragma once

#include <cstdint>
#include <type_traits>

class kvArchive;

// Training parameters. colorToleranceFrac (0..1, default 0.1) is the relative
// colour tolerance: a channel value v tolerates v * colorToleranceFrac; it
// also sets the number of quantisation levels. colorToleranceMin (default 2)
// is the floor of that tolerance, in channel units.
class kvCompositeColorSegmenterTrainParams {
public:
    // Throws BadParams for a colorToleranceFrac outside 0..1 (or NaN).
    kvCompositeColorSegmenterTrainParams(double colorToleranceFrac = 0.1,
                                         uint32_t colorToleranceMin = 2);
    // Any other integer type: a colorToleranceMin outside 0..2^32-1 is
    // refused (BadParams "colorToleranceMin < 0 || colorToleranceMin > 4294967295"),
    // never narrowed.
    template <class Int, class = std::enable_if_t<std::is_integral<Int>::value>>
    kvCompositeColorSegmenterTrainParams(double colorToleranceFrac, Int colorToleranceMin)
        : kvCompositeColorSegmenterTrainParams(colorToleranceFrac, checkedMin(colorToleranceMin)) {}

    double colorToleranceFrac() const { return colorToleranceFrac_; }
    // Throws BadParams "colorToleranceFrac < 0 || colorToleranceFrac > 1" and
    // keeps the old value unless 0 <= v <= 1.
    void colorToleranceFrac(double v);
    uint32_t colorToleranceMin() const { return colorToleranceMin_; }
    void colorToleranceMin(uint32_t v) { colorToleranceMin_ = v; }
    template <class Int, class = std::enable_if_t<std::is_integral<Int>::value>>
    void colorToleranceMin(Int v) {
        colorToleranceMin_ = checkedMin(v);
    }

    // Exact comparison of both fields.
    bool operator==(const kvCompositeColorSegmenterTrainParams& other) const;

private:
    friend kvArchive& operator||(kvArchive&, kvCompositeColorSegmenterTrainParams&);
    template <class Int>
    static uint32_t checkedMin(Int v) {
        return std::is_signed<Int>::value ? narrowMin(static_cast<long long>(v))
                                          : narrowMin(static_cast<unsigned long long>(v));
    }
    static uint32_t narrowMin(long long v);
    static uint32_t narrowMin(unsigned long long v);
    double colorToleranceFrac_ = 0.1;
    uint32_t colorToleranceMin_ = 2;
};

// Run parameters. neighborhoodSize (> 0, default 3) is the side N of the
// N x N neighbourhood over which each pixel is scored; normalizeIntensity
// (default false) first searches a brightness gain that best matches the
// trained colours.
class kvCompositeColorSegmenterRunParams {
public:
    // The largest neighbourhood a run accepts. The score image's work grows
    // with the fourth power of the size; larger sizes are refused by run()
    // (BadParams) and by loading a result, never by the setter.
    static constexpr int32_t kMaxNeighborhoodSize = 255;

    // Throws BadParams for a neighborhoodSize below 1.
    kvCompositeColorSegmenterRunParams(int32_t neighborhoodSize = 3,
                                       bool normalizeIntensity = false);
    // Any other integer type: a neighborhoodSize above 2^31-1 is refused
    // (BadParams "neighborhoodSize > 2147483647"), never narrowed.
    template <class Int, class = std::enable_if_t<std::is_integral<Int>::value>>
    kvCompositeColorSegmenterRunParams(Int neighborhoodSize, bool normalizeIntensity = false)
        : kvCompositeColorSegmenterRunParams(checkedSize(neighborhoodSize), normalizeIntensity) {}

    int32_t neighborhoodSize() const { return neighborhoodSize_; }
    // Throws BadParams "neighborhoodSize <= 0 " and keeps the old value unless v > 0.
    void neighborhoodSize(int32_t v);
    template <class Int, class = std::enable_if_t<std::is_integral<Int>::value>>
    void neighborhoodSize(Int v) {
        neighborhoodSize(checkedSize(v));
    }
    bool normalizeIntensity() const { return normalizeIntensity_; }
    void normalizeIntensity(bool v) { normalizeIntensity_ = v; }

    bool operator==(const kvCompositeColorSegmenterRunParams& other) const;

private:
    friend kvArchive& operator||(kvArchive&, kvCompositeColorSegmenterRunParams&);
    template <class Int>
    static int32_t checkedSize(Int v) {
        return std::is_signed<Int>::value ? narrowSize(static_cast<long long>(v))
                                          : narrowSize(static_cast<unsigned long long>(v));
    }
    static int32_t narrowSize(long long v);
    static int32_t narrowSize(unsigned long long v);
    int32_t neighborhoodSize_ = 3;
    bool normalizeIntensity_ = false;
};
