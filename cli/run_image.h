// One image of clsg run: segmenting it, staging its outputs and what it
// leaves for the run's report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "clsg/platform/diag.h"
#include "clsg/platform/three_plane.h"

namespace clsg {

// What one image's run leaves for the report.
struct ImageOutcome {
    std::string line;      // the console line
    std::string note;      // said on stderr beside it, or empty
    std::string error;     // empty on success
    kvDiagObject diag;     // until its section is staged
    std::string diagHtml;  // the section of the diagnostics page
    std::vector<std::string> written;
    long width = 0, height = 0;
    uint64_t pixels = 0;                 // of the image read, written or not: memory to give back
    std::vector<uint64_t> counts;        // per label, then unlabelled
    std::vector<uint64_t> regionCounts;  // per label, with --regions
    double milliseconds = 0.0;           // reading, segmenting and writing
    kv3PlanePelBuffer overlay, legend;   // until the diagnostics section is staged
    bool finished = false;               // written or failed; not stopped by a signal
};

// An output image's extension: .png, or .ppm / .pgm for PNM.
std::string outputExtension(ImageFormat format, bool colour);

// The names of an image's outputs in the output directory, its region table too.
std::vector<std::string> imageOutputNames(const std::string& name, const ToolFile& file,
                                          const RunSettings& settings);

// Segments one image and stages its outputs through files.
void segmentOne(const kvCompositeColorSegmenterTool& tool, const ToolFile& file,
                const RunInput& input, const RunSettings& settings, OutputFiles& files,
                ImageOutcome& outcome);

}  // namespace clsg
