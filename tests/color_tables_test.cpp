#include "clsg/clrsgint/color_tables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <utility>

#include "platform/exception.h"

namespace {

struct Tables {
    kvCompositeColorSegmenterModel model;
    std::array<unsigned char, 256> quant{};
    int32_t n = 0;
};

Tables build(double f, uint32_t tmin) {
    Tables t;
    t.n = clsgint::buildSharedTables(t.model, f, tmin, clsgint::toleranceScale(f), t.quant);
    return t;
}

// Structural invariants that hold for every fraction in [0, 1] and tmin < 2^31.
void expectConsistent(const Tables& t) {
    EXPECT_EQ(t.quant[0], 0);
    EXPECT_EQ(t.quant[255], t.n - 1);
    for (int v = 1; v < 256; ++v) {
        const int step = t.quant[v] - t.quant[v - 1];
        EXPECT_TRUE(step == 0 || step == 1) << "v=" << v;
    }
    for (int v = 0; v < 256; ++v) {
        EXPECT_LE(t.model.lowLevelTable[v], t.quant[v]) << "v=" << v;
        EXPECT_GE(t.model.highLevelTable[v], t.quant[v]) << "v=" << v;
    }
    // Every level's centre lies in its run of values; entries past n - 1 stay 0.
    for (int level = 0; level < 256; ++level) {
        const unsigned char centre = t.model.levelCenterTable[level];
        if (level < t.n)
            EXPECT_EQ(t.quant[centre], level) << "level=" << level;
        else
            EXPECT_EQ(centre, 0) << "level=" << level;
    }
    EXPECT_EQ(t.model.levelStep, static_cast<unsigned char>(256 / t.n));
}

}  // namespace

TEST(ToleranceScale, WorkedValues) {
    const std::pair<double, int32_t> cases[] = {{0.1, 50}, {0.05, 71},         {0.5, 23},
                                                {1.0, 16}, {0.0, 255},         {-0.5, 255},
                                                {4.0, 8},  {1016.017578125, 0}};
    for (const auto& c : cases) EXPECT_EQ(clsgint::toleranceScale(c.first), c.second) << c.first;
}

// round(f * 256) must fit: 2^31 - 256 + 0.5 does, 2^31 + 0.5 does not; below zero,
// -2^31 - 0.5 still truncates to -2^31.
TEST(ToleranceScale, UnusableFractionsAreRefused) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, bool> cases[] = {{std::numeric_limits<double>::quiet_NaN(), false},
                                             {inf, false},
                                             {-inf, false},
                                             {1e10, false},
                                             {-1e10, false},
                                             {0.0, true},
                                             {0.1, true},
                                             {1.0, true},
                                             {-0.5, true},
                                             {4.0, true},
                                             {1016.017578125, true},
                                             {8388607.0, true},
                                             {8388608.0, false},
                                             {-8388608.0, true},
                                             {-8388609.0, false}};
    for (const auto& c : cases)
        EXPECT_EQ(clsgint::trainFractionUsable(c.first), c.second) << c.first;
}

TEST(SharedTables, DefaultParameters) {
    const Tables t = build(0.1, 2);
    EXPECT_EQ(t.n, 51);
    EXPECT_EQ(t.model.levelStep, 5);
    const std::pair<int, int> quant[] = {{0, 0}, {2, 0},    {3, 1},    {7, 1},
                                         {8, 2}, {253, 49}, {254, 50}, {255, 50}};
    for (const auto& q : quant) EXPECT_EQ(t.quant[q.first], q.second) << "v=" << q.first;
    const std::pair<int, int> centres[] = {{0, 1},  {1, 5},    {2, 10},   {3, 15},  {4, 20},
                                           {5, 26}, {48, 246}, {49, 251}, {50, 254}};
    for (const auto& c : centres)
        EXPECT_EQ(t.model.levelCenterTable[c.first], c.second) << "level=" << c.first;
    for (int v = 0; v < 30; ++v) EXPECT_EQ(t.model.toleranceTable[v], 2) << "v=" << v;
    EXPECT_EQ(t.model.toleranceTable[30], 3);
    EXPECT_EQ(t.model.toleranceTable[100], 10);
    EXPECT_EQ(t.model.toleranceTable[255], 25);
    EXPECT_EQ(t.model.lowLevelTable[100], 18);
    EXPECT_EQ(t.model.highLevelTable[100], 21);
    EXPECT_EQ(t.model.lowLevelTable[255], 45);
    EXPECT_EQ(t.model.highLevelTable[255], 50);
    EXPECT_EQ(t.model.reciprocalTable[0], 1.0f);
    for (int d = 1; d < 256; ++d) {  // single precision of the double quotient
        const float expected = static_cast<float>(1.0 / d);
        EXPECT_EQ(std::memcmp(&t.model.reciprocalTable[d], &expected, sizeof(float)), 0) << d;
    }
    expectConsistent(t);
}

TEST(SharedTables, ToleranceExtremesOfTheUnitRange) {
    const Tables one = build(1.0, 2), zero = build(0.0, 2);
    EXPECT_EQ(one.n, 17);
    EXPECT_EQ(one.model.levelStep, 15);
    for (int v = 0; v < 256; ++v) EXPECT_EQ(one.quant[v], (v + 8) / 16) << "v=" << v;
    EXPECT_EQ(zero.n, 255);
    EXPECT_EQ(zero.model.levelStep, 1);
    expectConsistent(one);
    expectConsistent(zero);
}

