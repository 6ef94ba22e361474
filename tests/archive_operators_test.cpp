// Archive operators of the public classes: layouts, versions, refusals, failed loads.
#include "clsg/colorseg/archive_operators.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "archive_bytes.h"
#include "clsg/clrsgint/internal_result_archive.h"
#include "clsg/clrsgint/tool_model.h"
#include "clsg/colorseg/errors.h"
#include "clsg/platform/pel_archive.h"
#include "test_images.h"

namespace {

using Defs = kvCompositeColorSegmenterDefs;
using Tool = kvCompositeColorSegmenterTool;
using Result = kvCompositeColorSegmenterResult;
using Internal = kvCompositeColorSegmenterInternalResult;
using TrainParams = kvCompositeColorSegmenterTrainParams;
using RunParams = kvCompositeColorSegmenterRunParams;

std::string u8(unsigned char v) { return storeToBytes(v); }
std::string u32(uint32_t v) { return storeToBytes(v); }
std::string f64(double v) { return storeToBytes(v); }

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
Result runResult(const Tool& tool, long n = 3) {
    Result r;
    tool.run(noisyImage(kvPelRect(-2, 1, 7, 5), 11), RunParams(n, false), r);
    return r;
}
Internal& internalOf(const Result& r) { return *static_cast<Internal*>(r.result()); }

// Expects E (with the message, if given) and the target unchanged.
template <class E, class T>
void expectRefused(const std::string& bytes, T& target, const char* message) {
    const T before = target;
    try {
        loadFromBytes(bytes, target);
        ADD_FAILURE() << "no exception for " << (message ? message : "a corrupt record");
    } catch (const E& e) {
        EXPECT_STREQ(message ? e.what() : "", message ? message : "");
    }
    EXPECT_TRUE(target == before);
}

}  // namespace

// Stored layouts are held by the archive fixtures; here a newer version byte is refused.
TEST(ArchiveOperators, NewerVersionsAreRefused) {
    const auto newer = [](std::string bytes, std::size_t at, unsigned char v, auto target) {
        bytes.at(at) = static_cast<char>(v);
        EXPECT_THROW(loadFromBytes(bytes, target), kvArchive::UnknownVersion) << at;
    };
    Tool tool = trainedTool();
    kvCompositeColorSet set = twoLabels()[0];
    Result run = runResult(tool), none;
    newer(storeToBytes(set), 0, 1, set);
    newer(storeToBytes(tool), 0, 1, tool);
    newer(storeToBytes(run), 1, 2, run);
    newer(storeToBytes(none), 1 + 32, 1, none);  // the score block
}

TEST(ArchiveOperators, ParamsAndToolsLoadIfAndOnlyIfTheyTrain) {
    RunParams rp(6, true);
    expectRefused<Defs::BadParams>(u8(0) + u32(0) + u8(0), rp, "neighborhoodSize <= 0 ");
    TrainParams tp(0.2, 4);
    const char* frac = "colorToleranceFrac < 0 || colorToleranceFrac > 1";
    expectRefused<Defs::BadParams>(u8(1) + f64(std::nan("")) + u32(2), tp, frac);
    // A fraction of 4 loads, and a stored tool with it still trains.
    Tool tool = trainedTool(), loaded;
    std::string bytes = storeToBytes(tool);
    bytes.replace(bytes.size() - 12, 8, f64(4.0));
    loadFromBytes(bytes, loaded);
    EXPECT_TRUE(loaded.isTrained() && loaded.trainParams().colorToleranceFrac() == 4.0);
    // A mask changed to 128 after add() trains; its tool must load again.
    auto m = makeMask(kvPelRect(0, 0, 3, 2), [](long, long) { return true; });
    kvCompositeColor masked(noisyImage(kvPelRect(0, 0, 3, 2), 3), m);
    kfPelSet(m, 128);
    tool.train({kvCompositeColorSet({masked})}, TrainParams(0.2, 3));
    loadFromBytes(storeToBytes(tool), loaded);
    EXPECT_TRUE(clsgint::toolModel(loaded) == clsgint::toolModel(tool));
    kvCompositeColor noImages;  // sets that cannot train are refused before the bytes after them
    expectRefused<Defs::TooManyCompositeColors>(u8(0) + u8(0) + u32(255), loaded, nullptr);
    expectRefused<Defs::BadParams>(u8(0) + u8(0) + u32(1) + u8(0) + u8(0) + u32(2) +
                                       storeToBytes(noImages) + std::string(40, '\xff'),
                                   loaded, nullptr);
}

