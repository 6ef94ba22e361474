// clsg run TOOL.clsg IMAGE... --out DIR
#include <sys/stat.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

#include "cli/cli_error.h"
#include "cli/cli_video.h"
#include "cli/commands.h"
#include "cli/count_option.h"
#include "cli/diag_html.h"
#include "cli/interrupts.h"
#include "cli/legend.h"
#include "cli/path_option.h"
#include "cli/share_columns.h"
#include "clsg/colorseg/segmenter_result.h"
#include "clsg/io/overlay.h"
#include "clsg/io/teaching_warnings.h"
#include "clsg/tiled/tiled_run.h"
#include "clsg/tuning/quality_report.h"
#include "clsg/tuning/task_threads.h"

namespace clsg {

namespace fs = std::filesystem;

namespace {

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

std::string extension(ImageFormat format, bool colour) {
    if (format == ImageFormat::Png) return ".png";
    return colour ? ".ppm" : ".pgm";
}

// The label, confidence, score and segmentation images of one image, in row
// bands on settings.threads threads with progress on a terminal. With --diag,
// one whole-image run instead, whose diagnostic records the library writes.
std::vector<kvPelBuffer_const<unsigned char>> segmentImage(
    const kvCompositeColorSegmenterTool& tool, const kv3PlanePelBuffer& image,
    const std::string& name, const RunSettings& settings, kvDiagObject* diag) {
    const std::size_t labelCount = tool.compositeColors().size();
    std::vector<kvPelBuffer_const<unsigned char>> images;
    if (diag) {
        kvCompositeColorSegmenterResult result;
        tool.run(image, settings.params, result, diag,
                 kvCompositeColorSegmenterTool::kDiagInputs |
                     kvCompositeColorSegmenterTool::kDiagOutputs);
        images = {result.labelImage(), result.confidenceImage(),
                  settings.score ? result.scoreImage() : kvPelBuffer_const<unsigned char>()};
        for (std::size_t i = 0; i < labelCount; ++i)
            images.push_back(result.segmentationImage(static_cast<unsigned char>(i)));
        return images;
    }
    clsg::TiledOutputs outputs{true, true, settings.score, {}};
    for (std::size_t i = 0; i < labelCount; ++i)
        outputs.segmentations.push_back(static_cast<unsigned char>(i));
    clsg::TiledOptions options;
    options.threads = settings.threads;
    // Progress within the image, on a terminal, when images run one at a time.
    const bool progress = settings.jobs <= 1 && ::isatty(STDERR_FILENO);
    int shown = -1;
    if (progress)
        options.progress = [&](long done, long total) {
            const int percent = static_cast<int>(100 * done / total);
            if (percent != shown)
                std::cerr << "\r\033[K" << oneLine(name) << ": " << percent << "%" << std::flush;
            shown = percent;
            return true;
        };
    clsg::TiledImages tiled = clsg::tiledRun(tool, image, settings.params, outputs, options);
    if (progress) std::cerr << "\r\033[K" << std::flush;
    images = {tiled.label, tiled.confidence, tiled.score};
    images.insert(images.end(), tiled.segmentations.begin(), tiled.segmentations.end());
    return images;
}

// Segments one image and stages its outputs through files.
void segmentOne(const kvCompositeColorSegmenterTool& tool, const ToolFile& file,
                const RunInput& input, const RunSettings& settings, OutputFiles& files,
                ImageOutcome& outcome) {
    const auto begin = std::chrono::steady_clock::now();
    const kv3PlanePelBuffer image = input.load();
    outcome.pixels = static_cast<uint64_t>(image.width()) * static_cast<uint64_t>(image.height());
    checkInterrupt();
    outcome.note = narrowImageNote(input.name, image.width(), image.height(),
                                   settings.params.neighborhoodSize());
    const auto start = std::chrono::steady_clock::now();
    const std::vector<kvPelBuffer_const<unsigned char>> images = segmentImage(
        tool, image, input.name, settings, settings.diagDir.empty() ? nullptr : &outcome.diag);
    const kvPelBuffer_const<unsigned char>&confidence = images[1], &score = images[2];
    // Regions; when cleaning, the cleaned label image stands for the label
    // image in every output.
    kvPelBuffer_const<unsigned char> labels = images[0];
    clsg::CleanedRegions regions;
    const RegionSettings& regionSettings = settings.regions;
    if (regionSettings.wanted()) {
        clsg::RegionOptions options = regionSettings.options;
        options.threads = settings.jobs > 1 ? 1 : settings.threads;
        regions = clsg::cleanRegions(images[0], confidence, options, regionSettings.outline);
        if (regionSettings.cleans()) labels = regions.labels;
        outcome.regionCounts = clsg::regionCounts(regions.regions, file.labels.size());
    }
    const std::vector<kvPelBuffer_const<unsigned char>> segmentations(images.begin() + 3,
                                                                      images.end());
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;

    // The outputs, staged in order, then encoded on the threads this image
    // may use (PNG encoding is most of the time of a large image).
    // Each write takes the temporary's name and the final one its errors show.
    // The names in runOutputNames's order.
    const std::vector<std::string> names =
        runOutputNames(input.name, file, settings.format, settings.score);
    std::vector<std::pair<std::string, std::function<void(const std::string&, const std::string&)>>>
        writes;
    const auto grey = [&](const kvPelBuffer_const<unsigned char>& b) {
        writes.emplace_back(names[writes.size()],
                            [&b, &settings](const std::string& path, const std::string& shown) {
                                checkInterrupt();
                                writeGreyImage(path, b, settings.format, shown);
                            });
    };
    grey(labels);
    grey(confidence);
    if (settings.score) grey(score);
    for (const kvPelBuffer_const<unsigned char>& segmentation : segmentations) grey(segmentation);
    std::vector<uint32_t> colours;
    for (const ToolLabel& label : file.labels) colours.push_back(label.color);
    writes.emplace_back(
        names[writes.size()], [&](const std::string& path, const std::string& shown) {
            checkInterrupt();
            kv3PlanePelBuffer overlay = makeOverlay(image, labels, colours);
            if (regionSettings.outline)
                drawRegionOutlines(overlay, regions.regionIndex, regions.regions, colours);
            writeColorImage(path, overlay, settings.format, shown);
            if (!settings.diagDir.empty()) outcome.overlay = overlay;
        });
    // The legend: each label's colour, name and share, then the unlabelled.
    outcome.counts = labelCounts(labels, static_cast<unsigned>(file.labels.size()));
    const double total = static_cast<double>(image.width()) * static_cast<double>(image.height());
    std::vector<LegendRow> legend;
    for (std::size_t i = 0; i < outcome.counts.size(); ++i) {
        std::ostringstream text;
        text << (i < file.labels.size() ? file.labels[i].name : "unlabelled") << " "
             << percentText(static_cast<double>(outcome.counts[i]) / total) << "%";
        if (i < outcome.regionCounts.size())
            text << " " << outcome.regionCounts[i]
                 << (outcome.regionCounts[i] == 1 ? " region" : " regions");
        legend.push_back({text.str(), i < colours.size() ? colours[i] : 0, i < colours.size()});
    }
    writes.emplace_back(names[writes.size()],
                        [&](const std::string& path, const std::string& shown) {
                            checkInterrupt();
                            const kv3PlanePelBuffer picture = makeLegend(legend);
                            writeColorImage(path, picture, settings.format, shown);
                            if (!settings.diagDir.empty()) outcome.legend = picture;
                        });
    std::vector<std::string> finals, paths;
    for (const auto& w : writes) {
        finals.push_back((fs::path(settings.outDir) / w.first).string());
        paths.push_back(files.stage(finals.back()));
        outcome.written.push_back(w.first);
    }
    unsigned threads = settings.jobs > 1 ? 1 : settings.threads;
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    forEachTask(
        writes.size(), threads,
        [&](std::size_t i, std::size_t) { writes[i].second(paths[i], finals[i]); }, nullptr);
    if (regionSettings.table) {
        const std::string name = input.name + "-regions.csv";
        files.writeStaged((fs::path(settings.outDir) / name).string(),
                          regionsCsv(regions.regions, file.labelNames()));
        outcome.written.push_back(name);
    }

    outcome.width = image.width();
    outcome.height = image.height();
    std::ostringstream line;
    line << input.name << ": " << image.width() << " x " << image.height() << ", " << std::fixed
         << std::setprecision(1) << took.count() << " ms;";
    for (std::size_t i = 0; i < outcome.counts.size(); ++i)
        line << " " << (i < file.labels.size() ? file.labels[i].name : "unlabelled") << " "
             << percentText(static_cast<double>(outcome.counts[i]) / total) << "%"
             << (i + 1 < outcome.counts.size() ? "," : "");
    if (regionSettings.table) {
        line << "; regions:";
        for (std::size_t i = 0; i < outcome.regionCounts.size(); ++i)
            line << " " << file.labels[i].name << " " << outcome.regionCounts[i]
                 << (i + 1 < outcome.regionCounts.size() ? "," : "");
    }
    outcome.line = line.str();
    outcome.milliseconds =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
}

// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

// With regions (--regions), each label's region count too, whatever the outcomes.
void writeSummary(const std::string& path, const ToolFile& file,
                  const std::vector<RunInput>& inputs, const std::vector<ImageOutcome>& outcomes,
                  bool regions, OutputFiles& files) {
    std::ostringstream csv;
    std::vector<std::string> names,
        columns = {"image", "status", "width", "height", "milliseconds", "unlabelled", "error"};
    for (const ToolLabel& label : file.labels) names.push_back(label.name);
    if (regions)
        for (const std::string& name : names) columns.push_back("regions_" + name);
    csv << "image,status,width,height,milliseconds";
    for (const std::string& column : shareColumns(names, columns)) csv << "," << csvField(column);
    csv << ",unlabelled";
    if (regions)
        for (const std::string& name : names) csv << "," << csvField("regions_" + name);
    csv << ",error\n";
    csv << std::fixed;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const ImageOutcome& o = outcomes[i];
        csv << csvField(inputs[i].path.empty() ? inputs[i].name : inputs[i].path);
        if (!o.error.empty() || !o.finished) {
            csv << (o.finished ? ",failed,,," : ",stopped,,,");
            for (std::size_t k = 0; k <= file.labels.size(); ++k) csv << ",";
            if (regions)
                for (std::size_t k = 0; k < file.labels.size(); ++k) csv << ",";
            csv << "," << csvField(o.finished ? o.error : "the run was stopped first") << "\n";
            continue;
        }
        const double total = static_cast<double>(o.width) * static_cast<double>(o.height);
        csv << ",ok," << o.width << "," << o.height << "," << std::setprecision(1) << o.milliseconds
            << std::setprecision(6);
        for (uint64_t count : o.counts) csv << "," << static_cast<double>(count) / total;
        if (regions)
            for (uint64_t count : o.regionCounts) csv << "," << count;
        csv << ",\n";
    }
    files.writeStaged(path, csv.str());
}

}  // namespace

