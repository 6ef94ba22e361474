// Three 8-bit planes over one window: a colour image (plane 0, 1, 2 = red,
// green, blue for RGB).
#pragma once

#include "clsg/platform/pel_buffer.h"

enum kvColorSpace : int {
    kvColorSpaceUnknown = 0,
    kvColorSpaceRGB = 1,
    kvColorSpaceHSI = 2,
    kvColorSpaceYUV = 3,
};

namespace kvPel {
// Checks that three planes are all bound over one window, or all unbound.
void checkPlanes(const kv_PelBuffer& p0, const kv_PelBuffer& p1, const kv_PelBuffer& p2);
}  // namespace kvPel

class kv3PlanePelBuffer {
public:
    kv3PlanePelBuffer() = default;
    // Throws kvPel::BadWindow unless the planes share one window (or are all unbound).
    kv3PlanePelBuffer(const kvPelBuffer<unsigned char>& p0, const kvPelBuffer<unsigned char>& p1,
                      const kvPelBuffer<unsigned char>& p2, kvColorSpace space = kvColorSpaceRGB)
        : p0_(p0), p1_(p1), p2_(p2), space_(space) {
        kvPel::checkPlanes(p0_, p1_, p2_);
    }
    // Three new planes over window.
    explicit kv3PlanePelBuffer(const kvPelRect& window, kvColorSpace space = kvColorSpaceRGB)
        : kv3PlanePelBuffer(kvPelBuffer<unsigned char>(window), kvPelBuffer<unsigned char>(window),
                            kvPelBuffer<unsigned char>(window), space) {}

    const kvPelBuffer<unsigned char>& plane0() const { return p0_; }
    const kvPelBuffer<unsigned char>& plane1() const { return p1_; }
    const kvPelBuffer<unsigned char>& plane2() const { return p2_; }
    kvColorSpace colorSpace() const { return space_; }
    void colorSpace(kvColorSpace space) { space_ = space; }

    bool isBound() const { return p0_.isBound(); }
    const kvPelRect& window() const { return p0_.window(); }
    long width() const { return p0_.width(); }
    long height() const { return p0_.height(); }
    const kv2XformHandle& imageFromClientXformBase() const {
        return p0_.imageFromClientXformBase();
    }
    // Gives every plane the transforms of the matching plane of other.
    void copyXforms(const kv3PlanePelBuffer& other) {
        p0_.copyXforms(other.p0_);
        p1_.copyXforms(other.p1_);
        p2_.copyXforms(other.p2_);
    }
    void imageFromClientXformBase(const kv2XformHandle& xform, bool share) {
        p0_.imageFromClientXformBase(xform, share);
        p1_.imageFromClientXformBase(xform, share);
        p2_.imageFromClientXformBase(xform, share);
    }

private:
    kvPelBuffer<unsigned char> p0_, p1_, p2_;
    kvColorSpace space_ = kvColorSpaceRGB;
};

// Read-only handle to a colour image.
class kv3PlanePelBuffer_const {
public:
    kv3PlanePelBuffer_const() = default;
    kv3PlanePelBuffer_const(const kv3PlanePelBuffer& b)
        : p0_(b.plane0()), p1_(b.plane1()), p2_(b.plane2()), space_(b.colorSpace()) {}

    const kvPelBuffer_const<unsigned char>& plane0() const { return p0_; }
    const kvPelBuffer_const<unsigned char>& plane1() const { return p1_; }
    const kvPelBuffer_const<unsigned char>& plane2() const { return p2_; }
    kvColorSpace colorSpace() const { return space_; }

    bool isBound() const { return p0_.isBound(); }
    const kvPelRect& window() const { return p0_.window(); }
    long width() const { return p0_.width(); }
    long height() const { return p0_.height(); }
    const kv2XformHandle& imageFromClientXformBase() const {
        return p0_.imageFromClientXformBase();
    }

private:
    kvPelBuffer_const<unsigned char> p0_, p1_, p2_;
    kvColorSpace space_ = kvColorSpaceRGB;
};
