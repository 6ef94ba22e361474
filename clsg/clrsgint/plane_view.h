// Raw views of pixel windows for the hot loops: a pointer to the window's
// top-left pel, a row stride in elements, the window's size and its absolute
// top-left coordinates (the abort poll works on absolute rows).
#pragma once

#include <cstddef>

struct kvPlanesView {
    const unsigned char* plane[3];  // red, green, blue at (x0, y0)
    std::ptrdiff_t stride[3];       // row strides in bytes
    long x0, y0;                    // absolute coordinates of the top-left pel
    long width, height;
};

template <class T>
struct kvImageView {
    T* data;                // pel at (x0, y0)
    std::ptrdiff_t stride;  // row stride in elements
    long x0, y0;
    long width, height;
    T* row(long y) const { return data + (y - y0) * stride; }  // absolute y
};
