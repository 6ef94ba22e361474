// A batch of images in clsg run: the images on settings.jobs threads, each
// committed on its own or all together, and the reports after them.
#include <sys/stat.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "cli/cli_error.h"
#include "cli/closed_streams.h"
#include "cli/commands.h"
#include "cli/earlier_outputs.h"
#include "cli/interrupts.h"
#include "cli/run_image.h"
#include "cli/run_inputs.h"
#include "cli/run_reports.h"
#include "clsg/io/errors.h"

namespace clsg {

namespace fs = std::filesystem;

namespace {

// An image's outputs that could not be written, said of that image: the
// other images', a video's or the summary may well be written.
std::string ofThisImage(const std::string& why) {
    return saidOfWhatWasWritten(why, "; none of this image's outputs were written");
}

// The outputs an earlier run left under an image's names (in either format,
// its region table too), looked for before this run writes any: should the
// image fail, they stay but must not be taken for this run's.
std::vector<std::string> earlierOutputNames(const RunInput& input, const ToolFile& file,
                                            const RunSettings& settings) {
    std::vector<std::string> names = imageOutputNames(input.name, file, settings);
    for (const ImageFormat format : {ImageFormat::Png, ImageFormat::Pnm})
        for (const std::string& name : runOutputNames(input.name, file, format))
            if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    if (!settings.regions.table) names.push_back(input.name + "-regions.csv");
    return names;
}

std::vector<EarlierOutput> earlierOutputs(const RunInput& input, const ToolFile& file,
                                          const RunSettings& settings) {
    return earlierFiles(settings.outDir, earlierOutputNames(input, file, settings));
}

// Stopped by a signal: the images not reached whose names an earlier run's
// outputs still hold in the output folder ("" when none), lest the folder
// pass for this run's whole result.
std::string unreachedNote(const std::vector<RunInput>& inputs,
                          const std::vector<ImageOutcome>& outcomes, const ToolFile& file,
                          const RunSettings& settings) {
    // One listing of the folder: a batch of many images stopped early is
    // said of at once (a second signal ends the process 2 s later). Files
    // only, as for an image that fails: a folder, pipe or link left there is
    // no output.
    std::set<std::string> present;
    std::error_code ec, typeError;
    for (fs::directory_iterator it(settings.outDir.empty() ? "." : settings.outDir, ec), end;
         !ec && it != end; it.increment(ec))
        if (it->symlink_status(typeError).type() == fs::file_type::regular)
            present.insert(it->path().filename().string());
    std::size_t unreached = 0, stale = 0;
    std::string first;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (outcomes[i].finished) continue;
        ++unreached;
        const std::vector<std::string> names = earlierOutputNames(inputs[i], file, settings);
        if (std::none_of(names.begin(), names.end(),
                         [&](const std::string& n) { return present.count(n) != 0; }))
            continue;
        if (stale++ == 0) first = inputs[i].path.empty() ? inputs[i].name : inputs[i].path;
    }
    if (stale == 0) return "";
    return std::to_string(stale) + " of the " + std::to_string(unreached) +
           " images this run did not reach (" + oneLine(first) + (stale > 1 ? ", ..." : "") +
           ") have outputs in " + oneLine(settings.outDir.empty() ? "." : settings.outDir) +
           " from an earlier run, not this run's";
}

// Refuses, before anything is read, inputs whose outputs would share a name:
// two images named alike, or a.png's a-seg-score.png (a label named "score")
// and a-seg.png's score image. Which image lost its outputs would otherwise
// depend on which finished first.
void refuseSharedOutputs(const ToolFile& file, const std::vector<RunInput>& inputs,
                         const RunSettings& settings) {
    const auto shown = [&](std::size_t i) {
        return inputs[i].path.empty() ? inputs[i].name : inputs[i].path;
    };
    std::map<std::string, std::size_t> seen, writer;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const auto [at, fresh] = seen.emplace(inputs[i].name, i);
        if (fresh) continue;
        std::error_code ec;
        if (!inputs[i].path.empty() && fs::equivalent(inputs[at->second].path, inputs[i].path, ec))
            throw CliError("the image " + shown(i) + " is given twice (" + shown(at->second) +
                           " is the same file): give it once");
        throw CliError("the input images " + shown(at->second) + " and " + shown(i) +
                       " are both named " + inputs[i].name +
                       "; their outputs would collide: rename one of them");
    }
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        for (const std::string& name : imageOutputNames(inputs[i].name, file, settings)) {
            const auto [at, fresh] = writer.emplace(name, i);
            if (!fresh)
                throw CliError("the outputs of " + shown(at->second) + " and " + shown(i) +
                               " would both be written to " +
                               (fs::path(settings.outDir) / name).string() +
                               "; rename one of them");
        }
    }
    // The diagnostic records' pictures, sN-overlay.png and sN-legend.png for
    // the Nth image written, beside the outputs.
    const fs::path outDir = settings.outDir.empty() ? "." : settings.outDir;
    if (settings.diagDir.empty() || canonicalPath(settings.diagDir) != canonicalPath(outDir))
        return;
    for (std::size_t s = 1; s <= inputs.size(); ++s)
        for (const char* picture : {"-overlay.png", "-legend.png"}) {
            const auto at = writer.find("s" + std::to_string(s) + picture);
            if (at != writer.end())
                throw CliError("--diag " + settings.diagDir +
                               " is the output directory, where a diagnostic record would "
                               "replace " +
                               shown(at->second) + "'s output " + at->first +
                               ": choose another --diag");
        }
}

