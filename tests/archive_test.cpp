// The archive: byte layouts, round trips, pointer records, refusal of truncated or hostile streams.
#include "clsg/platform/archive.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <optional>
#include <vector>

#include "archive_bytes.h"
#include "clsg/clrsgint/internal_result.h"
#include "clsg/clrsgint/internal_result_archive.h"
#include "clsg/platform/pel_archive.h"
#include "clsg/platform/persistent.h"
#include "counted_allocations.h"

namespace {  // the largest allocation made: loading must check stored sizes before it allocates
std::size_t gLargestAllocation = 0;  // the tests run on one thread
}  // namespace
void clsgtest::noteAllocation(std::size_t n) {
    if (n > gLargestAllocation) gLargestAllocation = n;
}

// A persistent class of the tests: a value and a pointer to another object.
class ArchiveTestNode : public kvPersistent {
public:
    explicit ArchiveTestNode(int32_t v = 0) : value(v) { ++live; }
    ~ArchiveTestNode() override { --live; }
    int32_t value;
    kvPersistent* child = nullptr;
    static inline int live = 0;

protected:
    void dispatchSerialize(kvArchive& archive) override {
        unsigned char version = 0;
        archive || version;
        if (version != 0) throw kvArchive::UnknownVersion("ArchiveTestNode", 0);
        archive || value;
        kvPersistent::serializePointer(archive, child);
    }
};
const kv_Instantiator gNodeExemplar(typeid(ArchiveTestNode),
                                    []() -> kvPersistent* { return new ArchiveTestNode(); });

namespace {

using Bytes = std::string;
using Pass = std::function<void(kvArchive&)>;

Bytes storeWith(const Pass& f) {
    std::ostringstream out;
    kvArchive archive(out);
    f(archive);
    return out.str();
}
// A stream over bytes, not a copy of them: the largest allocation while
// loading is the loader's own.
struct ViewBuf : std::streambuf {
    explicit ViewBuf(const Bytes& bytes) {
        char* p = const_cast<char*>(bytes.data());
        setg(p, p, p + bytes.size());
    }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
        char* base = dir == std::ios_base::beg   ? eback()
                     : dir == std::ios_base::cur ? gptr()
                                                 : egptr();
        if (off < eback() - base || off > egptr() - base) return pos_type(off_type(-1));
        setg(eback(), base + off, egptr());
        return pos_type(gptr() - eback());
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
        return seekoff(off_type(pos), std::ios_base::beg, which);
    }
};
void loadWith(const Bytes& bytes, const Pass& f) {
    ViewBuf view(bytes);
    std::istream in(&view);
    kvArchive archive(in);
    f(archive);
}
Bytes b(std::initializer_list<unsigned> v) { return Bytes(v.begin(), v.end()); }
Bytes le32(uint32_t v) { return b({v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF, v >> 24}); }
Bytes text(const std::string& s) { return le32(static_cast<uint32_t>(s.size())) + s; }
Bytes nodeHeader() { return b({1}) + text("ArchiveTestNode") + b({0}); }
// Version, bound, pel size, left, top, width, height (no transform follows).
Bytes bufferHeader(unsigned pelSize, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
    return b({0, 1, pelSize}) + le32(x) + le32(y) + le32(w) + le32(h);
}
template <class T>
kvPelBuffer<T> ramp(const kvPelRect& w, T step) {
    kvPelBuffer<T> buf(w);
    T v = 0;
    for (long y = w.top(); y < w.bottom(); ++y)
        for (long x = w.left(); x < w.right(); ++x, v += step) *buf.pointToPel(x, y) = v;
    return buf;
}
Pass pointers(std::vector<kvPersistent**> ps) {  // a pointer record for each
    return [ps](kvArchive& a) {
        for (kvPersistent** p : ps) kvPersistent::serializePointer(a, *p);
    };
}

}  // namespace

// The other primitives are held by the archive fixtures' bytes.
TEST(Archive, BoolsFloatsAndLongsOfThirtyTwoBitsRoundTrip) {
    bool t = true, f = false;
    long l = -1;
    unsigned long ul = 4294967295UL;
    float fl = 1.5f;
    const Pass all = [&](kvArchive& a) { a || t || f || l || ul || fl; };
    const Bytes bytes = storeWith(all);
    EXPECT_EQ(bytes, b({1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0xC0, 0x3F}));
    t = false, f = true, l = 0, ul = 0, fl = 0;
    loadWith(bytes, all);
    EXPECT_EQ(storeWith(all), bytes);

    for (long bad : {2147483648L, -2147483649L}) EXPECT_THROW(storeToBytes(bad), kvArchive::Errors);
    ul = 4294967296UL;
    EXPECT_THROW(storeToBytes(ul), kvArchive::Errors);
    loadFromBytes(le32(0x80000000u), l);
    loadFromBytes(le32(0x80000000u), ul);
    EXPECT_TRUE(l == -2147483648L && ul == 2147483648UL);
}

