#include "driver/mining_loop.h"

#include <algorithm>
#include <exception>
#include <iostream>
#include <thread>
#include <utility>

#include "block/text.h"
#include "hash/sha3.h"
#include "rpc/stop.h"

namespace qvn {
namespace {

using Clock = std::chrono::steady_clock;

// How often a pause between submission attempts looks for a stop or new work.
constexpr std::chrono::milliseconds kRetryStep{100};

// Writes the start-up description of the backend and of the ignored options.
CpuBackend describe_backend(const MinerConfig& config) {
    const CpuBackend backend = cpu_backend(config.threads);
    std::cout << "[cpu] threads=" << backend.threads << " iters/thread=" << config.iters
              << " backend=" << backend.name << "\n";
    if (!config.ignored_options.empty()) {
        std::cout << "[cpu] ignored CUDA-only option(s):";
        for (const std::string& name : config.ignored_options) std::cout << " " << name;
        std::cout << "\n";
    }
    return backend;
}

// The client is built first (reading the cookie), then the "[rpc]" line is
// written; the password, and a password inside the URL, never are.
RpcClient connect(const MinerConfig& config) {
    RpcClient client(rpc_settings_from(config));
    std::cout << "[rpc] url=" << redact_url(config.rpc_url);
    if (!config.rpc_cookie.empty()) {
        std::cout << " cookie=" << config.rpc_cookie;
    } else if (!config.rpc_user.empty()) {
        std::cout << " user=" << config.rpc_user;
    }
    std::cout << "\n";
    return client;
}

// A stop request gives up the request (RpcCancelled), so that the miner
// stops at once even when the node is slow or silent.
nlohmann::json fetch_template(const RpcClient& client) {
    return get_block_template(client, "", -1, &stop_requested);
}

std::string message_of(const std::exception& e) { return printable(e.what(), kMaxMessageBytes); }

// A write to a closed pipe or a full disk leaves the stream failed; clearing
// it lets later lines through once the output works again. Mining never
// depends on the output.
void keep_output_open() {
    std::cout.clear();
    std::cerr.clear();
}

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

std::int64_t whole_seconds(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 1'000'000'000;
}

Hash32 digest_of(const ChunkResult& result) {
    Hash32 digest;
    std::copy(std::begin(result.hash), std::end(result.hash), digest.begin());
    return digest;
}

}  // namespace

BlockTemplate adopt_template(const nlohmann::json& result, bool txids_internal,
                             LongPoller& poller) {
    BlockTemplate tmpl = parse_block_template(result, txids_internal);
    poller.follow(tmpl.longpollid);
    log_template(tmpl);
    return tmpl;
}

RpcSettings rpc_settings_from(const MinerConfig& config) {
    RpcSettings settings;
    settings.url = config.rpc_url;
    settings.user = config.rpc_user;
    settings.password = config.rpc_pass;
    settings.cookie_file = config.rpc_cookie;
    settings.timeout_ms = static_cast<std::int64_t>(config.rpc_timeout_ms);
    settings.verbose = config.rpc_verbose_curl;
    return settings;
}

MiningLoop::MiningLoop(const MinerConfig& config)
    : config_(config),
      backend_(describe_backend(config)),
      client_(connect(config)),
      extranonce_(config.extranonce) {
    const nlohmann::json first = fetch_template(client_);
    poller_.emplace(client_, !config.no_longpoll);
    template_ = adopt_template(first, config.gbt_txids_internal, *poller_);
    last_fetch_ = Clock::now();
    stats_ = start_stats(last_fetch_);
}

int MiningLoop::run() {
    for (;;) {
        keep_output_open();
        if (stop_requested.load()) {
            std::cout << "[exit] stopped\n";
            return kExitOk;
        }
        if (take_longpoll_update()) continue;

        std::optional<Candidate> candidate;
        try {
            candidate =
                build_candidate(template_, config_.payouts, extranonce_, config_.coinbase_tag);
        } catch (const std::exception& e) {
            std::cerr << "[work] candidate build failed: " << message_of(e) << "\n";
            return kExitCandidateFailed;
        }

        switch (mine_candidate(*candidate)) {
            case PassEnd::exit_ok:
                return kExitOk;
            case PassEnd::exit_undelivered:
                return kExitFailure;
            case PassEnd::range_done:
                ++extranonce_;  // wraps modulo 2^64
                break;
            case PassEnd::new_work:
                break;
        }
    }
}

MiningLoop::PassEnd MiningLoop::mine_candidate(const Candidate& candidate) {
    // 64 bits, so that moving past 0xFFFFFFFF ends the range instead of wrapping.
    std::uint64_t first_nonce = first_nonce_for(candidate);
    while (!stop_requested.load() && first_nonce <= template_.noncerange_max) {
        if (take_longpoll_update()) return PassEnd::new_work;
        const Clock::time_point now = Clock::now();
        if (periodic_refresh_due(now) && periodic_refresh(now)) return PassEnd::new_work;
        if (stop_requested.load()) break;  // the refresh was given up for it

        const auto nonce = static_cast<std::uint32_t>(first_nonce);
        const ChunkResult result =
            cpu_mine_chunk(candidate.header, template_.target, nonce, template_.noncerange_max,
                           config_.iters, backend_.threads);
        record_chunk(stats_, result, nonce, template_.height, extranonce_, config_.status_sec);

        if (result.found) return handle_hit(candidate, result);
        if (result.hashes == 0) break;
        first_nonce += result.hashes;
    }
    return PassEnd::range_done;
}

std::uint64_t MiningLoop::first_nonce_for(const Candidate& candidate) const {
    if (resume_ && resume_->header == candidate.header) return resume_->next_nonce;
    return template_.noncerange_min;
}

std::optional<nlohmann::json> MiningLoop::next_update() {
    if (pending_update_) return std::exchange(pending_update_, std::nullopt);
    return poller_->take_update();
}

bool MiningLoop::take_longpoll_update() {
    std::optional<nlohmann::json> update = next_update();
    if (!update) return false;
    std::cout << "[work] longpoll update received\n";
    template_ = adopt_template(*update, config_.gbt_txids_internal, *poller_);
    return true;
}

bool MiningLoop::periodic_refresh_due(Clock::time_point now) const {
    const bool polling = config_.no_longpoll || template_.longpollid.empty();
    return polling && whole_seconds(now - last_fetch_) >= config_.poll_sec;
}

bool MiningLoop::periodic_refresh(Clock::time_point now) {
    last_fetch_ = now;
    try {
        std::cout << "[work] periodic GBT refresh\n";
        template_ = adopt_template(fetch_template(client_), config_.gbt_txids_internal, *poller_);
        return true;
    } catch (const RpcCancelled&) {
        return false;  // stopping
    } catch (const std::exception& e) {
        std::cerr << "[rpc] periodic getblocktemplate failed: " << message_of(e) << "\n";
        return false;
    }
}

void MiningLoop::refresh_after_submit() {
    try {
        template_ = adopt_template(fetch_template(client_), config_.gbt_txids_internal, *poller_);
    } catch (const RpcCancelled&) {
        // stopping: the next pass says so
    } catch (const std::exception& e) {
        std::cerr << "[rpc] getblocktemplate after submit failed: " << message_of(e) << "\n";
    }
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
        std::cerr << "[found] fast/portable hash mismatch at nonce=" << result.nonce
                  << "; abandoning candidate\n";
        return PassEnd::new_work;
    }
    if (!hash_meets_target(digest.data(), template_.target.data())) {
        std::cerr << "[found] CPU hash is above target at nonce=" << result.nonce
                  << "; abandoning candidate\n";
        return PassEnd::new_work;
    }

