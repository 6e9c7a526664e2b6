// What the miner tells systemd when systemd runs it as a Type=notify
// service: that mining has begun (READY=1), a status line for `systemctl
// status` (STATUS=), the watchdog's ping (WATCHDOG=1) and its stop
// (STOPPING=1). Started any other way, nothing is sent.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "rpc/longpoll.h"

namespace qvn {

// "42 s" under two minutes, whole minutes from there: "3 min".
std::string duration_text(std::chrono::steady_clock::duration since);

// Sends one notification; > 0 when sent, 0 outside systemd, < 0 on failure.
using ServiceNotify = std::function<int(const std::string&)>;
int notify_systemd(const std::string& message);

// How often the watchdog wants its ping: half the limit systemd gives, so
// that a ping late by a loaded machine still counts; 0 without a watchdog.
std::chrono::steady_clock::duration systemd_ping_interval();

// What the status line tells.
struct LoopState {
    std::uint64_t total_hashes = 0;
    std::int32_t height = 0;
    NodeContact contact;
    bool paused = false;  // hashing stopped: the work is no longer confirmed
    std::uint64_t found = 0;
    std::uint64_t accepted = 0;
};

class ServiceStatus {
  public:
    using Clock = std::chrono::steady_clock;
    // How often the loop's state is looked at: changes reach systemd within
    // this, and so does the watchdog's ping.
    static constexpr std::chrono::seconds kLookEvery{1};

    // STATUS= goes out every status_interval, and at once when the state
    // changes; WATCHDOG=1 every ping_interval (0: never).
    ServiceStatus(std::chrono::seconds status_interval, ServiceNotify notify = notify_systemd,
                  Clock::duration ping_interval = systemd_ping_interval());

    // Whether the loop should call update(): a status or a ping may be due.
    // Cheap, so that the loop can ask before every chunk; a block found or
    // accepted is worth an update at once.
    bool due(Clock::time_point now) const { return on_ && now >= next_look_; }
    void ready(const LoopState& state, Clock::time_point now);
    void update(const LoopState& state, Clock::time_point now);
    void stopping();

  private:
    std::string text(const LoopState& state, Clock::time_point now) const;

    ServiceNotify notify_;
    bool on_ = true;  // until a notification finds no systemd
    std::chrono::seconds status_interval_;
    Clock::duration ping_interval_;  // 0: no watchdog
    Clock::time_point next_look_{};
    Clock::time_point next_status_{};
    Clock::time_point next_ping_{};
    std::string kind_;  // the state the last status showed: mining, failing or paused
    std::uint64_t found_ = 0;
    std::uint64_t accepted_ = 0;
    std::uint64_t hashes_ = 0;  // at the last status, for the rate since then
    Clock::time_point hashes_at_{};
};

}  // namespace qvn
