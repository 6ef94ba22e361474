// Tiled runs: a trained tool over a large image in row bands, on several
// threads, with memory bounded by the bands in flight.
//
// Each band of output rows is run through the tool together with a halo of
// rows (and columns) as wide as the neighbourhood reaches, and only its own
// rows are kept, so every requested image is byte-identical to the same
// window of a whole-image run (kvCompositeColorSegmenterTool::run followed by
// labelImage(), confidenceImage(), scoreImage(), segmentationImage()). With
// intensity normalisation the gain is searched once on the whole image and
// every band runs on the gain-mapped planes.
//
// Threads: the tool is shared read-only by the worker threads; the caller
// must not train or load it meanwhile. The progress callback runs on the
// calling thread only. Memory: the requested 8-bit images over the output
// window, plus, per thread, one band's result (5 bytes per pixel) and the
// derived images requested (see segmenter_result.h).
//
// Errors: everything run() throws (the first failing band's exception, after
// the other threads have stopped). ksys_request_abort() stops the bands in
// flight; a progress callback that returns false stops the run after the
// bands in flight. Both throw kvAbortRequested.
#pragma once

#include <functional>
#include <vector>

#include "clsg/colorseg/params.h"
#include "clsg/colorseg/segmenter_tool.h"
#include "clsg/platform/three_plane.h"

namespace clsg {

// Which images a tiled run produces.
struct TiledOutputs {
    bool label = true;
    bool confidence = false;
    bool score = false;
    std::vector<unsigned char> segmentations;  // labels whose segmentation image is wanted
};

struct TiledOptions {
    // Worker threads; 0 means one per core. One thread runs on the caller's.
    unsigned threads = 0;
    // Output rows per band; 0 chooses about a quarter of a megapixel per band
    // (and at least 32 times the halo, so the halo costs little at large N);
    // a negative count is refused (BadParams).
    long bandRows = 0;
    // The output window; an empty rectangle means the image's whole window.
    // Must lie inside the image's window (BadImage otherwise).
    kvPelRect window;
    // With normalizeIntensity: the gain to apply instead of searching it
    // (for a caller that already has it, see clsg/colorseg/intensity_gain.h).
    // Ignored without normalizeIntensity; a negative value means "search";
    // NaN or an infinite gain is refused (BadParams).
    double gain = -1.0;
    // Called after each band with the output rows done so far and in total;
    // returning false stops the run.
    std::function<bool(long rowsDone, long rowsTotal)> progress;
};

// The requested images over the output window, carrying the transform the
// whole-image run's images would carry. Images not requested are unbound;
// segmentations follow the order of TiledOutputs::segmentations.
struct TiledImages {
    kvPelBuffer<unsigned char> label, confidence, score;
    std::vector<kvPelBuffer<unsigned char>> segmentations;
    double gain = 1.0;  // the gain applied (1 without normalisation)
};

TiledImages tiledRun(const kvCompositeColorSegmenterTool& tool,
                     const kv3PlanePelBuffer_const& image,
                     const kvCompositeColorSegmenterRunParams& params, const TiledOutputs& outputs,
                     const TiledOptions& options = {});

// How many rows and columns beyond an output pixel its neighbourhood reads.
long tiledHalo(int32_t neighborhoodSize);

}  // namespace clsg
