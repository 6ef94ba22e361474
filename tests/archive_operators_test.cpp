// Archive operators of the public classes: round trips, versions, records
// refused at load, and loads that fail leaving their target untouched.
#include "clsg/colorseg/archive_operators.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>

#include "clsg/clrsgint/color_model.h"
#include "clsg/clrsgint/internal_result.h"
#include "clsg/clrsgint/internal_result_archive.h"
#include "clsg/colorseg/errors.h"
#include "platform/pel_archive.h"
#include "test_images.h"

namespace {

using Defs = kvCompositeColorSegmenterDefs;
using Tool = kvCompositeColorSegmenterTool;
using Result = kvCompositeColorSegmenterResult;
using Internal = kvCompositeColorSegmenterInternalResult;
using TrainParams = kvCompositeColorSegmenterTrainParams;
using RunParams = kvCompositeColorSegmenterRunParams;

template <class T>
std::string store(T& value) {
    std::ostringstream out;
    kvArchive archive(out);
    archive || value;
    return out.str();
}

template <class T>
void load(const std::string& bytes, T& value) {
    std::istringstream in(bytes);
    kvArchive archive(in);
    archive || value;
}

// Little-endian pieces for hand-made records.
struct Bytes {
    std::string s;
    Bytes& u8(unsigned v) {
        s.push_back(static_cast<char>(v));
        return *this;
    }
    Bytes& u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
        return *this;
    }
    Bytes& f64(double d) {
        uint64_t u;
        std::memcpy(&u, &d, 8);
        for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>(u >> (8 * i)));
        return *this;
    }
    Bytes& raw(const std::string& r) {
        s += r;
        return *this;
    }
};

std::string imageRecord(kv3PlanePelBuffer image) { return store(image); }
std::string maskRecord(kvPelBuffer<unsigned char> mask) {
    return store(static_cast<kv_PelBuffer&>(mask));
}

kvPelBuffer<unsigned char> fill(const kvPelRect& w, unsigned char v) {
    kvPelBuffer<unsigned char> m(w);
    kfPelSet(m, v);
    return m;
}

// Three images: a masked one, one with an unbound mask, and one at negative
// coordinates whose mask reaches beyond it (with junk outside the overlap).
kvCompositeColor richExample() {
    kvCompositeColor e;
    e.add(noisyImage(kvPelRect(0, 0, 5, 4), 1),
          makeMask(kvPelRect(0, 0, 5, 4), [](long x, long y) { return (x + y) % 2 == 0; }));
    e.add(uniformImage(kvPelRect(2, 3, 3, 2), {10, 200, 30}), noMask());
    kvPelBuffer<unsigned char> wide =
        makeMask(kvPelRect(-5, -4, 6, 5), [](long, long) { return true; });
    wide.pointToPel(-5, -4)[0] = 77;  // outside the image: never looked at
    e.add(noisyImage(kvPelRect(-3, -2, 4, 3), 2), wide);
    return e;
}

std::vector<kvCompositeColorSet> twoLabels() {
    kvCompositeColor red(uniformImage(kvPelRect(0, 0, 3, 3), {220, 30, 20}), noMask());
    kvCompositeColor green(uniformImage(kvPelRect(0, 0, 2, 2), {20, 200, 40}), noMask());
    kvCompositeColor reddish(noisyImage(kvPelRect(1, 1, 3, 2), 7),
                             makeMask(kvPelRect(1, 1, 3, 2), [](long x, long) { return x < 3; }));
    return {kvCompositeColorSet({red, reddish}), kvCompositeColorSet({green})};
}

Tool trainedTool() {
    Tool tool;
    tool.train(twoLabels(), TrainParams(1.0, 3));
    return tool;
}

kv3PlanePelBuffer runImage() { return noisyImage(kvPelRect(-2, 1, 7, 5), 11); }

Result runResult(const Tool& tool, long n = 3) {
    Result r;
    tool.run(runImage(), RunParams(n, false), r);
    return r;
}

Internal& internalOf(const Result& r) { return *static_cast<Internal*>(r.result()); }

