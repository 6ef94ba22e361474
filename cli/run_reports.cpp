// The reports of clsg run: diagnostic records, their page and the summary.
#include "cli/run_reports.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <functional>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "cli/cli_error.h"
#include "cli/diag_html.h"
#include "cli/share_columns.h"
#include "clsg/io/errors.h"

namespace clsg {

namespace {

// Why a report or records could not be written, said of them alone: the
// run's other outputs are written, which "nothing was written" would deny.
std::string oneFileError(const std::exception& e) {
    return saidOfWhatWasWritten(describeError(e), "");
}

}  // namespace

// Stages the Nth image's diagnostic records through files as soon as they
// are made: only the page's text is kept for the index, so a batch's memory
// does not grow with its length.
void stageImageDiag(std::size_t number, const RunInput& input, const ToolFile& file,
                    const RunSettings& settings, OutputFiles& files, ImageOutcome& outcome) {
    if (settings.diagDir.empty()) return;
    const std::string cleaned =
        settings.regions.cleans()
            ? "The overlay and legend are of the label image --min-area and --fill-holes "
              "cleaned, as the outputs are; the records below are the run's, before that."
            : "";
    outcome.diagHtml =
        stageDiagSection(settings.diagDir, number,
                         {input.name, &outcome.diag, outcome.overlay, outcome.legend, cleaned},
                         files, file.labelNames());
}

// With keepGoing: the records, committed on their own once the image's
// outputs are. Records that cannot be written are said on the page and
// returned; the image still counts as written.
std::string writeImageDiag(std::size_t number, const RunInput& input, const ToolFile& file,
                           const RunSettings& settings, OutputFiles& files, ImageOutcome& outcome) {
    try {
        OutputFiles records(files, true);
        stageImageDiag(number, input, file, settings, records, outcome);
        records.commit();
        return "";
    } catch (const std::exception& e) {
        const std::string why = "its diagnostic records were not written: " + oneFileError(e);
        outcome.diagHtml = diagNoteSection(input.name, why);
        return input.name + ": " + why;
    }
}

// What an image's run holds only for its records, let go on every path.
void dropDiag(ImageOutcome& outcome) {
    outcome.diag.clear();
    outcome.overlay = {};
    outcome.legend = {};
}

// The diagnostics page of a run: a section for each image, in the order given,
// the ones that failed or were not run saying so.
void writeRunDiagIndex(const std::vector<RunInput>& inputs,
                       const std::vector<ImageOutcome>& outcomes, const RunSettings& settings,
                       OutputFiles& files) {
    std::vector<std::string> sections;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const ImageOutcome& outcome = outcomes[i];
        if (!outcome.finished)
            sections.push_back(diagNoteSection(
                inputs[i].name, "not finished: the run was stopped before this image was done"));
        else if (!outcome.error.empty())
            sections.push_back(diagNoteSection(inputs[i].name, "failed: " + outcome.error));
        else
            sections.push_back(outcome.diagHtml);
    }
    writeDiagIndex(settings.diagDir, "clsg run", sections, files);
}

bool isEarlierSummary(const std::string& path) {
    // Opened without waiting, and asked what it is once open: a pipe put
    // there meanwhile must not hold the run up.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    std::string start(std::strlen(kSummaryStart), '\0');
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const bool read =
        regular && ::read(fd, start.data(), start.size()) == static_cast<ssize_t>(start.size());
    ::close(fd);
    return read && start == kSummaryStart;
}

void writeSummary(const std::string& path, const ToolFile& file,
                  const std::vector<RunInput>& inputs, const std::vector<ImageOutcome>& outcomes,
                  bool regions, OutputFiles& files) {
    std::ostringstream csv;
    std::vector<std::string> names,
        columns = {"image", "status", "width", "height", "milliseconds", "unlabelled", "error"};
    for (const ToolLabel& label : file.labels) names.push_back(label.name);
    if (regions)
        for (const std::string& name : names) columns.push_back("regions_" + name);
    csv << kSummaryStart;
    for (const std::string& column : shareColumns(names, columns)) csv << "," << csvField(column);
    csv << ",unlabelled";
    if (regions)
        for (const std::string& name : names) csv << "," << csvField("regions_" + name);
    csv << ",error\n";
    csv << std::fixed;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const ImageOutcome& o = outcomes[i];
        csv << csvField(inputs[i].path.empty() ? inputs[i].name : inputs[i].path);
        if (!o.error.empty() || !o.finished) {
            csv << (o.finished ? ",failed,,," : ",stopped,,,");
            for (std::size_t k = 0; k <= file.labels.size(); ++k) csv << ",";
            if (regions)
                for (std::size_t k = 0; k < file.labels.size(); ++k) csv << ",";
            csv << ","
                << csvField(o.finished ? o.error : "the run was stopped before this image was done")
                << "\n";
            continue;
        }
        const double total = static_cast<double>(o.width) * static_cast<double>(o.height);
        csv << ",ok," << o.width << "," << o.height << "," << std::setprecision(1) << o.milliseconds
            << std::setprecision(6);
        for (uint64_t count : o.counts)
            csv << ","
                << shareField(static_cast<double>(count) / total, static_cast<uint64_t>(total));
        if (regions)
            for (uint64_t count : o.regionCounts) csv << "," << count;
        csv << ",\n";
    }
    files.writeStaged(path, csv.str());
}

// The diagnostics page and the summary, each committed on its own: one that
// cannot be written takes neither the other nor the images' outputs with it.
RunReports writeRunReports(const ToolFile& file, const std::vector<RunInput>& inputs,
                           const std::vector<ImageOutcome>& outcomes, const RunSettings& settings,
                           OutputFiles& files) {
    const auto write = [&files](const std::function<void(OutputFiles&)>& stage) {
        try {
            OutputFiles own(files, true);
            stage(own);
            own.commit();
            return std::string();
        } catch (const FileError& e) {
            return oneFileError(e);
        }
    };
    RunReports reports;
    // A page only beside some image's outputs: a run that wrote none leaves nothing.
    const auto written = [](const ImageOutcome& o) { return o.finished && o.error.empty(); };
    if (!settings.diagDir.empty() && std::any_of(outcomes.begin(), outcomes.end(), written)) {
        reports.pageError =
            write([&](OutputFiles& own) { writeRunDiagIndex(inputs, outcomes, settings, own); });
        reports.pageWritten = reports.pageError.empty();
    }
    if (!settings.summaryPath.empty()) {
        reports.summaryError = write([&](OutputFiles& own) {
            writeSummary(settings.summaryPath, file, inputs, outcomes, settings.regions.table, own);
        });
        reports.summaryWritten = reports.summaryError.empty();
    }
    return reports;
}

// Where the reports went, the run's last lines before its count of failures.
void sayRunReports(const RunReports& reports, const RunSettings& settings, std::ostream& out) {
    if (reports.pageWritten) out << "diagnostics: " << oneLine(settings.diagDir) << "/index.html\n";
    if (reports.summaryWritten) out << "summary: " << oneLine(settings.summaryPath) << "\n";
}

}  // namespace clsg
