// The subcommands of the clsg program, and the work that train, run and demo
// share.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/label_option.h"
#include "cli/region_outputs.h"
#include "cli/training_examples.h"
#include "clsg/colorseg/params.h"
#include "clsg/io/image_io.h"
#include "clsg/io/output_files.h"
#include "clsg/io/tool_file.h"

namespace CLI {
class App;
}

namespace clsg {

// A subcommand: its parser, and what to do once it has parsed.
struct Command {
    CLI::App* app;
    std::function<int()> run;
};

Command addTrainCommand(CLI::App& parent);
Command addRunCommand(CLI::App& parent);
Command addInfoCommand(CLI::App& parent);
Command addDemoCommand(CLI::App& parent);
Command addEvaluateCommand(CLI::App& parent);
Command addStudioCommand(CLI::App& parent);

// Throws UsageError for what is wrong with labels before any image is read:
// a name given twice, or an example whose text (file names and rectangles)
// is too long for a tool file.
void checkLabelOptions(const std::vector<LabelOption>& labels);

// Trains a tool from labels (checked as checkLabelOptions does), reading images
// through loadImage. With a diagDir, writes the train records there through
// files. Prints a summary to out.
ToolFile trainTool(const std::vector<LabelOption>& labels, const ImageLoader& loadImage,
                   const kvCompositeColorSegmenterTrainParams& params, const std::string& diagDir,
                   OutputFiles& files, std::ostream& out, const ReadLimits& maskLimits = {});

struct RunSettings {
    kvCompositeColorSegmenterRunParams params;
    std::string outDir;
    std::string diagDir;  // empty: no records
    ImageFormat format = ImageFormat::Png;
    unsigned jobs = 1;
    unsigned threads = 0;  // per image; 0: one per core
    // On: each image's outputs are renamed into place as soon as they are all
    // written, and a failed image is reported on stderr while the others go
    // on. Off: the first failure stops the batch and nothing is committed.
    bool keepGoing = false;
    std::string summaryPath;  // CSV, one row per image; empty: none
    RegionSettings regions;   // objects per label, clean-up, outlines
    bool score = true;        // NAME-score written (its cost grows as N to the fourth)
};

struct RunInput {
    std::string name;  // output files are named <name>-<kind>.<ext>
    std::function<kv3PlanePelBuffer()> load;
    std::string path = {};  // shown in the summary (the name when empty)
};

// What runImages puts between an image's name and an output's extension, in
// the order it stages them; "-seg-" is followed by a label's name.
struct RunOutputSuffixes {
    static constexpr const char* labels = "-labels";
    static constexpr const char* confidence = "-confidence";
    static constexpr const char* score = "-score";
    static constexpr const char* segmentation = "-seg-";
    static constexpr const char* overlay = "-overlay";
    static constexpr const char* legend = "-legend";
    static constexpr const char* all[] = {labels, confidence, score, segmentation, overlay, legend};
};

// The files runImages writes for the image called name, in the order it
// stages them: NAME-labels, -confidence, -score (unless not score),
// -seg-LABEL (one per label), -overlay and -legend, with the format's
// extensions.
std::vector<std::string> runOutputNames(const std::string& name, const ToolFile& file,
                                        ImageFormat format, bool score = true);

// How a run's reports went: what could not be written of them ("" when
// written or not asked), and which were written.
struct RunReports {
    std::string pageError, summaryError;
    bool recordsFailed = false;  // some image's diagnostic records
    bool pageWritten = false, summaryWritten = false;
};

// Segments every input (on settings.jobs threads), writes its outputs into
// settings.outDir (through files, or on their own with settings.keepGoing)
// and prints one line per image to out. The diagnostics page and the summary
// go through files; with keepGoing each is committed on its own (an image's
// records after its outputs), also after a signal, and what fails of them is
// said on stderr at once and set in reports when given; after a signal, where
// they went is said on out before Interrupted is thrown. The
// names of the written files are appended to written when given. Returns the
// number of inputs that failed (keepGoing); without keepGoing, throws
// CliError naming the first. Throws Interrupted after a signal.
std::size_t runImages(const ToolFile& tool, const std::vector<RunInput>& inputs,
                      const RunSettings& settings, OutputFiles& files, std::ostream& out,
                      std::vector<std::string>* written = nullptr, RunReports* reports = nullptr);

}  // namespace clsg