TEST(Archive, BufferRecordsRoundTripSharingOneTransform) {
    kvPelBuffer<unsigned char> none, u = ramp<unsigned char>(kvPelRect(-7, -3, 13, 5), 3);
    EXPECT_EQ(storeToBytes(none), b({0, 0}));
    kvMatrix<2> m;
    m(0, 1) = 0.25;
    u.imageFromClientXformBase(kv2XformHandle(new kv2XformLinear(m, -1.5, 2.0)), true);
    kvPelBuffer<double> d = ramp<double>(kvPelRect(4, -9, 3, 2), -0.1);
    d.copyXforms(u);  // one transform object for both buffers
    const Bytes bytes = storeWith([&](kvArchive& a) { a || u || d || none; });
    kvPelBuffer<unsigned char> u2, none2(kvPelRect(0, 0, 2, 2));
    kvPelBuffer<double> d2;
    const Pass again = [&](kvArchive& a) { a || u2 || d2 || none2; };
    loadWith(bytes, again);
    EXPECT_EQ(storeWith(again), bytes);
    EXPECT_EQ(u2.imageFromClientXformBase().get(), d2.imageFromClientXformBase().get());
}

// Huge stored sizes throw before anything near their size is allocated.
TEST(Archive, CorruptHugeOrNewerRecordsAreRefused) {
    bool flag = false;
    kvPelBuffer<unsigned char> u(kvPelRect(0, 0, 1, 1)), q(kvPelRect(0, 0, 2, 1));
    kvPelBuffer<double> d(kvPelRect(0, 0, 1, 1));
    kv3PlanePelBuffer rgb;
    std::string s;
    std::vector<unsigned char> v;
    kvPersistent* p = nullptr;
    const Pass readU = [&](kvArchive&a) { a || u; }, readD = [&](kvArchive&a) { a || d; };
    const Bytes tail(10, '\0');
    const struct {
        const char* what;
        Bytes bytes;
        Pass read;
    } cases[] = {
        {"bool 0x80", b({0x80}), [&](kvArchive& a) { a || flag; }},
        {"bytes into doubles", storeToBytes(q), readD},
        {"planes over different windows",
         b({0}) + le32(1) + storeWith([&](kvArchive& a) { a || u || q || u; }),
         [&](kvArchive& a) { a || rgb; }},
        {"negative window size", bufferHeader(1, 0, 0, 0xFFFFFFFFu, 1) + b({0}), readU},
        {"a transform slot holding no transform",
         bufferHeader(1, 0, 0, 1, 1) + nodeHeader() + le32(5) + b({0, 9}), readU},
        {"pointer tag 3", b({3}), pointers({&p})},
        {"reference to no object", b({2}) + le32(0), pointers({&p})},
        {"huge doubles", bufferHeader(8, 0, 0, 60000, 60000) + b({0}) + tail, readD},
        // Enough bytes for the elements, an eighth of what doubles need: counted in bytes.
        {"doubles in an eighth of their bytes",
         bufferHeader(8, 0, 0, 512, 512) + b({0}) + Bytes(512 * 512 + 16, '\0'), readD},
        {"huge bytes", bufferHeader(1, 0, 0, 0x7FFFFFFF, 2) + b({0}) + tail, readU},
        {"huge text", le32(0xFFFFFFFFu) + tail, [&](kvArchive& a) { a || s; }},
        {"huge vector", le32(0x7FFFFFFFu) + tail, [&](kvArchive& a) { a || v; }},
        {"huge class name", b({1}) + le32(0xFFFFFFF0u) + tail, pointers({&p})},
    };
    for (const auto& c : cases) {
        gLargestAllocation = 0;
        EXPECT_THROW(loadWith(c.bytes, c.read), kvArchive::Corrupt) << c.what;
        EXPECT_LT(gLargestAllocation, std::size_t{1} << 20) << c.what;
    }
    EXPECT_EQ(d.window(), kvPelRect(0, 0, 1, 1));  // left as it was

    // A result's score images: while one is read, the smallest records of
    // those after it (2 bytes each: version, unbound) are claimed, so the
    // first cannot size its pels by their bytes.
    kvCompositeColorSegmenterInternalResult result;
    result.image = kv3PlanePelBuffer(kvPelRect(0, 0, 1, 1));
    result.labelScores.held.assign(3, kvPelBuffer<double>(kvPelRect(0, 0, 1, 1)));
    const Bytes stored = storeWith([&](kvArchive& a) { a || result; });
    const Bytes framing = b({0}) + le32(3) + bufferHeader(8, 0, 0, 1, 1);
    ASSERT_NE(stored.find(framing), Bytes::npos);
    const Bytes first = stored.substr(0, stored.find(framing) + 5) +
                        bufferHeader(8, 0, 0, 512, 512) + b({0}) + Bytes(512 * 512 * 8, '\0');
    const Pass readResult = [&](kvArchive& a) { a || result; };
    for (const auto& [after, allocated] : {std::pair{3, false}, std::pair{4, true}}) {
        const Bytes bytes = first + Bytes(after, '\0');
        gLargestAllocation = 0;
        EXPECT_THROW(loadWith(bytes, readResult), kvArchive::Corrupt);
        EXPECT_EQ(gLargestAllocation >= 512 * 512 * 8, allocated) << after << " bytes after";
    }
    try {  // a class name from the file reaches the message escaped and cut
        loadWith(b({1}) + text("\x1b]0;\\\a" + std::string(200, 'A')) + b({0}), pointers({&p}));
        ADD_FAILURE() << "no exception";
    } catch (const kvArchive::Corrupt& e) {
        EXPECT_EQ(std::string(e.what()), "archive names an unknown class: \\x1b]0;\\x5c\\x07" +
                                             std::string(65, 'A') + "...");
    }
    // A name longer than any class has is refused from its stated length, unread.
    const Bytes longName = b({1}) + text(std::string(10 << 20, 'A')) + b({0});
    const Pass readPointer = pointers({&p});
    gLargestAllocation = 0;
    EXPECT_THROW(loadWith(longName, readPointer), kvArchive::Corrupt);
    EXPECT_LT(gLargestAllocation, 1u << 20);
    EXPECT_EQ(ArchiveTestNode::live, 0);
    for (const Bytes& newer : {b({1, 0}), b({1}) + text("kv2XformLinear") + b({1})})
        EXPECT_THROW(loadWith(newer, [&](kvArchive& a) { a || u; }), kvArchive::UnknownVersion);
}

