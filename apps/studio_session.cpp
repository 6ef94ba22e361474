#include "apps/studio_session.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "apps/cli_error.h"
#include "apps/image_io.h"
#include "apps/label_option.h"
#include "apps/output_files.h"
#include "apps/overlay.h"
#include "apps/studio_paths.h"
#include "apps/tool_file.h"
#include "platform/exception.h"
#include "platform/pel_ops.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The shortest decimal text that reads back as v.
std::string exactNumber(double v) {
    char text[64];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, v);
        if (std::strtod(text, nullptr) == v) break;
    }
    return text;
}

// word as one shell word.
std::string shellWord(const std::string& word) {
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                            "0123456789_./=:,@+-") == std::string::npos;
    if (plain) return word;
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool samePixels(const kv3PlanePelBuffer_const& a, const kv3PlanePelBuffer_const& b) {
    return a.width() == b.width() && a.height() == b.height() &&
           kfPelEqual(a.plane0(), b.plane0()) && kfPelEqual(a.plane1(), b.plane1()) &&
           kfPelEqual(a.plane2(), b.plane2());
}

// A mask over image's window: 255 where marks hold value.
kvPelBuffer<unsigned char> maskOf(const StudioImage& image, uint8_t value) {
    kvPelBuffer<unsigned char> mask(image.pixels.window());
    const std::size_t width = static_cast<std::size_t>(image.pixels.width());
    for (long y = 0; y < image.pixels.height(); ++y) {
        const uint8_t* marks = image.marks.data() + static_cast<std::size_t>(y) * width;
        unsigned char* row = mask.pointToRow(mask.window().top() + y);
        for (std::size_t x = 0; x < width; ++x) row[x] = marks[x] == value ? 255 : 0;
    }
    return mask;
}

void checkName(const std::string& name) {
    try {
        checkLabelName(name);
    } catch (const CliError& e) {
        throw StudioError(e.what());
    }
}

}  // namespace

StudioSession::StudioSession(std::string outDir) : outDir_(std::move(outDir)) {}

std::size_t StudioSession::addImage(const std::string& name, const std::string& path,
                                    const kv3PlanePelBuffer& pixels) {
    if (!pixels.isBound() || pixels.width() <= 0 || pixels.height() <= 0)
        throw StudioError("the image " + name + " is empty");
    // Names become file names: keep letters, digits, '_' and '-'.
    std::string base;
    for (char c : name) base += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
    if (base.empty()) base = "image";
    base = base.substr(0, 64);
    std::string unique = base;
    for (int n = 2;; ++n) {
        const bool taken = std::any_of(images_.begin(), images_.end(),
                                       [&](const StudioImage& i) { return i.name == unique; });
        if (!taken) break;
        unique = base + "-" + std::to_string(n);
    }
    StudioImage image;
    image.name = unique;
    image.path = path;
    image.pixels = pixels;
    image.marks.assign(
        static_cast<std::size_t>(pixels.width()) * static_cast<std::size_t>(pixels.height()), 0);
    images_.push_back(std::move(image));
    ++revision_;
    return images_.size() - 1;
}

const StudioImage& StudioSession::imageAt(std::size_t image) const {
    if (image >= images_.size()) throw StudioError("there is no image " + std::to_string(image));
    return images_[image];
}

void StudioSession::checkLabel(std::size_t label) const {
    if (label >= labels_.size()) throw StudioError("there is no label " + std::to_string(label));
}

void StudioSession::checkNewName(const std::string& name, std::size_t except) const {
    checkName(name);
    for (std::size_t i = 0; i < labels_.size(); ++i)
        if (i != except && labels_[i].name == name)
            throw StudioError("there is a label named " + name + " already");
}

void StudioSession::addLabel(const std::string& name, uint32_t color) {
    if (labels_.size() >= kMaxLabels)
        throw StudioError("a tool has at most " + std::to_string(kMaxLabels) + " labels");
    checkNewName(name, labels_.size());
    labels_.push_back({name, color & 0xffffffu});
    trainSettingsChanged();
}

void StudioSession::renameLabel(std::size_t label, const std::string& name) {
    checkLabel(label);
    checkNewName(name, label);
    labels_[label].name = name;
    ++revision_;
}

void StudioSession::recolorLabel(std::size_t label, uint32_t color) {
    checkLabel(label);
    labels_[label].color = color & 0xffffffu;
    ++revision_;
}

void StudioSession::deleteLabel(std::size_t label) {
    checkLabel(label);
    labels_.erase(labels_.begin() + static_cast<std::ptrdiff_t>(label));
    const uint8_t removed = static_cast<uint8_t>(label + 1);
    for (StudioImage& image : images_)
        for (uint8_t& m : image.marks)
            if (m == removed)
                m = 0;
            else if (m > removed)
                --m;
    trainSettingsChanged();
}

void StudioSession::setSettings(const StudioSettings& s) {
    if (!(s.toleranceFrac >= 0 && s.toleranceFrac <= 1))
        throw StudioError("the tolerance fraction must lie between 0 and 1");
    if (s.neighborhood < 1 || s.neighborhood > 1023)
        throw StudioError("the neighbourhood size must lie between 1 and 1023");
    const bool trainChange =
        s.toleranceFrac != settings_.toleranceFrac || s.toleranceMin != settings_.toleranceMin;
    settings_ = s;
    if (trainChange)
        trainSettingsChanged();
    else
        ++revision_;
}