void expectSameImage(const kvPelBuffer_const<unsigned char>& a,
                     const kvPelBuffer_const<unsigned char>& b) {
    ASSERT_EQ(a.isBound(), b.isBound());
    if (!a.isBound()) return;
    EXPECT_EQ(a.window(), b.window());
    EXPECT_TRUE(kfPelEqual(a, b));
}

void expectSameDerivedImages(const Result& a, const Result& b) {
    expectSameImage(a.labelImage(), b.labelImage());
    expectSameImage(a.confidenceImage(), b.confidenceImage());
    expectSameImage(a.scoreImage(), b.scoreImage());
    for (std::size_t k = 0; k < internalOf(a).labelScores.size(); ++k)
        expectSameImage(a.segmentationImage(static_cast<unsigned char>(k)),
                        b.segmentationImage(static_cast<unsigned char>(k)));
}

template <class T>
void expectUnknownVersion(const std::string& bytes, const char* file, int line) {
    T target;
    try {
        load(bytes, target);
        ADD_FAILURE() << "no exception";
    } catch (const kvArchive::UnknownVersion& e) {
        if (file == nullptr) {
            EXPECT_EQ(e.file(), nullptr);
        } else {
            ASSERT_NE(e.file(), nullptr);
            EXPECT_STREQ(e.file(), file);
        }
        EXPECT_EQ(e.line(), line);
    }
}

std::string patched(std::string bytes, std::size_t at, unsigned char v) {
    bytes.at(at) = static_cast<char>(v);
    return bytes;
}

template <class E, class T>
void expectRefused(const std::string& bytes, T& target, const char* message) {
    const T before = target;
    try {
        load(bytes, target);
        ADD_FAILURE() << "no exception for " << (message ? message : "a corrupt record");
    } catch (const E& e) {
        if (message) {
            EXPECT_STREQ(e.what(), message);
        }
    }
    EXPECT_TRUE(target == before);
}

}  // namespace

TEST(ArchiveOperators, ExampleRoundTrip) {
    kvCompositeColor e = richExample();
    kvCompositeColor loaded(uniformImage(kvPelRect(0, 0, 1, 1), {1, 2, 3}), noMask());
    load(store(e), loaded);
    EXPECT_TRUE(loaded == e);
    ASSERT_EQ(loaded.images().size(), 3u);
    EXPECT_TRUE(loaded.masks()[0].isBound());
    EXPECT_FALSE(loaded.masks()[1].isBound());
    EXPECT_EQ(loaded.images()[2].window(), kvPelRect(-3, -2, 4, 3));
    EXPECT_EQ(loaded.masks()[2].window(), kvPelRect(-5, -4, 6, 5));
    EXPECT_EQ(loaded.masks()[2].pointToPel(-5, -4)[0], 77);
    EXPECT_EQ(loaded.images()[0].colorSpace(), kvColorSpaceRGB);

    kvCompositeColor empty;
    load(store(empty), loaded);
    EXPECT_TRUE(loaded.images().empty());
    EXPECT_TRUE(loaded.masks().empty());
}

TEST(ArchiveOperators, SetRoundTripReplacesInstances) {
    kvCompositeColorSet two({richExample(), kvCompositeColor()});
    kvCompositeColor one(uniformImage(kvPelRect(0, 0, 2, 2), {5, 5, 5}), noMask());
    kvCompositeColorSet five({one, one, one, one, one});
    load(store(two), five);
    ASSERT_EQ(five.instances().size(), 2u);
    EXPECT_TRUE(five == two);
}

TEST(ArchiveOperators, ParamsRoundTrip) {
    for (TrainParams p : {TrainParams(0.37, 12345), TrainParams(0.0, 0),
                          TrainParams(1.0, std::numeric_limits<uint32_t>::max())}) {
        TrainParams loaded;
        load(store(p), loaded);
        EXPECT_TRUE(loaded == p);
    }
    for (RunParams p : {RunParams(7, true), RunParams(1, false), RunParams(4, true)}) {
        RunParams loaded;
        load(store(p), loaded);
        EXPECT_TRUE(loaded == p);
    }
    // Records written by this version: the documented layouts.
    TrainParams t(0.5, 9);
    EXPECT_EQ(store(t), Bytes().u8(1).f64(0.5).u32(9).s);
    RunParams r(5, true);
    EXPECT_EQ(store(r), Bytes().u8(0).u32(5).u8(1).s);
}

