// Training examples: validation of image-mask pairs, all-or-nothing updates, and equality.
#include "clsg/colorseg/composite_color.h"

#include <gtest/gtest.h>

#include "clsg/colorseg/errors.h"
#include "test_images.h"

using Defs = kvCompositeColorSegmenterDefs;
using Mask = kvPelBuffer_const<unsigned char>;
using Image = kv3PlanePelBuffer_const;

namespace {

const char kInvalid[] = "mask includes an invalid value";

kvPelBuffer<unsigned char> mask(const kvPelRect& w, unsigned char value) {
    kvPelBuffer<unsigned char> m(w);
    kfPelSet(m, value);
    return m;
}

template <class E = Defs::BadImage>
std::string check(const Image& img, const Mask& m) {
    return messageOf<E>([&] { kvCompositeColor c(img, m); });
}

}  // namespace

TEST(CompositeColor, ValidationOrderAndMessages) {
    const kvPelRect w(0, 0, 10, 10);
    const kv3PlanePelBuffer rgb = noisyImage(w, 1);
    kv3PlanePelBuffer unboundYuv;  // the colour space is looked at first
    unboundYuv.colorSpace(kvColorSpaceYUV);
    EXPECT_EQ(check<Defs::BadColorSpace>(unboundYuv, noMask()), "image's color space is not RGB");
    EXPECT_EQ(check(Image(), mask(w, 255)), "image is not bound");
    EXPECT_EQ(check(rgb, mask(kvPelRect(10, 0, 5, 10), 255)),
              "mask and image do not overlap");  // touching an edge
    // Only the overlap counts: the 128s outside it are never looked at.
    const kv3PlanePelBuffer part = noisyImage(kvPelRect(4, 0, 6, 3), 1);
    kvPelBuffer<unsigned char> m(kvPelRect(0, -2, 8, 5));
    for (long y = -2; y < 3; ++y)
        for (long x = 0; x < 8; ++x) *m.pointToPel(x, y) = y < 0 || x < 4 ? 128 : x == 4 ? 0 : 255;
    EXPECT_EQ(check(part, m), "<no exception>");
    *m.pointToPel(7, 2) = 128;
    EXPECT_EQ(check(part, m), kInvalid);
    for (long y = 0; y < 3; ++y)
        for (long x = 5; x < 8; ++x) *m.pointToPel(x, y) = 0;
    EXPECT_EQ(check(part, m), "no care pels in the image");
    *m.pointToPel(6, 1) = 1;  // an invalid value is reported before the lack of care pels
    EXPECT_EQ(check(part, m), kInvalid);
}

TEST(CompositeColor, FailedUpdatesChangeNothingExamplesSharePelsEqualityByValue) {
    const kv3PlanePelBuffer a = noisyImage(kvPelRect(0, 0, 4, 4), 1),
                            b = noisyImage(kvPelRect(2, 2, 4, 4), 2);
    const Mask care = mask(kvPelRect(0, 0, 4, 4), 255), bad = mask(kvPelRect(2, 2, 4, 4), 3);
    kvCompositeColor c(a, care);
    const kvCompositeColor before = c;
    EXPECT_EQ(messageOf<Defs::BadImage>([&] { c.set({a, b}, {care, bad}); }), kInvalid);
    EXPECT_THROW(c.set({a, b}, {care}), Defs::BadParams);  // unpaired
    EXPECT_EQ(messageOf<Defs::BadImage>([&] { c.add(b, bad); }), kInvalid);
    EXPECT_TRUE(c == before && c.images()[0].plane0().pointToRow(0) == a.plane0().pointToRow(0));
    c.add(b, noMask());
    ASSERT_EQ(c.masks().size(), 2u);
    EXPECT_TRUE(!c.masks()[1].isBound() && c.masks()[0].pointToRow(0) == care.pointToRow(0));
    c.set();
    EXPECT_TRUE(c == kvCompositeColor());

    // Equality compares pels and masks in order.
    const kvCompositeColor ab({a, b}, {care, care});
    EXPECT_FALSE(ab == kvCompositeColor({b, a}, {care, care}));
    EXPECT_FALSE(ab == kvCompositeColor({a}, {care}));
    // Equal pels in equal windows are equal whatever the buffers and transforms.
    kv3PlanePelBuffer a2 = kfPelCopy(a);
    a2.imageFromClientXformBase(kv2XformHandle(new kv2XformLinear(kvMatrix<2>(), 5.0, 1.0)), true);
    EXPECT_TRUE(ab == kvCompositeColor({a2, kfPelCopy(b)}, {kfPelCopy(care), care}));
    *a2.plane2().pointToPel(3, 3) ^= 1;
    EXPECT_FALSE(ab == kvCompositeColor({a2, b}, {care, care}));
    EXPECT_FALSE(kvCompositeColor(a, noMask()) == kvCompositeColor(a, care));
    kvPelBuffer<unsigned char> holes = kfPelCopy(care);
    *holes.pointToPel(0, 0) = 0;
    EXPECT_FALSE(kvCompositeColor(a, care) == kvCompositeColor(a, holes));
    const kvCompositeColor cb(b, noMask());
    EXPECT_TRUE(kvCompositeColorSet({ab, cb}) == kvCompositeColorSet({kvCompositeColor(ab), cb}));
    EXPECT_FALSE(kvCompositeColorSet({ab, cb}) == kvCompositeColorSet({cb, ab}));
}
