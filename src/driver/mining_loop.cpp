#include "driver/mining_loop.h"

#include <algorithm>
#include <exception>
#include <iostream>

#include "block/text.h"
#include "hash/sha3.h"
#include "rpc/stop.h"

namespace qvn {
namespace {

using Clock = std::chrono::steady_clock;

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

nlohmann::json fetch_template(const RpcClient& client) {
    return get_block_template(client, "", -1, nullptr);
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
            std::cerr << "[work] candidate build failed: " << e.what() << "\n";
            return kExitCandidateFailed;
        }

        switch (mine_candidate(*candidate)) {
            case PassEnd::exit:
                return kExitOk;
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
    std::uint64_t first_nonce = template_.noncerange_min;
    while (!stop_requested.load() && first_nonce <= template_.noncerange_max) {
        if (take_longpoll_update()) return PassEnd::new_work;
        const Clock::time_point now = Clock::now();
        if (periodic_refresh_due(now) && periodic_refresh(now)) return PassEnd::new_work;

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

bool MiningLoop::take_longpoll_update() {
    std::optional<nlohmann::json> update = poller_->take_update();
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
    } catch (const std::exception& e) {
        std::cerr << "[rpc] periodic getblocktemplate failed: " << e.what() << "\n";
        return false;
    }
}

MiningLoop::PassEnd MiningLoop::handle_hit(const Candidate& candidate, const ChunkResult& result) {
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

    submit(candidate, result.nonce, digest);
    if (config_.mine_one) return PassEnd::exit;

    try {
        template_ = adopt_template(fetch_template(client_), config_.gbt_txids_internal, *poller_);
    } catch (const std::exception& e) {
        std::cerr << "[rpc] getblocktemplate after submit failed: " << e.what() << "\n";
    }
    return PassEnd::new_work;
}

void MiningLoop::submit(const Candidate& candidate, std::uint32_t nonce, const Hash32& digest) {
    const Bytes block = serialize_block(candidate, nonce);
    const std::string block_hex = hex_encode(block);
    // The digest is held in hash-function order; the log shows it reversed like every hash.
    std::cout << "[found] nonce=" << nonce << " hash=" << hash_to_hex(digest)
              << " block_bytes=" << block.size() << " submitting...\n";
    try {
        const nlohmann::json verdict = submit_block(client_, block_hex);
        if (verdict.is_null()) {
            std::cout << "[submit] accepted by node\n";
        } else {
            std::cout << "[submit] node returned: " << verdict.dump() << "\n";
        }
    } catch (const std::exception& e) {
        std::cerr << "[submit] submitblock failed: " << e.what() << "\n";
    }
}

}  // namespace qvn
