// Numpy arrays in and out of the library's pixel buffers.
//
// Inputs are checked with the GIL held (check*), then copied into the
// library's planar buffers without it (copy*): the caller keeps the array
// alive meanwhile. Outputs are read-only views of the library's buffers; the
// view keeps the buffer's storage alive, so nothing is copied.
#pragma once

#include <pybind11/numpy.h>

#include <cstddef>

#include "clsg/platform/three_plane.h"

namespace clsgpy {

// Where an H x W x 3 or H x W array's bytes lie (strides in bytes, any sign).
struct ArrayView {
    const unsigned char* data = nullptr;
    std::ptrdiff_t height = 0, width = 0;
    std::ptrdiff_t rowStride = 0, colStride = 0, chanStride = 0;
    bool isBool = false;
};

// what names the argument in messages ("image", "mask of example 2 of
// 'crema'"). Both raise BadImageError for anything but an array of the right
// shape and dtype with at least one pixel.
ArrayView checkImage(const pybind11::array& a, const std::string& what);
// A mask must match the image's height and width; bool or uint8.
ArrayView checkMask(const pybind11::array& a, const ArrayView& image, const std::string& what);

// Converts obj to a numpy array without copying one that already is.
pybind11::array asArray(pybind11::handle obj, const std::string& what);

// GIL not needed. Writes into into's planes when they have v's size (the
// caller must be the only holder of them), into new ones otherwise.
kv3PlanePelBuffer copyImage(const ArrayView& v, kv3PlanePelBuffer into = {});
// Non-zero becomes 255.
kvPelBuffer<unsigned char> copyMask(const ArrayView& v);

// A read-only H x W uint8 view that shares the buffer's storage.
pybind11::array viewOf(const kvPelBuffer_const<unsigned char>& b);

// A fresh H x W x 3 array with the image's pixels.
pybind11::array interleave(const kv3PlanePelBuffer_const& image);

}  // namespace clsgpy
