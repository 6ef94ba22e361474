// Pixel buffers, geometry, pixel operations, rounding, text and transforms
// of the platform layer.
#include "platform/pel_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "platform/pel_ops.h"
#include "platform/str.h"
#include "platform/three_plane.h"
#include "platform/xform.h"

namespace {

// A value that identifies the pel at (x, y), negative coordinates included.
unsigned char tag(long x, long y) { return static_cast<unsigned char>(x * 7 + y * 31 + 100); }

kvPelBuffer<unsigned char> tagged(const kvPelRect& w) {
    kvPelBuffer<unsigned char> b(w);
    for (long y = w.top(); y < w.bottom(); ++y)
        for (long x = w.left(); x < w.right(); ++x) *b.pointToPel(x, y) = tag(x, y);
    return b;
}

}  // namespace

TEST(PelBuffer, UnboundByDefault) {
    kvPelBuffer<unsigned char> b;
    EXPECT_FALSE(b.isBound());
    EXPECT_EQ(b.width(), 0);
    EXPECT_THROW(b.window(kvPelRect(0, 0, 1, 1), true), kvPel::UnboundWindow);
    EXPECT_THROW(kfPelCopy(b), kvPel::UnboundWindow);
    EXPECT_THROW(kfPelHistogram(b), kvPel::UnboundWindow);
}

TEST(PelBuffer, AbsoluteAddressingWithNegativeOrigin) {
    const kvPelRect w(-5, -3, 7, 4);
    kvPelBuffer<unsigned char> b = tagged(w);
    EXPECT_TRUE(b.isBound());
    EXPECT_EQ(b.window(), w);
    EXPECT_EQ(b.width(), 7);
    EXPECT_EQ(b.height(), 4);
    EXPECT_EQ(b.pointToRow(-3), b.pointToPel(-5, -3));
    for (long y = w.top(); y < w.bottom(); ++y) {
        const unsigned char* row = b.pointToRow(y);
        for (long x = w.left(); x < w.right(); ++x) EXPECT_EQ(row[x - w.left()], tag(x, y));
        if (y + 1 < w.bottom()) {
            EXPECT_EQ(reinterpret_cast<const char*>(b.pointToRow(y + 1)) -
                          reinterpret_cast<const char*>(row),
                      b.rowStride());
        }
    }

    kvPelBuffer<double> d(kvPelRect(-2, -9, 3, 2));
    *d.pointToPel(0, -8) = 1.25;
    EXPECT_EQ(d.pointToRow(-8)[2], 1.25);
}

TEST(PelBuffer, CopiesShareAndPelCopyDoesNot) {
    kvPelBuffer<unsigned char> a = tagged(kvPelRect(2, 3, 4, 5));
    kvPelBuffer<unsigned char> shared = a;
    kvPelBuffer_const<unsigned char> view(a);
    kvPelBuffer<unsigned char> own = kfPelCopy(a);
    EXPECT_EQ(own.window(), a.window());
    EXPECT_NE(own.pointToRow(3), a.pointToRow(3));
    EXPECT_TRUE(own.imageFromClientXformBase()->isEqual(*a.imageFromClientXformBase().get()));

    *shared.pointToPel(4, 5) = 1;
    EXPECT_EQ(*a.pointToPel(4, 5), 1);
    EXPECT_EQ(*view.pointToPel(4, 5), 1);
    EXPECT_EQ(*own.pointToPel(4, 5), tag(4, 5));
    *own.pointToPel(2, 3) = 2;
    EXPECT_EQ(*a.pointToPel(2, 3), tag(2, 3));

    // A copy of a narrowed window copies only that window.
    shared.window(kvPelRect(3, 4, 2, 2), false);
    kvPelBuffer<unsigned char> part = kfPelCopy(shared);
    EXPECT_EQ(part.window(), kvPelRect(3, 4, 2, 2));
    EXPECT_EQ(*part.pointToPel(4, 5), 1);
    EXPECT_EQ(*part.pointToPel(3, 4), tag(3, 4));

    kvPelBuffer<double> dv(kvPelRect(0, 0, 2, 1));
    kfPelSet(dv, -3.5);
    kvPelBuffer<double> dc = kfPelCopy(dv);
    kfPelSet(dv, 0.0);
    EXPECT_EQ(dc.pointToRow(0)[1], -3.5);
}

