#include "interrupt.h"

#include <Python.h>
#include <pybind11/pybind11.h>
#include <pythread.h>
#include <signal.h>

#include <atomic>
#include <mutex>

#include "clsg/platform/attention.h"

namespace clsgpy {

namespace {

std::atomic<unsigned> gInterrupts{0};  // SIGINTs seen by our handler; lock-free
std::mutex gMutex;
int gActive = 0;             // guarded calls in progress
unsigned gCleared = 0;       // gInterrupts when the abort was last withdrawn
bool gMainNotified = false;  // a call on the main thread raised KeyboardInterrupt
struct sigaction gPrevious;
unsigned long gMainThread = 0;

static_assert(std::atomic<unsigned>::is_always_lock_free, "the handler needs a lock-free counter");

extern "C" void onSigint(int) {
    gInterrupts.fetch_add(1, std::memory_order_relaxed);
    ksys_request_abort();
}

}  // namespace

CallGuard::CallGuard() {
    std::lock_guard<std::mutex> lock(gMutex);
    if (gActive++ == 0) {
        struct sigaction ours = {};
        ours.sa_handler = onSigint;
        sigemptyset(&ours.sa_mask);
        sigaction(SIGINT, &ours, &gPrevious);
    }
    entered_ = gCleared;
}

bool CallGuard::interrupted() const {
    return gInterrupts.load(std::memory_order_relaxed) != entered_;
}

void CallGuard::finish() {
    if (!interrupted()) {
        leave();
        return;
    }
    leave();
    throw Interrupted();
}

void CallGuard::leave() {
    if (left_) return;
    left_ = true;
    std::lock_guard<std::mutex> lock(gMutex);
    const bool interrupted = gInterrupts.load(std::memory_order_relaxed) != entered_;
    if (interrupted && PyThread_get_thread_ident() == gMainThread) gMainNotified = true;
    if (--gActive == 0) {
        sigaction(SIGINT, &gPrevious, nullptr);
        const unsigned now = gInterrupts.load(std::memory_order_relaxed);
        if (now != gCleared) {
            ksys_clear_abort();
            gCleared = now;
            // Ctrl-C is meant for the main thread: tell it if no call there
            // already raised KeyboardInterrupt.
            if (!gMainNotified) PyErr_SetInterrupt();
        }
        gMainNotified = false;
    }
}

CallGuard::~CallGuard() { leave(); }

void initInterrupts() {
    namespace py = pybind11;
    gMainThread =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
}

}  // namespace clsgpy
