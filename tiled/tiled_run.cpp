#include "clsg/tiled/tiled_run.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
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
    plan.halo = tiledHalo(params.neighborhoodSize());
    const long automatic = std::max({16L, 32 * plan.halo, (1L << 18) / plan.window.width()});
    plan.bandRows = options.bandRows > 0 ? options.bandRows : automatic;
    plan.bands = (plan.window.height() - 1) / plan.bandRows + 1;
    plan.normalize = params.normalizeIntensity();
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

    std::vector<kvPelBuffer<unsigned char>*> wanted;
    if (outputs.label) wanted.push_back(&images.label);
    if (outputs.confidence) wanted.push_back(&images.confidence);
    if (outputs.score) wanted.push_back(&images.score);
    images.segmentations.resize(outputs.segmentations.size());
    for (auto& s : images.segmentations) wanted.push_back(&s);
    if (wanted.empty()) return images;
    std::vector<Target> targets;
    for (kvPelBuffer<unsigned char>* b : wanted) {
        *b = kvPelBuffer<unsigned char>(plan.window);
        targets.push_back({b->pointToPel(plan.window.left(), plan.window.top()), b->rowStride()});
    }

    const long total = plan.window.height();
    const auto rowsOf = [&](long band) { return bandOutput(plan, band).height(); };
    kv2XformHandle xform;
    unsigned threads = options.threads ? options.threads : std::thread::hardware_concurrency();
    threads = static_cast<unsigned>(std::clamp<long>(threads, 1, plan.bands));

    if (threads == 1) {
        kvCompositeColorSegmenterResult result;
        long done = 0;
        for (long band = 0; band < plan.bands; ++band) {
            kv2XformHandle x = runBand(tool, image, params, outputs, plan, targets, band, result);
            if (band == 0) xform = x;
            done += rowsOf(band);
            if (options.progress && !options.progress(done, total)) throw kvAbortRequested();
        }
    } else {
        std::atomic<long> next{0};
        std::atomic<bool> stop{false};
        std::mutex mutex;
        std::condition_variable changed;
        long done = 0;
        unsigned running = threads;
        std::exception_ptr error;

        const auto worker = [&]() {
            kvCompositeColorSegmenterResult result;
            for (long band; !stop && (band = next++) < plan.bands;) {
                try {
                    kv2XformHandle x =
                        runBand(tool, image, params, outputs, plan, targets, band, result);
                    std::lock_guard<std::mutex> lock(mutex);
                    if (band == 0) xform = x;
                    done += rowsOf(band);
                } catch (...) {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (!error) error = std::current_exception();
                    stop = true;
                }
                changed.notify_one();
            }
            std::lock_guard<std::mutex> lock(mutex);
            --running;
            changed.notify_one();
        };
        std::vector<std::thread> pool;
        try {
            for (unsigned t = 0; t < threads; ++t) pool.emplace_back(worker);
        } catch (...) {
            stop = true;
            for (std::thread& t : pool) t.join();
            throw;
        }

        bool cancelled = false;
        long reported = 0;
        std::unique_lock<std::mutex> lock(mutex);
        // Reports every change of the row count, the last one included, and
        // ends once the workers have finished and nothing is left to report.
        for (;;) {
            changed.wait(lock, [&]() { return running == 0 || done != reported; });
            if (done == reported) break;
            reported = done;
            if (!options.progress || cancelled) continue;
            lock.unlock();
            bool goOn = false;
            std::exception_ptr thrown;
            try {
                goOn = options.progress(reported, total);
            } catch (...) {
                thrown = std::current_exception();
            }
            lock.lock();
            if (!goOn) {
                cancelled = true;
                stop = true;
                if (thrown && !error) error = thrown;
            }
        }
        lock.unlock();
        for (std::thread& t : pool) t.join();
        if (error) std::rethrow_exception(error);
        if (cancelled) throw kvAbortRequested();
    }

    for (kvPelBuffer<unsigned char>* b : wanted) b->imageFromClientXformBase(xform, true);
    return images;
}

}  // namespace clsg
