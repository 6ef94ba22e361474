// Chooses the training tolerance and the run's neighbourhood size for a set
// of labelled examples, by cross-validation on the examples themselves.
//
// The examples' selected pixels are split into folds (tuning/spatial_folds.h:
// by default square tiles of tileSize, or whole examples). For a candidate,
// the tool is trained on all folds but one and run on the held-out fold's
// tiles (each grown by half the neighbourhood, so the labels there equal those
// of a run on the whole picture); every held-out pixel counts for the label
// whose example selects it. A label with many held-out pixels is scored on a
// pseudo-random choice of its tiles, about heldOutPerLabel pixels per fold.
// The first fold's tool is also run on samples of the pictures themselves:
// 4 x 4 tiles of 16 x 16 spread evenly over every picture of the examples.
//
// The criterion is the score: the balanced accuracy of the held-out pixels
// (the mean over labels of the share of the label's held-out pixels that get
// it) times the share of the picture samples that get a label. Held-out
// pixels are like the examples; the samples show how much of the rest of the
// picture the tool cannot place at all, which the examples cannot show (a
// shade no example covers stays unlabelled). A tie (equal within 1e-12) goes
// to the smaller colorToleranceFrac (where held-out pixels and samples cannot
// tell two candidates apart, the narrower claims fewer colours no example
// shows), then the larger colorToleranceMin. Between
// the sizes of one tolerance it goes to the higher mean confidence of the
// held-out pixels (a wrong label counting 0), then to the smaller
// neighbourhood. The chosen candidate's score (the lead's when a wide size is
// taken, see stage 5), lowered for the colours no example holds, is the
// search's estimate of the balanced accuracy on the pictures (see
// SuggestReport::estimate).
//
// Neighbourhood sizes cost no training, so every tolerance is scored with
// each of 1, 3, 5, 7 and 9. Each stage starts from the best so far:
//   1. "coarse": fractions 0.02, 0.04, 0.08, 0.15, 0.3 and 0.5 (minimum 2),
//      each scored on the first fold, then on the others the most promising
//      first, so that the rest (the narrow fractions, dear to train, among
//      them) can stop after one fold;
//   2. "minimum": minimums 1, 6, 15 and 40 at the best fraction (the
//      tolerance of a dark colour is its minimum), those above 2 only up to
//      128 times the fraction (a larger floor widens every colour alike and
//      trains slowly);
//   3. "floor-fraction": when a minimum above 2 leads, the coarse fraction
//      below the best at that minimum, even where the minimum passes 128
//      times it (a raised floor keeps the dark labels apart, so the bright
//      ones may do with less; one tolerance, so its training time matters
//      little);
//   4. "fine": the geometric midpoint (two significant digits) between the
//      best fraction and the better of its neighbours at the best minimum (on
//      a tie the smaller), for example 0.057 between 0.04 and 0.08; the
//      narrower neighbour is scored on more folds only where it might beat
//      the wider;
//   5. "wide": sizes 13, 17 and 21 at the tolerance of the best candidate so far
//      (the lead). Inside the examples a wide neighbourhood seldom errs, so
//      the held-out pixels' accuracy cannot judge it; their confidence can.
//      A tile is run grown by half the neighbourhood, so at an example's edge
//      a size that reaches into the next label's colours makes the held-out
//      pixels less sure, and one that settles noise or a shade between
//      labels makes them surer. A wide size is taken only where its held-out
//      pixels are surer than the lead's by more than 2 (of 255) and its score
//      is no lower; of those the surest (wideChoice). The estimate stays the
//      lead's score.
// With two folds that is at most 26 trainings, each on about half the
// examples. A size that cannot win any more stops scoring (see
// SuggestCandidate::folds), and a fold where every size of a tolerance has
// stopped is not trained for; that changes no choice.
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

// Progress steps of the search: 6 coarse fractions, 4 minimums, 1 fraction
// at the best minimum, 1 fine fraction, the wide sizes (a step skipped still
// counts).
constexpr uint32_t kSuggestTolerances = 13;

struct SuggestOptions {
    // Three folds of small tiles: with two of 32 x 32, which lumps of a few
    // rectangles were held out moved the result of the choice by up to 12
    // points on the photographs of bench/auto_photos; with these, by at most
    // 4.2 on one and 1.2 on the others, for about 1.8 times the time.
    uint32_t folds = 3;     // 2 to 16
    int32_t tileSize = 16;  // side of the tiles, at least 4
    // Tiles by default: on photographs, holding out whole examples judged the
    // many-shaded labels by too few of their shades and chose worse.
    FoldUnit unit = FoldUnit::tiles;
    // Held-out pixels scored per label and fold, at least (whole tiles are
    // taken); 0 scores every held-out pixel.
    uint32_t heldOutPerLabel = 1024;
    // Tiles are run side by side in one picture per fold and neighbourhood,
    // which gives the same labels as a run of each; false runs each alone (for
    // tests).
    bool packTiles = true;
    // A candidate that cannot win any more stops scoring (see
    // SuggestCandidate::folds), which changes no choice; true scores every
    // candidate on every fold (for tests).
    bool exhaustive = false;
    // When set, called with each tolerance before it is tried: one it refuses
    // by throwing kvCompositeColorSegmenterBudget::Exceeded is skipped and
    // listed in SuggestReport::overBudget. For a caller that trains under a
    // budget, so that the search never chooses what it could not train, e.g.
    // [&](auto& p) { budget.check(examples, p); } (clsg/colorseg/budget.h).
    // The folds train on some of the examples, at no more bytes than all.
    std::function<void(const kvCompositeColorSegmenterTrainParams&)> checkCost;
    // Threads of the stages that score several tolerances on the first fold
    // (coarse fractions, minimums) side by side, while the caller's waits
    // and reports progress; the result is the same on any number. Each holds a fold tool, so
    // tolerances are only so scored while each costs at most 256 MiB to
    // train (see kvCompositeColorSegmenterBudget).
    unsigned threads = 1;
    // When set, called on the caller's thread after each tolerance is scored
    // with the number scored so far (1 to kSuggestTolerances).
    std::function<void(uint32_t done)> progress;
    // The labels' names, for messages that name a label (its index otherwise).
    std::vector<std::string> labelNames;
};

