// The outcome of a run: one score image per label, and the 8-bit images
// derived from them. A run builds the label and confidence images along with
// the scores; the others are built on first use, then kept until the next
// run into this result (a result read from an archive builds all on use).
//
// Memory a result keeps, for a run over W x H pixels and L labels: the run
// (a copy of the scored image, 3 bytes per pixel, the score images, 8 L
// bytes per pixel, and the label and confidence images, 1 byte per pixel
// each), the derived images asked for (the score image, 1 byte per pixel,
// plus its self-similarity, 8 bytes per pixel; the score sum, 8 bytes per
// pixel, once a segmentation image was asked for), and the buffers of the
// run before as spares. A run of the same window and label count refills the
// spares instead of allocating, so frame after frame into one result costs no
// allocation beyond segmentation images (a new one per call) and small
// per-call tables. Buffers a caller still holds a copy of (pixel buffers
// share their pels) or that a copy of the result shares are never refilled.
// Destroying the result, or a run of another size, releases the spares.
#pragma once

#include <memory>

#include "clsg/platform/pel_buffer.h"

class kvCompositeColorSegmenterInternalResult;
class kvArchive;

class kvCompositeColorSegmenterResult {
public:
    kvCompositeColorSegmenterResult();
    kvCompositeColorSegmenterResult(const kvCompositeColorSegmenterResult& other);
    kvCompositeColorSegmenterResult& operator=(const kvCompositeColorSegmenterResult& other);
    ~kvCompositeColorSegmenterResult();

    bool operator==(const kvCompositeColorSegmenterResult& other) const;

    // The owned internal result, untyped; ownership stays here.
    void* result() const;

    // The derived images all lie over the run image's window, carry the run's
    // transform, and are unbound for a result that holds no run.

    // Winning label per pixel: the label with the highest score (the lower
    // label on a tie), 255 where no label scored above 0.
    kvPelBuffer_const<unsigned char> labelImage() const;

    // How clearly the winner beat the runner-up:
    // (best - second) / (best + second) * 255, rounded; 255 where only one
    // label scored, 0 on a tie and where no label scored.
    kvPelBuffer_const<unsigned char> confidenceImage() const;

    // The best score as a share of the neighbourhood's self-similarity
    // (the score a perfectly uniform, perfectly trained neighbourhood would
    // reach), times 255, rounded and clamped to 0..255. Where the
    // self-similarity is 0 or not a number (colorToleranceFrac 0, or very
    // large neighbourhoods whose centre weight is 0), the pixel is 0.
    kvPelBuffer_const<unsigned char> scoreImage() const;

    // One label's share of the sum of all label scores, times 255, rounded;
    // 0 where no label scored. A new image on every call. Throws BadParams
    // "Invalid label" for a label the result does not hold.
    kvPelBuffer_const<unsigned char> segmentationImage(unsigned char label) const;

private:
    friend class kvCompositeColorSegmenterTool;
    friend kvArchive& operator||(kvArchive&, kvCompositeColorSegmenterResult&);
    std::unique_ptr<kvCompositeColorSegmenterInternalResult> result_;
};
