// How failures of requests that repeat every few seconds reach the log: the
// first of a run of identical lines is written, the rest are counted and
// summed up at most once a minute, so that a node answering 503 for an hour
// costs a few dozen lines, not thousands.
#pragma once

#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>

namespace qvn {

inline constexpr std::chrono::seconds kRepeatSummaryInterval{60};

// Not thread-safe: one per thread that reports.
class RepeatedLines {
  public:
    using Clock = std::chrono::steady_clock;

    explicit RepeatedLines(std::ostream& out, Clock::duration interval = kRepeatSummaryInterval)
        : out_(out), interval_(interval) {}

    // Writes line unless it repeats the last one; then counts it, and writes
    // "LINE (again N times in the last S s)" once interval has passed since
    // the line was last written.
    void write(const std::string& line, Clock::time_point now = Clock::now());

    // The run is over (the request succeeded): its uncounted repeats are
    // summed up, and the same failure later is written again in full.
    void end_run(Clock::time_point now = Clock::now());

  private:
    void summarise(Clock::time_point now);

    std::ostream& out_;
    Clock::duration interval_;
    std::string last_;
    std::size_t repeats_ = 0;
    Clock::time_point written_at_{};
};

// Said once per run, the first time the node looks busy while the miner
// holds its long poll.
inline constexpr const char* kBusyNodeHint =
    "[rpc] the node's RPC workers seem all taken (other miners' long polls, other clients); "
    "raise rpcthreads (and rpcworkqueue) in the node's configuration";

}  // namespace qvn
