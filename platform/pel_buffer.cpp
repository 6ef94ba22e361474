#include "clsg/platform/pel_buffer.h"

#include <cstdint>
#include <limits>
#include <new>
#include <utility>

namespace {

// Windows are archived as 32-bit values; keep every buffer within that range.
constexpr long kMaxCoordinate = std::numeric_limits<int32_t>::max();

bool inRange(const kvPelRect& w) {
    return w.left() >= -kMaxCoordinate && w.top() >= -kMaxCoordinate &&
           w.width() <= kMaxCoordinate && w.height() <= kMaxCoordinate &&
           w.left() <= kMaxCoordinate - w.width() && w.top() <= kMaxCoordinate - w.height();
}

}  // namespace

kv_PelBuffer::kv_PelBuffer(kv_PelBuffer&& other) noexcept
    : storage_(std::move(other.storage_)),
      origin_(std::exchange(other.origin_, nullptr)),
      stride_(std::exchange(other.stride_, 0)),
      extent_(std::exchange(other.extent_, kvPelRect())),
      window_(std::exchange(other.window_, kvPelRect())),
      pelSize_(other.pelSize_),
      bound_(std::exchange(other.bound_, false)),
      xform_(std::move(other.xform_)) {}

kv_PelBuffer& kv_PelBuffer::operator=(kv_PelBuffer&& other) noexcept {
    if (this != &other) {
        storage_ = std::move(other.storage_);
        origin_ = std::exchange(other.origin_, nullptr);
        stride_ = std::exchange(other.stride_, 0);
        extent_ = std::exchange(other.extent_, kvPelRect());
        window_ = std::exchange(other.window_, kvPelRect());
        pelSize_ = other.pelSize_;
        bound_ = std::exchange(other.bound_, false);
        xform_ = std::move(other.xform_);
    }
    return *this;
}

kv_PelBuffer::kv_PelBuffer(const kvPelRect& window, long alignment, std::size_t pelSize)
    : extent_(window),
      window_(window),
      pelSize_(pelSize),
      bound_(true),
      xform_(kv2XformLinear::identity()) {
    if (!inRange(window)) throw kvPel::BadWindow("window exceeds the 32-bit coordinate range");
    std::size_t align = 1;
    while (align < static_cast<std::size_t>(alignment > 1 ? alignment : 1) && align < 4096)
        align <<= 1;
    if (align < alignof(double)) align = alignof(double);

    const std::size_t rowBytes = static_cast<std::size_t>(window.width()) * pelSize;
    const std::size_t stride = (rowBytes + align - 1) / align * align;
    const std::size_t rows = static_cast<std::size_t>(window.height());
    if (rows != 0 && stride > std::numeric_limits<std::ptrdiff_t>::max() / rows)
        throw kvPel::BadWindow("window too large to allocate");
    const std::size_t bytes = stride * rows;
    stride_ = static_cast<std::ptrdiff_t>(stride);
    if (bytes == 0) return;  // an empty window is bound but holds no pels

    const std::align_val_t al{align};
    auto* p = static_cast<unsigned char*>(::operator new(bytes, al));
    storage_.reset(p, [al](unsigned char* q) { ::operator delete(q, al); });
    origin_ = p;
}

void kv_PelBuffer::window(const kvPelRect& w, bool clip) {
    if (!bound_) throw kvPel::UnboundWindow();
    kvPelRect next = w;
    if (clip)
        next = kvRectangle<long>(w).intersect(extent_, false);
    else if (!extent_.contains(w))
        throw kvPel::BadWindow("window lies outside the buffer");
    window_ = next;
}

void kv_PelBuffer::imageFromClientXformBase(const kv2XformHandle& xform, bool share) {
    if (share || !xform) {
        xform_ = xform;
        return;
    }
    // A private copy: compose with the identity, which yields a new object.
    xform_ = kv2XformLinear().composeBase(*xform.get());
}
