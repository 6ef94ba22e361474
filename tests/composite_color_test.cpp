// Training examples: validation of image-mask pairs, all-or-nothing
// updates, and equality of examples and sets.
#include "clsg/colorseg/composite_color.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clsg/colorseg/errors.h"
#include "platform/pel_ops.h"
#include "test_images.h"

using Defs = kvCompositeColorSegmenterDefs;
using Mask = kvPelBuffer_const<unsigned char>;
using Image = kv3PlanePelBuffer_const;

namespace {

const char kNoOverlap[] = "BadImage: mask and image do not overlap";
const char kInvalid[] = "BadImage: mask includes an invalid value";
const char kNoCare[] = "BadImage: no care pels in the image";
const char kUneven[] = "BadParams: The size of Images is not the same as the size of Masks";

kv3PlanePelBuffer image(const kvPelRect& w, unsigned char seed = 0) {
    return makeImage(w, [seed](long x, long y) {
        return Rgb{static_cast<unsigned char>(x + seed), static_cast<unsigned char>(y * 3 + seed),
                   static_cast<unsigned char>(x ^ y)};
    });
}

kvPelBuffer<unsigned char> mask(const kvPelRect& w, unsigned char value) {
    kvPelBuffer<unsigned char> m(w);
    kfPelSet(m, value);
    return m;
}

// The message of the example exception f throws, prefixed by its class.
template <class F>
std::string failure(F f) {
    try {
        f();
    } catch (const Defs::BadColorSpace& e) {
        return "BadColorSpace: " + e.message();
    } catch (const Defs::BadImage& e) {
        return "BadImage: " + e.message();
    } catch (const Defs::BadParams& e) {
        return "BadParams: " + e.message();
    }
    return "accepted";
}

std::string check(const Image& img, const Mask& m) {
    return failure([&] { kvCompositeColor c(img, m); });
}

}  // namespace

TEST(CompositeColor, ValidationOrderAndMessages) {
    const kvPelRect w(0, 0, 10, 10);
    const kv3PlanePelBuffer rgb = image(w);
    // The colour space is looked at first, even for an unbound image.
    kv3PlanePelBuffer hsi = image(w), unboundYuv;
    hsi.colorSpace(kvColorSpaceHSI);
    unboundYuv.colorSpace(kvColorSpaceYUV);
    const char kNotRgb[] = "BadColorSpace: image's color space is not RGB";
    EXPECT_EQ(check(hsi, mask(w, 7)), kNotRgb);
    EXPECT_EQ(check(unboundYuv, noMask()), kNotRgb);
    // An unbound mask stands for the whole image; an unbound image is refused.
    EXPECT_EQ(check(rgb, noMask()), "accepted");
    EXPECT_EQ(check(Image(), mask(w, 255)), "BadImage: image is not bound");
    // Beside, below, or touching only at an edge.
    EXPECT_EQ(check(rgb, mask(kvPelRect(10, 0, 5, 10), 255)), kNoOverlap);
    EXPECT_EQ(check(rgb, mask(kvPelRect(0, -4, 10, 4), 255)), kNoOverlap);
    EXPECT_EQ(check(rgb, mask(kvPelRect(-50, 30, 5, 5), 7)), kNoOverlap);
}

TEST(CompositeColor, MaskPairsWithImageByCoordinates) {
    // The image covers columns 4..9, the mask columns 0..7 and two rows above:
    // only the overlap counts, so the 128s and 255s outside it are never looked at.
    const kv3PlanePelBuffer rgb = image(kvPelRect(4, 0, 6, 3));
    kvPelBuffer<unsigned char> m(kvPelRect(0, -2, 8, 5));
    for (long y = -2; y < 3; ++y)
        for (long x = 0; x < 8; ++x)
            *m.pointToPel(x, y) = y < 0 ? 255 : x < 4 ? 128 : x == 4 ? 0 : 255;
    EXPECT_EQ(check(rgb, m), "accepted");
    *m.pointToPel(7, 2) = 128;
    EXPECT_EQ(check(rgb, m), kInvalid);
    for (long y = 0; y < 3; ++y)
        for (long x = 5; x < 8; ++x) *m.pointToPel(x, y) = 0;
    EXPECT_EQ(check(rgb, m), kNoCare);
    *m.pointToPel(6, 1) = 1;  // an invalid value is reported before the lack of care pels
    EXPECT_EQ(check(rgb, m), kInvalid);

    // Pels of the mask's storage outside the mask's own window do not count.
    kvPelBuffer<unsigned char> big = mask(kvPelRect(0, 0, 20, 20), 128), part = big;
    part.window(kvPelRect(5, 5, 3, 3), false);
    kfPelSet(part, 255);
    EXPECT_EQ(check(image(kvPelRect(0, 0, 20, 20)), part), "accepted");

    // The stored mask keeps its own window; narrowing was on a private copy.
    kvCompositeColor c(rgb, mask(kvPelRect(-3, -3, 20, 20), 255));
    EXPECT_EQ(c.masks()[0].window(), kvPelRect(-3, -3, 20, 20));
}

