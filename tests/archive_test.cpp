// The archive: byte layout of primitives and pixel buffers, round trips,
// pointer records, and refusal of truncated or hostile streams.
#include "platform/archive.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "platform/pel_archive.h"
#include "platform/pel_ops.h"
#include "platform/persistent.h"
#include "platform/xform.h"

// The largest single allocation made while the flag below is set, to prove
// that loading checks stored sizes before it allocates.
namespace {
std::atomic<std::size_t> gLargestAllocation{0};
void noteAllocation(std::size_t n) {
    std::size_t seen = gLargestAllocation.load();
    while (n > seen && !gLargestAllocation.compare_exchange_weak(seen, n)) {
    }
}
}  // namespace

// These replace the global allocation functions as a pair, so malloc and
// free do match here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
    noteAllocation(n);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void* operator new(std::size_t n, std::align_val_t al) {
    noteAllocation(n);
    void* p = nullptr;
    std::size_t a = static_cast<std::size_t>(al);
    if (a < sizeof(void*)) a = sizeof(void*);
    if (posix_memalign(&p, a, n ? n : 1) != 0) throw std::bad_alloc();
    return p;
}
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

// A persistent class of the tests: a value and a pointer to another object.
class ArchiveTestNode : public kvPersistent {
public:
    ArchiveTestNode() { ++live; }
    ~ArchiveTestNode() override { --live; }
    int32_t value = 0;
    kvPersistent* child = nullptr;
    static int live;

protected:
    void dispatchSerialize(kvArchive& archive) override {
        unsigned char version = 0;
        archive || version;
        if (version != 0) throw kvArchive::UnknownVersion("ArchiveTestNode", 0);
        archive || value;
        kvPersistent::serializePointer(archive, child);
    }

private:
    static kvPersistent* make() { return new ArchiveTestNode(); }
    static const kv_Instantiator sExemplar;
};
int ArchiveTestNode::live = 0;
const kv_Instantiator ArchiveTestNode::sExemplar(typeid(ArchiveTestNode), &ArchiveTestNode::make);