TEST(ArchiveOperators, UntrainedToolRoundTrip) {
    Tool blank;
    EXPECT_EQ(store(blank), Bytes().u8(0).u8(0).u32(0).u8(1).f64(0.1).u32(2).s);
    Tool tool = trainedTool();
    load(store(blank), tool);
    EXPECT_FALSE(tool.isTrained());
    EXPECT_TRUE(tool == Tool());
    EXPECT_TRUE(tool.model() == Tool().model());
}

TEST(ArchiveOperators, TrainedToolRoundTripRetrains) {
    Tool tool = trainedTool();
    Tool loaded;
    load(store(tool), loaded);
    ASSERT_TRUE(loaded.isTrained());
    EXPECT_TRUE(loaded == tool);
    EXPECT_TRUE(loaded.model() == tool.model());
    EXPECT_TRUE(loaded.trainParams() == TrainParams(1.0, 3));
    EXPECT_TRUE(runResult(loaded) == runResult(tool));
}

TEST(ArchiveOperators, ResultRoundTripReplacesAnotherRun) {
    Tool tool = trainedTool();
    Result r = runResult(tool);
    r.labelImage();  // a cache that must not travel
    Tool other;
    other.train({kvCompositeColorSet(
                    {kvCompositeColor(uniformImage(kvPelRect(0, 0, 2, 2), {9, 9, 9}), noMask())})},
                TrainParams(0.5));
    Result target;
    other.run(noisyImage(kvPelRect(0, 0, 3, 3), 4), RunParams(2, true), target);
    target.scoreImage();
    load(store(r), target);
    EXPECT_TRUE(target == r);
    EXPECT_EQ(internalOf(target).labelScores.size(), 2u);
    EXPECT_EQ(internalOf(target).colorToleranceMin, 3u);
    EXPECT_EQ(internalOf(target).levelStep, internalOf(r).levelStep);
    EXPECT_EQ(internalOf(target).toleranceTable, internalOf(r).toleranceTable);
    EXPECT_EQ(0, std::memcmp(internalOf(target).reciprocalTable.data(),
                             internalOf(r).reciprocalTable.data(), 256 * sizeof(float)));
    ASSERT_TRUE(internalOf(target).imageFromClientXform);
    EXPECT_TRUE(internalOf(target).imageFromClientXform->isEqual(
        *internalOf(r).imageFromClientXform.get()));
    expectSameDerivedImages(target, r);

    // An even neighbourhood carries a shifted transform; it survives too.
    Result even = runResult(tool, 4);
    Result evenLoaded;
    load(store(even), evenLoaded);
    expectSameDerivedImages(evenLoaded, even);
    double x = 0, y = 0;
    evenLoaded.labelImage().imageFromClientXformBase()->map(0, 0, x, y);
    double x0 = 0, y0 = 0;
    even.labelImage().imageFromClientXformBase()->map(0, 0, x0, y0);
    EXPECT_EQ(x, x0);
    EXPECT_EQ(y, y0);

    // The empty result.
    Result blank;
    load(store(blank), target);
    EXPECT_TRUE(target == Result());
    EXPECT_FALSE(target.labelImage().isBound());
}

TEST(ArchiveOperators, DefaultInternalResultLayout) {
    Internal blank;
    const std::string bytes = store(blank);
    // version, unbound image (11 bytes), frac, min, size, empty quant table,
    // score block (version 0, count 0), levelStep 1, null transform, 256 pairs.
    ASSERT_EQ(bytes.size(), 1u + 11 + 8 + 4 + 4 + 4 + 1 + 4 + 1 + 1 + 256 * 5);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes.substr(32, 5), std::string(5, '\0'));
    EXPECT_EQ(bytes[37], 1);
    EXPECT_EQ(bytes[38], 0);
    Internal loaded = blank;
    loaded.neighborhoodSize = 9;
    load(bytes, loaded);
    EXPECT_TRUE(loaded == Internal());
}

