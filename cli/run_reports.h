// The reports of clsg run beside its images' outputs: the diagnostic records
// and their page, and the summary table.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/run_image.h"

namespace clsg {

// Stages the Nth image's diagnostic records through files as soon as they
// are made: only the page's text is kept for the index, so a batch's memory
// does not grow with its length.
void stageImageDiag(std::size_t number, const RunInput& input, const ToolFile& file,
                    const RunSettings& settings, OutputFiles& files, ImageOutcome& outcome);

// With keepGoing: the records, committed on their own once the image's
// outputs are. Records that cannot be written are said on the page and
// returned; the image still counts as written.
std::string writeImageDiag(std::size_t number, const RunInput& input, const ToolFile& file,
                           const RunSettings& settings, OutputFiles& files, ImageOutcome& outcome);

// What an image's run holds only for its records, let go on every path.
void dropDiag(ImageOutcome& outcome);

// The diagnostics page of a run: a section for each image, in the order given,
// the ones that failed or were not run saying so.
void writeRunDiagIndex(const std::vector<RunInput>& inputs,
                       const std::vector<ImageOutcome>& outcomes, const RunSettings& settings,
                       OutputFiles& files);

// How every summary table begins.
constexpr const char* kSummaryStart = "image,status,width,height,milliseconds";

// Whether path is a regular file that begins as a summary table does: an
// earlier run's, which a run may replace where it would keep a file of the
// user's own.
bool isEarlierSummary(const std::string& path);

// The summary table (--summary): a row per image with its status, size, time
// and each label's share; with regions (--regions), each label's region count
// too, whatever the outcomes.
void writeSummary(const std::string& path, const ToolFile& file,
                  const std::vector<RunInput>& inputs, const std::vector<ImageOutcome>& outcomes,
                  bool regions, OutputFiles& files);

// The diagnostics page and the summary, each committed on its own: one that
// cannot be written takes neither the other nor the images' outputs with it.
RunReports writeRunReports(const ToolFile& file, const std::vector<RunInput>& inputs,
                           const std::vector<ImageOutcome>& outcomes, const RunSettings& settings,
                           OutputFiles& files);

// Where the reports went, the run's last lines before its count of failures.
void sayRunReports(const RunReports& reports, const RunSettings& settings, std::ostream& out);

}  // namespace clsg
