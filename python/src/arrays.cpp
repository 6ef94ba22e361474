#include "arrays.h"

#include <string>

#include "errors.h"

namespace py = pybind11;

namespace clsgpy {

namespace {

std::string shapeText(const py::array& a) {
    std::string s = "(";
    for (py::ssize_t i = 0; i < a.ndim(); ++i) s += (i ? ", " : "") + std::to_string(a.shape(i));
    return s + (a.ndim() == 1 ? ",)" : ")");
}

std::string dtypeText(const py::array& a) { return py::str(a.dtype()).cast<std::string>(); }

// One row of RGB triples into three planes. Compiled twice on x86-64 and
// picked when loaded: the AVX2 copy splits 32 pixels per step, which keeps the
// copy of an image to a few per cent of a run.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default"), optimize("tree-vectorize")))
#endif
void splitRow(const unsigned char* __restrict src, long width, unsigned char* __restrict r,
              unsigned char* __restrict g, unsigned char* __restrict b) {
    for (long x = 0; x < width; ++x) {
        r[x] = src[3 * x];
        g[x] = src[3 * x + 1];
        b[x] = src[3 * x + 2];
    }
}

}  // namespace

py::array asArray(py::handle obj, const std::string& what) {
    // A masked array's mask would go unseen: its data alone would be taken.
    if (py::isinstance(obj, py::module_::import("numpy.ma").attr("MaskedArray")))
        throwBadImage(what +
                      " is a masked array, and clsg does not read its mask; pass its data "
                      "(a.data) or a.filled(value)");
    if (py::isinstance<py::array>(obj)) return py::reinterpret_borrow<py::array>(obj);
    if (obj.is_none()) throwBadImage(what + " is None; expected a numpy array");
    try {
        return py::module_::import("numpy").attr("asarray")(obj);
    } catch (py::error_already_set& e) {
        // Only a value numpy cannot take is a bad image; anything else (Ctrl-C, a
        // lazy array's failing source) goes on as it was raised.
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
        throwBadImage(what + " cannot be converted to a numpy array (" +
                      std::string(py::str(e.value())) + ")");
    }
}

ArrayView checkImage(const py::array& a, const std::string& what) {
    if (a.ndim() != 3 || a.shape(2) != 3)
        throwBadImage(what + " must be an H x W x 3 array (RGB); got shape " + shapeText(a));
    if (a.dtype().kind() != 'u' || a.itemsize() != 1)
        throwBadImage(what + " must have dtype uint8; got " + dtypeText(a));
    if (a.shape(0) == 0 || a.shape(1) == 0)
        throwBadImage(what + " is empty: shape " + shapeText(a));
    ArrayView v;
    v.data = static_cast<const unsigned char*>(a.data());
    v.height = a.shape(0);
    v.width = a.shape(1);
    v.rowStride = a.strides(0);
    v.colStride = a.strides(1);
    v.chanStride = a.strides(2);
    return v;
}

ArrayView checkMask(const py::array& a, const ArrayView& image, const std::string& what) {
    if (a.ndim() != 2) throwBadImage(what + " must be an H x W array; got shape " + shapeText(a));
    const char kind = a.dtype().kind();
    if ((kind != 'u' && kind != 'b') || a.itemsize() != 1)
        throwBadImage(what + " must have dtype bool or uint8; got " + dtypeText(a));
    if (a.shape(0) != image.height || a.shape(1) != image.width)
        throwBadImage(what + " has shape " + shapeText(a) + " but its image is " +
                      std::to_string(image.height) + " x " + std::to_string(image.width));
    ArrayView v;
    v.data = static_cast<const unsigned char*>(a.data());
    v.height = a.shape(0);
    v.width = a.shape(1);
    v.rowStride = a.strides(0);
    v.colStride = a.strides(1);
    v.isBool = kind == 'b';
    return v;
}

kv3PlanePelBuffer copyImage(const ArrayView& v, kv3PlanePelBuffer into) {
    const kvPelRect window(0, 0, v.width, v.height);
    kv3PlanePelBuffer image =
        into.isBound() && into.window() == window ? into : kv3PlanePelBuffer(window);
    unsigned char* rows[3];
    for (long y = 0; y < v.height; ++y) {
        rows[0] = image.plane0().pointToRow(y);
        rows[1] = image.plane1().pointToRow(y);
        rows[2] = image.plane2().pointToRow(y);
        const unsigned char* src = v.data + y * v.rowStride;
        if (v.colStride == 3 && v.chanStride == 1) {  // C order: the common case
            splitRow(src, v.width, rows[0], rows[1], rows[2]);
        } else {
            for (long x = 0; x < v.width; ++x, src += v.colStride) {
                rows[0][x] = src[0];
                rows[1][x] = src[v.chanStride];
                rows[2][x] = src[2 * v.chanStride];
            }
        }
    }
    return image;
}

kvPelBuffer<unsigned char> copyMask(const ArrayView& v) {
    kvPelBuffer<unsigned char> mask(kvPelRect(0, 0, v.width, v.height));
    for (long y = 0; y < v.height; ++y) {
        unsigned char* row = mask.pointToRow(y);
        const unsigned char* src = v.data + y * v.rowStride;
        for (long x = 0; x < v.width; ++x, src += v.colStride) row[x] = *src ? 255 : 0;
    }
    return mask;
}

py::array viewOf(const kvPelBuffer_const<unsigned char>& b) {
    if (!b.isBound()) return py::array_t<unsigned char>(std::vector<py::ssize_t>{0, 0});
    auto* keep = new kvPelBuffer_const<unsigned char>(b);
    py::capsule owner(keep,
                      [](void* p) { delete static_cast<kvPelBuffer_const<unsigned char>*>(p); });
    py::array view(py::dtype::of<unsigned char>(), {b.height(), b.width()},
                   {static_cast<py::ssize_t>(b.rowStride()), static_cast<py::ssize_t>(1)},
                   b.pointToRow(b.window().top()), owner);
    py::detail::array_proxy(view.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return view;
}

py::array interleave(const kv3PlanePelBuffer_const& image) {
    py::array_t<unsigned char> out({image.height(), image.width(), 3L});
    unsigned char* dst = out.mutable_data();
    {
        py::gil_scoped_release release;
        const long top = image.window().top();
        for (long y = 0; y < image.height(); ++y) {
            const unsigned char* p[3] = {image.plane0().pointToRow(top + y),
                                         image.plane1().pointToRow(top + y),
                                         image.plane2().pointToRow(top + y)};
            for (long x = 0; x < image.width(); ++x)
                for (int c = 0; c < 3; ++c) *dst++ = p[c][x];
        }
    }
    return out;
}

}  // namespace clsgpy
