// Loads a tool from arbitrary bytes. Every input must end in a loaded tool or
// in a kvException; a loaded trained tool must run, and store and load again
// to the same record.
//
// Loading a tool trains it, and training costs what the stored examples and
// parameters ask for: a grid of n^3 cells per example (n up to 256 for a
// colorToleranceFrac near 0) and, per selected pixel, a tolerance box of up
// to n^3 cells. A few hundred bytes can ask for minutes of honest work, so
// records whose training would exceed a budget are read without training
// them: the parsing is still fuzzed, the training is not timed out.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "../tests/archive_bytes.h"
#include "clsg/clrsgint/color_tables.h"
#include "clsg/colorseg/archive_operators.h"
#include "clsg/platform/exception.h"

namespace loadToolFuzz {

constexpr double kWorkBudget = 64.0 * 1024 * 1024;  // grid cells touched

// Reads the tool record's sets and parameters as the tool's operator does,
// and tells whether training them stays within the budget. A record that
// does not parse is left to the real load, which refuses it quickly.
bool trainingAffordable(const std::string& bytes) {
    std::vector<kvCompositeColorSet> sets;
    kvCompositeColorSegmenterTrainParams params;
    try {
        std::istringstream in(bytes);
        kvArchive archive(in);
        unsigned char version = 0, framing = 0;
        uint32_t count = 0;
        archive || version || framing || count;
        archive.checkCount(count, 6);
        sets.resize(count);
        for (auto& set : sets) archive || set;
        archive || params;
    } catch (const kvException&) {
        return true;
    }
    const double s = clsgint::toleranceScale(params.colorToleranceFrac());
    const double cells = (s < 1 ? 1 : s) * (s < 1 ? 1 : s) * (s < 1 ? 1 : s);
    double work = 0;
    for (const auto& set : sets)
        for (const auto& example : set.instances()) {
            work += cells;
            for (const auto& image : example.images())
                work += cells * static_cast<double>(image.width()) * image.height();
        }
    return work <= kWorkBudget;
}

}  // namespace loadToolFuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    if (!loadToolFuzz::trainingAffordable(bytes)) return 0;
    std::istringstream in(bytes);
    kvCompositeColorSegmenterTool tool;
    try {
        kvArchive archive(in);
        archive || tool;
    } catch (const kvException&) {
        return 0;
    }
    if (tool.isTrained()) {
        kv3PlanePelBuffer image(kvPelRect(0, 0, 3, 2));
        for (const auto* plane : {&image.plane0(), &image.plane1(), &image.plane2()})
            for (long y = 0; y < 2; ++y)
                for (long x = 0; x < 3; ++x)
                    plane->pointToPel(x, y)[0] = static_cast<unsigned char>(40 * x + 90 * y);
        kvCompositeColorSegmenterResult result;
        tool.run(image, kvCompositeColorSegmenterRunParams(3, true), result);
        result.labelImage();
    }
    // Stored again, loaded and stored once more, it gives the same bytes.
    if (!restoresToSameBytes(tool)) std::abort();
    return 0;
}
