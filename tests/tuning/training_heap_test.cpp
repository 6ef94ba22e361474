// The heap setting for the parameter search.
#include "clsg/tuning/training_heap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

// The heap is grown ahead and backed by huge pages on
// request: the advised part shows as a heap mapping of its own with the "hg"
// flag, none of it touched yet.
TEST(TrainingHeap, GrowsTheHeapAheadAndAsksForHugePagesOverIt) {
#if defined(__GLIBC__) && defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
    if (!std::filesystem::exists("/sys/kernel/mm/transparent_hugepage/enabled"))
        GTEST_SKIP() << "no transparent huge pages";
    clsg::useTrainingHeap();
    std::ifstream smaps("/proc/self/smaps");
    std::string line, name;
    unsigned long lo = 0, hi = 0, advised = 0, rss = 0, rssKb = 0;
    while (std::getline(smaps, line)) {
        if (std::sscanf(line.c_str(), "%lx-%lx", &lo, &hi) == 2 && line.find(':') > 8) {
            name = line.substr(line.find_last_of(' ') + 1);
        } else if (std::sscanf(line.c_str(), "Rss: %lu kB", &rssKb) == 1) {
            rss = rssKb;
        } else if (line.rfind("VmFlags:", 0) == 0 && name == "[heap]" &&
                   (line + " ").find(" hg ") != std::string::npos) {
            advised += hi - lo;
            EXPECT_LT(rss, 8u << 10) << "advised heap touched";
        }
    }
    EXPECT_GE(advised, 120ul << 20);  // 128 MiB less the 2 MiB alignment at each end
#else
    GTEST_SKIP() << "glibc on Linux only";
#endif
}

// A thread's tables come from the prepared heap, not from a heap of the
// thread's own.
TEST(TrainingHeap, ThreadsShareIt) {
#if defined(__GLIBC__) && defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
    clsg::useTrainingHeap();
    clsg::shareTrainingHeapWithThreads();
    std::uintptr_t table = 0;
    std::thread([&table] {
        void* volatile block = std::malloc(4 << 20);
        table = reinterpret_cast<std::uintptr_t>(block);
        std::free(block);
    }).join();
    std::ifstream maps("/proc/self/maps");
    std::string line;
    bool inHeap = false;
    unsigned long lo = 0, hi = 0;
    while (std::getline(maps, line))
        if (std::sscanf(line.c_str(), "%lx-%lx", &lo, &hi) == 2 && table >= lo && table < hi)
            inHeap = line.find("[heap]") != std::string::npos;
    EXPECT_TRUE(inHeap) << std::hex << table;
#else
    GTEST_SKIP() << "glibc on Linux only";
#endif
}

}  // namespace
