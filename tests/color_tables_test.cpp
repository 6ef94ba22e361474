#include "clsg/clrsgint/color_tables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
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
    // Quantisation steps by 0 or 1 from 0 to n - 1; each level's centre lies in its run.
    EXPECT_EQ(t.quant[255], t.n - 1);
    for (int v = 0; v < 256; ++v) {
        EXPECT_TRUE(v == 0 ? t.quant[0] == 0 : t.quant[v] - t.quant[v - 1] + 0u <= 1u) << v;
        if (v < t.n) {
            EXPECT_EQ(t.quant[t.model.levelCenterTable[v]], v) << "level " << v;
        }
    }
    return t;
}

}  // namespace

TEST(ToleranceScale, WorkedValuesAndRefusals) {
    const std::pair<double, int32_t> cases[] = {
        {0.1, 50}, {0.05, 71}, {1.0, 16}, {0.0, 255}, {-0.5, 255}, {4.0, 8}, {1016.017578125, 0}};
    for (const auto& c : cases) EXPECT_EQ(clsgint::toleranceScale(c.first), c.second) << c.first;
    // round(f * 256) must fit an int32.
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = 1.0 / 0.0;
    const double usable[] = {0.1, 8388607.0, -8388608.0},
                 refused[] = {nan, inf, 8388608.0, -8388609.0};
    for (double f : usable) EXPECT_TRUE(clsgint::trainFractionUsable(f)) << f;
    for (double f : refused) EXPECT_FALSE(clsgint::trainFractionUsable(f)) << f;
}

TEST(SharedTables, DefaultParameters) {
    const Tables t = build(0.1, 2);
    EXPECT_EQ(t.n, 51);
    EXPECT_EQ(t.model.levelStep, 5);
    const int quant[][2] = {{2, 0}, {3, 1}, {7, 1}, {8, 2}, {253, 49}, {254, 50}};
    for (const auto& q : quant) EXPECT_EQ(t.quant[q[0]], q[1]) << "v=" << q[0];
    const int centres[][2] = {{0, 1}, {1, 5}, {5, 26}, {49, 251}, {50, 254}};
    for (const auto& c : centres) EXPECT_EQ(t.model.levelCenterTable[c[0]], c[1]) << c[0];
    EXPECT_EQ(t.model.levelCenterTable[51], 0);
    const int tol[][4] = {{29, 2, 0, 0}, {30, 3, 0, 0}, {100, 10, 18, 21}, {255, 25, 45, 50}};
    for (const auto& c : tol) {
        EXPECT_EQ(t.model.toleranceTable[c[0]], c[1]) << c[0];
        if (c[2] == 0) continue;
        EXPECT_EQ(t.model.lowLevelTable[c[0]], c[2]) << c[0];
        EXPECT_EQ(t.model.highLevelTable[c[0]], c[3]) << c[0];
    }
    EXPECT_EQ(t.model.reciprocalTable[0], 1.0f);
    for (int d = 1; d < 256; ++d) {  // single precision of the double quotient
        const float expected = static_cast<float>(1.0 / d);
        EXPECT_EQ(std::memcmp(&t.model.reciprocalTable[d], &expected, sizeof(float)), 0) << d;
    }
}

TEST(SharedTables, ExtremesOfFractionAndMinimum) {
    const Tables one = build(1.0, 2), zero = build(0.0, 2);
    EXPECT_EQ(one.model.levelStep, 15);
    for (int v = 0; v < 256; ++v) EXPECT_EQ(one.quant[v], (v + 8) / 16) << "v=" << v;
    EXPECT_EQ(zero.n, 255);
    EXPECT_EQ(zero.model.levelStep, 1);
    // tmin 0: values 0..9 have tolerance 0 and only their own level.
    const Tables none = build(0.1, 0);
    for (int v = 0; v < 10; ++v) {
        EXPECT_EQ(none.model.toleranceTable[v], 0) << "v=" << v;
        EXPECT_EQ(none.model.highLevelTable[v], none.quant[v]) << "v=" << v;
    }
    // tmin 300: the full range everywhere, stored as 300 mod 256.
    const Tables wide = build(0.1, 300);
    EXPECT_EQ(wide.model.toleranceTable[200], 44);
    EXPECT_EQ(wide.model.lowLevelTable[255], 0);
    EXPECT_EQ(wide.model.highLevelTable[0], 50);
    // tmin of 2^31 and above is negative: the scaled tolerance alone counts.
    EXPECT_EQ(build(0.1, 0xffffffffu).model.lowLevelTable, none.model.lowLevelTable);
    // f < 0 with a negative tmin: the range runs past the ends and comes out empty.
    const Tables t = build(-0.5, 0x80000000u);
    EXPECT_EQ(t.model.lowLevelTable[200], t.quant[255]);
    EXPECT_EQ(t.model.highLevelTable[200], t.quant[100]);
}

TEST(SharedTables, ZeroScaleGivesOneLevelAndBadScalesAreRefused) {
    kvCompositeColorSegmenterModel model;
    std::array<unsigned char, 256> quant;
    quant.fill(9);
    EXPECT_EQ(clsgint::buildSharedTables(model, 1016.017578125, 2, 0, quant), 1);
    EXPECT_EQ(quant, (std::array<unsigned char, 256>{}));
    EXPECT_EQ(model.levelStep, 0);  // 256 in 8 bits
    EXPECT_EQ(model.levelCenterTable[0], 127);
    EXPECT_THROW(clsgint::buildSharedTables(model, 0.1, 2, -1, quant), kvException);
    EXPECT_THROW(clsgint::buildSharedTables(model, 0.1, 2, 256, quant), kvException);
}

// Copies are deep; a table entry or a weight's sign bit tells models apart.
TEST(ColorModel, CopiesAreDeepAndCompareByBits) {
    kvCompositeColorSegmenterModel model = build(0.1, 2).model, copy;
    model.instanceModels.resize(2);
    model.instanceModels[1].weights.assign(8, 0.0);
    copy = model;
    EXPECT_TRUE(copy == model);
    copy.instanceModels[1].weights[7] = -0.0;
    EXPECT_EQ(std::signbit(model.instanceModels[1].weights[7]), false);
    EXPECT_TRUE(copy != model);
    copy = model;
    copy.reciprocalTable[3] = -copy.reciprocalTable[3];
    EXPECT_FALSE(copy == model);
}
