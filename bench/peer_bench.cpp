// Our frame loop against the same job written with OpenCV, in one process and
// one thread each, on the demo photograph tiled to about 1 and 12 megapixels.
//
// Ours:   tool.run(frame, params, result); result.labelImage();
// OpenCV: per label a 51 x 51 x 51 histogram of the examples (calcHist) back-
//         projected onto the frame (calcBackProject), an N x N Gaussian
//         filter2D, then the argmax over the labels (compare, max, setTo).
// "reused" keeps the result (and the OpenCV matrices) from frame to frame,
// "fresh" starts each frame with new ones. Prints best and median ms per frame
// and ours / OpenCV of the medians; the two loops take turns frame by frame.
// Each row names the instruction set our kernels ran with, the bytes per pixel
// our result held after run + labelImage() and the peak of our heap use during
// a frame (both counted by this program's operator new, above what was
// allocated before the row's result existed: the frame itself is not counted).
//
//   peer_bench [REPEATS [MP [ISA]]]   (default 9 at 1 MP, 3 at 12 MP; MP = 1 or 12 runs
//                                      one size; ISA = avx2 or portable caps our kernels)
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <utility>
#include <vector>

#include "clsg/clrsgint/cpu_features.h"
#include "clsg/clsg.h"
#include "clsg/io/image_io.h"

using namespace clsg;

// Heap bytes allocated through operator new (pel buffers, vectors), now and at the peak.
namespace heap {
std::atomic<std::size_t> now{0}, peak{0};
void* counted(void* p) {
    if (!p) throw std::bad_alloc();
    const std::size_t n = now += malloc_usable_size(p);
    for (std::size_t seen = peak; n > seen && !peak.compare_exchange_weak(seen, n);) {
    }
    return p;
}
void release(void* p) {
    if (!p) return;
    now -= malloc_usable_size(p);
    std::free(p);
}
}  // namespace heap

