// Frame after frame through one trained tool: the label image of each
// interleaved 8-bit frame (RGB, RGBx, BGRx, ...), on a fixed set of threads.
//
// The frame is cut into row bands with a halo as wide as the neighbourhood
// reaches, as the tiled runner does (clsg/tiled/tiled_run.h), so the label
// image is byte-identical to tool.run on the whole frame followed by
// labelImage(). Unlike a tiled run, every band keeps its own planes and its
// own result from frame to frame: the frame's channels are unpacked straight
// into the band's planes (no whole-frame copy), and the threads are started
// once and wait between frames. Once the frame size settles the runner
// allocates nothing large of its own; what a frame allocates is what the
// library's runs of its bands allocate (their results' images, see
// segmenter_result.h).
//
// Memory, for a W x H frame: the bands' planes (3 bytes per pixel) and their
// results (about 5 bytes per pixel kept, more during a run); with intensity
// normalisation also a 3-byte-per-pixel copy of the frame, on which the gain
// is searched. A new frame size or neighbourhood releases the bands and
// plans new ones.
//
// Threads: run() is called from one thread at a time; the tool is only read
// (it must not be trained or replaced while run() is in progress).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "clsg/colorseg/params.h"
#include "clsg/colorseg/segmenter_tool.h"

namespace clsg {

// Where a pixel's channels lie in an interleaved frame: bytes per pixel and
// the byte offsets of red, green and blue within the pixel.
struct PixelLayout {
    int bytes = 3;
    int red = 0, green = 1, blue = 2;
};

// An interleaved 8-bit frame in memory the caller owns.
struct FrameView {
    const unsigned char* data = nullptr;
    long width = 0, height = 0;
    std::ptrdiff_t stride = 0;  // bytes from one row to the next
    PixelLayout layout;
    std::size_t size = 0;  // the bytes that may be read from data on
};

class FrameRunner {
public:
    // threads: 0 means one per core; the calling thread is one of them.
    // bandRows: output rows per band; 0 chooses as the tiled runner does
    // (about a quarter of a megapixel, at least 32 times the halo).
    explicit FrameRunner(unsigned threads = 0, long bandRows = 0);
    ~FrameRunner();
    FrameRunner(const FrameRunner&) = delete;
    FrameRunner& operator=(const FrameRunner&) = delete;

    unsigned threads() const;

    // Writes frame's label image (one byte per pixel: the label, or 255
    // where no label scored) to labels, rows labelStride bytes apart.
    // Throws what tool.run throws (the first failing band's error, once the
    // other bands have stopped), and kvCompositeColorSegmenterDefs::BadImage
    // for an empty frame, a layout whose offsets do not fit its pixel, or
    // rows that reach past the frame's size.
    void run(const kvCompositeColorSegmenterTool& tool,
             const kvCompositeColorSegmenterRunParams& params, const FrameView& frame,
             unsigned char* labels, std::ptrdiff_t labelStride);

    // How many pixels of the last frame run() finished carry each value
    // (label, or 255 for none).
    const std::array<uint64_t, 256>& histogram() const;

    // Calls f(top, bottom) for row ranges that together cover the last
    // frame's rows once, on the runner's threads (f must let ranges run at
    // once). For work on the frame that must wait until every band has read
    // its input, such as drawing over it. f's exceptions propagate as run()'s.
    template <class F>
    void forEachBand(F&& f) {
        forEachBand(
            [](void* context, long top, long bottom) { (*static_cast<F*>(context))(top, bottom); },
            &f);
    }
    void forEachBand(void (*f)(void* context, long top, long bottom), void* context);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace clsg
