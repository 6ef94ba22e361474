#include "clsg/clrsgint/color_table_builder.h"

#include <memory>

#include "clsg/clrsgint/abort_poll.h"
#include "clsg/clrsgint/color_tables.h"
#include "clsg/clrsgint/instance_accumulator.h"
#include "clsg/clrsgint/training_cost.h"
#include "clsg/colorseg/errors.h"

void clsgint::buildColorTables(kvCompositeColorSegmenterModel& model,
                               const std::vector<kvCompositeColorSet>& compositeColors,
                               const kvCompositeColorSegmenterTrainParams& params,
                               int32_t toleranceScale) {
    std::array<unsigned char, 256> quant{};
    const int32_t n = clsgint::buildSharedTables(model, params.colorToleranceFrac(),
                                                 params.colorToleranceMin(), toleranceScale, quant);
    clsgint::checkTrainingBudget(kvCompositeColorSegmenterBudgetScope::current(), model, n,
                                 compositeColors);

    // Instance bookkeeping: set-major order, one model per example.
    model.instanceModels.clear();
    model.instanceCounts.resize(compositeColors.size());
    std::size_t total = 0;
    for (std::size_t i = 0; i < compositeColors.size(); ++i) {
        model.instanceCounts[i] = static_cast<uint32_t>(compositeColors[i].instances().size());
        total += model.instanceCounts[i];
    }
    model.instanceModels.resize(total);

    std::size_t g = 0;
    for (const kvCompositeColorSet& set : compositeColors)
        for (const kvCompositeColor& example : set.instances())
            clsgint::buildInstanceModel(model.instanceModels[g++], example, params, n, quant,
                                        model);
}

void clsgint::buildInstanceModel(kvCompositeColorInstanceModel& instance,
                                 const kvCompositeColor& example,
                                 const kvCompositeColorSegmenterTrainParams& params,
                                 int32_t levelCount, const std::array<unsigned char, 256>& quant,
                                 const kvCompositeColorSegmenterModel& model) {
    const std::size_t cells = static_cast<std::size_t>(levelCount) * levelCount * levelCount;
    // Counts are written only where a touched bit is set first: no clearing.
    const std::unique_ptr<uint32_t[]> counts(new uint32_t[cells]);
    std::vector<kvTouchedCells> touched((cells + 63) / 64, 0);
    instance.weights = std::vector<double>(cells);  // zeroed by memset, unlike assign()

    const kvAccumulatorTables tables =
        clsgint::accumulatorTables(model, quant, levelCount, params.colorToleranceFrac());

    const auto& images = example.images();
    const auto& masks = example.masks();
    for (std::size_t k = 0; k < images.size(); ++k) {
        const kv3PlanePelBuffer_const& image = images[k];
        // Image and mask pels are paired by coordinates: the training window
        // is where both exist.
        kvRectangle<long> w(image.window());
        const bool masked = k < masks.size() && masks[k].isBound();
        if (masked) w &= kvRectangle<long>(masks[k].window());
        // No pixel to select; also spares walking the rows of an empty window.
        if (w.width() == 0 || w.height() == 0) throw kvCompositeColorSegmenterDefs::BadImage();

        long found = 0;
        for (long y = w.y(); y < w.y() + w.height(); ++y) {
            pollAttentionAtRow(y);
            const unsigned char* mask = masked ? masks[k].pointToPel(w.x(), y) : nullptr;
            found += clsgint::accumulateRow(tables, image.plane0().pointToPel(w.x(), y),
                                            image.plane1().pointToPel(w.x(), y),
                                            image.plane2().pointToPel(w.x(), y), mask, w.width(),
                                            instance.weights.data(), counts.get(), touched.data());
        }
        if (found == 0) throw kvCompositeColorSegmenterDefs::BadImage();
    }

    instance.normFactor = 1.0 / clsgint::weightedCountSum(counts.get(), touched.data(),
                                                          instance.weights.data(), cells);
    instance.levelCount = static_cast<uint32_t>(levelCount);
    instance.quantTable.assign(quant.begin(), quant.end());
}
