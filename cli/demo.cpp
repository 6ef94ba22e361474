// clsg demo: trains four colour labels from rectangles on the built-in
// photograph of a cup of coffee, segments the photograph and writes every
// output with the overlay into one directory.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "cli/commands.h"
#include "cli/demo_photo.h"
#include "cli/path_option.h"
#include "clsg/io/errors.h"

namespace clsg {

namespace {

const char* const kPhotoName = "coffee.png";

// Rectangles (x, y, width, height) on the 600 x 400 photograph.
std::vector<LabelOption> demoLabels() {
    const auto example = [](std::vector<kvPelRect> rects) {
        return ExampleSource{kPhotoName, "", std::move(rects)};
    };
    return {
        {"crema", {example({{250, 120, 75, 45}})}},
        // inside wall and left rim of the cup
        {"white", {example({{250, 45, 80, 30}, {180, 95, 12, 40}})}},
        // saucer (left and right) and the front of the cup
        {"red", {example({{100, 190, 50, 90}, {415, 180, 40, 70}, {265, 215, 50, 30}})}},
        // four patches of the wooden table around the saucer
        {"table",
         {example(
             {{470, 20, 110, 60}, {10, 350, 120, 45}, {15, 180, 50, 100}, {100, 40, 60, 40}})}},
    };
}

std::string labelsText(const std::vector<LabelOption>& labels) {
    std::string text;
    for (const LabelOption& label : labels) {
        text += "  --label " + label.name + "=" + kPhotoName + "@";
        for (std::size_t i = 0; i < label.examples[0].rects.size(); ++i) {
            const kvPelRect& r = label.examples[0].rects[i];
            text += (i ? "+" : "") + std::to_string(r.left()) + "," + std::to_string(r.top()) +
                    "," + std::to_string(r.width()) + "," + std::to_string(r.height());
        }
        text += "\n";
    }
    return text;
}

constexpr int32_t kDemoNeighborhood = 5;

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

[[noreturn]] void refuseToReplace(const std::string& finalPath) {
    throw FileError("cannot write " + finalPath +
                    ": a file of that name is there and is not the demo's; nothing was "
                    "written (give the demo another --out)");
}

// An earlier demo's photograph and tool are replaced; a file of the user's
// that has one of their names is not (a photo of one's own named coffee.png).
// Returns whether an earlier demo's file was there.
bool refuseForeign(const std::string& staged, const std::string& finalPath) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(finalPath, ec)) return false;
    if (fileBytes(staged) != fileBytes(finalPath)) refuseToReplace(finalPath);
    return true;
}

// The segmentation's outputs replace an earlier demo's (of this version or
// another, whose bytes may differ) only in a folder where the demo's tool or
// photograph shows that one ran; elsewhere a file of such a name is the user's.
void refuseForeignOutputs(const std::string& outDir, const ToolFile& tool) {
    std::error_code ec;
    for (const std::string& name : runOutputNames("coffee", tool, ImageFormat::Png)) {
        const std::string path = (std::filesystem::path(outDir) / name).string();
        if (std::filesystem::exists(std::filesystem::symlink_status(path, ec)))
            refuseToReplace(path);
    }
}

int runDemo(const std::string& outDir) {
    namespace fs = std::filesystem;
    const kv3PlanePelBuffer photo = decodeColorImage(
        std::vector<unsigned char>(kDemoPhoto, kDemoPhoto + kDemoPhotoSize), kPhotoName);
    const auto loadPhoto = [&photo](const std::string&) { return photo; };
    const std::vector<LabelOption> labels = demoLabels();

    std::cout << "clsg demo: " << photo.width() << " x " << photo.height()
              << " photograph of a cup of coffee, labels from rectangles:\n"
              << labelsText(labels);
    OutputFiles files;
    files.makeDir(outDir);
    ToolFile tool =
        trainTool(labels, loadPhoto, kvCompositeColorSegmenterTrainParams(), "", files, std::cout);
    // Stored, so that clsg run with demo.clsg gives the demo's images.
    tool.neighborhoodSize = kDemoNeighborhood;
    const std::string toolPath = (fs::path(outDir) / "demo.clsg").string();
    const std::string stagedTool = files.stage(toolPath, FinalNameFrom::program);
    writeToolFile(stagedTool, tool, toolPath);
    bool earlierDemo = refuseForeign(stagedTool, toolPath);
    const std::string photoPath = (fs::path(outDir) / kPhotoName).string();
    const std::string stagedPhoto = files.stage(photoPath, FinalNameFrom::program);
    writeColorImage(stagedPhoto, photo, ImageFormat::Png, photoPath);
    earlierDemo = refuseForeign(stagedPhoto, photoPath) || earlierDemo;
    if (!earlierDemo) refuseForeignOutputs(outDir, tool);

    RunSettings settings;
    settings.params = kvCompositeColorSegmenterRunParams(kDemoNeighborhood, false);
    settings.outDir = outDir;
    std::vector<std::string> written{"demo.clsg", kPhotoName};
    runImages(tool, {{"coffee", [&photo]() { return photo; }}}, settings, files, std::cout,
              &written);
    files.commit();

    std::cout << "wrote into " << oneLine(fs::absolute(outDir).lexically_normal().string())
              << ":\n";
    for (const std::string& name : written) std::cout << "  " << name << "\n";
    std::cout << "look at " << oneLine((fs::path(outDir) / "coffee-overlay.png").string())
              << " (each label's colour over the photograph) and "
              << oneLine((fs::path(outDir) / "coffee-legend.png").string()) << "\n";
    return 0;
}

}  // namespace

Command addDemoCommand(CLI::App& parent) {
    auto outDir = std::make_shared<std::string>("demo-out");
    CLI::App* app = parent.add_subcommand(
        "demo", "Train four labels on the built-in photograph, segment it, write all outputs");
    app->add_option("-o,--out", *outDir, "Output directory")
        ->check(nonEmptyPath())
        ->capture_default_str();
    return {app, [outDir]() { return runDemo(*outDir); }};
}

}  // namespace clsg
