#include "studio/studio_session.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <tuple>

#include "clsg/colorseg/budget.h"
#include "clsg/colorseg/errors.h"
#include "clsg/colorseg/intensity_gain.h"
#include "clsg/io/errors.h"
#include "clsg/io/image_io.h"
#include "clsg/io/label_colors.h"
#include "clsg/io/output_files.h"
#include "clsg/io/overlay.h"
#include "clsg/io/tool_file.h"
#include "clsg/platform/exception.h"
#include "clsg/platform/pel_ops.h"
#include "clsg/platform/str.h"
#include "clsg/tiled/tiled_run.h"
#include "clsg/tuning/fitting_fraction.h"
#include "clsg/tuning/tolerance_limits.h"
#include "studio/session_files.h"
#include "studio/studio_paths.h"
#include "studio/studio_runs.h"

namespace clsg {

namespace fs = std::filesystem;

namespace {

// What a file's stat says of it (0s when it cannot be read).
std::array<int64_t, 4> fileStamp(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return {};
    return {static_cast<int64_t>(st.st_dev), static_cast<int64_t>(st.st_ino),
            static_cast<int64_t>(st.st_size),
            static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

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

kvPelRect overlap(const kvPelRect& a, const kvPelRect& b) {
    return kvRectangle<long>(a).intersect(kvRectangle<long>(b), false);
}

// True when image holds the pels of part at part's window.
bool holds(const kv3PlanePelBuffer_const& image, const kv3PlanePelBuffer_const& part) {
    if (!image.window().contains(part.window())) return false;
    kvPelBuffer_const<unsigned char> planes[3] = {image.plane0(), image.plane1(), image.plane2()};
    for (kvPelBuffer_const<unsigned char>& p : planes) p.window(part.window(), false);
    return kfPelEqual(planes[0], part.plane0()) && kfPelEqual(planes[1], part.plane1()) &&
           kfPelEqual(planes[2], part.plane2());
}

// A copy of image whose window starts at (0, 0).
kv3PlanePelBuffer originCopy(const kv3PlanePelBuffer_const& image) {
    const kvPelRect& w = image.window();
    kv3PlanePelBuffer out(kvPelRect(0, 0, w.width(), w.height()));
    const kvPelBuffer_const<unsigned char>* from[3] = {&image.plane0(), &image.plane1(),
                                                       &image.plane2()};
    const kvPelBuffer<unsigned char>* to[3] = {&out.plane0(), &out.plane1(), &out.plane2()};
    for (int p = 0; p < 3; ++p)
        for (long y = 0; y < w.height(); ++y)
            std::copy_n(from[p]->pointToRow(w.top() + y), w.width(), to[p]->pointToRow(y));
    return out;
}

// The example of label value on image: the image cut to the box around the
// label's marks, with a mask over that box (255 where marks hold value).
// Cutting keeps training and the saved tool in proportion to the marks, not
// to the image. Unbound when the image holds no such mark.
struct Example {
    kv3PlanePelBuffer image;
    kvPelBuffer<unsigned char> mask;
};

std::vector<Example> examplesOf(const StudioImage& image, std::size_t labels) {
    const long width = image.pixels.width(), height = image.pixels.height();
    std::vector<long> x0(labels + 1, width), y0(labels + 1, height), x1(labels + 1, 0),
        y1(labels + 1, 0);
    for (long y = 0; y < height; ++y) {
        const uint8_t* marks = image.marks.data() + static_cast<std::size_t>(y * width);
        for (long x = 0; x < width; ++x) {
            const uint8_t m = marks[x];
            if (m == 0) continue;
            x0[m] = std::min(x0[m], x);
            x1[m] = std::max(x1[m], x + 1);
            y0[m] = std::min(y0[m], y);
            y1[m] = std::max(y1[m], y + 1);
        }
    }
    std::vector<Example> out(labels);
    const kvPelRect& w = image.pixels.window();
    for (std::size_t label = 0; label < labels; ++label) {
        const std::size_t m = label + 1;
        if (x1[m] == 0) continue;
        const kvPelRect box(w.left() + x0[m], w.top() + y0[m], x1[m] - x0[m], y1[m] - y0[m]);
        kvPelBuffer<unsigned char> planes[3] = {image.pixels.plane0(), image.pixels.plane1(),
                                                image.pixels.plane2()};
        for (kvPelBuffer<unsigned char>& p : planes) p.window(box, false);
        out[label].image = kv3PlanePelBuffer(planes[0], planes[1], planes[2]);
        out[label].mask = kvPelBuffer<unsigned char>(box);
        for (long y = y0[m]; y < y1[m]; ++y) {
            const uint8_t* marks = image.marks.data() + static_cast<std::size_t>(y * width);
            unsigned char* row = out[label].mask.pointToRow(w.top() + y);
            for (long x = x0[m]; x < x1[m]; ++x) row[x - x0[m]] = marks[x] == m ? 255 : 0;
        }
    }
    return out;
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

// The pels of b, row by row.
void copyRows(const kvPelBuffer_const<unsigned char>& b, std::vector<uint8_t>& out) {
    const std::size_t width = static_cast<std::size_t>(b.width());
    out.resize(width * static_cast<std::size_t>(b.height()));
    for (long y = 0; y < b.height(); ++y)
        std::copy_n(b.pointToRow(b.window().top() + y), width,
                    out.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(y) * width));
}

// FNV-1a over the size and the planes, row by row.
uint64_t pixelDigest(const kv3PlanePelBuffer_const& image) {
    uint64_t h = 14695981039346656037ull;
    const auto mix = [&h](uint64_t byte) { h = (h ^ byte) * 1099511628211ull; };
    for (int shift = 0; shift < 64; shift += 8) {
        mix((static_cast<uint64_t>(image.width()) >> shift) & 0xff);
        mix((static_cast<uint64_t>(image.height()) >> shift) & 0xff);
    }
    for (const kvPelBuffer_const<unsigned char>* plane :
         {&image.plane0(), &image.plane1(), &image.plane2()})
        for (long y = image.window().top(); y < image.window().bottom(); ++y) {
            const unsigned char* row = plane->pointToRow(y);
            for (long x = 0; x < image.width(); ++x) mix(row[x]);
        }
    return h;
}

// The session file: a first line naming the format, the JSON's length (8
// bytes, little endian), the JSON (labels, settings, images with their size,
// digest and the length of their marks), then each image's marks run-encoded.
const char kSessionMagic[] = "clsg studio session 1\n";

std::string littleEndian(uint64_t v) {
    std::string out(8, '\0');
    for (int b = 0; b < 8; ++b) out[static_cast<std::size_t>(b)] = static_cast<char>(v >> (8 * b));
    return out;
}

uint64_t readLittleEndian(const std::string& text, std::size_t at) {
    uint64_t v = 0;
    for (int b = 0; b < 8; ++b)
        v |= uint64_t{static_cast<unsigned char>(text[at + static_cast<std::size_t>(b)])}
             << (8 * b);
    return v;
}

std::string localTime(std::time_t t) {
    char text[32] = "";
    std::tm parts{};
    if (localtime_r(&t, &parts)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

// Throws StudioError for settings the studio does not take.
void checkSettings(const StudioSettings& s) {
    if (!(s.toleranceFrac >= 0 && s.toleranceFrac <= 1))
        throw StudioError("the tolerance fraction must lie between 0 and 1");
    if (s.toleranceFrac < kMinToleranceFrac)
        throw StudioError(
            "a tolerance fraction of 0, or below 0.000001, gives every colour a weight of "
            "(about) 0, so no pixel would be labelled: give 0.02 to 0.3");
    if (s.toleranceMin > 255)
        throw StudioError("the smallest tolerance must lie between 0 and 255");
    if (s.neighborhood < 1 || s.neighborhood > StudioSession::kMaxNeighborhood)
        throw StudioError("the neighbourhood size must lie between 1 and " +
                          std::to_string(StudioSession::kMaxNeighborhood));
}

void checkName(const std::string& name) {
    const std::string problem = labelNameProblem(name);
    if (!problem.empty()) throw StudioError(problem);
}

bool nameTaken(const std::vector<StudioImage>& images, std::string StudioImage::*field,
               const std::string& name) {
    return std::any_of(images.begin(), images.end(),
                       [&](const StudioImage& i) { return i.*field == name; });
}

}  // namespace

StudioSession::StudioSession(std::string outDir, uint64_t maxTotalPixels)
    : outDir_(std::move(outDir)), maxTotalPixels_(maxTotalPixels) {}

std::size_t StudioSession::addImage(const std::string& name, const std::string& path,
                                    const kv3PlanePelBuffer& pixels) {
    if (!pixels.isBound() || pixels.width() <= 0 || pixels.height() <= 0)
        throw StudioError("the image " + name + " is empty");
    if (images_.size() >= kMaxImages)
        throw StudioError("cannot open " + name + ": a studio opens at most " +
                          std::to_string(kMaxImages) + " images");
    const uint64_t size =
        static_cast<uint64_t>(pixels.width()) * static_cast<uint64_t>(pixels.height());
    if (size > pixelRoom())
        throw StudioError("the image " + name + " (" + std::to_string(size) +
                          " pixels) does not fit beside the open images: a studio holds at most " +
                          std::to_string(maxTotalPixels_) + " pixels in all");
    // Names become file names: keep letters, digits, '_' and '-'.
    std::string base;
    for (char c : name) base += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
    if (base.empty()) base = "image";
    base = base.substr(0, 64);
    std::string unique = base;
    for (int n = 2; nameTaken(images_, &StudioImage::name, unique); ++n)
        unique = base + "-" + std::to_string(n);
    // Shown as given (cut where a character begins); a second of one name
    // gets (2), whatever its exported name.
    std::size_t cut = std::min<std::size_t>(name.size(), 200);
    for (int back = 0; back < 3 && cut > 0 && cut < name.size() &&
                       (static_cast<unsigned char>(name[cut]) & 0xc0) == 0x80;
         ++back)
        --cut;
    std::string title = name.substr(0, cut);
    for (int n = 2; nameTaken(images_, &StudioImage::title, title); ++n)
        title = name.substr(0, cut) + " (" + std::to_string(n) + ")";
    StudioImage image;
    image.name = unique;
    image.title = title;
    image.path = path;
    image.pixels = pixels;
    image.marks.assign(
        static_cast<std::size_t>(pixels.width()) * static_cast<std::size_t>(pixels.height()), 0);
    image.digest = pixelDigest(pixels);
    if (!path.empty()) image.stamp = fileStamp(path);
    // Marks restored for this image before it was opened, trained on from now:
    // those of its own name first (two images of the same pixels keep their
    // own marks).
    const auto takeCarried = [&](bool sameName) {
        for (auto c = carried_.begin(); c != carried_.end(); ++c) {
            std::vector<uint8_t> marks;
            if ((!sameName || c->name == unique) && c->digest == image.digest &&
                c->width == pixels.width() && c->height == pixels.height() &&
                decodeRuns(c->runs, image.marks.size(), marks)) {
                image.marks = std::move(marks);
                carried_.erase(c);
                ++trainRevision_;
                return true;
            }
        }
        return false;
    };
    if (!takeCarried(true)) takeCarried(false);
    images_.push_back(std::move(image));
    // Opening an image changes nothing an earlier session's restore replaces.
    const bool unchanged = revision_ == offeredRevision_;
    ++revision_;
    if (unchanged) offeredRevision_ = revision_;
    return images_.size() - 1;
}

uint64_t StudioSession::pixelRoom() const {
    uint64_t used = 0;
    for (const StudioImage& image : images_) used += image.marks.size();
    return used >= maxTotalPixels_ ? 0 : maxTotalPixels_ - used;
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

void StudioSession::addLabel(const std::string& name, std::optional<uint32_t> color) {
    placeLabel(labels_.size(), name, color, false);  // a new label, though named as an old one
}

void StudioSession::insertLabel(std::size_t at, const std::string& name,
                                std::optional<uint32_t> color) {
    placeLabel(at, name, color, true);
}

void StudioSession::placeLabel(std::size_t at, const std::string& name,
                               std::optional<uint32_t> color, bool undoing) {
    if (labels_.size() >= kMaxLabels)
        throw StudioError("a tool has at most " + std::to_string(kMaxLabels) + " labels");
    if (at > labels_.size()) throw StudioError("there is no label " + std::to_string(at));
    checkNewName(name, labels_.size());
    if (at < labels_.size()) {  // an added label moves no mark
        std::array<uint8_t, 256> to;
        for (std::size_t m = 0; m < to.size(); ++m)
            to[m] = static_cast<uint8_t>(m > at ? m + 1 : m);
        renumberMarks(to);
    }
    if (undoing) takeBackCarried(at, name);
    StudioLabel label{name, color ? *color & 0xffffffu : 0, color.has_value(), false, {}};
    labels_.insert(labels_.begin() + static_cast<std::ptrdiff_t>(at), label);
    deriveColors();
    trainSettingsChanged();
}

void StudioSession::takeBackCarried(std::size_t at, const std::string& name) {
    const std::vector<std::string> now = labelNames();
    // The undo of a deletion, whatever was done and undone since: the labels
    // are those the deletion left, so the carried marks kept then are
    // numbered as they would be now. Each carried image not opened since
    // gets its marks back as they were.
    for (auto d = deleted_.rbegin(); d != deleted_.rend(); ++d) {
        if (d->at != at || d->name != name || d->after != now) continue;
        for (CarriedMarks& c : carried_)
            for (const CarriedMarks& before : d->carried)
                if (before.digest == c.digest && before.name == c.name && before.path == c.path)
                    c.runs = before.runs;
        deleted_.erase(std::next(d).base());
        return;
    }
}

std::vector<std::string> StudioSession::labelNames() const {
    std::vector<std::string> names;
    for (const StudioLabel& l : labels_) names.push_back(l.name);
    return names;
}

void StudioSession::renameLabel(std::size_t label, const std::string& name,
                                std::optional<uint32_t> was) {
    checkLabel(label);
    checkNewName(name, label);
    labels_[label].name = name;
    if (was && !labels_[label].chosen) labels_[label].color = *was & 0xffffffu;
    deriveColors();
    ++revision_;
}

void StudioSession::recolorLabel(std::size_t label, std::optional<uint32_t> color,
                                 std::optional<uint32_t> was) {
    checkLabel(label);
    labels_[label].chosen = color.has_value();
    if (color || was) labels_[label].color = (color ? *color : *was) & 0xffffffu;
    deriveColors();
    ++revision_;
}

void StudioSession::deriveColors() {
    std::vector<std::string> names;
    std::vector<std::optional<uint32_t>> chosen, means;
    for (const StudioLabel& label : labels_) {
        names.push_back(label.name);
        chosen.push_back(label.chosen ? std::optional<uint32_t>(label.color) : std::nullopt);
        means.push_back(label.mean);
    }
    const std::vector<uint32_t> colors = labelColors(names, chosen, means);
    // A colour that follows the marks moves only when they move it clearly:
    // each stroke would shift it a little, and the overlay would flicker.
    const auto near = [](uint32_t a, uint32_t b) {
        long d = 0;
        for (int shift : {16, 8, 0}) {
            const long x =
                static_cast<long>(a >> shift & 255) - static_cast<long>(b >> shift & 255);
            d += x * x;
        }
        return d < 24 * 24;
    };
    for (std::size_t i = 0; i < labels_.size(); ++i)
        if (labels_[i].chosen || !labels_[i].mean || !near(labels_[i].color, colors[i]))
            labels_[i].color = colors[i];
}

void StudioSession::mapLabels(kvPelBuffer<unsigned char>& labels) const {
    if (trained_.size() == labels_.size() || !labels.isBound()) return;
    std::vector<unsigned char> to(256, 255);
    std::copy(trained_.begin(), trained_.end(), to.begin());
    labels = kfPelMap(labels, to);
}

void StudioSession::deleteLabel(std::size_t label) {
    checkLabel(label);
    if (deleted_.size() == kDeletionsKept) deleted_.erase(deleted_.begin());
    deleted_.push_back(DeletedLabel{label, labels_[label].name, carried_, {}});
    labels_.erase(labels_.begin() + static_cast<std::ptrdiff_t>(label));
    deleted_.back().after = labelNames();
    std::array<uint8_t, 256> to;
    const std::size_t removed = label + 1;
    for (std::size_t m = 0; m < to.size(); ++m)
        to[m] = static_cast<uint8_t>(m == removed ? 0 : m > removed ? m - 1 : m);
    renumberMarks(to);
    deriveColors();
    trainSettingsChanged();
}

void StudioSession::renumberMarks(const std::array<uint8_t, 256>& to) {
    for (StudioImage& image : images_)
        for (uint8_t& m : image.marks) m = to[m];
    for (CarriedMarks& c : carried_) {
        std::string runs;
        if (mapRuns(c.runs, static_cast<std::size_t>(c.width * c.height), to, runs))
            c.runs = std::move(runs);
    }
}

void StudioSession::setSettings(const StudioSettings& s) {
    checkSettings(s);
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

std::vector<kvCompositeColorSet> StudioSession::markedSets(bool wholeImages) const {
    if (labels_.empty()) throw StudioError("add a label, then paint some pixels with it");
    std::vector<std::vector<kvCompositeColor>> instances(labels_.size());
    for (const StudioImage& image : images_) {
        std::vector<Example> examples = examplesOf(image, labels_.size());
        if (wholeImages)
            for (std::size_t label = 0; label < labels_.size(); ++label) {
                if (!examples[label].image.isBound()) continue;
                const kvPelRect& w = image.pixels.window();
                kvPelBuffer<unsigned char> mask(w);
                for (long y = 0; y < w.height(); ++y) {
                    const uint8_t* marks =
                        image.marks.data() + static_cast<std::size_t>(y * w.width());
                    unsigned char* row = mask.pointToPel(w.left(), w.top() + y);
                    for (long x = 0; x < w.width(); ++x) row[x] = marks[x] == label + 1 ? 255 : 0;
                }
                examples[label].image = image.pixels;
                examples[label].mask = mask;
            }
        for (std::size_t label = 0; label < labels_.size(); ++label)
            if (examples[label].image.isBound())
                instances[label].emplace_back(examples[label].image, examples[label].mask);
    }
    std::vector<kvCompositeColorSet> sets;
    for (std::size_t label = 0; label < labels_.size(); ++label) {
        if (instances[label].empty())
            throw StudioError("label " + labels_[label].name +
                              " has no marks yet: paint some pixels with it");
        sets.emplace_back(instances[label]);
    }
    return sets;
}

clsg::SuggestReport StudioSession::chooseSettings(const std::function<void(uint32_t)>& progress) {
    clsg::SuggestOptions options;
    options.progress = progress;
    options.threads = std::max(1u, std::thread::hardware_concurrency());
    for (const StudioLabel& label : labels_) options.labelNames.push_back(label.name);
    clsg::SuggestReport report;
    try {
        // Only what train() could then train, on the marks as it takes them.
        const std::vector<kvCompositeColorSet> own = markedSets();
        options.checkCost = [&](const kvCompositeColorSegmenterTrainParams& p) {
            trainingBudget_.check(own, p);
        };
        report = clsg::suggestSegmenterParams(markedSets(true), options);
    } catch (const kvCompositeColorSegmenterDefs::BadParams& e) {
        throw StudioError(e.what());
    } catch (const kvCompositeColorSegmenterBudget::Exceeded& e) {
        throw StudioError(std::string("training would cost too much at every tolerance Auto "
                                      "tries: ") +
                          e.what());
    }
    StudioSettings s = settings_;
    s.toleranceFrac = report.trainParams.colorToleranceFrac();
    s.toleranceMin = report.trainParams.colorToleranceMin();
    s.neighborhood = report.runParams.neighborhoodSize();
    setSettings(s);
    return report;
}

namespace {

// Marks over the training budget, and the tolerance fraction they fit at.
std::string overBudgetMessage(const std::exception& e, const std::vector<kvCompositeColorSet>& sets,
                              const kvCompositeColorSegmenterTrainParams& params,
                              const kvCompositeColorSegmenterBudget& budget) {
    const std::string why = std::string("training would cost too much: ") + e.what();
    const double fits = nearestFittingFraction(sets, params, budget);
    if (fits == 0) return why + "; mark fewer pixels";
    return why + (fits > params.colorToleranceFrac() ? "; raise" : "; lower") +
           " the tolerance fraction (the marks fit at " + kfStr(fits) + ")";
}

}  // namespace

void StudioSession::train() {
    if (toolRevision_ == trainRevision_) {
        if (!toolError_.empty()) throw StudioError(toolError_);
        return;
    }
    toolRevision_ = trainRevision_;
    toolError_.clear();
    try {
        if (labels_.empty()) throw StudioError("add a label, then paint some pixels with it");
        std::vector<std::vector<kvCompositeColor>> instances(labels_.size());
        for (const StudioImage& image : images_) {
            const std::vector<Example> examples = examplesOf(image, labels_.size());
            for (std::size_t label = 0; label < labels_.size(); ++label)
                if (examples[label].image.isBound())
                    instances[label].emplace_back(examples[label].image, examples[label].mask);
        }
        // Labels without marks wait: the others are trained, and their colours
        // follow their marks.
        std::vector<kvCompositeColorSet> sets;
        trained_.clear();
        for (std::size_t label = 0; label < labels_.size(); ++label) {
            StudioLabel& l = labels_[label];
            l.marked = !instances[label].empty();
            l.mean.reset();
            if (!l.marked) continue;
            sets.emplace_back(instances[label]);
            trained_.push_back(static_cast<uint8_t>(label));
            l.mean = meanExampleColor(sets.back());
        }
        deriveColors();
        if (sets.empty())
            throw StudioError(labels_.size() == 1
                                  ? "label " + labels_[0].name +
                                        " has no marks yet: paint some pixels with it"
                                  : "no label has marks yet: pick one and paint some pixels of "
                                    "its colour");
        // The marks are the page's input: held to a budget (that of files
        // from elsewhere), so that a tolerance fraction of 0 on many labels
        // is refused before it allocates gigabytes.
        const kvCompositeColorSegmenterTrainParams params(settings_.toleranceFrac,
                                                          settings_.toleranceMin);
        try {
            const kvCompositeColorSegmenterBudgetScope budget(trainingBudget_);
            tool_.train(sets, params);
        } catch (const kvCompositeColorSegmenterBudget::Exceeded& e) {
            throw StudioError(overBudgetMessage(e, sets, params, trainingBudget_));
        }
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

StudioSegmentation StudioSession::segment(std::size_t image, StudioView view,
                                          const kvPelRect& window) {
    const StudioImage& target = imageAt(image);
    const kvPelRect whole = target.pixels.window();
    StudioSegmentation out;
    out.window = window.isEmpty() ? whole : overlap(window, whole);
    if (out.window.isEmpty()) throw StudioError("the window lies outside image " + target.name);
    const bool full = out.window == whole;

    Clock::time_point start = Clock::now();
    const uint64_t before = toolRevision_;
    train();
    if (toolRevision_ != before) out.trainMs = msSince(start);

    start = Clock::now();
    const kvCompositeColorSegmenterRunParams params(settings_.neighborhood, settings_.normalize);
    try {
        if (resultToolRevision_ != toolRevision_ || resultImage_ != image ||
            !(resultParams_ == params)) {
            for (kvPelBuffer<unsigned char>& o : outputs_) o = kvPelBuffer<unsigned char>();
            resultToolRevision_ = 0;
            gain_ = params.normalizeIntensity() ? kfSearchIntensityGain(tool_, target.pixels) : 1.0;
            resultToolRevision_ = toolRevision_;
            resultImage_ = image;
            resultParams_ = params;
        }
        const int kind = static_cast<int>(view);
        const bool kept = full && outputs_[kind].isBound() && outputs_[0].isBound();
        if (!kept) {
            clsg::TiledOutputs wanted;
            wanted.label = view == StudioView::Labels || full;
            wanted.confidence = view == StudioView::Confidence;
            wanted.score = view == StudioView::Score;
            clsg::TiledOptions options;
            options.window = out.window;
            options.gain = gain_;
            clsg::TiledImages images =
                clsg::tiledRun(tool_, target.pixels, params, wanted, options);
            mapLabels(images.label);
            if (full) {
                if (images.label.isBound()) outputs_[0] = images.label;
                if (images.confidence.isBound()) outputs_[1] = images.confidence;
                if (images.score.isBound()) outputs_[2] = images.score;
            }
            out.runMs = msSince(start);
            const kvPelBuffer<unsigned char>& got = kind == 0   ? images.label
                                                    : kind == 1 ? images.confidence
                                                                : images.score;
            copyRows(got, out.pixels);
        } else {
            copyRows(outputs_[kind], out.pixels);
        }
    } catch (const kvAbortRequested&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw StudioError("out of memory while segmenting " + target.name);
    } catch (const std::exception& e) {
        throw StudioError("segmenting " + target.name + " failed: " + describeError(e));
    }
    if (full) out.counts = labelCounts(outputs_[0], static_cast<unsigned>(labels_.size()));
    return out;
}

StudioPreview StudioSession::preview(std::size_t image, long maxSide, uint64_t minArea) {
    const StudioImage& target = imageAt(image);
    if (maxSide < 1) throw StudioError("a preview is at least 1 pel wide");
    const kvCompositeColorSegmenterRunParams params(settings_.neighborhood, settings_.normalize);
    // Before any training can work, the picture alone.
    bool trained = true;
    try {
        train();
    } catch (const StudioError&) {
        trained = false;
    }
    previews_.resize(images_.size());
    KeptPreview& kept = previews_[image];
    if (kept.toolRevision == toolRevision_ && kept.params == params && kept.maxSide == maxSide &&
        kept.minArea == minArea) {
        StudioPreview out = kept.value;
        out.runMs = 0;
        return out;
    }
    const Clock::time_point start = Clock::now();
    kvPelBuffer<unsigned char> labels;
    if (!trained) {
        labels = kvPelBuffer<unsigned char>(target.pixels.window());
        kfPelSet(labels, static_cast<unsigned char>(255));
    } else if (resultToolRevision_ == toolRevision_ && resultImage_ == image &&
               resultParams_ == params && outputs_[0].isBound()) {
        labels = outputs_[0];
    } else {
        try {
            clsg::TiledOutputs wanted;
            wanted.label = true;
            clsg::TiledOptions options;
            options.window = target.pixels.window();
            labels = clsg::tiledRun(tool_, target.pixels, params, wanted, options).label;
            mapLabels(labels);
        } catch (const kvAbortRequested&) {
            throw;
        } catch (const std::bad_alloc&) {
            throw StudioError("out of memory while segmenting " + target.name);
        } catch (const std::exception& e) {
            throw StudioError("segmenting " + target.name + " failed: " + describeError(e));
        }
    }
    if (trained && minArea > 0) {
        clsg::RegionOptions options;
        options.minArea = minArea;
        labels = clsg::cleanRegions(labels, {}, options).labels;
    }
    // Each preview pel: the mean of the image pels it covers, and the label
    // of the one nearest its centre.
    const long w = target.pixels.width(), h = target.pixels.height();
    const double scale = std::min(1.0, static_cast<double>(maxSide) / std::max(w, h));
    StudioPreview out;
    out.width = std::max(1L, std::lround(w * scale));
    out.height = std::max(1L, std::lround(h * scale));
    const std::size_t size = static_cast<std::size_t>(out.width * out.height);
    out.rgb.resize(3 * size);
    out.labels.resize(size);
    const kvPelRect& iw = target.pixels.window();
    const kvPelBuffer<unsigned char>* planes[3] = {&target.pixels.plane0(), &target.pixels.plane1(),
                                                   &target.pixels.plane2()};
    for (long ty = 0; ty < out.height; ++ty) {
        const long y0 = ty * h / out.height, y1 = (ty + 1) * h / out.height;
        const long cy = (2 * ty + 1) * h / (2 * out.height);
        for (long tx = 0; tx < out.width; ++tx) {
            const long x0 = tx * w / out.width, x1 = (tx + 1) * w / out.width;
            const long cx = (2 * tx + 1) * w / (2 * out.width);
            const std::size_t at = static_cast<std::size_t>(ty * out.width + tx);
            for (int c = 0; c < 3; ++c) {
                uint64_t sum = 0;
                for (long y = y0; y < y1; ++y) {
                    const unsigned char* row = planes[c]->pointToRow(iw.top() + y);
                    for (long x = x0; x < x1; ++x) sum += row[x];
                }
                const uint64_t n = static_cast<uint64_t>((y1 - y0) * (x1 - x0));
                out.rgb[3 * at + c] = static_cast<uint8_t>((sum + n / 2) / n);
            }
            out.labels[at] = labels.pointToRow(labels.window().top() + cy)[cx];
        }
    }
    if (trained) out.counts = labelCounts(labels, static_cast<unsigned>(labels_.size()));
    out.runMs = msSince(start);
    kept = {toolRevision_, params, maxSide, minArea, out};
    return out;
}

bool StudioSession::keptRegions(std::size_t image, uint64_t minArea) {
    const kvPelBuffer<unsigned char>& labels = outputs_[0];
    // Only a label image of the labels, marks and settings as they are now.
    const kvCompositeColorSegmenterRunParams params(settings_.neighborhood, settings_.normalize);
    if (image != resultImage_ || !labels.isBound() ||
        labels.window() != imageAt(image).pixels.window() ||
        resultToolRevision_ != trainRevision_ || !(resultParams_ == params))
        return false;
    const long top = labels.window().top();
    if (!regionsOf_.isBound() || regionsOf_.pointToRow(top) != labels.pointToRow(top) ||
        regionsMinArea_ != minArea) {
        clsg::RegionOptions options;
        options.minArea = minArea;
        regions_ = clsg::cleanRegions(labels, {}, options, true);
        regionsOf_ = labels;
        regionsMinArea_ = minArea;
    }
    return true;
}

void StudioSession::dropSmallRegions(std::size_t image, uint64_t minArea, StudioSegmentation& seg) {
    if (minArea == 0 || !keptRegions(image, minArea)) return;
    const kvPelBuffer<unsigned char>& cleaned = regions_.labels;
    if (cleaned.window() != seg.window) return;
    copyRows(cleaned, seg.pixels);
    seg.counts = labelCounts(cleaned, static_cast<unsigned>(labels_.size()));
}

std::vector<uint64_t> StudioSession::regionCounts(std::size_t image, uint64_t minArea) {
    if (!keptRegions(image, minArea)) return {};
    return clsg::regionCounts(regions_.regions, labels_.size());
}

std::optional<clsg::Region> StudioSession::regionAt(std::size_t image, long x, long y,
                                                    uint64_t minArea) {
    imageAt(image);  // throws for an image that is not open
    if (!keptRegions(image, minArea)) return std::nullopt;
    const kvPelRect& w = regions_.regionIndex.window();
    if (x < w.left() || y < w.top() || x >= w.right() || y >= w.bottom()) return std::nullopt;
    const uint32_t index = regions_.regionIndex.pointToRow(y)[x - w.left()];
    if (index == 0) return std::nullopt;
    return regions_.regions[index - 1];
}

std::string StudioSession::saveTool(const std::string& fileName) {
    train();
    for (const StudioLabel& label : labels_)
        if (!label.marked)
            throw StudioError("label " + label.name +
                              " has no marks yet: paint some pixels with it, or delete it, "
                              "before saving");
    const std::string path = confinedPath(outDir_, fileName, ".clsg");
    ToolFile file;
    for (const StudioLabel& label : labels_) file.labels.push_back({label.name, label.color, {}});
    // Each example's source, in the order train() gathers them.
    for (const StudioImage& image : images_) {
        std::array<bool, 256> present{};
        for (uint8_t m : image.marks) present[m] = true;
        for (std::size_t label = 0; label < labels_.size(); ++label)
            if (present[label + 1])
                file.labels[label].sources.push_back(
                    escapeExampleName(image.path.empty() ? image.name : image.path));
    }
    file.neighborhoodSize = settings_.neighborhood;  // clsg run's default for this tool
    file.tool = tool_;
    OutputFiles files;
    for (const StudioImage& image : images_)
        if (!image.path.empty()) files.protect(image.path);  // never written over
    files.makeDir(outDir_);
    // Whole example images, so that a reopened tool finds its marks on them.
    ToolFileWriteOptions whole;
    whole.cropExamples = false;
    writeToolFile(files.stage(path), file, path, whole);
    files.commit();
    return path;
}

std::string StudioSession::runCommand(const std::string& toolPath, uint64_t minArea) const {
    // clsg run names outputs by the images' file names: images of one name
    // (a/x.png, b/x.png) go to runs of their own, into segmented, segmented-2 ...
    std::vector<std::vector<std::string>> runs;
    std::vector<std::set<std::string>> stems;
    for (const StudioImage& image : images_) {
        if (image.path.empty()) continue;
        const std::string stem = fs::path(image.path).stem().string();
        std::size_t r = 0;
        while (r < runs.size() && stems[r].count(stem)) ++r;
        if (r == runs.size()) runs.emplace_back(), stems.emplace_back();
        runs[r].push_back(image.path);
        stems[r].insert(stem);
    }
    const bool named = !runs.empty();
    if (!named) runs.emplace_back();
    std::string command;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        command += (r ? " && " : "") + shellWord(program_) + " run " + shellWord(toolPath);
        for (const std::string& path : runs[r]) command += " " + shellWord(path);
        if (!named) command += " IMAGE";
        const std::string out = r ? "segmented-" + std::to_string(r + 1) : "segmented";
        command += " --out " + shellWord((fs::path(outDir_) / out).string()) + " --neighborhood " +
                   std::to_string(settings_.neighborhood);
        if (settings_.normalize) command += " --normalize-intensity";
        if (minArea > 0) command += " --min-area " + std::to_string(minArea);
    }
    // Images opened in the page have no file the command could name: said, not
    // left out (their names hold only letters, digits, '_' and '-').
    std::string unnamed;
    for (const StudioImage& image : images_)
        if (image.path.empty() && named) unnamed += (unnamed.empty() ? "" : ", ") + image.name;
    if (!unnamed.empty())
        command += "  # add the files of the images opened in the page: " + unnamed;
    return command;
}

namespace {

// Folders of masks an earlier export wrote for labels there are no more (a
// label renamed or deleted since): left alone, but said, since training from
// the folders rather than from train-command.txt would take them.
void noteOtherLabelFolders(const std::string& dir, const std::string& dirName,
                           const std::vector<StudioLabel>& labels,
                           std::vector<std::string>& notes) {
    std::vector<std::string> others;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const bool label = std::any_of(labels.begin(), labels.end(),
                                       [&](const StudioLabel& l) { return l.name == name; });
        if (!label && it->is_directory(ec) && !it->is_symlink(ec)) others.push_back(name);
    }
    if (others.empty()) return;
    std::sort(others.begin(), others.end());
    std::string list;
    for (const std::string& name : others) list += (list.empty() ? "" : ", ") + name;
    notes.push_back(dirName + " also holds " + list +
                    " from before, which are not labels now; train-command.txt leaves them out");
}

// Whether image's file still holds the pixels read from it: unchanged since,
// without reading it again (many large images would take seconds).
bool fileStillHolds(const StudioImage& image) {
    if (image.stamp != std::array<int64_t, 4>{} && fileStamp(image.path) == image.stamp)
        return true;
    try {
        return pixelDigest(readColorImage(image.path)) == image.digest;
    } catch (const std::exception&) {
        return false;  // gone, or no longer an image
    }
}

// Said of an open image's file that changed since it was read: the run line
// shown names the file, and segments what it holds now, or fails when it is gone.
std::string changedNote(const std::string& path, const std::string& copy) {
    std::error_code ec;
    if (!fs::exists(path, ec) && !ec)  // not found: no other error
        return path + " is gone" + copy +
               "; the run line names the file, and cannot read it until it is back";
    return path + " no longer holds the picture the studio read from it" + copy +
           "; the run line segments the file as it is now, not the picture the page shows";
}

}  // namespace

std::vector<std::string> StudioSession::changedFileNotes() const {
    std::vector<std::string> notes;
    for (const StudioImage& image : images_)
        if (!image.path.empty() && !fileStillHolds(image))
            notes.push_back(changedNote(image.path, ""));
    return notes;
}

StudioExport StudioSession::exportMasks(const std::string& dirName, uint64_t minArea) {
    if (labels_.empty()) throw StudioError("there are no labels to export");
    // A label's colour follows its marks as training leaves it: the command
    // names the colours a saved tool holds, asked before any segmentation too.
    // Masks are exported where no tool can be trained yet.
    try {
        train();
    } catch (const StudioError&) {
    }
    const std::string dir = confinedPath(outDir_, dirName, "");
    OutputFiles files;
    for (const StudioImage& image : images_)
        if (!image.path.empty()) files.protect(image.path);  // never written over
    files.makeDir(dir);
    refuseLinks(dir);
    StudioExport result;
    std::string command =
        shellWord(program_) + " train " + shellWord((fs::path(dir) / "tool.clsg").string());
    // Every step below dir, not only the file, must be no link: a linked
    // label folder would carry the masks elsewhere.
    const auto write = [&](const std::string& relative) {
        fs::path at(dir);
        for (const fs::path& part : fs::path(relative)) refuseLinks((at /= part).string());
        const std::string path = at.string();
        result.files.push_back((fs::path(dirName) / relative).string());
        return files.stage(path, FinalNameFrom::program);
    };
    // Images without a file of their own, or whose file changed since it was
    // read, are written alongside: the command trains on the studio's pixels.
    std::vector<std::string> imagePaths;
    for (const StudioImage& image : images_) {
        const bool used =
            std::any_of(image.marks.begin(), image.marks.end(), [](uint8_t m) { return m != 0; });
        const bool holds = !image.path.empty() && fileStillHolds(image);
        if (!image.path.empty() && !holds)
            result.notes.push_back(changedNote(
                image.path, used ? "; the studio's copy is exported as " +
                                       (fs::path(dirName) / (image.name + ".png")).string()
                                 : ""));
        if (!image.path.empty() && (!used || holds)) {
            imagePaths.push_back(image.path);
            continue;
        }
        imagePaths.push_back(used ? (fs::path(dir) / (image.name + ".png")).string() : "");
        const std::string picture = (fs::path(dir) / (image.name + ".png")).string();
        if (used)
            writeColorImage(write(image.name + ".png"), image.pixels, ImageFormat::Png, picture);
    }
    for (std::size_t label = 0; label < labels_.size(); ++label) {
        const uint8_t value = static_cast<uint8_t>(label + 1);
        std::string examples;
        for (std::size_t i = 0; i < images_.size(); ++i) {
            const StudioImage& image = images_[i];
            if (std::find(image.marks.begin(), image.marks.end(), value) == image.marks.end())
                continue;
            const std::string labelDir = (fs::path(dir) / labels_[label].name).string();
            refuseLinks(labelDir);
            files.makeDir(labelDir);
            const std::string relative = labels_[label].name + "/" + image.name + ".png";
            writeGreyImage(write(relative), maskOf(image, value), ImageFormat::Png,
                           (fs::path(dir) / relative).string());
            examples += (examples.empty() ? "" : ",") + escapeExampleName(imagePaths[i]) + ":" +
                        escapeExampleName((fs::path(dir) / relative).string());
        }
        if (examples.empty())
            throw StudioError("label " + labels_[label].name + " has no marks to export");
        command += " --label " + shellWord(labels_[label].name + colorText(labels_[label].color) +
                                           "=" + examples);
    }
    command += " --color-tolerance-frac " + exactNumber(settings_.toleranceFrac) +
               " --color-tolerance-min " + std::to_string(settings_.toleranceMin);
    result.runCommand = runCommand((fs::path(dir) / "tool.clsg").string(), minArea);
    const std::string commandFile = write("train-command.txt");
    if (std::FILE* f = std::fopen(commandFile.c_str(), "w")) {
        // The run line as a comment: the file stays one command to run. Every
        // line of it: a file name may hold a newline, and what follows it
        // must not become a command.
        std::string comment;
        for (char c : result.runCommand)
            comment += c == '\n' ? std::string("\n# ") : std::string(1, c);
        std::fprintf(f, "%s\n# then, to segment as the studio does:\n# %s\n", command.c_str(),
                     comment.c_str());
        if (std::fclose(f) != 0) throw StudioError("cannot write " + commandFile);
    } else {
        throw StudioError("cannot write " + commandFile);
    }
    files.commit();
    result.trainCommand = command;
    noteOtherLabelFolders(dir, dirName, labels_, result.notes);
    return result;
}

std::size_t StudioSession::sourceImage(const kv3PlanePelBuffer_const& pixels,
                                       const std::string& source) const {
    // Sources name their image escaped (studios before that wrote it as it is).
    const std::string unescaped = exampleImageName(source);
    const auto named = [&](const StudioImage& image, bool byFileName) {
        if (source.empty()) return false;
        for (const std::string& name : {unescaped, source}) {
            if (image.path.empty() ? image.name == name
                : byFileName       ? fs::path(image.path).filename() == fs::path(name).filename()
                                   : image.path == name)
                return true;
        }
        return false;
    };
    // Two open images may show the same pixels: the one the tool names first.
    for (const int pass : {0, 1, 2})
        for (std::size_t i = 0; i < images_.size(); ++i)
            if ((pass == 2 || named(images_[i], pass == 1)) && holds(images_[i].pixels, pixels))
                return i;
    return images_.size();
}

std::size_t StudioSession::openSourceFile(const kv3PlanePelBuffer_const& pixels,
                                          const std::string& source, const std::string& toolPath,
                                          std::set<std::string>& changed) {
    const fs::path name = exampleImageName(source);
    if (name.empty()) return images_.size();
    std::vector<fs::path> places{name};
    if (name.is_relative()) places.push_back(fs::path(toolPath).parent_path() / name);
    for (const fs::path& place : places) {
        std::error_code error;
        const std::string path = fs::absolute(place, error).lexically_normal().string();
        if (error || changed.count(path) || !fs::is_regular_file(path, error)) continue;
        // An open image of that file was looked at already.
        if (std::any_of(images_.begin(), images_.end(),
                        [&](const StudioImage& image) { return image.path == path; }))
            continue;
        try {
            const kv3PlanePelBuffer image = readColorImage(path);
            if (holds(image, pixels)) return addImage(place.stem().string(), path, image);
        } catch (const std::exception&) {
            // Unreadable, or too large beside the open images: the example's own pixels open.
        }
        changed.insert(path);
    }
    return images_.size();
}

std::vector<std::string> StudioSession::loadTool(const std::string& path) {
    const ToolFile file = readToolFile(path);
    const std::vector<kvCompositeColorSet>& sets = file.tool.compositeColors();
    if (labels_.size() + sets.size() > kMaxLabels)
        throw StudioError(path + " holds more labels than fit beside the open ones");
    for (const ToolLabel& label : file.labels) checkNewName(label.name, labels_.size());
    const std::string stem = fs::path(path).stem().string();
    std::size_t added = 0;
    // What the marks cannot hold: per image and label, the examples marking
    // it; per image and pair of labels, the pixels the later takes over.
    std::map<std::pair<std::size_t, uint8_t>, std::set<std::size_t>> examplesOn;
    std::map<std::tuple<std::size_t, uint8_t, uint8_t>, uint64_t> taken;
    std::set<std::string> changedFiles;
    std::map<std::string, std::vector<std::string>> aloneFrom;  // file: the images made instead
    for (std::size_t label = 0; label < sets.size(); ++label) {
        labels_.push_back({file.labels[label].name, file.labels[label].color, true, false, {}});
        const uint8_t value = static_cast<uint8_t>(labels_.size());
        const std::vector<std::string>& sources = file.labels[label].sources;
        for (std::size_t e = 0; e < sets[label].instances().size(); ++e) {
            const kvCompositeColor& example = sets[label].instances()[e];
            for (std::size_t k = 0; k < example.images().size(); ++k) {
                const kv3PlanePelBuffer_const& pixels = example.images()[k];
                const kvPelRect& w = pixels.window();
                // The open image the example was cut from, or a new one.
                const std::string source = e < sources.size() ? sources[e] : std::string();
                std::size_t index = sourceImage(pixels, source);
                if (index == images_.size())
                    index = openSourceFile(pixels, source, path, changedFiles);
                long dx = 0, dy = 0;  // example coordinates to the image's
                if (index == images_.size()) {
                    const std::string name = stem + "-example-" + std::to_string(++added);
                    if (!source.empty()) aloneFrom[exampleImageName(source)].push_back(name);
                    addImage(name, "", originCopy(pixels));
                    dx = -w.left();
                    dy = -w.top();
                }
                StudioImage& image = images_[index];
                examplesOn[{index, value}].insert(e);
                const kvPelRect& iw = image.pixels.window();
                const std::size_t width = static_cast<std::size_t>(iw.width());
                // An unbound mask selects the whole example; pixels outside a
                // bound mask's window are not selected.
                const kvPelBuffer_const<unsigned char>& mask = example.masks()[k];
                const kvPelRect m = mask.isBound() ? overlap(w, mask.window()) : w;
                for (long y = m.top(); y < m.bottom(); ++y) {
                    uint8_t* marks =
                        image.marks.data() + static_cast<std::size_t>(y + dy - iw.top()) * width;
                    for (long x = m.left(); x < m.right(); ++x)
                        if (!mask.isBound() || *mask.pointToPel(x, y) == 255) {
                            uint8_t& mark = marks[x + dx - iw.left()];
                            if (mark != 0 && mark != value) ++taken[{index, mark, value}];
                            mark = value;
                        }
                }
            }
        }
    }
    if (file.neighborhoodSize) settings_.neighborhood = *file.neighborhoodSize;
    settings_.toleranceFrac = file.tool.trainParams().colorToleranceFrac();
    settings_.toleranceMin = static_cast<uint32_t>(file.tool.trainParams().colorToleranceMin());
    trainSettingsChanged();

    std::vector<std::string> warnings;
    for (const auto& [source, opened] : aloneFrom) {
        std::string names;
        for (const std::string& n : opened) names += (names.empty() ? "" : ", ") + n;
        warnings.push_back(source +
                           " cannot be opened, or no longer shows the pixels of the examples "
                           "taken from it; they open alone, as image" +
                           (opened.size() > 1 ? "s " : " ") + names);
    }
    const auto name = [&](uint8_t value) { return labels_[value - 1u].name; };
    const std::string differs =
        "; the studio trains, and saves, a tool that segments a little differently from " + path;
    for (const auto& [at, examples] : examplesOn)
        if (examples.size() > 1)
            warnings.push_back("label " + name(at.second) + " has " +
                               std::to_string(examples.size()) + " examples on image " +
                               images_[at.first].name +
                               ", which its marks there hold as one example" + differs);
    for (const auto& [at, pixels] : taken)
        warnings.push_back(std::to_string(pixels) + " pixels of image " +
                           images_[std::get<0>(at)].name + " are selected by label " +
                           name(std::get<1>(at)) + " and by label " + name(std::get<2>(at)) +
                           ", and marked for " + name(std::get<2>(at)) + " alone" + differs);
    // Far more than a little where a label's every example lies under a later label's.
    std::vector<bool> marked(labels_.size() + 1u, false);
    for (const StudioImage& image : images_)
        for (const uint8_t m : image.marks) marked[std::min<std::size_t>(m, labels_.size())] = true;
    for (const auto& [at, pixels] : taken) {
        const uint8_t lost = std::get<1>(at);
        if (!marked[lost]) {
            marked[lost] = true;  // said once
            warnings.push_back("label " + name(lost) +
                               " is left with no marks, as every pixel of its examples is marked "
                               "for another label: it segments nothing, and no tool can be "
                               "saved, until it is marked again");
        }
    }
    return warnings;
}

std::string StudioSession::sessionPath() const {
    return (fs::path(outDir_) / kSessionFile).string();
}

void StudioSession::autosave() {
    using json = nlohmann::json;
    json labels = json::array(), images = json::array();
    for (const StudioLabel& l : labels_)
        labels.push_back({{"name", l.name}, {"color", l.color}, {"auto", !l.chosen}});
    std::string marks;
    for (const StudioImage& image : images_) {
        const std::string runs = encodeRuns(image.marks.data(), image.marks.size());
        images.push_back({{"name", image.name},
                          {"path", image.path},
                          {"width", image.pixels.width()},
                          {"height", image.pixels.height()},
                          {"digest", image.digest},
                          {"marks", runs.size()}});
        marks += runs;
    }
    for (const CarriedMarks& c : carried_) {
        images.push_back({{"name", c.name},
                          {"path", c.path},
                          {"width", c.width},
                          {"height", c.height},
                          {"digest", c.digest},
                          {"marks", c.runs.size()}});
        marks += c.runs;
    }
    const std::time_t now = std::time(nullptr);
    const std::string head = json{
        {"savedAt", static_cast<int64_t>(now)},
        {"labels", labels},
        {"settings",
         {{"toleranceFrac", settings_.toleranceFrac},
          {"toleranceMin", settings_.toleranceMin},
          {"neighborhood", settings_.neighborhood},
          {"normalize", settings_.normalize},
          {"minArea", settings_.minArea}}},
        {"images", images}}.dump(-1, ' ', false, json::error_handler_t::replace);
    try {
        OutputFiles files;
        files.makeDir(outDir_);
        if (beforeSave_ && beforeSave_()) keptPrevious_ = false;
        const std::string path = sessionPath();
        std::error_code ec;  // a FIFO would take the writes of a reader that never comes
        const fs::file_status kind = fs::status(path, ec);  // a link to a file is a file
        if (!ec && fs::exists(kind) && !fs::is_regular_file(kind) && !fs::is_directory(kind))
            throw FileError(path +
                            " is not a regular file; it is kept, and the session is saved "
                            "only once it is gone");
        if (!keptPrevious_) {
            if (!moveSessionAside(outDir_))
                throw FileError(path +
                                " holds an earlier session that could not be moved aside; it is "
                                "kept, and this session is saved only once it can be");
            keptPrevious_ = true;
        }
        files.writeStaged(path, kSessionMagic + littleEndian(head.size()) + head + marks);
        files.commit();
        unsaved_.clear();
        savedOnce_ = true;
    } catch (const FileError& e) {
        unsaved_ = e.what();
        throw StudioError(std::string("cannot save the session: ") + e.what());
    } catch (const StudioError& e) {
        unsaved_ = e.what();
        throw StudioError(std::string("cannot save the session: ") + e.what());
    }
}

std::string StudioSession::findRestore() {
    // The files kept aside too: sessions on other images (whose first changes
    // moved the one with these images' marks aside) hide nothing.
    // A damaged file is said, and the next one looked at.
    std::string damaged;
    std::set<Pixels> newer;  // images the files passed over have marks for
    for (const std::string& path : sessionFilesNewestFirst(outDir_)) {
        const std::string why = findRestoreIn(path, newer);
        if (damaged.empty()) damaged = why;
        if (restoreInfo_) break;
    }
    // An older file's marks of those images are not carried on: the newer
    // ones stay the newest, in their file, for a later studio on them. The
    // older ones stay in the older file. Pixels decide, as for the offer.
    if (restorable_)
        restorable_->others.erase(
            std::remove_if(restorable_->others.begin(), restorable_->others.end(),
                           [&](const CarriedMarks& c) {
                               return newer.count({c.digest, c.width, c.height}) > 0;
                           }),
            restorable_->others.end());
    offeredPath_ = restorable_ ? restorable_->path : "";
    offeredRevision_ = revision_;
    return damaged;
}

std::size_t StudioSession::openImageFor(const CarriedMarks& saved, const std::vector<bool>& taken,
                                        bool sameName) const {
    for (std::size_t k = 0; k < images_.size(); ++k) {
        const StudioImage& image = images_[k];
        if (!taken[k] && image.digest == saved.digest && image.pixels.width() == saved.width &&
            image.pixels.height() == saved.height && (!sameName || image.name == saved.name))
            return k;
    }
    return images_.size();
}

namespace {

// Why the regular file at path cannot be a session file, from its magic line,
// its head and its size alone ("" when it may be one): a session is its magic
// line, its head's size, its head, and exactly the marks the head lists.
std::string sessionShapeProblem(const std::string& path) {
    constexpr uint64_t kLargestHead = uint64_t{64} << 20;
    const std::size_t magic = sizeof kSessionMagic - 1;
    std::ifstream f(path, std::ios::binary);
    std::string start(magic + 8, '\0');
    if (!f) return "";  // said when it is read
    if (!f.read(start.data(), static_cast<std::streamsize>(start.size())) ||
        start.compare(0, magic, kSessionMagic) != 0)
        return "not a session file";
    std::error_code ec;
    const uint64_t size = fs::file_size(path, ec), headSize = readLittleEndian(start, magic);
    if (ec) return "";
    if (headSize == 0 || headSize > size - start.size() || headSize > kLargestHead)
        return "truncated";
    std::string text(headSize, '\0');
    if (!f.read(text.data(), static_cast<std::streamsize>(headSize))) return "truncated";
    uint64_t marks = 0;
    try {
        const nlohmann::json head = nlohmann::json::parse(text);
        for (const nlohmann::json& image : head.at("images")) {
            const uint64_t m = image.at("marks").get<uint64_t>();
            marks = m > UINT64_MAX - marks ? UINT64_MAX : marks + m;
        }
    } catch (const std::exception& e) {  // the parser's words may quote the file's bytes
        return kfPrintable(e.what(), 200);
    }
    if (marks != size - start.size() - headSize)
        return marks > size - start.size() - headSize ? "truncated"
                                                      : "bytes after the marks its head lists";
    return "";
}

}  // namespace

std::string StudioSession::findRestoreIn(const std::string& path, std::set<Pixels>& newer) {
    using json = nlohmann::json;
    restorable_.reset();
    restoreInfo_.reset();
    std::string bytes;
    std::error_code ec;
    const fs::file_status kind = fs::status(path, ec);
    if (!ec && !fs::is_regular_file(kind) && !fs::is_directory(kind))  // a FIFO would wait
        return path + " is not a regular file; it is kept";
    const std::size_t magic = sizeof kSessionMagic - 1;
    try {
        // A file that is no session, or not the size its head says, costs its head only.
        if (fs::is_regular_file(kind)) {
            const std::string wrong = sessionShapeProblem(path);
            if (!wrong.empty())
                return path + " is damaged (" + wrong + "); it is kept, not restored";
        }
        const std::vector<unsigned char> raw = readFileBytes(path, kMaxSessionBytes);
        bytes.assign(raw.begin(), raw.end());
    } catch (const ImageError& e) {
        return fs::exists(path, ec) ? path + " cannot be read (" + e.what() + "); it is kept" : "";
    } catch (const std::bad_alloc&) {
        return path + " cannot be read (out of memory); it is kept";
    }
    try {
        if (bytes.size() < magic + 8 || bytes.compare(0, magic, kSessionMagic) != 0)
            throw std::runtime_error("not a session file");
        const uint64_t headSize = readLittleEndian(bytes, magic);
        if (headSize > bytes.size() - magic - 8) throw std::runtime_error("truncated");
        const json head = json::parse(bytes.substr(magic + 8, headSize));
        std::size_t at = magic + 8 + headSize;
        SavedSession saved;
        std::vector<bool> taken(images_.size(), false);
        for (const json& l : head.at("labels")) {
            // Range-checked before it is narrowed: 2^40 is no colour.
            const json& color = l.at("color");
            if (!color.is_number_unsigned() || color.get<uint64_t>() > 0xffffffu)
                throw std::runtime_error("a label's colour is out of range");
            saved.labels.push_back({l.at("name").get<std::string>(),
                                    color.get<uint32_t>(),
                                    !l.value("auto", false),
                                    false,
                                    {}});
        }
        if (saved.labels.size() > kMaxLabels) throw std::runtime_error("too many labels");
        for (std::size_t i = 0; i < saved.labels.size(); ++i) {
            checkName(saved.labels[i].name);
            for (std::size_t j = 0; j < i; ++j)
                if (saved.labels[j].name == saved.labels[i].name)
                    throw std::runtime_error("two labels are named " + saved.labels[i].name);
        }
        const json& st = head.at("settings");
        // Whole numbers are range-checked as they are, before they are narrowed.
        const auto whole = [&](const char* key, int64_t least, int64_t most) {
            const int64_t v = st.at(key).get<int64_t>();
            if (!st.at(key).is_number_integer() || v < least || v > most)
                throw std::runtime_error(std::string("its setting ") + key + " is out of range");
            return v;
        };
        saved.settings.toleranceFrac = st.at("toleranceFrac").get<double>();
        saved.settings.toleranceMin = static_cast<uint32_t>(whole("toleranceMin", 0, UINT32_MAX));
        saved.settings.neighborhood =
            static_cast<int32_t>(whole("neighborhood", INT32_MIN, INT32_MAX));
        saved.settings.normalize = st.at("normalize").get<bool>();
        // Sessions saved before the minimum area was kept have none.
        saved.settings.minArea =
            st.contains("minArea") ? static_cast<uint64_t>(whole("minArea", 0, INT64_MAX)) : 0;
        try {
            checkSettings(saved.settings);
        } catch (const StudioError& e) {
            throw std::runtime_error(std::string("its settings are refused: ") + e.what());
        }
        std::vector<CarriedMarks> entries;
        for (const json& i : head.at("images")) {
            const uint64_t size = i.at("marks").get<uint64_t>();
            if (size > bytes.size() - at) throw std::runtime_error("truncated");
            const std::string runs = bytes.substr(at, size);
            at += size;
            CarriedMarks entry{i.at("name").get<std::string>(), i.value("path", std::string()),
                               i.at("width").get<long>(),       i.at("height").get<long>(),
                               i.at("digest").get<uint64_t>(),  runs};
            const auto side = [](long v) {
                return v > 0 && static_cast<uint64_t>(v) <= kMaxTotalPixels;
            };
            if (!side(entry.width) || !side(entry.height) ||
                static_cast<uint64_t>(entry.width) * static_cast<uint64_t>(entry.height) >
                    kMaxTotalPixels)
                throw std::runtime_error("bad image size");
            entries.push_back(std::move(entry));
        }
        // Each entry's marks go to an open image of its pixels not yet taken,
        // one of its own name first (two images of the same pixels keep their
        // own marks); only those are decoded.
        std::vector<std::vector<uint8_t>> marks(entries.size());
        std::vector<std::size_t> openAt(entries.size(), images_.size());
        std::vector<bool> unmarked(entries.size(), false);  // an open image's, without marks
        for (const bool sameName : {true, false})
            for (std::size_t e = 0; e < entries.size(); ++e) {
                if (unmarked[e] || openAt[e] != images_.size()) continue;
                const std::size_t k = openImageFor(entries[e], taken, sameName);
                if (k == images_.size()) continue;
                const CarriedMarks& entry = entries[e];
                std::vector<uint8_t> m;
                if (!decodeRuns(entry.runs, static_cast<std::size_t>(entry.width * entry.height),
                                m))
                    throw std::runtime_error("bad marks");
                for (uint8_t v : m)
                    if (v > saved.labels.size()) throw std::runtime_error("bad marks");
                unmarked[e] = std::none_of(m.begin(), m.end(), [](uint8_t v) { return v != 0; });
                if (unmarked[e]) continue;
                marks[e] = std::move(m);
                openAt[e] = k;
                taken[k] = true;
            }
        for (std::size_t e = 0; e < entries.size(); ++e) {
            if (openAt[e] != images_.size()) {
                saved.marks.emplace_back(openAt[e], std::move(marks[e]));
                continue;
            }
            if (unmarked[e]) continue;
            // Marks of images not open stay encoded (checked, not decoded): a
            // file of a few KB may hold many large ones.
            const CarriedMarks& entry = entries[e];
            if (!checkRuns(entry.runs, static_cast<std::size_t>(entry.width * entry.height),
                           static_cast<uint8_t>(saved.labels.size())))
                throw std::runtime_error("bad marks");
            saved.others.push_back(std::move(entries[e]));
        }
        if (saved.labels.empty() || saved.marks.empty()) {
            // Checked against no labels, runs fail on their first mark.
            for (const CarriedMarks& c : saved.others)
                if (!checkRuns(c.runs, static_cast<std::size_t>(c.width * c.height), 0))
                    newer.insert({c.digest, c.width, c.height});
            return "";
        }
        const json& savedAt = head.at("savedAt");
        const std::string when = savedAt.is_number_integer()
                                     ? localTime(static_cast<std::time_t>(savedAt.get<int64_t>()))
                                     : "";
        if (when.empty() || savedAt.get<int64_t>() < 0)
            throw std::runtime_error("its time of saving is out of range");
        restoreInfo_ = StudioRestore{when, saved.labels.size(), saved.marks.size()};
        saved.path = path;
        restorable_ = std::move(saved);
        return "";
    } catch (const std::exception& e) {  // the parser's words may quote the file's bytes
        return path + " is damaged (" + kfPrintable(e.what(), 200) + "); it is kept, not restored";
    }
}

void StudioSession::findRestoreAgain() {
    if (revision_ == offeredRevision_ && !restoreAnswered_) findRestore();
}

bool StudioSession::restore(bool accept) {
    if (accept && restorable_ && revision_ != offeredRevision_)
        throw StudioError(
            "the labels, marks or settings have changed since the earlier session was offered: "
            "restoring it would lose those changes, so it is not restored (its file stays in " +
            outDir_ + ")");
    // A second window's other answer is not ignored in silence.
    if (restoreAnswered_ && !restorable_ && accept != restoreAccepted_)
        throw StudioError(restoreAccepted_ ? "another window restored the earlier session already: "
                                             "the labels and marks shown are that session's"
                                           : "another window chose to start afresh already, so the "
                                             "earlier session is not restored");
    if (!restoreAnswered_) restoreAccepted_ = accept && restorable_;
    restoreAnswered_ = true;
    const bool keptAside = accept && restorable_ && restorable_->path != sessionPath();
    if (accept && restorable_) {
        labels_ = restorable_->labels;
        settings_ = restorable_->settings;
        for (StudioImage& image : images_) std::fill(image.marks.begin(), image.marks.end(), 0);
        for (auto& [index, marks] : restorable_->marks) images_[index].marks = std::move(marks);
        carried_ = std::move(restorable_->others);
        deleted_.clear();
        trainSettingsChanged();
        // The session file restored holds nothing the restored session does
        // not: it goes on in it, and the history keeps other sessions.
        if (!keptAside) keptPrevious_ = true;
    }
    restorable_.reset();
    restoreInfo_.reset();
    return keptAside;
}

std::string shownCommand(const std::string& command) {
    std::string shown;
    for (std::size_t i = 0; i < command.size();) {
        const std::size_t len = utf8CharLength(command, i);
        if (len > 0) {
            shown.append(command, i, len), i += len;
            continue;
        }
        char byte[16];
        std::snprintf(byte, sizeof byte, "'$'\\x%02x''", static_cast<unsigned char>(command[i++]));
        shown += byte;
    }
    return shown;
}

}  // namespace clsg
