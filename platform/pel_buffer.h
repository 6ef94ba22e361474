// Pixel buffers: a 2-D window of pels over shared storage, with a
// client-from-image transform.
//
// A buffer is a handle: copying it shares the pels (kfPelCopy makes an
// independent copy). A default-constructed buffer is unbound. Coordinates are
// absolute: pointToRow(y) addresses the first pel of row y inside the window,
// for window().top() <= y < window().bottom().
#pragma once

#include <cstddef>
#include <memory>

#include "clsg/platform/geometry.h"
#include "clsg/platform/xform.h"

class kv_PelBuffer {
public:
    kv_PelBuffer(const kv_PelBuffer&) = default;
    kv_PelBuffer& operator=(const kv_PelBuffer&) = default;
    // A buffer moved from is left unbound, as a new one; it never keeps an
    // address of pels it no longer holds.
    kv_PelBuffer(kv_PelBuffer&& other) noexcept;
    kv_PelBuffer& operator=(kv_PelBuffer&& other) noexcept;
    ~kv_PelBuffer() = default;

    bool isBound() const { return bound_; }
    long width() const { return window_.width(); }
    long height() const { return window_.height(); }
    const kvPelRect& window() const { return window_; }

    // Moves the window over the buffer's pels. With clip, the new window is
    // cut to the pels that exist; without, a window reaching outside them
    // throws kvPel::BadWindow. Throws kvPel::UnboundWindow when unbound.
    void window(const kvPelRect& w, bool clip);

    // The pels that storage holds; the window always lies inside it.
    const kvPelRect& extent() const { return extent_; }

    // The client-from-image transform (null if none was given).
    const kv2XformHandle& imageFromClientXformBase() const { return xform_; }
    // Sets the transform. With share, the buffer refers to the same object;
    // without, it keeps its own copy.
    void imageFromClientXformBase(const kv2XformHandle& xform, bool share);
    void copyXforms(const kv_PelBuffer& other) { xform_ = other.xform_; }

    // Whether another buffer handle shares these pels (a copy, or another
    // window onto them).
    bool sharesStorage() const { return storage_.use_count() > 1; }

    std::size_t pelSize() const { return pelSize_; }
    // Row stride in bytes.
    std::ptrdiff_t rowStride() const { return stride_; }

protected:
    explicit kv_PelBuffer(std::size_t pelSize) : pelSize_(pelSize) {}
    kv_PelBuffer(const kvPelRect& window, long alignment, std::size_t pelSize);

    unsigned char* address(long x, long y) const {
        return origin_ + (y - extent_.top()) * stride_ +
               (x - extent_.left()) * static_cast<std::ptrdiff_t>(pelSize_);
    }

private:
    friend kvArchive& operator||(kvArchive&, kv_PelBuffer&);

    std::shared_ptr<unsigned char> storage_;
    unsigned char* origin_ = nullptr;  // pel (extent.left, extent.top)
    std::ptrdiff_t stride_ = 0;
    kvPelRect extent_;
    kvPelRect window_;
    std::size_t pelSize_;
    bool bound_ = false;
    kv2XformHandle xform_;
};

template <class T>
class kvPelBuffer : public kv_PelBuffer {
public:
    kvPelBuffer() : kv_PelBuffer(sizeof(T)) {}
    // New pels over window (uninitialised), rows aligned to alignment bytes,
    // with the identity transform.
    explicit kvPelBuffer(const kvPelRect& window, long alignment = 32)
        : kv_PelBuffer(window, alignment, sizeof(T)) {}

    T* pointToRow(long y) const { return pointToPel(window().left(), y); }
    T* pointToPel(long x, long y) const { return reinterpret_cast<T*>(address(x, y)); }
};

// Read-only handle to a buffer's pels.
template <class T>
class kvPelBuffer_const : public kv_PelBuffer {
public:
    kvPelBuffer_const() : kv_PelBuffer(sizeof(T)) {}
    kvPelBuffer_const(const kvPelBuffer<T>& b) : kv_PelBuffer(b) {}

    const T* pointToRow(long y) const { return pointToPel(window().left(), y); }
    const T* pointToPel(long x, long y) const { return reinterpret_cast<const T*>(address(x, y)); }
};
