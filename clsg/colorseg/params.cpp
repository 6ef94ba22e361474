#include "clsg/colorseg/params.h"

#include <limits>

#include "clsg/colorseg/errors.h"

namespace {

const char* const kMinRange = "colorToleranceMin < 0 || colorToleranceMin > 4294967295";
const char* const kSizeRange = "neighborhoodSize > 2147483647";

}  // namespace

uint32_t kvCompositeColorSegmenterTrainParams::narrowMin(long long v) {
    if (v < 0) throw kvCompositeColorSegmenterDefs::BadParams(kMinRange);
    return narrowMin(static_cast<unsigned long long>(v));
}

uint32_t kvCompositeColorSegmenterTrainParams::narrowMin(unsigned long long v) {
    if (v > std::numeric_limits<uint32_t>::max())
        throw kvCompositeColorSegmenterDefs::BadParams(kMinRange);
    return static_cast<uint32_t>(v);
}

// Below the range is below 1: the setter's own message says so.
int32_t kvCompositeColorSegmenterRunParams::narrowSize(long long v) {
    if (v <= 0) throw kvCompositeColorSegmenterDefs::BadParams("neighborhoodSize <= 0 ");
    return narrowSize(static_cast<unsigned long long>(v));
}

int32_t kvCompositeColorSegmenterRunParams::narrowSize(unsigned long long v) {
    if (v > static_cast<unsigned long long>(std::numeric_limits<int32_t>::max()))
        throw kvCompositeColorSegmenterDefs::BadParams(kSizeRange);
    return static_cast<int32_t>(v);
}

kvCompositeColorSegmenterTrainParams::kvCompositeColorSegmenterTrainParams(
    double colorToleranceFrac, uint32_t colorToleranceMin) {
    this->colorToleranceFrac(colorToleranceFrac);
    colorToleranceMin_ = colorToleranceMin;
}

void kvCompositeColorSegmenterTrainParams::colorToleranceFrac(double v) {
    // Written so that a NaN, which compares false both ways, is refused.
    if (!(v >= 0.0) || !(v <= 1.0))
        throw kvCompositeColorSegmenterDefs::BadParams(
            "colorToleranceFrac < 0 || colorToleranceFrac > 1");
    colorToleranceFrac_ = v;
}

bool kvCompositeColorSegmenterTrainParams::operator==(
    const kvCompositeColorSegmenterTrainParams& other) const {
    return colorToleranceFrac_ == other.colorToleranceFrac_ &&
           colorToleranceMin_ == other.colorToleranceMin_;
}

kvCompositeColorSegmenterRunParams::kvCompositeColorSegmenterRunParams(int32_t neighborhoodSize,
                                                                       bool normalizeIntensity) {
    this->neighborhoodSize(neighborhoodSize);
    normalizeIntensity_ = normalizeIntensity;
}

void kvCompositeColorSegmenterRunParams::neighborhoodSize(int32_t v) {
    if (v <= 0) throw kvCompositeColorSegmenterDefs::BadParams("neighborhoodSize <= 0 ");
    neighborhoodSize_ = v;
}

bool kvCompositeColorSegmenterRunParams::operator==(
    const kvCompositeColorSegmenterRunParams& other) const {
    return neighborhoodSize_ == other.neighborhoodSize_ &&
           normalizeIntensity_ == other.normalizeIntensity_;
}
