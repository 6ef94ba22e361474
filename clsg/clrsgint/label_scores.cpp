#include "clsg/clrsgint/label_scores.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "clsg/clrsgint/abort_poll.h"
#include "clsg/clrsgint/buffer_views.h"
#include "clsg/clrsgint/instance_scoring.h"
#include "clsg/clrsgint/internal_result.h"
#include "clsg/clrsgint/label_pass.h"

namespace {

// Copies a finished score row to its image, with stores that bypass the cache when streaming
// (those need not fetch the image's old contents first either).
void storeRow(const double* from, double* to, long count, bool stream) {
#if defined(__SSE2__)
    if (!stream) {
        std::memcpy(to, from, sizeof(double) * static_cast<std::size_t>(count));
        return;
    }
    long i = 0;
    if (count > 0 && reinterpret_cast<std::uintptr_t>(to) % 16 != 0) to[i] = from[i], ++i;
    for (; i + 2 <= count; i += 2) _mm_stream_pd(to + i, _mm_loadu_pd(from + i));
    if (i < count) to[i] = from[i];
#else
    (void)stream;
    std::memcpy(to, from, sizeof(double) * static_cast<std::size_t>(count));
#endif
}

void storesDone() {
#if defined(__SSE2__)
    _mm_sfence();  // the streamed rows are in memory before the buffers change hands
#endif
}

}  // namespace

void clsgint::computeLabelScores(const kvCompositeColorSegmenterModel& model,
                                 const kv3PlanePelBuffer_const& image,
                                 const kvCompositeColorSegmenterRunParams& params,
                                 std::vector<kvPelBuffer<double>>& labelScores,
                                 LabelImages* labelImages, double togetherBytes,
                                 double streamBytes) {
    // Buffers already held are reused where takeBuffer allows.
    const std::size_t labels = model.instanceCounts.size();
    const kvPelRect& w = image.window();
    const long width = w.width();
    labelScores.resize(labels);
    for (auto& scores : labelScores) scores = takeBuffer(scores, w);
    kvPelBuffer<unsigned char> label, confidence;
    if (labelImages) {
        label = takeBuffer(*labelImages->label, w);
        confidence = takeBuffer(*labelImages->confidence, w);
    }
    const kvPlanesView planes = planesOf(image);
    const int32_t size = params.neighborhoodSize();
    const double n = std::max(size, 1);
    const auto& instances = model.instanceModels;
    const double scorerBytes = 8.0 * n * (static_cast<double>(width) + n + 128);
    const bool together = scorerBytes * static_cast<double>(instances.size()) <= togetherBytes;
    std::vector<const double*> rows(labels);

    if (!together) {
        // One instance after the other over the whole image, then the label pass.
        std::size_t k = 0;
        for (std::size_t l = 0; l < labels; ++l)
            for (uint32_t i = 0; i < model.instanceCounts[l]; ++i) {
                const kvCompositeColorInstanceModel& m = instances.at(k++);
                scoreInstancePlanes(planes, m.quantTable.data(), m.weights.data(),
                                    static_cast<int32_t>(m.levelCount), m.normFactor, size, i == 0,
                                    viewOf(labelScores[l]));
            }
        for (long y = w.top(); labelImages && y < w.bottom(); ++y) {
            pollAttentionAtRow(y);
            for (std::size_t l = 0; l < labels; ++l) rows[l] = labelScores[l].pointToRow(y);
            labelPassRow(rows.data(), labels, width, label.pointToRow(y), confidence.pointToRow(y));
        }
    } else {
        // Every instance of every label row by row into a cached row per label, the row's label
        // pass on those, then the rows to the score images.
        std::vector<std::unique_ptr<InstanceRowScorer>> scorers;
        for (const kvCompositeColorInstanceModel& m : instances)
            scorers.push_back(std::make_unique<InstanceRowScorer>(
                planes, m.quantTable.data(), m.weights.data(), static_cast<int32_t>(m.levelCount),
                m.normFactor, size));
        const auto stride = static_cast<std::size_t>(width + 8);
        std::vector<double> scratch(stride * labels);
        const bool stream = 8.0 * static_cast<double>(labels) * static_cast<double>(width) *
                                static_cast<double>(w.height()) >
                            streamBytes;
        for (std::size_t l = 0; l < labels; ++l) rows[l] = scratch.data() + l * stride;
        for (long y = w.top(); y < w.bottom(); ++y) {
            pollAttentionAtRow(y);
            std::size_t k = 0;
            for (std::size_t l = 0; l < labels; ++l)
                for (uint32_t i = 0; i < model.instanceCounts[l]; ++i)
                    scorers.at(k++)->scoreRow(y, i == 0, scratch.data() + l * stride);
            if (labelImages)
                labelPassRow(rows.data(), labels, width, label.pointToRow(y),
                             confidence.pointToRow(y));
            for (std::size_t l = 0; l < labels; ++l)
                storeRow(rows[l], labelScores[l].pointToRow(y), width, stream);
        }
        storesDone();
    }
    if (labelImages) {
        *labelImages->label = label;
        *labelImages->confidence = confidence;
    }
}
