// Objects behind tests/data/archive, stored by fuzz/make_archive_fixtures.
#pragma once

#include <vector>

#include "clsg/colorseg/composite_color.h"
#include "clsg/colorseg/params.h"
#include "clsg/colorseg/segmenter_result.h"
#include "clsg/colorseg/segmenter_tool.h"
#include "clsg/platform/pel_ops.h"
#include "test_images.h"

namespace fixture {

// 3 x 2 pels at (-1, 2): red 10 x + 100, green 20 y, blue 7; the mask drops column -1.
inline kv3PlanePelBuffer image() {
    return makeImage(kvPelRect(-1, 2, 3, 2), [](long x, long y) {
        return Rgb{static_cast<unsigned char>(10 * x + 100), static_cast<unsigned char>(20 * y), 7};
    });
}
inline kvPelBuffer<unsigned char> mask() {
    return makeMask(kvPelRect(-1, 2, 3, 2), [](long x, long) { return x != -1; });
}
inline kvCompositeColor example() {
    kvCompositeColor e(image(), mask());
    e.add(uniformImage(kvPelRect(0, 0, 2, 1), {200, 50, 25}), noMask());
    return e;
}
inline std::vector<kvCompositeColorSet> sets() {
    return {kvCompositeColorSet({example()}),
            kvCompositeColorSet(
                {kvCompositeColor(uniformImage(kvPelRect(0, 0, 2, 2), {30, 180, 90}), noMask())})};
}
inline kvCompositeColorSegmenterTrainParams trainParams() { return {1.0, 3}; }
inline kvCompositeColorSegmenterRunParams runParams() { return {2, true}; }
inline kvCompositeColorSegmenterTool tool() {
    kvCompositeColorSegmenterTool t;
    t.train(sets(), trainParams());
    return t;
}
inline kvCompositeColorSegmenterResult result() {
    const Rgb left{110, 40, 7}, top{30, 180, 90}, grey{90, 90, 90};
    kvCompositeColorSegmenterResult r;
    const auto im = makeImage(kvPelRect(0, 0, 4, 3),
                              [&](long x, long y) { return x < 2 ? left : (y < 2 ? top : grey); });
    tool().run(im, kvCompositeColorSegmenterRunParams(3, false), r);
    return r;
}

// Version-0 result: two 2 x 2 score images over a 2 x 2 image translated by (2, -3).
inline kv3PlanePelBuffer v0Image() {
    kv3PlanePelBuffer im = uniformImage(kvPelRect(0, 0, 2, 2), {60, 70, 80});
    im.imageFromClientXformBase(kv2XformHandle(new kv2XformLinear(kvMatrix<2>(), 2.0, -3.0)), true);
    return im;
}
inline kvPelBuffer<double> v0Scores(int k) {  // both rows alike
    kvPelBuffer<double> s(kvPelRect(0, 0, 2, 2));
    for (long i = 0; i < 4; ++i)
        s.pointToPel(i % 2, i / 2)[0] = 0.25 * (k == 0 ? i % 2 : 2 - i % 2);
    return s;
}
inline std::vector<unsigned char> v0QuantTable() {
    std::vector<unsigned char> q(256);
    for (int i = 0; i < 256; ++i) q[i] = static_cast<unsigned char>(i / 16);
    return q;
}

constexpr const char* kErrorMessage = "stored for the fixtures";

}  // namespace fixture