void StudioSession::paintMarks(std::size_t image, long x, long y, long w, long h,
                               const std::vector<uint8_t>& values) {
    StudioImage& target = images_[&imageAt(image) - images_.data()];
    const long width = target.pixels.width(), height = target.pixels.height();
    if (x < 0 || y < 0 || w < 1 || h < 1 || x > width - w || y > height - h)
        throw StudioError("the painted rectangle lies outside the image");
    if (values.size() != static_cast<std::size_t>(w) * static_cast<std::size_t>(h))
        throw StudioError("the painted rectangle and its marks differ in size");
    for (uint8_t v : values)
        if (v > labels_.size()) throw StudioError("a mark names a label that does not exist");
    for (long row = 0; row < h; ++row)
        std::copy_n(values.begin() + row * w, w, target.marks.begin() + (y + row) * width + x);
    trainSettingsChanged();
}

void StudioSession::train() {
    if (toolRevision_ == trainRevision_) {
        if (!toolError_.empty()) throw StudioError(toolError_);
        return;
    }
    toolRevision_ = trainRevision_;
    toolError_.clear();
    try {
        if (labels_.empty()) throw StudioError("add a label, then paint some pixels with it");
        std::vector<kvCompositeColorSet> sets;
        for (std::size_t label = 0; label < labels_.size(); ++label) {
            const uint8_t value = static_cast<uint8_t>(label + 1);
            std::vector<kvCompositeColor> instances;
            for (const StudioImage& image : images_)
                if (std::find(image.marks.begin(), image.marks.end(), value) != image.marks.end())
                    instances.emplace_back(image.pixels, maskOf(image, value));
            if (instances.empty())
                throw StudioError("label " + labels_[label].name +
                                  " has no marks yet: paint some pixels with it");
            sets.emplace_back(instances);
        }
        tool_.train(sets, kvCompositeColorSegmenterTrainParams(settings_.toleranceFrac,
                                                               settings_.toleranceMin));
    } catch (const StudioError& e) {
        toolError_ = e.what();
    } catch (const kvAbortRequested&) {
        toolRevision_ = 0;  // try again next time
        throw;
    } catch (const std::bad_alloc&) {
        toolError_ = "out of memory while training";
    } catch (const std::exception& e) {
        toolError_ = "training failed: " + describeError(e);
    }
    if (!toolError_.empty()) throw StudioError(toolError_);
}

StudioSegmentation StudioSession::segment(std::size_t image, StudioView view) {
    const StudioImage& target = imageAt(image);
    StudioSegmentation out;
    Clock::time_point start = Clock::now();
    const uint64_t before = toolRevision_;
    train();
    if (toolRevision_ != before) out.trainMs = msSince(start);

    const kvCompositeColorSegmenterRunParams params(settings_.neighborhood, settings_.normalize);
    if (resultToolRevision_ != toolRevision_ || resultImage_ != image ||
        !(resultParams_ == params)) {
        start = Clock::now();
        resultToolRevision_ = 0;
        try {
            tool_.run(target.pixels, params, result_);
        } catch (const kvAbortRequested&) {
            throw;
        } catch (const std::bad_alloc&) {
            throw StudioError("out of memory while segmenting " + target.name);
        } catch (const std::exception& e) {
            throw StudioError("segmenting " + target.name + " failed: " + describeError(e));
        }
        resultToolRevision_ = toolRevision_;
        resultImage_ = image;
        resultParams_ = params;
        out.runMs = msSince(start);
    }
    start = Clock::now();
    const kvPelBuffer_const<unsigned char> labels = result_.labelImage();
    const kvPelBuffer_const<unsigned char> pixels = view == StudioView::Labels ? labels
                                                    : view == StudioView::Confidence
                                                        ? result_.confidenceImage()
                                                        : result_.scoreImage();
    out.runMs += msSince(start);
    const std::size_t width = static_cast<std::size_t>(pixels.width());
    out.pixels.resize(width * static_cast<std::size_t>(pixels.height()));
    for (long y = 0; y < pixels.height(); ++y)
        std::copy_n(pixels.pointToRow(pixels.window().top() + y), width,
                    out.pixels.begin() + static_cast<std::ptrdiff_t>(y * width));
    out.counts = labelCounts(labels, static_cast<unsigned>(labels_.size()));
    return out;
}

std::string StudioSession::saveTool(const std::string& fileName) {
    train();
    const std::string path = confinedPath(outDir_, fileName, ".clsg");
    ToolFile file;
    for (const StudioLabel& label : labels_) file.labels.push_back({label.name, label.color, {}});
    file.tool = tool_;
    OutputFiles files;
    files.makeDir(outDir_);
    // Whole example images, so that a reopened tool finds its marks on them.
    ToolFileWriteOptions whole;
    whole.cropExamples = false;
    writeToolFile(files.stage(path), file, path, whole);
    files.commit();
    return path;
}

