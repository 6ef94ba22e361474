#include "clsg/tuning/task_threads.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "clsg/colorseg/budget.h"

namespace clsg {

namespace {

// What the threads of one call share.
struct Shared {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::vector<std::exception_ptr> errors;  // per task
    std::mutex lock;
    std::condition_variable changed;  // a task finished or a thread left
    std::size_t finished = 0;         // under lock
    std::size_t working = 0;          // started threads still taking tasks, under lock
};

// Takes tasks until none is left or one has failed.
void takeTasks(Shared& s, std::size_t count, std::size_t thread,
               const std::function<void(std::size_t, std::size_t)>& task) {
    for (std::size_t i; !s.failed && (i = s.next++) < count;) {
        try {
            task(i, thread);
        } catch (...) {
            s.errors[i] = std::current_exception();
            s.failed = true;
        }
        const std::lock_guard<std::mutex> hold(s.lock);
        ++s.finished;
        s.changed.notify_all();
    }
}

// Starts up to `threads` threads taking tasks under the caller's budget;
// fewer when no more can be had.
std::vector<std::thread> startThreads(Shared& s, std::size_t count, std::size_t threads,
                                      const std::function<void(std::size_t, std::size_t)>& task) {
    const kvCompositeColorSegmenterBudget budget = kvCompositeColorSegmenterBudgetScope::current();
    std::vector<std::thread> started;
    try {
        started.reserve(threads);
        for (std::size_t t = 0; t < threads; ++t) {
            {
                const std::lock_guard<std::mutex> hold(s.lock);
                ++s.working;
            }
            try {
                started.emplace_back([&s, &task, budget, count, t] {
                    const kvCompositeColorSegmenterBudgetScope scope(budget);
                    takeTasks(s, count, t, task);
                    const std::lock_guard<std::mutex> hold(s.lock);
                    --s.working;
                    s.changed.notify_all();
                });
            } catch (...) {
                const std::lock_guard<std::mutex> hold(s.lock);
                --s.working;
                throw;
            }
        }
    } catch (...) {  // no more threads to be had
    }
    return started;
}

// Calls done() once per finished task until the started threads have left.
// A throw from done() stops the threads taking tasks; it is rethrown after.
std::exception_ptr reportWhileWorking(Shared& s, const std::function<void()>& done) {
    std::size_t reported = 0;
    for (;;) {
        std::unique_lock<std::mutex> hold(s.lock);
        s.changed.wait(hold, [&] { return s.finished > reported || s.working == 0; });
        const std::size_t finished = s.finished;
        const bool over = s.working == 0;
        hold.unlock();
        try {
            for (; reported < finished; ++reported)
                if (done && !s.failed) done();
        } catch (...) {
            s.failed = true;
            return std::current_exception();
        }
        if (over) return nullptr;
    }
}

}  // namespace

void forEachTask(std::size_t count, std::size_t threads,
                 const std::function<void(std::size_t task, std::size_t thread)>& task,
                 const std::function<void()>& done) {
    Shared s;
    s.errors.resize(count);
    std::vector<std::thread> started;
    if (threads > 1 && count > 1) started = startThreads(s, count, std::min(threads, count), task);
    std::exception_ptr reporting;
    if (started.empty()) {  // the caller's thread does it all
        const auto taskThenDone = [&](std::size_t i, std::size_t thread) {
            task(i, thread);
            if (done) done();
        };
        takeTasks(s, count, 0, taskThenDone);
    } else {
        reporting = reportWhileWorking(s, done);
    }
    for (std::thread& t : started) t.join();
    if (reporting) std::rethrow_exception(reporting);
    for (const std::exception_ptr& e : s.errors)
        if (e) std::rethrow_exception(e);
}

}  // namespace clsg
