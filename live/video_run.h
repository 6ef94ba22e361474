// Video files through the clsgsegment element: decoded by GStreamer's
// decodebin, segmented frame by frame, and written as an overlay video, with
// each frame's label shares handed to the caller.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace clsg {

class VideoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// True for names ending in a video extension (.mp4, .m4v, .mov, .mkv, .webm,
// .avi, .ogv, .mpg, .mpeg, .ts, .wmv, .flv; any case).
bool hasVideoExtension(const std::string& path);

// The extension of the overlay videos written here (".avi" with MPEG-4 video
// where GStreamer's libav encoders are installed, else ".webm" with VP8,
// else ".avi" with motion JPEG). Throws VideoError when none is installed.
std::string overlayVideoExtension();

// One segmented frame: its index from 0, its time in the stream in seconds
// (negative when the stream gives none), and per label its name and share of
// the frame's pixels, then the unlabelled share.
struct VideoFrameReport {
    uint64_t frame = 0;
    double seconds = -1.0;
    double frameStep = 0.0;  // seconds a frame at the stream's nominal rate; 0: it has none
    int32_t width = 0, height = 0;
    std::vector<std::string> labels;
    std::vector<double> shares;
    double unlabelled = 0.0;
};

// What a clip's file says of itself besides its frames.
struct VideoClipFacts {
    double length = -1.0;  // seconds, as the file states it; negative: it states none
    // The earliest time in the stream of the video's packets as the file
    // holds them, before decoding (frames the decoder could not read come
    // out of it as none); negative when unknown.
    double firstPacket = -1.0;
    // Where the last of any stream's packets ends (where a file cut short
    // ends); negative when unknown.
    double lastPacket = -1.0;
    double segmentedLastPacket = -1.0;  // where the segmented stream's last packet ends
    double lastPacketStart = -1.0;      // where the latest packet of any stream begins
    bool otherStreams = false;          // sound, or other video tracks, besides the one segmented
    int videoStreams = 0;               // video streams (0: unknown)
};

struct VideoRunSettings {
    std::string toolPath;
    // The tool file's bytes, when set: segmented with instead of reading
    // toolPath again (which may have been replaced since the caller read it).
    std::shared_ptr<const std::string> toolData;
    int32_t neighborhood = 0;  // 0: the tool file's, else 3
    bool normalize = false;
    unsigned threads = 0;    // 0: one per core
    uint64_t maxPixels = 0;  // frames of more pixels fail the run; 0: any size
    // Called for every frame, in order, on the calling thread, once the whole
    // clip is done.
    std::function<void(const VideoFrameReport&)> frame;
    // Called after the frames with what the clip's file says of itself.
    std::function<void(const VideoClipFacts&)> facts;
    // Called about ten times a second with the share of the clip done (0 to
    // 1, negative when the length is unknown) and the frames so far, also
    // while the overlay video is read back (1, every frame); returning false
    // stops the run (VideoError "stopped").
    std::function<bool(double done, uint64_t frames)> progress;
};

// Segments every frame of clip and writes the overlay video to overlayPath
// (its format by overlayVideoExtension(), whatever the path's extension).
// Throws VideoError naming clip for a file that cannot be read or decoded,
// holds no video, or a tool file the element refuses (the element's message),
// and when the overlay video, read back, misses frames (when the first
// encoder's does, motion JPEG is tried first where that keeps the extension).
// Returns the number of frames.
uint64_t runVideo(const std::string& clip, const std::string& overlayPath,
                  const VideoRunSettings& settings);

}  // namespace clsg
