#include "driver/mining_loop.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <iostream>
#include <mutex>
#include <stop_token>
#include <thread>
#include <utility>
#include <vector>

#include "block/text.h"
#include "driver/block_delivery.h"
#include "driver/output_queue.h"
#include "driver/payout_check.h"
#include "driver/verbose_log.h"
#include "hash/sha3.h"
#include "rpc/failure_log.h"
#include "rpc/reply.h"
#include "rpc/url.h"

namespace qvn {
namespace {

using Clock = std::chrono::steady_clock;

// How long the wait for work after a block waits before it looks again; an
// answer, the plain request's end or a stop ends it at once.
constexpr std::chrono::milliseconds kWaitStep{100};
// How often the loop looks at the node's last answer and tells systemd how it
// is doing, also while it waits.
constexpr std::chrono::seconds kLookEvery = ServiceStatus::kLookEvery;

// Writes the start-up description of the backend and of the ignored options.
CpuBackend describe_backend(const MinerConfig& config) {
    const CpuBackend backend = cpu_backend(config.threads);
    write_line(std::cout, "[cpu] threads=" + std::to_string(backend.threads) + " iters/thread=" +
                              std::to_string(config.iters) + " backend=" + backend.name);
    if (!config.ignored_options.empty()) {
        std::string line = "[cpu] ignored CUDA-only option(s):";
        for (const std::string& name : config.ignored_options) line += " " + name;
        write_line(std::cout, line);
    }
    return backend;
}

// The client is built first (reading the cookie), then the "[rpc]" line is
// written; the password, and a password inside the URL, never are.
RpcClient connect(const MinerConfig& config) {
    RpcClient client(rpc_settings_from(config));
    std::string line = "[rpc] url=" + redact_url(config.rpc_url);
    if (!config.rpc_cookie.empty()) {
        line += " cookie=" + config.rpc_cookie;
    } else if (!config.rpc_user.empty()) {
        line += " user=" + config.rpc_user;
    }
    write_line(std::cout, line);
    return client;
}

// A stop request gives up the request (RpcCancelled), so that the miner
// stops at once even when the node is slow or silent.
nlohmann::json fetch_template(const RpcClient& client, const WakeFlag& stop_requested) {
    return get_block_template(client, "", -1, &stop_requested);
}

std::string message_of(const std::exception& e) { return printable(e.what(), kMaxMessageBytes); }

// Whether a long-poll result is work on another previous block than tmpl's.
bool on_another_block(const nlohmann::json& update, const BlockTemplate& tmpl) {
    const auto prev = update.find("previousblockhash");  // end() unless an object
    if (prev == update.end() || !prev->is_string()) return false;
    try {
        return parse_hash_hex(prev->get<std::string>()) != tmpl.previousblockhash;
    } catch (const std::exception&) {
        return false;  // adopting it will report what is wrong with it
    }
}

// The first template, saying once when it is slow to come: a node whose
// RPC workers are all held (by long polls that stopped miners left behind)
// answers only when a worker comes free, or not before the time limit.
nlohmann::json first_template(const RpcClient& client, const WakeFlag& stop_requested,
                              std::chrono::milliseconds hint_after) {
    const std::jthread hint([hint_after](std::stop_token answered) {
        std::mutex mutex;
        std::condition_variable_any never;
        std::unique_lock lock(mutex);
        never.wait_for(lock, answered, hint_after, [] { return false; });
        if (answered.stop_requested()) return;
        write_line(std::cerr, "[rpc] no answer from the node after " +
                                  std::to_string(hint_after.count() / 1000) + " s; waiting on");
        write_line(std::cerr, kBusyNodeHint);
    });
    return fetch_template(client, stop_requested);
}

Hash32 digest_of(const ChunkResult& result) {
    Hash32 digest;
    std::copy(std::begin(result.hash), std::end(result.hash), digest.begin());
    return digest;
}

}  // namespace

RpcSettings rpc_settings_from(const MinerConfig& config) {
    RpcSettings settings;
    settings.url = config.rpc_url;
    settings.user = config.rpc_user;
    settings.password = config.rpc_pass;
    settings.cookie_file = config.rpc_cookie;
    settings.timeout_ms = static_cast<std::int64_t>(config.rpc_timeout_ms);
    settings.verbose = config.rpc_verbose_curl;
    settings.without_credentials = why_no_credentials(config);
    if (config.verbose_logging) settings.on_exchange = log_exchange;
    return settings;
}

MiningLoop::MiningLoop(const MinerConfig& config, const WakeFlag& stop_requested,
                       LoopTimings timings)
    : config_(config),
      stop_requested_(stop_requested),
      backend_(describe_backend(config)),
      client_(connect(config)),
      extranonce_(config.extranonce),
      unconfirmed_limit_(timings.unconfirmed_limit),
      service_(std::chrono::seconds{config.status_sec}),
      workers_(timings.start_worker, timings.clock) {
    BlockTemplate first =
        parse_block_template(first_template(client_, stop_requested_, timings.slow_start_after),
                             config.gbt_txids_internal);
    log_template(first);
    // Before the long poll holds a request of its own, and before any hash.
    check_payouts(client_, config.payouts, first.coinbasevalue, stop_requested_);
    LongPollSettings polling;
    polling.enabled = !config.no_longpoll;
    polling.refresh_interval = std::chrono::seconds{config.poll_sec};
    polling.check_after = timings.longpoll_check_after;
    polling.verbose = config.verbose_logging;
    poller_.emplace(client_, stop_requested_, polling);
    poller_->follow(first.longpollid);
    work_.emplace(std::move(first), config.gbt_txids_internal, config.verbose_logging,
                  [this](const std::string& id) { poller_->follow(id); });
    stats_ = start_stats(Clock::now(), config.verbose_logging);
}

int MiningLoop::run() {
    // Mining begins: systemd's start of the service is over.
    service_.ready(state(poller_->contact()), Clock::now());
    for (;;) {
        if (stop_requested_.is_set()) {
            service_.stopping();
            stopped_ = true;
            return kExitOk;
        }
        if (take_new_work()) continue;

        std::optional<Candidate> candidate;
        try {
            candidate = build_candidate(tmpl(), config_.payouts, extranonce_, config_.coinbase_tag);
        } catch (const std::exception& e) {
            write_kept_line(std::cerr, "[work] candidate build failed: " + message_of(e));
            return kExitCandidateFailed;
        }

        switch (mine_candidate(*candidate)) {
            case PassEnd::exit_ok:
                return kExitOk;
            case PassEnd::exit_undelivered:
                return kExitFailure;
            case PassEnd::range_done:
                if (stop_requested_.is_set()) break;  // the range was not searched to its end
                ++extranonce_;                        // wraps modulo 2^64
                if (config_.verbose_logging) {
                    write_line(std::cout, "[work] nonce range searched; extranonce now " +
                                              std::to_string(extranonce_));
                }
                break;
            case PassEnd::new_work:
            case PassEnd::candidate_spent:
                break;
        }
    }
}

MiningLoop::PassEnd MiningLoop::mine_candidate(const Candidate& candidate) {
    // 64 bits, so that moving past 0xFFFFFFFF ends the range instead of wrapping.
    std::uint64_t first_nonce = first_nonce_for(candidate);
    for (;;) {
        // The workers hash on past each chunk: a block they found meanwhile
        // is this candidate's, handled before other work or a stop.
        if (std::optional<ChunkResult> found = cpu_found_meanwhile(workers_, candidate.header)) {
            return handle_hit(candidate, *found);
        }
        if (stop_requested_.is_set() || first_nonce > tmpl().noncerange_max) break;
        if (take_new_work()) return PassEnd::new_work;
        if (const Clock::time_point now = Clock::now(); now >= next_look_) {
            next_look_ = now + kLookEvery;
            const NodeContact contact = poller_->contact();
            if (now - contact.answered >= unconfirmed_limit_) {
                if (std::optional<ChunkResult> found = pause_hashing(candidate)) {
                    return handle_hit(candidate, *found);
                }
                continue;  // what the answer brought is taken first
            }
            service_.update(state(contact), now);
        }

        work_->say_hashing_on_new_work();
        // A stop ends the chunk at once, as a hit does; a hit found in it is
        // still handled below.
        const auto nonce = static_cast<std::uint32_t>(first_nonce);
        const ChunkResult result =
            cpu_mine_chunk(workers_, candidate.header, tmpl().target, nonce, tmpl().noncerange_max,
                           config_.iters, backend_.threads, &stop_requested_.flag());
        record_chunk(stats_, result, nonce, tmpl().height, extranonce_, config_.status_sec);

        if (result.found) return handle_hit(candidate, result);
        if (result.hashes == 0) break;
        first_nonce += result.hashes;
    }
    return PassEnd::range_done;
}

std::uint64_t MiningLoop::first_nonce_for(const Candidate& candidate) const {
    if (resume_ && resume_->header == candidate.header) return resume_->next_nonce;
    return tmpl().noncerange_min;
}

std::optional<PolledWork> MiningLoop::next_work() {
    if (pending_work_) return std::exchange(pending_work_, std::nullopt);
    if (std::optional<PolledWork> update = poller_->take_update()) return update;
    return poller_->take_refresh();
}

// Takes everything the poller brought; true when some of it was other work
// than the current one, which is then current.
bool MiningLoop::take_new_work() {
    std::vector<PolledWork> answers;
    while (std::optional<PolledWork> work = next_work()) answers.push_back(std::move(*work));
    return work_->take(std::move(answers));
}

// After a found block the work is spent: the next comes from the long poll
// or from a plain request, whichever answers first, and mining resumes at
// once; the later answer is taken like any other. Without long polling the
// plain request alone brings it.
void MiningLoop::await_work_after_submit() {
    if (pending_work_) return;
    if (!poller_->fetch_now()) {
        refresh_after_submit();
        return;
    }
    // Answers that came before the block (the same work again) do not end
    // the wait; the plain request's own answer, or its failure, does.
    while (!stop_requested_.is_set()) {
        poller_->wait_for_work(kWaitStep);
        tell_service();
        const bool answered = !poller_->fetching();
        if (take_new_work() || answered) return;
    }
}

void MiningLoop::refresh_after_submit() {
    std::vector<PolledWork> answer;
    try {
        answer.push_back(
            {fetch_template(client_, stop_requested_), WorkSource::after_submit, Clock::now()});
    } catch (const RpcCancelled&) {
        // stopping: the next pass says so
    } catch (const std::exception& e) {
        write_line(std::cerr, work_failure_prefix(WorkSource::after_submit) + message_of(e));
        return;
    }
    work_->take(std::move(answer));
}

MiningLoop::PassEnd MiningLoop::handle_hit(const Candidate& candidate, const ChunkResult& result) {
    // Whatever becomes of this hit, the same header is never searched up to it again.
    resume_ = ResumePoint{candidate.header, std::uint64_t{result.nonce} + 1};

    std::array<std::uint8_t, 80> header = candidate.header;
    for (int i = 0; i < 4; ++i) {
        header[kNonceOffset + i] = static_cast<std::uint8_t>(result.nonce >> (8 * i));
    }
    Hash32 digest;
    sha3_256t(digest.data(), header.data(), header.size());

    if (digest != digest_of(result)) {
        write_line(std::cerr, "[found] fast/portable hash mismatch at nonce=" +
                                  std::to_string(result.nonce) + "; abandoning candidate");
        return PassEnd::candidate_spent;
    }
    if (!hash_meets_target(digest.data(), tmpl().target.data())) {
        write_line(std::cerr, "[found] CPU hash is above target at nonce=" +
                                  std::to_string(result.nonce) + "; abandoning candidate");
        return PassEnd::candidate_spent;
    }

    const bool delivered = submit(candidate, result.nonce, digest);
    if (config_.mine_one) return delivered ? PassEnd::exit_ok : PassEnd::exit_undelivered;
    await_work_after_submit();
    return PassEnd::candidate_spent;
}

// True when the node answered, whatever it said.
bool MiningLoop::submit(const Candidate& candidate, std::uint32_t nonce, const Hash32& digest) {
    const Bytes block = serialize_block(candidate, nonce);
    // The digest is held in hash-function order; the log shows it reversed like every hash.
    write_line(std::cout, "[found] nonce=" + std::to_string(nonce) +
                              " hash=" + hash_to_hex(digest) +
                              " block_bytes=" + std::to_string(block.size()) + " submitting...");
    const Delivery delivery{
        .client = client_,
        .stop_requested = stop_requested_,
        .work_on_another_block = [this] { return work_on_another_block(); },
        .no_answer = [this](const std::exception& e) { poller_->hint_if_node_busy(e); },
        .verdict =
            [this](bool accepted) {
                poller_->note_answer();
                accepted_ += accepted ? 1 : 0;
            },
        .verbose = config_.verbose_logging,
    };
    ++found_;
    const bool answered = deliver_block(delivery, hex_encode(block));
    service_.update(state(poller_->contact()), Clock::now());
    return answered;
}

// Whether the poller has brought work on another previous block. The newest
// answer it brought is kept for the next pass either way: an older one kept
// would hide a later answer, which may be the new block's.
bool MiningLoop::work_on_another_block() {
    tell_service();  // asked every 100 ms while a block waits for the node
    const auto keep_if_newer = [this](std::optional<PolledWork> work) {
        if (work && (!pending_work_ || work->received >= pending_work_->received)) {
            pending_work_ = std::move(work);
        }
    };
    keep_if_newer(poller_->take_update());
    keep_if_newer(poller_->take_refresh());
    return pending_work_ && on_another_block(pending_work_->result, tmpl());
}

// The workers stop until the node answers again; the poller goes on asking at
// its usual pace. A block they found before is handed to the node first.
std::optional<ChunkResult> MiningLoop::pause_hashing(const Candidate& candidate) {
    if (std::optional<ChunkResult> found = cpu_end_search(workers_, candidate.header)) return found;
    const NodeContact contact = poller_->contact();
    write_line(std::cerr, "[work] no usable answer from the node for " +
                              duration_text(Clock::now() - contact.answered) +
                              "; hashing paused until it answers");
    service_.update(state(contact, true), Clock::now());
    while (!stop_requested_.is_set() && !poller_->wait_for_answer(contact.answered, kLookEvery)) {
        tell_service(true);
    }
    if (!stop_requested_.is_set()) write_line(std::cerr, "[work] the node answered; hashing again");
    return std::nullopt;
}

LoopState MiningLoop::state(NodeContact contact, bool paused) const {
    return {stats_.total_hashes, tmpl().height, std::move(contact), paused, found_, accepted_};
}

void MiningLoop::tell_service(bool paused) {
    const Clock::time_point now = Clock::now();
    if (service_.due(now)) service_.update(state(poller_->contact(), paused), now);
}

}  // namespace qvn