std::vector<std::string> runOutputNames(const std::string& name, const ToolFile& file,
                                        ImageFormat format, bool score) {
    const std::string grey = extension(format, false), colour = extension(format, true);
    std::vector<std::string> names = {name + "-labels" + grey, name + "-confidence" + grey};
    if (score) names.push_back(name + "-score" + grey);
    for (const ToolLabel& label : file.labels) names.push_back(name + "-seg-" + label.name + grey);
    names.push_back(name + "-overlay" + colour);
    names.push_back(name + "-legend" + colour);
    return names;
}

namespace {

// The names of an image's outputs in the output directory, its region table too.
std::vector<std::string> imageOutputNames(const std::string& name, const ToolFile& file,
                                          const RunSettings& settings) {
    std::vector<std::string> names = runOutputNames(name, file, settings.format, settings.score);
    if (settings.regions.table) names.push_back(name + "-regions.csv");
    return names;
}

// A file as found before this run wrote anything for its image.
struct EarlierOutput {
    std::string path;
    dev_t device;
    ino_t inode;
};

// Why a report or records could not be written, said of them alone: the
// run's other outputs are written, which "nothing was written" would deny.
std::string oneFileError(const std::exception& e) {
    std::string why = describeError(e);
    const std::string nothing = "; nothing was written";
    if (const std::size_t at = why.find(nothing); at != std::string::npos)
        why.erase(at, nothing.size());
    return why;
}

// The outputs an earlier run left under an image's names (in either format,
// its region table too), looked for before this run writes any: should the
// image fail, they stay but must not be taken for this run's.
std::vector<EarlierOutput> earlierOutputs(const RunInput& input, const ToolFile& file,
                                          const RunSettings& settings) {
    const fs::path dir = settings.outDir.empty() ? "." : settings.outDir;
    std::vector<std::string> names = imageOutputNames(input.name, file, settings);
    for (const ImageFormat format : {ImageFormat::Png, ImageFormat::Pnm})
        for (const std::string& name : runOutputNames(input.name, file, format))
            if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    if (!settings.regions.table) names.push_back(input.name + "-regions.csv");
    std::vector<EarlierOutput> found;
    for (const std::string& name : names) {
        struct stat s;  // files only: a folder in the way is no output
        const std::string path = (dir / name).string();
        if (::lstat(path.c_str(), &s) == 0 && S_ISREG(s.st_mode))
            found.push_back({path, s.st_dev, s.st_ino});
    }
    return found;
}

// The note for an image that failed, naming the earlier outputs still there
// as they were: a commit that failed half-way replaced some ("" when none).
std::string earlierOutputsNote(const RunInput& input, const std::vector<EarlierOutput>& earlier) {
    std::vector<std::string> found;
    for (const EarlierOutput& e : earlier) {
        struct stat s;
        if (::lstat(e.path.c_str(), &s) == 0 && S_ISREG(s.st_mode) && s.st_dev == e.device &&
            s.st_ino == e.inode)
            found.push_back(e.path);
    }
    if (found.empty()) return "";
    const std::size_t more = found.size() - 1;
    return found.front() + (more ? " and " + std::to_string(more) + " more" : "") +
           (more ? " are" : " is") + " from an earlier run, not this one's outputs of " +
           (input.path.empty() ? input.name : input.path);
}

// Stages the Nth image's diagnostic records through files as soon as they
// are made: only the page's text is kept for the index, so a batch's memory
// does not grow with its length.
void stageImageDiag(std::size_t number, const RunInput& input, const ToolFile& file,
                    const RunSettings& settings, OutputFiles& files, ImageOutcome& outcome) {
    if (settings.diagDir.empty()) return;
    outcome.diagHtml = stageDiagSection(
        settings.diagDir, number, {input.name, &outcome.diag, outcome.overlay, outcome.legend},
        files, file.labelNames());
}

// With keepGoing: the records, committed on their own once the image's
// outputs are. Records that cannot be written are said on the page and
// returned; the image still counts as written.
std::string writeImageDiag(std::size_t number, const RunInput& input, const ToolFile& file,
                           const RunSettings& settings, OutputFiles& files, ImageOutcome& outcome) {
    try {
        OutputFiles records(files, true);
        stageImageDiag(number, input, file, settings, records, outcome);
        records.commit();
        return "";
    } catch (const std::exception& e) {
        const std::string why = "its diagnostic records were not written: " + oneFileError(e);
        outcome.diagHtml = diagNoteSection(input.name, why);
        return input.name + ": " + why;
    }
}

// What an image's run holds only for its records, let go on every path.
void dropDiag(ImageOutcome& outcome) {
    outcome.diag.clear();
    outcome.overlay = {};
    outcome.legend = {};
}

// The diagnostics page of a run: a section for each image, in the order given,
// the ones that failed or were not run saying so.
void writeRunDiagIndex(const std::vector<RunInput>& inputs,
                       const std::vector<ImageOutcome>& outcomes, const RunSettings& settings,
                       OutputFiles& files) {
    std::vector<std::string> sections;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const ImageOutcome& outcome = outcomes[i];
        if (!outcome.finished)
            sections.push_back(
                diagNoteSection(inputs[i].name, "not finished: the run was stopped first"));
        else if (!outcome.error.empty())
            sections.push_back(diagNoteSection(inputs[i].name, "failed: " + outcome.error));
        else
            sections.push_back(outcome.diagHtml);
    }
    writeDiagIndex(settings.diagDir, "clsg run", sections, files);
}

