#include "clsg/live/frame_runner.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "clsg/colorseg/errors.h"
#include "clsg/colorseg/intensity_gain.h"
#include "clsg/colorseg/segmenter_result.h"
#include "clsg/platform/three_plane.h"
#include "clsg/tiled/tiled_run.h"

namespace clsg {

namespace {

// One band of output rows, its input rows with the halo, and what it keeps
// from frame to frame.
struct Band {
    kvPelRect out, in;
    kv3PlanePelBuffer planes;  // over `in`
    kvCompositeColorSegmenterResult result;
    std::array<uint64_t, 256> histogram{};  // of the band's output rows
};

#if defined(__SSE2__)
// Byte `at` of sixteen 4-byte pixels from p: shifted down, masked, packed.
inline __m128i channel16(const unsigned char* p, int at) {
    const __m128i count = _mm_cvtsi32_si128(8 * at), low = _mm_set1_epi32(0xff);
    __m128i q[4];
    for (int k = 0; k < 4; ++k)
        q[k] = _mm_and_si128(
            _mm_srl_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k)), count),
            low);
    return _mm_packus_epi16(_mm_packs_epi32(q[0], q[1]), _mm_packs_epi32(q[2], q[3]));
}
#endif

// One row of n pixels from p into r, g and b through table (identity: table[v] == v).
void unpackRow(const unsigned char* p, long n, const PixelLayout& l, const unsigned char* table,
               bool identity, unsigned char* r, unsigned char* g, unsigned char* b) {
    long x = 0;
#if defined(__SSE2__)
    if (identity && l.bytes == 4)
        for (; x + 16 <= n; x += 16, p += 64) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(r + x), channel16(p, l.red));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(g + x), channel16(p, l.green));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(b + x), channel16(p, l.blue));
        }
#else
    (void)identity;
#endif
    for (; x < n; ++x, p += l.bytes) {
        r[x] = table[p[l.red]];
        g[x] = table[p[l.green]];
        b[x] = table[p[l.blue]];
    }
}

// Unpacks rect of frame into planes (over rect), through table.
void unpack(const FrameView& frame, const kvPelRect& rect, const unsigned char* table,
            const kv3PlanePelBuffer& planes) {
    const PixelLayout& l = frame.layout;
    bool identity = true;
    for (int v = 0; v < 256; ++v) identity = identity && table[v] == v;
    for (long y = rect.top(); y < rect.bottom(); ++y)
        unpackRow(frame.data + y * frame.stride + rect.left() * l.bytes, rect.width(), l, table,
                  identity, planes.plane0().pointToRow(y), planes.plane1().pointToRow(y),
                  planes.plane2().pointToRow(y));
}

// A histogram of labels kept four times over, so that runs of one label do not wait on their
// own increments.
struct LabelCounts {
    uint64_t counts[4][256] = {};

    void add(const unsigned char* row, long n) {
        long x = 0;
        for (; x + 4 <= n; x += 4) {
            ++counts[0][row[x]];
            ++counts[1][row[x + 1]];
            ++counts[2][row[x + 2]];
            ++counts[3][row[x + 3]];
        }
        for (; x < n; ++x) ++counts[0][row[x]];
    }
    void sumInto(std::array<uint64_t, 256>& histogram) const {
        for (int v = 0; v < 256; ++v)
            histogram[v] = counts[0][v] + counts[1][v] + counts[2][v] + counts[3][v];
    }
};

}  // namespace

struct FrameRunner::State {
    unsigned threads = 1;
    long bandRows = 0;  // 0: chosen per frame size

    // The plan: bands for frames of this size and neighbourhood.
    long width = 0, height = 0, halo = -1;
    std::vector<Band> bands;

    // Intensity normalisation: the whole frame (for the gain search), a
    // ramp 0..255 and the table the gain maps it to.
    kv3PlanePelBuffer whole, ramp;
    double tableGain = -1.0;
    unsigned char identity[256];
    unsigned char gainTable[256];

