// Chooses the training tolerance and the run's neighbourhood size for a set
// of labelled examples, by spatial cross-validation on the examples
// themselves.
//
// The examples' selected pixels are split into folds by square tiles
// (tuning/spatial_folds.h). For a candidate, the tool is trained on all folds
// but one and run on the held-out fold's tiles (each grown by half the
// neighbourhood, so the labels there equal those of a run on the whole
// picture); every held-out pixel counts for the label whose example selects
// it. A label with many held-out pixels is scored on a pseudo-random choice of
// its tiles, about heldOutPerLabel pixels per fold. The criterion is balanced
// accuracy: the mean over labels of the share of the label's held-out pixels
// that get it. A tie (equal within 1e-12) goes to the larger
// colorToleranceFrac, then the larger colorToleranceMin. Between the sizes of
// one tolerance it goes to the higher mean confidence of the held-out pixels
// (a wrong label counting 0), then to the smaller neighbourhood. Confidence
// says which size separates the labels by the wider margin when every size
// gets them right; it does not compare tolerances, since a narrow tolerance
// gives high confidence to the few colours it still knows.
//
// Neighbourhood sizes cost no training, so every tolerance is scored with
// each of 1, 3 and 5. Every tolerance is first scored on fold 0 alone (one
// training); only the best few go on to the other folds, and only candidates
// scored on every fold can be chosen. Coarse to fine, each stage starting from
// the best so far:
//   1. "coarse": fractions 0.02, 0.04, 0.08, 0.15, 0.3 (minimum 2);
//   2. "fine": the geometric midpoint (two significant digits) between the
//      best fraction and the better of its neighbours in stage 1 (on a tie
//      the larger), for example 0.057 between 0.04 and 0.08. The best
//      tolerance of stages 1 and 2 on fold 0 is then scored on every fold,
//      and with it the largest of the others that scores within 1 point of
//      it on fold 0 (without one, the second best): one fold alone is a
//      noisy judge, and a broader tolerance carries over better to shades
//      the examples miss;
//   3. "minimum": minimums 1 and 5 at the best fraction, with the best
//      neighbourhood only; one that beats the best on fold 0 is scored on
//      every fold.
// With two folds that is 10 to 12 trainings, each on half the examples.
// Runs are without intensity normalisation.
//
// Same input, same choice. Another thread stops the search with
// ksys_request_abort() (kvAbortRequested leaves the call), as it stops a
// train or a run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "clsg/colorseg/composite_color.h"
#include "clsg/colorseg/params.h"
#include "clsg/colorseg/segmenter_tool.h"
#include "clsg/tuning/label_confusion.h"
#include "clsg/tuning/spatial_folds.h"

namespace clsg {

// Tolerances the search scores: 5 coarse, 1 fine, 2 minimums.
constexpr uint32_t kSuggestTolerances = 8;

struct SuggestOptions {
    uint32_t folds = 2;     // 2 to 16
    int32_t tileSize = 32;  // side of the fold tiles, at least 4
    // Held-out pixels scored per label and fold, at least (whole tiles are
    // taken); 0 scores every held-out pixel.
    uint32_t heldOutPerLabel = 2048;
    // When set, called on the caller's thread after each tolerance is scored
    // with the number scored so far (1 to kSuggestTolerances).
    std::function<void(uint32_t done)> progress;
};

struct SuggestCandidate {
    kvCompositeColorSegmenterTrainParams trainParams;
    kvCompositeColorSegmenterRunParams runParams;
    std::string stage;        // "coarse", "fine" or "minimum"
    double balancedAccuracy;  // over the held-out pixels of the folds scored
    double foldZeroAccuracy;  // balanced accuracy on fold 0 alone
    // Mean over labels of the held-out pixels' confidence (0 to 255), a wrong
    // label counting 0.
    double meanConfidence;
    uint32_t folds = 0;  // folds scored: 1 (fold 0 alone; not chosen) or all
};

struct SuggestReport {
    kvCompositeColorSegmenterTrainParams trainParams;  // the choice
    kvCompositeColorSegmenterRunParams runParams;
    std::vector<SuggestCandidate> candidates;  // in the order tried
    std::size_t chosen = 0;                    // index into candidates
    LabelConfusion heldOut;  // the choice's held-out pixels: rows truth, columns label got
    uint32_t folds = 0;
    int32_t tileSize = 0;    // the tile side used
    uint32_t trainings = 0;  // fold trainings done
    uint64_t runPixels = 0;  // pixels run over, all candidates together
};

// Throws BadParams for options out of range or examples that cannot be split
// (see SpatialFolds), and whatever train() or run() throw.
SuggestReport suggestSegmenterParams(const std::vector<kvCompositeColorSet>& sets,
                                     const SuggestOptions& options = {});

// Scores tools[f] (trained on folds.trainingSets(f)) on every held-out pixel
// of fold f, for every fold with held-out pixels. Each tile is run grown by half
// the neighbourhood, which gives there the labels of a run over the whole
// picture. Adds the pixels run over to *runPixels when given.
LabelConfusion scoreHeldOut(const SpatialFolds& folds,
                            const std::vector<kvCompositeColorSegmenterTool>& tools,
                            const kvCompositeColorSegmenterRunParams& params,
                            uint64_t* runPixels = nullptr);

}  // namespace clsg
