// The process-wide stop request: set by the SIGINT/SIGTERM handler, never
// cleared, read without a lock by the mining loop and the long poller.
#pragma once

#include <atomic>

namespace qvn {

extern std::atomic<bool> stop_requested;
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler must be able to set it");

}  // namespace qvn
