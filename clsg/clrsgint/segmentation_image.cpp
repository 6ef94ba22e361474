// Score sum and per-label segmentation images.
#include <cmath>
#include <cstring>

#include "clsg/clrsgint/abort_poll.h"
#include "clsg/clrsgint/internal_result.h"

void kvCompositeColorSegmenterInternalResult::computeScoreSum() {
    if (scoreSum.isBound()) return;
    const kvPelRect w = image.window();
    kvPelBuffer<double> sum(w, 32);
    // Per pixel: label 0's score, then each further label's added in label order.
    clsgint::LabelScoreRows scores = labelScores.rows(labelScores.all());
    for (long y = w.top(); y < w.bottom(); ++y) {
        pollAttentionAtRow(y);
        const double* const* rows = scores.row(y);
        double* t = sum.pointToRow(y);
        std::memcpy(t, rows[0], static_cast<std::size_t>(w.width()) * sizeof(double));
        for (std::size_t k = 1; k < labelScores.size(); ++k) {
            const double* s = rows[k];
            for (long x = 0; x < w.width(); ++x) t[x] += s[x];
        }
    }
    sum.imageFromClientXformBase(imageFromClientXform, true);
    scoreSum = sum;
}

kvPelBuffer<unsigned char> kvCompositeColorSegmenterInternalResult::computeSegmentationImage(
    unsigned char label) {
    computeScoreSum();
    const kvPelRect w = image.window();
    kvPelBuffer<unsigned char> seg(w, 32);
    clsgint::LabelScoreRows scores = labelScores.rows({label});
    for (long y = w.top(); y < w.bottom(); ++y) {
        pollAttentionAtRow(y);
        const double* t = scoreSum.pointToRow(y);
        const double* s = scores.row(y)[0];
        unsigned char* out = seg.pointToRow(y);
        for (long x = 0; x < w.width(); ++x) {
            if (t[x] == 0.0 || std::isnan(t[x])) {
                out[x] = 0;
                continue;
            }
            const double v = s[x] * 255.0 / t[x];
            // Half away from zero. Scores from a run give 0..255; the clamp
            // keeps values loaded from elsewhere (negative, infinite, NaN)
            // from converting out of range.
            const double r = v >= 0.0 ? v + 0.5 : v - 0.5;
            long q = 0;
            if (r >= 255.0)
                q = 255;
            else if (r > 0.0)
                q = static_cast<long>(r);
            out[x] = static_cast<unsigned char>(q);
        }
    }
    seg.imageFromClientXformBase(imageFromClientXform, true);
    return seg;
}