    const bool delivered = submit(candidate, result.nonce, digest);
    if (config_.mine_one) return delivered ? PassEnd::exit_ok : PassEnd::exit_undelivered;
    refresh_after_submit();
    return PassEnd::new_work;
}

// True when the node answered, whatever it said.
bool MiningLoop::submit(const Candidate& candidate, std::uint32_t nonce, const Hash32& digest) {
    const Bytes block = serialize_block(candidate, nonce);
    const std::string block_hex = hex_encode(block);
    // The digest is held in hash-function order; the log shows it reversed like every hash.
    std::cout << "[found] nonce=" << nonce << " hash=" << hash_to_hex(digest)
              << " block_bytes=" << block.size() << " submitting...\n";
    if (deliver(block_hex)) return true;
    // The block is still good: the user can hand it to the node.
    std::cerr << "[submit] block not delivered, submit it by hand: submitblock " << block_hex
              << "\n";
    return false;
}

// Offers the block until the node answers. Only a failure without an answer
// is tried again: the node's verdict, or its JSON-RPC error, is final.
bool MiningLoop::deliver(const std::string& block_hex) {
    std::chrono::seconds pause = kFirstSubmitPause;
    for (int attempt = 1;; ++attempt) {
        try {
            const nlohmann::json verdict = submit_block(client_, block_hex);
            if (verdict.is_null()) {
                std::cout << "[submit] accepted by node\n";
            } else {
                std::cout << "[submit] node returned: "
                          << printable(verdict.dump(), kMaxNodeTextBytes) << "\n";
            }
            return true;
        } catch (const RpcNoAnswer& e) {
            std::cerr << "[submit] submitblock failed: " << message_of(e) << "\n";
            if (attempt == kSubmitAttempts) return false;
            std::cerr << "[submit] retrying in " << pause.count() << " s (attempt " << attempt + 1
                      << " of " << kSubmitAttempts << ")\n";
            if (!wait_before_retry(pause)) return false;
            pause *= 2;
        } catch (const std::exception& e) {
            std::cerr << "[submit] submitblock failed: " << message_of(e) << "\n";
            return true;
        }
    }
}

// Sleeps before the next attempt; false when the attempts should end early:
// on a stop request, or when the long poller brings work on another block,
// which this one can no longer extend. That work is kept for the next pass.
bool MiningLoop::wait_before_retry(std::chrono::seconds pause) {
    const Clock::time_point until = Clock::now() + pause;
    while (Clock::now() < until) {
        if (stop_requested.load()) return false;
        if (std::optional<nlohmann::json> update = poller_->take_update()) {
            pending_update_ = std::move(update);
            if (on_another_block(*pending_update_, template_)) {
                std::cerr << "[submit] the node has work on a newer block; giving up this one\n";
                return false;
            }
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(kRetryStep, until - Clock::now()));
    }
    return true;
}

}  // namespace qvn
