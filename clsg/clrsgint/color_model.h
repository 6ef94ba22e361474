// The trained colour model: tables shared by every label plus one weight grid
// per training instance. Plain value types; copying copies everything.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

// Weights of one training instance over the n x n x n grid of colour cells.
struct kvCompositeColorInstanceModel {
    double normFactor = 0.0;                // 1 / sum of the weights at the training pixels' cells
    uint32_t levelCount = 0;                // n, levels per channel
    std::vector<double> weights;            // n^3 entries, index (L0 * n + L1) * n + L2
    std::vector<unsigned char> quantTable;  // 256 entries: level of each channel value

    // Member-wise; doubles compare by bit pattern.
    bool operator==(const kvCompositeColorInstanceModel& other) const;
    bool operator!=(const kvCompositeColorInstanceModel& other) const { return !(*this == other); }
};

// Everything training produces and the run reads.
struct kvCompositeColorSegmenterModel {
    std::vector<kvCompositeColorInstanceModel> instanceModels;  // set-major order
    std::vector<uint32_t> instanceCounts;                       // instances per set
    std::array<float, 256> reciprocalTable{};                   // [0] = 1, [t] = float(1.0 / t)
    std::array<unsigned char, 256> toleranceTable{};    // low 8 bits of each value's tolerance
    unsigned char levelStep = 0;                        // 256 / n in 8 bits
    std::array<unsigned char, 256> lowLevelTable{};     // lowest level within tolerance
    std::array<unsigned char, 256> highLevelTable{};    // highest level within tolerance
    std::array<unsigned char, 256> levelCenterTable{};  // mean channel value of each level

    // Member-wise; floats compare by bit pattern.
    bool operator==(const kvCompositeColorSegmenterModel& other) const;
    bool operator!=(const kvCompositeColorSegmenterModel& other) const { return !(*this == other); }
};
