// Diagnostic records as a folder a browser can show: one PNG per image entry
// and an index.html listing the records in order with their texts and
// annotations.
#pragma once

#include <string>
#include <vector>

#include "apps/output_files.h"
#include "platform/diag.h"

struct DiagSection {
    std::string title;  // e.g. "train" or the run image's name
    const kvDiagObject* diag;
};

// Writes into dir (created if missing) through files, so the report appears
// only when files commits.
void writeDiagReport(const std::string& dir, const std::string& title,
                     const std::vector<DiagSection>& sections, OutputFiles& files);
