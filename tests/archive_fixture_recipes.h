// Objects behind tests/data/archive, stored by fuzz/make_archive_fixtures.
#pragma once

#include <array>
#include <vector>

#include "clsg/colorseg/composite_color.h"
#include "clsg/colorseg/params.h"
#include "clsg/colorseg/segmenter_result.h"
#include "clsg/colorseg/segmenter_tool.h"
#include "platform/pel_ops.h"

namespace fixture {

// Pels of w coloured by f(x, y) -> {r, g, b}.
template <class F>
kv3PlanePelBuffer painted(const kvPelRect& w, F f) {
    kv3PlanePelBuffer im(w);
    for (long y = w.top(); y < w.bottom(); ++y)
        for (long x = w.left(); x < w.right(); ++x) {
            const std::array<int, 3> c = f(x, y);
            for (int i = 0; i < 3; ++i)
                (i == 0   ? im.plane0()
                 : i == 1 ? im.plane1()
                          : im.plane2())
                    .pointToPel(x, y)[0] = static_cast<unsigned char>(c[i]);
        }
    return im;
}
inline kv3PlanePelBuffer uniform(const kvPelRect& w, int r, int g, int b) {
    return painted(w, [=](long, long) { return std::array<int, 3>{r, g, b}; });
}
// 3 x 2 pels at (-1, 2): red 10 x + 100, green 20 y, blue 7; the mask drops column -1.
inline kv3PlanePelBuffer image() {
    return painted(kvPelRect(-1, 2, 3, 2), [](long x, long y) {
        return std::array<int, 3>{int(10 * x + 100), int(20 * y), 7};
    });
}
inline kvPelBuffer<unsigned char> mask() {
    kvPelBuffer<unsigned char> m(kvPelRect(-1, 2, 3, 2));
    for (long y = 2; y < 4; ++y)
        for (long x = -1; x < 2; ++x) m.pointToPel(x, y)[0] = x == -1 ? 0 : 255;
    return m;
}

inline kvCompositeColor example() {
    kvCompositeColor e(image(), mask());
    e.add(uniform(kvPelRect(0, 0, 2, 1), 200, 50, 25), kvPelBuffer_const<unsigned char>());
    return e;
}

inline std::vector<kvCompositeColorSet> sets() {
    return {kvCompositeColorSet({example()}),
            kvCompositeColorSet({kvCompositeColor(uniform(kvPelRect(0, 0, 2, 2), 30, 180, 90),
                                                  kvPelBuffer_const<unsigned char>())})};
}

inline kvCompositeColorSegmenterTrainParams trainParams() { return {1.0, 3}; }
inline kvCompositeColorSegmenterRunParams runParams() { return {2, true}; }

inline kvCompositeColorSegmenterTool tool() {
    kvCompositeColorSegmenterTool t;
    t.train(sets(), trainParams());
    return t;
}

inline kv3PlanePelBuffer runImage() {
    return painted(kvPelRect(0, 0, 4, 3), [](long x, long y) {
        return x < 2   ? std::array<int, 3>{110, 40, 7}
               : y < 2 ? std::array<int, 3>{30, 180, 90}
                       : std::array<int, 3>{90, 90, 90};
    });
}

inline kvCompositeColorSegmenterResult result() {
    kvCompositeColorSegmenterResult r;
    tool().run(runImage(), kvCompositeColorSegmenterRunParams(3, false), r);
    return r;
}

// Version-0 result: two 2 x 2 score images over a 2 x 2 image translated by (2, -3).
inline kv3PlanePelBuffer v0Image() {
    kv3PlanePelBuffer im = uniform(kvPelRect(0, 0, 2, 2), 60, 70, 80);
    im.imageFromClientXformBase(kv2XformHandle(new kv2XformLinear(kvMatrix<2>(), 2.0, -3.0)), true);
    return im;
}
inline kvPelBuffer<double> v0Scores(int k) {
    kvPelBuffer<double> s(kvPelRect(0, 0, 2, 2));
    for (long y = 0; y < 2; ++y)
        for (long x = 0; x < 2; ++x) s.pointToPel(x, y)[0] = k == 0 ? 0.25 * x : 0.5 - 0.25 * x;
    return s;
}
inline std::vector<unsigned char> v0QuantTable() {
    std::vector<unsigned char> q(256);
    for (int i = 0; i < 256; ++i) q[i] = static_cast<unsigned char>(i / 16);
    return q;
}

constexpr const char* kErrorMessage = "stored for the fixtures";

}  // namespace fixture
