// Tests of the vector kernels run once per instruction-set path, each forced
// in turn with kvSetSimdLimit. A path this processor lacks is reported as a
// skipped test naming it, so a run's log says which paths were exercised.
//   class MyKernel : public SimdPath {};
//   TEST_P(MyKernel, MatchesThePlainLoop) { ... runs on GetParam()'s path ... }
//   INSTANTIATE_SIMD_PATHS(MyKernel);
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "clsg/clrsgint/cpu_features.h"

inline std::string simdPathName(kvSimdLevel level) {
    switch (level) {
        case kvSimdLevel::Portable:
            return "Portable";
        case kvSimdLevel::Avx2:
            return "Avx2";
        case kvSimdLevel::Avx512:
            return "Avx512";
    }
    return "Unknown";
}

class SimdPath : public ::testing::TestWithParam<kvSimdLevel> {
protected:
    void SetUp() override {
        previous_ = kvSetSimdLimit(GetParam());
        if (kvActiveSimd() != GetParam())
            GTEST_SKIP() << "this processor has no " << simdPathName(GetParam())
                         << " path: not exercised here";
    }
    void TearDown() override { kvSetSimdLimit(previous_); }

private:
    kvSimdLevel previous_ = kvSimdLevel::Portable;
};

#define INSTANTIATE_SIMD_PATHS(Suite)                                                     \
    INSTANTIATE_TEST_SUITE_P(                                                             \
        Path, Suite,                                                                      \
        ::testing::Values(kvSimdLevel::Portable, kvSimdLevel::Avx2, kvSimdLevel::Avx512), \
        [](const ::testing::TestParamInfo<kvSimdLevel>& info) {                           \
            return simdPathName(info.param);                                              \
        })