TEST(PelBuffer, WindowNarrowingClippingAndRefusal) {
    kvPelBuffer<unsigned char> b = tagged(kvPelRect(-4, -4, 8, 8));
    unsigned char* corner = b.pointToPel(-1, 2);

    b.window(kvPelRect(-1, 2, 3, 2), false);
    EXPECT_EQ(b.window(), kvPelRect(-1, 2, 3, 2));
    EXPECT_EQ(b.pointToRow(2), corner);  // same pels, same coordinates
    EXPECT_EQ(b.pointToRow(3)[2], tag(1, 3));

    // Widening back to the pels that exist is allowed; past them is not.
    b.window(kvPelRect(-4, -4, 8, 8), false);
    EXPECT_EQ(*b.pointToPel(3, 3), tag(3, 3));
    EXPECT_THROW(b.window(kvPelRect(-5, 0, 2, 2), false), kvPel::BadWindow);
    EXPECT_THROW(b.window(kvPelRect(0, 0, 4, 5), false), kvPel::BadWindow);
    EXPECT_EQ(b.window(), kvPelRect(-4, -4, 8, 8));  // unchanged by the refusal

    b.window(kvPelRect(-10, 1, 12, 100), true);
    EXPECT_EQ(b.window(), kvPelRect(-4, 1, 6, 3));
    b.window(kvPelRect(20, 20, 3, 3), true);
    EXPECT_EQ(b.width() * b.height(), 0);
}

TEST(PelBuffer, RowsAreAligned) {
    for (long alignment : {16L, 32L, 64L}) {
        for (long width : {1L, 13L, 33L, 100L}) {
            kvPelBuffer<unsigned char> u(kvPelRect(-3, 7, width, 5), alignment);
            kvPelBuffer<double> d(kvPelRect(5, -2, width, 4), alignment);
            EXPECT_EQ(u.rowStride() % alignment, 0);
            EXPECT_GE(u.rowStride(), width);
            EXPECT_GE(d.rowStride(), width * 8);
            for (long y = 7; y < 12; ++y)
                EXPECT_EQ(reinterpret_cast<std::uintptr_t>(u.pointToRow(y)) % alignment, 0u);
            for (long y = -2; y < 2; ++y)
                EXPECT_EQ(reinterpret_cast<std::uintptr_t>(d.pointToRow(y)) % alignment, 0u);
        }
    }
}

