#include "clsg/clrsgint/cpu_features.h"

#include <atomic>

namespace {

kvSimdLevel detect() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq"))
        return kvSimdLevel::Avx512;
    if (__builtin_cpu_supports("avx2")) return kvSimdLevel::Avx2;
#endif
    return kvSimdLevel::Portable;
}

std::atomic<int> gLimit{static_cast<int>(kvSimdLevel::Avx512)};

}  // namespace

kvSimdLevel kvActiveSimd() {
    static const kvSimdLevel supported = detect();
    const int limit = gLimit.load(std::memory_order_relaxed);
    return static_cast<int>(supported) < limit ? supported : static_cast<kvSimdLevel>(limit);
}

kvSimdLevel kvSetSimdLimit(kvSimdLevel limit) {
    return static_cast<kvSimdLevel>(gLimit.exchange(static_cast<int>(limit)));
}