// A path as the file system will resolve it (as given when it cannot be).
fs::path canonicalPath(const fs::path& p) {
    // Absolute first: a relative path none of whose parts exist yet stays
    // relative, and would not meet the same path spelt from the root.
    std::error_code e;
    fs::path a = fs::absolute(p, e);
    if (e) a = p;
    fs::path c = fs::weakly_canonical(a, e);
    if (e) c = a.lexically_normal();
    // "d/" of a d not made yet keeps its separator: it is d all the same.
    return c.has_filename() || !c.has_parent_path() ? c : c.parent_path();
}

// Refuses, before anything is read, inputs whose outputs would share a name:
// two images named alike, or a.png's a-seg-score.png (a label named "score")
// and a-seg.png's score image. Which image lost its outputs would otherwise
// depend on which finished first.
void refuseSharedOutputs(const ToolFile& file, const std::vector<RunInput>& inputs,
                         const RunSettings& settings) {
    const auto shown = [&](std::size_t i) {
        return inputs[i].path.empty() ? inputs[i].name : inputs[i].path;
    };
    std::map<std::string, std::size_t> seen, writer;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const auto [at, fresh] = seen.emplace(inputs[i].name, i);
        if (fresh) continue;
        std::error_code ec;
        if (!inputs[i].path.empty() && fs::equivalent(inputs[at->second].path, inputs[i].path, ec))
            throw CliError("the image " + shown(i) + " is given twice (" + shown(at->second) +
                           " is the same file): give it once");
        throw CliError("the input images " + shown(at->second) + " and " + shown(i) +
                       " are both named " + inputs[i].name +
                       "; their outputs would collide: rename one of them");
    }
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        for (const std::string& name : imageOutputNames(inputs[i].name, file, settings)) {
            const auto [at, fresh] = writer.emplace(name, i);
            if (!fresh)
                throw CliError("the outputs of " + shown(at->second) + " and " + shown(i) +
                               " would both be written to " +
                               (fs::path(settings.outDir) / name).string() +
                               "; rename one of them");
        }
    }
    // The diagnostic records' pictures, sN-overlay.png and sN-legend.png for
    // the Nth image written, beside the outputs.
    const fs::path outDir = settings.outDir.empty() ? "." : settings.outDir;
    if (settings.diagDir.empty() || canonicalPath(settings.diagDir) != canonicalPath(outDir))
        return;
    for (std::size_t s = 1; s <= inputs.size(); ++s)
        for (const char* picture : {"-overlay.png", "-legend.png"}) {
            const auto at = writer.find("s" + std::to_string(s) + picture);
            if (at != writer.end())
                throw CliError("--diag " + settings.diagDir +
                               " is the output directory, where a diagnostic record would "
                               "replace " +
                               shown(at->second) + "'s output " + at->first +
                               ": choose another --diag");
        }
}

