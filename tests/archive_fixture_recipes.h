// Objects behind tests/data/archive, stored by fuzz/make_archive_fixtures.
#pragma once

#include <vector>

#include "clsg/colorseg/composite_color.h"
#include "clsg/colorseg/params.h"
#include "clsg/colorseg/segmenter_result.h"
#include "clsg/colorseg/segmenter_tool.h"
#include "platform/pel_ops.h"

namespace fixture {

inline void setPel(const kv3PlanePelBuffer& image, long x, long y, unsigned char r, unsigned char g,
                   unsigned char b) {
    image.plane0().pointToPel(x, y)[0] = r;
    image.plane1().pointToPel(x, y)[0] = g;
    image.plane2().pointToPel(x, y)[0] = b;
}

// 3 x 2 pels at (-1, 2): red 10 x + 100, green 20 y, blue 7.
inline kv3PlanePelBuffer image() {
    kv3PlanePelBuffer im(kvPelRect(-1, 2, 3, 2));
    for (long y = 2; y < 4; ++y)
        for (long x = -1; x < 2; ++x)
            setPel(im, x, y, static_cast<unsigned char>(10 * x + 100),
                   static_cast<unsigned char>(20 * y), 7);
    return im;
}

inline kvPelBuffer<unsigned char> mask() {
    kvPelBuffer<unsigned char> m(kvPelRect(-1, 2, 3, 2));
    for (long y = 2; y < 4; ++y)
        for (long x = -1; x < 2; ++x) m.pointToPel(x, y)[0] = x == -1 ? 0 : 255;
    return m;
}

inline kv3PlanePelBuffer uniform(const kvPelRect& w, unsigned char r, unsigned char g,
                                 unsigned char b) {
    kv3PlanePelBuffer im(w);
    for (long y = w.top(); y < w.bottom(); ++y)
        for (long x = w.left(); x < w.right(); ++x) setPel(im, x, y, r, g, b);
    return im;
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

inline kvCompositeColorSegmenterTrainParams trainParams() {
    return kvCompositeColorSegmenterTrainParams(1.0, 3);
}
inline kvCompositeColorSegmenterRunParams runParams() {
    return kvCompositeColorSegmenterRunParams(2, true);
}

inline kvCompositeColorSegmenterTool tool() {
    kvCompositeColorSegmenterTool t;
    t.train(sets(), trainParams());
    return t;
}

inline kv3PlanePelBuffer runImage() {
    kv3PlanePelBuffer im(kvPelRect(0, 0, 4, 3));
    for (long y = 0; y < 3; ++y)
        for (long x = 0; x < 4; ++x) {
            if (x < 2)
                setPel(im, x, y, 110, 40, 7);
            else if (y < 2)
                setPel(im, x, y, 30, 180, 90);
            else
                setPel(im, x, y, 90, 90, 90);
        }
    return im;
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
