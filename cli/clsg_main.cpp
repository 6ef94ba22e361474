// clsg: teach colour classes by example, then segment RGB images.
#include <sys/resource.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "cli/cli_error.h"
#include "cli/closed_streams.h"
#include "cli/commands.h"
#include "cli/interrupts.h"
#include "cli/stdout_lines.h"

using namespace clsg;

namespace {

const char* const kCannotWriteStdout = "clsg: error: cannot write to standard output\n";

// Says which signal stopped the command; returns the exit status, 128 + signal.
// A command that writes no files (info, evaluate) says nothing of outputs, and nothing
// at all when its reader went away (`clsg info t.clsg | head`).
int interrupted(int signal, bool writesFiles) {
    const char* why = signal == SIGPIPE   ? "as the reader of its output went away (SIGPIPE)"
                      : signal == SIGHUP  ? "as the terminal closed (SIGHUP)"
                      : signal == SIGTERM ? "by SIGTERM"
                                          : "by Ctrl-C (SIGINT)";
    if (writesFiles)
        std::cerr << "clsg: stopped " << why << "; finished outputs kept, no partial files left\n";
    else if (signal != SIGPIPE)
        std::cerr << "clsg: stopped " << why << "\n";
    return 128 + signal;
}

// Letters to change, add or drop to turn a into b.
std::size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t next =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = row[j];
            row[j] = next;
        }
    }
    return row[b.size()];
}

// "; did you mean --x?" for an option of app a letter or two from word
// ("--neighbourhood", "--lable"), else "".
std::string didYouMean(const CLI::App& app, const std::string& word) {
    const std::string name = word.substr(0, word.find('='));
    std::string best;
    std::size_t distance = 3;
    for (const CLI::Option* option : app.get_options())
        for (const std::string& long_name : option->get_lnames())
            if (const std::size_t d = editDistance(name, "--" + long_name); d < distance)
                distance = d, best = "--" + long_name;
    if (!best.empty()) return "; did you mean " + best + "?";
    // A file named with a leading '-' reads as an option; an output (train's
    // tool) need not be there yet.
    for (const CLI::Option* option : app.get_options())
        if (option->get_positional())
            return "; to name the file " + word + ", write ./" + word + " or put it after --";
    return "";
}

// After "--" every argument is a file name, even one that begins with '-':
// such a one becomes ./NAME (the same file; "-" alone stays standard
// output), and "--" is taken out, so that the names may stand anywhere among
// the command's arguments. held keeps the new texts the result points into;
// typed, each new text's word as the user typed it.
std::vector<char*> operandsAfterDashDash(int argc, char** argv, std::vector<std::string>& held,
                                         std::map<std::string, std::string>& typed) {
    held.assign(argv, argv + argc);
    const auto dashes = std::find(held.begin() + std::min(argc, 1), held.end(), "--");
    if (dashes != held.end()) {
        for (auto it = dashes + 1; it != held.end(); ++it)
            if (it->size() > 1 && (*it)[0] == '-') {
                typed["./" + *it] = *it;
                *it = "./" + *it;
            }
        held.erase(dashes);
    }
    std::vector<char*> args;
    for (std::string& a : held) args.push_back(a.data());
    return args;
}

}  // namespace

namespace {

// Under a limit of address space (ulimit -v) the stack cannot grow once the
// heap has taken the rest, and a deeper call than any before then ends the
// process (SIGSEGV, at 34 MB): the stack's first megabyte is taken at the
// start, where the limit leaves room for it; it stays the process's.
constexpr std::size_t kTaken = 1 << 20;

// Apart, so that the frame of takeStack() itself is small.
[[gnu::noinline]] void touchStack() {
    [[maybe_unused]] volatile char stack[kTaken];
    for (std::size_t i = 0; i < kTaken; i += 4096) stack[i] = 0;
}

void takeStack() {
    rlimit limit{}, stack{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
    // A stack limited to little more than that is left as it comes.
    if (getrlimit(RLIMIT_STACK, &stack) != 0 ||
        (stack.rlim_cur != RLIM_INFINITY && stack.rlim_cur < 4 * kTaken))
        return;
    unsigned long pages = 0;  // mapped now
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%lu", &pages) != 1) pages = 0;
        std::fclose(statm);
    }
    const unsigned long mapped = pages * static_cast<unsigned long>(sysconf(_SC_PAGESIZE));
    if (pages != 0 && mapped + 4 * kTaken <= limit.rlim_cur) touchStack();  // else as it comes
}

}  // namespace

