#include "clsg/platform/attention.h"

#include <atomic>

namespace {
std::atomic<bool> gAbortRequested{false};
}  // namespace

// The status value a failed check returns; kfThrowExceptionOnFailure maps it
// to kvAbortRequested.
long ksys_attention_check() { return gAbortRequested.load(std::memory_order_relaxed) ? 1 : 0; }

void ksys_request_abort() { gAbortRequested.store(true, std::memory_order_relaxed); }

void ksys_clear_abort() { gAbortRequested.store(false, std::memory_order_relaxed); }
