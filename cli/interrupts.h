// Ctrl-C (SIGINT) and SIGTERM for the commands that write files.
//
// While an InterruptWatch lives, the two signals are blocked in the thread
// that made it and in the threads started afterwards, and a thread of its own
// waits for them. The first one is recorded and asks the library's running
// calls to stop (ksys_request_abort); the command then unwinds as from any
// failure, its OutputFiles remove the temporary files of outputs not yet
// renamed, and main exits with 128 + the signal number (130, 143). A second
// signal ends the process at once with that status.
#pragma once

#include <atomic>
#include <csignal>
#include <stdexcept>
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
    sigset_t set_, old_;
    std::atomic<bool> closing_{false};
    std::thread waiter_;
};

// The signal caught so far (0: none).
int interruptSignal();
// Throws Interrupted once a signal was caught.
void checkInterrupt();

}  // namespace clsg