void* operator new(std::size_t n) { return heap::counted(std::malloc(n ? n : 1)); }
void* operator new[](std::size_t n) { return heap::counted(std::malloc(n ? n : 1)); }
void* operator new(std::size_t n, std::align_val_t a) {
    const std::size_t al = static_cast<std::size_t>(a);
    return heap::counted(std::aligned_alloc(al, (n + al - 1) / al * al));
}
void* operator new[](std::size_t n, std::align_val_t a) { return operator new(n, a); }
void operator delete(void* p) noexcept { heap::release(p); }
void operator delete[](void* p) noexcept { heap::release(p); }
void operator delete(void* p, std::size_t) noexcept { heap::release(p); }
void operator delete[](void* p, std::size_t) noexcept { heap::release(p); }
void operator delete(void* p, std::align_val_t) noexcept { heap::release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { heap::release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { heap::release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { heap::release(p); }

namespace {

// Rectangles (x, y, width, height) on the 600 x 400 photograph: crema, white
// china, red china, table, and the front of the cup as a fifth label.
const std::vector<std::vector<cv::Rect>> kLabelRects = {
    {{250, 120, 75, 45}},
    {{250, 45, 80, 30}, {180, 95, 12, 40}},
    {{100, 190, 50, 90}, {415, 180, 40, 70}},
    {{470, 20, 110, 60}, {10, 350, 120, 45}, {15, 180, 50, 100}, {100, 40, 60, 40}},
    {{265, 215, 50, 30}},
};

kv3PlanePelBuffer tiled(const kv3PlanePelBuffer& photo, long width, long height) {
    kv3PlanePelBuffer out(kvPelRect(0, 0, width, height));
    const kvPelBuffer<unsigned char>* from[3] = {&photo.plane0(), &photo.plane1(), &photo.plane2()};
    const kvPelBuffer<unsigned char>* to[3] = {&out.plane0(), &out.plane1(), &out.plane2()};
    for (int p = 0; p < 3; ++p)
        for (long y = 0; y < height; ++y)
            for (long x = 0; x < width; ++x)
                to[p]->pointToRow(y)[x] =
                    from[p]->pointToRow(y % photo.height())[x % photo.width()];
    return out;
}

cv::Mat toMat(const kv3PlanePelBuffer& image) {
    cv::Mat bgr(static_cast<int>(image.height()), static_cast<int>(image.width()), CV_8UC3);
    for (int y = 0; y < bgr.rows; ++y) {
        unsigned char* d = bgr.ptr<unsigned char>(y);
        for (int x = 0; x < bgr.cols; ++x) {
            d[3 * x] = image.plane2().pointToRow(y)[x];
            d[3 * x + 1] = image.plane1().pointToRow(y)[x];
            d[3 * x + 2] = image.plane0().pointToRow(y)[x];
        }
    }
    return bgr;
}

kvPelBuffer<unsigned char> rectMask(const kvPelRect& window, const std::vector<cv::Rect>& rects) {
    kvPelBuffer<unsigned char> mask(window);
    kfPelSet(mask, static_cast<unsigned char>(0));
    for (const cv::Rect& r : rects)
        for (int y = r.y; y < r.y + r.height; ++y)
            std::memset(mask.pointToPel(r.x, y), 255, r.width);
    return mask;
}

struct OpenCvSegmenter {
    std::vector<cv::Mat> hists;
    cv::Mat kernel;

    OpenCvSegmenter(const cv::Mat& photo, std::size_t labels, int n) {
        const int channels[] = {0, 1, 2}, sizes[] = {51, 51, 51};
        const float range[] = {0, 256};
        const float* ranges[] = {range, range, range};
        for (std::size_t k = 0; k < labels; ++k) {
            cv::Mat mask = cv::Mat::zeros(photo.size(), CV_8U);
            for (const cv::Rect& r : kLabelRects[k]) mask(r).setTo(255);
            cv::Mat hist;
            cv::calcHist(&photo, 1, channels, mask, hist, 3, sizes, ranges);
            cv::normalize(hist, hist, 0, 255, cv::NORM_MINMAX);
            hists.push_back(hist);
        }
        const cv::Mat g = cv::getGaussianKernel(n, -1, CV_32F);
        kernel = g * g.t();
    }

    struct Buffers {
        cv::Mat back, score, best, greater, label;
    };

    void run(const cv::Mat& frame, Buffers& b) const {
        const int channels[] = {0, 1, 2};
        const float range[] = {0, 256};
        const float* ranges[] = {range, range, range};
        for (std::size_t k = 0; k < hists.size(); ++k) {
            cv::calcBackProject(&frame, 1, channels, hists[k], b.back, ranges);
            cv::filter2D(b.back, k == 0 ? b.best : b.score, CV_32F, kernel);
            if (k == 0) {
                b.label.create(frame.size(), CV_8U);
                b.label.setTo(0);
                continue;
            }
            cv::compare(b.score, b.best, b.greater, cv::CMP_GT);
            cv::max(b.best, b.score, b.best);
            b.label.setTo(static_cast<int>(k), b.greater);
        }
    }
};

struct Timing {
    double best, median;
};

// Times ours and theirs frame by frame in turn, so that both see the same
// load on a shared machine; three warm-up frames each first (a reused result
// and the allocator settle over the first frames).
std::pair<Timing, Timing> timeBoth(int repeats, const std::function<void()>& ours,
                                   const std::function<void()>& theirs) {
    std::vector<double> ms[2];
    const std::function<void()>* frames[2] = {&ours, &theirs};
    for (int i = 0; i < 3; ++i)
        for (const auto* frame : frames) (*frame)();
    for (int i = 0; i < repeats; ++i)
        for (int k = 0; k < 2; ++k) {
            const auto start = std::chrono::steady_clock::now();
            (*frames[k])();
            ms[k].push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
        }
    Timing t[2];
    for (int k = 0; k < 2; ++k) {
        std::sort(ms[k].begin(), ms[k].end());
        t[k] = {ms[k].front(), ms[k][ms[k].size() / 2]};
    }
    return {t[0], t[1]};
}

}  // namespace

int main(int argc, char** argv) {
    // [repeats per row, 0: the default] [1 or 12: that size only, 0: both] [avx2 | portable]
    const auto number = [&](int i) {
        char* end = nullptr;
        const long v = argc > i ? std::strtol(argv[i], &end, 10) : 0;
        return argc > i && (*end != '\0' || end == argv[i] || v < 0 || v > 1000) ? -1 : int(v);
    };
    const int repeatArg = number(1), onlySize = number(2);
    const bool isaKnown =
        argc <= 3 || std::strcmp(argv[3], "avx2") == 0 || std::strcmp(argv[3], "portable") == 0;
    if (repeatArg < 0 || !(onlySize == 0 || onlySize == 1 || onlySize == 12) || !isaKnown ||
        argc > 4) {
        std::fprintf(stderr,
                     "usage: peer_bench [REPEATS (0: the default)] [1 | 12 (one size; 0: both)] "
                     "[avx2 | portable]\n");
        return 2;
    }
    if (argc > 3 && std::strcmp(argv[3], "avx2") == 0) kvSetSimdLimit(kvSimdLevel::Avx2);
    if (argc > 3 && std::strcmp(argv[3], "portable") == 0) kvSetSimdLimit(kvSimdLevel::Portable);
    const char* const isaNames[] = {"plain", "AVX2", "AVX-512"};
    const char* isa = isaNames[static_cast<int>(kvActiveSimd())];
    cv::setNumThreads(1);
    const kv3PlanePelBuffer photo = readColorImage(CLSG_DEMO_PHOTO);
    const cv::Mat photoMat = toMat(photo);

    std::printf("%-6s %2s %6s %-6s %19s %19s %8s %-7s %9s %8s\n", "size", "N", "labels", "result",
                "ours ms best/med", "OpenCV ms best/med", "ours/CV", "isa", "held B/px", "peak MB");
    const struct {
        const char* name;
        int megapixels;
        long width, height;
        int repeats;
    } sizes[] = {{"1 MP", 1, 1200, 840, 9}, {"12 MP", 12, 4200, 3000, 3}};
    for (const auto& size : sizes) {
        if (onlySize != 0 && onlySize != size.megapixels) continue;
        const kv3PlanePelBuffer frame = tiled(photo, size.width, size.height);
        const cv::Mat frameMat = toMat(frame);
        const int repeats = repeatArg > 0 ? repeatArg : size.repeats;
        for (std::size_t labels : {2u, 5u}) {
            std::vector<kvCompositeColorSet> sets;
            for (std::size_t k = 0; k < labels; ++k)
                sets.push_back(kvCompositeColorSet(
                    {kvCompositeColor(photo, rectMask(photo.window(), kLabelRects[k]))}));
            kvCompositeColorSegmenterTool tool;
            tool.train(sets, kvCompositeColorSegmenterTrainParams());
            for (int n : {3, 9}) {
                const kvCompositeColorSegmenterRunParams params(n, false);
                const OpenCvSegmenter peer(photoMat, labels, n);
                for (bool reused : {true, false}) {
                    const std::size_t base = heap::now;
                    std::size_t held = 0, peak = 0;
                    kvCompositeColorSegmenterResult kept;
                    OpenCvSegmenter::Buffers keptMats;
                    const auto [ours, cv] = timeBoth(
                        repeats,
                        [&] {
                            heap::peak = heap::now.load();
                            kvCompositeColorSegmenterResult fresh;
                            kvCompositeColorSegmenterResult& r = reused ? kept : fresh;
                            tool.run(frame, params, r);
                            r.labelImage();
                            held = std::max(held, heap::now - base);
                            peak = std::max(peak, heap::peak - base);
                        },
                        [&] {
                            OpenCvSegmenter::Buffers fresh;
                            peer.run(frameMat, reused ? keptMats : fresh);
                        });
                    const double pixels = static_cast<double>(size.width * size.height);
                    std::printf(
                        "%-6s %2d %6zu %-6s %9.1f/%9.1f %9.1f/%9.1f %8.2f %-7s %9.2f %8.1f\n",
                        size.name, n, labels, reused ? "reused" : "fresh", ours.best, ours.median,
                        cv.best, cv.median, ours.median / cv.median, isa,
                        static_cast<double>(held) / pixels, static_cast<double>(peak) / 1e6);
                    std::fflush(stdout);
                }
            }
        }
    }
    return 0;
}
