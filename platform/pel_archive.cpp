#include "clsg/platform/pel_archive.h"

#include <cstring>

namespace {

void checkVersion(kvArchive& archive, const char* what) {
    unsigned char version = 0;
    archive || version;
    if (version != 0) throw kvArchive::UnknownVersion(what, 0);
}

// Pels of one row. The archive is little-endian, as is every host we build
// for, so a row passes as it lies in memory.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "pel rows are archived in host order");
void rowBytes(kvArchive& archive, unsigned char* row, std::size_t count, std::size_t pelSize) {
    archive.bytes(row, count * pelSize);
}

}  // namespace

// Builds buffers of any pel size for the loader.
class kvPelBufferLoader : public kv_PelBuffer {
public:
    kvPelBufferLoader(const kvPelRect& w, std::size_t pelSize) : kv_PelBuffer(w, 32, pelSize) {}
    unsigned char* row(long y) const { return address(window().left(), y); }
};

kvArchive& operator||(kvArchive& archive, kv_PelBuffer& buffer) {
    checkVersion(archive, "kv_PelBuffer");
    bool bound = buffer.isBound();
    archive || bound;

    if (archive.isStoring()) {
        if (!bound) return archive;
        unsigned char pelSize = static_cast<unsigned char>(buffer.pelSize());
        int32_t left = static_cast<int32_t>(buffer.window().left());
        int32_t top = static_cast<int32_t>(buffer.window().top());
        int32_t width = static_cast<int32_t>(buffer.width());
        int32_t height = static_cast<int32_t>(buffer.height());
        archive || pelSize || left || top || width || height;
        kvPersistent* xform = buffer.xform_.get();
        kvPersistent::serializePointer(archive, xform);
        if (width != 0)  // an empty window has no rows to walk
            for (long y = buffer.window().top(); y < buffer.window().bottom(); ++y)
                rowBytes(archive, buffer.address(buffer.window().left(), y),
                         static_cast<std::size_t>(width), buffer.pelSize());
        return archive;
    }

    if (!bound) {
        // Unbound, keeping the buffer's pel type.
        buffer.storage_.reset();
        buffer.origin_ = nullptr;
        buffer.stride_ = 0;
        buffer.extent_ = kvPelRect();
        buffer.window_ = kvPelRect();
        buffer.bound_ = false;
        buffer.xform_ = kv2XformHandle();
        return archive;
    }
    archive.countBuffer();
    unsigned char pelSize = 0;
    int32_t left = 0, top = 0, width = 0, height = 0;
    archive || pelSize || left || top || width || height;
    if (pelSize != buffer.pelSize()) throw kvArchive::Corrupt("stored pel type does not match");
    if (width < 0 || height < 0) throw kvArchive::Corrupt("stored window has a negative size");
    if (static_cast<int64_t>(left) + width > INT32_MAX ||
        static_cast<int64_t>(top) + height > INT32_MAX)
        throw kvArchive::Corrupt("stored window exceeds the coordinate range");
    const uint64_t pels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    if (archive.pelLimit() != 0 && pels > archive.pelLimit())
        throw kvArchive::TooManyPels(static_cast<uint64_t>(width), static_cast<uint64_t>(height),
                                     archive.pelLimit());
    kvPersistent* object = nullptr;
    kvPersistent::serializePointer(archive, object);
    auto* xform = dynamic_cast<kv2XformBase*>(object);
    if (object && !xform) throw kvArchive::Corrupt("stored transform has the wrong class");
    // Every pel must still be in the stream before anything is allocated.
    if (width != 0)
        archive.checkCount(static_cast<uint64_t>(height), static_cast<uint64_t>(width) * pelSize);

    kvPelBufferLoader loaded(kvPelRect(left, top, width, height), pelSize);
    // An empty window stores no pels, however long its other side is: do not
    // walk its rows.
    if (width != 0)
        for (long y = top; y < static_cast<long>(top) + height; ++y)
            rowBytes(archive, loaded.row(y), static_cast<std::size_t>(width), pelSize);
    loaded.imageFromClientXformBase(kv2XformHandle(xform), true);
    static_cast<kv_PelBuffer&>(buffer) = static_cast<const kv_PelBuffer&>(loaded);
    return archive;
}

kvArchive& operator||(kvArchive& archive, kv3PlanePelBuffer& image) {
    checkVersion(archive, "kv3PlanePelBuffer");
    int32_t space = image.colorSpace();
    archive || space;
    if (archive.isStoring()) {
        kvPelBuffer<unsigned char> p0 = image.plane0(), p1 = image.plane1(), p2 = image.plane2();
        archive || p0 || p1 || p2;
        return archive;
    }
    if (space < kvColorSpaceUnknown || space > kvColorSpaceYUV)
        throw kvArchive::Corrupt("stored colour space is unknown");
    kvPelBuffer<unsigned char> p0, p1, p2;
    archive || p0 || p1 || p2;
    try {
        image = kv3PlanePelBuffer(p0, p1, p2, static_cast<kvColorSpace>(space));
    } catch (const kvPel::BadWindow&) {
        throw kvArchive::Corrupt("stored planes do not share one window");
    }
    return archive;
}

kvArchive& operator||(kvArchive& archive, kv3PlanePelBuffer_const& image) {
    if (archive.isStoring()) {
        // Storing only reads the pels the handles share.
        checkVersion(archive, "kv3PlanePelBuffer");
        int32_t space = image.colorSpace();
        archive || space;
        kv_PelBuffer p0 = image.plane0(), p1 = image.plane1(), p2 = image.plane2();
        archive || p0 || p1 || p2;
        return archive;
    }
    kv3PlanePelBuffer loaded;
    archive || loaded;
    image = kv3PlanePelBuffer_const(loaded);
    return archive;
}
