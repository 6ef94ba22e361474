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
    // Said before the records when not empty.
    std::string note = {};
};

// Writes into dir (created if missing) through files, so the report appears
// only when files commits. The records' texts name labels by number ("Label
// 2", "Segmentation image 2"); each such number gets its name from
// labelNames.
void writeDiagReport(const std::string& dir, const std::string& title,
                     const std::vector<DiagSection>& sections, OutputFiles& files,
                     const std::vector<std::string>& labelNames = {});

// One section of a report: stages its pictures (sNUMBER-...png) in dir
// through files and returns its part of the page, so that the records
// themselves need not be kept until the page is written.
std::string stageDiagSection(const std::string& dir, std::size_t number, const DiagSection& section,
                             OutputFiles& files, const std::vector<std::string>& labelNames = {});

// How every page of records begins, its title aside.
std::string diagPageStart();

// A section that has no records, only a note (an image that failed).
std::string diagNoteSection(const std::string& title, const std::string& note);

// Writes dir/index.html through files, holding the sections in order.
void writeDiagIndex(const std::string& dir, const std::string& title,
                    const std::vector<std::string>& sections, OutputFiles& files);

// text with " (NAME)" after every "Label N" and "Segmentation image N" whose
// N names one of labelNames.
std::string withLabelNames(const std::string& text, const std::vector<std::string>& labelNames);

}  // namespace clsg
