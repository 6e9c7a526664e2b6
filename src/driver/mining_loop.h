// The mining loop: fetch work, build candidates, mine them chunk by chunk,
// verify and submit hits, follow new work until asked to stop.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "block/candidate.h"
#include "driver/config.h"
#include "driver/current_work.h"
#include "driver/service_status.h"
#include "driver/stats.h"
#include "miner/chunk_miner.h"
#include "rpc/block_template.h"
#include "rpc/client.h"
#include "rpc/longpoll.h"

namespace qvn {

// Exit statuses of a mining run.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitCandidateFailed = 2;

// Settings for the client, copied from the configuration.
RpcSettings rpc_settings_from(const MinerConfig& config);

// Work the node has not confirmed for this long (no template, no verdict on
// a block) is almost surely stale on a chain with a block every few minutes:
// hashing it wastes the machine.
inline constexpr std::chrono::minutes kUnconfirmedWorkLimit{10};

// What tests set and the command line does not: the loop's waits, and how
// its workers start and read the time.
struct LoopTimings {
    // Hashing stops once the node's last usable answer is this old.
    std::chrono::milliseconds unconfirmed_limit = kUnconfirmedWorkLimit;
    // A long poll silent this long is checked with a plain request.
    std::chrono::milliseconds longpoll_check_after = kLongPollCheckAfter;
    // A first template this slow is said to be late, once.
    std::chrono::milliseconds slow_start_after{5000};
    WorkerStarter start_worker = start_std_thread;
    JobClock clock = std::chrono::steady_clock::now;
};

// Owns everything a mining run needs. Members are declared so that teardown
// stops the hashing first, then drops the template, then stops the long
// poller, then releases the client.
class MiningLoop {
  public:
    // Start-up: "[cpu]" and "[rpc]" lines, client, first template, poller.
    // stop_requested ends the run (the signal handler sets the process's).
    MiningLoop(const MinerConfig& config, const WakeFlag& stop_requested, LoopTimings timings = {});
    // The flag must outlive the loop.
    MiningLoop(const MinerConfig&, const WakeFlag&&, LoopTimings = {}) = delete;

    // Mines until a stop request, a --mine-one submission or a candidate
    // build failure; returns the exit status. Other failures throw.
    int run();
    // Whether run() ended on the stop request: its caller says so once the
    // loop is torn down, as the run's last line.
    bool stopped() const { return stopped_; }

  private:
    // How the search of one candidate ended: other work came, the candidate
    // was spent (a hit submitted, or dropped for failing its check), the
    // whole nonce range was searched, or the run is over.
    enum class PassEnd { new_work, candidate_spent, range_done, exit_ok, exit_undelivered };

    // Where the search of a header stopped at a hit: a candidate with the same
    // header goes on from there, so no block is found and submitted twice.
    struct ResumePoint {
        std::array<std::uint8_t, 80> header;
        std::uint64_t next_nonce;
    };

    const BlockTemplate& tmpl() const { return work_->get(); }
    PassEnd mine_candidate(const Candidate& candidate);
    std::uint64_t first_nonce_for(const Candidate& candidate) const;
    std::optional<PolledWork> next_work();
    bool take_new_work();
    void await_work_after_submit();
    void refresh_after_submit();
    PassEnd handle_hit(const Candidate& candidate, const ChunkResult& result);
    bool submit(const Candidate& candidate, std::uint32_t nonce, const Hash32& digest);
    bool work_on_another_block();
    std::optional<ChunkResult> pause_hashing(const Candidate& candidate);
    // paused: the workers wait for the node's answer (only pause_hashing says so).
    LoopState state(NodeContact contact, bool paused = false) const;
    void tell_service(bool paused = false);

    const MinerConfig& config_;
    const WakeFlag& stop_requested_;
    CpuBackend backend_;
    RpcClient client_;
    std::optional<LongPoller> poller_;        // started only once the first template is in
    std::optional<PolledWork> pending_work_;  // taken from the poller during a submission
    std::optional<CurrentWork> work_;         // the template mined, once the poller is there
    std::optional<ResumePoint> resume_;
    std::uint64_t extranonce_;
    MiningStats stats_;
    std::chrono::milliseconds unconfirmed_limit_;
    ServiceStatus service_;
    std::chrono::steady_clock::time_point next_look_{};  // at the node's answers
    std::uint64_t found_ = 0;  // blocks handed to the node, and accepted by it
    std::uint64_t accepted_ = 0;
    bool stopped_ = false;
    WorkerPool workers_;  // the chunks' threads, kept for the whole run
};

}  // namespace qvn
