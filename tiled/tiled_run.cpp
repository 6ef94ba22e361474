#include "clsg/tiled/tiled_run.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "clsg/colorseg/errors.h"
#include "clsg/colorseg/intensity_gain.h"
#include "clsg/colorseg/segmenter_result.h"
#include "clsg/platform/exception.h"
#include "clsg/platform/pel_ops.h"

namespace clsg {

namespace {

// The plan of a run: the output window cut into bands of rows.
struct Plan {
    kvPelRect image;   // the input's window
    kvPelRect window;  // the output window
    long halo = 0;
    long bandRows = 0;
    long bands = 0;
    bool normalize = false;
    double gain = 1.0;
};

// Where one requested image goes: its first pel (window's top-left) and stride.
struct Target {
    unsigned char* origin;
    std::ptrdiff_t stride;
};

kvPelRect bandOutput(const Plan& plan, long band) {
    const long top = plan.window.top() + band * plan.bandRows;
    const long bottom = std::min(plan.window.bottom(), top + plan.bandRows);
    return kvPelRect(plan.window.left(), top, plan.window.width(), bottom - top);
}

// The band's output rows with the halo, cut to the image.
kvPelRect bandInput(const Plan& plan, const kvPelRect& out) {
    const long left = std::max(plan.image.left(), out.left() - plan.halo);
    const long top = std::max(plan.image.top(), out.top() - plan.halo);
    const long right = std::min(plan.image.right(), out.right() + plan.halo);
    const long bottom = std::min(plan.image.bottom(), out.bottom() + plan.halo);
    return kvPelRect(left, top, right - left, bottom - top);
}

kv3PlanePelBuffer bandImage(const kv3PlanePelBuffer_const& image, const kvPelRect& rect,
                            const Plan& plan) {
    kvPelBuffer_const<unsigned char> planes[3] = {image.plane0(), image.plane1(), image.plane2()};
    for (auto& p : planes) p.window(rect, false);
    kv3PlanePelBuffer band(kfPelCopy(planes[0]), kfPelCopy(planes[1]), kfPelCopy(planes[2]),
                           image.colorSpace());
    return plan.normalize ? kfApplyIntensityGain(band, plan.gain) : band;
}

void copyRows(const kvPelBuffer_const<unsigned char>& from, const kvPelRect& out, const Plan& plan,
              const Target& to) {
    for (long y = out.top(); y < out.bottom(); ++y)
        std::memcpy(to.origin + (y - plan.window.top()) * to.stride, from.pointToPel(out.left(), y),
                    static_cast<std::size_t>(out.width()));
}

// Runs one band into result and copies its rows of every requested image.
// Returns the transform of the band's images.
kv2XformHandle runBand(const kvCompositeColorSegmenterTool& tool,
                       const kv3PlanePelBuffer_const& image,
                       const kvCompositeColorSegmenterRunParams& params,
                       const TiledOutputs& outputs, const Plan& plan,
                       const std::vector<Target>& targets, long band,
                       kvCompositeColorSegmenterResult& result) {
    const kvPelRect out = bandOutput(plan, band);
    tool.run(bandImage(image, bandInput(plan, out), plan),
             kvCompositeColorSegmenterRunParams(params.neighborhoodSize(), false), result);
    std::size_t t = 0;
    kv2XformHandle xform;
    const auto take = [&](const kvPelBuffer_const<unsigned char>& from) {
        copyRows(from, out, plan, targets.at(t++));
        xform = from.imageFromClientXformBase();
    };
    if (outputs.label) take(result.labelImage());
    if (outputs.confidence) take(result.confidenceImage());
    if (outputs.score) take(result.scoreImage());
    for (unsigned char label : outputs.segmentations) take(result.segmentationImage(label));
    return xform;
}

// Everything a band needs, shared read-only by the threads.
struct Job {
    const kvCompositeColorSegmenterTool& tool;
    const kv3PlanePelBuffer_const& image;
    const kvCompositeColorSegmenterRunParams& params;
    const TiledOutputs& outputs;
    const TiledOptions& options;
    const Plan& plan;
    const std::vector<Target>& targets;