// Gives the memory the images' runs freed back to the system, once they have
// run a million pixels since it last did. Without it the C library kept it,
// fragmented by the next images' blocks, and a batch of photographs grew by
// about 4 bytes per pixel of every image run; after every image, batches of
// tiny images took five times as long.
void releaseFreedMemory(uint64_t pixels) {
    static std::atomic<uint64_t> since{0};
    if ((since += pixels) < (uint64_t{1} << 20)) return;
    since = 0;
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

// The diagnostics page and the summary, each committed on its own: one that
// cannot be written takes neither the other nor the images' outputs with it.
RunReports writeRunReports(const ToolFile& file, const std::vector<RunInput>& inputs,
                           const std::vector<ImageOutcome>& outcomes, const RunSettings& settings,
                           OutputFiles& files) {
    const auto write = [&files](const std::function<void(OutputFiles&)>& stage) {
        try {
            OutputFiles own(files, true);
            stage(own);
            own.commit();
            return std::string();
        } catch (const FileError& e) {
            return oneFileError(e);
        }
    };
    RunReports reports;
    // A page only beside some image's outputs: a run that wrote none leaves nothing.
    const auto written = [](const ImageOutcome& o) { return o.finished && o.error.empty(); };
    if (!settings.diagDir.empty() && std::any_of(outcomes.begin(), outcomes.end(), written)) {
        reports.pageError =
            write([&](OutputFiles& own) { writeRunDiagIndex(inputs, outcomes, settings, own); });
        reports.pageWritten = reports.pageError.empty();
    }
    if (!settings.summaryPath.empty()) {
        reports.summaryError = write([&](OutputFiles& own) {
            writeSummary(settings.summaryPath, file, inputs, outcomes, settings.regions.table, own);
        });
        reports.summaryWritten = reports.summaryError.empty();
    }
    return reports;
}

// Where the reports went, the run's last lines before its count of failures.
void sayRunReports(const RunReports& reports, const RunSettings& settings, std::ostream& out) {
    if (reports.pageWritten) out << "diagnostics: " << settings.diagDir << "/index.html\n";
    if (reports.summaryWritten) out << "summary: " << settings.summaryPath << "\n";
}

}  // namespace