TEST(PelBuffer, EmptyWindows) {
    kvPelBuffer<unsigned char> e(kvPelRect(3, 4, 0, 5));
    EXPECT_TRUE(e.isBound());
    EXPECT_EQ(e.width(), 0);
    EXPECT_EQ(e.height(), 5);
    EXPECT_EQ(kfPelHistogram(e)[0], 0u);
    kvPelBuffer<unsigned char> c = kfPelCopy(e);
    EXPECT_TRUE(c.isBound());
    EXPECT_EQ(c.window(), e.window());
    EXPECT_TRUE(kfPelEqual(e, c));
    kfPelSet(e, 9);  // nothing to fill

    // Operations on an empty window do not walk its rows, however many.
    const auto start = std::chrono::steady_clock::now();
    kvPelBuffer<unsigned char> tall(kvPelRect(0, -5, 0, 0x7FFFFFFF - 5));
    kfPelSet(tall, 1);
    EXPECT_EQ(kfPelHistogram(tall)[1], 0u);
    EXPECT_EQ(kfPelCopy(tall).window(), tall.window());
    EXPECT_EQ(kfPelMap(tall, std::vector<unsigned char>(256)).window(), tall.window());
    EXPECT_EQ(kfPelSample(tall, 10, 10).window(), kvPelRect(0, -5, 0, 214748365));
    EXPECT_TRUE(kfPelEqual(tall, kfPelCopy(tall)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    // A negative size is taken as empty.
    EXPECT_EQ(kvPelRect(1, 1, -4, 3).width(), 0);
    EXPECT_EQ(kvPelRect(1, 1, 4, -3).height(), 0);
}

TEST(Geometry, PelRectGrowsByRectangle) {
    const kvPelRect w(10, 20, 5, 6);
    EXPECT_EQ(w.right(), 15);
    EXPECT_EQ(w.bottom(), 26);
    // Odd neighbourhood of 3: one pel on every side.
    EXPECT_EQ(w + kvRectangle<long>(-1, -1, 3, 3), kvPelRect(9, 19, 7, 8));
    // Even neighbourhood of 4 (offsets -2 .. 2).
    EXPECT_EQ(w + kvRectangle<long>(-2, -2, 5, 5), kvPelRect(8, 18, 9, 10));
    // A single offset moves the window.
    EXPECT_EQ(w + kvRectangle<long>(3, -4, 1, 1), kvPelRect(13, 16, 5, 6));
    // No offsets: no pels.
    EXPECT_TRUE((w + kvRectangle<long>(1, 1, 0, 3)).isEmpty());
    EXPECT_TRUE((w + kvRectangle<long>(1, 1, 3, 0)).isEmpty());

    const kvRectangle<long> r = kvPelRect(-1, 2, 3, 4);
    EXPECT_EQ(r, kvRectangle<long>(-1, 2, 3, 4));
    EXPECT_EQ(kvPelRect(r), kvPelRect(-1, 2, 3, 4));
}

TEST(Geometry, RectangleIntersection) {
    const kvRectangle<long> a(-5, -5, 10, 10);
    EXPECT_EQ(a.intersect(kvRectangle<long>(0, 2, 20, 1), false), kvRectangle<long>(0, 2, 5, 1));
    EXPECT_EQ(a.intersect(kvRectangle<long>(-2, -3, 2, 2), true), kvRectangle<long>(-2, -3, 2, 2));

    // Touching edges and disjoint rectangles leave nothing.
    for (const kvRectangle<long>& other :
         {kvRectangle<long>(5, 0, 3, 3), kvRectangle<long>(0, -8, 3, 3),
          kvRectangle<long>(50, 50, 3, 3), kvRectangle<long>(0, 0, 0, 3)}) {
        const kvRectangle<long> r = a.intersect(other, false);
        EXPECT_TRUE(r.width() == 0 || r.height() == 0);
        EXPECT_GE(r.width(), 0);
        EXPECT_GE(r.height(), 0);
        EXPECT_THROW(a.intersect(other, true), kvPel::BadWindow);
    }

    kvRectangle<long> b = a;
    b &= kvRectangle<long>(-10, 3, 8, 100);
    EXPECT_EQ(b, kvRectangle<long>(-5, 3, 3, 2));
    b &= kvRectangle<long>(100, 100, 1, 1);
    EXPECT_EQ(b.width() * b.height(), 0);
}

TEST(ThreePlane, PlanesMustShareOneWindow) {
    const kvPelRect w(-1, -2, 4, 3);
    kvPelBuffer<unsigned char> r(w), g(w), bl(w), other(kvPelRect(-1, -2, 4, 4));
    kv3PlanePelBuffer rgb(r, g, bl);
    EXPECT_TRUE(rgb.isBound());
    EXPECT_EQ(rgb.window(), w);
    EXPECT_EQ(rgb.colorSpace(), kvColorSpaceRGB);
    EXPECT_EQ(static_cast<int>(kvColorSpaceRGB), 1);
    EXPECT_EQ(rgb.plane1().pointToRow(-2), g.pointToRow(-2));  // planes are shared

    EXPECT_THROW(kv3PlanePelBuffer(r, other, bl), kvPel::BadWindow);
    EXPECT_THROW(kv3PlanePelBuffer(r, g, kvPelBuffer<unsigned char>()), kvPel::BadWindow);
    EXPECT_THROW(kv3PlanePelBuffer(kvPelBuffer<unsigned char>(), g, bl), kvPel::BadWindow);
    // Same size at another place is a different window.
    kvPelBuffer<unsigned char> moved(kvPelRect(0, -2, 4, 3));
    EXPECT_THROW(kv3PlanePelBuffer(r, g, moved), kvPel::BadWindow);

    kv3PlanePelBuffer none(kvPelBuffer<unsigned char>(), kvPelBuffer<unsigned char>(),
                           kvPelBuffer<unsigned char>(), kvColorSpaceHSI);
    EXPECT_FALSE(none.isBound());
    EXPECT_EQ(none.colorSpace(), kvColorSpaceHSI);

    const kv3PlanePelBuffer_const view(rgb);
    EXPECT_EQ(view.plane2().pointToRow(0), bl.pointToRow(0));
    EXPECT_EQ(view.colorSpace(), kvColorSpaceRGB);

    // Copies have pels of their own and keep the colour-space tag.
    kfPelSet(r, 9);
    rgb.colorSpace(kvColorSpaceYUV);
    const kv3PlanePelBuffer copy = kfPelCopy(rgb);
    EXPECT_EQ(copy.colorSpace(), kvColorSpaceYUV);
    EXPECT_EQ(copy.window(), w);
    EXPECT_NE(copy.plane0().pointToRow(-2), r.pointToRow(-2));
    EXPECT_TRUE(kfPelEqual(copy.plane0(), r));
    EXPECT_EQ(kfPelCopy(none).colorSpace(), kvColorSpaceHSI);
    EXPECT_FALSE(kfPelCopy(none).isBound());
}

TEST(PelOps, SampleKeepsEveryTenthPel) {
    // ceil(W / 10) x ceil(H / 10), starting at the window's top-left corner.
    struct Case {
        long w, h, sw, sh;
    };
    for (const Case& c : {Case{25, 7, 3, 1}, Case{10, 10, 1, 1}, Case{11, 11, 2, 2},
                          Case{1, 1, 1, 1}, Case{9, 31, 1, 4}, Case{40, 20, 4, 2}}) {
        const kvPelRect w(-13, 6, c.w, c.h);
        kvPelBuffer<unsigned char> src = tagged(w);
        kvPelBuffer<unsigned char> s = kfPelSample(src, 10, 10);
        ASSERT_EQ(s.window(), kvPelRect(-13, 6, c.sw, c.sh)) << c.w << "x" << c.h;
        for (long r = 0; r < c.sh; ++r)
            for (long k = 0; k < c.sw; ++k)
                EXPECT_EQ(s.pointToRow(6 + r)[k], tag(-13 + 10 * k, 6 + 10 * r));
    }
    // Offsets count from the window, not from the pels underneath it.
    kvPelBuffer<unsigned char> big = tagged(kvPelRect(0, 0, 30, 30));
    big.window(kvPelRect(3, 4, 12, 5), false);
    kvPelBuffer<unsigned char> s = kfPelSample(big, 10, 2);
    ASSERT_EQ(s.window(), kvPelRect(3, 4, 2, 3));
    EXPECT_EQ(s.pointToRow(4)[1], tag(13, 4));
    EXPECT_EQ(s.pointToRow(6)[0], tag(3, 8));
    EXPECT_THROW(kfPelSample(big, 0, 1), kvPel::Errors);
}

TEST(PelOps, MapHistogramAndEqual) {
    kvPelBuffer<unsigned char> src = tagged(kvPelRect(0, 0, 40, 40));
    src.window(kvPelRect(0, 5, 17, 9), false);
    std::vector<unsigned char> table(256);
    for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(255 - i);

    kvPelBuffer<unsigned char> m = kfPelMap(src, table);
    EXPECT_EQ(m.window(), src.window());
    std::vector<uint64_t> expected(256, 0);
    for (long y = 5; y < 14; ++y)
        for (long x = 0; x < 17; ++x) {
            EXPECT_EQ(*m.pointToPel(x, y), 255 - tag(x, y));
            EXPECT_EQ(*src.pointToPel(x, y), tag(x, y));  // source untouched
            ++expected[tag(x, y)];
        }
    EXPECT_THROW(kfPelMap(src, std::vector<unsigned char>(255)), kvPel::Errors);

    // Only the window is counted.
    const auto counts = kfPelHistogram(src);
    for (int v = 0; v < 256; ++v) EXPECT_EQ(counts[v], expected[v]) << v;

    // Equal pels at another place compare equal; one pel or the size differing does not.
    kvPelBuffer<unsigned char> moved(kvPelRect(100, -50, 17, 9));
    for (long y = 0; y < 9; ++y) std::memcpy(moved.pointToRow(-50 + y), src.pointToRow(5 + y), 17);
    EXPECT_TRUE(kfPelEqual(src, moved));
    *moved.pointToPel(116, -42) ^= 1;
    EXPECT_FALSE(kfPelEqual(src, moved));
    kvPelBuffer<unsigned char> shorter = kfPelCopy(src);
    shorter.window(kvPelRect(0, 5, 17, 8), false);
    EXPECT_FALSE(kfPelEqual(src, shorter));
    EXPECT_TRUE(kfPelEqual(kvPelBuffer<unsigned char>(), kvPelBuffer<unsigned char>()));
    EXPECT_FALSE(kfPelEqual(src, kvPelBuffer<unsigned char>()));

    kvPelBuffer<double> a(kvPelRect(0, 0, 3, 2)), b(kvPelRect(1, 1, 3, 2));
    kfPelSet(a, 0.5);
    kfPelSet(b, 0.5);
    EXPECT_TRUE(kfPelEqual(a, b));
    b.pointToRow(2)[2] = std::nextafter(0.5, 1.0);
    EXPECT_FALSE(kfPelEqual(a, b));
}

TEST(Rounding, IRoundHalvesAwayFromZero) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float in;
        int32_t out;
    };
    for (const Case& c : {Case{0.5f, 1},
                          Case{-0.5f, -1},
                          Case{1.5f, 2},
                          Case{2.5f, 3},
                          Case{-2.5f, -3},
                          Case{0.49999997f, 0},
                          Case{-0.49999997f, 0},
                          Case{0.0f, 0},
                          Case{-0.0f, 0},
                          Case{254.5f, 255},
                          Case{254.49998f, 254},
                          Case{8388607.5f, 8388608},
                          Case{16777217.0f, 16777216},
                          Case{2147483520.0f, 2147483520},
                          Case{2147483648.0f, std::numeric_limits<int32_t>::max()},
                          Case{-2147483648.0f, std::numeric_limits<int32_t>::min()},
                          Case{3e9f, std::numeric_limits<int32_t>::max()},
                          Case{-3e9f, std::numeric_limits<int32_t>::min()},
                          Case{inf, std::numeric_limits<int32_t>::max()},
                          Case{-inf, std::numeric_limits<int32_t>::min()},
                          Case{std::numeric_limits<float>::quiet_NaN(), 0},
                          Case{-std::numeric_limits<float>::quiet_NaN(), 0}})
        EXPECT_EQ(iRound(c.in), c.out) << c.in;
}

