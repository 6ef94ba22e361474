#include "clsg/clrsgint/internal_result.h"

#include <cmath>
#include <cstring>

#include "clsg/clrsgint/buffer_views.h"
#include "clsg/clrsgint/color_model.h"
#include "clsg/platform/pel_ops.h"

namespace {

// Whether every score the model gives is a number: then two equal images
// scored by equal tables give equal score images, as the comparison of
// pels sees them. Weights of at most 1e100 (the kernel sums to less than
// 1e7) keep the neighbourhood sum and its square finite, and a finite
// normFactor then gives a finite or infinite score, never a NaN.
bool scoresAreNumbers(const kvCompositeColorSegmenterModel& model) {
    for (const kvCompositeColorInstanceModel& m : model.instanceModels) {
        if (!std::isfinite(m.normFactor)) return false;
        for (double w : m.weights)
            if (!(std::fabs(w) <= 1e100)) return false;
    }
    return true;
}

}  // namespace

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
    // Equal images (just compared) and sizes scored by equal tables: equal
    // scores, without scoring them.
    const auto& m = labelScores.model;
    const auto& om = o.labelScores.model;
    if (m && om && labelScores.neighborhoodSize == o.labelScores.neighborhoodSize &&
        (m == om || *m == *om) && scoresAreNumbers(*m))
        return true;
    for (std::size_t k = 0; k < labelScores.size(); ++k)
        if (!kfPelEqual(labelScores[k], o.labelScores[k])) return false;
    return true;
}

void kvCompositeColorSegmenterInternalResult::storeRun(const kvStoredRun& run) {
    image = run.privateImage;
    colorToleranceFrac = run.colorToleranceFrac;
    colorToleranceMin = run.colorToleranceMin;
    neighborhoodSize = run.neighborhoodSize;
    const kvCompositeColorSegmenterModel& model = *run.model;
    quantTable = model.instanceModels.at(0).quantTable;
    labelScores = kvLabelScores();
    labelScores.model = run.model;
    labelScores.image = run.privateImage.isBound() ? run.privateImage : run.scoredImage;
    labelScores.neighborhoodSize = run.neighborhoodSize;
    reciprocalTable = model.reciprocalTable;
    toleranceTable = model.toleranceTable;
    levelStep = model.levelStep;
    imageFromClientXform = run.imageFromClientXform;
}

namespace {

// The window w of from into into. With equal strides the rows and the gaps between them are
// one span (the gaps are into's padding, or pixels of from outside w): one call moves it at
// the copy's full speed instead of one call per row.
void copyPlane(const kvPelBuffer_const<unsigned char>& from, kvPelBuffer<unsigned char>& into,
               const kvPelRect& w) {
    if (w.width() <= 0 || w.height() <= 0) return;
    const std::ptrdiff_t stride = into.rowStride();
    if (stride == from.rowStride() && stride > 0) {
        std::memcpy(into.pointToRow(w.top()), from.pointToRow(w.top()),
                    static_cast<std::size_t>(stride * (w.height() - 1) + w.width()));
        return;
    }
    for (long y = w.top(); y < w.bottom(); ++y)
        std::memcpy(into.pointToRow(y), from.pointToRow(y), static_cast<std::size_t>(w.width()));
}

}  // namespace

void kvCompositeColorSegmenterInternalResult::keepScoredImage(const kv3PlanePelBuffer_const& from,
                                                              const kv3PlanePelBuffer& into) {
    const kvPelRect& w = from.window();
    const kvPelBuffer_const<unsigned char>* source[3] = {&from.plane0(), &from.plane1(),
                                                         &from.plane2()};
    kvPelBuffer<unsigned char> planes[3];
    if (into.isBound())
        planes[0] = into.plane0(), planes[1] = into.plane1(), planes[2] = into.plane2();
    for (int p = 0; p < 3; ++p) {
        if (!planes[p].isBound()) planes[p] = kvPelBuffer<unsigned char>(w, 32);
        planes[p].copyXforms(*source[p]);
        copyPlane(*source[p], planes[p], w);
    }
    image = kv3PlanePelBuffer(planes[0], planes[1], planes[2], from.colorSpace());
    labelScores.image = image;
}

kv3PlanePelBuffer kvCompositeColorSegmenterInternalResult::releasePlanes(const kvPelRect& w) {
    if (!image.isBound() || !(kvRectangle<long>(image.window()) == kvRectangle<long>(w))) return {};
    // The score rows hold the image too (a stored run's labelScores.image is
    // the image or unbound); no other handle may.
    const bool scored = labelScores.image.plane0().isBound();
    labelScores.image = kv3PlanePelBuffer_const();
    if (image.plane0().sharesStorage() || image.plane1().sharesStorage() ||
        image.plane2().sharesStorage()) {
        if (scored) labelScores.image = image;
        return {};
    }
    return std::move(image);
}

std::vector<std::size_t> kvLabelScores::all() const {
    std::vector<std::size_t> labels(size());
    for (std::size_t k = 0; k < labels.size(); ++k) labels[k] = k;
    return labels;
}

kvPelBuffer_const<double> kvLabelScores::operator[](std::size_t k) const {
    if (!model) return held.at(k);
    kvPelBuffer<double> scores(image.window(), 32);
    clsgint::scoreLabel(*model, planesOf(image), neighborhoodSize, k, viewOf(scores));
    return scores;
}

clsgint::LabelScoreRows kvLabelScores::rows(std::vector<std::size_t> labels) const {
    if (!model) return clsgint::LabelScoreRows(held, std::move(labels));
    return clsgint::LabelScoreRows(*model, image, neighborhoodSize, std::move(labels));
}

std::size_t kvCompositeColorSegmenterInternalResult::pelBytes() const {
    const auto bytes = [](const kv_PelBuffer& b) {
        return b.isBound() ? static_cast<std::size_t>(b.rowStride()) *
                                 static_cast<std::size_t>(b.extent().height())
                           : std::size_t{0};
    };
    std::size_t sum = bytes(image.plane0()) + bytes(image.plane1()) + bytes(image.plane2()) +
                      bytes(labelImage) + bytes(scoreImage) + bytes(confidenceImage) +
                      bytes(scoreSum);
    for (const auto& s : labelScores.held) sum += bytes(s);
    return sum;
}
