// The label pass on every instruction-set path against a plain transcription of its rule.
#include "clsg/clrsgint/label_pass.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "clsg/clrsgint/cpu_features.h"

namespace {

// Round half away from zero in single precision, clamped to 0..255.
void reference(const std::vector<std::vector<double>>& scores, long x, unsigned char& label,
               unsigned char& confidence) {
    double b = 0.0, second = 0.0;
    label = 255;
    for (std::size_t k = 0; k < scores.size(); ++k) {
        const double s = scores[k][x];
        if (s > b)
            second = b, b = s, label = static_cast<unsigned char>(k);
        else if (s > second)
            second = s;
    }
    const float q = static_cast<float>((b - second) / (second + b) * 255.0);  // NaN when b is 0
    confidence = !(q > 0.0f) ? 0 : q >= 255.0f ? 255 : std::floor(double(q) + 0.5);
}

// Ties, NaN, zeros, infinities, negatives, .5 roundings and every row tail.
TEST(LabelPass, EveryPathMatchesThePlainRule) {
    const double inf = HUGE_VAL, nan = std::nan("");
    const double specials[] = {0.0,  -0.0,   1.0,   1.0, 3.0,       nan,         inf,   -inf,
                               -2.0, 1e-310, 1e300, 0.5, 2.0 / 3.0, 1.0 / 511.0, 255.0, 7.0};
    std::mt19937 rng(5);
    for (kvSimdLevel level : {kvSimdLevel::Portable, kvSimdLevel::Avx2, kvSimdLevel::Avx512}) {
        const kvSimdLevel previous = kvSetSimdLimit(level);
        for (std::size_t labels = 0; labels <= 6 && kvActiveSimd() == level; ++labels)
            for (long width = 1; width <= 37; width += 3) {
                SCOPED_TRACE(::testing::Message() << "level " << int(level) << " labels " << labels
                                                  << " width " << width);
                std::vector<std::vector<double>> scores(labels, std::vector<double>(width));
                for (auto& row : scores)
                    for (double& s : row)
                        s = rng() % 3 == 0 ? specials[rng() % 16]
                                           : std::ldexp(double(rng() % 1000), -int(rng() % 20));
                std::vector<const double*> rows;
                for (const auto& row : scores) rows.push_back(row.data());
                std::vector<unsigned char> label(width), confidence(width);
                clsgint::labelPassRow(rows.data(), labels, width, label.data(), confidence.data());
                for (long x = 0; x < width; ++x) {
                    unsigned char l, c;
                    reference(scores, x, l, c);
                    EXPECT_TRUE(label[x] == l && confidence[x] == c) << x;
                }
            }
        kvSetSimdLimit(previous);
    }
}

}  // namespace
