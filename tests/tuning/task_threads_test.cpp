#include "clsg/tuning/task_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "clsg/colorseg/budget.h"

using clsg::forEachTask;

// Every task runs once, on the threads asked for (the caller's alone for one),
// under the caller's training budget; done() counts them on the caller's
// thread, each as it finishes.
TEST(TaskThreads, EveryTaskOnceUnderTheCallersBudgetDoneOnTheCaller) {
    kvCompositeColorSegmenterBudget budget;
    budget.maxBytes = 12345;
    const kvCompositeColorSegmenterBudgetScope scope(budget);
    const std::thread::id caller = std::this_thread::get_id();
    for (const std::size_t threads : {1, 3}) {
        std::vector<std::atomic<int>> runs(40);
        std::mutex lock;
        std::set<std::size_t> slots;
        std::set<std::thread::id> ids;
        std::atomic<int> underBudget{0};
        std::size_t done = 0;
        forEachTask(
            runs.size(), threads,
            [&](std::size_t i, std::size_t slot) {
                ++runs[i];
                if (kvCompositeColorSegmenterBudgetScope::current().maxBytes == 12345)
                    ++underBudget;
                // Slow enough that every thread takes some.
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                const std::lock_guard<std::mutex> hold(lock);
                slots.insert(slot);
                ids.insert(std::this_thread::get_id());
                EXPECT_EQ(threads == 1, std::this_thread::get_id() == caller);
            },
            [&] {
                EXPECT_EQ(std::this_thread::get_id(), caller);
                ++done;
            });
        for (const std::atomic<int>& n : runs) EXPECT_EQ(n, 1);
        EXPECT_EQ(underBudget, 40);
        EXPECT_EQ(done, 40u);
        EXPECT_EQ(slots.size(), threads);
        EXPECT_EQ(ids.size(), threads);
    }
}

// done() follows the tasks as they finish, not in order of i: a slow first
// task does not hold back the news of the others.
TEST(TaskThreads, DoneIsToldOfEachTaskAsItFinishes) {
    std::atomic<bool> firstOver{false};
    std::size_t toldBeforeTheFirst = 0;
    forEachTask(
        6, 2,
        [&](std::size_t i, std::size_t) {
            if (i == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                firstOver = true;
            }
        },
        [&] {
            if (!firstOver) ++toldBeforeTheFirst;
        });
    EXPECT_EQ(toldBeforeTheFirst, 5u);
}

// The failure of the first failing task is the one thrown, and no task starts
// after a failure; one from done() is thrown once every thread has stopped.
TEST(TaskThreads, TheFirstFailureIsThrownAfterEveryThreadStops) {
    for (const std::size_t threads : {1, 2, 4}) {
        std::atomic<std::size_t> ran{0};
        try {
            forEachTask(
                1000, threads,
                [&](std::size_t i, std::size_t) {
                    ++ran;
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    if (i == 5 || i == 9) throw std::runtime_error(std::to_string(i));
                },
                nullptr);
            ADD_FAILURE() << "nothing thrown";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "5");
        }
        // The others stop soon after (how soon depends on the scheduler: a
        // loaded machine ran 11 tasks of 4 threads before the stop).
        EXPECT_LT(ran, 500u) << threads << " threads";

        std::atomic<int> running{0};
        std::atomic<std::size_t> told{0};
        ran = 0;
        EXPECT_THROW(forEachTask(
                         50, threads,
                         [&](std::size_t i, std::size_t) {
                             ++running;
                             ++ran;
                             // Past the fourth, each waits until the caller has been told of
                             // four: a caller's thread the scheduler left waiting saw all 50
                             // run before its first done(). Then each takes 10 ms, so that
                             // the rest cannot all run in the moment between the throw and
                             // the stop (as they did, done at once, under a sanitizer).
                             for (int k = 0; i >= 4 && told < 4 && k < 5000; ++k)
                                 std::this_thread::sleep_for(std::chrono::milliseconds(1));
                             if (i >= 4) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                             --running;
                         },
                         [&] {
                             if (++told == 4) throw std::logic_error("stop");
                         }),
                     std::logic_error);
        EXPECT_EQ(running, 0);  // every thread joined before the throw
        EXPECT_LT(ran, 50u);
    }
}
