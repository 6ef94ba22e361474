#include "interrupt.h"

#include <Python.h>
#include <pthread.h>
#include <pybind11/pybind11.h>
#include <pythread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "clsg/platform/attention.h"

namespace clsgpy {

namespace {

std::atomic<unsigned> gInterrupts{0};  // SIGINTs seen by our handler; lock-free
std::mutex gMutex;
int gActive = 0;             // guarded calls in progress
unsigned gCleared = 0;       // gInterrupts when the abort was last withdrawn
bool gMainNotified = false;  // a call on the main thread raised KeyboardInterrupt
int gMainActive = 0;         // guarded calls in progress on the main thread
bool gMainTold = false;      // the main thread was told of the Ctrl-C
unsigned gToldAt = 0;        // gInterrupts when the main thread last raised or was told
bool gInstalled = false;     // onSigint handles SIGINT while calls are active
struct sigaction gPrevious;
unsigned long gMainThread = 0;
PyObject* gGetSignal = nullptr;       // signal.getsignal, kept for good
PyObject* gDefaultHandler = nullptr;  // signal.default_int_handler

static_assert(std::atomic<unsigned>::is_always_lock_free, "the handler needs a lock-free counter");

extern "C" void onSigint(int) {
    gInterrupts.fetch_add(1, std::memory_order_relaxed);
    ksys_request_abort();
}

// Whether Python's handler for SIGINT is its default one, which raises
// KeyboardInterrupt. A program that ignores Ctrl-C (a pool's worker, a job
// started in the background) or handles it itself keeps its way: its calls
// run to their end, and its own handler runs once they return. A signal
// that came just before the call has its Python handler run here: what that
// raises (Ctrl-C's KeyboardInterrupt) is thrown, and the call is not made.
bool pythonRaisesOnSigint() {
    const PyGILState_STATE state = PyGILState_Ensure();
    PyObject* handler = PyErr_CheckSignals() == 0  // on the main thread: run what is pending
                            ? PyObject_CallFunction(gGetSignal, "i", SIGINT)
                            : nullptr;
    if (handler == nullptr) {
        pybind11::error_already_set raised;
        PyGILState_Release(state);
        throw std::move(raised);
    }
    const bool raises = handler == gDefaultHandler;
    Py_DECREF(handler);
    PyGILState_Release(state);
    return raises;
}

bool onMainThread() { return PyThread_get_thread_ident() == gMainThread; }

// Ctrl-C is meant for the main thread: the first call of another thread that
// it stopped tells the main one, unless a call there will raise
// KeyboardInterrupt itself. At once, not when the last call leaves: a main
// thread waiting for the calls' results (a Dask compute) raised the first
// one's KeyboardInterrupt, then its own as well. Under gMutex.
void tellMainThread() {
    if (gMainNotified || gMainTold || gMainActive > 0) return;
    gMainTold = true;
    gToldAt = gInterrupts.load(std::memory_order_relaxed);
    PyErr_SetInterrupt();
}

// A call the main thread makes once it has had Ctrl-C's KeyboardInterrupt
// (in an `except KeyboardInterrupt:` that saves or shows the work done)
// waits for the calls Ctrl-C stopped on other threads to end, so that it is
// not stopped as well: until the abort is withdrawn, as the last of them
// leaves (calls begun after that were not stopped). A Ctrl-C after the one
// the main thread had stops it. Under gMutex; polled, as a handler cannot
// wake a waiter (and a condition variable with a waiter does not survive a
// fork).
void waitForStoppedCalls(std::unique_lock<std::mutex>& lock) {
    if (!(gMainNotified || gMainTold) || gMainActive > 0) return;
    const unsigned cleared = gCleared;
    for (;;) {
        const unsigned now = gInterrupts.load(std::memory_order_relaxed);
        if (now != gToldAt) {
            gToldAt = now;  // this KeyboardInterrupt is the main thread's for it
            throw Interrupted();
        }
        if (gActive == 0 || gCleared != cleared) return;
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        lock.lock();
    }
}

}  // namespace

CallGuard::CallGuard() {
    const bool takeOver = pythonRaisesOnSigint();  // before the lock: it takes the GIL
    std::unique_lock<std::mutex> lock(gMutex);
    if (onMainThread()) waitForStoppedCalls(lock);
    gMainActive += onMainThread();
    if (gActive++ == 0) {
        // An abort a Ctrl-C requested as the last call left, after it was
        // withdrawn, and already counted there, stopped no call: it goes.
        if (gInterrupts.load(std::memory_order_relaxed) == gCleared) ksys_clear_abort();
        gInstalled = takeOver;
        struct sigaction ours = {};
        ours.sa_handler = onSigint;
        sigemptyset(&ours.sa_mask);
        if (takeOver) sigaction(SIGINT, &ours, &gPrevious);
    }
    entered_ = gCleared;
}

bool CallGuard::interrupted() const {
    return gInterrupts.load(std::memory_order_relaxed) != entered_;
}

void CallGuard::finish() {
    const bool raising = interrupted();
    leave(raising);
    if (raising) throw Interrupted();
}

// A Ctrl-C that comes after the call decided not to raise (it had just
// finished) still counts: the main thread is told of it below, as of one
// that stopped another thread's call.
void CallGuard::leave(bool raising) {
    if (left_) return;
    left_ = true;
    std::lock_guard<std::mutex> lock(gMutex);
    const bool interrupted = gInterrupts.load(std::memory_order_relaxed) != entered_;
    if (onMainThread()) {
        --gMainActive;
        if (raising) {
            gMainNotified = true;
            gToldAt = gInterrupts.load(std::memory_order_relaxed);
        }
    } else if (interrupted) {
        tellMainThread();
    }
    if (--gActive == 0) {
        if (gInstalled) {
            // Only our handler is undone: one the program set meanwhile stays.
            struct sigaction current;
            sigaction(SIGINT, nullptr, &current);
            if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == onSigint)
                sigaction(SIGINT, &gPrevious, nullptr);
        }
        const unsigned now = gInterrupts.load(std::memory_order_relaxed);
        if (now != gCleared) {
            ksys_clear_abort();
            gCleared = now;
            tellMainThread();
        }
        // A Ctrl-C after the one the main thread had (pressed again while a
        // stopped call was still ending) is its own KeyboardInterrupt.
        if ((gMainNotified || gMainTold) && now != gToldAt) PyErr_SetInterrupt();
        gMainNotified = gMainTold = false;
    }
}

