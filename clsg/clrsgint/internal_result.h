// What a run leaves behind: the scored image, one score image per label, the
// training values and tables the derived images need, the transform they
// carry, the caches of the derived images, and the spare buffers the next run
// fills instead of allocating.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "clsg/platform/three_plane.h"

class kvArchive;

// Buffers of an earlier run that the next run into the same result may fill
// (see takeBuffer). A copy of a result starts without spares.
struct kvRunSpares {
    kvRunSpares() = default;
    kvRunSpares(const kvRunSpares&) {}
    kvRunSpares& operator=(const kvRunSpares&) { return *this; }
    kvRunSpares(kvRunSpares&&) noexcept = default;
    kvRunSpares& operator=(kvRunSpares&&) noexcept = default;

    kvPelBuffer<unsigned char> image[3];
    std::vector<kvPelBuffer<double>> labelScores;
    kvPelBuffer<unsigned char> labelImage, confidenceImage, scoreImage;
    kvPelBuffer<double> scoreSum, selfSimilarity;
};

// Takes the buffer in slot when it covers exactly window and no other handle
// shares its pels (a caller's copy of an image is never written); otherwise
// allocates a new one. Either way slot is left unbound, and the buffer
// returned carries the identity transform, as a new buffer does.
template <class T>
kvPelBuffer<T> takeBuffer(kvPelBuffer<T>& slot, const kvPelRect& window) {
    kvPelBuffer<T> b;
    std::swap(b, slot);
    if (b.isBound() && b.window() == window && b.extent() == window && !b.sharesStorage()) {
        b.imageFromClientXformBase(kv2XformLinear::identity(), true);
        return b;
    }
    return kvPelBuffer<T>(window, 32);
}

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

    // Stores one run. quantTable is consumed; labelScores are taken over and
    // the scored image is copied into spare buffers where possible. Caches
    // are left alone: the run resets the whole object first.
    void storeRun(std::vector<kvPelBuffer<double>>& labelScores,
                  const kv3PlanePelBuffer_const& scoredImage, double colorToleranceFrac,
                  uint32_t colorToleranceMin, int32_t neighborhoodSize,
                  std::vector<unsigned char>& quantTable,
                  const std::array<float, 256>& reciprocalTable,
                  const std::array<unsigned char, 256>& toleranceTable, unsigned char levelStep,
                  const kv2XformHandle& imageFromClientXform);

    // Derived images, built into the caches on first request (a run fills the
    // label and confidence caches itself). A build that throws (an abort)
    // leaves its caches unbound. Each needs a stored run.
    // labelImage and confidenceImage, in one pass.
    void computeLabelImages();
    void computeScoreImage();  // scoreImage (and the label images)
    void computeScoreSum();    // scoreSum
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
    kvPelBuffer<unsigned char> scoreImage;
    kvPelBuffer<unsigned char> confidenceImage;
    kvPelBuffer<double> scoreSum;

    // Not compared, archived or copied.
    kvRunSpares spares;

    // Moves the run's image, score images and caches into spares (dropping
    // what spares held) and leaves this result holding no run buffers.
    void retireRunBuffers();
};
