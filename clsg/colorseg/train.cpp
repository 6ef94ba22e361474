// The train driver: reset, validation, tolerance scale, model building, and
// the diagnostic records of training; and the budget's check of what a
// training would cost.
#include "clsg/clrsgint/color_model.h"
#include "clsg/clrsgint/color_table_builder.h"
#include "clsg/clrsgint/color_tables.h"
#include "clsg/clrsgint/training_cost.h"
#include "clsg/colorseg/errors.h"
#include "clsg/colorseg/segmenter_tool.h"
#include "clsg/platform/str.h"

namespace {

using Defs = kvCompositeColorSegmenterDefs;

void validateSets(const std::vector<kvCompositeColorSet>& sets) {
    if (sets.empty()) throw Defs::BadParams("(!compositeColors.size())");
    if (sets.size() > 254) throw Defs::TooManyCompositeColors("(compositeColors.size() > 254)");
    for (const kvCompositeColorSet& set : sets) {
        if (set.instances().empty())
            throw Defs::BadParams("(!compositeColors[i].instances().size())");
        for (const kvCompositeColor& example : set.instances())
            if (example.images().empty())
                throw Defs::BadParams("(!compositeColors[i].instances().images().size())");
    }
}

void validate(const std::vector<kvCompositeColorSet>& sets,
              const kvCompositeColorSegmenterTrainParams& p) {
    validateSets(sets);
    // A fraction read from an archive skips the setter's range check. Values
    // outside 0..1 still train, but one that is not a number, or so large
    // that training's integer conversions would overflow, is refused.
    if (!clsgint::trainFractionUsable(p.colorToleranceFrac()))
        throw Defs::BadParams("colorToleranceFrac < 0 || colorToleranceFrac > 1");
}

}  // namespace

void kvCompositeColorSegmenterBudget::check(const std::vector<kvCompositeColorSet>& sets,
                                            const kvCompositeColorSegmenterTrainParams& p) const {
    validate(sets, p);
    // The level tables alone, as training builds them before its own check.
    kvCompositeColorSegmenterModel tables;
    std::array<unsigned char, 256> quant{};
    const int32_t n =
        clsgint::buildSharedTables(tables, p.colorToleranceFrac(), p.colorToleranceMin(),
                                   clsgint::toleranceScale(p.colorToleranceFrac()), quant);
    clsgint::checkTrainingBudget(*this, tables, n, sets);
}

void kvCompositeColorSegmenterTool::train(const std::vector<kvCompositeColorSet>& compositeColors,
                                          const kvCompositeColorSegmenterTrainParams& params,
                                          kvDiagObject* diagObject, unsigned long diagFlags) {
    // The arguments may be this tool's own sets or parameters: take them
    // before the reset.
    std::vector<kvCompositeColorSet> sets(compositeColors);
    const kvCompositeColorSegmenterTrainParams p = params;
    // Untrained from here on, and so if anything below throws.
    *this = kvCompositeColorSegmenterTool();

    validate(sets, p);

    // Built aside and moved in, so that a build that fails (an image without
    // selected pixels, an abort, the budget) leaves the model empty, not half
    // built.
    kvCompositeColorSegmenterModel built;
    clsgint::buildColorTables(built, sets, p, clsgint::toleranceScale(p.colorToleranceFrac()));
    model_ = std::make_shared<const kvCompositeColorSegmenterModel>(std::move(built));
    compositeColors_.swap(sets);
    trainParams_ = p;

    if ((diagFlags & kDiagInputs) && diagObject) writeTrainRecords(*diagObject);
}

void kvCompositeColorSegmenterTool::writeTrainRecords(kvDiagObject& diag) const {
    kvDiagRecord& params = diag.newDiagRecord();
    params.text("colorToleranceFrac:" + kfStr(trainParams_.colorToleranceFrac()), "Train Params");
    params.recordAnnotation("Train Params");
    params.text(
        "colorToleranceMin:" + kfStr(static_cast<unsigned long>(trainParams_.colorToleranceMin())),
        "Train Params");
    params.recordAnnotation("Train Params");

    for (std::size_t i = 0; i < compositeColors_.size(); ++i) {
        const auto& examples = compositeColors_[i].instances();
        for (std::size_t j = 0; j < examples.size(); ++j) {
            const auto& images = examples[j].images();
            const auto& masks = examples[j].masks();
            for (std::size_t k = 0; k < images.size(); ++k) {
                const std::string where =
                    kfStr(static_cast<int>(i)) + " instance " + kfStr(static_cast<int>(j));
                kvDiagRecord& input = diag.newDiagRecord();
                input.image(images[k], false);
                input.recordAnnotation("Input : Label " + where + " image   " +
                                       kfStr(static_cast<int>(k)));
                if (k < masks.size() && masks[k].isBound()) {
                    kvDiagRecord& mask = diag.newDiagRecord();
                    mask.image(masks[k], false);
                    mask.recordAnnotation("Mask image : Label " + where + " mask   " +
                                          kfStr(static_cast<int>(k)));
                }
            }
        }
    }
}