TEST(Archive, PointerRecordsSharedCyclicAndNested) {
    ArchiveTestNode shared(11), top(22);
    top.child = &shared;
    kvPersistent *null = nullptr, *a = &shared, *t = &top;
    const Bytes bytes = storeWith(pointers({&null, &a, &t, &a}));
    // null; shared in full; top in full referring back to shared; shared again.
    EXPECT_EQ(bytes, b({0}) + nodeHeader() + le32(11) + b({0}) + nodeHeader() + le32(22) + b({2}) +
                         le32(0) + b({2}) + le32(0));
    kvPersistent *n2 = &top, *a2 = nullptr, *b2 = nullptr, *a3 = nullptr;
    loadWith(bytes, [&](kvArchive& ar) {
        pointers({&n2, &a2, &b2, &a3})(ar);
        ASSERT_TRUE(n2 == nullptr && a2 != nullptr && a2 == a3);
        auto* loadedTop = dynamic_cast<ArchiveTestNode*>(b2);
        ASSERT_NE(loadedTop, nullptr);
        EXPECT_TRUE(loadedTop->value == 22 && loadedTop->child == a2);
        EXPECT_EQ(static_cast<ArchiveTestNode*>(a2)->value, 11);
    });
    EXPECT_EQ(ArchiveTestNode::live, 2);  // the archive let go of what it loaded

    Bytes deep;  // hostile nesting is refused instead of exhausting the stack
    for (int i = 0; i < 10000; ++i) deep += nodeHeader() + le32(0);
    EXPECT_THROW(loadWith(deep + b({0}), pointers({&b2})), kvArchive::Corrupt);
    EXPECT_EQ(ArchiveTestNode::live, 2);

    // An object freed after it was stored, and another made in its place: the
    // other is a new object to the archive, not a reference to the first.
    std::optional<ArchiveTestNode> slot(33);
    kvPersistent* first = &*slot;
    const Bytes twice = storeWith([&](kvArchive& ar) {
        pointers({&first})(ar);
        slot.emplace(44);
        kvPersistent* second = &*slot;
        ASSERT_EQ(second, first);
        pointers({&second})(ar);
    });
    EXPECT_EQ(twice, nodeHeader() + le32(33) + b({0}) + nodeHeader() + le32(44) + b({0}));
}
