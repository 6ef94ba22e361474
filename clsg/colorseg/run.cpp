// The run driver: image checks, the optional brightness-gain search, scoring,
// storing the run into the result, and the diagnostic records of a run.
#include "clsg/clrsgint/color_model.h"
#include "clsg/clrsgint/intensity_normalization.h"
#include "clsg/clrsgint/internal_result.h"
#include "clsg/clrsgint/label_scores.h"
#include "clsg/colorseg/errors.h"
#include "clsg/colorseg/segmenter_result.h"
#include "clsg/colorseg/segmenter_tool.h"
#include "clsg/platform/pel_ops.h"
#include "clsg/platform/str.h"

namespace {

void writeInputRecord(kvDiagObject& diag, const kv3PlanePelBuffer_const& image,
                      const kvCompositeColorSegmenterRunParams& params) {
    kvDiagRecord& record = diag.newDiagRecord();
    record.image(image, false);
    record.recordAnnotation("Search Inputs: Image and Params");
    record.text("neighborhoodSize: " + kfStr(static_cast<long>(params.neighborhoodSize())) + "\n" +
                    "normalizeIntensity: " + kfStr(params.normalizeIntensity()),
                "Run Params");
}

void writeOutputRecords(kvDiagObject& diag, const kvCompositeColorSegmenterResult& result,
                        std::size_t labels) {
    kvDiagRecord& label = diag.newDiagRecord();
    label.image(result.labelImage(), false);
    label.recordAnnotation("Output: Label image");

    kvDiagRecord& score = diag.newDiagRecord();
    score.image(result.scoreImage(), false);
    score.recordAnnotation("Output: Score image");

    for (std::size_t i = 0; i < labels; ++i) {
        kvDiagRecord& seg = diag.newDiagRecord();
        seg.image(result.segmentationImage(static_cast<unsigned char>(i)), false);
        seg.recordAnnotation("Output: Segmentation image " + kfStr(static_cast<int>(i)));
    }

    // Labels spread evenly over 0..255 so that a person can tell them apart;
    // unlabelled pixels (255 in the label image) become 0.
    std::vector<unsigned char> table(256, 0);
    const std::size_t step = 256 / (labels + 1);
    for (std::size_t i = 0; i < labels; ++i) table[i] = static_cast<unsigned char>((i + 1) * step);
    kvDiagRecord& mapped = diag.newDiagRecord();
    mapped.image(kfPelMap(result.labelImage(), table), false);
    mapped.recordAnnotation("Output: Label image (mapped)");
}

}  // namespace

void kvCompositeColorSegmenterTool::run(const kv3PlanePelBuffer_const& image,
                                        const kvCompositeColorSegmenterRunParams& params,
                                        kvCompositeColorSegmenterResult& result,
                                        kvDiagObject* diagObject, unsigned long diagFlags) const {
    if (!image.isBound()) throw kvPel::UnboundWindow();
    if (image.colorSpace() != kvColorSpaceRGB)
        throw kvCompositeColorSegmenterDefs::BadColorSpace("image's color space is not RGB");
    // Refused up front: an empty window holds nothing to score (and may still
    // claim billions of rows), and a neighbourhood beyond the limit would
    // make the score image's work explode.
    if (image.window().isEmpty())
        throw kvCompositeColorSegmenterDefs::BadImage("image window is empty");
    if (params.neighborhoodSize() > kvCompositeColorSegmenterRunParams::kMaxNeighborhoodSize)
        throw kvCompositeColorSegmenterDefs::BadParams("neighborhoodSize > 255");
    if ((diagFlags & kDiagInputs) && diagObject) writeInputRecord(*diagObject, image, params);

    if (!params.normalizeIntensity()) {
        runInternal(image, params, result);
    } else {
        checkTrained();
        const double gain = clsgint::searchIntensityGain(*model_, params, image);
        // The mapped planes keep the input's transforms.
        runInternal(clsgint::mapPlanes(image, clsgint::makeGainTable(gain)), params, result);
    }

    if ((diagFlags & kDiagOutputs) && diagObject)
        writeOutputRecords(*diagObject, result, compositeColors_.size());
}

void kvCompositeColorSegmenterTool::runInternal(const kv3PlanePelBuffer_const& image,
                                                const kvCompositeColorSegmenterRunParams& params,
                                                kvCompositeColorSegmenterResult& result) const {
    checkTrained();
    const kv2XformHandle& imageXform = image.imageFromClientXformBase();
    if (!imageXform) throw kvBadPointer("image has no transform");

    // An even neighbourhood is centred half a pel up and left of its output
    // pel: derived images sit (0.5, 0.5) further along than the input.
    kv2XformHandle xform = imageXform;
    if (params.neighborhoodSize() % 2 == 0)
        xform = kv2XformLinear(kvMatrix<2>(), 0.5, 0.5).composeBase(*imageXform.get());

    // Build the new run completely in the result's spare buffers (or new
    // ones), then swap it in: a failure anywhere leaves the caller's previous
    // result untouched. The previous run's buffers become the next spares.
    kvCompositeColorSegmenterInternalResult& current = *result.result_;
    kvCompositeColorSegmenterInternalResult fresh;
    fresh.spares = std::move(current.spares);
    // The label and confidence images are built with the scores, while each
    // row of them is still in the cache.
    std::vector<kvPelBuffer<double>> labelScores = std::move(fresh.spares.labelScores);
    kvPelBuffer<unsigned char> label = std::move(fresh.spares.labelImage);
    kvPelBuffer<unsigned char> confidence = std::move(fresh.spares.confidenceImage);
    try {
        clsgint::LabelImages labelImages{&label, &confidence};
        clsgint::computeLabelScores(*model_, image, params, labelScores, &labelImages);
        std::vector<unsigned char> quant = model_->instanceModels.at(0).quantTable;
        fresh.storeRun(labelScores, image, trainParams_.colorToleranceFrac(),
                       trainParams_.colorToleranceMin(), params.neighborhoodSize(), quant,
                       model_->reciprocalTable, model_->toleranceTable, model_->levelStep, xform);
    } catch (...) {
        fresh.spares.labelScores = std::move(labelScores);
        fresh.spares.labelImage = std::move(label);
        fresh.spares.confidenceImage = std::move(confidence);
        current.spares = std::move(fresh.spares);
        throw;
    }
    label.imageFromClientXformBase(xform, true);
    confidence.imageFromClientXformBase(xform, true);
    fresh.labelImage = std::move(label);
    fresh.confidenceImage = std::move(confidence);
    current.retireRunBuffers();
    current.spares.selfSimilarity = std::move(fresh.spares.selfSimilarity);
    fresh.spares = std::move(current.spares);
    current = std::move(fresh);
}
