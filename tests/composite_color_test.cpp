// Training examples: validation of image-mask pairs, all-or-nothing
// updates, and equality of examples and sets.
#include "clsg/colorseg/composite_color.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clsg/colorseg/errors.h"
#include "platform/pel_ops.h"

using Defs = kvCompositeColorSegmenterDefs;
using Mask = kvPelBuffer_const<unsigned char>;
using Image = kv3PlanePelBuffer_const;

namespace {

kv3PlanePelBuffer image(const kvPelRect& w, unsigned char seed = 0) {
    kv3PlanePelBuffer b(w);
    for (long y = w.top(); y < w.bottom(); ++y)
        for (long x = w.left(); x < w.right(); ++x) {
            *b.plane0().pointToPel(x, y) = static_cast<unsigned char>(x + seed);
            *b.plane1().pointToPel(x, y) = static_cast<unsigned char>(y * 3 + seed);
            *b.plane2().pointToPel(x, y) = static_cast<unsigned char>(x ^ y);
        }
    return b;
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
    const Mask care = mask(w, 255);

    // The colour space is looked at first, even for an unbound image.
    kv3PlanePelBuffer hsi = image(w);
    hsi.colorSpace(kvColorSpaceHSI);
    kv3PlanePelBuffer unboundHsi;
    unboundHsi.colorSpace(kvColorSpaceYUV);
    EXPECT_EQ(check(hsi, care), "BadColorSpace: image's color space is not RGB");
    EXPECT_EQ(check(hsi, mask(w, 7)), "BadColorSpace: image's color space is not RGB");
    EXPECT_EQ(check(unboundHsi, Mask()), "BadColorSpace: image's color space is not RGB");

    // An unbound mask stands for the whole image; an unbound image is refused.
    EXPECT_EQ(check(rgb, Mask()), "accepted");
    EXPECT_EQ(check(Image(), Mask()), "BadImage: image is not bound");
    EXPECT_EQ(check(Image(), care), "BadImage: image is not bound");

    // Beside, below, or touching only at an edge.
    EXPECT_EQ(check(rgb, mask(kvPelRect(10, 0, 5, 10), 255)),
              "BadImage: mask and image do not overlap");
    EXPECT_EQ(check(rgb, mask(kvPelRect(0, -4, 10, 4), 255)),
              "BadImage: mask and image do not overlap");
    EXPECT_EQ(check(rgb, mask(kvPelRect(-50, 30, 5, 5), 7)),
              "BadImage: mask and image do not overlap");

    // A 128 inside the overlap is refused; outside it, it is never looked at.
    kvPelBuffer<unsigned char> wide = mask(kvPelRect(-5, -5, 10, 10), 255);
    *wide.pointToPel(-3, -3) = 128;
    EXPECT_EQ(check(rgb, wide), "accepted");
    *wide.pointToPel(2, 2) = 128;
    EXPECT_EQ(check(rgb, wide), "BadImage: mask includes an invalid value");

    // Only zeros where mask and image meet, 255 elsewhere.
    kvPelBuffer<unsigned char> outside = mask(kvPelRect(-5, -5, 10, 10), 255);
    kvPelBuffer<unsigned char> overlap = outside;
    overlap.window(kvPelRect(0, 0, 5, 5), false);
    kfPelSet(overlap, 0);
    EXPECT_EQ(check(rgb, outside), "BadImage: no care pels in the image");
    EXPECT_EQ(check(rgb, mask(w, 0)), "BadImage: no care pels in the image");
    // An invalid value is reported before the lack of care pels.
    *overlap.pointToPel(1, 1) = 1;
    EXPECT_EQ(check(rgb, outside), "BadImage: mask includes an invalid value");
}

TEST(CompositeColor, MaskPairsWithImageByCoordinates) {
    // The image covers columns 4..9, the mask columns 0..7: only 4..7 count.
    const kv3PlanePelBuffer rgb = image(kvPelRect(4, 0, 6, 3));
    kvPelBuffer<unsigned char> m(kvPelRect(0, 0, 8, 3));
    for (long y = 0; y < 3; ++y)
        for (long x = 0; x < 8; ++x) *m.pointToPel(x, y) = x < 4 ? 77 : (x == 4 ? 0 : 255);
    EXPECT_EQ(check(rgb, m), "accepted");
    *m.pointToPel(7, 2) = 128;
    EXPECT_EQ(check(rgb, m), "BadImage: mask includes an invalid value");
    *m.pointToPel(7, 2) = 255;
    for (long y = 0; y < 3; ++y)
        for (long x = 5; x < 8; ++x) *m.pointToPel(x, y) = 0;
    EXPECT_EQ(check(rgb, m), "BadImage: no care pels in the image");

    // Pels of the mask's storage outside the mask's own window do not count.
    kvPelBuffer<unsigned char> big = mask(kvPelRect(0, 0, 20, 20), 128);
    kvPelBuffer<unsigned char> part = big;
    part.window(kvPelRect(5, 5, 3, 3), false);
    kfPelSet(part, 255);
    EXPECT_EQ(check(image(kvPelRect(0, 0, 20, 20)), part), "accepted");

    // The stored mask keeps its own window; narrowing was on a private copy.
    kvCompositeColor c(rgb, mask(kvPelRect(-3, -3, 20, 20), 255));
    EXPECT_EQ(c.masks()[0].window(), kvPelRect(-3, -3, 20, 20));
}

TEST(CompositeColor, FailedUpdatesChangeNothing) {
    const kv3PlanePelBuffer a = image(kvPelRect(0, 0, 4, 4), 1);
    const kv3PlanePelBuffer b = image(kvPelRect(2, 2, 4, 4), 2);
    const Mask care = mask(kvPelRect(0, 0, 4, 4), 255);
    const Mask bad = mask(kvPelRect(2, 2, 4, 4), 3);

    kvCompositeColor c(a, care);
    const kvCompositeColor before = c;
    EXPECT_EQ(failure([&] {
                  c.set({a, b}, {care, bad});
              }),
              "BadImage: mask includes an invalid value");
    EXPECT_EQ(failure([&] {
                  c.set({a, b}, {care});
              }),
              "BadParams: The size of Images is not the same as the size of Masks");
    EXPECT_EQ(failure([&] { c.set(std::vector<Image>{}, std::vector<Mask>{care}); }),
              "BadParams: The size of Images is not the same as the size of Masks");
    EXPECT_EQ(failure([&] { c.add(b, bad); }), "BadImage: mask includes an invalid value");
    EXPECT_EQ(failure([&] { c.add(Image(), Mask()); }), "BadImage: image is not bound");
    EXPECT_EQ(failure([&] { c.set(b, mask(kvPelRect(9, 9, 1, 1), 255)); }),
              "BadImage: mask and image do not overlap");
    ASSERT_EQ(c.images().size(), 1u);
    ASSERT_EQ(c.masks().size(), 1u);
    EXPECT_TRUE(c == before);
    EXPECT_EQ(c.images()[0].plane0().pointToRow(0), a.plane0().pointToRow(0));

    EXPECT_EQ(failure([&] { kvCompositeColor bad2(std::vector<Image>{a}, std::vector<Mask>{}); }),
              "BadParams: The size of Images is not the same as the size of Masks");
}

TEST(CompositeColor, SetAddAndSharedPels) {
    const kv3PlanePelBuffer a = image(kvPelRect(0, 0, 4, 4), 1);
    const kv3PlanePelBuffer b = image(kvPelRect(-2, 0, 3, 2), 2);
    const Mask ma = mask(kvPelRect(0, 0, 4, 4), 255);

    kvCompositeColor c;
    EXPECT_TRUE(c.images().empty());
    EXPECT_TRUE(c == kvCompositeColor());
    c.add(a, ma);
    c.add(a, ma);  // no check for duplicates
    ASSERT_EQ(c.images().size(), 2u);
    EXPECT_EQ(c.masks().size(), 2u);
    // The example shares pels with the caller's buffers.
    EXPECT_EQ(c.images()[1].plane2().pointToRow(0), a.plane2().pointToRow(0));
    EXPECT_EQ(c.masks()[1].pointToRow(0), ma.pointToRow(0));

    c.set({b, a}, {Mask(), ma});
    ASSERT_EQ(c.images().size(), 2u);
    EXPECT_FALSE(c.masks()[0].isBound());
    EXPECT_EQ(c.images()[0].window(), b.window());

    c.set(b, Mask());
    EXPECT_EQ(c.images().size(), 1u);
    c.set();
    EXPECT_TRUE(c.images().empty());
    EXPECT_TRUE(c.masks().empty());
    EXPECT_TRUE(c == kvCompositeColor());
}

TEST(CompositeColor, Equality) {
    const kv3PlanePelBuffer a = image(kvPelRect(0, 0, 4, 4), 1);
    const kv3PlanePelBuffer b = image(kvPelRect(0, 0, 4, 4), 2);
    const Mask care = mask(kvPelRect(0, 0, 4, 4), 255);

    const kvCompositeColor ab({a, b}, {care, care});
    EXPECT_FALSE(ab == kvCompositeColor({b, a}, {care, care}));
    EXPECT_FALSE(ab == kvCompositeColor({a}, {care}));

    // Different buffers holding equal pels in equal windows are equal; the
    // transform does not take part.
    kv3PlanePelBuffer a2 = kfPelCopy(a);
    a2.imageFromClientXformBase(kv2XformHandle(new kv2XformLinear(kvMatrix<2>(), 5.0, 1.0)), true);
    const kvCompositeColor ab2({a2, kfPelCopy(b)}, {kfPelCopy(care), care});
    EXPECT_TRUE(ab == ab2);

    // One pel of one plane, a window position, or a mask makes a difference.
    kv3PlanePelBuffer a3 = kfPelCopy(a);
    *a3.plane2().pointToPel(3, 3) ^= 1;
    EXPECT_FALSE(ab == kvCompositeColor({a3, b}, {care, care}));
    const kv3PlanePelBuffer copied(kfPelCopy(a.plane0()), kfPelCopy(a.plane1()),
                                   kfPelCopy(a.plane2()));
    kvPelBuffer<unsigned char> p0(kvPelRect(1, 0, 4, 4)), p1(kvPelRect(1, 0, 4, 4)),
        p2(kvPelRect(1, 0, 4, 4));
    for (long y = 0; y < 4; ++y)
        for (long x = 0; x < 4; ++x) {
            *p0.pointToPel(x + 1, y) = *a.plane0().pointToPel(x, y);
            *p1.pointToPel(x + 1, y) = *a.plane1().pointToPel(x, y);
            *p2.pointToPel(x + 1, y) = *a.plane2().pointToPel(x, y);
        }
    const kv3PlanePelBuffer shifted(p0, p1, p2);
    EXPECT_FALSE(kvCompositeColor(a, Mask()) == kvCompositeColor(shifted, Mask()));
    EXPECT_TRUE(kvCompositeColor(a, Mask()) == kvCompositeColor(copied, Mask()));
    EXPECT_FALSE(kvCompositeColor(a, Mask()) == kvCompositeColor(a, care));
    kvPelBuffer<unsigned char> holes = mask(kvPelRect(0, 0, 4, 4), 255);
    *holes.pointToPel(0, 0) = 0;
    EXPECT_FALSE(kvCompositeColor(a, care) == kvCompositeColor(a, holes));
}

TEST(CompositeColorSet, Equality) {
    const kv3PlanePelBuffer a = image(kvPelRect(0, 0, 4, 4), 1);
    const kv3PlanePelBuffer b = image(kvPelRect(0, 0, 4, 4), 2);
    const kvCompositeColor ca(a, Mask()), cb(b, Mask());

    const kvCompositeColorSet s({ca, cb});
    EXPECT_TRUE(s == kvCompositeColorSet({kvCompositeColor(kfPelCopy(a), Mask()), cb}));
    EXPECT_FALSE(s == kvCompositeColorSet({cb, ca}));
    EXPECT_FALSE(s == kvCompositeColorSet({ca, cb, cb}));
    EXPECT_TRUE(kvCompositeColorSet() == kvCompositeColorSet());
    EXPECT_FALSE(kvCompositeColorSet() == s);

    kvCompositeColorSet t;
    t.instances({ca, cb});
    EXPECT_TRUE(t == s);
    EXPECT_EQ(t.instances().size(), 2u);
}
