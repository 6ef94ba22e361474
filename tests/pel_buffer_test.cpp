// Pixel buffers, geometry, pixel operations, rounding and transforms of the platform layer.
#include "clsg/platform/pel_buffer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "clsg/platform/pel_ops.h"
#include "clsg/platform/three_plane.h"
#include "clsg/platform/xform.h"

namespace {

using U8 = kvPelBuffer<unsigned char>;

unsigned char tag(long x, long y) { return static_cast<unsigned char>(x * 7 + y * 31 + 100); }

U8 tagged(const kvPelRect& w, long alignment = 32) {
    U8 b(w, alignment);
    for (long y = w.top(); y < w.bottom(); ++y)
        for (long x = w.left(); x < w.right(); ++x) *b.pointToPel(x, y) = tag(x, y);
    return b;
}

int gLiveCounting = 0;  // transforms of this class alive
struct CountingXform : kv2XformLinear {
    CountingXform() : kv2XformLinear(kvMatrix<2>(), 1.0, 2.0) { ++gLiveCounting; }
    ~CountingXform() override { --gLiveCounting; }
};

void expectMaps(const kv2XformBase& t, double x, double y, double ex, double ey) {
    double ox = 0, oy = 0;
    t.map(x, y, ox, oy);
    EXPECT_TRUE(ox == ex && oy == ey) << ox << ", " << oy;
}

}  // namespace

