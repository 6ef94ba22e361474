// One image of clsg run: the label, confidence, score, segmentation,
// overlay and legend images, and the regions.
#include "cli/run_image.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <thread>
#include <utility>

#include "cli/cli_error.h"
#include "cli/interrupts.h"
#include "cli/legend.h"
#include "cli/region_outputs.h"
#include "clsg/colorseg/segmenter_result.h"
#include "clsg/io/overlay.h"
#include "clsg/io/teaching_warnings.h"
#include "clsg/tiled/tiled_run.h"
#include "clsg/tuning/quality_report.h"
#include "clsg/tuning/task_threads.h"

namespace clsg {

namespace fs = std::filesystem;

std::string outputExtension(ImageFormat format, bool colour) {
    if (format == ImageFormat::Png) return ".png";
    return colour ? ".ppm" : ".pgm";
}

namespace {

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

}  // namespace

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
    // The segmenting alone, as the console line says (regions of an image of
    // specks can take longer).
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    // On a terminal, what follows the segmentation (the regions, encoding the
    // outputs: seconds for a large image), in place of its progress.
    struct StatusLine {
        bool on;
        std::string name;
        void say(const char* what) const {
            if (on) std::cerr << "\r\033[K" << name << ": " << what << std::flush;
        }
        ~StatusLine() {
            if (on) std::cerr << "\r\033[K" << std::flush;
        }
    } status{settings.jobs <= 1 && ::isatty(STDERR_FILENO), oneLine(input.name)};
    const kvPelBuffer_const<unsigned char>&confidence = images[1], &score = images[2];
    // Regions; when cleaning, the cleaned label image stands for the label
    // image in every output.
    kvPelBuffer_const<unsigned char> labels = images[0];
    clsg::CleanedRegions regions;
    const RegionSettings& regionSettings = settings.regions;
    if (regionSettings.wanted()) {
        status.say("finding regions");
        clsg::RegionOptions options = regionSettings.options;
        options.threads = settings.jobs > 1 ? 1 : settings.threads;
        regions = clsg::cleanRegions(images[0], confidence, options, regionSettings.outline);
        if (regionSettings.cleans()) labels = regions.labels;
        outcome.regionCounts = clsg::regionCounts(regions.regions, file.labels.size());
    }
    const std::vector<kvPelBuffer_const<unsigned char>> segmentations(images.begin() + 3,
                                                                      images.end());

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
    // The legend: each label's colour, name and share, then the unlabelled
    // ("(unlabelled)" beside a label of that name).
    outcome.counts = labelCounts(labels, static_cast<unsigned>(file.labels.size()));
    const std::vector<std::string> labelNames = file.labelNames();
    const std::string unlabelled =
        std::find(labelNames.begin(), labelNames.end(), "unlabelled") == labelNames.end()
            ? "unlabelled"
            : "(unlabelled)";
    const double total = static_cast<double>(image.width()) * static_cast<double>(image.height());
    std::vector<LegendRow> legend;
    for (std::size_t i = 0; i < outcome.counts.size(); ++i) {
        std::ostringstream text;
        text << (i < file.labels.size() ? file.labels[i].name : unlabelled) << " "
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
        paths.push_back(files.stage(finals.back(), FinalNameFrom::program));
        outcome.written.push_back(w.first);
    }
    unsigned threads = settings.jobs > 1 ? 1 : settings.threads;
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    status.say("writing its outputs");
    forEachTask(
        writes.size(), threads,
        [&](std::size_t i, std::size_t) { writes[i].second(paths[i], finals[i]); }, nullptr);
    if (regionSettings.table) {
        const std::string name = input.name + "-regions.csv";
        files.writeStaged((fs::path(settings.outDir) / name).string(),
                          regionsCsv(regions.regions, file.labelNames()), FinalNameFrom::program);
        outcome.written.push_back(name);
    }

    outcome.width = image.width();
    outcome.height = image.height();
    std::ostringstream line;
    line << input.name << ": " << image.width() << " x " << image.height() << ", " << std::fixed
         << std::setprecision(1) << took.count() << " ms;";
    for (std::size_t i = 0; i < outcome.counts.size(); ++i)
        line << " " << (i < file.labels.size() ? file.labels[i].name : unlabelled) << " "
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

std::vector<std::string> runOutputNames(const std::string& name, const ToolFile& file,
                                        ImageFormat format, bool score) {
    const std::string grey = outputExtension(format, false), colour = outputExtension(format, true);
    using S = RunOutputSuffixes;
    std::vector<std::string> names = {name + S::labels + grey, name + S::confidence + grey};
    if (score) names.push_back(name + S::score + grey);
    for (const ToolLabel& label : file.labels)
        names.push_back(name + S::segmentation + label.name + grey);
    names.push_back(name + S::overlay + colour);
    names.push_back(name + S::legend + colour);
    return names;
}

// The names of an image's outputs in the output directory, its region table too.
std::vector<std::string> imageOutputNames(const std::string& name, const ToolFile& file,
                                          const RunSettings& settings) {
    std::vector<std::string> names = runOutputNames(name, file, settings.format, settings.score);
    if (settings.regions.table) names.push_back(name + "-regions.csv");
    return names;
}

}  // namespace clsg
