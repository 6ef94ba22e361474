#include "cli/training_examples.h"

#include <algorithm>
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
        throw CliError("mask " + maskName + " is " + sizeText(mask.width(), mask.height()) +
                       " but image " + imageName + " is " +
                       sizeText(image.width(), image.height()));
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

}  // namespace

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
