// The frame runner against the plain library: labels byte-identical to a
// whole-frame run for every layout, neighbourhood, band size and thread
// count; no large allocation once the frame size settles; errors.
#include "clsg/live/frame_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "clsg/colorseg/errors.h"
#include "clsg/colorseg/intensity_gain.h"
#include "clsg/colorseg/segmenter_result.h"
#include "counted_allocations.h"
#include "test_images.h"

// Allocations of kLarge bytes or more while counting is on: the size of a
// band's plane in the test below, far above the library's per-call tables
// (a few per band, proportional to the width).
constexpr std::size_t kLarge = 48 * 1024;
static std::atomic<bool> counting{false};
static std::atomic<long> largeAllocations{0};

void clsgtest::noteAllocation(std::size_t size) {
    if (counting && size >= kLarge) ++largeAllocations;
}

namespace {

using clsg::FrameRunner;
using clsg::FrameView;
using clsg::PixelLayout;

kvCompositeColorSegmenterTool trainedTool() {
    kvCompositeColorSegmenterTool tool;
    const auto a = noisyImage(kvPelRect(0, 0, 30, 30), 1);
    tool.train({kvCompositeColorSet(
                    {kvCompositeColor(uniformImage(kvPelRect(0, 0, 6, 6), {200, 40, 30}), {})}),
                kvCompositeColorSet({kvCompositeColor(
                    a, makeMask(a.window(), [](long x, long) { return x < 10; }))}),
                kvCompositeColorSet(
                    {kvCompositeColor(uniformImage(kvPelRect(0, 0, 6, 6), {40, 60, 210}), {})})},
               kvCompositeColorSegmenterTrainParams(0.15, 2));
    return tool;
}

// image packed into rows of stride bytes with layout (padding bytes 0x5a).
std::vector<unsigned char> pack(const kv3PlanePelBuffer& image, const PixelLayout& l,
                                std::ptrdiff_t stride) {
    std::vector<unsigned char> bytes(static_cast<std::size_t>(stride * image.height()), 0x5a);
    for (long y = 0; y < image.height(); ++y)
        for (long x = 0; x < image.width(); ++x) {
            unsigned char* p = bytes.data() + y * stride + x * l.bytes;
            p[l.red] = image.plane0().pointToPel(x, y)[0];
            p[l.green] = image.plane1().pointToPel(x, y)[0];
            p[l.blue] = image.plane2().pointToPel(x, y)[0];
        }
    return bytes;
}

std::vector<unsigned char> plainLabels(const kvCompositeColorSegmenterTool& tool,
                                       const kv3PlanePelBuffer& image,
                                       const kvCompositeColorSegmenterRunParams& params) {
    kvCompositeColorSegmenterResult result;
    tool.run(image, params, result);
    const auto labels = result.labelImage();
    std::vector<unsigned char> out;
    for (long y = 0; y < labels.height(); ++y)
        out.insert(out.end(), labels.pointToRow(y), labels.pointToRow(y) + labels.width());
    return out;
}

// Noisy frames, their right part darkened so that normalisation has a gain
// to apply.
kv3PlanePelBuffer frameImage(long w, long h, uint32_t seed) {
    const auto noisy = noisyImage(kvPelRect(0, 0, w, h), seed);
    return makeImage(noisy.window(), [&](long x, long y) {
        const auto d = [&](unsigned char v) {
            return static_cast<unsigned char>(x < w / 3 ? v : v * 3 / 5);
        };
        return Rgb{d(noisy.plane0().pointToPel(x, y)[0]), d(noisy.plane1().pointToPel(x, y)[0]),
                   d(noisy.plane2().pointToPel(x, y)[0])};
    });
}

TEST(FrameRunner, LabelsEqualAWholeFrameRun) {
    const kvCompositeColorSegmenterTool tool = trainedTool();
    struct Case {
        PixelLayout layout;
        long width, height, bandRows;
        unsigned threads;
        int32_t n;
        bool normalize;
    };
    const PixelLayout rgb{3, 0, 1, 2}, rgbx{4, 0, 1, 2}, bgrx{4, 2, 1, 0}, xbgr{4, 3, 2, 1};
    const Case cases[] = {
        {rgb, 37, 41, 5, 2, 3, false},
        {rgbx, 40, 33, 3, 3, 6, false},  // bands smaller than the halo
        {bgrx, 29, 50, 7, 2, 9, true},
        {xbgr, 31, 23, 4, 1, 2, false},
        {rgb, 45, 30, 0, 2, 1, true},
        {bgrx, 20, 64, 16, 4, 5, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " N=" << c.n
                                        << " bands of " << c.bandRows << " on " << c.threads);
        FrameRunner runner(c.threads, c.bandRows);
        const kvCompositeColorSegmenterRunParams params(c.n, c.normalize);
        for (uint32_t seed = 1; seed <= 2; ++seed) {  // the second frame reuses the bands
            const auto image =
                frameImage(c.width, c.height, seed + 10 * static_cast<uint32_t>(c.n));
            if (c.normalize) {
                ASSERT_NE(kfSearchIntensityGain(tool, image), 1.0);
            }
            const std::ptrdiff_t stride = c.width * c.layout.bytes + 3;
            const auto bytes = pack(image, c.layout, stride);
            std::vector<unsigned char> labels(static_cast<std::size_t>((c.width + 1) * c.height),
                                              0x77);
            runner.run(tool, params,
                       FrameView{bytes.data(), c.width, c.height, stride, c.layout, bytes.size()},
                       labels.data(), c.width + 1);
            const auto expected = plainLabels(tool, image, params);
            std::vector<uint64_t> histogram(256);
            for (long y = 0; y < c.height; ++y) {
                ASSERT_EQ(
                    std::memcmp(labels.data() + y * (c.width + 1), expected.data() + y * c.width,
                                static_cast<std::size_t>(c.width)),
                    0)
                    << "row " << y;
                EXPECT_EQ(labels[static_cast<std::size_t>(y * (c.width + 1) + c.width)],
                          0x77);  // padding kept
                for (long x = 0; x < c.width; ++x)
                    ++histogram[expected[static_cast<std::size_t>(y * c.width + x)]];
            }
            for (std::size_t v = 0; v < 256; ++v)
                EXPECT_EQ(runner.histogram()[v], histogram[v]) << v;
            EXPECT_GT(histogram[0] + histogram[1] + histogram[2], 0u);
        }
    }
}

// Once the size settles the runner allocates nothing large of its own: a
// frame costs what the library's runs of its bands cost; a new size works.
TEST(FrameRunner, SteadyFramesAllocateNothingLarge) {
    const kvCompositeColorSegmenterTool tool = trainedTool();
    FrameRunner runner(2, 60);
    const PixelLayout rgbx{4, 0, 1, 2};
    for (const bool normalize : {false, true}) {
        SCOPED_TRACE(normalize);
        const kvCompositeColorSegmenterRunParams params(3, normalize);
        const auto first = pack(frameImage(1000, 150, 1), rgbx, 4000),
                   second = pack(frameImage(1000, 150, 2), rgbx, 4000);
        std::vector<unsigned char> labels(1000 * 150);
        runner.run(tool, params, FrameView{first.data(), 1000, 150, 4000, rgbx, first.size()},
                   labels.data(), 1000);
        runner.run(tool, params, FrameView{second.data(), 1000, 150, 4000, rgbx, second.size()},
                   labels.data(), 1000);
        largeAllocations = 0;
        counting = true;
        for (int i = 0; i < 3; ++i)
            runner.run(
                tool, params,
                FrameView{(i % 2 ? first : second).data(), 1000, 150, 4000, rgbx, first.size()},
                labels.data(), 1000);
        counting = false;
        // The same bands run straight through the library (bands of 60 rows
        // with the halo of N = 3), into results that ran once before. The
        // runner applies a gain while unpacking, so its runs never normalise.
        std::vector<kv3PlanePelBuffer> bands;
        for (long top = 0; top < 150; top += 60) {
            const long from = std::max(0L, top - 1), to = std::min(150L, top + 61);
            kv3PlanePelBuffer band(kvPelRect(0, from, 1000, to - from));
            kvPelBuffer_const<unsigned char> planes[3] = {band.plane0(), band.plane1(),
                                                          band.plane2()};
            for (long y = from; y < to; ++y)
                for (int p = 0; p < 3; ++p)
                    std::memset(const_cast<unsigned char*>(planes[p].pointToRow(y)), 90, 1000);
            bands.push_back(band);
        }
        std::vector<kvCompositeColorSegmenterResult> results(bands.size());
        const kvCompositeColorSegmenterRunParams plain(3, false);
        for (std::size_t b = 0; b < bands.size(); ++b) tool.run(bands[b], plain, results[b]);
        const long byTheRunner = largeAllocations;
        largeAllocations = 0;
        counting = true;
        for (int i = 0; i < 3; ++i)
            for (std::size_t b = 0; b < bands.size(); ++b) tool.run(bands[b], plain, results[b]);
        counting = false;
        EXPECT_EQ(byTheRunner, largeAllocations);
        EXPECT_TRUE(labels == plainLabels(tool, frameImage(1000, 150, 2), params));
    }
    // Another size plans new bands.
    const auto small = frameImage(50, 70, 3);
    const auto bytes = pack(small, rgbx, 200);
    std::vector<unsigned char> labels(50 * 70);
    const kvCompositeColorSegmenterRunParams params(3, false);
    runner.run(tool, params, FrameView{bytes.data(), 50, 70, 200, rgbx, bytes.size()},
               labels.data(), 50);
    EXPECT_TRUE(labels == plainLabels(tool, small, params));
}

// Rows handed out by forEachBand cover the frame once.
TEST(FrameRunner, ForEachBandCoversEveryRowOnce) {
    const kvCompositeColorSegmenterTool tool = trainedTool();
    FrameRunner runner(3, 7);
    const auto bytes = pack(frameImage(16, 45, 1), PixelLayout{}, 48);
    std::vector<unsigned char> labels(16 * 45);
    runner.run(tool, kvCompositeColorSegmenterRunParams(3, false),
               FrameView{bytes.data(), 16, 45, 48, {}, bytes.size()}, labels.data(), 16);
    std::vector<std::atomic<int>> rows(45);
    runner.forEachBand([&](long top, long bottom) {
        for (long y = top; y < bottom; ++y) ++rows[static_cast<std::size_t>(y)];
    });
    for (const auto& r : rows) EXPECT_EQ(r, 1);
}

TEST(FrameRunner, Refusals) {
    using Defs = kvCompositeColorSegmenterDefs;
    const kvCompositeColorSegmenterTool tool = trainedTool();
    FrameRunner runner(2);
    const std::vector<unsigned char> bytes(64 * 4 * 8);
    std::vector<unsigned char> labels(64 * 8);
    const kvCompositeColorSegmenterRunParams params(3, false);
    const auto run = [&](const FrameView& f, std::ptrdiff_t labelStride = 64) {
        runner.run(tool, params, f, labels.data(), labelStride);
    };
    EXPECT_THROW(run(FrameView{nullptr, 64, 8, 256, {}}), Defs::BadImage);
    EXPECT_THROW(run(FrameView{bytes.data(), 0, 8, 256, {}, bytes.size()}), Defs::BadImage);
    EXPECT_THROW(run(FrameView{bytes.data(), 64, 8, 256, PixelLayout{3, 0, 1, 3}, bytes.size()}),
                 Defs::BadImage);
    EXPECT_THROW(run(FrameView{bytes.data(), 64, 8, 191, {}, bytes.size()}),
                 Defs::BadImage);  // stride < row
    EXPECT_THROW(run(FrameView{bytes.data(), 64, 8, 256, {}, bytes.size()}, 63), Defs::BadImage);
    // Rows that reach a byte past the frame's size (as a buffer's meta may claim).
    EXPECT_NO_THROW(run(FrameView{bytes.data(), 64, 8, 260, {}, 260 * 7 + 192}));
    EXPECT_THROW(run(FrameView{bytes.data(), 64, 8, 260, {}, 260 * 7 + 191}), Defs::BadImage);
    EXPECT_THROW(run(FrameView{bytes.data(), 64, 8, 1L << 60, {}, bytes.size()}), Defs::BadImage);
    EXPECT_THROW(
        runner.run(kvCompositeColorSegmenterTool(), params,
                   FrameView{bytes.data(), 64, 8, 256, {}, bytes.size()}, labels.data(), 64),
        Defs::NotTrained);
}

}  // namespace
