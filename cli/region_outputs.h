// What `clsg run` makes of an image's regions: the table as CSV, and the
// overlay's outlines and numbers.
#pragma once

#include <string>
#include <vector>

#include "clsg/platform/three_plane.h"
#include "clsg/regions/regions.h"

namespace clsg {

struct RegionSettings {
    bool table = false;    // write NAME-regions.csv and count regions in the summary
    bool outline = false;  // outline and number the regions on the overlay
    RegionOptions options;

    // Whether the label image is cleaned (specks dropped, holes filled).
    bool cleans() const { return options.minArea > 0 || options.fillHoles > 0; }
    bool wanted() const { return table || outline || cleans(); }
};

// The table as CSV: a header line, then one line per region, in table order.
// Labels are named by names (a label beyond them by its number); the mean
// confidence is of the confidence image (0 to 255), empty without one.
std::string regionsCsv(const std::vector<Region>& table, const std::vector<std::string>& names);

// Draws each region's border (its pixels beside another region or none, and
// on the image edge) in its label's colour, and its number within its label
// in white on black at its centroid. regionIndex is cleanRegions's index
// image over overlay's window.
void drawRegionOutlines(kv3PlanePelBuffer& overlay, const kvPelBuffer_const<uint32_t>& regionIndex,
                        const std::vector<Region>& table, const std::vector<uint32_t>& colours);

}  // namespace clsg
