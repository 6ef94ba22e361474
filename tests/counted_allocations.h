// Replaces the global operator new and delete of a test program, so that it
// can watch the allocations of the code under test. The program defines
// clsgtest::noteAllocation, which sees every size asked for (from any thread).
// Include it in one file of the program only.
#pragma once

#include <cstdlib>
#include <new>

namespace clsgtest {
void noteAllocation(std::size_t bytes);
inline void* countedAllocation(std::size_t n, std::size_t align) {
    noteAllocation(n);
    void* p = nullptr;
    if (posix_memalign(&p, align < sizeof(void*) ? sizeof(void*) : align, n ? n : 1) != 0)
        throw std::bad_alloc();
    return p;
}
}  // namespace clsgtest

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) { return clsgtest::countedAllocation(n, sizeof(void*)); }
void* operator new(std::size_t n, std::align_val_t al) {
    return clsgtest::countedAllocation(n, static_cast<std::size_t>(al));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