    // The frame in flight.
    const kvCompositeColorSegmenterTool* tool = nullptr;
    int32_t neighborhood = 1;
    const FrameView* frame = nullptr;
    const unsigned char* table = nullptr;
    unsigned char* labels = nullptr;
    std::ptrdiff_t labelStride = 0;
    void (*rowsJob)(void*, long, long) = nullptr;  // forEachBand's, else segmenting
    void* rowsContext = nullptr;
    std::array<uint64_t, 256> histogram{};
    std::atomic<long> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;

    // Runs the job set up on every band, on the pool and this thread.
    void dispatch() {
        next = 0;
        failed = false;
        error = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            busy = static_cast<unsigned>(pool.size());
            ++generation;
        }
        // Every worker wakes; those that find no band left go back to waiting.
        wake.notify_all();
        work();
        std::unique_lock<std::mutex> lock(mutex);
        finished.wait(lock, [&]() { return busy == 0; });
    }

    // The workers (threads - 1 of them) and their hand-over.
    std::vector<std::thread> pool;
    std::mutex mutex;
    std::condition_variable wake, finished;
    uint64_t generation = 0;
    unsigned busy = 0;
    bool quit = false;

    // The workers stop here, also when the constructor fails part way (a
    // joinable thread destroyed would end the process).
    ~State() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            quit = true;
        }
        wake.notify_all();
        for (std::thread& t : pool) t.join();
    }

    void runBand(Band& band) {
        unpack(*frame, band.in, table, band.planes);
        tool->run(band.planes, kvCompositeColorSegmenterRunParams(neighborhood, false),
                  band.result);
        const kvPelBuffer_const<unsigned char> label = band.result.labelImage();
        LabelCounts counts;
        for (long y = band.out.top(); y < band.out.bottom(); ++y) {
            const unsigned char* row = label.pointToRow(y);
            std::memcpy(labels + y * labelStride, row, static_cast<std::size_t>(band.out.width()));
            counts.add(row, band.out.width());
        }
        counts.sumInto(band.histogram);
    }

    void work() {
        const long count = static_cast<long>(bands.size());
        for (long b; !failed && (b = next++) < count;) {
            try {
                Band& band = bands[static_cast<std::size_t>(b)];
                if (rowsJob)
                    rowsJob(rowsContext, band.out.top(), band.out.bottom());
                else
                    runBand(band);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                if (!error) error = std::current_exception();
                failed = true;
            }
        }
    }

    void worker() {
        uint64_t seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                wake.wait(lock, [&]() { return quit || generation != seen; });
                if (quit) return;
                seen = generation;
            }
            work();
            std::lock_guard<std::mutex> lock(mutex);
            if (--busy == 0) finished.notify_one();
        }
    }

    void plan(long w, long h, long reach) {
        if (w == width && h == height && reach == halo) return;
        bands.clear();
        width = w;
        height = h;
        halo = reach;
        // As the tiled runner chooses: about a quarter of a megapixel per
        // band, at least 32 times the halo.
        const long rows = bandRows > 0 ? bandRows : std::max({16L, 32 * halo, (1L << 18) / width});
        const kvPelRect image(0, 0, w, h);
        for (long top = 0; top < h; top += rows) {
            Band band;
            band.out = kvPelRect(0, top, w, std::min(h, top + rows) - top);
            const long inTop = std::max(0L, top - halo);
            const long inBottom = std::min(h, band.out.bottom() + halo);
            band.in = kvPelRect(0, inTop, w, inBottom - inTop);
            band.planes = kv3PlanePelBuffer(band.in);
            bands.push_back(std::move(band));
        }
        whole = kv3PlanePelBuffer();
    }
};

