// A flag that wakes whoever waits on it. Looking at a flag now and then
// leaves a stop waiting for the next look (libcurl looks about once a second
// while a transfer is idle); a wait that polls the flag's descriptor beside
// its own (a transfer's sockets) ends as soon as the flag is set.
#pragma once

#include <atomic>
#include <chrono>
#include <initializer_list>

namespace qvn {

class WakeFlag {
  public:
    // An eventfd. Should none be had (no descriptor left), waits still end
    // on the flag, only no sooner than their next look.
    WakeFlag();
    ~WakeFlag();
    WakeFlag(const WakeFlag&) = delete;
    WakeFlag& operator=(const WakeFlag&) = delete;

    // Raises the flag and makes fd() readable; safe in a signal handler.
    void set() noexcept;
    // Lowers it again. Never at the same time as set(): the owner's lock
    // orders them (a signal handler's flag is never lowered).
    void clear() noexcept;
    bool is_set() const noexcept { return flag_.load(); }
    // Readable while the flag is up; -1 without a descriptor.
    int fd() const noexcept { return fd_; }
    // The flag alone, for code that only looks at it (the workers).
    const std::atomic<bool>& flag() const noexcept { return flag_; }

  private:
    std::atomic<bool> flag_{false};
    int fd_;
};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler must be able to set it");

// Waits until one of the flags is up, at most limit; true when one is.
bool wait_for_any(std::initializer_list<const WakeFlag*> flags, std::chrono::nanoseconds limit);

}  // namespace qvn
