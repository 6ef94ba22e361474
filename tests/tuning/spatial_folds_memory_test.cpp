// What splitting examples into folds costs in memory: it grows with the
// examples, not with the picture they are drawn on.
#include <gtest/gtest.h>

#include <atomic>

#include "clsg/platform/pel_ops.h"
#include "clsg/tuning/spatial_folds.h"
#include "counted_allocations.h"

namespace {
std::atomic<std::size_t> gAllocated{0};  // bytes asked of operator new so far
}  // namespace
void clsgtest::noteAllocation(std::size_t bytes) { gAllocated += bytes; }

TEST(SpatialFolds, TwoSmallStrokesOnALargePictureNeedLittleMemory) {
    // 4000 x 4000 pixels; two 8 x 8 examples in far corners, so that the tiles
    // are halved down to 4 (a million tiles over the whole picture).
    const kvPelRect window(0, 0, 4000, 4000);
    kv3PlanePelBuffer image(window);
    for (long y = 0; y < 4000; ++y)
        for (long x = 0; x < 4000; ++x) {
            const bool left = x < 2000;
            *image.plane0().pointToPel(x, y) = left ? 200 : 40;
            *image.plane1().pointToPel(x, y) = 60;
            *image.plane2().pointToPel(x, y) = left ? 30 : 190;
        }
    const auto rect = [&](long x, long y) {
        kvPelBuffer<unsigned char> mask(window);
        kfPelSet_U8(mask, 0);
        for (long j = y; j < y + 8; ++j)
            for (long i = x; i < x + 8; ++i) *mask.pointToPel(i, j) = 255;
        return kvCompositeColorSet({kvCompositeColor(image, mask)});
    };
    const std::vector<kvCompositeColorSet> sets = {rect(8, 8), rect(3984, 3984)};
    const std::size_t before = gAllocated;
    const clsg::SpatialFolds folds(sets, 2, 32);
    EXPECT_EQ(folds.tileSize(), 4);
    // Tens of kilobytes; a grid over the whole picture took over 100 MB.
    EXPECT_LT(gAllocated - before, std::size_t{1} << 20);
    std::size_t heldOut = 0;
    for (uint32_t f = 0; f < 2; ++f)
        for (const clsg::HeldOutPiece& piece : folds.heldOut(f)) heldOut += piece.pixels.size();
    EXPECT_EQ(heldOut, 128u);  // every selected pixel, once
}
