// Loads a result from arbitrary bytes. Every input must end in a loaded
// result or in a kvException; every image of a loaded result must build, and
// the result must store and load again to the same record.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "../tests/archive_bytes.h"
#include "clsg/clrsgint/internal_result.h"
#include "clsg/colorseg/archive_operators.h"
#include "clsg/platform/exception.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    kvCompositeColorSegmenterResult result;
    try {
        kvArchive archive(in);
        archive || result;
    } catch (const kvException&) {
        return 0;
    }
    const auto& internal = *static_cast<kvCompositeColorSegmenterInternalResult*>(result.result());
    result.labelImage();
    result.confidenceImage();
    // The score image costs about N^4 per pixel and an N^2 kernel, as the run
    // that wrote the record did; keep the neighbourhoods the fuzzer invents
    // small enough to stay within its time limit.
    if (internal.neighborhoodSize <= 16) result.scoreImage();
    for (std::size_t k = 0; k < internal.labelScores.size(); ++k)
        result.segmentationImage(static_cast<unsigned char>(k));

    // Stored again, loaded and stored once more, it gives the same bytes.
    if (!restoresToSameBytes(result)) std::abort();
    return 0;
}