std::size_t runImages(const ToolFile& file, const std::vector<RunInput>& inputs,
                      const RunSettings& settings, OutputFiles& files, std::ostream& out,
                      std::vector<std::string>* written, RunReports* reports) {
    refuseSharedOutputs(file, inputs, settings);
    files.makeDir(settings.outDir, "--out");

    std::vector<ImageOutcome> outcomes(inputs.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    bool recordsFailed = false;  // under printMutex
    std::mutex printMutex;
    std::size_t done = 0;
    const bool progress = inputs.size() > 1 && ::isatty(STDERR_FILENO);

    // The workers share the tool: its const calls may overlap.
    const auto worker = [&]() {
        const kvCompositeColorSegmenterTool& tool = file.tool;
        for (std::size_t i; !(failed && !settings.keepGoing) && !interruptSignal() &&
                            (i = next++) < inputs.size();) {
            ImageOutcome& outcome = outcomes[i];
            const std::vector<EarlierOutput> earlier =
                settings.keepGoing ? earlierOutputs(inputs[i], file, settings)
                                   : std::vector<EarlierOutput>();
            std::string recordsError;
            try {
                if (settings.keepGoing) {
                    // This image's outputs appear together, whatever the others do.
                    OutputFiles own(files, true);
                    segmentOne(tool, file, inputs[i], settings, own, outcome);
                    checkInterrupt();
                    own.commit();
                    outcome.finished = true;
                    recordsError = writeImageDiag(i + 1, inputs[i], file, settings, files, outcome);
                } else {
                    segmentOne(tool, file, inputs[i], settings, files, outcome);
                    stageImageDiag(i + 1, inputs[i], file, settings, files, outcome);
                }
            } catch (const ImageError& e) {  // these name the file, as FileError's do
                outcome.error = e.what();
            } catch (const FileError& e) {
                outcome.error = e.what();
            } catch (const std::exception& e) {
                outcome.error = inputs[i].name + ": " + describeError(e);
            }
            dropDiag(outcome);
            releaseFreedMemory(outcome.pixels);
            // Stopped: not a failure of this image; one already written is still said.
            if (interruptSignal() && !outcome.finished) return;
            outcome.finished = true;
            if (!outcome.error.empty()) outcome.written.clear();
            std::lock_guard<std::mutex> lock(printMutex);
            if (progress) std::cerr << "\r\033[K" << std::flush;
            if (!outcome.note.empty())
                std::cerr << "clsg: note: " << oneLine(outcome.note) << std::endl;
            if (!outcome.error.empty()) {
                failed = true;
                if (settings.keepGoing) {
                    std::cerr << "clsg: error: " << oneLine(outcome.error) << std::endl;
                    const std::string note = earlierOutputsNote(inputs[i], earlier);
                    if (!note.empty()) std::cerr << "clsg: note: " << note << std::endl;
                }
            } else {
                out << oneLine(outcome.line) << std::endl;
            }
            if (!recordsError.empty()) {
                recordsFailed = true;
                std::cerr << "clsg: error: " << oneLine(recordsError) << std::endl;
            }
            ++done;
            if (progress) std::cerr << "[" << done << "/" << inputs.size() << "]" << std::flush;
        }
    };
    const unsigned jobs =
        std::max(1u, std::min<unsigned>(settings.jobs, static_cast<unsigned>(inputs.size())));
    std::vector<std::thread> threads;
    for (unsigned t = 1; t < jobs; ++t) threads.emplace_back(worker);
    worker();
    for (std::thread& t : threads) t.join();
    if (progress) std::cerr << "\r\033[K" << std::flush;
    // The reports, after a signal too: they tell which images were written.
    if (settings.keepGoing) {
        RunReports said = writeRunReports(file, inputs, outcomes, settings, files);
        for (const std::string* error : {&said.pageError, &said.summaryError})
            if (!error->empty()) std::cerr << "clsg: error: " << oneLine(*error) << std::endl;
        said.recordsFailed = recordsFailed;
        if (reports) *reports = said;
        if (interruptSignal()) {  // the run ends here
            sayRunReports(said, settings, out);
            out.flush();
        }
    }
    checkInterrupt();

    std::size_t failures = 0;
    for (const ImageOutcome& outcome : outcomes) {
        if (outcome.error.empty()) continue;
        if (!settings.keepGoing) throw CliError(outcome.error);
        ++failures;
    }

    if (!settings.keepGoing && !settings.diagDir.empty())
        writeRunDiagIndex(inputs, outcomes, settings, files);
    if (!settings.keepGoing && !settings.summaryPath.empty())
        writeSummary(settings.summaryPath, file, inputs, outcomes, settings.regions.table, files);
    if (written)
        for (const ImageOutcome& outcome : outcomes)
            written->insert(written->end(), outcome.written.begin(), outcome.written.end());
    return failures;
}

namespace {

// The images an argument names: a file as given; a directory's files with an
// image extension, sorted by name (not descending into subdirectories). A
// link to nothing (or a loop) is kept, to fail as it would named on its own; other
// entries that are not files (a FIFO would wait for a writer) go to passed,
// and videos (taken only when named) to videos.
std::vector<std::string> expandImageArgument(const std::string& arg,
                                             std::vector<std::string>& passed,
                                             std::vector<std::string>& videos) {
    std::error_code ec;
    if (!fs::is_directory(arg, ec)) return {arg};
    std::vector<std::string> found;
    for (fs::directory_iterator it(arg, ec), end; !ec && it != end; it.increment(ec)) {
        if (isVideoInput(it->path().filename().string())) videos.push_back(it->path().string());
        if (!hasImageExtension(it->path().filename().string())) continue;
        std::error_code e, linkError;
        const fs::file_status target = fs::status(it->path(), e);
        // A link to nothing, or one that cannot be followed (a loop), fails when read.
        const bool broken = (e || target.type() == fs::file_type::not_found) &&
                            fs::is_symlink(fs::symlink_status(it->path(), linkError));
        if (fs::is_regular_file(target) || broken)
            found.push_back(it->path().string());
        else
            passed.push_back(it->path().string());
    }
    if (ec) throw CliError("cannot list " + arg + ": " + ec.message());
    if (found.empty()) {
        bool videos = false;
        for (fs::directory_iterator it(arg, ec), end; !ec && it != end; it.increment(ec))
            videos = videos || isVideoInput(it->path().filename().string());
        throw CliError(arg +
                       " holds no image files (.png, .jpg, .jpeg, .tif, .tiff, .bmp, .ppm, .pgm, "
                       ".pnm)" +
                       (videos ? std::string("; name its videos one by one") : std::string()));
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The image files a run reads, and the directories it lists.
struct RunPaths {
    std::vector<std::string> images;
    std::vector<std::string> dirs;
};

// The images the arguments name. A file found in a directory is skipped when
// its name is one this run writes for another of its images (so a run does
// not segment an earlier run's outputs); note lists the skipped files.
RunPaths selectImages(const std::vector<std::string>& args, const ToolFile& file,
                      ImageFormat format, std::ostream& note) {
    std::vector<std::pair<std::string, bool>> found;  // path, from a directory
    RunPaths paths;
    std::vector<std::string> notFiles, videos;
    for (const std::string& arg : args) {
        std::error_code ec;
        const bool dir = fs::is_directory(arg, ec);
        if (dir) paths.dirs.push_back(arg);
        for (const std::string& path : expandImageArgument(arg, notFiles, videos))
            found.emplace_back(path, dir);
    }
    if (!videos.empty()) {
        std::sort(videos.begin(), videos.end());
        note << "clsg: note: a directory argument gives its images only; skipping " << videos.size()
             << " video" << (videos.size() == 1 ? "" : "s") << ":";
        for (std::size_t i = 0; i < videos.size() && i < 3; ++i) note << " " << videos[i];
        note << (videos.size() > 3 ? " ..." : "") << " (name a video to segment it)" << std::endl;
    }
    if (!notFiles.empty()) {
        std::sort(notFiles.begin(), notFiles.end());
        note << "clsg: skipping " << notFiles.size() << " entr"
             << (notFiles.size() == 1 ? "y" : "ies")
             << " named as images that are not files (a folder, a FIFO, a device):";
        for (std::size_t i = 0; i < notFiles.size() && i < 3; ++i) note << " " << notFiles[i];
        note << (notFiles.size() > 3 ? " ..." : "") << std::endl;
    }
    std::set<std::string> outputNames;
    for (const auto& [path, listed] : found)
        for (const std::string& name : runOutputNames(fs::path(path).stem().string(), file, format))
            outputNames.insert(name);
    std::vector<std::string> skipped;
    for (const auto& [path, listed] : found) {
        if (listed && outputNames.count(fs::path(path).filename().string()))
            skipped.push_back(path);
        else
            paths.images.push_back(path);
    }
    if (!skipped.empty()) {
        note << "clsg: skipping " << skipped.size() << " file" << (skipped.size() == 1 ? "" : "s")
             << " named as this run's outputs for its other images:";
        for (std::size_t i = 0; i < skipped.size() && i < 3; ++i) note << " " << skipped[i];
        if (skipped.size() > 3) note << " ...";
        note << " (name a file on its own to segment it)" << std::endl;
    }
    return paths;
}

// Refuses a --summary that names a directory or one of the run's own outputs.
void refuseSummaryInTheWay(const std::vector<RunInput>& inputs, const ToolFile& file,
                           const RunSettings& settings) {
    const std::string& summary = settings.summaryPath;
    std::error_code ec;
    if (summary.empty()) return;
    if (fs::is_directory(summary, ec) || fs::path(summary).filename().empty())
        throw CliError("--summary " + summary + " is a directory; give the name of a file");
    const std::string outDir = settings.outDir.empty() ? "." : settings.outDir;
    if (canonicalPath(outDir) == canonicalPath(summary))
        throw CliError("--summary " + summary +
                       " is the output directory; give the name of a file");
    if (!settings.diagDir.empty() && canonicalPath(settings.diagDir) == canonicalPath(summary))
        throw CliError("--summary " + summary +
                       " is the --diag directory; give the name of a file");
    for (const RunInput& input : inputs)
        for (const std::string& name : imageOutputNames(input.name, file, settings))
            if (canonicalPath(fs::path(outDir) / name) == canonicalPath(summary))
                throw CliError("--summary " + summary + " is also " + input.path + "'s output " +
                               name + ": choose another --summary");
    // The diagnostic records: the page and sN-..., N a number.
    const std::string leaf = fs::path(summary).filename().string();
    const std::size_t digits = leaf.find_first_not_of("0123456789", 1);
    const bool record =
        leaf == "index.html" ||
        (leaf[0] == 's' && digits > 1 && digits != std::string::npos && leaf[digits] == '-');
    const fs::path parent = fs::path(summary).parent_path();
    if (record && !settings.diagDir.empty() &&
        canonicalPath(parent.empty() ? "." : parent) == canonicalPath(settings.diagDir))
        throw CliError("--summary " + summary + " is in --diag " + settings.diagDir +
                       " under the name of a diagnostic record: choose another --summary");
}

// Refuses a run that would write an output over one of its inputs, or over
// any file in a directory it reads its images or videos from, before
// anything is read.
void refuseReplacingInputs(const RunPaths& paths, const std::vector<RunInput>& inputs,
                           const std::vector<std::string>& videos, const std::string& toolPath,
                           const ToolFile& file, const RunSettings& settings) {
    const auto identity = [](const std::string& path, std::pair<dev_t, ino_t>& id) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) return false;
        id = {st.st_dev, st.st_ino};
        return true;
    };
    const auto dirOf = [](const std::string& path) {
        const fs::path parent = fs::path(path).parent_path();
        return parent.empty() ? std::string(".") : parent.string();
    };
    std::map<std::pair<dev_t, ino_t>, std::string> inputFiles, inputDirs;
    std::pair<dev_t, ino_t> id;
    std::vector<std::string> read = paths.images;
    read.insert(read.end(), videos.begin(), videos.end());
    for (const std::string& input : read) {
        if (identity(input, id)) inputFiles.emplace(id, input);
        if (identity(dirOf(input), id)) inputDirs.emplace(id, dirOf(input));
    }
    if (identity(toolPath, id)) inputFiles.emplace(id, toolPath);
    for (const std::string& dir : paths.dirs)
        if (identity(dir, id)) inputDirs.emplace(id, dir);
    const std::string outDir = settings.outDir.empty() ? "." : settings.outDir;
    const auto check = [&](const std::string& path, const std::string& whose,
                           const char* option = "--out") {
        if (!identity(path, id)) return;
        const auto input = inputFiles.find(id);
        if (input != inputFiles.end())
            throw CliError(path + " would replace the input " + input->second + " (as " + whose +
                           "); clsg run never writes over its inputs: choose another " + option);
        if (identity(dirOf(path), id) && inputDirs.count(id))
            throw CliError(
                path + " exists in " + dirOf(path) +
                ", which this run reads its inputs from; clsg run never writes over files "
                "among its inputs: choose another " +
                option + ", or remove the earlier outputs first");
    };
    if (!settings.diagDir.empty() && identity(settings.diagDir, id) && inputDirs.count(id))
        throw CliError("--diag " + settings.diagDir +
                       " is a directory this run reads images from; its records would be read as "
                       "images by the next run: choose another --diag");
    for (const RunInput& input : inputs)
        for (const std::string& name :
             runOutputNames(input.name, file, settings.format, settings.score))
            check((fs::path(outDir) / name).string(), input.path + "'s output");
    for (const std::string& clip : videos)
        for (const std::string& name : videoOutputNames(clip))
            check((fs::path(outDir) / name).string(), clip + "'s output");
    if (settings.regions.table)
        for (const RunInput& input : inputs)
            check((fs::path(outDir) / (input.name + "-regions.csv")).string(),
                  input.path + "'s region table");
    refuseSummaryInTheWay(inputs, file, settings);
    if (!settings.summaryPath.empty()) check(settings.summaryPath, "the summary", "--summary");
}

}  // namespace

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

// Says which files of an earlier run in the output folder, under this run's
// image names, this run does not write, so that they are not taken for its
// own: a score left out, a region table not asked for, the segmentation of a
// label this tool lacks. They stay.
void noteEarlierOutputs(const std::vector<RunInput>& inputs, const ToolFile& file,
                        const RunSettings& settings) {
    const fs::path dir = settings.outDir.empty() ? "." : settings.outDir;
    const std::string grey = extension(settings.format, false);
    std::set<std::string> names, written;
    for (const RunInput& input : inputs) {
        names.insert(input.name);
        for (const std::string& name : imageOutputNames(input.name, file, settings))
            written.insert(name);
    }
    std::vector<std::string> scores, others;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (written.count(name) || !it->is_regular_file(ec)) continue;
        const auto endsWith = [&](const std::string& suffix) {
            return name.size() > suffix.size() &&
                   name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
        };
        const auto ours = [&](const std::string& suffix) {  // an image's name, then suffix
            return endsWith(suffix) && names.count(name.substr(0, name.size() - suffix.size()));
        };
        if (ours("-score" + grey)) {
            scores.push_back(it->path().string());
            continue;
        }
        bool stale = ours("-regions.csv");
        for (std::size_t at = name.find("-seg-"); !stale && at != std::string::npos;
             at = name.find("-seg-", at + 1))
            stale = endsWith(grey) && names.count(name.substr(0, at));
        if (stale) others.push_back(it->path().string());
    }
    const auto note = [](const char* what, std::vector<std::string> found, const char* one,
                         const char* many) {
        if (found.empty()) return;
        std::sort(found.begin(), found.end());
        std::cerr << "clsg: note: " << what << found.front();
        if (found.size() > 1) std::cerr << " and " << found.size() - 1 << " more";
        std::cerr << (found.size() > 1 ? " were there before this run and stay, not "
                                       : " was there before this run and stays, not ")
                  << (found.size() > 1 ? many : one) << " of this run\n";
    };
    note("--no-score: ", scores, "scores", "scores");
    note("", others, "an output", "outputs");
}

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

