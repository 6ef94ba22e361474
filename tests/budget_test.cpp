// The training budget: its two costs to the unit, where it applies, and when it is checked.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "archive_bytes.h"
#include "clsg/clrsgint/color_model.h"
#include "clsg/clrsgint/tool_model.h"
#include "clsg/clsg.h"
#include "test_images.h"

namespace {

using Budget = kvCompositeColorSegmenterBudget;
using Scope = kvCompositeColorSegmenterBudgetScope;
using Defs = kvCompositeColorSegmenterDefs;
using Params = kvCompositeColorSegmenterTrainParams;

std::vector<kvCompositeColorSet> sampleSets() {
    const kvPelRect w(0, 0, 5, 4);
    const auto mask = makeMask(w, [](long x, long y) { return (x + 2 * y) % 3 == 0; });
    return {kvCompositeColorSet({kvCompositeColor(noisyImage(w, 3), mask)}),
            kvCompositeColorSet(
                {kvCompositeColor(uniformImage(kvPelRect(2, 1, 3, 2), {5, 128, 255}), noMask())})};
}

TEST(Budget, EachCostIsExactAndALimitOneBelowItRefuses) {
    const auto sets = sampleSets();
    const Params params(0.05, 3);
    kvCompositeColorSegmenterTool tool;
    tool.train(sets, params);
    const kvCompositeColorSegmenterModel& m = clsgint::toolModel(tool);
    const uint64_t n = m.instanceModels[0].levelCount, cells = n * n * n;
    auto box = [&](const kvPelBuffer_const<unsigned char>& p, long x, long y) {
        const unsigned char c = *p.pointToPel(x, y);
        return static_cast<uint64_t>(m.highLevelTable[c] - m.lowLevelTable[c] + 1);
    };
    uint64_t bytes = cells * 4, work = 0;
    for (const auto& set : sets)
        for (const auto& example : set.instances()) {
            const auto& image = example.images()[0];
            const auto& mask = example.masks()[0];
            bytes += cells * 8, work += cells;
            for (long y = image.window().top(); y < image.window().bottom(); ++y)
                for (long x = image.window().left(); x < image.window().right(); ++x) {
                    ++work;
                    if (mask.isBound() && *mask.pointToPel(x, y) == 0) continue;
                    work += box(image.plane0(), x, y) * box(image.plane1(), x, y) *
                            box(image.plane2(), x, y);
                }
        }
    const auto over = [](uint64_t need, const char* unit) {
        return "training would need " + std::to_string(need) + unit + ", over the budget of " +
               std::to_string(need - 1);
    };
    const std::pair<Budget, std::string> cases[] = {{{bytes, work}, ""},
                                                    {{bytes - 1, 0}, over(bytes, " bytes")},
                                                    {{0, work - 1}, over(work, " work units")},
                                                    {{bytes - 1, work - 1}, over(bytes, " bytes")}};
    for (const auto& [budget, expected] : cases) {
        kvCompositeColorSegmenterTool t = tool;
        const Scope scope(budget);
        std::string message;
        try {
            t.train(sets, params);
        } catch (const Budget::Exceeded& e) {
            message = e.what();
        }
        EXPECT_EQ(message, expected);
        EXPECT_EQ(t.isTrained(), expected.empty());  // a refused training leaves none
        std::string checked;  // the same check without training, on any thread
        try {
            budget.check(sets, params);
        } catch (const Budget::Exceeded& e) {
            checked = e.what();
        }
        EXPECT_EQ(checked, expected);
    }
}

// The work of a masked example counts the pixels where mask and image overlap: a 2 x 2 mask on a
// 3000 x 3000 image costs four pixels, not nine million (nor a read beyond the mask).
TEST(Budget, AMaskCountsOnlyWhereItOverlapsItsImage) {
    const kvPelRect maskWindow(1500, 1500, 2, 2);
    const std::vector<kvCompositeColorSet> sets = {kvCompositeColorSet(
        {kvCompositeColor(noisyImage(kvPelRect(0, 0, 3000, 3000), 7),
                          makeMask(maskWindow, [](long, long) { return true; }))})};
    const Params params(0.05, 3);
    kvCompositeColorSegmenterTool tool;
    tool.train(sets, params);
    const kvCompositeColorSegmenterModel& m = clsgint::toolModel(tool);
    const uint64_t n = m.instanceModels[0].levelCount;
    uint64_t work = n * n * n;
    const auto& image = sets[0].instances()[0].images()[0];
    for (long y = 1500; y < 1502; ++y)
        for (long x = 1500; x < 1502; ++x) {
            uint64_t cells = 1;
            for (const auto* p : {&image.plane0(), &image.plane1(), &image.plane2()}) {
                const unsigned char c = *p->pointToPel(x, y);
                cells *= static_cast<uint64_t>(m.highLevelTable[c] - m.lowLevelTable[c] + 1);
            }
            work += 1 + cells;
        }
    for (const uint64_t limit : {work, work - 1}) {
        kvCompositeColorSegmenterTool t;
        const Scope scope(Budget{0, limit});
        std::string message;
        try {
            t.train(sets, params);
        } catch (const Budget::Exceeded& e) {
            message = e.what();
        }
        EXPECT_EQ(message, limit == work
                               ? ""
                               : "training would need " + std::to_string(work) +
                                     " work units, over the budget of " + std::to_string(limit));
    }
}

TEST(Budget, AppliesToLoadsOnTheScopesThreadUntilTheScopeEnds) {
    const auto sets = sampleSets();
    kvCompositeColorSegmenterTool stored, tool, other;
    stored.train(sets, {});
    other.train({sets[1]}, {});
    const std::string bytes = storeToBytes(stored);
    {
        const Scope outer(Budget{1, 0});
        {
            const Scope inner(Budget{});  // no limits inside
            loadFromBytes(bytes, tool);
            EXPECT_TRUE(tool == stored);
        }
        tool = other;  // the outer budget is back: the load fails, the tool is kept
        EXPECT_THROW(loadFromBytes(bytes, tool), Budget::Exceeded);
        EXPECT_TRUE(tool == other);
        std::thread([&] { loadFromBytes(bytes, tool); }).join();  // another thread: no budget
        EXPECT_TRUE(tool == stored);
    }
    loadFromBytes(bytes, tool);  // no scope left
}

TEST(Budget, CheapRefusalsComeFirstAndTheUntrustedDefaultRefusesBeforeAllocating) {
    kvCompositeColorSegmenterTool tool;
    const auto img = uniformImage(kvPelRect(0, 0, 1, 1), {10, 20, 30});
    {
        const Scope scope(Budget{1, 1});
        const std::vector<kvCompositeColorSet> tooMany(
            255, kvCompositeColorSet({kvCompositeColor(img, noMask())}));
        EXPECT_THROW(tool.train(tooMany, {}), Defs::TooManyCompositeColors);
        EXPECT_THROW(tool.train({kvCompositeColorSet()}, {}), Defs::BadParams);
    }
    // Fraction 0 gives 255 levels: 133 MB of weights per example.
    const kvCompositeColorSet set(
        std::vector<kvCompositeColor>(8, kvCompositeColor(img, noMask())));
    const Scope scope(Budget::forUntrustedFiles());
    EXPECT_THROW(tool.train({set}, Params(0.0, 2)), Budget::Exceeded);
    tool.train(sampleSets(), {});  // ordinary tools fit
}

}  // namespace
