// Runs the tools of the parameter search's folds (suggest_params.h) on the
// held-out tiles of their folds and on samples spread over the pictures, and
// tallies how they label them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

#include "clsg/colorseg/segmenter_result.h"
#include "clsg/colorseg/segmenter_tool.h"
#include "clsg/tuning/label_confusion.h"
#include "clsg/tuning/spatial_folds.h"

namespace clsg {

// The picture samples as one tool labels them: pixels left unlabelled, all,
// and the summed confidence (an unlabelled pixel counting 0).
struct SampleTally {
    uint64_t none = 0, total = 0, sure = 0;
};

// Runs tools on the held-out tiles of their folds. score() may be called from
// several threads at once.
class HeldOutRunner {
public:
    // With perLabel 0 every held-out tile of a fold is scored. Otherwise the
    // tiles are taken in a fixed pseudo-random order, each only while some
    // label it holds has fewer than perLabel pixels taken in the fold.
    HeldOutRunner(const SpatialFolds& folds, uint64_t perLabel, bool pack = true);

    // The held-out tiles of fold f that are scored.
    const std::vector<const HeldOutPiece*>& scored(uint32_t f) const { return scored_[f]; }

    // Runs tool on the held-out tiles of fold f (unless heldOut is false),
    // and on the picture samples when samples is given. Adds the held-out
    // pixels, labelled by tool, to confusion, and to (*confidence)[label] the
    // confidence of each that got its label; adds the samples to *samples
    // (their confidence only when confidence is given). Every tile is run
    // grown by half the neighbourhood, which gives there the labels of a run
    // over the whole picture; the tiles whose grown rectangle lies inside
    // their picture are run together, side by side in one picture (see
    // Mosaic), the others one by one.
    void score(uint32_t f, const kvCompositeColorSegmenterTool& tool,
               const kvCompositeColorSegmenterRunParams& params, LabelConfusion& confusion,
               uint64_t* runPixels, std::vector<uint64_t>* confidence = nullptr,
               SampleTally* samples = nullptr, bool heldOut = true) const;

private:
    // Runs tool on rect of picture grown by half the neighbourhood (which
    // gives in rect the labels of a run over the whole picture); returns the
    // label image, and the result in *out when given.
    kvPelBuffer_const<unsigned char> runGrown(std::size_t picture, const kvPelRect& rect,
                                              const kvCompositeColorSegmenterTool& tool,
                                              const kvCompositeColorSegmenterRunParams& params,
                                              uint64_t* runPixels,
                                              kvCompositeColorSegmenterResult* out = nullptr) const;

    // Where an item (a held-out tile of the fold, then a picture sample) is
    // in the mosaic: its pixel (x, y) is there at (x + dx, y + dy).
    struct Offset {
        bool packed = false;
        long dx = 0, dy = 0;
    };
    // The items of one fold, each grown by one margin, side by side in rows
    // (a row at most kMosaicWidth wide unless one item is wider), in their
    // order. An item whose grown rectangle reaches past its picture is left
    // out (a run there sees the picture's edge, which the mosaic does not
    // show). Within an item's rectangle, a run over the mosaic gives the
    // labels of a run over the whole picture; one run is much cheaper than
    // one per small tile.
    struct Mosaic {
        kv3PlanePelBuffer image;
        std::vector<Offset> at;  // per item
    };
    static constexpr long kMosaicWidth = 256;

    const Mosaic& mosaicOf(uint32_t f, long margin, bool withHeldOut, bool withSamples) const;

    bool pack_;
    std::vector<kv3PlanePelBuffer> pictures_;
    std::vector<std::vector<const HeldOutPiece*>> scored_;    // per fold
    std::vector<std::pair<std::size_t, kvPelRect>> samples_;  // picture, rect
    mutable std::map<std::tuple<uint32_t, long, bool, bool>, Mosaic> mosaics_;
    mutable std::mutex mosaicsLock_;
    inline static const std::vector<const HeldOutPiece*> kNoPieces;
};

}  // namespace clsg
