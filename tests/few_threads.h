// Runs a check in a child process that can start only a few more threads, or
// none: where a call that starts threads meets a system that will not give
// it all it asks for.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

// The child's exit status: 0 when check() returned true, 1 when false, 2 when
// it threw, 3 when the limit could not be set and 4 when it did not bite.
// Threads that wait take the address space a limit leaves until one is
// refused; `spare` of them then end, and their stacks are all check() can
// have for its own.
template <class Check>
int withFewThreads(int spare, Check check) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::ifstream status("/proc/self/status");
        long kb = 0;
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmSize:", 0) == 0) kb = std::stol(line.substr(7));
        const rlimit limit{rlim_t(kb + 64 * 1024) * 1024, rlim_t(kb + 64 * 1024) * 1024};
        if (kb == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
        std::atomic<int> ended{0};  // threads below this index end
        std::vector<std::thread> probe;
        probe.reserve(600);
        bool refused = false;
        try {
            for (int t = 0; t < 600; ++t)
                probe.emplace_back([&ended, t] {
                    while (ended <= t) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                });
        } catch (const std::system_error&) {
            refused = true;
        }
        if (!refused || probe.size() < std::size_t(spare)) _exit(4);
        ended = spare;
        for (int t = 0; t < spare; ++t) probe[t].join();
        int code = 2;
        try {
            code = check() ? 0 : 1;
        } catch (...) {
        }
        ended = 600;
        for (std::size_t t = spare; t < probe.size(); ++t) probe[t].join();
        _exit(code);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
