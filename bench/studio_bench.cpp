// The studio's answer to a stroke, measured at the server: the marks of a
// small stroke change, then training, the run and the encoding of the label
// image that goes to the page. 1 and 12 megapixels of natural-looking
// content, three labels painted with brush-sized discs; on 12 megapixels
// also the first answer, for a 1400 x 800 window on screen.
// BM_KeptConnectionRequest: a small request on a kept connection, at the
// client, as the page sends them one after the other.
//   studio_bench --benchmark_repetitions=7   (reports mean, median and min)
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "studio/studio_runs.h"
#include "studio/studio_server.h"
#include "studio/studio_session.h"
#include "synthetic_image.h"

using namespace clsg;

namespace {

kv3PlanePelBuffer toImage(const kvSyntheticImage& s) {
    kv3PlanePelBuffer image(kvPelRect(0, 0, s.width, s.height));
    const kvPelBuffer<unsigned char>* planes[3] = {&image.plane0(), &image.plane1(),
                                                   &image.plane2()};
    for (int p = 0; p < 3; ++p)
        for (long y = 0; y < s.height; ++y)
            std::memcpy(planes[p]->pointToRow(y), &s.plane[p][y * s.width], s.width);
    return image;
}

// A disc of diameter 24 for label (value - 1) at (cx, cy).
void paintDisc(StudioSession& session, long cx, long cy, uint8_t value) {
    const long d = 24;
    std::vector<uint8_t> values(d * d);
    for (long y = 0; y < d; ++y)
        for (long x = 0; x < d; ++x)
            values[y * d + x] =
                (x - d / 2) * (x - d / 2) + (y - d / 2) * (y - d / 2) <= d * d / 4 ? value : 0;
    session.paintMarks(0, cx - d / 2, cy - d / 2, d, d, values);
}

void BM_StrokeToSegmentation(benchmark::State& state) {
    const long width = state.range(0), height = state.range(1);
    const kvPelRect window =
        state.range(2) ? kvPelRect(width / 3, height / 3, 1400, 800) : kvPelRect();
    StudioSession session("unused");
    session.addImage("bench", "", toImage(makeSyntheticImage(width, height, 7)));
    for (int label = 0; label < 3; ++label) {
        session.addLabel("label" + std::to_string(label), 0);
        for (int k = 0; k < 4; ++k)
            paintDisc(session, width / 8 + (width / 4) * label, height / 6 + (height / 6) * k,
                      static_cast<uint8_t>(label + 1));
    }
    session.segment(0, StudioView::Labels);  // warm the kernel cache
    long stroke = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        // One new stroke per answer, as a person paints.
        const int label = static_cast<int>(stroke % 3);
        paintDisc(session, width / 8 + (width / 4) * label + 30 + stroke % 50,
                  height / 2 + stroke % 70, static_cast<uint8_t>(label + 1));
        ++stroke;
        const StudioSegmentation seg = session.segment(0, StudioView::Labels, window);
        const std::string sent = encodeRuns(seg.pixels.data(), seg.pixels.size());
        bytes = std::min(sent.size(), seg.pixels.size());
        benchmark::DoNotOptimize(sent.data());
    }
    state.counters["sent_bytes"] = static_cast<double>(bytes);
}

BENCHMARK(BM_StrokeToSegmentation)
    ->ArgNames({"width", "height", "window"})
    ->Args({1024, 1024, 0})
    ->Args({4000, 3000, 0})
    ->Args({4000, 3000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ComputeStatistics("min", [](const std::vector<double>& v) {
        return *std::min_element(v.begin(), v.end());
    });

void BM_KeptConnectionRequest(benchmark::State& state) {
    StudioSession session("unused");
    session.addImage("bench", "", toImage(makeSyntheticImage(64, 48, 7)));
    const std::string token(32, 'a');
    StudioServer server(session, token);
    const int port = server.bind(0);
    std::thread serving([&] { server.serve(); });
    {
        httplib::Client client("127.0.0.1", port);
        client.set_keep_alive(true);
        client.set_default_headers({{"X-Clsg-Token", token}});
        for (auto _ : state) {
            const httplib::Result r = client.Get("/api/state");
            if (!r || r->status != 200) state.SkipWithError("the studio did not answer");
        }
    }
    server.stop();
    serving.join();
}

BENCHMARK(BM_KeptConnectionRequest)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ComputeStatistics("min", [](const std::vector<double>& v) {
        return *std::min_element(v.begin(), v.end());
    });

}  // namespace
