#include "driver/service_status.h"

#include <systemd/sd-daemon.h>

#include "block/text.h"
#include "driver/stats.h"

namespace qvn {
namespace {

using Clock = std::chrono::steady_clock;

// A failure as the status line quotes it: enough to tell a 401 from a 503.
constexpr std::size_t kStatusFailureBytes = 160;

const char* kind_of(const LoopState& state) {
    if (state.paused) return "paused";
    return state.contact.failure.empty() ? "mining" : "failing";
}

}  // namespace

std::string duration_text(Clock::duration since) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    if (seconds < 120) return std::to_string(seconds) + " s";
    return std::to_string(seconds / 60) + " min";
}

int notify_systemd(const std::string& message) { return sd_notify(0, message.c_str()); }

Clock::duration systemd_ping_interval() {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0) return Clock::duration{0};
    return std::chrono::microseconds{usec / 2};
}

ServiceStatus::ServiceStatus(std::chrono::seconds status_interval, ServiceNotify notify,
                             Clock::duration ping_interval)
    : notify_(std::move(notify)),
      status_interval_(status_interval),
      ping_interval_(ping_interval) {}

std::string ServiceStatus::text(const LoopState& state, Clock::time_point now) const {
    const double seconds = std::chrono::duration<double>(now - hashes_at_).count();
    const double rate =
        seconds > 0 ? static_cast<double>(state.total_hashes - hashes_) / seconds : 0;
    const std::string blocks = "blocks found " + std::to_string(state.found) + ", accepted " +
                               std::to_string(state.accepted);
    const std::string silent = "no answer from the node for " +
                               duration_text(now - state.contact.answered) +
                               (state.contact.failure.empty() ? "" : ": ") +
                               printable(state.contact.failure, kStatusFailureBytes);
    if (state.paused) return "hashing paused, " + silent + "; " + blocks;
    const std::string mining = (seconds > 0 ? format_hash_rate(rate) : "starting") + " at height " +
                               std::to_string(static_cast<std::uint32_t>(state.height));
    if (!state.contact.failure.empty()) return silent + "; " + mining + ", " + blocks;
    return mining + ", node answered " + duration_text(now - state.contact.answered) + " ago, " +
           blocks;
}

void ServiceStatus::ready(const LoopState& state, Clock::time_point now) {
    hashes_ = state.total_hashes;
    hashes_at_ = now;
    on_ = notify_("READY=1\nSTATUS=" + text(state, now)) > 0;
    kind_ = kind_of(state);
    next_look_ = now + kLookEvery;
    next_status_ = now + status_interval_;
    next_ping_ = now;
}

void ServiceStatus::update(const LoopState& state, Clock::time_point now) {
    if (!on_) return;
    next_look_ = now + kLookEvery;
    std::string message;
    if (ping_interval_.count() > 0 && now >= next_ping_) {
        message = "WATCHDOG=1\n";
        next_ping_ = now + ping_interval_;
    }
    const char* kind = kind_of(state);
    if (now >= next_status_ || kind != kind_ || state.found != found_ ||
        state.accepted != accepted_) {
        message += "STATUS=" + text(state, now);
        kind_ = kind;
        found_ = state.found;
        accepted_ = state.accepted;
        hashes_ = state.total_hashes;
        hashes_at_ = now;
        next_status_ = now + status_interval_;
    }
    if (!message.empty()) notify_(message);
}

void ServiceStatus::stopping() {
    if (on_) notify_("STOPPING=1\nSTATUS=stopping");
}

}  // namespace qvn
