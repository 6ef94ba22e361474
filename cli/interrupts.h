// Ctrl-C (SIGINT), SIGTERM, SIGHUP (the terminal closed) and SIGPIPE (the
// reader of the output went away, as with `clsg run ... | head -1`) for the
// commands that write files.
//
// While an InterruptWatch lives, SIGINT, SIGTERM and SIGHUP are blocked in the
// thread that made it and in the threads started afterwards, and a thread of
// its own waits for them; SIGPIPE gets a handler. The first signal is recorded
// and asks the library's running calls to stop (ksys_request_abort); the
// command then unwinds as from any failure, its OutputFiles remove the
// temporary files of outputs not yet renamed, and main exits with 128 + the
// signal number (130, 143, 129, 141). A second SIGINT, SIGTERM or SIGHUP ends
// the process with the first one's status if the command has not finished
// stopping 2 s later (a third ends it at once), unless it is the first one
// again within a quarter of a second (as `timeout` sends it, to the process
// and then its group); further SIGPIPEs (one per write to the closed pipe)
// change nothing. A command still stopping 10 s after the first SIGINT,
// SIGTERM or SIGHUP (CLSG_STOP_SECONDS sets another bound) is ended so too:
// service managers send one SIGTERM, then SIGKILL. SIGINT or SIGHUP that the
// process started with ignored (`nohup`, a script's background job) is left
// ignored.
#pragma once

#include <signal.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <stdexcept>
#include <string>
#include <thread>

namespace clsg {

class Interrupted : public std::runtime_error {
public:
    explicit Interrupted(int signal) : std::runtime_error("interrupted"), signal_(signal) {}
    int signal() const { return signal_; }

private:
    int signal_;
};

class InterruptWatch {
public:
    InterruptWatch();
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

private:
    // The waiter's loop: records the first signal, ends the process at a
    // second or when the stop outlasts stopBound_.
    void watch();
    // Removes the partial files, says why on stderr and _exits with
    // 128 + signal.
    [[noreturn]] static void endNow(const std::string& why, int signal);
    // The next of the watched signals, or 0 (none within timeoutMs, or
    // closing); -1 waits as long as it takes.
    int nextSignal(int timeoutMs = -1);
    // Whether the watch closes within grace, no other signal coming first.
    bool closedWithin(std::chrono::milliseconds grace);

    std::chrono::seconds stopBound_;
    sigset_t set_, old_;
    int signals_ = -1, wake_ = -1;
    struct sigaction oldPipe_ = {};
    std::atomic<bool> closing_{false};
    std::thread waiter_;
};

// The signal caught so far (0: none).
// SIGTERM, SIGINT and SIGHUP, less SIGINT or SIGHUP where they are ignored.
sigset_t stopSignals();

int interruptSignal();
// For a process about to end at once: removes the temporary files of outputs
// not yet in place, and says so ("; finished outputs kept, ...").
std::string removePartialFiles();
// Throws Interrupted once a signal was caught.
void checkInterrupt();

}  // namespace clsg
