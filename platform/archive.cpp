#include "clsg/platform/archive.h"

#include <cstring>
#include <istream>
#include <limits>
#include <ostream>

namespace {

template <class U>
void toLittle(U v, unsigned char* p) {
    for (std::size_t i = 0; i < sizeof(U); ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
template <class U>
U fromLittle(const unsigned char* p) {
    U v = 0;
    for (std::size_t i = 0; i < sizeof(U); ++i) v |= static_cast<U>(p[i]) << (8 * i);
    return v;
}

std::string versionText(const char* file, int line) {
    std::string s = "unknown archive version";
    if (file) s += std::string(" (") + file + ", line " + std::to_string(line) + ")";
    return s;
}

}  // namespace

kvArchive::UnknownVersion::UnknownVersion(const char* file, int line)
    : Errors(versionText(file, line)), file_(file), line_(line) {}

kvArchive::TooManyPels::TooManyPels(uint64_t width, uint64_t height, uint64_t limit)
    : Errors("stored pel buffer of " + std::to_string(width) + " x " + std::to_string(height) +
             " pels is over the limit of " + std::to_string(limit)),
      width_(width),
      height_(height),
      limit_(limit) {}

kvArchive::TooManyBuffers::TooManyBuffers(uint64_t limit)
    : Errors("more than " + std::to_string(limit) + " stored pel buffers"), limit_(limit) {}

void kvArchive::countBuffer() {
    if (maxBuffers_ != 0 && buffers_ >= maxBuffers_) throw TooManyBuffers(maxBuffers_);
    ++buffers_;
}

kvArchive::kvArchive(std::ostream& out) : out_(&out) {}

kvArchive::kvArchive(std::istream& in) : in_(&in) {
    // Find out how much is left, so that counts can be checked before
    // anything is allocated. A stream that cannot seek is refused.
    const auto here = in.tellg();
    if (here == std::streampos(-1)) throw Corrupt("archive stream cannot report its size");
    in.seekg(0, std::ios::end);
    const auto end = in.tellg();
    in.seekg(here);
    if (end == std::streampos(-1) || end < here || !in)
        throw Corrupt("archive stream cannot report its size");
    left_ = static_cast<uint64_t>(end - here);
}

kvArchive::~kvArchive() {
    for (kvPersistent* p : loadedObjects_) p->release();
}

void kvArchive::write(const void* data, std::size_t size) {
    out_->write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!*out_) throw Errors("archive write failed");
}

void kvArchive::read(void* data, std::size_t size) {
    if (size > left_) throw Corrupt("archive truncated");
    in_->read(static_cast<char*>(data), static_cast<std::streamsize>(size));
    if (static_cast<std::size_t>(in_->gcount()) != size) throw Corrupt("archive truncated");
    left_ -= size;
}

void kvArchive::bytes(void* data, std::size_t size) {
    if (size == 0) return;
    if (isStoring())
        write(data, size);
    else
        read(data, size);
}

void kvArchive::checkCount(uint64_t count, uint64_t minBytes) const {
    if (!isLoading()) return;
    if (minBytes == 0) minBytes = 1;
    const uint64_t unclaimed = left_ > claimed_ ? left_ - claimed_ : 0;
    if (count > unclaimed / minBytes) throw Corrupt("archive count exceeds the data left");
}

kvArchive::Claim::Claim(kvArchive& archive, uint64_t count, uint64_t minBytes)
    : archive_(archive), count_(0), minBytes_(minBytes == 0 ? 1 : minBytes) {
    if (!archive.isLoading()) return;
    archive.checkCount(count, minBytes_);
    count_ = count;
    archive.claimed_ += count_ * minBytes_;
}

kvArchive::Claim::~Claim() { archive_.claimed_ -= count_ * minBytes_; }

void kvArchive::Claim::next() {
    if (count_ == 0) return;
    --count_;
    archive_.claimed_ -= minBytes_;
}

kvArchive& kvArchive::operator||(unsigned char& v) {
    bytes(&v, 1);
    return *this;
}

kvArchive& kvArchive::operator||(bool& v) {
    unsigned char b = v ? 1 : 0;
    bytes(&b, 1);
    if (isLoading()) {
        if (b > 1) throw Corrupt("archive holds an invalid bool");
        v = (b == 1);
    }
    return *this;
}

kvArchive& kvArchive::operator||(uint32_t& v) {
    unsigned char p[4];
    if (isStoring()) {
        toLittle(v, p);
        write(p, 4);
    } else {
        read(p, 4);
        v = fromLittle<uint32_t>(p);
    }
    return *this;
}

kvArchive& kvArchive::operator||(int32_t& v) {
    uint32_t u = static_cast<uint32_t>(v);
    *this || u;
    if (isLoading())
        v = static_cast<int32_t>(u);  // two's complement, defined since C++20 and by GCC/Clang
    return *this;
}

kvArchive& kvArchive::operator||(long& v) {
    if (isStoring() &&
        (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()))
        throw Errors("value does not fit the archive's 32-bit integer");
    int32_t w = static_cast<int32_t>(v);
    *this || w;
    v = w;
    return *this;
}

kvArchive& kvArchive::operator||(unsigned long& v) {
    if (isStoring() && v > std::numeric_limits<uint32_t>::max())
        throw Errors("value does not fit the archive's 32-bit integer");
    uint32_t w = static_cast<uint32_t>(v);
    *this || w;
    v = w;
    return *this;
}

kvArchive& kvArchive::operator||(float& v) {
    static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559, "IEEE float");
    uint32_t u;
    std::memcpy(&u, &v, 4);
    *this || u;
    std::memcpy(&v, &u, 4);
    return *this;
}

kvArchive& kvArchive::operator||(double& v) {
    static_assert(sizeof(double) == 8 && std::numeric_limits<double>::is_iec559, "IEEE double");
    uint64_t u;
    std::memcpy(&u, &v, 8);
    unsigned char p[8];
    if (isStoring()) {
        toLittle(u, p);
        write(p, 8);
    } else {
        read(p, 8);
        u = fromLittle<uint64_t>(p);
        std::memcpy(&v, &u, 8);
    }
    return *this;
}

kvArchive& kvArchive::operator||(std::string& v) {
    uint32_t n = static_cast<uint32_t>(v.size());
    if (isStoring() && v.size() > std::numeric_limits<uint32_t>::max())
        throw Errors("string too long for the archive");
    *this || n;
    if (isLoading()) {
        checkCount(n, 1);
        v.assign(n, '\0');
    }
    bytes(v.data(), n);
    return *this;
}

kvArchive& operator||(kvArchive& archive, std::vector<unsigned char>& v) {
    uint32_t n = static_cast<uint32_t>(v.size());
    if (archive.isStoring() && v.size() > std::numeric_limits<uint32_t>::max())
        throw kvArchive::Errors("vector too long for the archive");
    archive || n;
    if (archive.isLoading()) {
        archive.checkCount(n, 1);
        v.assign(n, 0);
    }
    archive.bytes(v.data(), n);
    return archive;
}

bool kvArchive::visited(uint64_t identity, std::size_t size) const {
    return visited_.count({identity, size}) != 0;
}

void kvArchive::markVisited(uint64_t identity, std::size_t size) {
    visited_.insert({identity, size});
}
