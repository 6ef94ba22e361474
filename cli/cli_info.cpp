// clsg info TOOL.clsg
#include <CLI/CLI.hpp>
#include <algorithm>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/path_option.h"
#include "clsg/io/errors.h"
#include "clsg/io/label_colors.h"
#include "clsg/platform/pel_ops.h"
#include "clsg/platform/str.h"
#include "clsg/tuning/quality_report.h"

namespace clsg {

namespace {

// Where an example came from, as --label takes it (its backslash escapes
// kept) and with UTF-8 file names as they are; a control character or a
// byte of no UTF-8 character shows as \xNN (--label allows no backslash
// before an x). Cut after 200 bytes.
std::string shownSource(const std::string& text) {
    std::size_t cut = std::min<std::size_t>(text.size(), 200);
    while (cut > 0 && cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80)
        --cut;  // not inside a character
    return oneLine(text.substr(0, cut)) + (cut < text.size() ? "..." : "");
}

std::string bytesText(double bytes) {
    std::ostringstream s;
    s << std::fixed << std::setprecision(1);
    if (bytes >= 1024.0 * 1024.0)
        s << bytes / (1024.0 * 1024.0) << " MiB";
    else if (bytes >= 1024.0)
        s << bytes / 1024.0 << " KiB";
    else
        s << std::setprecision(0) << bytes << " B";
    return s.str();
}

// Pixels an example trains from: the mask's non-zero pels over the image, or the
// whole image for an unbound mask.
uint64_t selectedPixels(const kv3PlanePelBuffer_const& image,
                        const kvPelBuffer_const<unsigned char>& mask) {
    if (!mask.isBound()) return static_cast<uint64_t>(image.width() * image.height());
    const kvPelRect overlap = kvRectangle<long>(image.window()).intersect(mask.window(), false);
    if (overlap.isEmpty()) return 0;
    kvPelBuffer_const<unsigned char> part = mask;
    part.window(overlap, false);
    const std::array<uint64_t, 256> histogram = kfPelHistogram(part);
    return part.width() * part.height() - histogram[0];
}

void printInfo(const std::string& path, const ToolFile& file, std::ostream& out) {
    const kvCompositeColorSegmenterTool& tool = file.tool;
    out << oneLine(path) << ": clsg tool file, format version " << file.formatVersion << "\n";
    out << "labels: " << file.labels.size() << "\n";
    double exampleBytes = 0.0;
    for (std::size_t i = 0; i < file.labels.size(); ++i) {
        const auto& instances = tool.compositeColors()[i].instances();
        out << "  " << i << " " << file.labels[i].name << " (" << colorText(file.labels[i].color)
            << "): " << instances.size() << (instances.size() == 1 ? " example" : " examples")
            << "\n";
        for (std::size_t k = 0; k < instances.size(); ++k) {
            const kvCompositeColor& example = instances[k];
            for (std::size_t j = 0; j < example.images().size(); ++j) {
                const kv3PlanePelBuffer_const& image = example.images()[j];
                const kvPelBuffer_const<unsigned char>& mask = example.masks()[j];
                out << "      example " << k + 1 << ": ";
                if (k < file.labels[i].sources.size() && j == 0)
                    out << shownSource(file.labels[i].sources[k]) << ", ";
                out << image.width() << " x " << image.height() << " pixels stored, "
                    << selectedPixels(image, mask) << " selected"
                    << (mask.isBound() ? " by its mask" : " (no mask)") << "\n";
                exampleBytes += 3.0 * static_cast<double>(image.width() * image.height());
                if (mask.isBound())
                    exampleBytes += static_cast<double>(mask.width() * mask.height());
            }
        }
    }
    const kvCompositeColorSegmenterTrainParams& params = tool.trainParams();
    out << "train parameters: colorToleranceFrac " << params.colorToleranceFrac()
        << ", colorToleranceMin " << params.colorToleranceMin() << "\n";
    if (file.neighborhoodSize)
        out << "stored neighbourhood size: " << *file.neighborhoodSize << "\n";
    else if (!file.qualityJson.empty())  // the search's choice, since unset
        out << "stored neighbourhood size: none (run uses 3 unless given --neighborhood)\n";
    if (!file.qualityJson.empty() && !printStoredReport(out, file.labelNames(), file.qualityJson))
        out << "quality report: " << kfPrintable(file.qualityJson, 4000) << "\n";

    const kvCompositeColorSegmenterTool::ModelSize size = tool.modelSize();
    const double weightBytes = static_cast<double>(size.weightBytes);
    const double tableBytes = static_cast<double>(size.tableBytes);
    const uint64_t levels = size.levelsPerChannel;
    out << "model: " << size.instanceModels << " instance models, " << levels
        << " levels per channel (" << levels * levels * levels << " colour cells each)\n";
    out << "memory: weights " << bytesText(weightBytes) << ", tables " << bytesText(tableBytes)
        << ", stored examples " << bytesText(exampleBytes) << ", total "
        << bytesText(weightBytes + tableBytes + exampleBytes) << "\n";
}

}  // namespace

Command addInfoCommand(CLI::App& parent) {
    auto path = std::make_shared<std::string>();
    CLI::App* app = parent.add_subcommand("info",
                                          "Show the labels, examples, parameters and "
                                          "memory of a tool file");
    app->add_option("tool", *path, "Tool file written by clsg train")
        ->required()
        ->check(nonEmptyPath());
    return {app, [path]() {
                printInfo(*path, readToolFile(*path), std::cout);
                return 0;
            }};
}

}  // namespace clsg