TEST(SharedTables, MinimumTolerance) {
    // tmin 0: values 0..9 have tolerance 0 and only their own level.
    const Tables none = build(0.1, 0);
    for (int v = 0; v < 10; ++v) {
        EXPECT_EQ(none.model.toleranceTable[v], 0) << "v=" << v;
        EXPECT_EQ(none.model.lowLevelTable[v], none.quant[v]) << "v=" << v;
        EXPECT_EQ(none.model.highLevelTable[v], none.quant[v]) << "v=" << v;
    }
    EXPECT_EQ(none.model.toleranceTable[10], 1);
    expectConsistent(none);

    // tmin 300: the full range everywhere, stored as 300 mod 256.
    const Tables wide = build(0.1, 300);
    for (int v = 0; v < 256; ++v) {
        EXPECT_EQ(wide.model.toleranceTable[v], 44) << "v=" << v;
        EXPECT_EQ(wide.model.lowLevelTable[v], 0) << "v=" << v;
        EXPECT_EQ(wide.model.highLevelTable[v], 50) << "v=" << v;
    }

    // tmin of 2^31 and above is negative: the scaled tolerance alone counts.
    for (uint32_t tmin : {0x80000000u, 0xffffffffu}) {
        const Tables neg = build(0.1, tmin);
        EXPECT_EQ(neg.model.toleranceTable, none.model.toleranceTable) << tmin;
        EXPECT_EQ(neg.model.lowLevelTable, none.model.lowLevelTable) << tmin;
        EXPECT_EQ(neg.model.highLevelTable, none.model.highLevelTable) << tmin;
    }
}

TEST(SharedTables, ZeroScaleGivesOneLevel) {
    kvCompositeColorSegmenterModel model;
    std::array<unsigned char, 256> quant;
    quant.fill(9);
    EXPECT_EQ(clsgint::buildSharedTables(model, 1016.017578125, 2, 0, quant), 1);
    EXPECT_EQ(quant, (std::array<unsigned char, 256>{}));
    EXPECT_EQ(model.levelStep, 0);  // 256 in 8 bits
    std::array<unsigned char, 256> centres{};
    centres[0] = 127;
    EXPECT_EQ(model.levelCenterTable, centres);
}

TEST(SharedTables, NegativeToleranceStaysInsideTheTables) {
    // f < 0 with a negative tmin: v - tol runs past 255 and v + tol below 0.
    const Tables t = build(-0.5, 0x80000000u);
    EXPECT_EQ(t.n, 255);
    EXPECT_EQ(t.model.toleranceTable[200], static_cast<unsigned char>(-100));
    EXPECT_EQ(t.model.lowLevelTable[200], t.quant[255]);
    EXPECT_EQ(t.model.highLevelTable[200], t.quant[100]);
    EXPECT_GT(t.model.lowLevelTable[200], t.model.highLevelTable[200]);  // empty range
}

TEST(SharedTables, RejectsScaleOutsideTheLevelRange) {
    kvCompositeColorSegmenterModel model;
    std::array<unsigned char, 256> quant{};
    EXPECT_THROW(clsgint::buildSharedTables(model, 0.1, 2, -1, quant), kvException);
    EXPECT_THROW(clsgint::buildSharedTables(model, 0.1, 2, 256, quant), kvException);
}

TEST(ColorModel, DefaultIsEmptyAndZero) {
    const kvCompositeColorSegmenterModel model;
    const std::array<unsigned char, 256> zeros{};
    EXPECT_TRUE(model.instanceModels.empty() && model.instanceCounts.empty());
    EXPECT_EQ(model.levelStep, 0);
    EXPECT_EQ(model.reciprocalTable, (std::array<float, 256>{}));
    for (const auto* table : {&model.toleranceTable, &model.lowLevelTable, &model.highLevelTable,
                              &model.levelCenterTable})
        EXPECT_EQ(*table, zeros);
    const kvCompositeColorInstanceModel instance;
    EXPECT_EQ(instance.normFactor, 0.0);
    EXPECT_EQ(instance.levelCount, 0u);
    EXPECT_TRUE(instance.weights.empty() && instance.quantTable.empty());
}

TEST(ColorModel, CopiesAreDeepAndCompareEqual) {
    Tables t = build(0.1, 2);
    kvCompositeColorInstanceModel instance;
    instance.normFactor = std::numeric_limits<double>::infinity();
    instance.levelCount = 2;
    instance.weights.assign(8, 0.25);
    instance.quantTable.assign(t.quant.begin(), t.quant.end());
    t.model.instanceModels = {instance, instance};
    t.model.instanceCounts = {2};

    kvCompositeColorSegmenterModel copy = t.model;
    EXPECT_TRUE(copy == t.model);
    copy.instanceModels[1].weights[7] = 0.5;
    EXPECT_EQ(t.model.instanceModels[1].weights[7], 0.25);
    EXPECT_TRUE(copy != t.model);
    const std::function<void(kvCompositeColorSegmenterModel&)> changes[] = {
        [](auto& m) { m.reciprocalTable[3] = -m.reciprocalTable[3]; },
        [](auto& m) { m.levelStep = 4; }, [](auto& m) { m.instanceCounts[0] = 1; }};
    for (const auto& change : changes) {
        copy = t.model;
        change(copy);
        EXPECT_FALSE(copy == t.model);
    }

    // Weights compare by bit pattern: +0.0 and -0.0 differ.
    kvCompositeColorInstanceModel a = instance, b = instance;
    a.weights[0] = 0.0;
    b.weights[0] = -0.0;
    EXPECT_FALSE(a == b);
    EXPECT_TRUE(a == kvCompositeColorInstanceModel(a));
}
