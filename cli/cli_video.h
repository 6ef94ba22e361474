// Video files in clsg run: decoded and segmented frame by frame through the
// live layer (live/video_run.h), written as NAME-overlay.avi (or .webm) and
// NAME-frames.csv.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "clsg/io/output_files.h"
#include "clsg/io/tool_file.h"

namespace clsg {

struct VideoRunOptions {
    std::string toolPath;                         // names the tool in messages
    std::shared_ptr<const std::string> toolData;  // the tool file's bytes as read
    int32_t neighborhood = 0;                     // 0: the tool file's, else 3
    bool normalize = false;
    unsigned threads = 0;
    std::string outDir;
    uint64_t maxPixels = 0;  // largest frame, in pixels; 0: any
};

// True for a path with a video file's extension (.mp4, .mkv, .webm, .avi,
// .mov, ...).
bool isVideoInput(const std::string& path);

// The files runVideoInput writes for clip: NAME-overlay.avi (or .webm) and
// NAME-frames.csv; none in a build without GStreamer or an encoder.
std::vector<std::string> videoOutputNames(const std::string& clip);

// Segments every frame of clip and stages, through files, the overlay video
// and a CSV with a row per frame: frame, time (seconds), each label's share,
// unlabelled. Shows progress on a terminal and prints a line to out. Throws
// CliError naming clip when it cannot be read or decoded; Interrupted after
// Ctrl-C. Without GStreamer in this build, throws CliError saying so.
void runVideoInput(const ToolFile& file, const std::string& clip, const VideoRunOptions& options,
                   OutputFiles& files, std::ostream& out);

}  // namespace clsg
