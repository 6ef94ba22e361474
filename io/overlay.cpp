#include "clsg/io/overlay.h"

#include "clsg/colorseg/errors.h"
#include "clsg/io/label_colors.h"
#include "clsg/platform/pel_ops.h"

namespace clsg {

kv3PlanePelBuffer makeOverlay(const kv3PlanePelBuffer_const& image,
                              const kvPelBuffer_const<unsigned char>& labels,
                              const std::vector<uint32_t>& colours) {
    if (!image.isBound() || !labels.isBound() || !labels.window().contains(image.window()))
        throw kvCompositeColorSegmenterDefs::BadImage(
            "the overlay needs an image and a label image over its window");
    kv3PlanePelBuffer out = kfPelCopy(image);
    const kvPelRect& w = image.window();
    for (long y = w.top(); y < w.bottom(); ++y) {
        const unsigned char* lab = labels.pointToPel(w.left(), y);
        unsigned char* planes[3] = {out.plane0().pointToRow(y), out.plane1().pointToRow(y),
                                    out.plane2().pointToRow(y)};
        for (long x = 0; x < w.width(); ++x) {
            if (lab[x] >= colours.size()) continue;
            const std::array<unsigned char, 3> c = colorBytes(colours[lab[x]]);
            for (int p = 0; p < 3; ++p)
                planes[p][x] = static_cast<unsigned char>((planes[p][x] + c[p] + 1) / 2);
        }
    }
    return out;
}

std::vector<uint64_t> labelCounts(const kvPelBuffer_const<unsigned char>& labels,
                                  unsigned labelCount) {
    if (labelCount > 255)  // 255 is no label
        throw kvCompositeColorSegmenterDefs::BadParams("labelCount over 255");
    const std::array<uint64_t, 256> histogram = kfPelHistogram(labels);
    std::vector<uint64_t> counts(labelCount + 1, 0);
    for (unsigned v = 0; v < 256; ++v)
        counts[v < labelCount && v != 255 ? v : labelCount] += histogram[v];
    return counts;
}

}  // namespace clsg
