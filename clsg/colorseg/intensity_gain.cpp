#include "clsg/colorseg/intensity_gain.h"

#include "clsg/clrsgint/intensity_normalization.h"
#include "clsg/clrsgint/tool_model.h"
#include "clsg/colorseg/errors.h"

namespace {

void checkSearch(const kvCompositeColorSegmenterTool& tool, const kv3PlanePelBuffer_const& image) {
    if (!image.isBound()) throw kvPel::UnboundWindow();
    if (image.colorSpace() != kvColorSpaceRGB)
        throw kvCompositeColorSegmenterDefs::BadColorSpace("image's color space is not RGB");
    if (image.window().isEmpty())
        throw kvCompositeColorSegmenterDefs::BadImage("image window is empty");
    if (!tool.isTrained()) throw kvCompositeColorSegmenterDefs::NotTrained();
}

}  // namespace

double kfSearchIntensityGain(const kvCompositeColorSegmenterTool& tool,
                             const kv3PlanePelBuffer_const& image) {
    checkSearch(tool, image);
    return clsgint::searchIntensityGain(clsgint::toolModel(tool),
                                        kvCompositeColorSegmenterRunParams(1, true), image);
}

double kfSearchIntensityGainOnSample(const kvCompositeColorSegmenterTool& tool,
                                     const kv3PlanePelBuffer_const& sample) {
    checkSearch(tool, sample);
    return clsgint::searchIntensityGainOnSample(
        clsgint::toolModel(tool), kvCompositeColorSegmenterRunParams(1, true), sample);
}

kv3PlanePelBuffer kfApplyIntensityGain(const kv3PlanePelBuffer_const& image, double gain) {
    if (!image.isBound()) throw kvPel::UnboundWindow();
    return clsgint::mapPlanes(image, clsgint::makeGainTable(gain));
}
