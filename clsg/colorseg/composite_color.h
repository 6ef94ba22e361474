// Training examples.
//
// A kvCompositeColor is one example of a colour class: RGB images, each with
// an 8-bit mask (255 = the pixel belongs to the colour, 0 = it does not) that
// is paired with the image by coordinates. An unbound mask stands for the
// whole image. Every pair is validated as it enters the example; a call that
// throws leaves the example as it was. Buffers are shared, not copied. (An
// image with an empty window and no mask enters; training refuses it.)
//
// A kvCompositeColorSet gathers the examples of one label.
#pragma once

#include <vector>

#include "clsg/platform/three_plane.h"

class kvArchive;

class kvCompositeColor {
public:
    // Validates every pair (see add); throws BadParams when the vectors
    // differ in length.
    kvCompositeColor(const std::vector<kv3PlanePelBuffer_const>& images = {},
                     const std::vector<kvPelBuffer_const<unsigned char>>& masks = {});
    kvCompositeColor(const kv3PlanePelBuffer_const& image,
                     const kvPelBuffer_const<unsigned char>& mask);

    // Appends one pair. Throws BadColorSpace for a non-RGB image, BadImage for
    // an unbound image, a mask beside the image, a mask value other than 0 or
    // 255 where mask and image overlap, or no 255 there.
    void add(const kv3PlanePelBuffer_const& image, const kvPelBuffer_const<unsigned char>& mask);
    // Replaces the contents; all pairs are validated before anything changes.
    void set(const std::vector<kv3PlanePelBuffer_const>& images,
             const std::vector<kvPelBuffer_const<unsigned char>>& masks);
    void set(const kv3PlanePelBuffer_const& image, const kvPelBuffer_const<unsigned char>& mask);
    void set();

    const std::vector<kv3PlanePelBuffer_const>& images() const { return images_; }
    const std::vector<kvPelBuffer_const<unsigned char>>& masks() const { return masks_; }

    // Equal pels and windows, pair by pair; colour-space tags, transforms and
    // storage do not take part.
    bool operator==(const kvCompositeColor& other) const;
    bool operator!=(const kvCompositeColor& other) const { return !(*this == other); }

private:
    friend kvArchive& operator||(kvArchive&, kvCompositeColor&);
    std::vector<kv3PlanePelBuffer_const> images_;
    std::vector<kvPelBuffer_const<unsigned char>> masks_;
};

class kvCompositeColorSet {
public:
    kvCompositeColorSet(const std::vector<kvCompositeColor>& instances = {})
        : instances_(instances) {}

    const std::vector<kvCompositeColor>& instances() const { return instances_; }
    void instances(const std::vector<kvCompositeColor>& instances) { instances_ = instances; }

    bool operator==(const kvCompositeColorSet& other) const;
    bool operator!=(const kvCompositeColorSet& other) const { return !(*this == other); }

private:
    friend kvArchive& operator||(kvArchive&, kvCompositeColorSet&);
    std::vector<kvCompositeColor> instances_;
};
