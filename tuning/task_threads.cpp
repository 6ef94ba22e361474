#include "clsg/tuning/task_threads.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

#include "clsg/colorseg/budget.h"

namespace clsg {

namespace {

// What the threads of one call share.
struct Shared {
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> finished{0};
    std::atomic<bool> failed{false};
    std::vector<std::exception_ptr> errors;  // per task
};

// Takes tasks until none is left or one has failed, calling tick after each.
void takeTasks(Shared& s, std::size_t count, std::size_t thread,
               const std::function<void(std::size_t, std::size_t)>& task,
               const std::function<void()>& tick) {
    for (std::size_t i; !s.failed && (i = s.next++) < count;) {
        try {
            task(i, thread);
        } catch (...) {
            s.errors[i] = std::current_exception();
            s.failed = true;
        }
        ++s.finished;
        tick();
    }
}

}  // namespace

void forEachTask(std::size_t count, std::size_t threads,
                 const std::function<void(std::size_t task, std::size_t thread)>& task,
                 const std::function<void()>& done) {
    Shared s;
    s.errors.resize(count);
    std::size_t reported = 0;
    const auto report = [&] {
        for (const std::size_t n = s.finished; reported < n; ++reported)
            if (done) done();
    };
    const kvCompositeColorSegmenterBudget budget = kvCompositeColorSegmenterBudgetScope::current();
    std::vector<std::thread> started;
    try {
        started.reserve(std::min(threads, count));
        for (std::size_t t = 1; t < std::min(threads, count); ++t)
            started.emplace_back([&, t] {
                const kvCompositeColorSegmenterBudgetScope scope(budget);
                takeTasks(s, count, t, task, [] {});
            });
    } catch (...) {  // no thread to be had: the caller's does the rest
    }
    std::exception_ptr reporting;  // from done(), after which no task starts
    try {
        takeTasks(s, count, 0, task, report);
    } catch (...) {
        reporting = std::current_exception();
        s.failed = true;
    }
    for (std::thread& t : started) t.join();
    if (reporting) std::rethrow_exception(reporting);
    if (!s.failed) report();
    for (const std::exception_ptr& e : s.errors)
        if (e) std::rethrow_exception(e);
}

}  // namespace clsg
