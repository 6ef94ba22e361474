// The outcome of a run: a score per pixel and label, and the 8-bit images
// derived from the scores. A run builds the label and confidence images; the
// others are built on first use, then kept until the next run into this
// result.
//
// Memory a result keeps, for a run over P pixels (whatever the number of
// labels):
// - after a run: a copy of the scored image (3 bytes per pixel; with
//   normalizeIntensity the mapped image itself, no copy) and the label and
//   confidence images (1 byte per pixel each): 5 P bytes, plus a reference to
//   the trained tables of the tool that ran (shared with the tool and its
//   copies, never copied: a later train of the tool builds new ones);
// - labelImage(), confidenceImage(): nothing more;
// - scoreImage(): 1 byte per pixel more (the self-similarity image it divides
//   by, 8 bytes per pixel, lives only during the call);
// - the first segmentationImage(): the score sum, 8 bytes per pixel more;
//   each call returns a new image of 1 byte per pixel that the result does
//   not keep.
// The scores themselves are not kept: each request that needs them scores
// the kept image again, row by row, with the kept tables, giving the same
// bytes as the run. The work of a request is then about that of the run's
// scoring; its working memory is a few rows per training instance (for very
// large neighbourhoods on wide images, whose rows would take more than 32 MB,
// the whole score images of the labels it reads, 8 bytes per pixel each,
// during the call). Storing a result writes each label's score image in turn
// (8 bytes per pixel during the call). A result read from an archive keeps
// the stored score images (8 bytes per pixel and label).
//
// A run builds the new result aside and swaps it in, so during a run into a
// result holding an earlier one both exist (an abort leaves the earlier one
// whole); only the copy of the image, made once scoring is done, goes into
// the earlier run's planes when they have the same window and nobody else
// holds them (at most 2 P bytes more than the earlier result during such a
// run). Copies of a result share their pels (pixel buffers are shared
// handles), and a run or a request never writes pels a caller or a copy
// holds.
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