TEST(ArchiveOperators, ExamplesLoadAsStoredUnlessTheyEndangerTheProcess) {
    kv3PlanePelBuffer image = uniformImage(kvPelRect(0, 0, 2, 2), {1, 2, 3}), hsi = image, unbound;
    hsi.colorSpace(kvColorSpaceHSI);
    const std::string rgb = storeToBytes(image);
    auto mask = [](unsigned char v, long x = 0) {
        kvPelBuffer<unsigned char> m(kvPelRect(x, 0, 2, 2));
        kfPelSet(m, v);
        return storeToBytes(static_cast<kv_PelBuffer&>(m));
    };
    auto example = [](const std::string& images, const std::string& mask, uint32_t count = 1) {
        return u8(1) + u8(0) + u32(count) + images + u8(0) + u32(1) +
               mask;  // count images, one mask
    };
    // Pairs add() refuses still load, to the same bytes (masks may change after add()).
    for (const std::string& bytes : {example(storeToBytes(hsi), mask(255)), example(rgb, mask(128)),
                                     example(rgb, mask(255, 5))}) {
        kvCompositeColor loaded;
        loadFromBytes(bytes, loaded);
        EXPECT_EQ(storeToBytes(loaded), bytes);
    }
    kvCompositeColor target = twoLabels()[0].instances()[1];
    expectRefused<Defs::BadParams>(example(rgb + rgb, mask(255), 2), target,
                                   "The size of Images is not the same as the size of Masks");
    // An unbound image (never stored by this library), with bytes enough to follow.
    expectRefused<Defs::BadImage>(
        example(storeToBytes(unbound), u8(0) + u8(0)) + std::string(100, '\0'), target,
        "image is not bound");
    // Counts far beyond the data are refused before anything is allocated.
    expectRefused<kvArchive::Corrupt>(u8(1) + u8(0) + u32(0xFFFFFFFFu), target, nullptr);
}

TEST(ArchiveOperators, InternalResultsThatDoNotFitAreRefused) {
    Tool tool = trainedTool();
    Result run = runResult(tool), good;  // loaded: the score images held
    loadFromBytes(storeToBytes(run), good);
    Result target = runResult(tool, 5);
    const kvPelRect tallEmpty(0, 0, 0, 2000000000);
    auto refused = [&](const std::function<void(Internal&)>& spoil) {
        Internal bad = internalOf(good);
        spoil(bad);
        expectRefused<kvArchive::Corrupt>(u8(0) + storeToBytes(bad), target, nullptr);
    };
    // Score windows that differ from each other, or an image but no scores.
    refused(
        [](Internal& r) { r.labelScores.held[1] = kvPelBuffer<double>(kvPelRect(-2, 1, 7, 4)); });
    refused([](Internal& r) { r.labelScores.held.clear(); });
    refused([&](Internal& r) {
        r.image = kv3PlanePelBuffer(tallEmpty);
        r.labelScores.held.assign(1, kvPelBuffer<double>(tallEmpty));
    });
    // Too many labels are refused before their bytes are even looked at; 254 are fine.
    Internal labels = internalOf(good);
    labels.labelScores.held.assign(255, kvPelBuffer<double>());
    std::string bytes = u8(0) + storeToBytes(labels);
    const std::string framing = u8(0) + u32(255);
    bytes.resize(bytes.find(framing + u8(0) + u8(0)) + framing.size());
    expectRefused<kvArchive::Corrupt>(bytes, target, "stored result has more than 254 labels");
    labels.labelScores.held.assign(254, internalOf(good).labelScores.held[0]);
    loadFromBytes(u8(0) + storeToBytes(labels), target);
    EXPECT_EQ(internalOf(target).labelScores.size(), 254u);
}

// Every truncation throws leaving the target intact; the whole record reloads to the same bytes.
template <class T, class Check>
void everyTruncationFails(T& source, T& target, Check stillIntact) {
    const std::string bytes = storeToBytes(source);
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        EXPECT_THROW(loadFromBytes(bytes.substr(0, n), target), kvException) << "length " << n;
        stillIntact();
    }
    loadFromBytes(bytes, target);
    EXPECT_TRUE(target == source && storeToBytes(target) == bytes);
}

TEST(ArchiveOperators, FailedLoadsLeaveTargetsUnchangedAndWholeLoadsReplaceThem) {
    Tool tool = trainedTool(), target = trainedTool();
    target.train({twoLabels()[1]}, TrainParams(0.5, 1));
    const Tool before = target;
    everyTruncationFails(tool, target, [&] {
        ASSERT_TRUE(target == before && clsgint::toolModel(target) == clsgint::toolModel(before));
    });
    EXPECT_TRUE(runResult(tool) == runResult(target));

    // A run with an even neighbourhood and a cached image, replaced by another run.
    Result result = runResult(tool), other = runResult(before, 6), blank;
    other.confidenceImage();
    const Result otherBefore = other;
    everyTruncationFails(result, other, [&] {
        ASSERT_TRUE(other == otherBefore && internalOf(other).confidenceImage.isBound());
    });
    const auto p = other.confidenceImage(), q = result.confidenceImage();  // the cache replaced
    double x = 0, y = 0, x0 = 0, y0 = 0;  // an even neighbourhood shifts the transform
    p.imageFromClientXformBase()->map(0, 0, x, y);
    q.imageFromClientXformBase()->map(0, 0, x0, y0);
    EXPECT_TRUE(p.window() == q.window() && kfPelEqual(p, q) && x == x0 && y == y0);
    loadFromBytes(storeToBytes(blank), other);
    EXPECT_FALSE(other.labelImage().isBound());
}
