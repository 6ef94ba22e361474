// What a run leaves behind: the scored image, the trained tables its scores
// are rebuilt from (or the score images themselves, for a result read from an
// archive), the training values and tables the derived images need, the
// transform they carry, and the caches of the derived images.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "clsg/clrsgint/color_model.h"
#include "clsg/clrsgint/label_scores.h"
#include "clsg/platform/three_plane.h"

class kvArchive;

// What storeRun keeps of a run.
struct kvStoredRun {
    // The tables that scored; shared read-only with the tool that ran (a tool
    // trained again gets new tables, so these never change).
    std::shared_ptr<const kvCompositeColorSegmenterModel> model;
    // The image that was scored (after intensity normalisation): a copy of
    // scoredImage, or privateImage itself when bound (an image the run made,
    // whose pels nobody else will write).
    kv3PlanePelBuffer_const scoredImage;
    kv3PlanePelBuffer privateImage;
    double colorToleranceFrac = 0.0;
    uint32_t colorToleranceMin = 0;
    int32_t neighborhoodSize = 0;
    kv2XformHandle imageFromClientXform;
};

// The score images of a run, one per label (index = label): held whole (a
// result read from an archive), or scored again from the model and the
// scored image whenever asked, with the same bytes.
class kvLabelScores {
public:
    std::size_t size() const { return model ? model->instanceCounts.size() : held.size(); }
    bool empty() const { return size() == 0; }
    // Label k's score image: the held one, or a new one (identity transform).
    kvPelBuffer_const<double> operator[](std::size_t k) const;
    // Row-by-row scores of the given labels (see LabelScoreRows).
    clsgint::LabelScoreRows rows(std::vector<std::size_t> labels) const;
    // 0, 1, ..., size() - 1.
    std::vector<std::size_t> all() const;

    // Used when model is null.
    std::vector<kvPelBuffer<double>> held;
    // The tables that scored (shared read-only with the tool that ran), the
    // image they scored (a handle to the result's image) and the
    // neighbourhood size.
    std::shared_ptr<const kvCompositeColorSegmenterModel> model;
    kv3PlanePelBuffer_const image;
    int32_t neighborhoodSize = 0;
};

class kvCompositeColorSegmenterInternalResult {
public:
    kvCompositeColorSegmenterInternalResult();
    kvCompositeColorSegmenterInternalResult(const kvCompositeColorSegmenterInternalResult&) =
        default;
    kvCompositeColorSegmenterInternalResult& operator=(
        const kvCompositeColorSegmenterInternalResult&) = default;
    kvCompositeColorSegmenterInternalResult(kvCompositeColorSegmenterInternalResult&&) noexcept =
        default;
    kvCompositeColorSegmenterInternalResult& operator=(
        kvCompositeColorSegmenterInternalResult&&) noexcept = default;

    // Compares the training values, the quantisation table, the image and the
    // score images; the tables, the transform and the caches do not count.
    bool operator==(const kvCompositeColorSegmenterInternalResult& other) const;

    // Stores one run: the training values, the model's quantisation,
    // reciprocal and tolerance tables and level step, the model itself for the
    // score images, and the scored image when private. A scored image that is
    // not private is only referred to: computeLabelImages reads it, then
    // keepScoredImage copies it. Caches are left alone: the run starts from a
    // new object.
    void storeRun(const kvStoredRun& run);
    // Copies the scored image of storeRun (from) into planes when bound (they
    // cover exactly its window and nobody else holds them), else into new ones.
    void keepScoredImage(const kv3PlanePelBuffer_const& from, const kv3PlanePelBuffer& planes);
    // The image planes, when they cover exactly window w and nobody else holds
    // them: this result then has no image and must be replaced at once.
    // Otherwise unbound, and nothing changes.
    kv3PlanePelBuffer releasePlanes(const kvPelRect& w);

    // Derived images, built into the caches on first request (a run fills the
    // label and confidence caches itself). A build that throws (an abort)
    // leaves its caches unbound. Each needs a stored run.
    // labelImage and confidenceImage, in one pass.
    void computeLabelImages();
    void computeScoreImage();  // scoreImage (and the label images)
    void computeScoreSum();    // scoreSum
    // A new image of one label's share of the score sum; label must be valid.
    kvPelBuffer<unsigned char> computeSegmentationImage(unsigned char label);

    // Bytes of the pel buffers this object references (shared ones
    // included); the model is not counted.
    std::size_t pelBytes() const;

    // Run fields.
    kv3PlanePelBuffer image;
    double colorToleranceFrac = 0.0;
    uint32_t colorToleranceMin = 0;
    int32_t neighborhoodSize = 0;
    std::vector<unsigned char> quantTable;
    kvLabelScores labelScores;  // empty: no run
    std::array<float, 256> reciprocalTable;
    std::array<unsigned char, 256> toleranceTable{};
    unsigned char levelStep = 1;
    kv2XformHandle imageFromClientXform;

    // Caches of the derived images, unbound until first requested.
    kvPelBuffer<unsigned char> labelImage;
    kvPelBuffer<unsigned char> scoreImage;
    kvPelBuffer<unsigned char> confidenceImage;
    kvPelBuffer<double> scoreSum;
};
