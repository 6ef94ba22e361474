// clsg evaluate TOOL IMAGE --truth TRUTH.png [--truth-map VALUE=LABEL ...]
#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cctype>
#include <iostream>
#include <map>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/count_option.h"
#include "cli/path_option.h"
#include "clsg/colorseg/segmenter_result.h"
#include "clsg/io/teaching_warnings.h"
#include "clsg/tuning/quality_report.h"

namespace clsg {

namespace {

constexpr unsigned char kIgnore = 255;

using Colour = std::array<int, 3>;

// VALUE is a grey value (0 to 255), R,G,B or #rrggbb.
Colour parseColour(const std::string& text) {
    const auto bad = [&] {
        return UsageError("--truth-map: " + text +
                          " is not a grey value (0 to 255), R,G,B or #rrggbb");
    };
    // Digits alone (std::stoi would also take a sign, spaces before them, "0x").
    const auto channel = [&](const std::string& part, int base) {
        const std::string digits = "0123456789abcdef";
        int v = 0;
        for (const char c : part) {
            const std::size_t d =
                digits.find(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
            if (d == std::string::npos || d >= static_cast<std::size_t>(base)) throw bad();
            v = v * base + static_cast<int>(d);
            if (v > 255) throw bad();
        }
        if (part.empty()) throw bad();
        return v;
    };
    if (text.size() == 7 && text[0] == '#')
        return {channel(text.substr(1, 2), 16), channel(text.substr(3, 2), 16),
                channel(text.substr(5, 2), 16)};
    const std::size_t a = text.find(',');
    if (a == std::string::npos) {
        const int v = channel(text, 10);
        return {v, v, v};
    }
    const std::size_t b = text.find(',', a + 1);
    if (b == std::string::npos) throw bad();
    return {channel(text.substr(0, a), 10), channel(text.substr(a + 1, b - a - 1), 10),
            channel(text.substr(b + 1), 10)};
}

// The truth's colours and the labels they stand for (kIgnore: not counted).
std::map<Colour, unsigned char> truthMap(const std::vector<std::string>& options,
                                         const std::vector<std::string>& names) {
    std::map<Colour, unsigned char> map;
    if (options.empty()) {  // grey i is label i, white is ignored
        for (std::size_t i = 0; i < names.size(); ++i) {
            const int v = static_cast<int>(i);
            map[{v, v, v}] = static_cast<unsigned char>(i);
        }
        map[{255, 255, 255}] = kIgnore;
        return map;
    }
    for (const std::string& option : options) {
        const std::size_t eq = option.rfind('=');
        if (eq == std::string::npos)
            throw UsageError("--truth-map " + option + ": expected VALUE=LABEL");
        const std::string label = option.substr(eq + 1);
        unsigned char to = kIgnore;
        if (label == "ignore" && std::count(names.begin(), names.end(), label))
            throw UsageError("--truth-map " + option +
                             ": the tool has a label named ignore, so this could mean it or "
                             "\"not judged\"; rename the label to evaluate it");
        if (label != "ignore") {
            const auto it = std::find(names.begin(), names.end(), label);
            if (it == names.end())
                throw UsageError("--truth-map " + option + ": the tool has no label " + label);
            to = static_cast<unsigned char>(it - names.begin());
        }
        if (!map.emplace(parseColour(option.substr(0, eq)), to).second)
            throw UsageError("--truth-map " + option + ": that value is mapped twice");
    }
    return map;
}

// The true label of every pixel of the truth image.
// labels: the tool's count when map is the default one (grey i is label i), else 0.
kvPelBuffer<unsigned char> truthLabels(const kv3PlanePelBuffer_const& truth,
                                       const std::map<Colour, unsigned char>& map,
                                       std::size_t labels, const std::string& truthPath,
                                       uint64_t& ignored) {
    kvPelBuffer<unsigned char> out(truth.window());
    ignored = 0;
    for (long y = truth.window().top(); y < truth.window().bottom(); ++y)
        for (long x = truth.window().left(); x < truth.window().right(); ++x) {
            const Colour c = {*truth.plane0().pointToPel(x, y), *truth.plane1().pointToPel(x, y),
                              *truth.plane2().pointToPel(x, y)};
            const auto it = map.find(c);
            if (it == map.end()) {
                // A grey past the tool's labels: most likely a truth of more labels.
                const std::string beyond = labels && c[0] == c[1] && c[1] == c[2]
                                               ? " (grey i is the tool's label i, and its " +
                                                     std::to_string(labels) + " labels are 0 to " +
                                                     std::to_string(labels - 1) + ")"
                                               : "";
                throw CliError(truthPath + ": the colour " + std::to_string(c[0]) + "," +
                               std::to_string(c[1]) + "," + std::to_string(c[2]) + " at (" +
                               std::to_string(x) + ", " + std::to_string(y) +
                               ") stands for no label" + beyond +
                               "; map it with --truth-map VALUE=LABEL (or VALUE=ignore)");
            }
            *out.pointToPel(x, y) = it->second;
            ignored += it->second == kIgnore;
        }
    return out;
}

}  // namespace

Command addEvaluateCommand(CLI::App& parent) {
    struct Options {
        std::string tool, image, truth;
        std::vector<std::string> maps;
        int32_t neighborhood = 0;
        bool normalize = false;
        bool json = false;
        uint64_t maxPixels = ReadLimits().maxPixels;
    };
    auto o = std::make_shared<Options>();
    CLI::App* app = parent.add_subcommand(
        "evaluate", "Segment an image and compare its labels with a ground-truth image");
    app->footer(
        "The truth image holds one grey value or colour per label (8 bits per sample). Without "
        "--truth-map, grey "
        "value i is label i (in the tool's order) and white (255) is ignored. Each "
        "--truth-map VALUE=LABEL maps a grey value (0 to 255), R,G,B or #rrggbb to a label "
        "name or to 'ignore'; then every value of the truth must be mapped.");
    app->add_option("tool", o->tool, "Tool file written by clsg train")
        ->required()
        ->check(nonEmptyPath());
    app->add_option("image", o->image, "Image to segment")->required()->check(nonEmptyPath());
    app->add_option("--truth", o->truth, "Ground-truth image, the size of the image")
        ->required()
        ->check(nonEmptyPath());
    app->add_option("--truth-map", o->maps, "VALUE=LABEL or VALUE=ignore (repeatable)")
        ->expected(1)
        ->allow_extra_args(false)  // a positional after it is no second value
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app->add_option("-n,--neighborhood", o->neighborhood,
                    "Side of the scoring neighbourhood (default: the tool file's, else 3)")
        ->transform(wholeNumber(1, 255));
    app->add_flag("--normalize-intensity", o->normalize,
                  "Match the image's brightness to the trained colours first");
    app->add_flag("--json", o->json, "Print the measures as JSON");
    app->add_option("--max-pixels", o->maxPixels, "Largest image read, in pixels")
        ->transform(countAtLeast(1))
        ->capture_default_str();
    return {app, [o]() {
                const ToolFile file = readToolFile(o->tool);
                const std::vector<std::string> names = file.labelNames();
                ReadLimits limits;
                limits.maxPixels = o->maxPixels;
                limits.raise = "raise it with --max-pixels";
                const kv3PlanePelBuffer image = readColorImage(o->image, limits);
                // A JPEG's compression moves values about every edge, and
                // a moved value may be another label's.
                if (const std::string jpeg = jpegCompressed(o->truth); !jpeg.empty())
                    std::cerr << "clsg: warning: the truth " << oneLine(o->truth) << " is " << jpeg
                              << ": its compression changes values near edges, "
                                 "which then count as other labels or fail to map; save "
                                 "truths as PNG\n";
                ReadLimits exact = limits;  // its values stand for labels: no scaling
                exact.exactValues = true;
                const kv3PlanePelBuffer truth = readColorImage(o->truth, exact);
                if (truth.window() != image.window())
                    throw CliError(o->truth + " is " + std::to_string(truth.width()) + " x " +
                                   std::to_string(truth.height()) + ", " + o->image + " is " +
                                   std::to_string(image.width()) + " x " +
                                   std::to_string(image.height()));
                uint64_t ignored = 0;
                const kvPelBuffer<unsigned char> want =
                    truthLabels(truth, truthMap(o->maps, names), o->maps.empty() ? names.size() : 0,
                                o->truth, ignored);
                // A measure over no pixel would read as a pass to a script.
                if (ignored ==
                    static_cast<uint64_t>(truth.width()) * static_cast<uint64_t>(truth.height()))
                    throw CliError(o->truth +
                                   ": every pixel is one not judged: nothing to "
                                   "evaluate");
                const int32_t n =
                    o->neighborhood > 0 ? o->neighborhood : file.neighborhoodSize.value_or(3);
                // What explains a low score there, as run says it.
                const std::string narrow =
                    narrowImageNote(o->image, image.width(), image.height(), n);
                if (!narrow.empty()) std::cerr << "clsg: note: " << oneLine(narrow) << "\n";
                kvCompositeColorSegmenterResult result;
                file.tool.run(image, kvCompositeColorSegmenterRunParams(n, o->normalize), result);
                const clsg::LabelConfusion confusion =
                    clsg::compareLabelImages(result.labelImage(), want, names.size());
                if (o->json) {
                    nlohmann::json j = confusionJson(names, confusion);
                    j["image"] = o->image;
                    j["truth"] = o->truth;
                    j["neighborhoodSize"] = n;
                    j["ignoredPixels"] = ignored;
                    // File names need not be UTF-8: their other bytes become U+FFFD.
                    std::cout << j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                              << "\n";
                } else {
                    std::cout << oneLine(o->image) << " against " << oneLine(o->truth)
                              << " (neighborhood " << n << ", " << ignored << " pixels ignored):\n";
                    printConfusion(std::cout, names, confusion);
                }
                return 0;
            }};
}

}  // namespace clsg
