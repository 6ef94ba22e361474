#include "clsg/colorseg/composite_color.h"

#include "clsg/colorseg/errors.h"
#include "clsg/platform/pel_ops.h"

namespace {

using Defs = kvCompositeColorSegmenterDefs;

// The mask is taken by value: narrowing its window touches only this copy.
void validatePair(const kv3PlanePelBuffer_const& image, kvPelBuffer_const<unsigned char> mask) {
    if (image.colorSpace() != kvColorSpaceRGB)
        throw Defs::BadColorSpace("image's color space is not RGB");
    if (image.isBound() && !mask.isBound()) return;
    if (!image.isBound()) throw Defs::BadImage("image is not bound");

    kvRectangle<long> overlap =
        kvRectangle<long>(mask.window()).intersect(kvRectangle<long>(image.window()), false);
    if (overlap.width() == 0 || overlap.height() == 0)
        throw Defs::BadImage("mask and image do not overlap");
    mask.window(kvPelRect(overlap), false);

    // Only the part of the mask over the image is looked at.
    const auto counts = kfPelHistogram(mask);
    const uint64_t pels =
        static_cast<uint64_t>(mask.width()) * static_cast<uint64_t>(mask.height());
    if (counts[0] + counts[255] < pels) throw Defs::BadImage("mask includes an invalid value");
    if (counts[255] == 0) throw Defs::BadImage("no care pels in the image");
}

bool sameBuffer(const kvPelBuffer_const<unsigned char>& a,
                const kvPelBuffer_const<unsigned char>& b) {
    if (a.isBound() && b.isBound()) return kfPelEqual(a, b) && a.window() == b.window();
    return a.isBound() == b.isBound();
}

bool sameImage(const kv3PlanePelBuffer_const& a, const kv3PlanePelBuffer_const& b) {
    if (!(a.isBound() && b.isBound())) return a.isBound() == b.isBound();
    return kfPelEqual(a.plane0(), b.plane0()) && kfPelEqual(a.plane1(), b.plane1()) &&
           kfPelEqual(a.plane2(), b.plane2()) && a.plane0().window() == b.plane0().window() &&
           a.plane1().window() == b.plane1().window() && a.plane2().window() == b.plane2().window();
}

}  // namespace

kvCompositeColor::kvCompositeColor(const std::vector<kv3PlanePelBuffer_const>& images,
                                   const std::vector<kvPelBuffer_const<unsigned char>>& masks) {
    set(images, masks);
}

kvCompositeColor::kvCompositeColor(const kv3PlanePelBuffer_const& image,
                                   const kvPelBuffer_const<unsigned char>& mask) {
    set(image, mask);
}

void kvCompositeColor::add(const kv3PlanePelBuffer_const& image,
                           const kvPelBuffer_const<unsigned char>& mask) {
    validatePair(image, mask);
    // Make room in both vectors first (geometric growth), so that the
    // appends below cannot throw and leave the two vectors uneven.
    if (images_.size() == images_.capacity()) images_.reserve(2 * images_.size() + 1);
    if (masks_.size() == masks_.capacity()) masks_.reserve(2 * masks_.size() + 1);
    images_.push_back(image);
    masks_.push_back(mask);
}

void kvCompositeColor::set(const std::vector<kv3PlanePelBuffer_const>& images,
                           const std::vector<kvPelBuffer_const<unsigned char>>& masks) {
    if (images.size() != masks.size())
        throw Defs::BadParams("The size of Images is not the same as the size of Masks");
    for (std::size_t i = 0; i < images.size(); ++i) validatePair(images[i], masks[i]);
    std::vector<kv3PlanePelBuffer_const> newImages(images);
    std::vector<kvPelBuffer_const<unsigned char>> newMasks(masks);
    images_.swap(newImages);
    masks_.swap(newMasks);
}

void kvCompositeColor::set(const kv3PlanePelBuffer_const& image,
                           const kvPelBuffer_const<unsigned char>& mask) {
    set(std::vector<kv3PlanePelBuffer_const>{image},
        std::vector<kvPelBuffer_const<unsigned char>>{mask});
}

void kvCompositeColor::set() {
    images_.clear();
    masks_.clear();
}

bool kvCompositeColor::operator==(const kvCompositeColor& other) const {
    if (images_.size() != other.images_.size()) return false;
    for (std::size_t i = 0; i < images_.size(); ++i) {
        if (!sameImage(images_[i], other.images_[i])) return false;
        if (!sameBuffer(masks_[i], other.masks_[i])) return false;
    }
    return true;
}

bool kvCompositeColorSet::operator==(const kvCompositeColorSet& other) const {
    if (instances_.size() != other.instances_.size()) return false;
    for (std::size_t i = 0; i < instances_.size(); ++i)
        if (!(instances_[i] == other.instances_[i])) return false;
    return true;
}
