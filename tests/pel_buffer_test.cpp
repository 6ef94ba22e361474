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

using U8 = kvPelBuffer<unsigned char>;
using Rect = kvRectangle<long>;

// A value that identifies the pel at (x, y), negative coordinates included.
unsigned char tag(long x, long y) { return static_cast<unsigned char>(x * 7 + y * 31 + 100); }

U8 tagged(const kvPelRect& w, long alignment = 32) {
    U8 b(w, alignment);
    for (long y = w.top(); y < w.bottom(); ++y)
        for (long x = w.left(); x < w.right(); ++x) *b.pointToPel(x, y) = tag(x, y);
    return b;
}

std::uintptr_t address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

}  // namespace

TEST(PelBuffer, AbsoluteAddressingWithNegativeOriginAndAlignedRows) {
    const kvPelRect w(-5, -3, 33, 4);
    for (long alignment : {16L, 64L}) {
        const U8 b = tagged(w, alignment);
        EXPECT_EQ(b.window(), w);
        EXPECT_GE(b.rowStride(), 33);
        for (long y = w.top(); y < w.bottom(); ++y) {
            const unsigned char* row = b.pointToRow(y);
            EXPECT_EQ(address(row) % alignment, 0u);
            EXPECT_EQ(row - b.pointToRow(-3), (y + 3) * b.rowStride());
            for (long x = w.left(); x < w.right(); ++x) EXPECT_EQ(row[x + 5], tag(x, y));
        }
        kvPelBuffer<double> d(kvPelRect(-2, -9, 3, 2), alignment);
        *d.pointToPel(0, -8) = 1.25;
        EXPECT_EQ(d.pointToRow(-8)[2], 1.25);
        EXPECT_GE(d.rowStride(), 24);
    }
}

TEST(PelBuffer, CopiesShareAndPelCopyDoesNot) {
    U8 a = tagged(kvPelRect(2, 3, 4, 5)), shared = a, own = kfPelCopy(a);
    EXPECT_EQ(own.window(), a.window());
    EXPECT_TRUE(own.imageFromClientXformBase()->isEqual(*a.imageFromClientXformBase().get()));
    *shared.pointToPel(4, 5) = 1;
    *own.pointToPel(2, 3) = 2;
    EXPECT_EQ(*a.pointToPel(4, 5), 1);
    EXPECT_EQ(*own.pointToPel(4, 5), tag(4, 5));
    EXPECT_EQ(*a.pointToPel(2, 3), tag(2, 3));

    // A copy of a narrowed window copies only that window.
    shared.window(kvPelRect(3, 4, 2, 2), false);
    const U8 part = kfPelCopy(shared);
    EXPECT_EQ(part.window(), kvPelRect(3, 4, 2, 2));
    EXPECT_EQ(*part.pointToPel(4, 5), 1);
    EXPECT_EQ(*part.pointToPel(3, 4), tag(3, 4));

    kvPelBuffer<double> dv(kvPelRect(0, 0, 2, 1));
    kfPelSet(dv, -3.5);
    const kvPelBuffer<double> dc = kfPelCopy(dv);
    kfPelSet(dv, 0.0);
    EXPECT_EQ(dc.pointToRow(0)[1], -3.5);
}