// The video files one after the other, each one's outputs all or none;
// returns how many failed.
std::size_t runVideos(const RunOptions& o, const ToolFile& file, const RunSettings& settings,
                      const std::vector<std::string>& videos, OutputFiles& files) {
    std::size_t failed = 0;
    if (!videos.empty()) files.makeDir(o.outDir, "--out");
    for (const std::string& clip : videos) {
        try {
            OutputFiles own(files, true);
            std::ostringstream said;  // once the outputs are in place
            runVideoInput(file, clip,
                          {o.tool, settings.params.neighborhoodSize(), o.normalize, o.threads,
                           o.outDir, o.maxPixels},
                          own, said);
            own.commit();
            std::cout << said.str();
        } catch (const CliError& e) {
            checkInterrupt();
            std::cerr << "clsg: error: " << oneLine(e.what()) << std::endl;
            ++failed;
        } catch (const FileError& e) {
            std::cerr << "clsg: error: " << oneLine(clip + ": " + e.what()) << std::endl;
            ++failed;
        }
    }
    return failed;
}

int runCommand(const RunOptions& o) {
    const ToolFile file = readToolFile(o.tool);
    const ImageFormat format = o.format == "pnm" ? ImageFormat::Pnm : ImageFormat::Png;
    std::vector<std::string> imageArgs, videos;
    for (const std::string& arg : o.images) {
        std::error_code ec;  // a folder named like a video holds images
        (isVideoInput(arg) && !fs::is_directory(arg, ec) ? videos : imageArgs).push_back(arg);
    }
    const RunPaths paths = selectImages(imageArgs, file, format, std::cerr);
    if (!videos.empty()) {
        if (!o.summary.empty() && paths.images.empty())
            throw UsageError(
                "--summary lists a run's images; a video's table is its NAME-frames.csv");
        if (o.regions || o.outline || o.minArea || o.fillHoles || !o.diagDir.empty())
            std::cerr << "clsg: note: --regions, --outline, --min-area, --fill-holes and --diag "
                         "apply to images, not to video files\n";
    }
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
    }
    if (!o.diagDir.empty() && !inputs.empty())
        files.makeDir(o.diagDir, "--diag");  // not after the work
    noteEarlierOutputs(inputs, file, settings);
    RunReports reports;
    const std::size_t failed =
        inputs.empty() ? 0 : runImages(file, inputs, settings, files, std::cout, nullptr, &reports);
    std::size_t videosFailed = 0;
    try {
        videosFailed = runVideos(o, file, settings, videos, files);
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
        if (failures < total) std::cout << "outputs in " << o.outDir << "\n";
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
    app->add_option("tool", o.tool, "Tool file written by clsg train")->required();
    app->add_option("images", o.images,
                    "Images or directories of images to segment (PNG, JPEG, TIFF, BMP, PPM/PGM), "
                    "or video files (.mp4, .m4v, .mov, .mkv, .webm, .avi, .ogv, .ogg, .mpg, .mpeg, "
                    ".ts, .wmv, .flv)")
        ->required();
    app->add_option("-o,--out", o.outDir, "Output directory (created if missing)")
        ->required()
        ->check(nonEmptyPath());
    app->add_option("-n,--neighborhood", o.neighborhood,
                    "Side of the scoring neighbourhood (default: the tool file's, else 3)")
        ->check(CLI::Range(1, 255));
    app->add_flag("--normalize-intensity", o.normalize,
                  "Match the image's brightness to the trained colours first");
    app->add_option("-j,--jobs", o.jobs, "Images processed at once")
        ->check(CLI::Range(1u, 256u))
        ->capture_default_str();
    app->add_option("--threads", o.threads,
                    "Threads per image, each segmenting a band of rows (0: one per core; "
                    "not used with --diag)")
        ->check(CLI::Range(0u, 1024u))
        ->capture_default_str();
    app->add_option("--diag", o.diagDir, "Write the diagnostic records into this directory")
        ->check(nonEmptyPath());
    app->add_option("--format", o.format, "Output image format")
        ->check(CLI::IsMember({"png", "pnm"}))
        ->capture_default_str();
    app->add_option("--max-pixels", o.maxPixels, "Largest image read, in pixels")
        ->check(countAtLeast(1))
        ->capture_default_str();
    app->add_option("--summary", o.summary,
                    "Write a CSV file with one row per image: its status, size, milliseconds "
                    "taken and each label's share of the pixels (0 to 1; the column is "
                    "the label's name, or share_NAME where another column has it); with "
                    "--regions, "
                    "each label's region count too")
        ->check(nonEmptyPath());
    app->add_flag("--regions", o.regions,
                  "Write NAME-regions.csv: one row per region (connected pixels of one label) "
                  "with its label, number, area, box, centroid, mean confidence (0 to 255) and "
                  "whether it touches the border, sorted by label, top and left");
    app->add_option("--min-area", o.minArea,
                    "Drop regions of fewer pixels: they leave the table and become unlabelled "
                    "in the label image and overlay")
        ->check(countAtLeast(0))
        ->capture_default_str();
    app->add_option("--fill-holes", o.fillHoles,
                    "Give holes of at most this many pixels inside a region its label (in the "
                    "table, label image and overlay)")
        ->check(countAtLeast(0))
        ->capture_default_str();
    app->add_option("--connectivity", o.connectivity,
                    "8: pixels touching at a corner belong to one region; 4: only across an edge")
        ->check(CLI::IsMember({4, 8}))
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
