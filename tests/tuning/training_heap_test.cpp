// The heap setting for the parameter search.
#include "clsg/tuning/training_heap.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

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

}  // namespace
