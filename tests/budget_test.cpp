// The training budget: its two costs to the unit, where it applies (train,
// tool loads, this thread's scope only), and that the cheap refusals of
// training come before it.
#include <gtest/gtest.h>

#include <functional>
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

// Two labels: a 5 x 4 image with a mask selecting 7 pixels (3 colours), and
// a whole 3 x 2 image.
std::vector<kvCompositeColorSet> sampleSets() {
    const kvPelRect w(0, 0, 5, 4);
    const auto image = makeImage(w, [](long x, long y) {
        return Rgb{static_cast<unsigned char>(x * 60), static_cast<unsigned char>(250 - y * 70),
                   static_cast<unsigned char>((x + y) % 3 * 100)};
    });
    const auto mask = makeMask(w, [](long x, long y) { return (x + 2 * y) % 3 == 0; });
    const auto whole = uniformImage(kvPelRect(2, 1, 3, 2), {5, 128, 255});
    return {kvCompositeColorSet({kvCompositeColor(image, mask)}),
            kvCompositeColorSet({kvCompositeColor(whole, noMask())})};
}

// The costs as the budget defines them, from a model trained without one.
struct Costs {
    uint64_t bytes, work;
};
Costs expectedCosts(const std::vector<kvCompositeColorSet>& sets,
                    const kvCompositeColorSegmenterTrainParams& params) {
    kvCompositeColorSegmenterTool tool;
    tool.train(sets, params);
    const kvCompositeColorSegmenterModel& m = clsgint::toolModel(tool);
    const uint64_t n = m.instanceModels[0].levelCount, cells = n * n * n;
    auto box = [&](unsigned char c) {
        return static_cast<uint64_t>(m.highLevelTable[c] - m.lowLevelTable[c] + 1);
    };
    uint64_t examples = 0, work = 0;
    for (const auto& set : sets)
        for (const auto& example : set.instances()) {
            ++examples;
            work += cells;
            const auto& image = example.images()[0];
            const auto& mask = example.masks()[0];
            for (long y = image.window().top(); y < image.window().bottom(); ++y)
                for (long x = image.window().left(); x < image.window().right(); ++x) {
                    ++work;
                    if (mask.isBound() && *mask.pointToPel(x, y) == 0) continue;
                    work += box(*image.plane0().pointToPel(x, y)) *
                            box(*image.plane1().pointToPel(x, y)) *
                            box(*image.plane2().pointToPel(x, y));
                }
        }
    return {examples * cells * 8 + cells * 4, work};
}

template <class E>
std::string messageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "<no exception>";
}

TEST(Budget, EachCostIsExactAndALimitOneBelowItRefuses) {
    const auto sets = sampleSets();
    for (const double fraction : {0.1, 0.05}) {
        const kvCompositeColorSegmenterTrainParams params(fraction, 3);
        const Costs cost = expectedCosts(sets, params);
        struct Case {
            Budget budget;
            const char* refusal;  // nullptr: trains
        };
        const Case cases[] = {
            {{cost.bytes, cost.work}, nullptr},
            {{cost.bytes - 1, 0}, "bytes"},
            {{0, cost.work - 1}, "work units"},
            {{cost.bytes - 1, cost.work - 1}, "bytes"},  // the byte check comes first
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(std::to_string(fraction) + " " + std::to_string(c.budget.maxBytes) + " " +
                         std::to_string(c.budget.maxWork));
            kvCompositeColorSegmenterTool tool;
            tool.train(sets, params);
            const Scope scope(c.budget);
            if (!c.refusal) {
                tool.train(sets, params);
                EXPECT_TRUE(tool.isTrained());
                continue;
            }
            const bool bytes = std::string(c.refusal) == "bytes";
            const std::string expected =
                "training would need " + std::to_string(bytes ? cost.bytes : cost.work) + " " +
                c.refusal + ", over the budget of " +
                std::to_string(bytes ? c.budget.maxBytes : c.budget.maxWork);
            EXPECT_EQ(messageOf<Budget::Exceeded>([&] { tool.train(sets, params); }), expected);
            EXPECT_FALSE(tool.isTrained());
        }
    }
}

TEST(Budget, AppliesToLoadsOnTheScopesThreadUntilTheScopeEnds) {
    const auto sets = sampleSets();
    const kvCompositeColorSegmenterTrainParams params(0.1, 2);
    kvCompositeColorSegmenterTool stored;
    stored.train(sets, params);
    const std::string bytes = storeToBytes(stored);

    kvCompositeColorSegmenterTool tool, other;
    other.train({sets[1]}, params);
    {
        const Scope outer(Budget{1, 0});
        {
            const Scope inner(Budget{});  // no limits inside
            loadFromBytes(bytes, tool);
            EXPECT_TRUE(tool == stored);
        }
        // The outer budget is back: the load fails and keeps the tool as it was.
        tool = other;
        EXPECT_THROW(loadFromBytes(bytes, tool), Budget::Exceeded);
        EXPECT_TRUE(tool == other);
        // Another thread has no budget.
        std::thread([&] { loadFromBytes(bytes, tool); }).join();
        EXPECT_TRUE(tool == stored);
    }
    loadFromBytes(bytes, tool);  // no scope left
}

TEST(Budget, CheapRefusalsComeFirst) {
    // Too many labels, or no example pixel, is said as such under any budget.
    const Scope scope(Budget{1, 1});
    kvCompositeColorSegmenterTool tool;
    const auto img = uniformImage(kvPelRect(0, 0, 2, 2), {10, 20, 30});
    const std::vector<kvCompositeColorSet> tooMany(
        255, kvCompositeColorSet({kvCompositeColor(img, noMask())}));
    EXPECT_THROW(tool.train(tooMany, {}), Defs::TooManyCompositeColors);
    EXPECT_THROW(tool.train({kvCompositeColorSet()}, {}), Defs::BadParams);
}

TEST(Budget, TheUntrustedDefaultRefusesAFractionZeroToolOfManyExamples) {
    // Fraction 0 gives 255 levels: 133 MB of weights per example.
    const auto img = uniformImage(kvPelRect(0, 0, 1, 1), {1, 2, 3});
    const kvCompositeColorSet set(
        std::vector<kvCompositeColor>(8, kvCompositeColor(img, noMask())));
    kvCompositeColorSegmenterTool tool;
    const Scope scope(Budget::forUntrustedFiles());
    EXPECT_THROW(tool.train({set}, kvCompositeColorSegmenterTrainParams(0.0, 2)), Budget::Exceeded);
    tool.train(sampleSets(), {});  // ordinary tools fit
}

}  // namespace