CallGuard::~CallGuard() { leave(); }

namespace {

// A child forked while other threads were in calls has none of them: it
// starts as if no call were in progress (Ctrl-C Python's again, no abort).
void beforeFork() { gMutex.lock(); }
void afterForkInParent() { gMutex.unlock(); }
void afterForkInChild() {
    if (gActive > 0 && gInstalled) {
        struct sigaction current;
        sigaction(SIGINT, nullptr, &current);
        if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == onSigint)
            sigaction(SIGINT, &gPrevious, nullptr);
    }
    gActive = gMainActive = 0;
    gInstalled = gMainNotified = gMainTold = false;
    ksys_clear_abort();
    gCleared = gToldAt = gInterrupts.load(std::memory_order_relaxed);
    gMainThread = PyThread_get_thread_ident();  // the forking thread is the child's main one
    gMutex.unlock();
}

}  // namespace

void initInterrupts() {
    namespace py = pybind11;
    const py::module_ signal = py::module_::import("signal");
    gGetSignal = py::object(signal.attr("getsignal")).release().ptr();
    gDefaultHandler = py::object(signal.attr("default_int_handler")).release().ptr();
    gMainThread =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    pthread_atfork(beforeFork, afterForkInParent, afterForkInChild);
}

}  // namespace clsgpy
