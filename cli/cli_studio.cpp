// clsg studio [IMAGE...] [--tool FILE] [--out DIR] [--port P]
#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>
#include <thread>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/count_option.h"
#include "cli/interrupts.h"
#include "cli/path_option.h"
#include "cli/run_inputs.h"
#include "clsg/io/image_io.h"
#include "clsg/tuning/training_heap.h"
#include "studio/session_lock.h"
#include "studio/studio_server.h"

namespace clsg {

namespace {

// Blocks SIGINT, SIGTERM and SIGHUP (those not ignored, see stopSignals) in
// this thread and the threads it starts, so that one thread can wait for them
// with sigwait; restores the mask on the way out.
class SignalBlock {
public:
    SignalBlock() : set_(stopSignals()) { pthread_sigmask(SIG_BLOCK, &set_, &old_); }
    ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    const sigset_t& set() const { return set_; }

private:
    sigset_t set_, old_;
};

// The images the arguments name, a folder's image files by name as clsg run
// reads them: a file of a folder named as clsg run could have named an output
// of another image given (NAME-labels.png, NAME-seg-LABEL.pgm, ...) is
// skipped, with a note. Each with whether a folder gave it.
std::vector<std::pair<std::string, bool>> studioImages(const std::vector<std::string>& args) {
    namespace fs = std::filesystem;
    std::vector<std::pair<std::string, bool>> found;  // path, from a folder
    std::vector<std::string> notFiles, videos, skipped;
    std::vector<std::pair<std::string, bool>> images;
    std::set<std::string> stems;
    for (const std::string& arg : args) {
        std::error_code ec;
        const bool folder = fs::is_directory(arg, ec);
        for (const std::string& path : expandImageArgument(arg, notFiles, videos)) {
            found.emplace_back(path, folder);
            stems.insert(fs::path(path).stem().string());
        }
    }
    const auto isOutput = [&](const fs::path& path) {
        const std::string stem = path.stem().string(), ext = path.extension().string();
        if (ext != ".png" && ext != ".pgm" && ext != ".ppm") return false;
        for (const std::string kind : RunOutputSuffixes::all)
            for (std::size_t at = stem.find(kind); at != std::string::npos;
                 at = stem.find(kind, at + 1))
                if (stems.count(stem.substr(0, at)) &&
                    (kind == RunOutputSuffixes::segmentation ? at + kind.size() < stem.size()
                                                             : at + kind.size() == stem.size()))
                    return true;
        return false;
    };
    for (const auto& [path, listed] : found) {
        if (listed && isOutput(path))
            skipped.push_back(path);
        else
            images.emplace_back(path, listed);
    }
    if (!skipped.empty()) {
        std::cerr << "clsg studio: skipping " << skipped.size() << " file"
                  << (skipped.size() == 1 ? "" : "s")
                  << " named as clsg run's outputs of other images:";
        for (std::size_t k = 0; k < skipped.size() && k < 3; ++k)
            std::cerr << " " << oneLine(skipped[k]);
        std::cerr << (skipped.size() > 3 ? " ..." : "") << " (name a file on its own to open it)\n";
    }
    return images;
}

// Absolute: the commands the page shows (and the export's file) work from
// any directory.
std::string absolutePath(const std::string& path) {
    return std::filesystem::absolute(path).lexically_normal().string();
}

// Opens the images: a file named on its own that does not open stops the
// studio, as a mistyped name should; one of a folder's is passed over with a
// warning, as clsg run goes on with the others, unless none opens.
void openImages(StudioSession& session, const std::vector<std::pair<std::string, bool>>& images) {
    std::string firstFailure;
    for (const auto& [path, fromFolder] : images) {
        try {
            session.addImage(std::filesystem::path(path).stem().string(), absolutePath(path),
                             readColorImage(path));
        } catch (const ImageError& e) {
            if (!fromFolder) throw;
            if (firstFailure.empty()) firstFailure = e.what();
            std::cerr << "clsg studio: warning: " << oneLine(e.what()) << " (not opened)\n";
        }
    }
    if (session.images().empty() && !firstFailure.empty()) throw CliError(firstFailure);
}

// What the stop says of the session file: where the session is, only when
// that file holds it (this studio saved it there, or restored it from there,
// or left it as it was offered).
std::string stopNote(const StudioSession& session, const std::string& outDir) {
    const std::string path = session.sessionPath(),
                      again = " (clsg studio on the same images with --out " + outDir +
                              " offers them again)";
    std::error_code ec;
    const bool there = std::filesystem::is_regular_file(path, ec);
    if (!session.unsavedReason().empty())
        return "; the last changes could not be saved in " + path + " (" + session.unsavedReason() +
               ")" + (there ? ": it holds the marks, labels and settings from before them" : "");
    if (there && (session.savedThisRun() || session.offeredPath() == path))
        return "; the marks, labels and settings are in " + path + again;
    if (session.savedThisRun()) return "; " + path + ", where the session was saved, is gone";
    std::string note = "; nothing was changed, so nothing was saved";
    if (!session.offeredPath().empty() && session.offeredPath() != path &&
        std::filesystem::is_regular_file(session.offeredPath(), ec))
        note += "; the earlier marks it offered are in " + session.offeredPath() + again;
    return note;
}

// Prints where to open the studio. The address and its token are printed
// nowhere else: a studio no one can open is no studio.
void announce(const StudioSession& session, int port, const std::string& token,
              const std::string& outDir) {
    std::cout << "clsg studio: open http://127.0.0.1:" << port << "/?token=" << token << "\n"
              << "  " << session.images().size() << " image"
              << (session.images().size() == 1 ? "" : "s") << ", " << session.labels().size()
              << " label" << (session.labels().size() == 1 ? "" : "s") << ", output directory "
              << oneLine(outDir) << "; Ctrl-C stops" << std::endl;
    std::cout << "  every change is saved in " << oneLine(session.sessionPath()) << "\n";
    if (const auto& earlier = session.pendingRestore())
        std::cout << "  the page offers the marks saved at " << earlier->savedAt << " ("
                  << earlier->labels << " label" << (earlier->labels == 1 ? "" : "s")
                  << ") to restore\n";
    if (!std::cout.flush())
        throw CliError(
            "cannot write to standard output, where the studio's address and token go; the "
            "studio did not start");
}

}  // namespace

Command addStudioCommand(CLI::App& parent) {
    struct Options {
        std::vector<std::string> images;
        std::string tool;
        std::string outDir = "studio-out";
        int port = 0;
        int autoStepDelayMs = 0;
        uint64_t trainingBytes = 0;  // 0: the budget of files from elsewhere
    };
    auto o = std::make_shared<Options>();
    CLI::App* app = parent.add_subcommand(
        "studio", "Paint examples on images in a web page and see the segmentation live");
    app->footer(
        "Serves a page on 127.0.0.1 only; open the printed address (it carries a random token "
        "that every request must show). Save tool and Export masks write into the output "
        "directory. Ctrl-C stops the server; a second Ctrl-C stops it at once.");
    app->add_option("images", o->images,
                    "Images to open (in any format clsg run reads), or folders of them")
        ->check(nonEmptyPath());
    app->add_option("--tool", o->tool, "Tool file to reopen, its examples as editable marks")
        ->check(nonEmptyPath());
    app->add_option("-o,--out", o->outDir, "Where Save tool and Export masks write")
        ->check(nonEmptyPath())
        ->capture_default_str();
    app->add_option("-p,--port", o->port, "Port on 127.0.0.1 (0: any free port)")
        ->transform(wholeNumber(0, 65535))
        ->capture_default_str();
    // For tests, left out of the help (see StudioServer::setAutoStepDelay).
    app->add_option("--auto-step-delay", o->autoStepDelayMs)
        ->transform(wholeNumber(0, 10000))
        ->group("");
    // For tests, left out of the help: a lower limit on training's memory, so that Auto
    // has tolerances to skip with few marks.
    app->add_option("--training-budget-bytes", o->trainingBytes)
        ->transform(countAtLeast(0))
        ->group("");

    return {app, [o]() {
                StudioSession session(absolutePath(o->outDir));
                if (o->trainingBytes != 0) {
                    kvCompositeColorSegmenterBudget budget =
                        kvCompositeColorSegmenterBudget::forUntrustedFiles();
                    budget.maxBytes = o->trainingBytes;
                    session.setTrainingBudget(budget);
                }
                // Commands the page shows name this very program.
                std::error_code error;
                const std::filesystem::path self =
                    std::filesystem::read_symlink("/proc/self/exe", error);
                if (!error) session.setProgram(self.string());
                openImages(session, studioImages(o->images));
                if (!o->tool.empty())
                    for (const std::string& warning : session.loadTool(o->tool))
                        std::cerr << "clsg studio: warning: " << oneLine(warning) << "\n";
                // Only now, the images and tool read (a name mistyped leaves no
                // folder behind), the output folder: one studio per session file.
                SessionLock lock(o->outDir);
                // Until it serves, a studio that fails leaves neither lock nor folder.
                struct Unstarted {
                    SessionLock& lock;
                    bool started = false;
                    ~Unstarted() {
                        if (!started) lock.abandon();
                    }
                } unstarted{lock};
                session.setBeforeSave([&lock] { return lock.renew(); });
                const std::string damaged = session.findRestore();
                if (!damaged.empty())
                    std::cerr << "clsg studio: warning: " << oneLine(damaged) << "\n";
                // The output's reader going away stops nothing; the prints fail quietly.
                std::signal(SIGPIPE, SIG_IGN);

                const SignalBlock signals;
                // For the Auto button's search, which a request thread runs.
                useTrainingHeap();
                shareTrainingHeapWithThreads();
                StudioServer server(session, StudioServer::randomToken());
                server.setAutoStepDelay(std::chrono::milliseconds(o->autoStepDelayMs));
                announce(session, server.bind(o->port), server.token(), o->outDir);
                unstarted.started = true;
                std::atomic<bool> finished{false};
                std::thread waiter([&]() {
                    int signal = 0;
                    sigwait(&signals.set(), &signal);
                    if (finished) return;
                    server.stop();
                    // A second signal ends the process at once: every change is
                    // in the session file already.
                    sigwait(&signals.set(), &signal);
                    if (finished) return;
                    std::cout << "\nclsg studio: stopped at once" << removePartialFiles()
                              << std::endl;
                    std::_Exit(128 + signal);
                });
                std::exception_ptr failed;  // said once the waiter is gone
                try {
                    server.serve();
                } catch (...) {
                    failed = std::current_exception();
                }
                // Wake the waiter from whichever wait it is in.
                finished = true;
                pthread_kill(waiter.native_handle(), SIGTERM);
                waiter.join();
                if (failed) std::rethrow_exception(failed);
                std::cout << "clsg studio: stopped";
                // A change the file could not take gets a last try.
                if (!session.unsavedReason().empty()) {
                    try {
                        session.autosave();
                    } catch (const StudioError&) {  // said below
                    }
                }
                const bool unsaved = !session.unsavedReason().empty();
                std::cout << oneLine(stopNote(session, o->outDir)) << std::endl;
                return unsaved ? 1 : 0;  // work was lost: say so to a script too
            }};
}

}  // namespace clsg
