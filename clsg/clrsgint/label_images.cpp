// Label and confidence images of a run, in one pass.
#include "clsg/clrsgint/abort_poll.h"
#include "clsg/clrsgint/internal_result.h"
#include "clsg/clrsgint/label_pass.h"

void kvCompositeColorSegmenterInternalResult::computeLabelImages() {
    if (labelImage.isBound()) return;
    // A run's image is copied after this pass: until then the score rows read the caller's.
    const kvPelRect w = image.isBound() ? image.window() : labelScores.image.window();
    // Built into locals and kept only when complete, so an abort leaves the
    // caches unbound.
    kvPelBuffer<unsigned char> labels(w, 32), confidence(w, 32);
    clsgint::LabelScoreRows scores = labelScores.rows(labelScores.all());
    for (long y = w.top(); y < w.bottom(); ++y) {
        pollAttentionAtRow(y);
        clsgint::labelPassRow(scores.row(y), labelScores.size(), w.width(), labels.pointToRow(y),
                              confidence.pointToRow(y));
    }
    labels.imageFromClientXformBase(imageFromClientXform, true);
    confidence.imageFromClientXformBase(imageFromClientXform, true);
    labelImage = labels;
    confidenceImage = confidence;
}
