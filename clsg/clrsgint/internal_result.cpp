#include "clsg/clrsgint/internal_result.h"

#include <cstring>

#include "clsg/platform/pel_ops.h"

kvCompositeColorSegmenterInternalResult::kvCompositeColorSegmenterInternalResult() {
    reciprocalTable[0] = 1.0f;
    for (int t = 1; t < 256; ++t) reciprocalTable[t] = static_cast<float>(1.0 / t);
}

bool kvCompositeColorSegmenterInternalResult::operator==(
    const kvCompositeColorSegmenterInternalResult& o) const {
    if (colorToleranceFrac < o.colorToleranceFrac || colorToleranceFrac > o.colorToleranceFrac)
        return false;
    if (colorToleranceMin != o.colorToleranceMin || neighborhoodSize != o.neighborhoodSize)
        return false;
    if (quantTable != o.quantTable) return false;
    if (!(kvRectangle<long>(image.window()) == kvRectangle<long>(o.image.window()))) return false;
    if (!image.isBound() && !o.image.isBound()) return true;
    if (image.isBound() != o.image.isBound()) return false;
    if (!kfPelEqual(image.plane0(), o.image.plane0()) ||
        !kfPelEqual(image.plane1(), o.image.plane1()) ||
        !kfPelEqual(image.plane2(), o.image.plane2()))
        return false;
    if (labelScores.size() != o.labelScores.size()) return false;
    for (std::size_t i = 0; i < labelScores.size(); ++i)
        if (!kfPelEqual(labelScores[i], o.labelScores[i])) return false;
    return true;
}

void kvCompositeColorSegmenterInternalResult::storeRun(
    std::vector<kvPelBuffer<double>>& scores, const kv3PlanePelBuffer_const& scoredImage,
    double toleranceFrac, uint32_t toleranceMin, int32_t size, std::vector<unsigned char>& quant,
    const std::array<float, 256>& reciprocals, const std::array<unsigned char, 256>& tolerances,
    unsigned char step, const kv2XformHandle& xform) {
    labelScores.swap(scores);
    const kvPelRect& w = scoredImage.window();
    const kvPelBuffer_const<unsigned char>* from[3] = {&scoredImage.plane0(), &scoredImage.plane1(),
                                                       &scoredImage.plane2()};
    kvPelBuffer<unsigned char> planes[3];
    for (int p = 0; p < 3; ++p) {
        planes[p] = takeBuffer(spares.image[p], w);
        planes[p].copyXforms(*from[p]);
        for (long y = w.top(); y < w.bottom(); ++y)
            std::memcpy(planes[p].pointToRow(y), from[p]->pointToRow(y),
                        static_cast<std::size_t>(w.width()));
    }
    image = kv3PlanePelBuffer(planes[0], planes[1], planes[2], scoredImage.colorSpace());
    colorToleranceFrac = toleranceFrac;
    colorToleranceMin = toleranceMin;
    neighborhoodSize = size;
    quantTable.swap(quant);
    std::vector<unsigned char>().swap(quant);
    reciprocalTable = reciprocals;
    toleranceTable = tolerances;
    levelStep = step;
    imageFromClientXform = xform;
}

void kvCompositeColorSegmenterInternalResult::retireRunBuffers() {
    kvRunSpares retired;
    retired.image[0] = image.plane0();
    retired.image[1] = image.plane1();
    retired.image[2] = image.plane2();
    image = kv3PlanePelBuffer();
    retired.labelScores.swap(labelScores);
    labelScores.clear();
    std::swap(retired.labelImage, labelImage);
    std::swap(retired.confidenceImage, confidenceImage);
    std::swap(retired.scoreImage, scoreImage);
    std::swap(retired.scoreSum, scoreSum);
    std::swap(retired.selfSimilarity, spares.selfSimilarity);
    spares = std::move(retired);
}
