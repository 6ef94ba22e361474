#include "cli/interrupts.h"

#include <pthread.h>
#include <unistd.h>

#include <ctime>

#include "clsg/platform/attention.h"

namespace clsg {

namespace {

std::atomic<int> caught{0};

}  // namespace

InterruptWatch::InterruptWatch() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, &old_);
    waiter_ = std::thread([this]() {
        const timespec tick{0, 50 * 1000 * 1000};
        while (!closing_) {
            const int signal = sigtimedwait(&set_, nullptr, &tick);
            if (signal <= 0) continue;  // timeout or EINTR
            int none = 0;
            if (!caught.compare_exchange_strong(none, signal)) _exit(128 + caught.load());
            ksys_request_abort();
        }
    });
}

InterruptWatch::~InterruptWatch() {
    closing_ = true;
    waiter_.join();
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

int interruptSignal() { return caught.load(); }

void checkInterrupt() {
    if (const int signal = caught.load()) throw Interrupted(signal);
}

}  // namespace clsg