    // Runs the band into result (reused across bands) and copies its rows of
    // every requested image; returns the transform of the band's images.
    kv2XformHandle run(long band, kvCompositeColorSegmenterResult& result) const {
        return runBand(tool, image, params, outputs, plan, targets, band, result);
    }
    long rows(long band) const { return bandOutput(plan, band).height(); }
};

// The images of `images` that outputs asks for, in the order of the targets.
std::vector<kvPelBuffer<unsigned char>*> requested(const TiledOutputs& outputs,
                                                   TiledImages& images) {
    std::vector<kvPelBuffer<unsigned char>*> wanted;
    if (outputs.label) wanted.push_back(&images.label);
    if (outputs.confidence) wanted.push_back(&images.confidence);
    if (outputs.score) wanted.push_back(&images.score);
    images.segmentations.resize(outputs.segmentations.size());
    for (auto& s : images.segmentations) wanted.push_back(&s);
    return wanted;
}

// Every band on the calling thread, in order; progress after each.
kv2XformHandle runOnCaller(const Job& job) {
    kvCompositeColorSegmenterResult result;
    kv2XformHandle xform;
    long done = 0;
    for (long band = 0; band < job.plan.bands; ++band) {
        kv2XformHandle x = job.run(band, result);
        if (band == 0) xform = x;
        done += job.rows(band);
        if (job.options.progress && !job.options.progress(done, job.plan.window.height()))
            throw kvAbortRequested();
    }
    return xform;
}

// What the workers and the reporting thread share, under its mutex.
struct Progress {
    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<long> next{0};
    std::atomic<bool> stop{false};
    long done = 0;
    unsigned running = 0;
    std::exception_ptr error;
    kv2XformHandle xform;
};

// A worker: takes the next band until none is left or the run stops; the
// first failure stops the run.
void work(const Job& job, Progress& p) {
    kvCompositeColorSegmenterResult result;
    for (long band; !p.stop && (band = p.next++) < job.plan.bands;) {
        try {
            kv2XformHandle x = job.run(band, result);
            std::lock_guard<std::mutex> lock(p.mutex);
            if (band == 0) p.xform = x;
            p.done += job.rows(band);
        } catch (...) {
            std::lock_guard<std::mutex> lock(p.mutex);
            if (!p.error) p.error = std::current_exception();
            p.stop = true;
        }
        p.changed.notify_one();
    }
    std::lock_guard<std::mutex> lock(p.mutex);
    --p.running;
    p.changed.notify_one();
}

// Reports every change of the row count to the progress callback, the last
// one included, on the calling thread, until the workers have finished. A
// callback that returns false (or throws) stops the run; returns whether it
// did.
bool reportProgress(const Job& job, Progress& p) {
    bool cancelled = false;
    long reported = 0;
    std::unique_lock<std::mutex> lock(p.mutex);
    for (;;) {
        p.changed.wait(lock, [&]() { return p.running == 0 || p.done != reported; });
        if (p.done == reported) break;
        reported = p.done;
        if (!job.options.progress || cancelled) continue;
        lock.unlock();
        bool goOn = false;
        std::exception_ptr thrown;
        try {
            goOn = job.options.progress(reported, job.plan.window.height());
        } catch (...) {
            thrown = std::current_exception();
        }
        lock.lock();
        if (!goOn) {
            cancelled = true;
            p.stop = true;
            if (thrown && !p.error) p.error = thrown;
        }
    }
    return cancelled;
}

// The bands on up to `threads` worker threads, as many as the system lets
// start (none: all on the calling thread); progress on the calling thread.
kv2XformHandle runOnThreads(const Job& job, unsigned threads) {
    Progress p;
    std::vector<std::thread> pool;
    pool.reserve(threads);
    for (unsigned t = 0; t < threads; ++t) {
        std::lock_guard<std::mutex> lock(p.mutex);  // counted before it can finish
        try {
            pool.emplace_back(work, std::cref(job), std::ref(p));
            ++p.running;
        } catch (...) {  // no more threads to be had: those started take every band
            break;
        }
    }
    if (pool.empty()) return runOnCaller(job);
    const bool cancelled = reportProgress(job, p);
    for (std::thread& t : pool) t.join();
    if (p.error) std::rethrow_exception(p.error);
    if (cancelled) throw kvAbortRequested();
    return p.xform;
}

Plan makePlan(const kvCompositeColorSegmenterTool& tool, const kv3PlanePelBuffer_const& image,
              const kvCompositeColorSegmenterRunParams& params, const TiledOutputs& outputs,
              const TiledOptions& options) {
    using Defs = kvCompositeColorSegmenterDefs;
    if (!image.isBound()) throw kvPel::UnboundWindow();
    if (image.colorSpace() != kvColorSpaceRGB)
        throw Defs::BadColorSpace("image's color space is not RGB");
    if (image.window().isEmpty()) throw Defs::BadImage("image window is empty");
    if (params.neighborhoodSize() > kvCompositeColorSegmenterRunParams::kMaxNeighborhoodSize)
        throw Defs::BadParams("neighborhoodSize > 255");
    if (!tool.isTrained()) throw Defs::NotTrained();
    for (unsigned char label : outputs.segmentations)
        if (label >= tool.compositeColors().size()) throw Defs::BadParams("Invalid label");

    Plan plan;
    plan.image = image.window();
    plan.window = options.window.isEmpty() ? image.window() : options.window;
    if (!plan.image.contains(plan.window))
        throw Defs::BadImage("output window lies outside the image");
    // A negative count is a caller's slip, not a wish for the automatic height.
    if (options.bandRows < 0) throw Defs::BadParams("bandRows must be 0 (automatic) or more");
    plan.halo = tiledHalo(params.neighborhoodSize());
    const long automatic = std::max({16L, 32 * plan.halo, (1L << 18) / plan.window.width()});
    // No band is taller than the window, so that a band's bottom row never overflows.
    plan.bandRows =
        std::min(options.bandRows > 0 ? options.bandRows : automatic, plan.window.height());
    plan.bands = (plan.window.height() - 1) / plan.bandRows + 1;
    plan.normalize = params.normalizeIntensity();
    if (plan.normalize && !std::isfinite(options.gain))
        throw Defs::BadParams("the gain must be a finite number (negative: search it)");
    if (plan.normalize)
        plan.gain = options.gain >= 0.0 ? options.gain : kfSearchIntensityGain(tool, image);
    return plan;
}

}  // namespace

long tiledHalo(int32_t neighborhoodSize) {
    // Odd N reaches N / 2 on every side; even N reaches N / 2 up and left and
    // N / 2 - 1 down and right.
    return neighborhoodSize <= 1 ? 0 : neighborhoodSize / 2;
}

TiledImages tiledRun(const kvCompositeColorSegmenterTool& tool,
                     const kv3PlanePelBuffer_const& image,
                     const kvCompositeColorSegmenterRunParams& params, const TiledOutputs& outputs,
                     const TiledOptions& options) {
    const Plan plan = makePlan(tool, image, params, outputs, options);
    TiledImages images;
    images.gain = plan.gain;
    const std::vector<kvPelBuffer<unsigned char>*> wanted = requested(outputs, images);
    if (wanted.empty()) return images;
    std::vector<Target> targets;
    for (kvPelBuffer<unsigned char>* b : wanted) {
        *b = kvPelBuffer<unsigned char>(plan.window);
        targets.push_back({b->pointToPel(plan.window.left(), plan.window.top()), b->rowStride()});
    }
    const Job job{tool, image, params, outputs, options, plan, targets};
    unsigned threads = options.threads ? options.threads : std::thread::hardware_concurrency();
    threads = static_cast<unsigned>(std::clamp<long>(threads, 1, plan.bands));
    const kv2XformHandle xform = threads == 1 ? runOnCaller(job) : runOnThreads(job, threads);
    for (kvPelBuffer<unsigned char>* b : wanted) b->imageFromClientXformBase(xform, true);
    return images;
}

}  // namespace clsg
