#include "clsg/colorseg/params.h"

#include "clsg/colorseg/errors.h"

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