TEST(ArchiveOperators, UnknownVersionsNameTheirReader) {
    kvCompositeColor e = richExample();
    const std::string example = store(e);
    expectUnknownVersion<kvCompositeColor>(patched(example, 0, 2), "clsg/colorseg", 190);
    expectUnknownVersion<kvCompositeColor>(patched(example, 1, 1), nullptr, 0);

    kvCompositeColorSet s({e});
    const std::string set = store(s);
    expectUnknownVersion<kvCompositeColorSet>(patched(set, 0, 1), "clsg/colorseg", 229);
    expectUnknownVersion<kvCompositeColorSet>(patched(set, 1, 1), nullptr, 0);
    expectUnknownVersion<kvCompositeColorSet>(patched(set, 6, 2), "clsg/colorseg", 190);

    TrainParams tp;
    expectUnknownVersion<TrainParams>(patched(store(tp), 0, 2), "clsg/colorseg", 274);
    RunParams rp;
    expectUnknownVersion<RunParams>(patched(store(rp), 0, 1), "clsg/colorseg", 324);
    expectUnknownVersion<RunParams>(patched(store(rp), 0, 255), "clsg/colorseg", 324);

    Tool tool = trainedTool();
    const std::string t = store(tool);
    expectUnknownVersion<Tool>(patched(t, 0, 1), "clsg/colorseg", 488);
    expectUnknownVersion<Tool>(patched(t, 1, 1), nullptr, 0);
    expectUnknownVersion<Tool>(patched(t, 6, 1), "clsg/colorseg", 229);  // first set
    expectUnknownVersion<Tool>(patched(t, t.size() - 13, 2), "clsg/colorseg", 274);

    Result r = runResult(tool);
    const std::string res = store(r);
    expectUnknownVersion<Result>(patched(res, 0, 1), "clsg/colorseg", 553);
    expectUnknownVersion<Result>(patched(res, 1, 2), "clsg/clrsgint", 1625);
    Result blank;
    const std::string empty = store(blank);
    expectUnknownVersion<Result>(patched(empty, 1 + 32, 1), nullptr, 0);  // score block
}

TEST(ArchiveOperators, VersionZeroRecords) {
    TrainParams tp(0.5, 77);
    load(Bytes().u8(0).f64(0.25).s, tp);
    EXPECT_EQ(tp.colorToleranceFrac(), 0.25);
    EXPECT_EQ(tp.colorToleranceMin(), 2u);

    kv3PlanePelBuffer image = noisyImage(kvPelRect(1, 2, 3, 2), 5);
    kvPelBuffer<unsigned char> mask =
        makeMask(kvPelRect(1, 2, 3, 2), [](long x, long) { return x != 2; });
    kvCompositeColor e = richExample();
    load(Bytes().u8(0).raw(imageRecord(image)).raw(maskRecord(mask)).s, e);
    EXPECT_TRUE(e == kvCompositeColor(image, mask));

    // Internal result version 0: the transform is the image's own.
    kv3PlanePelBuffer scored = noisyImage(kvPelRect(0, 0, 2, 2), 6);
    scored.imageFromClientXformBase(kv2XformHandle(new kv2XformLinear(kvMatrix<2>(), 3.0, -1.0)),
                                    true);
    kvPelBuffer<double> score(kvPelRect(0, 0, 2, 2));
    kfPelSet(score, 0.5);
    std::vector<unsigned char> quant(256, 1);
    auto v0 = [&](kv3PlanePelBuffer img) {
        Bytes b;
        b.u8(0).u8(0).raw(imageRecord(img)).f64(0.3).u32(3);
        b.u32(256).raw(std::string(quant.begin(), quant.end()));
        b.u8(0).u32(1).raw(store(static_cast<kv_PelBuffer&>(score)));
        return b.s;
    };
    Result r;
    load(v0(scored), r);
    const Internal& in = internalOf(r);
    EXPECT_EQ(in.colorToleranceFrac, 0.3);
    EXPECT_EQ(in.colorToleranceMin, 2u);
    EXPECT_EQ(in.neighborhoodSize, 3);
    EXPECT_EQ(in.quantTable, quant);
    EXPECT_EQ(in.levelStep, 1);
    EXPECT_EQ(in.toleranceTable, Internal().toleranceTable);
    EXPECT_EQ(in.image.imageFromClientXformBase().get(), in.imageFromClientXform.get());
    double x = 0, y = 0;
    r.labelImage().imageFromClientXformBase()->map(0, 0, x, y);
    EXPECT_EQ(x, 3.0);
    EXPECT_EQ(y, -1.0);

    // No transform: kvBadPointer, and the result keeps its run.
    kv3PlanePelBuffer bare = scored;
    bare.imageFromClientXformBase(kv2XformHandle(), true);
    const Result before = r;
    EXPECT_THROW(load(v0(bare), r), kvBadPointer);
    EXPECT_TRUE(r == before);
}