StudioExport StudioSession::exportMasks(const std::string& dirName) {
    if (labels_.empty()) throw StudioError("there are no labels to export");
    const std::string dir = confinedPath(outDir_, dirName, "");
    OutputFiles files;
    files.makeDir(dir);
    refuseLinks(dir);
    StudioExport result;
    std::string command = "clsg train " + shellWord((fs::path(dir) / "tool.clsg").string());
    const auto write = [&](const std::string& relative) {
        const std::string path = (fs::path(dir) / relative).string();
        refuseLinks(path);
        result.files.push_back((fs::path(dirName) / relative).string());
        return files.stage(path);
    };
    // Images without a file the command line can name are written alongside.
    std::vector<std::string> imagePaths;
    for (const StudioImage& image : images_) {
        const bool nameable =
            !image.path.empty() && image.path.find_first_of(",:@") == std::string::npos;
        if (nameable) {
            imagePaths.push_back(image.path);
            continue;
        }
        const bool used =
            std::any_of(image.marks.begin(), image.marks.end(), [](uint8_t m) { return m != 0; });
        imagePaths.push_back(used ? (fs::path(dir) / (image.name + ".png")).string() : "");
        if (used) writeColorImage(write(image.name + ".png"), image.pixels, ImageFormat::Png);
    }
    for (std::size_t label = 0; label < labels_.size(); ++label) {
        const uint8_t value = static_cast<uint8_t>(label + 1);
        std::string examples;
        for (std::size_t i = 0; i < images_.size(); ++i) {
            const StudioImage& image = images_[i];
            if (std::find(image.marks.begin(), image.marks.end(), value) == image.marks.end())
                continue;
            files.makeDir((fs::path(dir) / labels_[label].name).string());
            const std::string relative = labels_[label].name + "/" + image.name + ".png";
            writeGreyImage(write(relative), maskOf(image, value), ImageFormat::Png);
            examples += (examples.empty() ? "" : ",") + imagePaths[i] + ":" +
                        (fs::path(dir) / relative).string();
        }
        if (examples.empty())
            throw StudioError("label " + labels_[label].name + " has no marks to export");
        command += " --label " + shellWord(labels_[label].name + "=" + examples);
    }
    command += " --color-tolerance-frac " + exactNumber(settings_.toleranceFrac) +
               " --color-tolerance-min " + std::to_string(settings_.toleranceMin);
    const std::string commandFile = write("train-command.txt");
    if (std::FILE* f = std::fopen(commandFile.c_str(), "w")) {
        std::fprintf(f, "%s\n", command.c_str());
        if (std::fclose(f) != 0) throw StudioError("cannot write " + commandFile);
    } else {
        throw StudioError("cannot write " + commandFile);
    }
    files.commit();
    result.trainCommand = command;
    return result;
}

void StudioSession::loadTool(const std::string& path) {
    const ToolFile file = readToolFile(path);
    const std::vector<kvCompositeColorSet>& sets = file.tool.compositeColors();
    if (labels_.size() + sets.size() > kMaxLabels)
        throw StudioError(path + " holds more labels than fit beside the open ones");
    for (const ToolLabel& label : file.labels) checkNewName(label.name, labels_.size());
    const std::string stem = fs::path(path).stem().string();
    std::size_t added = 0;
    for (std::size_t label = 0; label < sets.size(); ++label) {
        labels_.push_back({file.labels[label].name, file.labels[label].color});
        const uint8_t value = static_cast<uint8_t>(labels_.size());
        for (const kvCompositeColor& example : sets[label].instances())
            for (std::size_t k = 0; k < example.images().size(); ++k) {
                const kv3PlanePelBuffer_const& pixels = example.images()[k];
                std::size_t index = images_.size();
                for (std::size_t i = 0; i < images_.size(); ++i)
                    if (samePixels(images_[i].pixels, pixels)) index = i;
                if (index == images_.size())
                    addImage(stem + "-example-" + std::to_string(++added), "", kfPelCopy(pixels));
                StudioImage& image = images_[index];
                const kvPelBuffer_const<unsigned char>& mask = example.masks()[k];
                const kvPelRect& w = pixels.window();
                const std::size_t width = static_cast<std::size_t>(w.width());
                // An unbound mask selects the whole image; pixels outside a
                // bound mask's window are not selected.
                const kvPelRect m = mask.isBound() ? mask.window() : w;
                for (long y = w.top(); y < w.bottom(); ++y) {
                    if (y < m.top() || y >= m.bottom()) continue;
                    uint8_t* marks =
                        image.marks.data() + static_cast<std::size_t>(y - w.top()) * width;
                    for (long x = std::max(w.left(), m.left()); x < std::min(w.right(), m.right());
                         ++x)
                        if (!mask.isBound() || *mask.pointToPel(x, y) == 255)
                            marks[x - w.left()] = value;
                }
            }
    }
    settings_.toleranceFrac = file.tool.trainParams().colorToleranceFrac();
    settings_.toleranceMin = static_cast<uint32_t>(file.tool.trainParams().colorToleranceMin());
    trainSettingsChanged();
}
