// Raw views of the foundation's buffers for the hot loops.
#pragma once

#include "clsg/clrsgint/plane_view.h"
#include "clsg/platform/three_plane.h"

inline kvPlanesView planesOf(const kv3PlanePelBuffer_const& image) {
    const kvPelRect& w = image.window();
    const long x0 = w.left(), y0 = w.top();
    const bool empty = w.isEmpty();
    return kvPlanesView{
        {empty ? nullptr : image.plane0().pointToPel(x0, y0),
         empty ? nullptr : image.plane1().pointToPel(x0, y0),
         empty ? nullptr : image.plane2().pointToPel(x0, y0)},
        {image.plane0().rowStride(), image.plane1().rowStride(), image.plane2().rowStride()},
        x0,
        y0,
        w.width(),
        w.height()};
}

template <class T>
kvImageView<T> viewOf(const kvPelBuffer<T>& buffer) {
    const kvPelRect& w = buffer.window();
    return kvImageView<T>{w.isEmpty() ? nullptr : buffer.pointToPel(w.left(), w.top()),
                          buffer.rowStride() / static_cast<std::ptrdiff_t>(sizeof(T)),
                          w.left(),
                          w.top(),
                          w.width(),
                          w.height()};
}