TEST(CompositeColor, FailedUpdatesChangeNothing) {
    const kv3PlanePelBuffer a = image(kvPelRect(0, 0, 4, 4), 1),
                            b = image(kvPelRect(2, 2, 4, 4), 2);
    const Mask care = mask(kvPelRect(0, 0, 4, 4), 255), bad = mask(kvPelRect(2, 2, 4, 4), 3);
    kvCompositeColor c(a, care);
    const kvCompositeColor before = c;
    EXPECT_EQ(failure([&] { c.set({a, b}, {care, bad}); }), kInvalid);
    EXPECT_EQ(failure([&] { c.set({a, b}, {care}); }), kUneven);
    EXPECT_EQ(failure([&] { c.set(std::vector<Image>{}, std::vector<Mask>{care}); }), kUneven);
    EXPECT_EQ(failure([&] { c.add(b, bad); }), kInvalid);
    EXPECT_EQ(failure([&] { c.add(Image(), noMask()); }), "BadImage: image is not bound");
    EXPECT_EQ(failure([&] { c.set(b, mask(kvPelRect(9, 9, 1, 1), 255)); }), kNoOverlap);
    ASSERT_EQ(c.masks().size(), 1u);
    EXPECT_TRUE(c == before);
    EXPECT_EQ(c.images()[0].plane0().pointToRow(0), a.plane0().pointToRow(0));
    EXPECT_EQ(failure([&] { kvCompositeColor(std::vector<Image>{a}, std::vector<Mask>{}); }),
              kUneven);
}

TEST(CompositeColor, SetAddAndSharedPels) {
    const kv3PlanePelBuffer a = image(kvPelRect(0, 0, 4, 4), 1), b = image(kvPelRect(-2, 0, 3, 2));
    const Mask ma = mask(kvPelRect(0, 0, 4, 4), 255);
    kvCompositeColor c;
    c.add(a, ma);
    c.add(a, ma);  // no check for duplicates
    ASSERT_EQ(c.masks().size(), 2u);
    // The example shares pels with the caller's buffers.
    EXPECT_EQ(c.images()[1].plane2().pointToRow(0), a.plane2().pointToRow(0));
    EXPECT_EQ(c.masks()[1].pointToRow(0), ma.pointToRow(0));

    c.set({b, a}, {noMask(), ma});
    ASSERT_EQ(c.images().size(), 2u);
    EXPECT_FALSE(c.masks()[0].isBound());
    EXPECT_EQ(c.images()[0].window(), b.window());
    c.set();
    EXPECT_TRUE(c.images().empty() && c.masks().empty());
    EXPECT_TRUE(c == kvCompositeColor());
}

TEST(CompositeColor, EqualityComparesPelsWindowsAndMasks) {
    const kv3PlanePelBuffer a = image(kvPelRect(0, 0, 4, 4), 1),
                            b = image(kvPelRect(0, 0, 4, 4), 2);
    const Mask care = mask(kvPelRect(0, 0, 4, 4), 255);
    const kvCompositeColor ab({a, b}, {care, care});
    EXPECT_FALSE(ab == kvCompositeColor({b, a}, {care, care}));
    EXPECT_FALSE(ab == kvCompositeColor({a}, {care}));

    // Different buffers holding equal pels in equal windows are equal; the
    // transform does not take part.
    kv3PlanePelBuffer a2 = kfPelCopy(a);
    a2.imageFromClientXformBase(kv2XformHandle(new kv2XformLinear(kvMatrix<2>(), 5.0, 1.0)), true);
    EXPECT_TRUE(ab == kvCompositeColor({a2, kfPelCopy(b)}, {kfPelCopy(care), care}));

    // One pel of one plane, a window position, or a mask makes a difference.
    kv3PlanePelBuffer a3 = kfPelCopy(a);
    *a3.plane2().pointToPel(3, 3) ^= 1;
    EXPECT_FALSE(ab == kvCompositeColor({a3, b}, {care, care}));
    const kv3PlanePelBuffer shifted = makeImage(kvPelRect(1, 0, 4, 4), [&](long x, long y) {
        return Rgb{*a.plane0().pointToPel(x - 1, y), *a.plane1().pointToPel(x - 1, y),
                   *a.plane2().pointToPel(x - 1, y)};
    });
    EXPECT_FALSE(kvCompositeColor(a, noMask()) == kvCompositeColor(shifted, noMask()));
    EXPECT_FALSE(kvCompositeColor(a, noMask()) == kvCompositeColor(a, care));
    kvPelBuffer<unsigned char> holes = mask(kvPelRect(0, 0, 4, 4), 255);
    *holes.pointToPel(0, 0) = 0;
    EXPECT_FALSE(kvCompositeColor(a, care) == kvCompositeColor(a, holes));
}

TEST(CompositeColorSet, Equality) {
    const kv3PlanePelBuffer a = image(kvPelRect(0, 0, 4, 4), 1);
    const kvCompositeColor ca(a, noMask()), cb(image(kvPelRect(0, 0, 4, 4), 2), noMask());
    const kvCompositeColorSet s({ca, cb});
    EXPECT_TRUE(s == kvCompositeColorSet({kvCompositeColor(kfPelCopy(a), noMask()), cb}));
    EXPECT_FALSE(s == kvCompositeColorSet({cb, ca}));
    EXPECT_FALSE(s == kvCompositeColorSet({ca, cb, cb}));
    EXPECT_TRUE(kvCompositeColorSet() == kvCompositeColorSet());
    kvCompositeColorSet t;
    t.instances({ca, cb});
    EXPECT_TRUE(t == s);
}
