// Ctrl-C during a long library call.
//
// While any call runs inside a CallGuard, SIGINT no longer goes to Python's
// handler (which could only act once the call returns): it requests the
// library's abort, which every running train, run and image request obeys
// at its next check. The abort request is process-wide, so it is withdrawn
// only when the last guarded call has left; Python's handler comes back then
// too. A call that ends while Ctrl-C was pressed throws Interrupted, which
// becomes KeyboardInterrupt; on a thread other than the main one, Python's
// main thread is interrupted as well. A call the main thread makes once it
// has had its KeyboardInterrupt waits for the stopped calls to end, and then
// runs: a handler can still save or show what was done. All this only while Python's handler
// is its default one: a program that ignores SIGINT or handles it itself is
// left to its own way (its calls run to their end).
#pragma once

#include <exception>
#include <type_traits>

namespace clsgpy {

class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

class CallGuard {
public:
    CallGuard();
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;
    // Leaves without throwing; call finish() on the way out of a call that
    // completed, and let the translator see the call's own exception
    // otherwise (an abort caused by Ctrl-C is rethrown as Interrupted).
    ~CallGuard();

    // Throws Interrupted when Ctrl-C was pressed during the call.
    void finish();

    // Runs f inside a guard: f's abort becomes Interrupted when Ctrl-C
    // caused it.
    template <class F>
    static auto run(F&& f) -> decltype(f()) {
        CallGuard guard;
        try {
            if constexpr (std::is_void_v<decltype(f())>) {
                f();
                guard.finish();
            } else {
                auto value = f();
                guard.finish();
                return value;
            }
        } catch (const Interrupted&) {
            throw;
        } catch (...) {
            if (guard.interrupted()) {
                guard.leave(true);
                throw Interrupted();
            }
            throw;
        }
    }

private:
    bool interrupted() const;
    void leave(bool raising = false);  // raising: the call throws Interrupted
    bool left_ = false;
    unsigned entered_ = 0;  // the interrupt count when the abort was last withdrawn
};

// Remembers Python's main thread; call once from the module's initialisation.
void initInterrupts();

}  // namespace clsgpy
