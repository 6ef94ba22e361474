// Aborting a long call from a real second thread.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

#include "clsg/platform/attention.h"
#include "clsg/platform/exception.h"

// Repeats call, another thread aborting after 20 ms: true once it throws kvAbortRequested.
inline bool abortedFromAnotherThread(const std::function<void()>& call) {
    ksys_clear_abort();
    std::thread aborter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ksys_request_abort();
    });
    bool stopped = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!stopped && std::chrono::steady_clock::now() < deadline) try {
            call();
        } catch (const kvAbortRequested&) {
            stopped = true;
        }
    aborter.join();
    ksys_clear_abort();
    return stopped;
}
