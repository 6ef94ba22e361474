#include "cli/interrupts.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>

#include "clsg/io/output_files.h"
#include "clsg/io/stream_write.h"
#include "clsg/platform/attention.h"

namespace clsg {

namespace {

std::atomic<int> caught{0};
// The first signal sent again this soon is the same request: `timeout` sends
// its signal to the process and then to its group, and a shell may pass one
// Ctrl-C on twice.
constexpr std::chrono::milliseconds kRepeatWindow{250};
// A command asked to stop removes its temporary files and writes its summary
// within moments: a second request waits this long for that before it ends
// the process (a third ends it at once).
constexpr std::chrono::milliseconds kStoppingGrace{2000};
// A stop that takes far longer than that is hung, and ends as at a second
// signal: one SIGTERM, then SIGKILL, as service managers send, would leave
// the partial files.
constexpr std::chrono::seconds kStopBound{10};
static_assert(std::atomic<int>::is_always_lock_free, "used in a signal handler");

// SIGPIPE comes to the thread whose write found the reader gone, and again
// with each later write: a handler records the first (ends nothing at once).
extern "C" void onBrokenPipe(int) {
    int none = 0;
    if (caught.compare_exchange_strong(none, SIGPIPE)) ksys_request_abort();
}

int millisecondsUntil(std::chrono::steady_clock::time_point when) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        when - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

// How long a command asked to stop may take before it is ended as by a
// second signal: CLSG_STOP_SECONDS, else kStopBound.
std::chrono::seconds stopBound() {
    const char* given = std::getenv("CLSG_STOP_SECONDS");
    if (!given || !*given) return kStopBound;
    char* end = nullptr;
    errno = 0;
    const long seconds = std::strtol(given, &end, 10);
    if (*end == '\0' && errno == 0 && seconds >= 1 && seconds <= 3600)
        return std::chrono::seconds(seconds);
    std::cerr << "clsg: note: CLSG_STOP_SECONDS is not a whole number of seconds from 1 to "
                 "3600; a stop is given "
              << kStopBound.count() << " s\n";
    return kStopBound;
}

}  // namespace

InterruptWatch::InterruptWatch() : stopBound_(stopBound()) {
    struct sigaction pipe = {};
    pipe.sa_handler = onBrokenPipe;
    sigemptyset(&pipe.sa_mask);
    sigaction(SIGPIPE, &pipe, &oldPipe_);
    set_ = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set_, &old_);
    // A signal descriptor and a wake-up the destructor writes: a command
    // that ends does not wait for a tick of the waiter. Without descriptors
    // to spare, the waiter looks for a signal every 50 ms instead.
    signals_ = signalfd(-1, &set_, SFD_CLOEXEC);
    wake_ = signals_ < 0 ? -1 : eventfd(0, EFD_CLOEXEC);
    waiter_ = std::thread([this]() { watch(); });
}

void InterruptWatch::watch() {
    int first = 0;  // the first signal this thread took, at `at`
    std::chrono::steady_clock::time_point at;
    while (!closing_) {
        const int signal = nextSignal(first ? millisecondsUntil(at + stopBound_) : -1);
        const auto now = std::chrono::steady_clock::now();
        if (closing_) return;
        if (signal <= 0) {  // timeout, EINTR or the wake-up
            // A stop that hangs (a write no reader takes, a library's
            // teardown) must not outlast a service manager's patience.
            if (first && now >= at + stopBound_)
                endNow("clsg: stopped at once, as it had not stopped within " +
                           std::to_string(stopBound_.count()) + " s of the signal",
                       first);
            continue;
        }
        int earlier = 0;
        if (caught.compare_exchange_strong(earlier, signal)) {
            first = signal;
            at = now;
            ksys_request_abort();
        } else if ((signal != earlier || now - at > kRepeatWindow) &&
                   !closedWithin(kStoppingGrace)) {
            endNow("clsg: stopped at once by a second signal", earlier);
        }
    }
}

bool InterruptWatch::closedWithin(std::chrono::milliseconds grace) {
    const auto end = std::chrono::steady_clock::now() + grace;
    while (!closing_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || nextSignal(static_cast<int>(left.count())) > 0) return false;
    }
    return true;
}

void InterruptWatch::endNow(const std::string& why, int signal) {
    const std::string said = why + removePartialFiles() + "\n";
    // Not held by a stderr nobody reads: the abort is requested by now.
    (void)writeUnlessStopped(STDERR_FILENO, said.data(), said.size());
    _exit(128 + signal);
}

int InterruptWatch::nextSignal(int timeoutMs) {
    if (wake_ < 0) {
        const long ms = timeoutMs < 0 || timeoutMs > 50 ? 50 : timeoutMs;
        const timespec tick{0, ms * 1000 * 1000};
        return sigtimedwait(&set_, nullptr, &tick);
    }
    pollfd fds[2] = {{signals_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0 || !(fds[0].revents & POLLIN)) return 0;
    signalfd_siginfo info;
    if (read(signals_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 0;
    return static_cast<int>(info.ssi_signo);
}

InterruptWatch::~InterruptWatch() {
    closing_ = true;
    if (wake_ >= 0) {
        const uint64_t one = 1;
        while (write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
    waiter_.join();
    if (wake_ >= 0) close(wake_);
    if (signals_ >= 0) close(signals_);
    // Once stopped by a signal, a later one is part of the same request: it
    // stays blocked, and the process ends with the first one's status.
    if (caught.load() == 0) pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    sigaction(SIGPIPE, &oldPipe_, nullptr);
}

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    // One the caller set to be ignored stays ignored: `nohup` ignores SIGHUP
    // and a script's background job SIGINT, so that they outlive the terminal
    // (watched, a blocked signal would come all the same).
    for (const int signal : {SIGINT, SIGHUP}) {
        struct sigaction now = {};
        if (sigaction(signal, nullptr, &now) != 0 || now.sa_handler != SIG_IGN)
            sigaddset(&set, signal);
    }
    return set;
}

int interruptSignal() { return caught.load(); }

void checkInterrupt() {
    if (const int signal = caught.load()) throw Interrupted(signal);
}

std::string removePartialFiles() {
    return removeTemporariesNow() ? "; finished outputs kept, partial files removed"
                                  : "; finished outputs kept, but the partial files could not all "
                                    "be removed (hidden files named .NAME.tmp-XXXXXX)";
}

}  // namespace clsg
