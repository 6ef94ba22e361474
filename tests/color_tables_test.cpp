#include "clsg/clrsgint/color_tables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "platform/exception.h"

namespace {

struct Tables {
    kvCompositeColorSegmenterModel model;
    std::array<unsigned char, 256> quant{};
    int32_t n = 0;
};

Tables build(double f, uint32_t tmin) {
    Tables t;
    t.n = buildSharedTables(t.model, f, tmin, toleranceScale(f), t.quant);
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
    EXPECT_EQ(toleranceScale(0.1), 50);
    EXPECT_EQ(toleranceScale(0.05), 71);
    EXPECT_EQ(toleranceScale(0.5), 23);
    EXPECT_EQ(toleranceScale(1.0), 16);
    EXPECT_EQ(toleranceScale(0.0), 255);
    EXPECT_EQ(toleranceScale(-0.5), 255);
    EXPECT_EQ(toleranceScale(4.0), 8);
    EXPECT_EQ(toleranceScale(1016.017578125), 0);
}

TEST(ToleranceScale, UnusableFractionsAreRefused) {
    EXPECT_FALSE(trainFractionUsable(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_FALSE(trainFractionUsable(std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(trainFractionUsable(-std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(trainFractionUsable(1e10));
    EXPECT_FALSE(trainFractionUsable(-1e10));
    EXPECT_TRUE(trainFractionUsable(0.0));
    EXPECT_TRUE(trainFractionUsable(0.1));
    EXPECT_TRUE(trainFractionUsable(1.0));
    EXPECT_TRUE(trainFractionUsable(-0.5));
    EXPECT_TRUE(trainFractionUsable(4.0));
    EXPECT_TRUE(trainFractionUsable(1016.017578125));
    // round(f * 256) must fit: 2^31 - 256 + 0.5 does, 2^31 + 0.5 does not;
    // below zero, -2^31 - 0.5 still truncates to -2^31.
    EXPECT_TRUE(trainFractionUsable(8388607.0));
    EXPECT_FALSE(trainFractionUsable(8388608.0));
    EXPECT_TRUE(trainFractionUsable(-8388608.0));
    EXPECT_FALSE(trainFractionUsable(-8388609.0));
}

TEST(SharedTables, DefaultParameters) {
    const Tables t = build(0.1, 2);
    EXPECT_EQ(t.n, 51);
    EXPECT_EQ(t.model.levelStep, 5);
    const unsigned char q0[] = {0, 0, 0, 1, 1, 1, 1, 1, 2};
    for (int v = 0; v < 9; ++v) EXPECT_EQ(t.quant[v], q0[v]) << "v=" << v;
    const unsigned char qEnd[] = {49, 49, 49, 49, 50, 50};
    for (int v = 250; v < 256; ++v) EXPECT_EQ(t.quant[v], qEnd[v - 250]) << "v=" << v;
    const unsigned char c0[] = {1, 5, 10, 15, 20, 26};
    for (int l = 0; l < 6; ++l) EXPECT_EQ(t.model.levelCenterTable[l], c0[l]) << "level=" << l;
    EXPECT_EQ(t.model.levelCenterTable[48], 246);
    EXPECT_EQ(t.model.levelCenterTable[49], 251);
    EXPECT_EQ(t.model.levelCenterTable[50], 254);
    for (int v = 0; v < 30; ++v) EXPECT_EQ(t.model.toleranceTable[v], 2) << "v=" << v;
    EXPECT_EQ(t.model.toleranceTable[30], 3);
    EXPECT_EQ(t.model.toleranceTable[100], 10);
    EXPECT_EQ(t.model.toleranceTable[255], 25);
    EXPECT_EQ(t.model.lowLevelTable[100], 18);
    EXPECT_EQ(t.model.highLevelTable[100], 21);
    EXPECT_EQ(t.model.lowLevelTable[255], 45);
    EXPECT_EQ(t.model.highLevelTable[255], 50);
    expectConsistent(t);
}

TEST(SharedTables, ReciprocalsAreSinglePrecisionOfDoubleQuotients) {
    const Tables t = build(0.1, 2);
    EXPECT_EQ(t.model.reciprocalTable[0], 1.0f);
    EXPECT_EQ(t.model.reciprocalTable[10], 0.1f);
    for (int d = 1; d < 256; ++d) {
        const float expected = static_cast<float>(1.0 / d);
        EXPECT_EQ(std::memcmp(&t.model.reciprocalTable[d], &expected, sizeof(float)), 0)
            << "t=" << d;
    }
}

TEST(SharedTables, ToleranceExtremesOfTheUnitRange) {
    const Tables one = build(1.0, 2);
    EXPECT_EQ(one.n, 17);
    EXPECT_EQ(one.model.levelStep, 15);
    for (int v = 0; v < 256; ++v) EXPECT_EQ(one.quant[v], (v + 8) / 16) << "v=" << v;
    EXPECT_EQ(one.quant[255], 16);
    expectConsistent(one);

    const Tables zero = build(0.0, 2);
    EXPECT_EQ(zero.n, 255);
    EXPECT_EQ(zero.model.levelStep, 1);
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
    const Tables reference = build(0.1, 0);
    for (uint32_t tmin : {0x80000000u, 0xffffffffu}) {
        const Tables neg = build(0.1, tmin);
        EXPECT_EQ(neg.model.toleranceTable, reference.model.toleranceTable) << tmin;
        EXPECT_EQ(neg.model.lowLevelTable, reference.model.lowLevelTable) << tmin;
        EXPECT_EQ(neg.model.highLevelTable, reference.model.highLevelTable) << tmin;
    }
}

TEST(SharedTables, ZeroScaleGivesOneLevel) {
    kvCompositeColorSegmenterModel model;
    std::array<unsigned char, 256> quant;
    quant.fill(9);
    EXPECT_EQ(buildSharedTables(model, 1016.017578125, 2, 0, quant), 1);
    for (int v = 0; v < 256; ++v) EXPECT_EQ(quant[v], 0) << "v=" << v;
    EXPECT_EQ(model.levelStep, 0);  // 256 in 8 bits
    EXPECT_EQ(model.levelCenterTable[0], 127);
    for (int l = 1; l < 256; ++l) EXPECT_EQ(model.levelCenterTable[l], 0) << "level=" << l;
}

TEST(SharedTables, NegativeToleranceStaysInsideTheTables) {
    // f < 0 with a negative tmin: v - tol runs past 255 and v + tol below 0.
    kvCompositeColorSegmenterModel model;
    std::array<unsigned char, 256> quant{};
    const int32_t n = buildSharedTables(model, -0.5, 0x80000000u, toleranceScale(-0.5), quant);
    EXPECT_EQ(n, 255);
    EXPECT_EQ(model.toleranceTable[200], static_cast<unsigned char>(-100));
    EXPECT_EQ(model.lowLevelTable[200], quant[255]);
    EXPECT_EQ(model.highLevelTable[200], quant[100]);
    EXPECT_GT(model.lowLevelTable[200], model.highLevelTable[200]);  // empty range
}

TEST(SharedTables, RejectsScaleOutsideTheLevelRange) {
    kvCompositeColorSegmenterModel model;
    std::array<unsigned char, 256> quant{};
    EXPECT_THROW(buildSharedTables(model, 0.1, 2, -1, quant), kvException);
    EXPECT_THROW(buildSharedTables(model, 0.1, 2, 256, quant), kvException);
}

TEST(ColorModel, DefaultIsEmptyAndZero) {
    const kvCompositeColorSegmenterModel model;
    EXPECT_TRUE(model.instanceModels.empty());
    EXPECT_TRUE(model.instanceCounts.empty());
    EXPECT_EQ(model.levelStep, 0);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(model.reciprocalTable[i], 0.0f);
        EXPECT_EQ(model.toleranceTable[i] | model.lowLevelTable[i] | model.highLevelTable[i] |
                      model.levelCenterTable[i],
                  0);
    }
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

    copy = t.model;
    copy.reciprocalTable[3] = -copy.reciprocalTable[3];
    EXPECT_FALSE(copy == t.model);
    copy = t.model;
    copy.levelStep = 4;
    EXPECT_FALSE(copy == t.model);
    copy = t.model;
    copy.instanceCounts[0] = 1;
    EXPECT_FALSE(copy == t.model);

    // Weights compare by bit pattern: +0.0 and -0.0 differ.
    kvCompositeColorInstanceModel a = instance, b = instance;
    a.weights[0] = 0.0;
    b.weights[0] = -0.0;
    EXPECT_FALSE(a == b);
    EXPECT_TRUE(a == kvCompositeColorInstanceModel(a));
}
