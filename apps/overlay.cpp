#include "apps/overlay.h"

#include "platform/pel_ops.h"

std::array<unsigned char, 3> labelColor(unsigned label) {
    static const std::array<unsigned char, 3> kColors[] = {
        {230, 25, 75},  {60, 180, 75},   {255, 225, 25}, {0, 130, 200},  {245, 130, 48},
        {145, 30, 180}, {70, 240, 240},  {240, 50, 230}, {210, 245, 60}, {250, 190, 212},
        {0, 128, 128},  {220, 190, 255}, {170, 110, 40}, {128, 0, 0},    {170, 255, 195},
        {128, 128, 0},  {0, 0, 128},     {128, 128, 128}};
    constexpr unsigned kCount = sizeof kColors / sizeof kColors[0];
    return kColors[label % kCount];
}

kv3PlanePelBuffer makeOverlay(const kv3PlanePelBuffer_const& image,
                              const kvPelBuffer_const<unsigned char>& labels) {
    kv3PlanePelBuffer out = kfPelCopy(image);
    const kvPelRect& w = image.window();
    for (long y = w.top(); y < w.bottom(); ++y) {
        const unsigned char* lab = labels.pointToRow(y);
        unsigned char* planes[3] = {out.plane0().pointToRow(y), out.plane1().pointToRow(y),
                                    out.plane2().pointToRow(y)};
        for (long x = 0; x < w.width(); ++x) {
            if (lab[x] == 255) continue;
            const std::array<unsigned char, 3> c = labelColor(lab[x]);
            for (int p = 0; p < 3; ++p)
                planes[p][x] = static_cast<unsigned char>((planes[p][x] + c[p] + 1) / 2);
        }
    }
    return out;
}

std::vector<uint64_t> labelCounts(const kvPelBuffer_const<unsigned char>& labels,
                                  unsigned labelCount) {
    const std::array<uint64_t, 256> histogram = kfPelHistogram(labels);
    std::vector<uint64_t> counts(labelCount + 1, 0);
    for (unsigned v = 0; v < 256; ++v) counts[v < labelCount ? v : labelCount] += histogram[v];
    return counts;
}
