// Label, best-score, second-score and confidence images of a run.
#include <cmath>

#include "clsg/clrsgint/abort_poll.h"
#include "clsg/clrsgint/internal_result.h"
#include "platform/pel_ops.h"

void kvCompositeColorSegmenterInternalResult::computeLabelImages() {
    if (labelImage.isBound()) return;
    const kvPelRect w = labelScores.at(0).window();
    // Built into locals and kept only when complete, so an abort leaves the
    // caches unbound.
    kvPelBuffer<unsigned char> labels(w, 32);
    kvPelBuffer<double> best(w, 32);
    kvPelBuffer<double> second(w, 32);
    kfPelSet(labels, static_cast<unsigned char>(255));
    kfPelSet(best, 0.0);
    kfPelSet(second, 0.0);

    for (std::size_t k = 0; k < labelScores.size(); ++k) {
        for (long y = w.top(); y < w.bottom(); ++y) {
            pollAttentionAtRow(y);
            const double* s = labelScores[k].pointToRow(y);
            unsigned char* l = labels.pointToRow(y);
            double* b = best.pointToRow(y);
            double* b2 = second.pointToRow(y);
            for (long x = 0; x < w.width(); ++x) {
                // Strict comparisons: the lower label keeps a tie, NaN never wins.
                if (s[x] > b[x]) {
                    b2[x] = b[x];
                    b[x] = s[x];
                    l[x] = static_cast<unsigned char>(k);
                } else if (s[x] > b2[x]) {
                    b2[x] = s[x];
                }
            }
        }
    }
    labels.imageFromClientXformBase(imageFromClientXform, true);
    best.imageFromClientXformBase(imageFromClientXform, true);
    second.imageFromClientXformBase(imageFromClientXform, true);
    labelImage = labels;
    bestScore = best;
    secondScore = second;
}

void kvCompositeColorSegmenterInternalResult::computeConfidenceImage() {
    if (confidenceImage.isBound()) return;
    computeLabelImages();
    const kvPelRect w = labelScores.at(0).window();
    kvPelBuffer<unsigned char> confidence(w, 32);
    kfPelSet(confidence, static_cast<unsigned char>(0));
    for (long y = w.top(); y < w.bottom(); ++y) {
        pollAttentionAtRow(y);
        const double* b = bestScore.pointToRow(y);
        const double* s2 = secondScore.pointToRow(y);
        unsigned char* c = confidence.pointToRow(y);
        for (long x = 0; x < w.width(); ++x) {
            if (b[x] == 0.0 || std::isnan(b[x])) continue;
            const double q = (b[x] - s2[x]) / (s2[x] + b[x]) * 255.0;
            c[x] = static_cast<unsigned char>(kfILimit(iRound(static_cast<float>(q)), 0, 255));
        }
    }
    confidence.imageFromClientXformBase(imageFromClientXform, true);
    confidenceImage = confidence;
}
