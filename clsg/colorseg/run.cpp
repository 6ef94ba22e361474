// The run driver: image checks, the optional brightness-gain search, scoring,
// storing the run into the result, and the diagnostic records of a run.
#include "clsg/clrsgint/color_model.h"
#include "clsg/clrsgint/intensity_normalization.h"
#include "clsg/clrsgint/internal_result.h"
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
        runInternal(image, params, result, kv3PlanePelBuffer());
    } else {
        checkTrained();
        const double gain = clsgint::searchIntensityGain(*model_, params, image);
        // The mapped planes keep the input's transforms. Nobody else holds
        // them, so the result keeps them without a copy.
        const kv3PlanePelBuffer mapped = clsgint::mapPlanes(image, clsgint::makeGainTable(gain));
        runInternal(mapped, params, result, mapped);
    }

    if ((diagFlags & kDiagOutputs) && diagObject)
        writeOutputRecords(*diagObject, result, compositeColors_.size());
}

void kvCompositeColorSegmenterTool::runInternal(const kv3PlanePelBuffer_const& image,
                                                const kvCompositeColorSegmenterRunParams& params,
                                                kvCompositeColorSegmenterResult& result,
                                                const kv3PlanePelBuffer& privateImage) const {
    checkTrained();
    const kv2XformHandle& imageXform = image.imageFromClientXformBase();
    if (!imageXform) throw kvBadPointer("image has no transform");

    // An even neighbourhood is centred half a pel up and left of its output
    // pel: derived images sit (0.5, 0.5) further along than the input.
    kv2XformHandle xform = imageXform;
    if (params.neighborhoodSize() % 2 == 0)
        xform = kv2XformLinear(kvMatrix<2>(), 0.5, 0.5).composeBase(*imageXform.get());

    // The new run is built aside, then moved in: a failure anywhere leaves
    // the caller's previous result untouched. The run keeps the scored image
    // and the model, and scores the label and confidence images row by row;
    // score images are rebuilt from those when asked.
    kvStoredRun run;
    run.model = model_;
    run.scoredImage = image;
    run.privateImage = privateImage;
    run.colorToleranceFrac = trainParams_.colorToleranceFrac();
    run.colorToleranceMin = trainParams_.colorToleranceMin();
    run.neighborhoodSize = params.neighborhoodSize();
    run.imageFromClientXform = xform;
    kvCompositeColorSegmenterInternalResult fresh;
    fresh.storeRun(run);
    fresh.computeLabelImages();
    // Past the last abort poll: the previous run's planes may now take the copy.
    if (!privateImage.isBound())
        fresh.keepScoredImage(image, result.result_->releasePlanes(image.window()));
    *result.result_ = std::move(fresh);
}
