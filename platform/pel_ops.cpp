#include "clsg/platform/pel_ops.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace kvPel {
void checkPlanes(const kv_PelBuffer& p0, const kv_PelBuffer& p1, const kv_PelBuffer& p2) {
    const bool b = p0.isBound();
    if (p1.isBound() != b || p2.isBound() != b)
        throw BadWindow("planes must be all bound or all unbound");
    if (b && (p1.window() != p0.window() || p2.window() != p0.window()))
        throw BadWindow("planes must share one window");
}
}  // namespace kvPel

namespace {

template <class T>
kvPelBuffer<T> copyOf(const kvPelBuffer_const<T>& src) {
    if (!src.isBound()) throw kvPel::UnboundWindow();
    kvPelBuffer<T> dst(src.window());
    dst.copyXforms(src);
    if (src.window().isEmpty()) return dst;
    const auto rowBytes = static_cast<std::size_t>(src.width()) * sizeof(T);
    for (long y = src.window().top(); y < src.window().bottom(); ++y)
        std::memcpy(dst.pointToRow(y), src.pointToRow(y), rowBytes);
    return dst;
}

template <class T>
bool equalPels(const kvPelBuffer_const<T>& a, const kvPelBuffer_const<T>& b) {
    if (!a.isBound() || !b.isBound()) return a.isBound() == b.isBound();
    if (a.width() != b.width() || a.height() != b.height()) return false;
    if (a.window().isEmpty()) return true;
    for (long r = 0; r < a.height(); ++r) {
        const T* pa = a.pointToRow(a.window().top() + r);
        const T* pb = b.pointToRow(b.window().top() + r);
        for (long x = 0; x < a.width(); ++x)
            if (!(pa[x] == pb[x])) return false;
    }
    return true;
}

template <class T>
void fill(kvPelBuffer<T>& dst, T value) {
    if (!dst.isBound()) throw kvPel::UnboundWindow();
    if (dst.window().isEmpty()) return;
    for (long y = dst.window().top(); y < dst.window().bottom(); ++y) {
        T* p = dst.pointToRow(y);
        for (long x = 0; x < dst.width(); ++x) p[x] = value;
    }
}

}  // namespace

kvPelBuffer<unsigned char> kfPelCopy(const kvPelBuffer_const<unsigned char>& src) {
    return copyOf(src);
}
kvPelBuffer<double> kfPelCopy(const kvPelBuffer_const<double>& src) { return copyOf(src); }

kv3PlanePelBuffer kfPelCopy(const kv3PlanePelBuffer_const& src) {
    if (!src.isBound()) {
        kv3PlanePelBuffer unbound;
        unbound.colorSpace(src.colorSpace());
        return unbound;
    }
    return kv3PlanePelBuffer(copyOf(src.plane0()), copyOf(src.plane1()), copyOf(src.plane2()),
                             src.colorSpace());
}

bool kfPelEqual(const kvPelBuffer_const<unsigned char>& a,
                const kvPelBuffer_const<unsigned char>& b) {
    return equalPels(a, b);
}
bool kfPelEqual(const kvPelBuffer_const<double>& a, const kvPelBuffer_const<double>& b) {
    return equalPels(a, b);
}

std::array<uint64_t, 256> kfPelHistogram(const kvPelBuffer_const<unsigned char>& src) {
    if (!src.isBound()) throw kvPel::UnboundWindow();
    std::array<uint64_t, 256> counts{};
    if (src.window().isEmpty()) return counts;
    for (long y = src.window().top(); y < src.window().bottom(); ++y) {
        const unsigned char* p = src.pointToRow(y);
        for (long x = 0; x < src.width(); ++x) ++counts[p[x]];
    }
    return counts;
}

kvPelBuffer<unsigned char> kfPelMap(const kvPelBuffer_const<unsigned char>& src,
                                    const std::vector<unsigned char>& table) {
    if (!src.isBound()) throw kvPel::UnboundWindow();
    if (table.size() < 256) throw kvPel::Errors("pel map table needs 256 entries");
    kvPelBuffer<unsigned char> dst(src.window());
    dst.copyXforms(src);
    if (src.window().isEmpty()) return dst;
    for (long y = src.window().top(); y < src.window().bottom(); ++y) {
        const unsigned char* s = src.pointToRow(y);
        unsigned char* d = dst.pointToRow(y);
        for (long x = 0; x < src.width(); ++x) d[x] = table[s[x]];
    }
    return dst;
}

kvPelBuffer<unsigned char> kfPelSample(const kvPelBuffer_const<unsigned char>& src, long fx,
                                       long fy) {
    if (!src.isBound()) throw kvPel::UnboundWindow();
    if (fx < 1 || fy < 1) throw kvPel::Errors("sample factors must be at least 1");
    const kvPelRect& w = src.window();
    const long sw = w.width() / fx + (w.width() % fx != 0);
    const long sh = w.height() / fy + (w.height() % fy != 0);
    kvPelBuffer<unsigned char> dst(kvPelRect(w.left(), w.top(), sw, sh));
    if (dst.window().isEmpty()) return dst;
    for (long r = 0; r < sh; ++r) {
        const unsigned char* s = src.pointToRow(w.top() + r * fy);
        unsigned char* d = dst.pointToRow(w.top() + r);
        for (long c = 0; c < sw; ++c) d[c] = s[c * fx];
    }
    return dst;
}

void kfPelSet(kvPelBuffer<double>& dst, double value) { fill(dst, value); }
void kfPelSet(kvPelBuffer<unsigned char>& dst, unsigned char value) { fill(dst, value); }
