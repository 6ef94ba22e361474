// What a run leaves behind: the scored image, one score image per label, the
// training values and tables the derived images need, the transform they
// carry, and the caches of the derived images.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/three_plane.h"

class kvArchive;

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

    // Stores one run. quantTable is consumed. Caches are left alone: the run
    // resets the whole object first.
    void storeRun(std::vector<kvPelBuffer<double>>& labelScores,
                  const kv3PlanePelBuffer_const& scoredImage, double colorToleranceFrac,
                  uint32_t colorToleranceMin, int32_t neighborhoodSize,
                  std::vector<unsigned char>& quantTable,
                  const std::array<float, 256>& reciprocalTable,
                  const std::array<unsigned char, 256>& toleranceTable, unsigned char levelStep,
                  const kv2XformHandle& imageFromClientXform);

    // Derived images, built into the caches on first request. A build that
    // throws (an abort) leaves its caches unbound. Each needs a stored run.
    void computeLabelImages();      // labelImage, bestScore, secondScore
    void computeConfidenceImage();  // confidenceImage (and the label images)
    void computeScoreImage();       // scoreImage (and the label images)
    void computeScoreSum();         // scoreSum
    // A new image of one label's share of the score sum; label must be valid.
    kvPelBuffer<unsigned char> computeSegmentationImage(unsigned char label);

    // Run fields.
    kv3PlanePelBuffer image;
    double colorToleranceFrac = 0.0;
    uint32_t colorToleranceMin = 0;
    int32_t neighborhoodSize = 0;
    std::vector<unsigned char> quantTable;
    std::vector<kvPelBuffer<double>> labelScores;
    std::array<float, 256> reciprocalTable;
    std::array<unsigned char, 256> toleranceTable{};
    unsigned char levelStep = 1;
    kv2XformHandle imageFromClientXform;

    // Caches of the derived images, unbound until first requested.
    kvPelBuffer<unsigned char> labelImage;
    kvPelBuffer<double> bestScore;
    kvPelBuffer<double> secondScore;
    kvPelBuffer<unsigned char> scoreImage;
    kvPelBuffer<unsigned char> confidenceImage;
    kvPelBuffer<double> scoreSum;
};
