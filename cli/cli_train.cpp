// clsg train OUT.clsg --label NAME=IMAGE[:MASK|@RECTS][,...] ...
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/console_aside.h"
#include "cli/count_option.h"
#include "cli/diag_folder.h"
#include "cli/diag_html.h"
#include "cli/path_option.h"
#include "clsg/colorseg/segmenter_tool.h"
#include "clsg/io/label_colors.h"
#include "clsg/io/teaching_warnings.h"
#include "clsg/io/tool_file.h"
#include "clsg/platform/str.h"
#include "clsg/tuning/fitting_fraction.h"
#include "clsg/tuning/quality_report.h"
#include "clsg/tuning/search_warnings.h"
#include "clsg/tuning/tolerance_limits.h"
#include "clsg/tuning/training_heap.h"

namespace clsg {

namespace {

// Whether path names a terminal: standard output that is one (as "-" names
// it), or a device that is one (/dev/fd/1, /dev/pts/0), opened without
// waiting and without becoming the process's terminal to ask.
bool isTerminal(const std::string& path) {
    if (path == "/dev/stdout") return ::isatty(STDOUT_FILENO) == 1;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const bool terminal = fd >= 0 && ::isatty(fd) == 1;
    if (fd >= 0) ::close(fd);
    return terminal;
}

// What to do about examples over the budget at params' fraction.
std::string overBudgetAdvice(const std::vector<kvCompositeColorSet>& sets,
                             const kvCompositeColorSegmenterTrainParams& params) {
    const double fits = nearestFittingFraction(sets, params, ToolFileLimits().budget);
    if (fits == 0) return "give fewer or smaller examples";
    return std::string(fits > params.colorToleranceFrac() ? "raise" : "lower") +
           " --color-tolerance-frac (they fit at " + kfStr(fits) + ") or give fewer examples";
}

// Reading a tool file trains its tool again, within the budget of files from
// elsewhere, and holds its examples: a tool over either could be written but
// never read back.
void checkReadable(const std::vector<kvCompositeColorSet>& sets,
                   const kvCompositeColorSegmenterTrainParams& params) {
    try {
        ToolFileLimits().budget.check(sets, params);
    } catch (const kvCompositeColorSegmenterBudget::Exceeded& e) {
        throw CliError(std::string("a tool of these examples at colorToleranceFrac ") +
                       kfStr(params.colorToleranceFrac()) + " could not be read back: " + e.what() +
                       " (tool files are trained again when read); " +
                       overBudgetAdvice(sets, params));
    }
    if (const std::string why = whyUnreadable(sets, params); !why.empty())
        throw CliError("a tool of these examples could not be read back: " + why +
                       "; give fewer or smaller examples");
}

}  // namespace

void checkLabelOptions(const std::vector<LabelOption>& labels) {
    if (labels.size() > 254)  // before any image is read
        throw UsageError("too many labels: " + std::to_string(labels.size()) +
                         " given, and a tool takes at most 254 (the label image's 255 is "
                         "\"unlabelled\")");
    std::set<std::string> names;
    for (const LabelOption& label : labels) {
        if (!names.insert(label.name).second)
            throw UsageError("label " + label.name + " is given twice");
        for (const ExampleSource& example : label.examples) {
            const std::size_t size = exampleSourceText(example).size();
            if (size > kMaxToolSourceText)
                throw UsageError("label " + label.name + ": the example " + example.image +
                                 " with " + std::to_string(example.rects.size()) +
                                 " rectangles takes " + std::to_string(size) +
                                 " characters, more than the " +
                                 std::to_string(kMaxToolSourceText) +
                                 " a tool file keeps; give them as a mask image");
        }
    }
}

namespace {

// A mask saved as JPEG selects the faint pixels its compression leaves about
// the strokes: every pixel that is not black.
void warnOfLossyMasks(const std::vector<LabelOption>& labels) {
    std::set<std::string> said;
    for (const LabelOption& label : labels)
        for (const ExampleSource& ex : label.examples)
            if (const std::string jpeg =
                    ex.mask.empty() || !said.insert(ex.mask).second ? "" : jpegCompressed(ex.mask);
                !jpeg.empty())
                std::cerr << "clsg: warning: the mask " << oneLine(ex.mask) << " is " << jpeg
                          << ": its compression leaves faint pixels about the strokes, "
                             "which it selects too (a mask selects every pixel that is not "
                             "black); save masks as PNG\n";
}

}  // namespace

ToolFile trainTool(const std::vector<LabelOption>& labels, const ImageLoader& loadImage,
                   const kvCompositeColorSegmenterTrainParams& params, const std::string& diagDir,
                   OutputFiles& files, std::ostream& out, const ReadLimits& maskLimits) {
    checkLabelOptions(labels);
    // Cut to their selections, as the tool file stores them: the same model.
    const std::vector<kvCompositeColorSet> sets =
        cropExamples(buildCompositeColors(labels, loadImage, maskLimits));
    checkReadable(sets, params);
    ToolFile file;
    std::vector<std::string> labelNames;
    std::vector<std::optional<uint32_t>> chosen, means;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        labelNames.push_back(labels[i].name);
        chosen.push_back(labels[i].color);
        means.push_back(meanExampleColor(sets[i]));
    }
    const std::vector<uint32_t> colours = labelColors(labelNames, chosen, means);
    for (const std::string& warning : teachingWarnings(labelNames, sets, colours))
        std::cerr << "clsg: warning: " << warning << "\n";
    for (const std::string& warning : sharedPixelWarnings(labels, sets))
        std::cerr << "clsg: warning: " << oneLine(warning) << "\n";
    warnOfLossyMasks(labels);
    for (std::size_t i = 0; i < labels.size(); ++i) {
        ToolLabel entry{labels[i].name, colours[i], {}};
        for (const ExampleSource& ex : labels[i].examples)
            entry.sources.push_back(exampleSourceText(ex));
        file.labels.push_back(entry);
    }
    kvDiagObject diag;
    const auto start = std::chrono::steady_clock::now();
    file.tool.train(sets, params, diagDir.empty() ? nullptr : &diag,
                    kvCompositeColorSegmenterTool::kDiagInputs);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    // The records go with the tool: when they cannot be written, neither is the tool.
    if (!diagDir.empty()) try {
            writeDiagReport(diagDir, "clsg train", {{"train", &diag}}, files, file.labelNames());
        } catch (const FileError& e) {
            throw FileError(saidOfWhatWasWritten(e.what(), "") + "; nothing was written");
        }

