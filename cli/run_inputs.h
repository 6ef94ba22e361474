// What clsg run reads and where it writes: the images its arguments name,
// and the checks, made before anything is read, that no output replaces an
// input or is taken for another's.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace clsg {

// A path as the file system will resolve it (as given when it cannot be).
std::filesystem::path canonicalPath(const std::filesystem::path& p);

// The image files a run reads, and the directories it lists.
struct RunPaths {
    std::vector<std::string> images;
    std::vector<std::string> dirs;
};

// The images an argument names: a file as given; a directory's files with an
// image extension, sorted by name (not descending into subdirectories). A
// link to nothing (or a loop) is kept, to fail as it would named on its own; other
// entries that are not files (a FIFO would wait for a writer) go to passed,
// and videos (taken only when named) to videos.
std::vector<std::string> expandImageArgument(const std::string& arg,
                                             std::vector<std::string>& passed,
                                             std::vector<std::string>& videos);

// The images the arguments name. A file found in a directory is skipped when
// its name is one a run writes for another of its images, in either format
// (so a run does not segment an earlier run's outputs, whatever its
// --format); note lists the skipped files.
RunPaths selectImages(const std::vector<std::string>& args, const ToolFile& file,
                      std::ostream& note);

// Refuses a run that would write an output over one of its inputs, or over
// any file in a directory it reads its images or videos from, before
// anything is read.
void refuseReplacingInputs(const RunPaths& paths, const std::vector<RunInput>& inputs,
                           const std::vector<std::string>& videos, const std::string& toolPath,
                           const ToolFile& file, const RunSettings& settings);

// Says which files of an earlier run in the output folder, under this run's
// image names, this run does not write, so that they are not taken for its
// own: a score left out, a region table not asked for, the segmentation of a
// label this tool lacks. They stay.
void noteEarlierOutputs(const std::vector<RunInput>& inputs, const ToolFile& file,
                        const RunSettings& settings);

}  // namespace clsg
