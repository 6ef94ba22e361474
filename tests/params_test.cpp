// Train and run parameters: accepted ranges, messages, defaults, equality.
#include "clsg/colorseg/params.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "clsg/colorseg/errors.h"

using TrainParams = kvCompositeColorSegmenterTrainParams;
using RunParams = kvCompositeColorSegmenterRunParams;

TEST(Params, RangesRefusedWithTheirMessageNeverNarrowedDefaultsAndEquality) {
    const std::string frac = "colorToleranceFrac < 0 || colorToleranceFrac > 1",
                      size = "neighborhoodSize > 2147483647",
                      notPositive = "neighborhoodSize <= 0 ",
                      min = "colorToleranceMin < 0 || colorToleranceMin > 4294967295";
    RunParams r(5, false);
    TrainParams t(0.25, 9);
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { t.colorToleranceFrac(std::nextafter(1.0, 2.0)); }, frac},
        {[&] { t.colorToleranceFrac(-std::numeric_limits<double>::denorm_min()); }, frac},
        {[&] { t.colorToleranceFrac(std::nan("")); }, frac},
        {[] { TrainParams(2.0, 5); }, frac},
        {[&] { r.neighborhoodSize(0); }, notPositive},
        {[&] { r.neighborhoodSize(4294967299L); }, size},           // would store 3
        {[&] { r.neighborhoodSize(-4294967295LL); }, notPositive},  // would store 1
        {[] { RunParams(4294967299L, true); }, size},
        {[&] { t.colorToleranceMin(4294967298UL); }, min},  // would store 2
        {[&] { t.colorToleranceMin(-1); }, min},
        {[] { TrainParams(0.1, -4294967294LL); }, min},
    };
    for (const auto& c : cases) {
        std::string message = "(nothing thrown)";
        try {
            c.first();
        } catch (const kvCompositeColorSegmenterDefs::BadParams& e) {
            message = e.message();
        }
        EXPECT_EQ(message, c.second);
    }
    EXPECT_TRUE(r == RunParams(5, false) && t == TrainParams(0.25, 9));  // kept
    // The bounds themselves are stored as given; even sizes are the scorer's business.
    r.neighborhoodSize(2147483647L);
    t.colorToleranceMin(4294967295UL);
    t.colorToleranceFrac(1.0);
    EXPECT_TRUE(r == RunParams(2147483647, false) && t == TrainParams(1.0, 4294967295u));
    r.neighborhoodSize(4);
    EXPECT_EQ(r.neighborhoodSize(), 4);
    // Defaults; equality is exact in every field.
    EXPECT_TRUE(TrainParams() == TrainParams(0.1, 2) && RunParams() == RunParams(3, false));
    EXPECT_FALSE(TrainParams() == TrainParams(std::nextafter(0.1, 1.0), 2) ||
                 TrainParams() == TrainParams(0.1, 3));
    EXPECT_FALSE(RunParams() == RunParams(3, true) || RunParams() == RunParams(5, false));
}
