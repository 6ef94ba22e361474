// kvArchive: one binary stream for storing and loading.
//
// Encoding (little-endian throughout; docs/archive-format.md has the details):
//   unsigned char, bool      1 byte (bool: 0 or 1)
//   int32 / long             4 bytes, two's complement (a long must fit 32 bits)
//   uint32 / unsigned long   4 bytes (an unsigned long must fit 32 bits)
//   float, double            4 / 8 bytes IEEE 754
//   string, byte vector      uint32 count, then the bytes
//
// Loading never trusts a stored count: every count is checked against the
// bytes left in the stream before anything is allocated, and a truncated or
// malformed stream throws kvArchive::Corrupt.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "clsg/platform/exception.h"

class kvArchive {
public:
    // Base of the archive's own failures.
    class Errors : public kvExceptionWithString {
    public:
        explicit Errors(const std::string& message = std::string())
            : kvExceptionWithString(message) {}
    };
    // A record carries a version this reader does not know. file() names the
    // reader (may be null), line() tells where.
    class UnknownVersion : public Errors {
    public:
        UnknownVersion(const char* file, int line);
        const char* file() const { return file_; }
        int line() const { return line_; }

    private:
        const char* file_;
        int line_;
    };
    // The stream is truncated, or holds a value that cannot be valid.
    class Corrupt : public Errors {
    public:
        explicit Corrupt(const std::string& message) : Errors(message) {}
    };

    // A stored pel buffer of more pels than a loading archive's limit (see
    // limitPels).
    class TooManyPels : public Errors {
    public:
        TooManyPels(uint64_t width, uint64_t height, uint64_t limit);
        uint64_t width() const { return width_; }
        uint64_t height() const { return height_; }
        uint64_t limit() const { return limit_; }

    private:
        uint64_t width_, height_, limit_;
    };

    // The stream's type chooses the direction; pass a std::stringstream as
    // std::ostream& or std::istream&. Loading needs a stream that can seek
    // (to measure what is left) and refuses others.
    explicit kvArchive(std::ostream& out);  // stores
    explicit kvArchive(std::istream& in);   // loads
    ~kvArchive();
    kvArchive(const kvArchive&) = delete;
    kvArchive& operator=(const kvArchive&) = delete;

    bool isStoring() const { return out_ != nullptr; }
    bool isLoading() const { return in_ != nullptr; }

    kvArchive& operator||(unsigned char& v);
    kvArchive& operator||(bool& v);
    kvArchive& operator||(int32_t& v);
    kvArchive& operator||(uint32_t& v);
    kvArchive& operator||(long& v);           // stored as 32 bits
    kvArchive& operator||(unsigned long& v);  // stored as 32 bits
    kvArchive& operator||(float& v);
    kvArchive& operator||(double& v);
    kvArchive& operator||(std::string& v);

    // Raw bytes, in either direction.
    void bytes(void* data, std::size_t size);

    // More bound pel buffers than a loading archive's limit (see
    // limitBuffers).
    class TooManyBuffers : public Errors {
    public:
        explicit TooManyBuffers(uint64_t limit);
        uint64_t limit() const { return limit_; }

    private:
        uint64_t limit_;
    };

    // Bytes that can still be read from a loading archive.
    uint64_t bytesLeft() const { return left_; }
    // Throws Corrupt unless count elements of at least minBytes each fit in
    // what is left of the stream and not yet claimed (see Claim). Call it
    // before sizing anything by count.
    void checkCount(uint64_t count, uint64_t minBytes) const;
    // Pel buffers of more than pels pels (width x height) are refused with
    // TooManyPels as soon as their window is read, before anything is
    // allocated. 0, the default: only the bytes left bound them.
    void limitPels(uint64_t pels) { maxPels_ = pels; }
    uint64_t pelLimit() const { return maxPels_; }
    // Bound pel buffers past the first buffers are refused with TooManyBuffers
    // before anything is allocated: however small, each takes memory far
    // beyond its record. 0, the default: no limit.
    void limitBuffers(uint64_t buffers) { maxBuffers_ = buffers; }
    // Counts a bound pel buffer about to be loaded; throws past the limit.
    void countBuffer();

    // Sizing a container by a stored count claims the smallest record of each
    // element it will read, until that element is read. Counts checked while
    // a claim lives see only the unclaimed bytes, so nested counts cannot all
    // size themselves by the same bytes: what loading allocates by count
    // stays within a fixed multiple of the stream's size.
    //
    //     kvArchive::Claim claim(archive, count, minBytes);  // checks count
    //     std::vector<T> v(count);
    //     for (T& e : v) { claim.next(); archive || e; }
    class Claim {
    public:
        Claim(kvArchive& archive, uint64_t count, uint64_t minBytes);
        ~Claim();
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;
        // Releases the claim of the element about to be read.
        void next();

    private:
        kvArchive& archive_;
        uint64_t count_;
        uint64_t minBytes_;
    };

    // Bookkeeping of kvPersistent (visited objects and shared pointers), by
    // the objects' identities, which are never reused as addresses are.
    bool visited(uint64_t identity, std::size_t size) const;
    void markVisited(uint64_t identity, std::size_t size);

private:
    friend class kvPersistent;
    void write(const void* data, std::size_t size);
    void read(void* data, std::size_t size);

    std::ostream* out_ = nullptr;
    std::istream* in_ = nullptr;
    uint64_t left_ = 0;
    uint64_t claimed_ = 0;  // bytes promised to elements not yet read
    uint64_t maxPels_ = 0;
    uint64_t maxBuffers_ = 0, buffers_ = 0;
    std::set<std::pair<uint64_t, std::size_t>> visited_;
    std::map<uint64_t, uint32_t> storedObjects_;  // storing
    std::vector<kvPersistent*> loadedObjects_;    // loading, one reference each
    int pointerDepth_ = 0;
};

kvArchive& operator||(kvArchive& archive, std::vector<unsigned char>& v);
