// clsg run TOOL.clsg IMAGE... --out DIR
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <system_error>

#include "cli/cli_error.h"
#include "cli/cli_video.h"
#include "cli/commands.h"
#include "cli/console_aside.h"
#include "cli/count_option.h"
#include "cli/diag_folder.h"
#include "cli/earlier_outputs.h"
#include "cli/interrupts.h"
#include "cli/path_option.h"
#include "cli/run_inputs.h"
#include "cli/run_reports.h"

namespace clsg {

namespace fs = std::filesystem;

namespace {

struct RunOptions {
    std::string tool;
    std::vector<std::string> images;
    std::string outDir;
    int32_t neighborhood = 0;  // 0: the tool file's, else 3
    bool normalize = false;
    unsigned jobs = 1;
    unsigned threads = 0;
    std::string diagDir;
    std::string format = "png";
    uint64_t maxPixels = ReadLimits().maxPixels;
    std::string summary;
    bool regions = false, outline = false;
    uint64_t minArea = 0, fillHoles = 0;
    int connectivity = 8;
    bool noScore = false;
};

// The run's settings from its options and the tool file.
RunSettings settingsOf(const RunOptions& o, const ToolFile& file, ImageFormat format) {
    RunSettings settings;
    settings.params = kvCompositeColorSegmenterRunParams(
        o.neighborhood > 0 ? o.neighborhood : file.neighborhoodSize.value_or(3), o.normalize);
    settings.outDir = o.outDir;
    settings.diagDir = o.diagDir;
    settings.format = format;
    settings.jobs = o.jobs;
    settings.threads = o.threads;
    settings.keepGoing = true;
    settings.summaryPath = o.summary;
    settings.regions.table = o.regions;
    settings.regions.outline = o.outline;
    settings.regions.options.minArea = o.minArea;
    settings.regions.options.fillHoles = o.fillHoles;
    settings.regions.options.connectivity = o.connectivity;
    settings.score = !o.noScore;
    return settings;
}

// Two videos of one name would write the same outputs (an image of that name
// writes others): refused before anything is read.
void refuseSharedVideoNames(const std::vector<std::string>& videos) {
    std::map<std::string, std::string> seen;
    for (const std::string& clip : videos) {
        const auto [at, fresh] = seen.emplace(fs::path(clip).stem().string(), clip);
        if (!fresh)
            throw CliError("the videos " + at->second + " and " + clip + " are both named " +
                           at->first + "; their outputs would collide: rename one of them");
    }
}

// Stopped by a signal: the clip at work and those not reached whose names an
// earlier run's outputs hold are said, lest they pass for this run's.
void noteEarlierOutputs(const std::string& outDir, const std::string& clip,
                        const std::vector<EarlierOutput>& earlier,
                        const std::vector<std::string>& videos, std::size_t next) {
    std::string note = earlierOutputsNote(clip, earlier);
    for (std::size_t i = next; i < videos.size() && note.empty(); ++i)
        note = earlierOutputsNote(videos[i], earlierFiles(outDir, videoOutputNames(videos[i])));
    if (!note.empty()) std::cerr << "clsg: note: " << oneLine(note) << std::endl;
}

// The video files one after the other, each one's outputs all or none;
// returns how many failed.
std::size_t runVideos(const RunOptions& o, const ToolFile& file,
                      const std::shared_ptr<const std::string>& toolBytes,
                      const RunSettings& settings, const std::vector<std::string>& videos,
                      OutputFiles& files) {
    std::size_t failed = 0;
    if (!videos.empty()) files.makeDir(o.outDir, "--out");
    for (std::size_t i = 0; i < videos.size(); ++i) {
        const std::string& clip = videos[i];
        const std::vector<EarlierOutput> earlier = earlierFiles(o.outDir, videoOutputNames(clip));
        const auto failedWith = [&](const std::string& error) {
            std::cerr << "clsg: error: " << oneLine(error) << std::endl;
            const std::string note = earlierOutputsNote(clip, earlier);
            if (!note.empty()) std::cerr << "clsg: note: " << oneLine(note) << std::endl;
            ++failed;
        };
        try {
            try {
                OutputFiles own(files, true);
                std::ostringstream said;  // once the outputs are in place
                runVideoInput(file, clip,
                              {o.tool, toolBytes, settings.params.neighborhoodSize(), o.normalize,
                               o.threads, o.outDir, o.maxPixels},
                              own, said);
                own.commit();
                // As each clip is done, as an image's line is: a reader that went away
                // stops the run, and a log shows the clips finished.
                std::cout << said.str() << std::flush;
            } catch (const CliError& e) {
                checkInterrupt();
                failedWith(e.what());
            } catch (const FileError& e) {
                failedWith(clip + ": " + e.what());
            }
        } catch (const Interrupted&) {
            noteEarlierOutputs(o.outDir, clip, earlier, videos, i + 1);
            throw;
        }
    }
    return failed;
}

int runCommand(const RunOptions& o) {
    const ConsoleAside aside({o.summary});
    // Videos are segmented with these bytes too, not with a file put in the
    // tool's place meanwhile.
    auto toolBytes = std::make_shared<const std::string>(readToolFileBytes(o.tool));
    const ToolFile file = decodeToolFile(*toolBytes, o.tool);
    const ImageFormat format = o.format == "pnm" ? ImageFormat::Pnm : ImageFormat::Png;
    std::vector<std::string> imageArgs, videos;
    for (const std::string& arg : o.images) {
        std::error_code ec;  // a folder named like a video holds images
        (isVideoInput(arg) && !fs::is_directory(arg, ec) ? videos : imageArgs).push_back(arg);
    }
    if (videos.empty()) toolBytes.reset();  // only videos use them
    const RunPaths paths = selectImages(imageArgs, file, std::cerr);
    if (!videos.empty()) {
        if (!o.summary.empty() && paths.images.empty())
            throw UsageError(
                "--summary lists a run's images; a video's table is its NAME-frames.csv");
        if (o.regions || o.outline || o.minArea || o.fillHoles || !o.diagDir.empty())
            std::cerr << "clsg: note: --regions, --outline, --min-area, --fill-holes and --diag "
                         "apply to images, not to video files\n";
        if (paths.images.empty() && o.format == "pnm")
            std::cerr << "clsg: note: --format applies to images; a video's overlay is AVI\n";
    }
    if (o.connectivity != 8 && !o.regions && !o.outline && !o.minArea && !o.fillHoles)
        std::cerr << "clsg: note: --connectivity applies to regions, and no option here finds "
                     "them (--regions, --outline, --min-area or --fill-holes)\n";
    std::vector<RunInput> inputs;
    for (const std::string& path : paths.images)
        inputs.push_back({fs::path(path).stem().string(),
                          [path, maxPixels = o.maxPixels]() {
                              ReadLimits limits;
                              limits.maxPixels = maxPixels;
                              limits.raise = "raise it with --max-pixels";
                              return readColorImage(path, limits);
                          },
                          path});
    const RunSettings settings = settingsOf(o, file, format);
    if (o.neighborhood == 0 && file.neighborhoodSize)
        std::cout << "neighbourhood " << settings.params.neighborhoodSize() << " (stored in "
                  << o.tool << ")\n";
    refuseSharedVideoNames(videos);
    refuseReplacingInputs(paths, inputs, videos, o.tool, file, settings);
    OutputFiles files;  // and none of its outputs (diagnostics too) over an input
    files.protect(o.tool);
    for (const std::string& path : paths.images) files.protect(path);
    for (const std::string& clip : videos) files.protect(clip);
    // A video's outputs over an input too are refused before anything is read.
    for (const std::string& clip : videos)
        for (const std::string& name : videoOutputNames(clip))
            files.refuseInput((fs::path(o.outDir) / name).string());
    if (!o.summary.empty()) {
        const fs::path parent = fs::path(o.summary).parent_path();
        if (!parent.empty())
            files.makeDir(parent.string(), "--summary " + o.summary + ": its folder");
        refuseUnwritable(o.summary);  // not found only once every image is done
    }
    std::optional<DiagFolder> diagFolder;
    if (!o.diagDir.empty() && !inputs.empty()) {
        files.makeDir(o.diagDir, "--diag");  // not after the work
        diagFolder.emplace(o.diagDir, files.madeDir(o.diagDir));
    }
    noteEarlierOutputs(inputs, file, settings);
    RunReports reports;
    const std::size_t failed =
        inputs.empty() ? 0 : runImages(file, inputs, settings, files, std::cout, nullptr, &reports);
    std::size_t videosFailed = 0;
    try {
        videosFailed = runVideos(o, file, toolBytes, settings, videos, files);
    } catch (...) {  // stopped in a video: the images' reports are there, and said
        if (interruptSignal()) {
            sayRunReports(reports, settings, std::cout);
            std::cout.flush();
        }
        throw;
    }
    const std::size_t total = inputs.size() + videos.size();
    const std::size_t failures = failed + videosFailed;
    // Every output is committed on its own by now; when every input failed,
    // only the folders a summary needs are worth keeping.
    if (failures < total || !o.summary.empty()) {
        files.commit();
        if (failures < total) std::cout << "outputs in " << oneLine(o.outDir) << "\n";
    }
    sayRunReports(reports, settings, std::cout);
    if (failures != 0)
        std::cerr << failures << " of " << total
                  << (videos.empty() ? " images failed\n" : " inputs failed\n");
    const bool reported =
        reports.pageError.empty() && reports.summaryError.empty() && !reports.recordsFailed;
    return failures == 0 && reported ? 0 : 1;
}

void addRunOptions(CLI::App* app, RunOptions& o) {
    app->footer(
        "Writes per image NAME-labels, NAME-confidence, NAME-score (unless --no-score), "
        "NAME-seg-LABEL (one per "
        "label), NAME-overlay and NAME-legend (each label's colour, name and share) into the "
        "output directory, and with --regions NAME-regions.csv. A directory argument means the "
        "image files inside it, except those named as outputs of its other images. A run never "
        "writes over its inputs nor over files in a directory it reads from. An image that cannot "
        "be read or segmented is reported and "
        "skipped; the others are written, each image's outputs all or none, and the exit "
        "status is 1. Ctrl-C leaves the finished images' outputs and no partial files. "
        "A video file gives NAME-overlay.avi (the overlay video) and NAME-frames.csv (per "
        "frame: index, time in seconds, each label's share, the unlabelled share).");
    app->add_option("tool", o.tool, "Tool file written by clsg train")
        ->required()
        ->check(nonEmptyPath());
    app->add_option("images", o.images,
                    "Images or directories of images to segment (PNG, JPEG, TIFF, BMP, PPM/PGM), "
                    "or video files (.mp4, .m4v, .mov, .mkv, .webm, .avi, .ogv, .ogg, .mpg, .mpeg, "
                    ".ts, .wmv, .flv)")
        ->required()
        ->check(nonEmptyPath());
    app->add_option("-o,--out", o.outDir, "Output directory (created if missing)")
        ->required()
        ->check(nonEmptyPath());
    app->add_option("-n,--neighborhood", o.neighborhood,
                    "Side of the scoring neighbourhood (default: the tool file's, else 3)")
        ->transform(wholeNumber(1, 255));
    app->add_flag("--normalize-intensity", o.normalize,
                  "Match the image's brightness to the trained colours first");
    app->add_option("-j,--jobs", o.jobs, "Images processed at once")
        ->transform(wholeNumber(1, 256))
        ->capture_default_str();
    app->add_option("--threads", o.threads,
                    "Threads per image, each segmenting a band of rows (0: one per core; "
                    "not used with --diag)")
        ->transform(wholeNumber(0, 1024))
        ->capture_default_str();
    app->add_option("--diag", o.diagDir, "Write the diagnostic records into this directory")
        ->check(nonEmptyPath());
    app->add_option("--format", o.format, "Output image format")
        ->check(CLI::IsMember({"png", "pnm"}))
        ->capture_default_str();
    app->add_option("--max-pixels", o.maxPixels, "Largest image read, in pixels")
        ->transform(countAtLeast(1))
        ->capture_default_str();
    app->add_option("--summary", o.summary,
                    "Write a CSV file with one row per image: its status, size, milliseconds "
                    "taken and each label's share of the pixels (0 to 1; the column is "
                    "the label's name, or share_NAME where another column has it); with "
                    "--regions, "
                    "each label's region count too")
        ->transform(outputFile());
    app->add_flag("--regions", o.regions,
                  "Write NAME-regions.csv: one row per region (connected pixels of one label) "
                  "with its label, number, area, box, centroid, mean confidence (0 to 255) and "
                  "whether it touches the border, sorted by label, top and left");
    app->add_option("--min-area", o.minArea,
                    "Drop regions of fewer pixels: they leave the table and become unlabelled "
                    "in the label image and overlay")
        ->transform(countAtLeast(0))
        ->capture_default_str();
    app->add_option("--fill-holes", o.fillHoles,
                    "Give holes of at most this many pixels inside a region its label (in the "
                    "table, label image and overlay)")
        ->transform(countAtLeast(0))
        ->capture_default_str();
    app->add_option("--connectivity", o.connectivity,
                    "8: pixels touching at a corner belong to one region; 4: only across an edge")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {  // "", "08", "+8", "4.0" are none
                return text == "4" || text == "8" ? "" : "must be 4 or 8, not '" + text + "'";
            },
            "4 or 8"))
        ->capture_default_str();
    app->add_flag("--no-score", o.noScore,
                  "Do not write NAME-score: its cost grows as the neighbourhood to the fourth "
                  "power (at 21, several times the rest of the run); --diag's records still hold "
                  "it");
    app->add_flag("--outline", o.outline,
                  "Outline the regions on the overlay and number them within their label");
}

}  // namespace

Command addRunCommand(CLI::App& parent) {
    auto o = std::make_shared<RunOptions>();
    CLI::App* app = parent.add_subcommand("run", "Segment images with a trained tool");
    addRunOptions(app, *o);
    return {app, [o]() { return runCommand(*o); }};
}

}  // namespace clsg
