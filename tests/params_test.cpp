// Train and run parameters: accepted ranges, messages, defaults, equality.
#include "clsg/colorseg/params.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "clsg/colorseg/errors.h"

using Defs = kvCompositeColorSegmenterDefs;
using TrainParams = kvCompositeColorSegmenterTrainParams;
using RunParams = kvCompositeColorSegmenterRunParams;

namespace {

template <class F>
std::string badParamsMessage(F f) {
    try {
        f();
    } catch (const Defs::BadParams& e) {
        return e.message();
    }
    return "(nothing thrown)";
}

}  // namespace

TEST(TrainParams, ToleranceFracRangeRefusesNaNAndKeepsTheOldValue) {
    const char kMessage[] = "colorToleranceFrac < 0 || colorToleranceFrac > 1";
    TrainParams p(0.0, 0);
    p.colorToleranceFrac(1.0);
    EXPECT_EQ(p.colorToleranceFrac(), 1.0);
    p.colorToleranceFrac(0.25);
    const double inf = std::numeric_limits<double>::infinity();
    for (double bad : {-std::numeric_limits<double>::denorm_min(), std::nextafter(1.0, 2.0),
                       std::nan(""), -std::nan(""), inf, -inf}) {
        EXPECT_EQ(badParamsMessage([&] { p.colorToleranceFrac(bad); }), kMessage) << bad;
        EXPECT_EQ(p.colorToleranceFrac(), 0.25);
    }
    EXPECT_EQ(badParamsMessage([] { TrainParams(2.0, 5); }), kMessage);
    EXPECT_EQ(badParamsMessage([] { TrainParams(std::nan(""), 5); }), kMessage);
    // The minimum is stored as given, over its whole range.
    p.colorToleranceMin(4294967295u);
    EXPECT_EQ(p.colorToleranceMin(), 4294967295u);
    EXPECT_EQ(TrainParams(0.5, 0).colorToleranceMin(), 0u);
}

TEST(TrainParams, DefaultsAndExactEquality) {
    const TrainParams d;
    EXPECT_EQ(d.colorToleranceFrac(), 0.1);
    EXPECT_EQ(d.colorToleranceMin(), 2u);
    EXPECT_TRUE(d == TrainParams(0.1, 2));
    EXPECT_FALSE(d == TrainParams(std::nextafter(0.1, 1.0), 2));
    EXPECT_FALSE(d == TrainParams(0.1, 3));
}

TEST(RunParams, NeighborhoodSizeRangeAndMessageWithItsTrailingSpace) {
    RunParams p(1, false);
    p.neighborhoodSize(4);  // even sizes are the scorer's business, not the setter's
    EXPECT_EQ(p.neighborhoodSize(), 4);
    p.neighborhoodSize(2147483647);
    EXPECT_EQ(p.neighborhoodSize(), 2147483647);
    for (long bad : {0L, -5L, -2147483648L}) {
        EXPECT_EQ(badParamsMessage([&] { p.neighborhoodSize(bad); }), "neighborhoodSize <= 0 ");
        EXPECT_EQ(p.neighborhoodSize(), 2147483647);
    }
    EXPECT_EQ(badParamsMessage([] { RunParams(0, true); }), "neighborhoodSize <= 0 ");
}

TEST(Params, WideIntegersAreRefusedNeverNarrowed) {
    const std::string size = "neighborhoodSize > 2147483647",
                      min = "colorToleranceMin < 0 || colorToleranceMin > 4294967295";
    RunParams r(5, false);
    TrainParams t(0.1, 9);
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { r.neighborhoodSize(4294967299L); }, size},  // would store 3
        {[&] { r.neighborhoodSize(3000000000L); }, size},
        {[&] { r.neighborhoodSize(2147483648u); }, size},
        {[&] { r.neighborhoodSize(-4294967295LL); }, "neighborhoodSize <= 0 "},  // would store 1
        {[] { RunParams(4294967299L, true); }, size},
        {[&] { t.colorToleranceMin(4294967298UL); }, min},  // would store 2
        {[&] { t.colorToleranceMin(-1); }, min},
        {[] { TrainParams(0.1, -4294967294LL); }, min},
    };
    for (const auto& c : cases) EXPECT_EQ(badParamsMessage(c.first), c.second);
    EXPECT_EQ(r.neighborhoodSize(), 5);
    EXPECT_EQ(t.colorToleranceMin(), 9u);
    r.neighborhoodSize(2147483647L);
    t.colorToleranceMin(4294967295UL);
    EXPECT_EQ(r.neighborhoodSize(), 2147483647);
    EXPECT_EQ(t.colorToleranceMin(), 4294967295u);
}

TEST(RunParams, DefaultsAndEquality) {
    const RunParams d;
    EXPECT_EQ(d.neighborhoodSize(), 3);
    EXPECT_FALSE(d.normalizeIntensity());
    EXPECT_TRUE(d == RunParams(3, false));
    EXPECT_FALSE(d == RunParams(3, true));
    EXPECT_FALSE(d == RunParams(5, false));
    RunParams p(7, true);
    p.normalizeIntensity(false);
    EXPECT_TRUE(p == RunParams(7, false));
}
