#include "clsg/clrsgint/label_scores.h"

#include "clsg/clrsgint/buffer_views.h"
#include "clsg/clrsgint/instance_scoring.h"
#include "clsg/clrsgint/internal_result.h"

void clsgint::computeLabelScores(const kvCompositeColorSegmenterModel& model,
                        const kv3PlanePelBuffer_const& image,
                        const kvCompositeColorSegmenterRunParams& params,
                        std::vector<kvPelBuffer<double>>& labelScores) {
    // Buffers already in labelScores are reused where scoreInstance may.
    labelScores.resize(model.instanceCounts.size());
    std::size_t k = 0;
    for (std::size_t label = 0; label < model.instanceCounts.size(); ++label)
        for (uint32_t i = 0; i < model.instanceCounts[label]; ++i)
            clsgint::scoreInstance(model.instanceModels.at(k++), image, params, labelScores[label],
                                   i == 0);
}

void clsgint::scoreInstance(const kvCompositeColorInstanceModel& instance,
                   const kv3PlanePelBuffer_const& image,
                   const kvCompositeColorSegmenterRunParams& params, kvPelBuffer<double>& out,
                   bool first) {
    if (first) out = takeBuffer(out, image.window());
    clsgint::scoreInstancePlanes(planesOf(image), instance.quantTable.data(), instance.weights.data(),
                        static_cast<int32_t>(instance.levelCount), instance.normFactor,
                        params.neighborhoodSize(), first, viewOf(out));
}
