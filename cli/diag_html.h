// Diagnostic records as a folder a browser can show: one PNG per image entry
// and an index.html listing the records in order with their texts and
// annotations.
#pragma once

#include <string>
#include <vector>

#include "clsg/io/output_files.h"
#include "clsg/platform/diag.h"
#include "clsg/platform/three_plane.h"

namespace clsg {

struct DiagSection {
    std::string title;  // e.g. "train" or the run image's name
    const kvDiagObject* diag;
    // Shown before the records when bound: the overlay and its legend.
    kv3PlanePelBuffer_const overlay = {}, legend = {};
};

// Writes into dir (created if missing) through files, so the report appears
// only when files commits. The records' texts name labels by number ("Label
// 2", "Segmentation image 2"); each such number gets its name from
// labelNames.
void writeDiagReport(const std::string& dir, const std::string& title,
                     const std::vector<DiagSection>& sections, OutputFiles& files,
                     const std::vector<std::string>& labelNames = {});

// text with " (NAME)" after every "Label N" and "Segmentation image N" whose
// N names one of labelNames.
std::string withLabelNames(const std::string& text, const std::vector<std::string>& labelNames);

}  // namespace clsg