TEST(ArchiveOperators, ParamsRefusedAtLoad) {
    RunParams rp(6, true);
    expectRefused<Defs::BadParams>(Bytes().u8(0).u32(0).u8(0).s, rp, "neighborhoodSize <= 0 ");
    expectRefused<Defs::BadParams>(Bytes().u8(0).u32(static_cast<uint32_t>(-5)).u8(0).s, rp,
                                   "neighborhoodSize <= 0 ");
    expectRefused<kvArchive::Corrupt>(Bytes().u8(0).u32(3).u8(2).s, rp, nullptr);  // bool 2

    TrainParams tp(0.2, 4);
    const char* frac = "colorToleranceFrac < 0 || colorToleranceFrac > 1";
    expectRefused<Defs::BadParams>(Bytes().u8(1).f64(std::nan("")).u32(2).s, tp, frac);
    expectRefused<Defs::BadParams>(Bytes().u8(1).f64(1e300).u32(2).s, tp, frac);
    expectRefused<Defs::BadParams>(Bytes().u8(0).f64(-INFINITY).s, tp, frac);
    for (double f : {4.0, -0.5}) {
        load(Bytes().u8(1).f64(f).u32(2).s, tp);
        EXPECT_EQ(tp.colorToleranceFrac(), f);
    }

    // A stored tool with such a fraction still trains.
    Tool tool = trainedTool();
    std::string bytes = store(tool);
    bytes.replace(bytes.size() - 12, 8, Bytes().f64(4.0).s);
    Tool loaded;
    load(bytes, loaded);
    ASSERT_TRUE(loaded.isTrained());
    EXPECT_EQ(loaded.trainParams().colorToleranceFrac(), 4.0);
    EXPECT_TRUE(runResult(loaded) == runResult(loaded));
}

TEST(ArchiveOperators, ExamplesRefusedAtLoad) {
    kv3PlanePelBuffer image = uniformImage(kvPelRect(0, 0, 2, 2), {1, 2, 3});
    kvPelBuffer<unsigned char> mask = fill(kvPelRect(0, 0, 2, 2), 255);
    kvCompositeColor target = richExample();
    auto example = [&](std::initializer_list<std::string> images,
                       std::initializer_list<std::string> masks) {
        Bytes b;
        b.u8(1).u8(0).u32(static_cast<uint32_t>(images.size()));
        for (const auto& i : images) b.raw(i);
        b.u8(0).u32(static_cast<uint32_t>(masks.size()));
        for (const auto& m : masks) b.raw(m);
        return b.s;
    };
    expectRefused<Defs::BadParams>(
        example({imageRecord(image), imageRecord(image)}, {maskRecord(mask)}), target,
        "The size of Images is not the same as the size of Masks");
    kv3PlanePelBuffer hsi = image;
    hsi.colorSpace(kvColorSpaceHSI);
    expectRefused<Defs::BadColorSpace>(example({imageRecord(hsi)}, {maskRecord(mask)}), target,
                                       "image's color space is not RGB");
    expectRefused<Defs::BadImage>(
        example({imageRecord(image)}, {maskRecord(fill(kvPelRect(0, 0, 2, 2), 128))}), target,
        "mask includes an invalid value");
    expectRefused<Defs::BadImage>(
        example({imageRecord(image)}, {maskRecord(fill(kvPelRect(0, 0, 2, 2), 0))}), target,
        "no care pels in the image");
    expectRefused<Defs::BadImage>(
        example({imageRecord(kv3PlanePelBuffer())}, {maskRecord(kvPelBuffer<unsigned char>())}),
        target, "image is not bound");
    // Version 0 is checked the same way.
    expectRefused<Defs::BadImage>(
        Bytes().u8(0).raw(imageRecord(image)).raw(maskRecord(fill(kvPelRect(5, 5, 1, 1), 255))).s,
        target, "mask and image do not overlap");

    // Counts far beyond the data are refused before anything is allocated.
    expectRefused<kvArchive::Corrupt>(Bytes().u8(1).u8(0).u32(0xFFFFFFFFu).s, target, nullptr);
    kvCompositeColorSet set({target});
    expectRefused<kvArchive::Corrupt>(Bytes().u8(0).u8(0).u32(0x7FFFFFFFu).u8(1).s, set, nullptr);
}

