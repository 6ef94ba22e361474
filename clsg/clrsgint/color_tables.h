// The per-channel-value tables shared by every instance model of a training:
// quantisation into levels, tolerances, level ranges, level centres and
// reciprocals of the tolerances.
#pragma once

#include <array>
#include <cstdint>

#include "clsg/clrsgint/color_model.h"
#include "clsg/clrsgint/instance_accumulator.h"

namespace clsgint {

// Integer scale of the quantisation for a tolerance fraction f:
// m = round(f * 256) (at least 1), result = round(255 / sqrt(m)), both rounded
// half away from zero. 0.1 -> 50, 1.0 -> 16, 0.0 -> 255, 4.0 -> 8.
// Only meaningful when trainFractionUsable(f); other values saturate.
int32_t toleranceScale(double colorToleranceFrac);

// True when f is finite and every signed 32-bit conversion training makes of
// it (round(f * 256) and trunc(v * f) for v = 0..255) is in range.
bool trainFractionUsable(double colorToleranceFrac);

// Fills quant (level of every channel value) and the model's reciprocalTable,
// levelStep, toleranceTable, lowLevelTable, highLevelTable and
// levelCenterTable for tolerance fraction f, minimum tolerance tmin (used as a
// signed 32-bit value, so 2^31 and above count as negative) and scale S.
// Returns the level count n = max(S, quant[255] + 1).
// S must lie in 0..255 (toleranceScale() of a usable fraction does);
// kvException otherwise. Leaves instanceModels/instanceCounts alone.
int32_t buildSharedTables(kvCompositeColorSegmenterModel& model, double colorToleranceFrac,
                          uint32_t colorToleranceMin, int32_t toleranceScale,
                          std::array<unsigned char, 256>& quant);

// The accumulator's view of the shared tables buildSharedTables wrote.
inline kvAccumulatorTables accumulatorTables(const kvCompositeColorSegmenterModel& model,
                                             const std::array<unsigned char, 256>& quant,
                                             int32_t levelCount, double colorToleranceFrac) {
    return kvAccumulatorTables{quant.data(),
                               model.lowLevelTable.data(),
                               model.highLevelTable.data(),
                               model.levelCenterTable.data(),
                               model.toleranceTable.data(),
                               model.reciprocalTable.data(),
                               model.levelStep,
                               levelCount,
                               colorToleranceFrac * colorToleranceFrac};
}

}  // namespace clsgint
