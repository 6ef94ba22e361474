// Splits the selected pixels of training examples into folds for
// cross-validation, by square tiles or by whole examples (FoldUnit).
//
// By tiles, every tile of an image (with all its selected pixels, of every
// label and every example showing that image) belongs to exactly one fold, so
// no two neighbouring pixels of one tile end up on both sides.
//
// Examples that show the same picture (equal window and pels, even in
// separate buffers) share their tiles. Tiles are assigned greedily in a fixed
// pseudo-random order: each goes to the fold that holds the fewest pixels of
// the tile's main label so far. If some label would then have no training
// pixels left in some fold, the tile side is halved (down to 4) and the
// assignment redone. By examples, no tile is halved: a label with fewer
// selected pixels than folds cannot be split.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "clsg/colorseg/composite_color.h"

namespace clsg {

// How selected pixels are split into folds.
enum class FoldUnit {
    // Square tiles of tileSize: every tile (with the selected pixels of every
    // label in it) goes to one fold.
    tiles,
    // Whole examples: each label's selected pixels fall into connected
    // pieces (one per rectangle or stroke, 8-connected, per picture). A label
    // with at least as many pieces as folds holds out whole pieces, largest
    // first, each to the fold holding the fewest of its pixels so far; a
    // label with fewer cuts each piece across its longer side into one band
    // per fold of equal pixel counts. Held-out pixels are still scored tile by
    // tile (tiles of tileSize), so that a label can be scored on some tiles.
    examples,
};

// A selected pixel to be scored, with the label whose example selects it.
struct HeldOutPixel {
    int32_t x, y;
    uint32_t label;
};

// The held-out pixels of one tile, and the rectangle of the tile that holds
// them all.
struct HeldOutPiece {
    std::size_t image;  // index into SpatialFolds::images()
    kvPelRect rect;
    std::vector<HeldOutPixel> pixels;
};

class SpatialFolds {
public:
    // Throws BadParams for folds outside 2..16, tileSize below 4, sets the
    // tool would not train from, or examples too small to split (some label
    // would lose all its training pixels in some fold even with 4 x 4 tiles).
    // More than 254 sets throw TooManyCompositeColors, as training does.
    // The messages name a label by labelNames (by its index past its end).
    SpatialFolds(const std::vector<kvCompositeColorSet>& sets, uint32_t folds, int32_t tileSize,
                 FoldUnit unit = FoldUnit::tiles, const std::vector<std::string>& labelNames = {});

    uint32_t folds() const { return folds_; }
    FoldUnit unit() const { return unit_; }
    // The tile side used (tileSize, or smaller when it had to be halved).
    int32_t tileSize() const { return tileSize_; }
    std::size_t labels() const { return labels_; }

    // The distinct pictures of the examples, in order of first appearance.
    const std::vector<kv3PlanePelBuffer_const>& images() const { return images_; }
    // A number drawn from what images()[i] shows: folds and samples drawn from
    // it do not change with the order the examples are given in.
    uint64_t imageSeed(std::size_t i) const { return seeds_.at(i); }

    // The examples with the pixels of fold's tiles removed from their masks;
    // images left without a selected pixel, and examples without images, are
    // dropped. Every set keeps at least one example.
    const std::vector<kvCompositeColorSet>& trainingSets(uint32_t fold) const {
        return training_.at(fold);
    }
    // The selected pixels of fold's tiles, tile by tile.
    const std::vector<HeldOutPiece>& heldOut(uint32_t fold) const { return heldOut_.at(fold); }

private:
    uint32_t folds_;
    int32_t tileSize_;
    FoldUnit unit_;
    std::size_t labels_;
    std::vector<kv3PlanePelBuffer_const> images_;
    std::vector<uint64_t> seeds_;
    std::vector<std::vector<kvCompositeColorSet>> training_;
    std::vector<std::vector<HeldOutPiece>> heldOut_;
};

}  // namespace clsg