TEST(PelBuffer, AlignedRowsCopiesWindowsAndTheirRefusals) {
    const U8 odd = tagged(kvPelRect(-5, -3, 33, 4), 64);
    for (long y = -3; y < 1; ++y)
        EXPECT_TRUE(reinterpret_cast<std::uintptr_t>(odd.pointToRow(y)) % 64 == 0 &&
                    odd.pointToRow(y)[32] == tag(27, y));
    U8 b = tagged(kvPelRect(-4, -4, 8, 8)), shared = b, own = kfPelCopy(b);
    *shared.pointToPel(3, 3) = 1;
    *own.pointToPel(2, 2) = 2;
    EXPECT_TRUE(*b.pointToPel(3, 3) == 1 && *own.pointToPel(3, 3) == tag(3, 3) &&
                *b.pointToPel(2, 2) == tag(2, 2));
    // Narrowing and widening back to the pels that exist is allowed; past them is not.
    b.window(kvPelRect(-1, 2, 3, 2), false);
    b.window(kvPelRect(-4, -4, 8, 8), false);
    EXPECT_THROW(b.window(kvPelRect(0, 0, 4, 5), false), kvPel::BadWindow);
    EXPECT_EQ(b.window(), kvPelRect(-4, -4, 8, 8));
    b.window(kvPelRect(-10, 1, 12, 100), true);
    EXPECT_EQ(b.window(), kvPelRect(-4, 1, 6, 3));
    // Windows so far out that left + width passes the largest long: refused, or clipped to
    // nothing, never taken for pels of the buffer.
    const long far = std::numeric_limits<long>::max() - 2;
    EXPECT_THROW(b.window(kvPelRect(far, 0, 10, 4), false), kvPel::BadWindow);
    b.window(kvPelRect(far, 0, 10, 4), true);
    EXPECT_TRUE(b.window().isEmpty());
    b.window(kvPelRect(1, 0, std::numeric_limits<long>::max(), 4), true);
    EXPECT_EQ(b.window(), kvPelRect(1, 0, 3, 4));
    b.window(kvPelRect(-4, -4, 8, 8), false);
    EXPECT_EQ(kvPelRect(far, far, 10, 10).right(), std::numeric_limits<long>::max());
    EXPECT_FALSE(kvPelRect(far - 5, 0, 10, 1).contains(kvPelRect(far, 0, 20, 1)));
    EXPECT_TRUE(kvPelRect(far - 5, 0, 10, 1).contains(kvPelRect(far, 0, 5, 1)));
    EXPECT_FALSE(
        kvPelRect(std::numeric_limits<long>::min(), 0, 10, 1).contains(kvPelRect(far, 0, 1, 1)));
    EXPECT_EQ(kvRectangle<long>(far, 0, 10, 4).intersect(kvRectangle<long>(far - 5, 0, 6, 4), true),
              kvRectangle<long>(far, 0, 1, 4));
    EXPECT_EQ((kvPelRect(far, 0, 10, 4) + kvRectangle<long>(5, -1, 3, 3)).left(),
              std::numeric_limits<long>::max());

    U8 unbound;
    EXPECT_THROW(unbound.window(kvPelRect(0, 0, 1, 1), true), kvPel::UnboundWindow);
    EXPECT_THROW(kfPelCopy(unbound), kvPel::UnboundWindow);
    // A buffer moved from holds nothing: reusing it must not reach freed pels.
    U8 held(kvPelRect(0, 0, 4, 4)), taken(std::move(held));
    held = std::move(taken);
    EXPECT_TRUE(held.isBound() && !taken.isBound() && !held.sharesStorage());
    // Operations on an empty window do not walk its rows, however many.
    const auto start = std::chrono::steady_clock::now();
    U8 tall(kvPelRect(0, -5, 0, 0x7FFFFFFF - 5));
    kfPelSet(tall, 1);
    EXPECT_EQ(kfPelSample(tall, 10, 10).window(), kvPelRect(0, -5, 0, 214748365));
    EXPECT_TRUE(kfPelEqual(tall, kfPelCopy(tall)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    // Three planes must share one bound window.
    const kvPelRect w(-1, -2, 4, 3);
    EXPECT_THROW(kv3PlanePelBuffer(U8(w), U8(w), U8(kvPelRect(0, -2, 4, 3))), kvPel::BadWindow);
    EXPECT_THROW(kv3PlanePelBuffer(U8(), U8(w), U8(w)), kvPel::BadWindow);
}

TEST(PelOps, SampleKeepsEveryFactorthPelFromTheCornerMapAndEqual) {
    U8 big = tagged(kvPelRect(-20, 0, 60, 40));
    for (const auto& c :
         std::vector<std::vector<long>>{{25, 7, 10, 10, 3, 1}, {12, 5, 10, 2, 2, 3}}) {
        big.window(kvPelRect(-13, 6, c[0], c[1]), false);
        const U8 s = kfPelSample(big, c[2], c[3]);
        ASSERT_EQ(s.window(), kvPelRect(-13, 6, c[4], c[5])) << c[0] << "x" << c[1];
        for (long r = 0; r < c[5]; ++r)
            for (long k = 0; k < c[4]; ++k)
                EXPECT_EQ(s.pointToRow(6 + r)[k], tag(-13 + c[2] * k, 6 + c[3] * r));
    }
    EXPECT_THROW(kfPelSample(big, 0, 1), kvPel::Errors);

    U8 src = tagged(kvPelRect(0, 0, 40, 40));
    src.window(kvPelRect(0, 5, 17, 9), false);
    std::vector<unsigned char> table(256);
    for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(255 - i);
    const U8 m = kfPelMap(src, table);
    for (long y = 5; y < 14; ++y)
        for (long x = 0; x < 17; ++x) EXPECT_EQ(*m.pointToPel(x, y), 255 - tag(x, y));
    EXPECT_THROW(kfPelMap(src, std::vector<unsigned char>(255)), kvPel::Errors);
    // Equality compares sizes and values, not places.
    U8 moved = tagged(kvPelRect(31, -2, 17, 9));  // tag() repeats after (+31, -7)
    EXPECT_TRUE(kfPelEqual(src, moved));
    *moved.pointToPel(47, 6) ^= 1;
    EXPECT_FALSE(kfPelEqual(src, moved));
    src.window(kvPelRect(0, 5, 17, 8), false);
    EXPECT_FALSE(kfPelEqual(src, tagged(kvPelRect(0, 5, 17, 9))));
    EXPECT_FALSE(kfPelEqual(src, U8()));
}

TEST(Rounding, IRoundHalvesAwayFromZeroAndSaturates) {
    const float in[] = {0.5f, -2.5f, 0.49999997f, 8388607.5f, 2147483648.0f, -3e9f, INFINITY, NAN};
    const int32_t out[] = {1, -3, 0, 8388608, INT32_MAX, INT32_MIN, INT32_MAX, 0};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(iRound(in[i]), out[i]) << in[i];
}

TEST(Xform, ComposeAppliesTheArgumentFirstAndTheLastHandleFrees) {
    kvMatrix<2> m;  // identity
    m(0, 1) = 3.0;
    const kv2XformLinear shear(m, 0.0, 0.0), shift(kvMatrix<2>(), 1.0, -3.0);
    expectMaps(*shear.composeBase(shift).get(), 5.0, 7.0, 18.0, 4.0);  // (6, 4) then sheared
    expectMaps(*shift.composeBase(shear).get(), 5.0, 7.0, 27.0, 4.0);  // (26, 7) then shifted
    expectMaps(*U8(kvPelRect(0, 0, 1, 1)).imageFromClientXformBase().get(), -4.5, 9, -4.5, 9);
    {  // the last handle frees the transform
        kv2XformHandle h(new CountingXform());
        U8 shared(kvPelRect(0, 0, 2, 2)), own(kvPelRect(0, 0, 2, 2)), other(kvPelRect(5, 5, 1, 1));
        shared.imageFromClientXformBase(h, true);
        own.imageFromClientXformBase(h, false);
        other.copyXforms(shared);
        EXPECT_EQ(other.imageFromClientXformBase().get(), h.get());
        kv2XformHandle copy = h;
        copy = copy;  // self-assignment keeps the object
        kv2XformHandle moved = std::move(copy);
        moved = h = kv2XformHandle();
        shared = U8();
        EXPECT_EQ(gLiveCounting, 1);  // still held by other
        other.imageFromClientXformBase(kv2XformHandle(), true);
        EXPECT_EQ(gLiveCounting, 0);  // own kept a copy of its own
        EXPECT_TRUE(own.imageFromClientXformBase()->isEqual(CountingXform()));
    }
    EXPECT_EQ(gLiveCounting, 0);
}