TEST(Rounding, ILimitClamps) {
    EXPECT_EQ(kfILimit(-1, 0, 255), 0);
    EXPECT_EQ(kfILimit(0, 0, 255), 0);
    EXPECT_EQ(kfILimit(255, 0, 255), 255);
    EXPECT_EQ(kfILimit(256, 0, 255), 255);
    EXPECT_EQ(kfILimit(17, 0, 255), 17);
    EXPECT_EQ(kfILimit(std::numeric_limits<long>::min(), -3, 3), -3);
}

TEST(Text, Str) {
    EXPECT_EQ(kfStr(0.1), "0.1");
    EXPECT_EQ(kfStr(1.0), "1");
    EXPECT_EQ(kfStr(-2.5), "-2.5");
    EXPECT_EQ(kfStr(1e-300), "1e-300");
    EXPECT_EQ(kfStr(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(kfStr(0), "0");
    EXPECT_EQ(kfStr(-17), "-17");
    EXPECT_EQ(kfStr(253L), "253");
    EXPECT_EQ(kfStr(-2147483648L), "-2147483648");
    EXPECT_EQ(kfStr(4294967295UL), "4294967295");
    EXPECT_EQ(kfStr(uint32_t{2}), "2");
    EXPECT_EQ(kfStr(true), "true");
    EXPECT_EQ(kfStr(false), "false");

    // Every double reads back to itself.
    std::mt19937_64 rng(7);
    for (int i = 0; i < 2000; ++i) {
        uint64_t bits = rng();
        double v;
        std::memcpy(&v, &bits, 8);
        if (!std::isfinite(v)) continue;
        const std::string text = kfStr(v);
        const double back = std::strtod(text.c_str(), nullptr);
        EXPECT_EQ(std::memcmp(&back, &v, 8), 0) << text;
    }
}

namespace {

// Counts how many transforms of this class are alive.
int gLiveCounting = 0;
class CountingXform : public kv2XformLinear {
public:
    CountingXform(const kvMatrix<2>& m, double tx, double ty) : kv2XformLinear(m, tx, ty) {
        ++gLiveCounting;
    }
    ~CountingXform() override { --gLiveCounting; }
};

class OtherXform : public kv2XformBase {
public:
    void map(double x, double y, double& ox, double& oy) const override {
        ox = x;
        oy = y;
    }
    kv2XformHandle composeBase(const kv2XformBase&) const override { return {}; }
    bool isEqual(const kv2XformBase&) const override { return false; }

protected:
    void dispatchSerialize(kvArchive&) override {}
};

kvMatrix<2> scale(double s) {
    kvMatrix<2> m;
    m(0, 0) = s;
    m(1, 1) = s;
    return m;
}

}  // namespace

TEST(Xform, ComposeAppliesTheArgumentFirst) {
    const kv2XformLinear scale2(scale(2.0), 0.0, 0.0);
    const kv2XformLinear shift(kvMatrix<2>(), 1.0, -3.0);
    double x = 0, y = 0;

    // scale2(shift(p)): (5, 7) -> (6, 4) -> (12, 8)
    kv2XformHandle a = scale2.composeBase(shift);
    a->map(5.0, 7.0, x, y);
    EXPECT_EQ(x, 12.0);
    EXPECT_EQ(y, 8.0);
    // shift(scale2(p)): (5, 7) -> (10, 14) -> (11, 11)
    kv2XformHandle b = shift.composeBase(scale2);
    b->map(5.0, 7.0, x, y);
    EXPECT_EQ(x, 11.0);
    EXPECT_EQ(y, 11.0);
    EXPECT_FALSE(a->isEqual(*b.get()));

    kvMatrix<2> m;
    m(0, 1) = 3.0;  // shear: x' = x + 3 y
    const kv2XformLinear shear(m, 0.0, 0.0);
    kv2XformHandle c = shear.composeBase(scale2);
    c->map(1.0, 2.0, x, y);
    EXPECT_EQ(x, 14.0);
    EXPECT_EQ(y, 4.0);

    EXPECT_THROW(scale2.composeBase(OtherXform()), kvBadPointer);
}

TEST(Xform, NewBuffersCarryTheIdentity) {
    kvPelBuffer<unsigned char> u(kvPelRect(-1, -1, 2, 2));
    kvPelBuffer<double> d(kvPelRect(0, 0, 1, 1));
    kv3PlanePelBuffer rgb(kvPelRect(0, 0, 3, 3));
    for (const kv2XformHandle* h : {&u.imageFromClientXformBase(), &d.imageFromClientXformBase(),
                                    &rgb.plane2().imageFromClientXformBase()}) {
        ASSERT_TRUE(*h);
        EXPECT_TRUE((*h)->isEqual(kv2XformLinear()));
        double x = 0, y = 0;
        (*h)->map(-4.5, 9.0, x, y);
        EXPECT_EQ(x, -4.5);
        EXPECT_EQ(y, 9.0);
    }
}

TEST(Xform, ReferenceCountFreesTheLastHandle) {
    EXPECT_EQ(gLiveCounting, 0);
    {
        kv2XformHandle h(new CountingXform(scale(3.0), 1.0, 2.0));
        EXPECT_EQ(gLiveCounting, 1);
        kvPelBuffer<unsigned char> shared(kvPelRect(0, 0, 2, 2));
        kvPelBuffer<unsigned char> own(kvPelRect(0, 0, 2, 2));
        shared.imageFromClientXformBase(h, true);
        own.imageFromClientXformBase(h, false);
        EXPECT_EQ(shared.imageFromClientXformBase().get(), h.get());
        EXPECT_NE(own.imageFromClientXformBase().get(), h.get());
        EXPECT_TRUE(own.imageFromClientXformBase()->isEqual(*h.get()));

        kvPelBuffer<unsigned char> other(kvPelRect(5, 5, 1, 1));
        other.copyXforms(shared);
        EXPECT_EQ(other.imageFromClientXformBase().get(), h.get());

        kv2XformHandle copy = h;
        copy = copy;  // self-assignment keeps the object
        kv2XformHandle moved = std::move(copy);
        moved = kv2XformHandle();
        h = kv2XformHandle();
        EXPECT_EQ(gLiveCounting, 1);  // still held by shared and other
        shared = kvPelBuffer<unsigned char>();
        EXPECT_EQ(gLiveCounting, 1);
        other.imageFromClientXformBase(kv2XformHandle(), true);
        EXPECT_EQ(gLiveCounting, 0);  // own kept a copy of its own
        EXPECT_TRUE(own.imageFromClientXformBase());
    }
    EXPECT_EQ(gLiveCounting, 0);

    std::atomic<long> n{5};
    EXPECT_EQ(kfInterlockedIncrement(n), 6);
    EXPECT_EQ(kfInterlockedDecrement(n), 5);
}
