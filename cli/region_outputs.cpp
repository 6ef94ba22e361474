#include "cli/region_outputs.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "cli/interrupts.h"
#include "cli/legend.h"
#include "cli/share_columns.h"
#include "clsg/io/label_colors.h"

namespace clsg {

namespace {

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

std::string regionsCsv(const std::vector<Region>& table, const std::vector<std::string>& names) {
    std::ostringstream csv;
    csv << "label,id,area,left,top,width,height,centroid_x,centroid_y,mean_confidence,"
           "touches_border\n";
    for (const Region& r : table) {
        if (r.id % 65536 == 0) checkInterrupt();  // millions of rows take seconds
        csv << csvField(r.label < names.size() ? names[r.label] : std::to_string(r.label)) << ","
            << r.id << "," << r.area << "," << r.left << "," << r.top << "," << r.width << ","
            << r.height << "," << fixed(r.centroidX, 3) << "," << fixed(r.centroidY, 3) << ","
            << (std::isnan(r.meanConfidence) ? std::string() : fixed(r.meanConfidence, 2)) << ","
            << (r.touchesBorder ? "true" : "false") << "\n";
    }
    return csv.str();
}

void drawRegionOutlines(kv3PlanePelBuffer& overlay, const kvPelBuffer_const<uint32_t>& regionIndex,
                        const std::vector<Region>& table, const std::vector<uint32_t>& colours) {
    const kvPelRect& w = overlay.window();
    for (long y = w.top(); y < w.bottom(); ++y) {
        const uint32_t* row = regionIndex.pointToRow(y);
        const uint32_t* above = y > w.top() ? regionIndex.pointToRow(y - 1) : nullptr;
        const uint32_t* below = y + 1 < w.bottom() ? regionIndex.pointToRow(y + 1) : nullptr;
        unsigned char* planes[3] = {overlay.plane0().pointToRow(y), overlay.plane1().pointToRow(y),
                                    overlay.plane2().pointToRow(y)};
        for (long x = 0; x < w.width(); ++x) {
            const uint32_t i = row[x];
            if (i == 0) continue;
            const bool border = !above || !below || x == 0 || x + 1 == w.width() || above[x] != i ||
                                below[x] != i || row[x - 1] != i || row[x + 1] != i;
            const unsigned char label = table[i - 1].label;
            if (!border || label >= colours.size()) continue;
            const std::array<unsigned char, 3> c = colorBytes(colours[label]);
            for (int p = 0; p < 3; ++p) planes[p][x] = c[p];
        }
    }
    for (const Region& r : table) {
        if (r.id % 65536 == 0) checkInterrupt();
        const std::string number = std::to_string(r.id);
        const long textWidth = static_cast<long>(number.size()) * 6 - 1;
        const long x = std::lround(r.centroidX) - textWidth / 2, y = std::lround(r.centroidY) - 3;
        // A black edge around white digits, readable on any colour.
        for (long dy = -1; dy <= 1; ++dy)
            for (long dx = -1; dx <= 1; ++dx)
                if (dx != 0 || dy != 0) drawText(overlay, x + dx, y + dy, number, 0x000000, 1);
        drawText(overlay, x, y, number, 0xffffff, 1);
    }
}

}  // namespace clsg