struct SuggestCandidate {
    kvCompositeColorSegmenterTrainParams trainParams;
    kvCompositeColorSegmenterRunParams runParams;
    std::string stage;        // "coarse", "minimum", "floor-fraction" or "fine"
    double balancedAccuracy;  // over the held-out pixels of the folds scored
    double foldZeroAccuracy;  // balanced accuracy on fold 0 alone
    // Mean over labels of the held-out pixels' confidence (0 to 255), a wrong
    // label counting 0; NaN, like the accuracies, without held-out pixels.
    double meanConfidence;
    // Folds scored, in order. Fewer than all when, after the first fold with
    // held-out pixels, the candidate could not win even with every pixel of
    // the rest right: then balancedAccuracy and meanConfidence are over the
    // folds scored, and the candidate is not chosen.
    uint32_t folds = 0;
    // Share of the picture samples (tiles spread evenly over every picture of
    // the examples) that the first fold's tool leaves unlabelled.
    double pictureUnlabelled = 0;
    // What the search maximises: balancedAccuracy * (1 - pictureUnlabelled).
    double score = 0;
    // Mean confidence (0 to 255) of the picture samples as the first fold's
    // tool labels them, an unlabelled pixel counting 0.
    double pictureConfidence = 0;
};

struct SuggestReport {
    kvCompositeColorSegmenterTrainParams trainParams;  // the choice
    kvCompositeColorSegmenterRunParams runParams;
    std::vector<SuggestCandidate> candidates;  // in the order tried
    std::size_t chosen = 0;                    // index into candidates
    // The candidate whose score is the estimate: the chosen one, or for a
    // wide size the lead it was compared with (see the "wide" stage).
    std::size_t estimated = 0;
    // Share of the picture samples whose colours no example's narrowest box
    // holds: those the narrowest coarse tolerance tried (neighbourhood 1)
    // leaves unlabelled. Its fraction is 0.02 unless that was over the
    // training budget (then the narrowest one that was not).
    double uncovered = 0;
    double uncoveredFraction = 0;
    // The search's estimate of the balanced accuracy on the pictures: the
    // estimated candidate's held-out balanced accuracy times the share of the
    // picture samples it labels, less a tenth of those it labels that the
    // narrowest setting leaves unlabelled (uncovered, less what it leaves
    // unlabelled), counted as wrong. The tenth is an assumption, set on
    // photographs: held-out pixels, like the examples, cannot show how often
    // a colour no example holds gets a wrong label.
    double estimate = 0;
    LabelConfusion heldOut;  // the choice's held-out pixels: rows truth, columns label got
    // The choice's tool, trained on every example, run on the examples' own
    // pixels: what the tool written does there, which the folds' tools (each
    // without some of those pixels) need not show.
    LabelConfusion onExamples;
    uint32_t folds = 0;
    FoldUnit unit = FoldUnit::tiles;
    int32_t tileSize = 0;    // the tile side used
    uint32_t trainings = 0;  // fold trainings done
    uint64_t runPixels = 0;  // pixels run over, all candidates together
    // Tolerances SuggestOptions::checkCost refused; they have no candidates.
    std::vector<kvCompositeColorSegmenterTrainParams> overBudget;
};

// When SuggestOptions::checkCost refuses every coarse fraction, its last
// refusal is thrown.
// Throws BadParams for options out of range or examples that cannot be split
// (see SpatialFolds), and whatever train() or run() throw.
SuggestReport suggestSegmenterParams(const std::vector<kvCompositeColorSet>& sets,
                                     const SuggestOptions& options = {});

// The share of the picture samples that the estimated candidate labels and the
// narrowest setting does not: report.uncovered less what it leaves unlabelled
// (see SuggestReport::estimate).
double widenedShare(const SuggestReport& report);

// What the estimate multiplies the estimated candidate's held-out balanced
// accuracy by: the share of the picture samples it labels, less the part of
// widenedShare counted as wrong (see SuggestReport::estimate).
double labelledFactor(const SuggestReport& report);

// The wide size taken (see the "wide" stage), as an index into wide, the
// candidates scored at the lead's tolerance; wide.size() for none. Of those
// whose held-out pixels are surer than the lead's (meanConfidence) by more
// than 2 and whose score is no lower, the surest; on a tie the smaller.
std::size_t wideChoice(const SuggestCandidate& lead, const std::vector<SuggestCandidate>& wide);

// Scores tools[f] (trained on folds.trainingSets(f)) on every held-out pixel
// of fold f, for every fold with held-out pixels. Each tile is run grown by half
// the neighbourhood, which gives there the labels of a run over the whole
// picture. Adds the pixels run over to *runPixels when given.
LabelConfusion scoreHeldOut(const SpatialFolds& folds,
                            const std::vector<kvCompositeColorSegmenterTool>& tools,
                            const kvCompositeColorSegmenterRunParams& params,
                            uint64_t* runPixels = nullptr);

}  // namespace clsg
