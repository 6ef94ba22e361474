// Label and confidence images of a run, in one pass.
#include <vector>

#include "clsg/clrsgint/abort_poll.h"
#include "clsg/clrsgint/internal_result.h"
#include "clsg/clrsgint/label_pass.h"

void kvCompositeColorSegmenterInternalResult::computeLabelImages() {
    if (labelImage.isBound()) return;
    const kvPelRect w = labelScores.at(0).window();
    // Built into locals and kept only when complete, so an abort leaves the
    // caches unbound.
    kvPelBuffer<unsigned char> labels = takeBuffer(spares.labelImage, w);
    kvPelBuffer<unsigned char> confidence = takeBuffer(spares.confidenceImage, w);
    std::vector<const double*> rows(labelScores.size());
    for (long y = w.top(); y < w.bottom(); ++y) {
        pollAttentionAtRow(y);
        for (std::size_t k = 0; k < rows.size(); ++k) rows[k] = labelScores[k].pointToRow(y);
        clsgint::labelPassRow(rows.data(), rows.size(), w.width(), labels.pointToRow(y),
                              confidence.pointToRow(y));
    }
    labels.imageFromClientXformBase(imageFromClientXform, true);
    confidence.imageFromClientXformBase(imageFromClientXform, true);
    labelImage = labels;
    confidenceImage = confidence;
}