TEST(ArchiveOperators, ToolsThatDoNotTrainAreRefused) {
    Tool tool = trainedTool();
    const Tool before = tool;
    const Result run = runResult(tool);
    auto toolRecord = [](std::vector<kvCompositeColorSet> sets, std::string params) {
        Bytes b;
        b.u8(0).u8(0).u32(static_cast<uint32_t>(sets.size()));
        for (auto& s : sets) b.raw(store(s));
        return b.raw(params).s;
    };
    const std::string params = Bytes().u8(1).f64(1.0).u32(2).s;
    auto check = [&](const std::string& bytes, auto exceptionTag) {
        using E = decltype(exceptionTag);
        EXPECT_THROW(load(bytes, tool), E);
        EXPECT_TRUE(tool == before);
        EXPECT_TRUE(tool.model() == before.model());
        EXPECT_TRUE(runResult(tool) == run);
    };
    check(toolRecord({kvCompositeColorSet({kvCompositeColor()})}, params), Defs::BadParams());
    check(toolRecord({kvCompositeColorSet()}, params), Defs::BadParams());
    check(toolRecord(std::vector<kvCompositeColorSet>(255, twoLabels()[1]), params),
          Defs::TooManyCompositeColors());
    // An image over an empty window of two billion rows: refused at once.
    kvCompositeColor tall(kv3PlanePelBuffer(kvPelRect(0, 0, 0, 2000000000)), noMask());
    check(toolRecord({kvCompositeColorSet({tall})}, params), Defs::BadImage());
}

TEST(ArchiveOperators, InternalResultsThatDoNotFitAreRefused) {
    Tool tool = trainedTool();
    const Result good = runResult(tool);
    Result target = runResult(tool, 5);
    const Result before = target;
    auto refused = [&](const Internal& bad, auto exceptionTag) {
        using E = decltype(exceptionTag);
        Internal copy = bad;
        const std::string bytes = Bytes().u8(0).raw(store(copy)).s;
        EXPECT_THROW(load(bytes, target), E);
        EXPECT_TRUE(target == before);
        expectSameDerivedImages(target, before);
    };
    Internal bad = internalOf(good);
    bad.labelScores[1] = kvPelBuffer<double>(kvPelRect(-2, 1, 7, 4));
    refused(bad, kvArchive::Corrupt(""));  // windows differ from each other
    bad = internalOf(good);
    for (auto& s : bad.labelScores) s = kvPelBuffer<double>(kvPelRect(0, 0, 2, 2));
    refused(bad, kvArchive::Corrupt(""));  // same windows, not the image's
    bad = internalOf(good);
    bad.labelScores[0] = kvPelBuffer<double>();
    refused(bad, kvArchive::Corrupt(""));
    bad = internalOf(good);
    bad.labelScores.clear();
    refused(bad, kvArchive::Corrupt(""));  // an image but no scores
    bad = internalOf(good);
    bad.image = kv3PlanePelBuffer();
    refused(bad, kvArchive::Corrupt(""));
    bad = internalOf(good);
    bad.labelScores.assign(255, kfPelCopy(bad.labelScores[0]));
    refused(bad, kvArchive::Corrupt(""));
    bad = internalOf(good);
    bad.neighborhoodSize = 0;
    refused(bad, Defs::BadParams());
    bad = internalOf(good);
    bad.image = kv3PlanePelBuffer(kvPelRect(0, 0, 0, 2000000000));
    bad.labelScores.assign(1, kvPelBuffer<double>(kvPelRect(0, 0, 0, 2000000000)));
    refused(bad, kvArchive::Corrupt(""));

    // 254 labels are fine.
    Internal many = internalOf(good);
    many.labelScores.assign(254, many.labelScores[0]);
    Result loaded;
    load(Bytes().u8(0).raw(store(many)).s, loaded);
    EXPECT_EQ(internalOf(loaded).labelScores.size(), 254u);
}