TEST(PelBuffer, WindowNarrowingClippingAndRefusal) {
    U8 b = tagged(kvPelRect(-4, -4, 8, 8));
    unsigned char* corner = b.pointToPel(-1, 2);
    b.window(kvPelRect(-1, 2, 3, 2), false);
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

TEST(PelBuffer, UnboundAndEmptyWindows) {
    U8 unbound;
    EXPECT_FALSE(unbound.isBound());
    EXPECT_THROW(unbound.window(kvPelRect(0, 0, 1, 1), true), kvPel::UnboundWindow);
    EXPECT_THROW(kfPelCopy(unbound), kvPel::UnboundWindow);
    EXPECT_THROW(kfPelHistogram(unbound), kvPel::UnboundWindow);

    // Operations on an empty window do not walk its rows, however many.
    const auto start = std::chrono::steady_clock::now();
    U8 tall(kvPelRect(0, -5, 0, 0x7FFFFFFF - 5));
    kfPelSet(tall, 1);
    EXPECT_EQ(kfPelHistogram(tall)[1], 0u);
    EXPECT_EQ(kfPelCopy(tall).window(), tall.window());
    EXPECT_EQ(kfPelMap(tall, std::vector<unsigned char>(256)).window(), tall.window());
    EXPECT_EQ(kfPelSample(tall, 10, 10).window(), kvPelRect(0, -5, 0, 214748365));
    EXPECT_TRUE(kfPelEqual(tall, kfPelCopy(tall)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(Geometry, GrowthAndIntersection) {
    const kvPelRect w(10, 20, 5, 6);
    EXPECT_EQ(w + Rect(-1, -1, 3, 3), kvPelRect(9, 19, 7, 8));   // one pel on every side
    EXPECT_EQ(w + Rect(-2, -2, 5, 5), kvPelRect(8, 18, 9, 10));  // offsets -2 .. 2
    EXPECT_EQ(w + Rect(3, -4, 1, 1), kvPelRect(13, 16, 5, 6));   // a single offset moves it
    EXPECT_TRUE((w + Rect(1, 1, 0, 3)).isEmpty());               // no offsets: no pels
    EXPECT_TRUE((w + Rect(1, 1, 3, 0)).isEmpty());
    EXPECT_EQ(Rect(kvPelRect(-1, 2, 3, 4)), Rect(-1, 2, 3, 4));
    EXPECT_EQ(kvPelRect(1, 1, -4, 3).width(), 0);  // a negative size is empty
    EXPECT_EQ(kvPelRect(1, 1, 4, -3).height(), 0);

    const Rect a(-5, -5, 10, 10);
    EXPECT_EQ(a.intersect(Rect(0, 2, 20, 1), false), Rect(0, 2, 5, 1));
    EXPECT_EQ(a.intersect(Rect(-2, -3, 2, 2), true), Rect(-2, -3, 2, 2));
    // Touching edges and disjoint rectangles leave nothing.
    for (const Rect& other :
         {Rect(5, 0, 3, 3), Rect(0, -8, 3, 3), Rect(50, 50, 3, 3), Rect(0, 0, 0, 3)}) {
        const Rect r = a.intersect(other, false);
        EXPECT_TRUE((r.width() == 0 || r.height() == 0) && r.width() >= 0 && r.height() >= 0);
        EXPECT_THROW(a.intersect(other, true), kvPel::BadWindow);
    }
    Rect b = a;
    b &= Rect(-10, 3, 8, 100);
    EXPECT_EQ(b, Rect(-5, 3, 3, 2));
}

TEST(ThreePlane, PlanesMustShareOneWindow) {
    const kvPelRect w(-1, -2, 4, 3);
    U8 r(w), g(w), bl(w);
    kv3PlanePelBuffer rgb(r, g, bl);
    EXPECT_EQ(rgb.window(), w);
    EXPECT_EQ(rgb.colorSpace(), kvColorSpaceRGB);
    EXPECT_EQ(kv3PlanePelBuffer_const(rgb).plane1().pointToRow(-2), g.pointToRow(-2));  // shared
    // Another size, another place with the same size, or an unbound plane.
    EXPECT_THROW(kv3PlanePelBuffer(r, U8(kvPelRect(-1, -2, 4, 4)), bl), kvPel::BadWindow);
    EXPECT_THROW(kv3PlanePelBuffer(r, g, U8(kvPelRect(0, -2, 4, 3))), kvPel::BadWindow);
    EXPECT_THROW(kv3PlanePelBuffer(r, g, U8()), kvPel::BadWindow);
    EXPECT_THROW(kv3PlanePelBuffer(U8(), g, bl), kvPel::BadWindow);

    // Copies have pels of their own and keep the colour-space tag, bound or not.
    const kv3PlanePelBuffer none(U8(), U8(), U8(), kvColorSpaceHSI);
    EXPECT_FALSE(kfPelCopy(none).isBound());
    EXPECT_EQ(kfPelCopy(none).colorSpace(), kvColorSpaceHSI);
    kfPelSet(r, 9);
    rgb.colorSpace(kvColorSpaceYUV);
    const kv3PlanePelBuffer copy = kfPelCopy(rgb);
    EXPECT_EQ(copy.colorSpace(), kvColorSpaceYUV);
    EXPECT_EQ(copy.window(), w);
    EXPECT_NE(copy.plane0().pointToRow(-2), r.pointToRow(-2));
    EXPECT_TRUE(kfPelEqual(copy.plane0(), r));
}

TEST(PelOps, SampleKeepsEveryFactorthPelFromTheWindowCorner) {
    // ceil(W / fx) x ceil(H / fy), counted from the window, not the pels underneath it.
    struct Case {
        long w, h, fx, fy, sw, sh;
    };
    U8 big = tagged(kvPelRect(-20, 0, 60, 40));
    for (const Case& c :
         {Case{25, 7, 10, 10, 3, 1}, Case{10, 10, 10, 10, 1, 1}, Case{11, 11, 10, 10, 2, 2},
          Case{1, 1, 10, 10, 1, 1}, Case{9, 31, 10, 10, 1, 4}, Case{12, 5, 10, 2, 2, 3}}) {
        big.window(kvPelRect(-13, 6, c.w, c.h), false);
        const U8 s = kfPelSample(big, c.fx, c.fy);
        ASSERT_EQ(s.window(), kvPelRect(-13, 6, c.sw, c.sh)) << c.w << "x" << c.h;
        for (long r = 0; r < c.sh; ++r)
            for (long k = 0; k < c.sw; ++k)
                EXPECT_EQ(s.pointToRow(6 + r)[k], tag(-13 + c.fx * k, 6 + c.fy * r));
    }
    EXPECT_THROW(kfPelSample(big, 0, 1), kvPel::Errors);
}

TEST(PelOps, MapAndHistogramMatchAPlainLoop) {
    U8 src = tagged(kvPelRect(0, 0, 40, 40));
    src.window(kvPelRect(0, 5, 17, 9), false);
    std::vector<unsigned char> table(256);
    for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(255 - i);
    const U8 m = kfPelMap(src, table);
    EXPECT_EQ(m.window(), src.window());
    std::vector<uint64_t> expected(256, 0);
    for (long y = 5; y < 14; ++y)
        for (long x = 0; x < 17; ++x) {
            EXPECT_EQ(*m.pointToPel(x, y), 255 - tag(x, y));
            EXPECT_EQ(*src.pointToPel(x, y), tag(x, y));  // source untouched
            ++expected[tag(x, y)];
        }
    const auto counts = kfPelHistogram(src);  // only the window is counted
    for (int v = 0; v < 256; ++v) EXPECT_EQ(counts[v], expected[v]) << v;
    EXPECT_THROW(kfPelMap(src, std::vector<unsigned char>(255)), kvPel::Errors);
}

TEST(PelOps, EqualComparesSizesAndValuesNotPlaces) {
    const U8 src = tagged(kvPelRect(0, 5, 17, 9));
    U8 moved = tagged(kvPelRect(31, -2, 17, 9));  // tag() repeats after (+31, -7)
    EXPECT_TRUE(kfPelEqual(src, moved));
    *moved.pointToPel(47, 6) ^= 1;
    EXPECT_FALSE(kfPelEqual(src, moved));
    U8 shorter = kfPelCopy(src);
    shorter.window(kvPelRect(0, 5, 17, 8), false);
    EXPECT_FALSE(kfPelEqual(src, shorter));
    EXPECT_TRUE(kfPelEqual(U8(), U8()));
    EXPECT_FALSE(kfPelEqual(src, U8()));

    kvPelBuffer<double> a(kvPelRect(0, 0, 3, 2)), b(kvPelRect(1, 1, 3, 2));
    kfPelSet(a, 0.5);
    kfPelSet(b, 0.5);
    EXPECT_TRUE(kfPelEqual(a, b));
    b.pointToRow(2)[2] = std::nextafter(0.5, 1.0);
    EXPECT_FALSE(kfPelEqual(a, b));
}

TEST(Rounding, IRoundHalvesAwayFromZeroAndSaturates) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const int32_t lo = INT32_MIN, hi = INT32_MAX;
    // clang-format off
    const std::pair<float, int32_t> cases[] = {
        {0.5f, 1}, {-0.5f, -1}, {1.5f, 2}, {2.5f, 3}, {-2.5f, -3}, {0.0f, 0},
        {0.49999997f, 0}, {-0.49999997f, 0}, {254.5f, 255}, {254.49998f, 254},
        {8388607.5f, 8388608}, {2147483520.0f, 2147483520}, {2147483648.0f, hi},
        {-2147483648.0f, lo}, {3e9f, hi}, {-3e9f, lo}, {inf, hi}, {-inf, lo}, {nan, 0}, {-nan, 0}};
    // clang-format on
    for (const auto& c : cases) EXPECT_EQ(iRound(c.first), c.second) << c.first;
}

TEST(Rounding, ILimitClamps) {
    EXPECT_EQ(kfILimit(-1, 0, 255), 0);
    EXPECT_EQ(kfILimit(17, 0, 255), 17);
    EXPECT_EQ(kfILimit(256, 0, 255), 255);
    EXPECT_EQ(kfILimit(std::numeric_limits<long>::min(), -3, 3), -3);
}

TEST(Text, Str) {
    const std::string numbers = kfStr(0.1) + " " + kfStr(1.0) + " " + kfStr(-2.5) + " " +
                                kfStr(1e-300) + " " + kfStr(0.1 + 0.2) + " " + kfStr(-17) + " " +
                                kfStr(-2147483648L) + " " + kfStr(4294967295UL) + " " +
                                kfStr(uint32_t{2}) + " " + kfStr(true) + " " + kfStr(false);
    EXPECT_EQ(numbers,
              "0.1 1 -2.5 1e-300 0.30000000000000004 -17 -2147483648 4294967295 2 true false");
    // Every double reads back to itself.
    std::mt19937_64 rng(7);
    for (int i = 0; i < 2000; ++i) {
        const uint64_t bits = rng();
        double v;
        std::memcpy(&v, &bits, 8);
        if (!std::isfinite(v)) continue;
        const double back = std::strtod(kfStr(v).c_str(), nullptr);
        EXPECT_EQ(std::memcmp(&back, &v, 8), 0) << kfStr(v);
    }
}

namespace {

int gLiveCounting = 0;  // transforms of this class alive
class CountingXform : public kv2XformLinear {
public:
    explicit CountingXform(const kvMatrix<2>& m) : kv2XformLinear(m, 1.0, 2.0) { ++gLiveCounting; }
    ~CountingXform() override { --gLiveCounting; }
};

class OtherXform : public kv2XformBase {
public:
    void map(double x, double y, double& ox, double& oy) const override { ox = x, oy = y; }
    kv2XformHandle composeBase(const kv2XformBase&) const override { return {}; }
    bool isEqual(const kv2XformBase&) const override { return false; }

protected:
    void dispatchSerialize(kvArchive&) override {}
};

kvMatrix<2> matrix(double m00, double m01, double m11) {
    kvMatrix<2> m;
    m(0, 0) = m00;
    m(0, 1) = m01;
    m(1, 1) = m11;
    return m;
}

void expectMaps(const kv2XformBase& t, double x, double y, double ex, double ey) {
    double ox = 0, oy = 0;
    t.map(x, y, ox, oy);
    EXPECT_EQ(ox, ex);
    EXPECT_EQ(oy, ey);
}

}  // namespace

TEST(Xform, ComposeAppliesTheArgumentFirst) {
    const kv2XformLinear scale2(matrix(2, 0, 2), 0.0, 0.0), shift(kvMatrix<2>(), 1.0, -3.0);
    const kv2XformHandle a = scale2.composeBase(shift), b = shift.composeBase(scale2);
    expectMaps(*a.get(), 5.0, 7.0, 12.0, 8.0);   // (5, 7) -> (6, 4) -> (12, 8)
    expectMaps(*b.get(), 5.0, 7.0, 11.0, 11.0);  // (5, 7) -> (10, 14) -> (11, 11)
    EXPECT_FALSE(a->isEqual(*b.get()));
    // Shear x' = x + 3 y after the scale.
    expectMaps(*kv2XformLinear(matrix(1, 3, 1), 0, 0).composeBase(scale2).get(), 1, 2, 14, 4);
    EXPECT_THROW(scale2.composeBase(OtherXform()), kvBadPointer);
}

TEST(Xform, NewBuffersCarryTheIdentity) {
    const kv3PlanePelBuffer rgb(kvPelRect(0, 0, 3, 3));
    for (const kv2XformHandle& h :
         {U8(kvPelRect(-1, -1, 2, 2)).imageFromClientXformBase(),
          kvPelBuffer<double>(kvPelRect(0, 0, 1, 1)).imageFromClientXformBase(),
          rgb.plane2().imageFromClientXformBase()}) {
        ASSERT_TRUE(h);
        EXPECT_TRUE(h->isEqual(kv2XformLinear()));
        expectMaps(*h.get(), -4.5, 9.0, -4.5, 9.0);
    }
}

TEST(Xform, ReferenceCountFreesTheLastHandle) {
    {
        kv2XformHandle h(new CountingXform(matrix(3, 0, 3)));
        EXPECT_EQ(gLiveCounting, 1);
        U8 shared(kvPelRect(0, 0, 2, 2)), own(kvPelRect(0, 0, 2, 2)), other(kvPelRect(5, 5, 1, 1));
        shared.imageFromClientXformBase(h, true);
        own.imageFromClientXformBase(h, false);
        other.copyXforms(shared);
        EXPECT_EQ(shared.imageFromClientXformBase().get(), h.get());
        EXPECT_EQ(other.imageFromClientXformBase().get(), h.get());
        EXPECT_TRUE(own.imageFromClientXformBase()->isEqual(*h.get()));

        kv2XformHandle copy = h;
        copy = copy;  // self-assignment keeps the object
        kv2XformHandle moved = std::move(copy);
        moved = kv2XformHandle();
        h = kv2XformHandle();
        EXPECT_EQ(gLiveCounting, 1);  // still held by shared and other
        shared = U8();
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