FrameRunner::FrameRunner(unsigned threads, long bandRows) : state_(new State) {
    State& s = *state_;
    s.bandRows = bandRows;
    s.threads = threads ? threads : std::max(1u, std::thread::hardware_concurrency());
    for (int v = 0; v < 256; ++v) s.identity[v] = static_cast<unsigned char>(v);
    s.ramp = kv3PlanePelBuffer(kvPelRect(0, 0, 256, 1));
    for (const auto* p : {&s.ramp.plane0(), &s.ramp.plane1(), &s.ramp.plane2()})
        std::memcpy(p->pointToRow(0), s.identity, 256);
    try {
        for (unsigned t = 1; t < s.threads; ++t) s.pool.emplace_back([&s]() { s.worker(); });
    } catch (const std::system_error&) {
        // Fewer threads share the bands.
    }
}

FrameRunner::~FrameRunner() = default;

unsigned FrameRunner::threads() const { return static_cast<unsigned>(state_->pool.size()) + 1; }

void FrameRunner::run(const kvCompositeColorSegmenterTool& tool,
                      const kvCompositeColorSegmenterRunParams& params, const FrameView& frame,
                      unsigned char* labels, std::ptrdiff_t labelStride) {
    using Defs = kvCompositeColorSegmenterDefs;
    State& s = *state_;
    const PixelLayout& l = frame.layout;
    if (!frame.data || frame.width <= 0 || frame.height <= 0)
        throw Defs::BadImage("frame is empty");
    if (l.bytes < 1 || std::max({l.red, l.green, l.blue}) >= l.bytes ||
        std::min({l.red, l.green, l.blue}) < 0 || frame.stride < frame.width * l.bytes ||
        labelStride < frame.width)
        throw Defs::BadImage("frame layout does not fit its pixels");
    const std::size_t row =
        static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(l.bytes);
    if (frame.size < row || static_cast<std::size_t>(frame.height - 1) >
                                (frame.size - row) / static_cast<std::size_t>(frame.stride))
        throw Defs::BadImage("the frame's rows reach past the memory it was mapped from: " +
                             std::to_string(frame.height) + " rows " +
                             std::to_string(frame.stride) + " bytes apart, in " +
                             std::to_string(frame.size) + " bytes");
    if (params.neighborhoodSize() > kvCompositeColorSegmenterRunParams::kMaxNeighborhoodSize)
        throw Defs::BadParams("neighborhoodSize > 255");
    if (!tool.isTrained()) throw Defs::NotTrained();

    s.plan(frame.width, frame.height, tiledHalo(params.neighborhoodSize()));
    s.table = s.identity;
    if (params.normalizeIntensity()) {
        // The gain is searched on the whole frame, then every band runs on
        // the gain-mapped channels (the library's own table, read off a ramp).
        if (!s.whole.isBound()) s.whole = kv3PlanePelBuffer(kvPelRect(0, 0, s.width, s.height));
        unpack(frame, s.whole.window(), s.identity, s.whole);
        const double gain = kfSearchIntensityGain(tool, s.whole);
        if (gain != s.tableGain) {
            const kv3PlanePelBuffer mapped = kfApplyIntensityGain(s.ramp, gain);
            std::memcpy(s.gainTable, mapped.plane0().pointToRow(0), 256);
            s.tableGain = gain;
        }
        s.table = s.gainTable;
    }

    s.tool = &tool;
    s.neighborhood = params.neighborhoodSize();
    s.frame = &frame;
    s.labels = labels;
    s.labelStride = labelStride;
    s.rowsJob = nullptr;
    s.histogram.fill(0);
    s.dispatch();
    s.frame = nullptr;
    if (s.error) {
        s.width = s.height = 0;  // the frame's labels are incomplete
        std::rethrow_exception(s.error);
    }
    for (const Band& band : s.bands)
        for (std::size_t v = 0; v < 256; ++v) s.histogram[v] += band.histogram[v];
}

const std::array<uint64_t, 256>& FrameRunner::histogram() const { return state_->histogram; }

void FrameRunner::forEachBand(void (*f)(void* context, long top, long bottom), void* context) {
    State& s = *state_;
    s.rowsJob = f;
    s.rowsContext = context;
    s.dispatch();
    s.rowsJob = nullptr;
    if (s.error) std::rethrow_exception(s.error);
}

}  // namespace clsg