// Gives the memory the images' runs freed back to the system, once they have
// run a million pixels since it last did. Without it the C library kept it,
// fragmented by the next images' blocks, and a batch of photographs grew by
// about 4 bytes per pixel of every image run; after every image, batches of
// tiny images took five times as long.
void releaseFreedMemory(uint64_t pixels) {
    static std::atomic<uint64_t> since{0};
    if ((since += pixels) < (uint64_t{1} << 20)) return;
    since = 0;
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

}  // namespace

std::size_t runImages(const ToolFile& file, const std::vector<RunInput>& inputs,
                      const RunSettings& settings, OutputFiles& files, std::ostream& out,
                      std::vector<std::string>* written, RunReports* reports) {
    refuseSharedOutputs(file, inputs, settings);
    files.makeDir(settings.outDir, "--out");

    std::vector<ImageOutcome> outcomes(inputs.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    bool recordsFailed = false;  // under printMutex
    std::mutex printMutex;
    std::size_t done = 0;
    const bool progress = inputs.size() > 1 && ::isatty(STDERR_FILENO);

    // The workers share the tool: its const calls may overlap.
    const auto worker = [&]() {
        const kvCompositeColorSegmenterTool& tool = file.tool;
        for (std::size_t i; !(failed && !settings.keepGoing) && !interruptSignal() &&
                            (i = next++) < inputs.size();) {
            ImageOutcome& outcome = outcomes[i];
            std::vector<EarlierOutput> earlier;
            std::string recordsError;
            try {
                if (settings.keepGoing) {
                    // In the try: memory running out here fails the image, not the process.
                    earlier = earlierOutputs(inputs[i], file, settings);
                    // This image's outputs appear together, whatever the others do.
                    OutputFiles own(files, true);
                    segmentOne(tool, file, inputs[i], settings, own, outcome);
                    checkInterrupt();
                    own.commit();
                    outcome.finished = true;
                    recordsError = writeImageDiag(i + 1, inputs[i], file, settings, files, outcome);
                } else {
                    segmentOne(tool, file, inputs[i], settings, files, outcome);
                    stageImageDiag(i + 1, inputs[i], file, settings, files, outcome);
                }
            } catch (const ImageError& e) {  // these name the file, as FileError's do
                outcome.error = e.what();
            } catch (const FileError& e) {
                outcome.error = settings.keepGoing ? ofThisImage(e.what()) : e.what();
            } catch (const std::exception& e) {
                outcome.error = inputs[i].name + ": " + describeError(e);
            }
            dropDiag(outcome);
            releaseFreedMemory(outcome.pixels);
            // Stopped: not a failure of this image; one already written is still said.
            if (interruptSignal() && !outcome.finished) return;
            outcome.finished = true;
            if (!outcome.error.empty()) outcome.written.clear();
            std::lock_guard<std::mutex> lock(printMutex);
            if (progress) std::cerr << "\r\033[K" << std::flush;
            if (!outcome.note.empty())
                std::cerr << "clsg: note: " << oneLine(outcome.note) << std::endl;
            if (!outcome.error.empty()) {
                failed = true;
                if (settings.keepGoing) {
                    std::cerr << "clsg: error: " << oneLine(outcome.error) << std::endl;
                    const std::string note = earlierOutputsNote(
                        inputs[i].path.empty() ? inputs[i].name : inputs[i].path, earlier);
                    if (!note.empty()) std::cerr << "clsg: note: " << oneLine(note) << std::endl;
                }
            } else {
                out << oneLine(outcome.line) << std::endl;
            }
            if (!recordsError.empty()) {
                recordsFailed = true;
                std::cerr << "clsg: error: " << oneLine(recordsError) << std::endl;
            }
            ++done;
            if (progress) std::cerr << "[" << done << "/" << inputs.size() << "]" << std::flush;
        }
    };
    const unsigned jobs =
        std::max(1u, std::min<unsigned>(settings.jobs, static_cast<unsigned>(inputs.size())));
    // What leaves a worker (memory running out while it prints, say) stops the
    // others and is thrown once all are joined: from a thread it would end
    // the process.
    std::exception_ptr escaped;
    const auto guarded = [&]() {
        try {
            worker();
        } catch (...) {
            std::lock_guard<std::mutex> lock(printMutex);
            if (!escaped) escaped = std::current_exception();
            next = inputs.size();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(jobs - 1);
    try {
        for (unsigned t = 1; t < jobs; ++t) threads.emplace_back(guarded);
    } catch (const std::exception& e) {  // fewer threads take the images
        std::lock_guard<std::mutex> lock(printMutex);
        std::cerr << "clsg: note: " << jobs << " images at a time asked for, " << threads.size() + 1
                  << " started (" << oneLine(e.what()) << ")" << std::endl;
    }
    guarded();
    for (std::thread& t : threads) t.join();
    if (escaped) std::rethrow_exception(escaped);
    if (progress) std::cerr << "\r\033[K" << std::flush;
    // The reports, after a signal too: they tell which images were written.
    if (settings.keepGoing) {
        RunReports said = writeRunReports(file, inputs, outcomes, settings, files);
        for (const std::string* error : {&said.pageError, &said.summaryError})
            if (!error->empty())
                std::cerr << "clsg: error: " << oneLine(withClosedStdoutSaid(*error)) << std::endl;
        said.recordsFailed = recordsFailed;
        // No image written, no page: one there is an earlier run's.
        std::error_code ec;
        const fs::path page = fs::path(settings.diagDir) / "index.html";
        if (!settings.diagDir.empty() && !said.pageWritten && said.pageError.empty() &&
            fs::is_regular_file(page, ec))
            std::cerr << "clsg: note: " << oneLine(page.string())
                      << " is from an earlier run: this run wrote no image, and no page"
                      << std::endl;
        if (reports) *reports = said;
        if (interruptSignal()) {  // the run ends here
            sayRunReports(said, settings, out);
            out.flush();
            const std::string stale = unreachedNote(inputs, outcomes, file, settings);
            if (!stale.empty()) std::cerr << "clsg: note: " << oneLine(stale) << std::endl;
        }
    }
    checkInterrupt();

    std::size_t failures = 0;
    for (const ImageOutcome& outcome : outcomes) {
        if (outcome.error.empty()) continue;
        if (!settings.keepGoing) throw CliError(outcome.error);
        ++failures;
    }

    if (!settings.keepGoing && !settings.diagDir.empty())
        writeRunDiagIndex(inputs, outcomes, settings, files);
    if (!settings.keepGoing && !settings.summaryPath.empty())
        writeSummary(settings.summaryPath, file, inputs, outcomes, settings.regions.table, files);
    if (written)
        for (const ImageOutcome& outcome : outcomes)
            written->insert(written->end(), outcome.written.begin(), outcome.written.end());
    return failures;
}

}  // namespace clsg
