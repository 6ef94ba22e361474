#include "cli/interrupts.h"

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

#include "clsg/platform/attention.h"

namespace clsg {

namespace {

std::atomic<int> caught{0};
// The first signal sent again this soon is the same request: `timeout` sends
// its signal to the process and then to its group, and a shell may pass one
// Ctrl-C on twice.
constexpr std::chrono::milliseconds kRepeatWindow{250};
static_assert(std::atomic<int>::is_always_lock_free, "used in a signal handler");

// SIGPIPE comes to the thread whose write found the reader gone, and again
// with each later write: a handler records the first (ends nothing at once).
extern "C" void onBrokenPipe(int) {
    int none = 0;
    if (caught.compare_exchange_strong(none, SIGPIPE)) ksys_request_abort();
}

}  // namespace

InterruptWatch::InterruptWatch() {
    struct sigaction pipe = {};
    pipe.sa_handler = onBrokenPipe;
    sigemptyset(&pipe.sa_mask);
    sigaction(SIGPIPE, &pipe, &oldPipe_);
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set_, &old_);
    waiter_ = std::thread([this]() {
        const timespec tick{0, 50 * 1000 * 1000};
        std::chrono::steady_clock::time_point first;
        while (!closing_) {
            const int signal = sigtimedwait(&set_, nullptr, &tick);
            if (signal <= 0) continue;  // timeout or EINTR
            const auto now = std::chrono::steady_clock::now();
            int earlier = 0;
            if (caught.compare_exchange_strong(earlier, signal)) {
                first = now;
                ksys_request_abort();
            } else if (signal != earlier || now - first > kRepeatWindow) {
                _exit(128 + earlier);
            }
        }
    });
}

InterruptWatch::~InterruptWatch() {
    closing_ = true;
    waiter_.join();
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    sigaction(SIGPIPE, &oldPipe_, nullptr);
}

int interruptSignal() { return caught.load(); }

void checkInterrupt() {
    if (const int signal = caught.load()) throw Interrupted(signal);
}

}  // namespace clsg
