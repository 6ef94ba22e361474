#include "clsg/clrsgint/color_tables.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

struct Tables {
    kvCompositeColorSegmenterModel model;
    std::array<unsigned char, 256> quant{};
    int32_t n = 0;
};

// Quantisation steps by 0 or 1 from 0 to n - 1; each level's centre lies in its run.
Tables build(double f, uint32_t tmin) {
    Tables t;
    t.n = clsgint::buildSharedTables(t.model, f, tmin, clsgint::toleranceScale(f), t.quant);
    EXPECT_EQ(t.quant[255], t.n - 1);
    for (int v = 0; v < 256; ++v) {
        EXPECT_TRUE(v == 0 ? t.quant[0] == 0 : t.quant[v] - t.quant[v - 1] + 0u <= 1u) << v;
        EXPECT_TRUE(v >= t.n || t.quant[t.model.levelCenterTable[v]] == v) << "level " << v;
    }
    return t;
}

}  // namespace

TEST(ToleranceScale, WorkedValuesAndRefusals) {
    const std::pair<double, int32_t> cases[] = {
        {0.1, 50}, {0.05, 71}, {1.0, 16}, {0.0, 255}, {-0.5, 255}, {4.0, 8}, {1016.017578125, 0}};
    for (const auto& c : cases) EXPECT_EQ(clsgint::toleranceScale(c.first), c.second) << c.first;
    for (double f : {8388607.0, -8388608.0, 8388608.0, -8388609.0})  // round(f * 256) fits int32
        EXPECT_EQ(clsgint::trainFractionUsable(f), f < 8388608.0 && f > -8388609.0) << f;
}

TEST(SharedTables, DefaultsExtremesAndModelsCompareByBits) {
    const Tables t = build(0.1, 2);
    EXPECT_TRUE(t.n == 51 && t.model.levelStep == 5);
    const int centres[][2] = {{0, 1}, {1, 5}, {5, 26}, {49, 251}, {50, 254}, {51, 0}};
    for (const auto& c : centres) EXPECT_EQ(t.model.levelCenterTable[c[0]], c[1]) << c[0];
    EXPECT_TRUE(t.model.toleranceTable[29] == 2 && t.model.toleranceTable[30] == 3);
    for (const auto& c : {std::array<int, 4>{100, 10, 18, 21}, {255, 25, 45, 50}})
        EXPECT_TRUE(t.model.toleranceTable[c[0]] == c[1] && t.model.lowLevelTable[c[0]] == c[2] &&
                    t.model.highLevelTable[c[0]] == c[3])
            << c[0];
    for (int d = 0; d < 256; ++d)  // single precision of the double quotient
        EXPECT_EQ(t.model.reciprocalTable[d], d == 0 ? 1.0f : static_cast<float>(1.0 / d)) << d;
    EXPECT_EQ(build(0.0, 2).n, 255);
    const Tables none = build(0.1, 0);  // 0..9: tolerance 0, only their own level
    EXPECT_TRUE(none.model.toleranceTable[0] == 0 && none.model.toleranceTable[9] == 0 &&
                none.model.highLevelTable[9] == none.quant[9]);
    const Tables wide = build(0.1, 300);
    EXPECT_EQ(wide.model.toleranceTable[200], 44);  // 300 mod 256; full range everywhere
    EXPECT_TRUE(wide.model.lowLevelTable[255] == 0 && wide.model.highLevelTable[0] == 50);
    // tmin >= 2^31 is negative: scaled tolerance alone; with f < 0 the range comes out empty.
    EXPECT_EQ(build(0.1, 0xffffffffu).model.lowLevelTable, none.model.lowLevelTable);
    const Tables neg = build(-0.5, 0x80000000u);
    EXPECT_TRUE(neg.model.lowLevelTable[200] == neg.quant[255] &&
                neg.model.highLevelTable[200] == neg.quant[100]);

    kvCompositeColorSegmenterModel model = t.model;  // models compare by bits
    model.instanceModels.resize(2);
    model.instanceModels[1].weights.assign(8, 0.0);
    kvCompositeColorSegmenterModel copy = model;
    EXPECT_TRUE(copy == model);
    copy.instanceModels[1].weights[7] = -0.0;  // the sign bit tells models apart
    EXPECT_TRUE(copy != model);
}
