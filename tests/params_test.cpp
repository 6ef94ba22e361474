// Train and run parameters: accepted ranges, messages, defaults, equality.
#include "clsg/colorseg/params.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "clsg/colorseg/errors.h"

using Defs = kvCompositeColorSegmenterDefs;

namespace {

const char kFracMessage[] = "colorToleranceFrac < 0 || colorToleranceFrac > 1";
const char kSizeMessage[] = "neighborhoodSize <= 0 ";

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

TEST(TrainParams, ToleranceFracRange) {
    kvCompositeColorSegmenterTrainParams p;
    p.colorToleranceFrac(0.0);
    EXPECT_EQ(p.colorToleranceFrac(), 0.0);
    p.colorToleranceFrac(1.0);
    EXPECT_EQ(p.colorToleranceFrac(), 1.0);

    p.colorToleranceFrac(0.25);
    const double inf = std::numeric_limits<double>::infinity();
    for (double bad : {-1e-300, std::nextafter(1.0, 2.0), std::nan(""), -std::nan(""), inf, -inf,
                       -std::numeric_limits<double>::denorm_min(), 2.0}) {
        EXPECT_EQ(badParamsMessage([&] { p.colorToleranceFrac(bad); }), kFracMessage) << bad;
        EXPECT_EQ(p.colorToleranceFrac(), 0.25);  // kept
    }
    EXPECT_EQ(badParamsMessage([] { kvCompositeColorSegmenterTrainParams(2.0, 5); }), kFracMessage);
    EXPECT_EQ(badParamsMessage([] { kvCompositeColorSegmenterTrainParams(std::nan(""), 5); }),
              kFracMessage);
}

TEST(TrainParams, ToleranceMinStoredUnchanged) {
    kvCompositeColorSegmenterTrainParams p(0.5, 0);
    EXPECT_EQ(p.colorToleranceMin(), 0u);
    p.colorToleranceMin(4294967295u);
    EXPECT_EQ(p.colorToleranceMin(), 4294967295u);
    EXPECT_EQ(p.colorToleranceFrac(), 0.5);
}

TEST(TrainParams, DefaultsAndExactEquality) {
    const kvCompositeColorSegmenterTrainParams d;
    EXPECT_EQ(d.colorToleranceFrac(), 0.1);
    EXPECT_EQ(d.colorToleranceMin(), 2u);
    EXPECT_TRUE(d == kvCompositeColorSegmenterTrainParams(0.1, 2));

    const double nextUp = std::nextafter(0.1, 1.0);
    EXPECT_FALSE(d == kvCompositeColorSegmenterTrainParams(nextUp, 2));
    EXPECT_FALSE(d == kvCompositeColorSegmenterTrainParams(0.1, 3));

    kvCompositeColorSegmenterTrainParams copy(d);
    EXPECT_TRUE(copy == d);
    kvCompositeColorSegmenterTrainParams assigned(0.7, 9);
    assigned = d;
    EXPECT_TRUE(assigned == d);
}

TEST(RunParams, NeighborhoodSizeRange) {
    kvCompositeColorSegmenterRunParams p;
    p.neighborhoodSize(1);
    EXPECT_EQ(p.neighborhoodSize(), 1);
    p.neighborhoodSize(4);  // even sizes are the scorer's business, not the setter's
    EXPECT_EQ(p.neighborhoodSize(), 4);
    p.neighborhoodSize(2147483647);
    EXPECT_EQ(p.neighborhoodSize(), 2147483647);

    p.neighborhoodSize(5);
    for (long bad : {0L, -5L, -2147483648L}) {
        const std::string message = badParamsMessage([&] { p.neighborhoodSize(bad); });
        EXPECT_EQ(message, kSizeMessage);
        EXPECT_EQ(message.size(), 22u);
        EXPECT_EQ(p.neighborhoodSize(), 5);  // kept
    }
    EXPECT_EQ(badParamsMessage([] { kvCompositeColorSegmenterRunParams(0, true); }), kSizeMessage);
}

TEST(RunParams, DefaultsAndEquality) {
    const kvCompositeColorSegmenterRunParams d;
    EXPECT_EQ(d.neighborhoodSize(), 3);
    EXPECT_FALSE(d.normalizeIntensity());
    EXPECT_TRUE(d == kvCompositeColorSegmenterRunParams(3, false));
    EXPECT_FALSE(d == kvCompositeColorSegmenterRunParams(3, true));
    EXPECT_FALSE(d == kvCompositeColorSegmenterRunParams(5, false));

    kvCompositeColorSegmenterRunParams p(7, true);
    p.normalizeIntensity(false);
    EXPECT_FALSE(p.normalizeIntensity());
    kvCompositeColorSegmenterRunParams assigned;
    assigned = p;
    EXPECT_TRUE(assigned == kvCompositeColorSegmenterRunParams(7, false));
}