int main(int argc, char** argv) {
    takeStack();
    holdClosedStreams();
    // Past a file size limit a write fails with EFBIG and is reported, with
    // the temporary files removed, instead of the process being killed.
    std::signal(SIGXFSZ, SIG_IGN);
    CLI::App app("Teach colour classes by example, then segment RGB images.", "clsg");
    app.require_subcommand(1);
    app.set_version_flag("--version", "clsg 0.1.0");
    const std::vector<Command> commands = {addTrainCommand(app),  addRunCommand(app),
                                           addInfoCommand(app),   addDemoCommand(app),
                                           addStudioCommand(app), addEvaluateCommand(app)};
    // CLI11 would only say that a subcommand is missing; name the word instead.
    const auto isCommand = [&](const std::string& word) {
        for (const Command& command : commands)
            if (command.app->get_name() == word) return true;
        return false;
    };
    if (argc > 1 && argv[1][0] != '-' && !isCommand(argv[1])) {
        std::cerr << "clsg: error: unknown command " << oneLine(argv[1])
                  << " (commands: train, run, info, demo, studio, evaluate; see clsg --help)\n";
        return 2;
    }
    // Options before the command ("clsg --threads 2 run ...") are its own.
    const std::string first = argc > 1 ? argv[1] : "";
    if (first.size() > 1 && first[0] == '-' && first != "--" && first != "-h" &&
        first != "--help" && first != "--help-all" && first != "--version")
        for (int i = 2; i < argc; ++i)
            if (isCommand(argv[i])) {
                std::cerr << "clsg: error: options go after the command: clsg " << argv[i] << " "
                          << oneLine(first) << " ... (see clsg " << argv[i] << " --help)\n";
                return 2;
            }
    // Where a usage error points to: the command's help, or the program's.
    const auto parsedName = [&]() {
        for (const Command& command : commands)
            if (command.app->parsed()) return "clsg " + command.app->get_name();
        return std::string("clsg");
    };
    const auto helpOf = [&]() { return "see " + parsedName() + " --help"; };
    std::vector<std::string> held;  // the arguments as parsed, "--" taken out
    std::map<std::string, std::string> typed;
    std::vector<char*> args = operandsAfterDashDash(argc, argv, held, typed);
    try {
        app.parse(static_cast<int>(args.size()), args.data());
    } catch (const CLI::Success& e) {
        app.exit(e);  // --help, --help-all, --version
        // Help that did not arrive is a failure, as any command's output is.
        if (!std::cout.flush()) {
            std::cerr << kCannotWriteStdout;
            return 1;
        }
        return 0;
    } catch (const CLI::ParseError& e) {
        // An argument no command knows comes before a missing one: "--label
        // is required" would hide a mistyped --label.
        std::vector<std::string> unknown = app.remaining();
        const CLI::App* parsed = &app;
        for (const Command& command : commands)
            if (command.app->parsed() && unknown.empty())
                unknown = command.app->remaining(), parsed = command.app;
        const bool option =
            !unknown.empty() && unknown.front().size() > 1 && unknown.front()[0] == '-';
        // A word after "--" is a file name, whatever it looks like.
        if (!unknown.empty() && typed.count(unknown.front())) {
            std::cerr << "clsg: error: " << oneLine(typed[unknown.front()])
                      << " is one file name more than " << parsedName()
                      << " takes: after --, every word is a file name (" << helpOf() << ")\n";
            return 2;
        }
        if ((dynamic_cast<const CLI::RequiredError*>(&e) && !unknown.empty()) ||
            (dynamic_cast<const CLI::ExtrasError*>(&e) && option)) {
            std::cerr << "clsg: error: unknown argument "
                      << oneLine(unknown.front() +
                                 (option ? didYouMean(*parsed, unknown.front()) : ""))
                      << " (" << helpOf() << ")\n";
            return 2;
        }
        std::cerr << "clsg: error: " << oneLine(e.what()) << " (" << helpOf() << ")\n";
        return 2;
    }
    // The studio waits for its signals itself.
    std::optional<InterruptWatch> watch;
    try {
        if (!app.got_subcommand("studio")) watch.emplace();
    } catch (const std::system_error& e) {  // no thread to be had: too little memory, say
        std::cerr << "clsg: error: cannot start the thread that waits for Ctrl-C: "
                  << e.code().message() << "\n";
        return 1;
    }
    // A reader of the console lines that stopped reading must not keep a
    // signal from stopping the command.
    std::optional<StoppableStdout> console;
    if (watch) console.emplace();
    const bool writesFiles = !app.got_subcommand("info") && !app.got_subcommand("evaluate");
    try {
        for (const Command& command : commands)
            if (command.app->parsed()) {
                const int status = command.run();
                // A signal after the last check (a write into a closed pipe, say)
                // still says the command did not finish as asked.
                if (const int signal = interruptSignal()) return interrupted(signal, writesFiles);
                // What the command printed must have arrived (a full disk, say);
                // not so for the studio (no watch), whose last words may go to a
                // reader that has left.
                if (watch && !std::cout.flush()) {
                    // The flush itself may meet a reader that has left.
                    if (const int signal = interruptSignal())
                        return interrupted(signal, writesFiles);
                    std::cerr << kCannotWriteStdout;
                    return 1;
                }
                return status;
            }
    } catch (const UsageError& e) {
        std::cerr << "clsg: error: " << oneLine(e.what()) << " (" << helpOf() << ")\n";
        return 2;
    } catch (const std::bad_alloc&) {
        if (const int signal = interruptSignal()) return interrupted(signal, writesFiles);
        std::cerr << "clsg: error: out of memory\n";
        return 1;
    } catch (const std::exception& e) {
        // After Ctrl-C or SIGTERM whatever stopped the command is the signal.
        if (const int signal = interruptSignal()) return interrupted(signal, writesFiles);
        std::cerr << "clsg: error: " << withClosedStdoutSaid(describeError(e)) << "\n";
        return 1;
    }
    return 1;
}
