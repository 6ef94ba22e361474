// Regions against a plain flood fill written here, on pictures made to be
// hard: many small components, spirals, frames on every border, 1-pixel
// lines, rings inside rings; and bands and threads against the whole image.
#include "clsg/regions/regions.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "clsg/colorseg/errors.h"
#include "clsg/platform/attention.h"
#include "clsg/platform/exception.h"
#include "clsg/regions/region_internal.h"
#include "few_threads.h"

namespace {

using clsg::Region;
using clsg::RegionOptions;

struct Picture {
    std::string name;
    long w, h;
    std::vector<unsigned char> px;
    unsigned char& at(long x, long y) { return px[static_cast<std::size_t>(y * w + x)]; }
    unsigned char at(long x, long y) const { return px[static_cast<std::size_t>(y * w + x)]; }
};

kvPelBuffer<unsigned char> buffer(const Picture& p, long left = 0, long top = 0) {
    kvPelBuffer<unsigned char> b(kvPelRect(left, top, p.w, p.h));
    for (long y = 0; y < p.h; ++y) std::memcpy(b.pointToRow(top + y), &p.px[y * p.w], p.w);
    return b;
}

Picture fromBuffer(const kvPelBuffer<unsigned char>& b) {
    Picture p{"", b.width(), b.height(), {}};
    for (long y = b.window().top(); y < b.window().bottom(); ++y)
        p.px.insert(p.px.end(), b.pointToRow(y), b.pointToRow(y) + b.width());
    return p;
}

// --- The reference: flood fill from each unvisited pixel in row order. ---

// Component number per pixel (-1 where member() is false) and their count.
template <class Member>
std::vector<long> floodFill(const Picture& p, int connectivity, Member member, long& count) {
    std::vector<long> comp(p.px.size(), -1);
    count = 0;
    std::vector<long> stack;
    for (long start = 0; start < static_cast<long>(p.px.size()); ++start) {
        if (comp[start] >= 0 || !member(start)) continue;
        const unsigned char v = p.px[start];
        comp[start] = count;
        stack.push_back(start);
        while (!stack.empty()) {
            const long i = stack.back();
            stack.pop_back();
            const long x = i % p.w, y = i / p.w;
            for (long dy = -1; dy <= 1; ++dy)
                for (long dx = -1; dx <= 1; ++dx) {
                    if ((dx == 0 && dy == 0) || (connectivity == 4 && dx != 0 && dy != 0)) continue;
                    const long nx = x + dx, ny = y + dy;
                    if (nx < 0 || ny < 0 || nx >= p.w || ny >= p.h) continue;
                    const long n = ny * p.w + nx;
                    if (comp[n] < 0 && member(n) && (p.px[n] == v || !member.sameValue)) {
                        comp[n] = count;
                        stack.push_back(n);
                    }
                }
        }
        ++count;
    }
    return comp;
}

struct SameLabel {
    const Picture& p;
    bool sameValue = true;
    bool operator()(long i) const { return p.px[i] != 255; }
};

std::vector<Region> referenceTable(const Picture& p, const Picture* conf, int connectivity,
                                   long left, long top, uint64_t minArea) {
    long count = 0;
    const std::vector<long> comp = floodFill(p, connectivity, SameLabel{p}, count);
    struct Acc {
        Region r;
        long seed = -1, minX = 0, maxX = 0, minY = 0, maxY = 0;
        int64_t sx = 0, sy = 0, sc = 0;
    };
    std::vector<Acc> acc(count);
    for (long i = 0; i < static_cast<long>(p.px.size()); ++i) {
        if (comp[i] < 0) continue;
        Acc& a = acc[comp[i]];
        const long x = left + i % p.w, y = top + i / p.w;
        if (a.seed < 0) a = {Region{}, i, x, x, y, y, 0, 0, 0};
        a.r.label = p.px[i];
        ++a.r.area;
        a.minX = std::min(a.minX, x), a.maxX = std::max(a.maxX, x);
        a.minY = std::min(a.minY, y), a.maxY = std::max(a.maxY, y);
        a.sx += x, a.sy += y, a.sc += conf ? conf->px[i] : 0;
    }
    std::vector<Acc> kept;
    for (Acc& a : acc) {
        if (a.r.area < minArea) continue;
        a.r.left = a.minX, a.r.top = a.minY;
        a.r.width = a.maxX - a.minX + 1, a.r.height = a.maxY - a.minY + 1;
        a.r.centroidX = static_cast<double>(a.sx) / static_cast<double>(a.r.area);
        a.r.centroidY = static_cast<double>(a.sy) / static_cast<double>(a.r.area);
        a.r.meanConfidence =
            conf ? static_cast<double>(a.sc) / static_cast<double>(a.r.area) : std::nan("");
        a.r.touchesBorder =
            a.minX == left || a.minY == top || a.maxX == left + p.w - 1 || a.maxY == top + p.h - 1;
        kept.push_back(a);
    }
    std::sort(kept.begin(), kept.end(), [](const Acc& a, const Acc& b) {
        return std::make_tuple(a.r.label, a.r.top, a.r.left, a.seed) <
               std::make_tuple(b.r.label, b.r.top, b.r.left, b.seed);
    });
    std::vector<Region> table;
    for (const Acc& a : kept) {
        table.push_back(a.r);
        table.back().id = table.size() > 1 && table[table.size() - 2].label == a.r.label
                              ? table[table.size() - 2].id + 1
                              : 1;
    }
    return table;
}

void dropSmall(Picture& p, int connectivity, uint64_t minArea) {
    long count = 0;
    const std::vector<long> comp = floodFill(p, connectivity, SameLabel{p}, count);
    std::vector<uint64_t> area(count, 0);
    for (long c : comp)
        if (c >= 0) ++area[c];
    for (std::size_t i = 0; i < p.px.size(); ++i)
        if (comp[i] >= 0 && area[comp[i]] < minArea) p.px[i] = 255;
}

// One round of hole filling: each label in turn, on what the ones before
// left, gives its regions' holes (the sets of pixels outside a region,
// connected the other way, that stay off the border, whatever their labels)
// of at most fillHoles pixels.
bool fillOnce(Picture& p, int connectivity, uint64_t fillHoles,
              const std::set<unsigned char>& present) {
    bool any = false;
    for (const unsigned char label : present) {
        if (label == 255) continue;
        long regions = 0;
        const std::vector<long> region = floodFill(p, connectivity, SameLabel{p}, regions);
        // Each region's box and one pixel around it (clipped to the image):
        // pixels outside it that reach the box's edge are no hole.
        std::vector<std::array<long, 4>> box(regions, {p.w, p.h, -1, -1});
        for (long i = 0; i < static_cast<long>(p.px.size()); ++i)
            if (region[i] >= 0) {
                auto& b = box[region[i]];
                b = {std::min(b[0], i % p.w - 1), std::min(b[1], i / p.w - 1),
                     std::max(b[2], i % p.w + 2), std::max(b[3], i / p.w + 2)};
            }
        Picture out = p;
        for (long r = 0; r < regions; ++r) {
            const long x0 = std::max(0L, box[r][0]), y0 = std::max(0L, box[r][1]);
            const long x1 = std::min(p.w, box[r][2]), y1 = std::min(p.h, box[r][3]);
            Picture window{"", x1 - x0, y1 - y0, {}};
            std::vector<long> in;  // the window's pixels in p
            for (long y = y0; y < y1; ++y)
                for (long x = x0; x < x1; ++x) in.push_back(y * p.w + x);
            for (long i : in) window.px.push_back(p.px[i]);
            if (p.px[in[std::find_if(in.begin(), in.end(), [&](long i) { return region[i] == r; }) -
                        in.begin()]] != label)
                continue;
            struct Outside {
                const std::vector<long>& region;
                const std::vector<long>& in;
                long r;
                bool sameValue = false;
                bool operator()(long i) const { return region[in[i]] != r; }
            };
            long holes = 0;
            const std::vector<long> hole =
                floodFill(window, connectivity == 8 ? 4 : 8, Outside{region, in, r}, holes);
            std::vector<uint64_t> area(holes, 0);
            std::vector<bool> border(holes, false);
            for (long i = 0; i < static_cast<long>(in.size()); ++i) {
                if (hole[i] < 0) continue;
                ++area[hole[i]];
                const long x = i % window.w, y = i / window.w;
                if (x == 0 || y == 0 || x == window.w - 1 || y == window.h - 1)
                    border[hole[i]] = true;
            }
            for (long i = 0; i < static_cast<long>(in.size()); ++i)
                if (hole[i] >= 0 && !border[hole[i]] && area[hole[i]] <= fillHoles &&
                    p.px[in[i]] != label)
                    out.px[in[i]] = label, any = true;
        }
        p = out;
    }
    return any;
}

// Small regions become 255; then rounds of hole filling while one fills any;
// regions left below the minimum go as well.
Picture referenceClean(Picture p, int connectivity, uint64_t minArea, uint64_t fillHoles) {
    dropSmall(p, connectivity, minArea);
    if (fillHoles == 0) return p;
    const std::set<unsigned char> present(p.px.begin(), p.px.end());
    while (fillOnce(p, connectivity, fillHoles, present)) {
    }
    dropSmall(p, connectivity, minArea);
    return p;
}

// --- Pictures. ---

std::vector<Picture> pictures() {
    std::vector<Picture> out;
    std::mt19937 rng(24);
    auto blank = [](std::string name, long w, long h, unsigned char v) {
        return Picture{std::move(name), w, h, std::vector<unsigned char>(w * h, v)};
    };
    // Many small components: every pixel drawn from a few labels and 255.
    for (auto [w, h] : {std::pair<long, long>{157, 83}, {1, 1}, {1, 40}, {40, 1}, {9, 7}}) {
        Picture p = blank("noise " + std::to_string(w) + "x" + std::to_string(h), w, h, 0);
        for (auto& v : p.px) v = static_cast<unsigned char>(rng() % 4 == 3 ? 255 : rng() % 3);
        out.push_back(p);
    }
    // Blobs: rectangles of random labels over each other, some 255.
    {
        Picture p = blank("blobs", 120, 90, 255);
        for (int k = 0; k < 60; ++k) {
            const long x = rng() % 120, y = rng() % 90, w = 1 + rng() % 30, h = 1 + rng() % 20;
            const auto v = static_cast<unsigned char>(rng() % 5 == 4 ? 255 : rng() % 4);
            for (long yy = y; yy < std::min(90L, y + h); ++yy)
                for (long xx = x; xx < std::min(120L, x + w); ++xx) p.at(xx, yy) = v;
        }
        out.push_back(p);
    }
    // A square spiral of label 1 on 0, one pixel wide, gaps of one pixel.
    {
        Picture p = blank("spiral", 41, 41, 0);
        long x = 0, y = 0, dx = 1, dy = 0, len = 40;
        for (int leg = 0; len > 0; ++leg) {
            for (long i = 0; i < len; ++i, x += dx, y += dy) p.at(x, y) = 1;
            std::swap(dx, dy);
            dx = -dx;
            if (leg % 2 == 1) len -= 2;
        }
        out.push_back(p);
    }
    // A frame on every border around 1-pixel lines: diagonals (one region
    // with 8-connectivity, single pixels with 4) and a crossing.
    {
        Picture p = blank("frame and lines", 50, 30, 255);
        for (long x = 0; x < 50; ++x) p.at(x, 0) = p.at(x, 29) = 2;
        for (long y = 0; y < 30; ++y) p.at(0, y) = p.at(49, y) = 2;
        for (long i = 2; i < 28; ++i) p.at(i, i) = 3, p.at(40 - i, i) = 3, p.at(45, i) = 1;
        out.push_back(p);
    }
    // Rings inside rings of different labels and widths: holes inside holes,
    // some with a speck in the middle.
    {
        Picture p = blank("rings", 64, 48, 3);
        const unsigned char labels[] = {0, 1, 255, 2, 0, 1, 2, 255};
        for (int k = 0; k < 8; ++k)
            for (long y = 2 + 3 * k; y < 46 - 3 * k; ++y)
                for (long x = 2 + 3 * k + k % 2; x < 62 - 3 * k; ++x) p.at(x, y) = labels[k];
        p.at(31, 23) = 0;
        p.at(10, 10) = 1;
        out.push_back(p);
    }
    return out;
}

Picture confidenceFor(const Picture& p) {
    Picture c = p;
    for (std::size_t i = 0; i < c.px.size(); ++i)
        c.px[i] = static_cast<unsigned char>(i * 37 % 256);
    return c;
}

// --- Tests. ---

TEST(Regions, TablesMatchFloodFill) {
    for (const Picture& p : pictures())
        for (int connectivity : {4, 8})
            for (bool withConfidence : {false, true})
                for (uint64_t minArea : {0, 3}) {
                    SCOPED_TRACE(p.name + " connectivity " + std::to_string(connectivity) +
                                 (withConfidence ? " confidence" : "") + " minArea " +
                                 std::to_string(minArea));
                    const Picture conf = confidenceFor(p);
                    RegionOptions options;
                    options.connectivity = connectivity;
                    options.minArea = minArea;
                    // A window away from the origin: coordinates are absolute.
                    const auto table = clsg::findRegions(
                        buffer(p, 7, -3),
                        withConfidence ? buffer(conf, 7, -3) : kvPelBuffer<unsigned char>(),
                        options);
                    EXPECT_EQ(table, referenceTable(p, withConfidence ? &conf : nullptr,
                                                    connectivity, 7, -3, minArea));
                }
}

TEST(Regions, BandsAndThreadsGiveTheWholeImagesTable) {
    std::mt19937 rng(7);
    for (const Picture& p : pictures()) {
        if (p.px.size() < 100) continue;
        for (int connectivity : {4, 8}) {
            SCOPED_TRACE(p.name + " connectivity " + std::to_string(connectivity));
            const Picture conf = confidenceFor(p);
            RegionOptions options;
            options.connectivity = connectivity;
            const auto whole = referenceTable(p, &conf, connectivity, 0, 0, 0);
            for (long rows = 1; rows <= p.h; ++rows) {
                options.bandRows = rows;
                options.threads = 1 + rows % 4;
                ASSERT_EQ(clsg::findRegions(buffer(p), buffer(conf), options), whole)
                    << rows << " rows per band";
                // Band by band through the builder, all bands of one height.
                clsg::RegionBuilder builder(kvPelRect(0, 0, p.w, p.h), true, options);
                for (long y = 0; y < p.h; y += rows) {
                    const long n = std::min(rows, p.h - y);
                    builder.addRows(&p.px[y * p.w], p.w, &conf.px[y * p.w], p.w, n);
                }
                ASSERT_EQ(builder.finish(), whole) << rows << " rows per band";
            }
            // Bands taller than the image are the image: no overflow, as one band.
            for (long rows : {p.h + 1, LONG_MAX - 1, LONG_MAX}) {
                options.bandRows = rows;
                ASSERT_EQ(clsg::findRegions(buffer(p), buffer(conf), options), whole) << rows;
                EXPECT_NO_THROW(clsg::cleanRegions(buffer(p), buffer(conf), options)) << rows;
            }
            // Bands of random heights, as buffers.
            for (int trial = 0; trial < 5; ++trial) {
                clsg::RegionBuilder builder(kvPelRect(0, 0, p.w, p.h), true, options);
                const kvPelBuffer<unsigned char> labels = buffer(p), confidence = buffer(conf);
                for (long y = 0; y < p.h;) {
                    const long n = std::min<long>(1 + rng() % 9, p.h - y);
                    kvPelBuffer<unsigned char> band = labels, confBand = confidence;
                    band.window(kvPelRect(0, y, p.w, n), false);
                    confBand.window(kvPelRect(0, y, p.w, n), false);
                    builder.addBand(band, confBand);
                    y += n;
                }
                EXPECT_EQ(builder.finish(), whole);
            }
        }
    }
}

TEST(Regions, CleaningMatchesReference) {
    const std::pair<uint64_t, uint64_t> settings[] = {{0, 0},  {3, 0},      {0, 1},   {0, 6},
                                                      {4, 20}, {0, 100000}, {30, 400}};
    for (const Picture& p : pictures())
        for (int connectivity : {4, 8})
            for (auto [minArea, fillHoles] : settings) {
                SCOPED_TRACE(p.name + " connectivity " + std::to_string(connectivity) +
                             " minArea " + std::to_string(minArea) + " fillHoles " +
                             std::to_string(fillHoles));
                const Picture conf = confidenceFor(p);
                RegionOptions options;
                options.connectivity = connectivity;
                options.minArea = minArea;
                options.fillHoles = fillHoles;
                options.bandRows = 5;
                options.threads = 3;
                const auto cleaned = clsg::cleanRegions(buffer(p), buffer(conf), options, true);
                const Picture expected = referenceClean(p, connectivity, minArea, fillHoles);
                const Picture got = fromBuffer(cleaned.labels);
                ASSERT_EQ(got.px, expected.px);
                ASSERT_EQ(cleaned.regions, referenceTable(expected, &conf, connectivity, 0, 0, 0));
                // The index image points every labelled pixel at its row.
                std::vector<uint64_t> area(cleaned.regions.size(), 0);
                for (long y = 0; y < p.h; ++y)
                    for (long x = 0; x < p.w; ++x) {
                        const uint32_t i = cleaned.regionIndex.pointToRow(y)[x];
                        ASSERT_EQ(i == 0, got.at(x, y) == 255);
                        if (i == 0) continue;
                        ASSERT_EQ(cleaned.regions[i - 1].label, got.at(x, y));
                        ++area[i - 1];
                    }
                for (std::size_t i = 0; i < area.size(); ++i)
                    EXPECT_EQ(area[i], cleaned.regions[i].area);
            }
}

// Drawn by hand, so that the reference and the product cannot share a
// mistake: a ring of A holding a ring of B holding a speck of C.
TEST(Regions, HolesInsideHolesFillFromTheOutsideIn) {
    const char* rows[] = {
        "AAAAAAA",  //
        "ABBBBBA",  //
        "ABBCBBA",  //
        "ABBBBBA",  //
        "AAAAAAA",
    };
    Picture p{"", 7, 5, {}};
    for (const char* r : rows)
        for (const char* c = r; *c; ++c) p.px.push_back(static_cast<unsigned char>(*c - 'A'));
    struct Case {
        uint64_t fillHoles;
        int connectivity;
        const char* middleRow;  // row 2 afterwards
        std::size_t regions;
        uint64_t areaOfA;
    } cases[] = {
        {0, 8, "ABBCBBA", 3, 20},  {1, 8, "ABBBBBA", 2, 20},  // C is B's hole
        {14, 8, "ABBBBBA", 2, 20},  // B and its hole (15 pixels) are too big for A
        {15, 8, "AAAAAAA", 1, 35},  // A's hole: everything inside
        {15, 4, "AAAAAAA", 1, 35},
    };
    for (const Case& c : cases) {
        RegionOptions options;
        options.fillHoles = c.fillHoles;
        options.connectivity = c.connectivity;
        const auto cleaned = clsg::cleanRegions(buffer(p), {}, options);
        std::string middle;
        for (long x = 0; x < 7; ++x)
            middle += static_cast<char>('A' + cleaned.labels.pointToRow(2)[x]);
        EXPECT_EQ(middle, c.middleRow) << c.fillHoles;
        EXPECT_EQ(cleaned.regions.size(), c.regions) << c.fillHoles;
        EXPECT_EQ(cleaned.regions[0].area, c.areaOfA) << c.fillHoles;
    }
}

// A ring of B around an island of A inside a ring of A: the island is B's
// hole, and once it is filled, B's block is A's; whichever label is lower,
// the outermost ends up holding all.
TEST(Regions, AHoleLeftByFillingIsFilledInTurn) {
    const char* rows[] = {"AAAAAAA", "ABBBBBA", "ABBABBA", "ABBBBBA", "AAAAAAA"};
    for (bool swapped : {false, true}) {
        Picture p{"", 7, 5, {}};
        for (const char* r : rows)
            for (const char* c = r; *c; ++c)
                p.px.push_back(static_cast<unsigned char>((*c == 'A') != swapped));
        RegionOptions options;
        options.fillHoles = 100;
        const auto cleaned = clsg::cleanRegions(buffer(p), {}, options);
        EXPECT_EQ(fromBuffer(cleaned.labels).px, std::vector<unsigned char>(35, swapped ? 0 : 1))
            << swapped;
        ASSERT_EQ(cleaned.regions.size(), 1u) << swapped;
        EXPECT_EQ(cleaned.regions[0].area, 35u) << swapped;
    }
}

// A ring around unlabelled pixels and a speck in the middle: the speck and
// the pixels around it are the ring's hole whether the speck is of the
// ring's label or another's.
TEST(Regions, ASpeckInAHoleIsPartOfIt) {
    const char* rows[] = {"AAAAAAA", "A.....A", "A..S..A", "A.....A", "AAAAAAA"};
    for (const unsigned char speck : {0, 1})
        for (int connectivity : {4, 8}) {
            Picture p{"", 7, 5, {}};
            for (const char* r : rows)
                for (const char* c = r; *c; ++c)
                    p.px.push_back(*c == 'A' ? 0 : *c == 'S' ? speck : 255);
            RegionOptions options;
            options.fillHoles = 15;
            options.connectivity = connectivity;
            const auto cleaned = clsg::cleanRegions(buffer(p), {}, options);
            EXPECT_EQ(fromBuffer(cleaned.labels).px, std::vector<unsigned char>(35, 0))
                << int{speck} << " " << connectivity;
            ASSERT_EQ(cleaned.regions.size(), 1u) << int{speck} << " " << connectivity;
            EXPECT_EQ(cleaned.regions[0].area, 35u);
            options.fillHoles = 14;  // too big a hole: the speck stays on its own
            EXPECT_EQ(clsg::cleanRegions(buffer(p), {}, options).regions.size(), 2u);
        }
}

// A checkerboard's squares of either colour are the other's holes, joined at
// their corners: the first label fills first and takes all but the border.
TEST(Regions, LabelsThatEncloseEachOtherFillInTheToolsOrder) {
    for (bool swapped : {false, true}) {
        Picture p{"", 5, 5, {}};
        for (long y = 0; y < 5; ++y)
            for (long x = 0; x < 5; ++x)
                p.px.push_back(static_cast<unsigned char>(((x + y) % 2 == 1) != swapped));
        RegionOptions options;
        options.fillHoles = 1;
        const Picture got = fromBuffer(clsg::cleanRegions(buffer(p), {}, options).labels);
        for (long y = 0; y < 5; ++y)
            for (long x = 0; x < 5; ++x) {
                const bool border = x == 0 || y == 0 || x == 4 || y == 4;
                EXPECT_EQ(got.at(x, y), border ? p.at(x, y) : 0) << x << "," << y << " " << swapped;
            }
    }
}

TEST(Regions, CountsPerLabel) {
    Picture p{"", 5, 1, {0, 1, 0, 255, 7}};
    const auto table = clsg::findRegions(buffer(p));
    EXPECT_EQ(clsg::regionCounts(table, 3), (std::vector<uint64_t>{2, 1, 0}));
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(table[1].id, 2u);  // the second region of label 0
    EXPECT_EQ(table[1].left, 2);
}

TEST(Regions, RefusesBadInput) {
    using Defs = kvCompositeColorSegmenterDefs;
    const Picture p{"", 4, 3, std::vector<unsigned char>(12, 0)};
    const kvPelBuffer<unsigned char> labels = buffer(p), shifted = buffer(p, 1, 0);
    RegionOptions six;
    six.connectivity = 6;
    RegionOptions holes;
    holes.fillHoles = 3;
    EXPECT_THROW(clsg::findRegions(kvPelBuffer<unsigned char>()), Defs::BadImage);
    EXPECT_THROW(clsg::findRegions(labels, shifted), Defs::BadImage);
    EXPECT_THROW(clsg::findRegions(labels, {}, six), Defs::BadParams);
    EXPECT_THROW(clsg::cleanRegions(labels, {}, six), Defs::BadParams);
    EXPECT_THROW(clsg::findRegions(labels, {}, holes), Defs::BadParams);
    EXPECT_THROW(clsg::RegionBuilder(kvPelRect(0, 0, 4, 3), false, holes), Defs::BadParams);
    // A builder's window keeps to the coordinates every image buffer keeps to.
    EXPECT_THROW(clsg::RegionBuilder(kvPelRect(1L << 40, 0, 4, 1), false), Defs::BadImage);
    EXPECT_THROW(clsg::RegionBuilder(kvPelRect(0, INT32_MAX - 3, 4, 4), false), Defs::BadImage);
    EXPECT_NO_THROW(clsg::RegionBuilder(kvPelRect(INT32_MAX - 4, -INT32_MAX, 4, 4), false));

    clsg::RegionBuilder builder(kvPelRect(0, 0, 4, 3), false);
    kvPelBuffer<unsigned char> band = labels;
    band.window(kvPelRect(0, 1, 4, 2), false);
    EXPECT_THROW(builder.addBand(band), Defs::BadParams);           // does not start at row 0
    EXPECT_THROW(builder.addBand(labels, labels), Defs::BadImage);  // unexpected confidence
    EXPECT_THROW(builder.addRows(p.px.data(), 4, nullptr, 0, 4), Defs::BadParams);
    builder.addRows(p.px.data(), 4, nullptr, 0, 1);
    EXPECT_THROW(builder.finish(), Defs::BadParams);  // rows missing
    EXPECT_NO_THROW(builder.addBand(band));
    EXPECT_EQ(builder.finish().size(), 1u);
    clsg::RegionBuilder taken(std::move(builder));  // a builder moved from refuses, not crashes
    EXPECT_THROW(builder.rowsDone(), Defs::BadParams);
    EXPECT_THROW(builder.finish(), Defs::BadParams);
    EXPECT_THROW(builder.addBand(band), Defs::BadParams);
    builder = std::move(taken);
    for (auto late : {std::function<void()>([&] { builder.finish(); }),
                      std::function<void()>([&] { builder.addBand(band); })}) {
        try {
            late();
            ADD_FAILURE() << "a finished builder took more";
        } catch (const Defs::BadParams& e) {
            EXPECT_EQ(e.message(), "the builder has finished");
        }
    }
}

// An abort (Ctrl-C in the programs and in Python) stops a call: it threw
// only once the whole image was done, half a second with holes to fill.
TEST(Regions, AnAbortStopsTheCall) {
    const Picture p{"", 64, 48, std::vector<unsigned char>(64 * 48, 1)};
    RegionOptions holes;
    holes.fillHoles = 3;
    ksys_request_abort();
    EXPECT_THROW(clsg::findRegions(buffer(p)), kvAbortRequested);
    EXPECT_THROW(clsg::cleanRegions(buffer(p), {}, holes), kvAbortRequested);
    ksys_clear_abort();
    EXPECT_EQ(clsg::cleanRegions(buffer(p), {}, holes).regions.size(), 1u);
}

// A thread that cannot be started leaves its bands to the caller's thread: the
// process aborted (running threads destroyed with the vector that held them).
TEST(Regions, BandsWithoutAThreadOfTheirOwnRunOnTheCallersThread) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit leaves";
#endif
    std::mt19937 rng(3);
    Picture p{"", 7, 600, std::vector<unsigned char>(7 * 600)};
    for (unsigned char& v : p.px) v = static_cast<unsigned char>(rng() % 3);
    const std::vector<Region> whole = clsg::findRegions(buffer(p));
    RegionOptions many;
    many.threads = 600;  // a band of one row each, far more threads than the limit allows
    many.bandRows = 1;
    for (int spare : {0, 3})
        EXPECT_EQ(withFewThreads(spare,
                                 [&] {
                                     return clsg::findRegions(buffer(p), {}, many) == whole &&
                                            clsg::cleanRegions(buffer(p), {}, many).regions ==
                                                whole;
                                 }),
                  0)
            << spare;
}

// Runs are compared in 64 bits: a run may end at x 2^31 - 1 (an image that
// wide is allowed), where x1 + 1 in 32 bits would wrap.
TEST(Regions, RunsAtTheWidestImagesEdgeStillTouch) {
    using clsg::regions_detail::Run;
    const int32_t last = INT32_MAX;
    const std::vector<Run> above = {{0, 5, 0, 1}, {last - 3, last, 1, 1}};
    const std::vector<Run> below = {{last - 1, last, 2, 1}};
    std::vector<uint32_t> touched;
    for (int32_t reach : {0, 1}) {
        clsg::regions_detail::forTouchingRuns(
            above, below, reach, [&](const Run& a, const Run&) { touched.push_back(a.id); });
    }
    EXPECT_EQ(touched, (std::vector<uint32_t>{1, 1}));
}

}  // namespace