// Every truncation of a stored record throws a kvException and leaves the
// target as it was.
template <class T, class Check>
void everyTruncationFails(T& source, T& target, Check stillIntact) {
    const std::string bytes = store(source);
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        bool threw = false;
        try {
            load(bytes.substr(0, n), target);
        } catch (const kvException&) {
            threw = true;
        }
        ASSERT_TRUE(threw) << "length " << n;
        stillIntact();
    }
    load(bytes, target);  // the whole record loads
    EXPECT_TRUE(target == source);
}

TEST(ArchiveOperators, FailedLoadsLeaveTargetsUnchanged) {
    Tool tool = trainedTool();
    Tool untrained;
    Tool target = trainedTool();
    target.train({twoLabels()[1]}, TrainParams(0.5, 1));
    const Tool before = target;
    const Result beforeRun = runResult(before);
    everyTruncationFails(tool, target, [&] {
        ASSERT_TRUE(target == before);
        ASSERT_TRUE(target.isTrained());
        ASSERT_TRUE(target.model() == before.model());
    });
    EXPECT_TRUE(runResult(tool) == runResult(target));
    Tool trained = trainedTool();
    const Tool trainedBefore = trained;
    everyTruncationFails(untrained, trained, [&] { ASSERT_TRUE(trained == trainedBefore); });
    (void)beforeRun;

    Result result = runResult(tool);
    Result other = runResult(tool, 6);
    other.confidenceImage();
    const Result otherBefore = other;
    everyTruncationFails(result, other, [&] {
        ASSERT_TRUE(other == otherBefore);
        ASSERT_TRUE(internalOf(other).confidenceImage.isBound());  // cache kept
    });
    expectSameDerivedImages(other, result);

    kvCompositeColor e = richExample();
    kvCompositeColor eTarget(uniformImage(kvPelRect(0, 0, 1, 1), {4, 4, 4}), noMask());
    const kvCompositeColor eBefore = eTarget;
    everyTruncationFails(e, eTarget, [&] { ASSERT_TRUE(eTarget == eBefore); });

    kvCompositeColorSet s({e, eBefore});
    kvCompositeColorSet sTarget({eBefore});
    const kvCompositeColorSet sBefore = sTarget;
    everyTruncationFails(s, sTarget, [&] { ASSERT_TRUE(sTarget == sBefore); });

    TrainParams tp(0.75, 8), tpTarget(0.1, 1);
    everyTruncationFails(tp, tpTarget, [&] { ASSERT_TRUE(tpTarget == TrainParams(0.1, 1)); });
    RunParams rp(9, true), rpTarget(2, false);
    everyTruncationFails(rp, rpTarget, [&] { ASSERT_TRUE(rpTarget == RunParams(2, false)); });
}

TEST(ArchiveOperators, ErrorObjectsRoundTripThroughTheRegistry) {
    Defs::BadImage error("mask includes an invalid value");
    std::ostringstream out;
    {
        kvArchive archive(out);
        kvPersistent* p = &error;
        kvPersistent::serializePointer(archive, p);
    }
    std::istringstream in(out.str());
    kvArchive archive(in);
    kvPersistent* p = nullptr;
    kvPersistent::serializePointer(archive, p);
    auto* loaded = dynamic_cast<Defs::BadImage*>(p);
    ASSERT_NE(loaded, nullptr);
    EXPECT_STREQ(loaded->what(), "mask includes an invalid value");
    EXPECT_EQ(loaded->errorNumber(), 268472578);
}