    std::size_t examples = 0;
    for (const LabelOption& label : labels) examples += label.examples.size();
    out << "trained " << labels.size() << (labels.size() == 1 ? " label" : " labels") << " from "
        << examples << (examples == 1 ? " example" : " examples") << " in " << std::fixed
        << std::setprecision(1) << took.count() << " ms\n";
    return file;
}

namespace {

// Reads every image file once, however many examples name it.
ImageLoader cachingLoader(const ImageLoader& load) {
    auto cache = std::make_shared<std::map<std::string, kv3PlanePelBuffer>>();
    return [cache, load](const std::string& path) {
        auto it = cache->find(path);
        if (it == cache->end()) it = cache->emplace(path, load(path)).first;
        return it->second;
    };
}

struct AutoChoice {
    clsg::SuggestReport report;
    nlohmann::json json;
};

// Chooses the parameters by cross-validation and prints the report.
AutoChoice chooseParams(const std::vector<LabelOption>& labels, const ImageLoader& loadImage,
                        std::ostream& out, const ReadLimits& maskLimits, unsigned threads) {
    std::vector<std::string> names;
    for (const LabelOption& label : labels) names.push_back(label.name);
    const std::vector<kvCompositeColorSet> sets =
        buildCompositeColors(labels, loadImage, maskLimits);
    // The search trains a tool per fold and candidate, each allocating and
    // freeing colour tables of several MiB. Under glibc's defaults these are
    // mapped and unmapped every time, and faulting in the fresh pages costs
    // far more than the training itself at small tolerances (about 25 times
    // at 0.02).
    useTrainingHeap();
    shareTrainingHeapWithThreads();  // before the search starts its threads
    const auto start = std::chrono::steady_clock::now();
    clsg::SuggestOptions options;
    options.threads = threads ? threads : std::max(1u, std::thread::hardware_concurrency());
    options.labelNames = names;
    // On a terminal, say how far the search is (it may take a while on
    // large examples); logs and pipes get only the report.
    // The line is cleared however the search ends (done, failed or stopped).
    struct ProgressLine {
        bool shown = false;
        void clear() {
            if (shown) std::cerr << "\r\033[K" << std::flush;
            shown = false;
        }
        ~ProgressLine() { clear(); }
    } line;
    if (isatty(STDERR_FILENO))
        options.progress = [&line](uint32_t done) {
            line.shown = true;
            std::cerr << "\rchoosing the parameters: " << done << " of " << kSuggestTolerances
                      << " steps" << std::flush;
        };
    // Only tolerances whose tool could be read back (see checkReadable).
    const std::vector<kvCompositeColorSet> stored = cropExamples(sets);
    options.checkCost = [&](const kvCompositeColorSegmenterTrainParams& p) {
        ToolFileLimits().budget.check(stored, p);
    };
    AutoChoice choice;
    try {
        choice.report = clsg::suggestSegmenterParams(sets, options);
    } catch (const kvCompositeColorSegmenterBudget::Exceeded& e) {
        throw CliError(std::string("no tolerance --auto tries gives a tool that could be read "
                                   "back: ") +
                       e.what() + " (tool files are trained again when read)");
    }
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    line.clear();  // before the report
    printSuggestReport(out, names, choice.report);
    out << "chose the parameters in " << std::fixed << std::setprecision(1) << took.count()
        << " ms\n";
    out.unsetf(std::ios::floatfield);
    for (const std::string& warning : searchWarnings(names, choice.report))
        std::cerr << "clsg: warning: " << warning << " (the tool is written all the same)\n";
    choice.json = suggestReportJson(names, choice.report);
    choice.json["milliseconds"] = took.count();
    return choice;
}

}  // namespace

