#include "rpc/wake_flag.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

namespace qvn {
namespace {

using Clock = std::chrono::steady_clock;

// Made before main (the process's stop flag) the descriptor would take a
// closed standard stream's number, and that stream's lines would go to it.
int wake_descriptor() {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    const int above = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);  // still non-blocking
    ::close(fd);
    return above;
}

}  // namespace

WakeFlag::WakeFlag() : fd_(wake_descriptor()) {}

WakeFlag::~WakeFlag() {
    if (fd_ >= 0) ::close(fd_);
}

void WakeFlag::set() noexcept {
    flag_.store(true);
    if (fd_ < 0) return;
    const int saved = errno;  // a signal handler leaves errno as it found it
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t wrote = ::write(fd_, &one, sizeof one);
    errno = saved;
}

void WakeFlag::clear() noexcept {
    if (fd_ >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t read = ::read(fd_, &count, sizeof count);
    }
    flag_.store(false);
}

bool wait_for_any(std::initializer_list<const WakeFlag*> flags, std::chrono::nanoseconds limit) {
    const auto up = [&flags] {
        return std::any_of(flags.begin(), flags.end(),
                           [](const WakeFlag* f) { return f->is_set(); });
    };
    std::vector<pollfd> fds;
    for (const WakeFlag* flag : flags) fds.push_back({flag->fd(), POLLIN, 0});
    const Clock::time_point until = Clock::now() + limit;
    for (Clock::time_point now = Clock::now(); !up(); now = Clock::now()) {
        if (now >= until) return false;
        // Whole milliseconds, rounded up: a wait never ends just short of its limit.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
        ::poll(fds.data(), fds.size(),
               static_cast<int>(std::min<std::int64_t>(left.count(), 60000)));
    }
    return true;
}

}  // namespace qvn
