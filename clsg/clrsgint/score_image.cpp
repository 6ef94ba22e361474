// The score image: the best label score against the neighbourhood's
// self-similarity.
#include "clsg/clrsgint/score_image.h"

#include <cmath>
#include <vector>

#include "clsg/clrsgint/abort_poll.h"
#include "clsg/clrsgint/buffer_views.h"
#include "clsg/clrsgint/internal_result.h"
#include "clsg/clrsgint/self_similarity.h"
#include "clsg/platform/pel_ops.h"

void clsgint::computeSelfSimilarity(const kv3PlanePelBuffer_const& image, double colorToleranceFrac,
                                    int32_t neighborhoodSize,
                                    const std::array<float, 256>& reciprocalTable,
                                    const std::array<unsigned char, 256>& toleranceTable,
                                    unsigned char levelStep, kvPelBuffer<double>& out) {
    kvPelBuffer<double> similarity(image.window(), 32);
    clsgint::computeSelfSimilarityPlanes(planesOf(image), colorToleranceFrac, neighborhoodSize,
                                         reciprocalTable.data(), toleranceTable.data(), levelStep,
                                         viewOf(similarity));
    out = similarity;
}

void kvCompositeColorSegmenterInternalResult::computeScoreImage() {
    if (scoreImage.isBound()) return;
    computeLabelImages();
    const kvPelRect w = image.window();
    kvPelBuffer<unsigned char> score(w, 32);
    kvPelBuffer<double> self;
    clsgint::computeSelfSimilarity(image, colorToleranceFrac, neighborhoodSize, reciprocalTable,
                                   toleranceTable, levelStep, self);
    clsgint::LabelScoreRows scores = labelScores.rows(labelScores.all());
    for (long y = w.top(); y < w.bottom(); ++y) {
        pollAttentionAtRow(y);
        const double* const* rows = scores.row(y);
        const unsigned char* l = labelImage.pointToRow(y);
        const double* d = self.pointToPel(w.left(), y);
        unsigned char* out = score.pointToRow(y);
        for (long x = 0; x < w.width(); ++x) {
            // No self-similarity (f = 0, or a neighbourhood whose weights
            // are all 0): nothing to measure against, so 0.
            if (d[x] == 0.0 || std::isnan(d[x])) {
                out[x] = 0;
                continue;
            }
            // The best score: the winner's, 0 where no label scored.
            const double b = l[x] == 255 ? 0.0 : rows[l[x]][x];
            const double q = b / d[x] * 255.0;
            out[x] = static_cast<unsigned char>(kfILimit(iRound(static_cast<float>(q)), 0, 255));
        }
    }
    score.imageFromClientXformBase(imageFromClientXform, true);
    scoreImage = score;
}