Command addTrainCommand(CLI::App& parent) {
    struct Options {
        std::string output;
        std::vector<std::string> labels;
        double toleranceFrac = 0.1;
        uint32_t toleranceMin = 2;
        std::string diagDir;
        uint64_t maxPixels = ReadLimits().maxPixels;
        bool autoParams = false;
        std::string reportPath;
        unsigned threads = 0;
    };
    auto o = std::make_shared<Options>();
    CLI::App* app = parent.add_subcommand("train", "Train a tool from labelled example images");
    app->footer(
        "Each --label NAME[#RRGGBB]=EXAMPLE[,EXAMPLE...] defines one label and, optionally, its "
        "display colour (otherwise a colour name's own, or one near its examples' mean colour); "
        "NAME is 1 to 64 letters, digits, "
        "'_' or '-'. An EXAMPLE is IMAGE (the whole "
        "image), IMAGE:MASK (a mask of the image's size, grey, colour or palette: every "
        "non-black pixel is selected) or IMAGE@x,y,w,h[+x,y,w,h...] (rectangles). Images are "
        "PNG, JPEG, TIFF, BMP or binary PPM/PGM. In file names, write \\, \\: \\@ and \\\\ "
        "for a comma, colon, at sign and backslash (a backslash before anything else is refused; "
        "quote the argument for the shell).");
    app->add_option("output", o->output, "Tool file to write (e.g. colors.clsg)")
        ->required()
        ->transform(outputFile());
    app->add_option("-l,--label", o->labels,
                    "A label and its examples (repeat per label, at most 254 labels)")
        ->required()
        ->expected(1)
        ->allow_extra_args(false)  // a positional after it is no second value
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app->add_option("--color-tolerance-frac", o->toleranceFrac,
                    "Relative colour tolerance, above 0, at most 1")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                char* end = nullptr;
                const double v = std::strtod(text.c_str(), &end);
                if (text.empty() || *end != '\0' || !(v >= 0.0 && v <= 1.0))
                    return "must be a number from 0 to 1, not '" + text + "'";
                return {};
            },
            "FLOAT in [0.000001 - 1]"))
        ->capture_default_str();
    app->add_option("--color-tolerance-min", o->toleranceMin,
                    "Smallest colour tolerance, in channel units")
        ->transform(wholeNumber(0, 255))
        ->capture_default_str();
    app->add_option("--diag", o->diagDir, "Write the diagnostic records into this directory")
        ->check(nonEmptyPath());
    app->add_option("--max-pixels", o->maxPixels, "Largest image read, in pixels")
        ->transform(countAtLeast(1))
        ->capture_default_str();
    CLI::Option* autoFlag =
        app->add_flag("--auto", o->autoParams,
                      "Choose the colour tolerance and the neighbourhood by cross-validation on "
                      "the examples, and print how well each label is found");
    app->add_option("--report", o->reportPath, "With --auto: also write the report as JSON")
        ->needs(autoFlag)
        ->transform(outputFile());
    app->add_option("--threads", o->threads,
                    "With --auto: threads that score several tolerances at once (0: one per "
                    "core; the choice is the same on any number)")
        ->needs(autoFlag)
        ->transform(wholeNumber(0, 1024))
        ->capture_default_str();
    for (CLI::Option* given : app->get_options())
        if (given->get_name() == "--color-tolerance-frac" ||
            given->get_name() == "--color-tolerance-min")
            given->excludes(autoFlag);

    return {
        app, [o]() {
            const ConsoleAside aside({o->output, o->reportPath});
            if (o->toleranceFrac < kMinToleranceFrac)
                throw UsageError(
                    "--color-tolerance-frac: 0, or a fraction below 0.000001, gives every colour "
                    "a weight of (about) 0, so the tool would label no pixel; give 0.02 to 0.3, "
                    "or --auto");
            if (isTerminal(o->output))
                throw UsageError(
                    "a tool file is binary, not written to a terminal: send standard output to "
                    "a file or a pipe, or give a file name");
            std::vector<LabelOption> labels;
            for (const std::string& text : o->labels) labels.push_back(parseLabelOption(text));
            checkLabelOptions(labels);  // before any image is read or searched
            kvCompositeColorSegmenterTrainParams params(o->toleranceFrac, o->toleranceMin);
            ReadLimits limits;
            limits.maxPixels = o->maxPixels;
            limits.raise = "raise it with --max-pixels";
            const ImageLoader loader = cachingLoader(
                [limits](const std::string& path) { return readColorImage(path, limits); });
            OutputFiles files;
            // Example images and masks are never written over: refused before any work
            // (and, for the diagnostic records, when they are put in place).
            for (const LabelOption& label : labels)
                for (const ExampleSource& example : label.examples) {
                    files.protect(example.image);
                    if (!example.mask.empty()) files.protect(example.mask);
                }
            files.refuseInput(o->output);
            if (!o->reportPath.empty()) files.refuseInput(o->reportPath);
            // The outputs' places are taken before any work: a report named like
            // the tool, or in a directory that cannot be made, fails at once.
            std::optional<DiagFolder> diagFolder;
            if (!o->diagDir.empty()) {
                files.makeDir(o->diagDir, "--diag");
                diagFolder.emplace(o->diagDir, files.madeDir(o->diagDir));
            }
            std::string toolTemp, reportTemp;
            for (const auto& [path, temp] :
                 {std::pair{&o->output, &toolTemp}, std::pair{&o->reportPath, &reportTemp}}) {
                if (path->empty()) continue;
                const std::filesystem::path parent = std::filesystem::path(*path).parent_path();
                if (!parent.empty()) files.makeDir(parent.string());
                *temp = files.stage(*path);
            }
            std::optional<AutoChoice> choice;
            if (o->autoParams) {
                choice = chooseParams(labels, loader, std::cout, limits, o->threads);
                params = choice->report.trainParams;
                if (!reportTemp.empty())
                    if (const int e = writeFileBytes(
                            reportTemp,
                            choice->json.dump(2, ' ', false,
                                              nlohmann::json::error_handler_t::replace) +
                                "\n"))
                        throw FileError("cannot write " + o->reportPath + ": " + std::strerror(e) +
                                        "; nothing was written");
            }
            ToolFile tool = trainTool(labels, loader, params, o->diagDir, files, std::cout, limits);
            if (choice) {
                // The choice travels with the tool: run and evaluate use
                // its neighbourhood unless told otherwise, info shows the
                // estimate.
                tool.neighborhoodSize = choice->report.runParams.neighborhoodSize();
                // Without the search's time: the same examples give the same file.
                nlohmann::json stored = choice->json;
                stored.erase("milliseconds");
                tool.qualityJson =
                    stored.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            }
            try {
                writeToolFile(toolTemp, tool, o->output);
            } catch (const ToolFileError& e) {  // the report and records go with it
                throw ToolFileError(std::string(e.what()) + "; nothing was written");
            }
            files.commit();
            std::cout << "wrote " << oneLine(o->output) << "\n";
            if (!o->diagDir.empty())
                std::cout << "diagnostics: " << oneLine(o->diagDir) << "/index.html\n";
            return 0;
        }};
}

}  // namespace clsg
