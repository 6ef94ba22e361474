#include "clsg/clrsgint/training_cost.h"

#include <string>

#include "clsg/clrsgint/abort_poll.h"
#include "clsg/platform/str.h"

namespace clsgint {
namespace {

using Budget = kvCompositeColorSegmenterBudget;

[[noreturn]] void exceeded(const char* what, uint64_t cost, uint64_t limit) {
    throw Budget::Exceeded(std::string("training would need ") +
                           kfStr(static_cast<unsigned long>(cost)) + " " + what +
                           ", over the budget of " + kfStr(static_cast<unsigned long>(limit)));
}

// Work of one image: a unit per pixel of the training window plus the cells of
// each selected pixel's box; stops once past limit (the result is then > limit).
uint64_t imageWork(const kv3PlanePelBuffer_const& image,
                   const kvPelBuffer_const<unsigned char>* mask, const uint32_t* boxLen,
                   uint64_t spent, uint64_t limit) {
    kvRectangle<long> w(image.window());
    if (mask) w &= kvRectangle<long>(mask->window());
    if (w.width() <= 0 || w.height() <= 0) return spent;
    for (long y = w.y(); y < w.y() + w.height(); ++y) {
        pollAttentionAtRow(y);
        const unsigned char* p0 = image.plane0().pointToPel(w.x(), y);
        const unsigned char* p1 = image.plane1().pointToPel(w.x(), y);
        const unsigned char* p2 = image.plane2().pointToPel(w.x(), y);
        const unsigned char* m = mask ? mask->pointToPel(w.x(), y) : nullptr;
        uint64_t row = static_cast<uint64_t>(w.width());
        for (long x = 0; x < w.width(); ++x)
            if (!m || m[x] != 0)
                row += static_cast<uint64_t>(boxLen[p0[x]]) * boxLen[p1[x]] * boxLen[p2[x]];
        if (row > UINT64_MAX - spent) return UINT64_MAX;
        spent += row;
        if (spent > limit) return spent;
    }
    return spent;
}

}  // namespace

void checkTrainingBudget(const Budget& budget, const kvCompositeColorSegmenterModel& model,
                         int32_t levelCount,
                         const std::vector<kvCompositeColorSet>& compositeColors) {
    if (budget.maxBytes == 0 && budget.maxWork == 0) return;
    const uint64_t cells = static_cast<uint64_t>(levelCount) * levelCount * levelCount;
    uint64_t examples = 0;
    for (const kvCompositeColorSet& set : compositeColors) examples += set.instances().size();
    if (budget.maxBytes != 0) {
        const uint64_t bytes = examples * cells * 8 + cells * 4;
        if (bytes > budget.maxBytes) exceeded("bytes", bytes, budget.maxBytes);
    }
    if (budget.maxWork == 0) return;
    uint32_t boxLen[256];
    for (int c = 0; c < 256; ++c) {
        const int32_t span = model.highLevelTable[c] - model.lowLevelTable[c] + 1;
        boxLen[c] = span > 0 ? static_cast<uint32_t>(span) : 0;
    }
    // Every example's grid is cleared and summed once.
    uint64_t work = examples * cells;
    if (work > budget.maxWork) exceeded("work units", work, budget.maxWork);
    for (const kvCompositeColorSet& set : compositeColors)
        for (const kvCompositeColor& example : set.instances())
            for (std::size_t k = 0; k < example.images().size(); ++k) {
                const bool masked = k < example.masks().size() && example.masks()[k].isBound();
                work = imageWork(example.images()[k], masked ? &example.masks()[k] : nullptr,
                                 boxLen, work, budget.maxWork);
                if (work > budget.maxWork) exceeded("work units", work, budget.maxWork);
            }
}

}  // namespace clsgint