namespace {

using Bytes = std::vector<unsigned char>;

Bytes store(const std::function<void(kvArchive&)>& f) {
    std::ostringstream out;
    {
        kvArchive archive(out);
        EXPECT_TRUE(archive.isStoring());
        EXPECT_FALSE(archive.isLoading());
        f(archive);
    }
    const std::string s = out.str();
    return Bytes(s.begin(), s.end());
}

void load(const Bytes& bytes, const std::function<void(kvArchive&)>& f) {
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    kvArchive archive(in);
    EXPECT_TRUE(archive.isLoading());
    f(archive);
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
Bytes le32(uint32_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}
Bytes text(const std::string& s) {
    return cat({le32(static_cast<uint32_t>(s.size())), Bytes(s.begin(), s.end())});
}

template <class T>
kvPelBuffer<T> ramp(const kvPelRect& w, T step) {
    kvPelBuffer<T> b(w);
    T v = 0;
    for (long y = w.top(); y < w.bottom(); ++y)
        for (long x = w.left(); x < w.right(); ++x, v += step) *b.pointToPel(x, y) = v;
    return b;
}

}  // namespace

TEST(Archive, PrimitiveBytesAreLittleEndian) {
    unsigned char c = 0xAB;
    bool t = true, f = false;
    int32_t i = -2;
    uint32_t u = 0x01020304;
    long l = -1;
    unsigned long ul = 4294967295UL;
    float fl = 1.5f;
    double d = -2.0;
    std::string s = "ab";
    std::vector<unsigned char> v = {1, 2, 3};
    const Bytes bytes =
        store([&](kvArchive& a) { a || c || t || f || i || u || l || ul || fl || d || s || v; });
    const Bytes expected = {0xAB, 1,    0,    0xFE, 0xFF, 0xFF, 0xFF, 4,    3,    2, 1,
                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0,    0, 0xC0,
                            0x3F, 0,    0,    0,    0,    0,    0,    0,    0xC0, 2, 0,
                            0,    0,    'a',  'b',  3,    0,    0,    0,    1,    2, 3};
    EXPECT_EQ(bytes, expected);

    unsigned char c2 = 0;
    bool t2 = false, f2 = true;
    int32_t i2 = 0;
    uint32_t u2 = 0;
    long l2 = 0;
    unsigned long ul2 = 0;
    float fl2 = 0;
    double d2 = 0;
    std::string s2 = "old text";
    std::vector<unsigned char> v2 = {9};
    load(bytes, [&](kvArchive& a) {
        a || c2 || t2 || f2 || i2 || u2 || l2 || ul2 || fl2 || d2 || s2 || v2;
        EXPECT_EQ(a.bytesLeft(), 0u);
    });
    EXPECT_EQ(c2, c);
    EXPECT_EQ(t2, true);
    EXPECT_EQ(f2, false);
    EXPECT_EQ(i2, i);
    EXPECT_EQ(u2, u);
    EXPECT_EQ(l2, -1);
    EXPECT_EQ(ul2, 4294967295UL);
    EXPECT_EQ(fl2, 1.5f);
    EXPECT_EQ(d2, -2.0);
    EXPECT_EQ(s2, "ab");
    EXPECT_EQ(v2, v);
}

TEST(Archive, FloatingBitPatternsSurvive) {
    const uint64_t doubles[] = {0x8000000000000000ull, 0x0000000000000001ull, 0x7FF8000000000123ull,
                                0xFFF0000000000000ull, 0x3FB999999999999Aull};
    const uint32_t floats[] = {0x80000000u, 0x00000001u, 0x7FC00042u, 0x7F800000u};
    for (uint64_t bits : doubles) {
        double v, back = 0;
        std::memcpy(&v, &bits, 8);
        load(store([&](kvArchive& a) { a || v; }), [&](kvArchive& a) { a || back; });
        EXPECT_EQ(std::memcmp(&v, &back, 8), 0) << std::hex << bits;
    }
    for (uint32_t bits : floats) {
        float v, back = 0;
        std::memcpy(&v, &bits, 4);
        load(store([&](kvArchive& a) { a || v; }), [&](kvArchive& a) { a || back; });
        EXPECT_EQ(std::memcmp(&v, &back, 4), 0) << std::hex << bits;
    }
}

TEST(Archive, LongsAreThirtyTwoBits) {
    for (long ok : {-2147483648L, 2147483647L, 0L}) {
        long back = 1;
        const Bytes b = store([&](kvArchive& a) { a || ok; });
        EXPECT_EQ(b.size(), 4u);
        load(b, [&](kvArchive& a) { a || back; });
        EXPECT_EQ(back, ok);
    }
    for (long bad : {2147483648L, -2147483649L, std::numeric_limits<long>::max()}) {
        std::ostringstream out;
        kvArchive a(out);
        EXPECT_THROW(a || bad, kvArchive::Errors) << bad;
    }
    unsigned long big = 4294967296UL;
    std::ostringstream out;
    kvArchive a(out);
    EXPECT_THROW(a || big, kvArchive::Errors);
    EXPECT_TRUE(out.str().empty());

    // A stored 0x80000000 is the most negative long, and the largest unsigned long.
    long l = 0;
    unsigned long ul = 0;
    load(le32(0x80000000u), [&](kvArchive& ar) { ar || l; });
    load(le32(0x80000000u), [&](kvArchive& ar) { ar || ul; });
    EXPECT_EQ(l, -2147483648L);
    EXPECT_EQ(ul, 2147483648UL);
}

TEST(Archive, BoolByteMustBeZeroOrOne) {
    for (unsigned char byte : {2, 0x80, 0xFF}) {
        bool v = false;
        EXPECT_THROW(load({byte}, [&](kvArchive& a) { a || v; }), kvArchive::Corrupt);
    }
}

TEST(Archive, UnknownVersionCarriesFileAndLine) {
    const kvArchive::UnknownVersion e("some_reader.cpp", 42);
    EXPECT_STREQ(e.file(), "some_reader.cpp");
    EXPECT_EQ(e.line(), 42);
    EXPECT_NE(std::string(e.what()).find("some_reader.cpp"), std::string::npos);
    EXPECT_EQ(kvArchive::UnknownVersion(nullptr, 0).file(), nullptr);

    // Readers name themselves when they meet a version above theirs.
    kvPelBuffer<unsigned char> u;
    kv3PlanePelBuffer rgb;
    try {
        load({1, 0}, [&](kvArchive& a) { a || u; });
        ADD_FAILURE();
    } catch (const kvArchive::UnknownVersion& v) {
        EXPECT_STREQ(v.file(), "kv_PelBuffer");
    }
    try {
        load({1, 0, 0, 0, 0}, [&](kvArchive& a) { a || rgb; });
        ADD_FAILURE();
    } catch (const kvArchive::UnknownVersion& v) {
        EXPECT_STREQ(v.file(), "kv3PlanePelBuffer");
    }
    kvPersistent* p = nullptr;
    try {
        load(cat({{1}, text("kv2XformLinear"), {1}}),
             [&](kvArchive& a) { kvPersistent::serializePointer(a, p); });
        ADD_FAILURE();
    } catch (const kvArchive::UnknownVersion& v) {
        EXPECT_STREQ(v.file(), "kv2XformLinear");
    }
}

TEST(Archive, BufferRecordLayout) {
    kvPelBuffer<unsigned char> b(kvPelRect(-1, 2, 2, 1));
    b.pointToRow(2)[0] = 7;
    b.pointToRow(2)[1] = 8;
    b.imageFromClientXformBase(kv2XformHandle(), true);
    EXPECT_EQ(store([&](kvArchive& a) { a || b; }),
              cat({{0, 1, 1}, le32(0xFFFFFFFFu), le32(2), le32(2), le32(1), {0}, {7, 8}}));

    kvPelBuffer<unsigned char> none;
    EXPECT_EQ(store([&](kvArchive& a) { a || none; }), Bytes({0, 0}));

    // A new buffer's identity transform is a pointer record of a kv2XformLinear.
    kvPelBuffer<double> d(kvPelRect(0, 0, 1, 1));
    *d.pointToPel(0, 0) = -2.0;
    const Bytes one = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
    const Bytes zero(8, 0);
    EXPECT_EQ(store([&](kvArchive& a) { a || d; }), cat({{0, 1, 8},
                                                         le32(0),
                                                         le32(0),
                                                         le32(1),
                                                         le32(1),
                                                         {1},
                                                         text("kv2XformLinear"),
                                                         {0},
                                                         one,
                                                         zero,
                                                         zero,
                                                         one,
                                                         zero,
                                                         zero,
                                                         {0, 0, 0, 0, 0, 0, 0, 0xC0}}));

    kv3PlanePelBuffer rgb;
    rgb.colorSpace(kvColorSpaceYUV);
    EXPECT_EQ(store([&](kvArchive& a) { a || rgb; }), cat({{0}, le32(3), {0, 0, 0, 0, 0, 0}}));
}

TEST(Archive, BuffersRoundTrip) {
    kvPelBuffer<unsigned char> u = ramp<unsigned char>(kvPelRect(-7, -3, 13, 5), 3);
    kvMatrix<2> m;
    m(0, 1) = 0.25;
    u.imageFromClientXformBase(kv2XformHandle(new kv2XformLinear(m, -1.5, 2.0)), true);
    kvPelBuffer<double> d = ramp<double>(kvPelRect(4, -9, 3, 2), -0.1);
    d.copyXforms(u);  // one transform object for both buffers
    kvPelBuffer<unsigned char> narrowed = ramp<unsigned char>(kvPelRect(0, 0, 20, 20), 1);
    narrowed.window(kvPelRect(3, 5, 4, 2), false);
    kvPelBuffer<unsigned char> unbound;
    kv3PlanePelBuffer rgb(ramp<unsigned char>(kvPelRect(-2, -2, 3, 3), 1),
                          ramp<unsigned char>(kvPelRect(-2, -2, 3, 3), 5),
                          ramp<unsigned char>(kvPelRect(-2, -2, 3, 3), 9), kvColorSpaceHSI);
    kv3PlanePelBuffer_const rgbView(kv3PlanePelBuffer(kvPelRect(1, 1, 2, 2)));

    const Bytes bytes =
        store([&](kvArchive& a) { a || u || d || narrowed || unbound || rgb || rgbView; });

    kvPelBuffer<unsigned char> u2, narrowed2;
    kvPelBuffer<unsigned char> unbound2(kvPelRect(0, 0, 2, 2));  // becomes unbound
    kvPelBuffer<double> d2;
    kv3PlanePelBuffer rgb2;
    kv3PlanePelBuffer_const rgbView2;
    load(bytes, [&](kvArchive& a) { a || u2 || d2 || narrowed2 || unbound2 || rgb2 || rgbView2; });

    EXPECT_EQ(u2.window(), u.window());
    EXPECT_TRUE(kfPelEqual(u2, u));
    EXPECT_EQ(d2.window(), d.window());
    EXPECT_TRUE(kfPelEqual(d2, d));
    EXPECT_EQ(narrowed2.window(), kvPelRect(3, 5, 4, 2));
    EXPECT_TRUE(kfPelEqual(narrowed2, narrowed));
    EXPECT_FALSE(unbound2.isBound());
    EXPECT_EQ(rgb2.colorSpace(), kvColorSpaceHSI);
    EXPECT_EQ(rgb2.window(), rgb.window());
    EXPECT_TRUE(kfPelEqual(rgb2.plane0(), rgb.plane0()));
    EXPECT_TRUE(kfPelEqual(rgb2.plane1(), rgb.plane1()));
    EXPECT_TRUE(kfPelEqual(rgb2.plane2(), rgb.plane2()));
    EXPECT_TRUE(rgbView2.isBound());
    EXPECT_EQ(rgbView2.window(), kvPelRect(1, 1, 2, 2));

    // The transform comes back, still shared by the two buffers that shared it.
    ASSERT_TRUE(u2.imageFromClientXformBase());
    EXPECT_TRUE(u2.imageFromClientXformBase()->isEqual(*u.imageFromClientXformBase().get()));
    EXPECT_EQ(u2.imageFromClientXformBase().get(), d2.imageFromClientXformBase().get());
    EXPECT_TRUE(narrowed2.imageFromClientXformBase()->isEqual(kv2XformLinear()));
}

TEST(Archive, PelTypeMustMatch) {
    kvPelBuffer<unsigned char> mask = ramp<unsigned char>(kvPelRect(0, 0, 4, 4), 1);
    kvPelBuffer<double> scores = ramp<double>(kvPelRect(0, 0, 4, 4), 1.0);
    kvPelBuffer<double> d(kvPelRect(0, 0, 1, 1));
    kvPelBuffer<unsigned char> u(kvPelRect(0, 0, 1, 1));
    EXPECT_THROW(load(store([&](kvArchive& a) { a || mask; }), [&](kvArchive& a) { a || d; }),
                 kvArchive::Corrupt);
    EXPECT_THROW(load(store([&](kvArchive& a) { a || scores; }), [&](kvArchive& a) { a || u; }),
                 kvArchive::Corrupt);
    EXPECT_EQ(d.window(), kvPelRect(0, 0, 1, 1));  // left as it was
}

TEST(Archive, InvalidImageRecordsAreRefused) {
    kv3PlanePelBuffer rgb;
    // Colour-space tag 7 is no known space.
    EXPECT_THROW(load(cat({{0}, le32(7), {0, 0, 0, 0, 0, 0}}), [&](kvArchive& a) { a || rgb; }),
                 kvArchive::Corrupt);
    // Planes over different windows.
    kvPelBuffer<unsigned char> p(kvPelRect(0, 0, 1, 1)), q(kvPelRect(0, 0, 2, 1));
    Bytes planes = store([&](kvArchive& a) { a || p || q || p; });
    EXPECT_THROW(load(cat({{0}, le32(1), planes}), [&](kvArchive& a) { a || rgb; }),
                 kvArchive::Corrupt);
    // A negative window size.
    kvPelBuffer<unsigned char> u;
    EXPECT_THROW(load(cat({{0, 1, 1}, le32(0), le32(0), le32(0xFFFFFFFFu), le32(1), {0}}),
                      [&](kvArchive& a) { a || u; }),
                 kvArchive::Corrupt);
    // A transform slot holding an object that is no transform.
    EXPECT_THROW(load(cat({{0, 1, 1},
                           le32(0),
                           le32(0),
                           le32(1),
                           le32(1),
                           {1},
                           text("ArchiveTestNode"),
                           {0},
                           le32(5),
                           {0},
                           {9}}),
                      [&](kvArchive& a) { a || u; }),
                 kvArchive::Corrupt);
    EXPECT_EQ(ArchiveTestNode::live, 0);
}

TEST(Archive, EveryTruncationThrows) {
    kvPelBuffer<unsigned char> u = ramp<unsigned char>(kvPelRect(-3, -1, 5, 3), 7);
    kvPelBuffer<double> d = ramp<double>(kvPelRect(2, 2, 2, 2), 0.5);
    d.copyXforms(u);
    kv3PlanePelBuffer rgb(kvPelRect(0, 0, 2, 1));
    ArchiveTestNode leaf, root;
    root.value = 3;
    root.child = &leaf;
    std::string s = "text";
    std::vector<unsigned char> v = {1, 2};
    long l = -5;
    double x = 0.1;
    bool flag = true;
    auto all = [&](kvArchive& a) {
        kvPersistent* p = &root;
        a || l || x || flag || s || v || u || d || rgb;
        kvPersistent::serializePointer(a, p);
    };
    const Bytes bytes = store(all);
    load(bytes, all);  // the whole stream loads
    EXPECT_EQ(s, "text");

    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        const Bytes part(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
        try {
            load(part, all);
            ADD_FAILURE() << "a stream cut at " << cut << " of " << bytes.size() << " loaded";
        } catch (const kvException&) {
        } catch (...) {
            ADD_FAILURE() << "a stream cut at " << cut << " threw a foreign exception";
        }
    }
    EXPECT_EQ(ArchiveTestNode::live, 2);  // only the two on the stack
}

TEST(Archive, HugeStoredSizesThrowBeforeAllocating) {
    kvPelBuffer<unsigned char> u;
    kvPelBuffer<double> d;
    std::string s;
    std::vector<unsigned char> v;
    kvPersistent* p = nullptr;
    const Bytes tail(10, 0);
    const Bytes header = cat({le32(0), le32(0), le32(60000), le32(60000), {0}});
    struct Case {
        Bytes bytes;
        std::function<void(kvArchive&)> read;
    };
    const Case cases[] = {
        {cat({{0, 1, 1}, header, tail}), [&](kvArchive& a) { a || u; }},
        {cat({{0, 1, 8}, header, tail}), [&](kvArchive& a) { a || d; }},
        {cat({{0, 1, 1}, le32(0), le32(0), le32(0x7FFFFFFF), le32(2), {0}, tail}),
         [&](kvArchive& a) { a || u; }},
        {cat({le32(0xFFFFFFFFu), tail}), [&](kvArchive& a) { a || s; }},
        {cat({le32(0x7FFFFFFFu), tail}), [&](kvArchive& a) { a || v; }},
        {cat({{1}, le32(0xFFFFFFF0u), tail}),
         [&](kvArchive& a) { kvPersistent::serializePointer(a, p); }},
    };
    for (const Case& c : cases) {
        gLargestAllocation = 0;
        EXPECT_THROW(load(c.bytes, c.read), kvArchive::Corrupt);
        EXPECT_LT(gLargestAllocation.load(), std::size_t{1} << 20);
    }
}

TEST(Archive, EmptyWindowsWithHugeSidesLoadAtOnce) {
    // No pels are stored for an empty window, however long its other side:
    // loading and storing it must not walk two billion rows.
    const auto start = std::chrono::steady_clock::now();
    kvPelBuffer<unsigned char> u;
    load(cat({{0, 1, 1}, le32(0), le32(0), le32(0), le32(0x7FFFFFFF), {0}}),
         [&](kvArchive& a) { a || u; });
    EXPECT_EQ(u.window(), kvPelRect(0, 0, 0, 0x7FFFFFFF));
    load(cat({{0, 1, 1}, le32(5), le32(0), le32(0x7FFFFFF0), le32(0), {0}}),
         [&](kvArchive& a) { a || u; });
    EXPECT_EQ(u.window(), kvPelRect(5, 0, 0x7FFFFFF0, 0));
    kvPelBuffer<double> tall(kvPelRect(-3, -0x7FFFFFFF, 0, 0x7FFFFFFF));
    tall.imageFromClientXformBase(kv2XformHandle(), true);
    const Bytes bytes = store([&](kvArchive& a) { a || tall; });
    EXPECT_EQ(bytes, cat({{0, 1, 8},
                          le32(static_cast<uint32_t>(-3)),
                          le32(0x80000001u),
                          le32(0),
                          le32(0x7FFFFFFF),
                          {0}}));
    kvPelBuffer<double> back;
    load(bytes, [&](kvArchive& a) { a || back; });
    EXPECT_EQ(back.window(), tall.window());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(Archive, PointerRecords) {
    ArchiveTestNode shared, top;
    shared.value = 11;
    top.value = 22;
    top.child = &shared;
    kvPersistent* null = nullptr;
    kvPersistent* a = &shared;
    kvPersistent* b = &top;
    const Bytes bytes = store([&](kvArchive& ar) {
        kvPersistent::serializePointer(ar, null);
        kvPersistent::serializePointer(ar, a);
        kvPersistent::serializePointer(ar, b);
        kvPersistent::serializePointer(ar, a);
    });
    // null; shared in full; top in full referring back to shared; shared again.
    EXPECT_EQ(bytes, cat({{0},
                          {1},
                          text("ArchiveTestNode"),
                          {0},
                          le32(11),
                          {0},
                          {1},
                          text("ArchiveTestNode"),
                          {0},
                          le32(22),
                          {2},
                          le32(0),
                          {2},
                          le32(0)}));

    kvPersistent* n2 = &top;
    kvPersistent *a2 = nullptr, *b2 = nullptr, *a3 = nullptr;
    load(bytes, [&](kvArchive& ar) {
        kvPersistent::serializePointer(ar, n2);
        kvPersistent::serializePointer(ar, a2);
        kvPersistent::serializePointer(ar, b2);
        kvPersistent::serializePointer(ar, a3);
        EXPECT_EQ(n2, nullptr);
        ASSERT_NE(a2, nullptr);
        EXPECT_EQ(a2, a3);  // one object, referenced twice
        auto* loadedTop = dynamic_cast<ArchiveTestNode*>(b2);
        ASSERT_NE(loadedTop, nullptr);
        EXPECT_EQ(loadedTop->value, 22);
        EXPECT_EQ(loadedTop->child, a2);
        EXPECT_EQ(static_cast<ArchiveTestNode*>(a2)->value, 11);
        EXPECT_EQ(ArchiveTestNode::live, 4);
    });
    EXPECT_EQ(ArchiveTestNode::live, 2);  // the archive let go of what it loaded

    kvPersistent* p = nullptr;
    auto readPointer = [&](kvArchive& ar) { kvPersistent::serializePointer(ar, p); };
    EXPECT_THROW(load(cat({{1}, text("NoSuchClass"), {0}}), readPointer), kvArchive::Corrupt);
    EXPECT_THROW(load({3}, readPointer), kvArchive::Corrupt);
    EXPECT_THROW(load(cat({{2}, le32(0)}), readPointer), kvArchive::Corrupt);
    EXPECT_EQ(ArchiveTestNode::live, 2);
}

TEST(Archive, NestedAndCyclicPointerRecords) {
    // A chain of 20 round trips; an object pointing at itself stays one object.
    std::vector<ArchiveTestNode> chain(20);
    for (std::size_t i = 0; i < chain.size(); ++i) {
        chain[i].value = static_cast<int32_t>(i);
        chain[i].child = i + 1 < chain.size() ? &chain[i + 1] : nullptr;
    }
    ArchiveTestNode self;
    self.child = &self;
    kvPersistent* head = &chain[0];
    kvPersistent* loop = &self;
    const Bytes bytes = store([&](kvArchive& ar) {
        kvPersistent::serializePointer(ar, head);
        kvPersistent::serializePointer(ar, loop);
    });
    load(bytes, [&](kvArchive& ar) {
        kvPersistent *h = nullptr, *s = nullptr;
        kvPersistent::serializePointer(ar, h);
        kvPersistent::serializePointer(ar, s);
        int n = 0;
        for (auto* node = dynamic_cast<ArchiveTestNode*>(h); node;
             node = dynamic_cast<ArchiveTestNode*>(node->child), ++n)
            EXPECT_EQ(node->value, n);
        EXPECT_EQ(n, 20);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(static_cast<ArchiveTestNode*>(s)->child, s);
    });

    // Hostile nesting is refused instead of exhausting the stack.
    Bytes deep;
    const Bytes link = cat({{1}, text("ArchiveTestNode"), {0}, le32(0)});
    for (int i = 0; i < 10000; ++i) deep.insert(deep.end(), link.begin(), link.end());
    deep.push_back(0);
    kvPersistent* p = nullptr;
    EXPECT_THROW(load(deep, [&](kvArchive& ar) { kvPersistent::serializePointer(ar, p); }),
                 kvArchive::Corrupt);
    EXPECT_EQ(ArchiveTestNode::live, 21);
}
