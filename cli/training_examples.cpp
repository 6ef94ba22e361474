#include "cli/training_examples.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <map>

#include "cli/cli_error.h"
#include "clsg/io/image_io.h"
#include "clsg/platform/attention.h"
#include "clsg/platform/pel_ops.h"

namespace clsg {

namespace {

std::string sizeText(long w, long h) { return std::to_string(w) + " x " + std::to_string(h); }

std::string rectText(const kvPelRect& r) {
    return std::to_string(r.left()) + "," + std::to_string(r.top()) + "," +
           std::to_string(r.width()) + "," + std::to_string(r.height());
}

void checkMask(const kvPelBuffer_const<unsigned char>& mask, const std::string& maskName,
               const kv3PlanePelBuffer_const& image, const std::string& imageName) {
    if (mask.width() != image.width() || mask.height() != image.height())
        throw CliError(
            "mask " + maskName + " is " + sizeText(mask.width(), mask.height()) + " but image " +
            imageName + " is " + sizeText(image.width(), image.height()) +
            (mask.width() == image.height() && mask.height() == image.width()
                 ? " as stored (the turn a photo's orientation tag asks viewers for is not "
                   "applied: turn the photo itself, or the mask)"
                 : ""));
    if (kfPelHistogram(mask)[255] == 0)
        throw CliError("mask " + maskName + " selects no pixel (it is black everywhere)");
}

// What a missing example file most likely means when its name came from
// splitting a --label: a comma or colon meant as part of a name or rectangle
// list ("" when nothing points that way).
std::string missingExampleHint(const LabelOption& label, const ExampleSource& ex) {
    std::error_code ec;
    if (std::filesystem::exists(ex.image, ec)) return "";
    if (!ex.image.empty() && ex.image.find_first_not_of("0123456789,") == std::string::npos)
        return " (rectangles are joined with '+', as IMAGE@x,y,w,h+x,y,w,h; a comma starts "
               "another example)";
    if (!ex.mask.empty())
        return " (if the name holds a colon, write it as \\:, since a colon separates an "
               "image from its mask)";
    if (label.examples.size() > 1)
        return " (if the name holds a comma, write it as \\,, since a comma separates "
               "examples)";
    return "";
}

// The pixels of area that an example selects: those its mask marks (all of
// them for an unbound mask).
struct Selection {
    kvPelRect area;
    kvPelBuffer_const<unsigned char> mask;
    bool selects(long x, long y) const { return !mask.isBound() || *mask.pointToPel(x, y) != 0; }
};

kvPelRect overlap(const kvPelRect& a, const kvPelRect& b) {
    return kvRectangle<long>(a).intersect(kvRectangle<long>(b), false);
}

Selection selectionOf(const kvCompositeColor& example) {
    const kvPelRect image = example.images().front().window();
    const kvPelBuffer_const<unsigned char>& mask = example.masks().front();
    return {mask.isBound() ? overlap(image, mask.window()) : image, mask};
}

// A label's examples on one image as one selection, over their bounding box.
Selection merged(const std::vector<Selection>& parts) {
    if (parts.size() == 1) return parts.front();
    long left = LONG_MAX, top = LONG_MAX, right = LONG_MIN, bottom = LONG_MIN;
    for (const Selection& p : parts) {
        left = std::min(left, p.area.left()), top = std::min(top, p.area.top());
        right = std::max(right, p.area.right()), bottom = std::max(bottom, p.area.bottom());
    }
    kvPelBuffer<unsigned char> mask(kvPelRect(left, top, right - left, bottom - top));
    kfPelSet(mask, 0);
    for (const Selection& p : parts)
        for (long y = p.area.top(); y < p.area.bottom(); ++y)
            for (long x = p.area.left(); x < p.area.right(); ++x)
                if (p.selects(x, y)) *mask.pointToPel(x, y) = 255;
    return {mask.window(), mask};
}

// The pixels both select: one pass over where their areas meet.
uint64_t commonPixels(const Selection& a, const Selection& b) {
    const kvPelRect both = overlap(a.area, b.area);
    uint64_t count = 0;
    for (long y = both.top(); y < both.bottom(); ++y)
        for (long x = both.left(); x < both.right(); ++x)
            count += a.selects(x, y) && b.selects(x, y);
    return count;
}

// Names of one file are one image: its device and inode, or the name as given.
std::string imageKey(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return "name " + path;
    return "file " + std::to_string(st.st_dev) + " " + std::to_string(st.st_ino);
}

}  // namespace

std::vector<std::string> sharedPixelWarnings(const std::vector<LabelOption>& labels,
                                             const std::vector<kvCompositeColorSet>& sets) {
    struct Image {
        std::string name;                                     // as first given
        std::map<std::size_t, std::vector<Selection>> parts;  // by label
    };
    std::map<std::string, Image> images;
    for (std::size_t i = 0; i < labels.size() && i < sets.size(); ++i)
        for (std::size_t e = 0; e < labels[i].examples.size(); ++e) {
            const std::string& path = labels[i].examples[e].image;
            Image& image = images[imageKey(path)];
            if (image.name.empty()) image.name = path;
            image.parts[i].push_back(selectionOf(sets[i].instances()[e]));
        }
    std::vector<std::string> said;
    for (const auto& [key, image] : images) {
        std::map<std::size_t, Selection> of;
        for (const auto& [label, parts] : image.parts) of.emplace(label, merged(parts));
        for (auto a = of.begin(); a != of.end(); ++a)
            for (auto b = std::next(a); b != of.end(); ++b) {
                if (sets[a->first] == sets[b->first]) continue;
                if (const uint64_t n = commonPixels(a->second, b->second))
                    said.push_back(std::to_string(n) + (n == 1 ? " pixel" : " pixels") +
                                   " of image " + image.name + (n == 1 ? " is" : " are") +
                                   " selected by label " + labels[a->first].name +
                                   " and by label " + labels[b->first].name +
                                   ", so they teach both labels the same colours");
            }
    }
    return said;
}

kvPelBuffer<unsigned char> rectangleMask(const kv3PlanePelBuffer_const& image,
                                         const std::vector<kvPelRect>& rects,
                                         const std::string& imageName) {
    const kvPelRect window = image.window();
    long left = window.right(), top = window.bottom(), right = window.left(), bottom = window.top();
    for (const kvPelRect& r : rects) {
        if (!r.isEmpty() && window.contains(r)) {
            left = std::min(left, r.left()), top = std::min(top, r.top());
            right = std::max(right, r.right()), bottom = std::max(bottom, r.bottom());
            continue;
        }
        const bool meets = r.left() < window.right() && window.left() < r.right() &&
                           r.top() < window.bottom() && window.top() < r.bottom();
        throw CliError("rectangle " + rectText(r) +
                       (meets ? " reaches past the edge of image " : " lies outside image ") +
                       imageName + " (" + sizeText(image.width(), image.height()) + ")");
    }
    // Only the rectangles' bounding box: a mask is paired with its image by
    // coordinates, and a hundred small rectangles on a large photograph must
    // not cost a hundred masks of the photograph's size.
    kvPelBuffer<unsigned char> mask(kvPelRect(left, top, right - left, bottom - top));
    kfPelSet(mask, 0);
    for (const kvPelRect& r : rects) {
        for (long y = r.top(); y < r.bottom(); ++y)
            std::memset(mask.pointToPel(r.left(), y), 255, static_cast<std::size_t>(r.width()));
    }
    return mask;
}

std::vector<kvCompositeColorSet> buildCompositeColors(const std::vector<LabelOption>& labels,
                                                      const ImageLoader& loadImage,
                                                      const ReadLimits& maskLimits) {
    std::map<std::string, kv3PlanePelBuffer> images;
    std::vector<kvCompositeColorSet> sets;
    for (const LabelOption& label : labels) {
        if (label.examples.empty()) throw CliError("label " + label.name + " has no examples");
        std::vector<kvCompositeColor> instances;
        for (const ExampleSource& ex : label.examples) {
            kfThrowExceptionOnFailure(ksys_attention_check());  // Ctrl-C among many examples
            auto it = images.find(ex.image);
            if (it == images.end()) {
                try {
                    it = images.emplace(ex.image, loadImage(ex.image)).first;
                } catch (const ImageError& e) {
                    const std::string hint = missingExampleHint(label, ex);
                    if (hint.empty()) throw;
                    throw CliError(e.what() + hint);
                }
            }
            const kv3PlanePelBuffer_const image = it->second;
            kvPelBuffer_const<unsigned char> mask;  // unbound: the whole image
            if (!ex.mask.empty()) {
                mask = readMaskImage(ex.mask, maskLimits);
                checkMask(mask, ex.mask, image, ex.image);
            } else if (!ex.rects.empty()) {
                mask = rectangleMask(image, ex.rects, ex.image);
            }
            instances.emplace_back(image, mask);
        }
        sets.emplace_back(instances);
    }
    return sets;
}

}  // namespace clsg
