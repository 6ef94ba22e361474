#include "clsg/tuning/training_heap.h"

#include <cstdint>
#include <cstdlib>

#ifdef __GLIBC__
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace clsg {

#ifdef __GLIBC__
namespace {

constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
constexpr int kHeapReserve = 128 << 20;

// Grows the heap by kHeapReserve of address space (nothing is touched) and
// asks for huge pages over the whole 2 MiB pages inside what it grew by.
void adviseHugePages() {
#ifdef MADV_HUGEPAGE
    mallopt(M_TOP_PAD, kHeapReserve);
    const auto before = reinterpret_cast<std::uintptr_t>(sbrk(0));
    // More than the fresh heap holds (volatile, or the compiler drops the pair);
    // freed back into the heap's top, which stays grown.
    void* volatile block = std::malloc(1 << 20);
    std::free(block);
    const auto after = reinterpret_cast<std::uintptr_t>(sbrk(0));
    if (after <= before) return;  // the heap could not grow (glibc mapped the block)
    const std::uintptr_t lo = (before + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t hi = after & ~(kHugePage - 1);
    if (hi > lo) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);  // a hint
#endif
}

}  // namespace
#endif

void useTrainingHeap() {
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    adviseHugePages();
#endif
}

void shareTrainingHeapWithThreads() {
#ifdef __GLIBC__
    mallopt(M_ARENA_MAX, 1);
#endif
}

}  // namespace clsg
