#include "driver/stats.h"

#include <iomanip>
#include <iostream>
#include <locale>
#include <sstream>

#include "block/text.h"
#include "miner/chunk_miner.h"
#include "rpc/block_template.h"

namespace qvn {
namespace {

struct RateUnit {
    double scale;
    const char* name;
};

constexpr RateUnit kRateUnits[] = {{1e12, " TH/s"}, {1e9, " GH/s"}, {1e6, " MH/s"}, {1e3, " kH/s"}};

// Whole seconds between two instants, truncated.
std::int64_t whole_seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 1'000'000'000;
}

// "[stat] workers: 0=1.95 MH/s 1=1.93 MH/s": each worker's hashes over the
// time it spent hashing them, so that a core shared with other work shows.
std::string worker_rates_line(const std::vector<WorkerCount>& workers) {
    std::string line = "[stat] workers:";
    for (std::size_t i = 0; i < workers.size(); ++i) {
        const double seconds = std::chrono::duration<double>(workers[i].busy).count();
        const double rate = seconds > 0 ? static_cast<double>(workers[i].hashes) / seconds : 0.0;
        line += " " + std::to_string(i) + "=" + format_hash_rate(rate);
    }
    return line;
}

void add_worker_counts(std::vector<WorkerCount>& totals, const std::vector<WorkerCount>& chunk) {
    if (totals.size() < chunk.size()) totals.resize(chunk.size());
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        totals[i].hashes += chunk[i].hashes;
        totals[i].busy += chunk[i].busy;
    }
}

// What the workers hashed in the chunk's wall time: they run on into the next
// chunk while one of them finishes this one, so the chunk's own count alone
// would read too low for a chunk that waited and too high for the next.
std::uint64_t hashed_meanwhile(const ChunkResult& result) {
    if (result.workers.empty()) return result.hashes;
    std::uint64_t hashed = 0;
    for (const WorkerCount& worker : result.workers) hashed += worker.hashes;
    return hashed;
}

}  // namespace

MiningStats start_stats(std::chrono::steady_clock::time_point now, bool per_worker) {
    MiningStats stats;
    stats.start_time = now;
    stats.last_status_time = now;
    stats.per_worker = per_worker;
    return stats;
}

void record_chunk(MiningStats& stats, const ChunkResult& result, std::uint32_t first_nonce,
                  std::int32_t height, std::uint64_t extranonce, std::int32_t status_sec) {
    record_chunk(stats, result, first_nonce, height, extranonce, status_sec,
                 std::chrono::steady_clock::now(), std::cout);
}

void record_chunk(MiningStats& stats, const ChunkResult& result, std::uint32_t first_nonce,
                  std::int32_t height, std::uint64_t extranonce, std::int32_t status_sec,
                  std::chrono::steady_clock::time_point now, std::ostream& out) {
    stats.total_hashes += result.hashes;
    if (stats.per_worker) add_worker_counts(stats.since_status, result.workers);
    if (whole_seconds(now - stats.last_status_time) < status_sec) return;

    const double elapsed =
        static_cast<double>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(now - stats.start_time).count()) /
        1e9;
    const double avg = elapsed > 0 ? static_cast<double>(stats.total_hashes) / elapsed : 0.0;
    const double batch = result.elapsed_ms > 0 ? static_cast<double>(hashed_meanwhile(result)) *
                                                     1000.0 / result.elapsed_ms
                                               : 0.0;
    std::ostringstream line;
    line.imbue(out.getloc());
    line << "[stat] height=" << static_cast<std::uint32_t>(height) << " extranonce=" << extranonce
         << " nonce=" << first_nonce << " total=" << stats.total_hashes
         << " avg=" << format_hash_rate(avg) << " batch=" << format_hash_rate(batch);
    write_line(out, line.str());
    if (stats.per_worker) {
        write_line(out, worker_rates_line(stats.since_status));
        stats.since_status.clear();
    }
    stats.last_status_time = now;
}

void log_template(const BlockTemplate& tmpl) { log_template(tmpl, std::cout); }

void log_template(const BlockTemplate& tmpl, std::ostream& out) {
    std::ostringstream line;
    line.imbue(out.getloc());
    line << "[work] height=" << static_cast<std::uint32_t>(tmpl.height)
         << " txs=" << tmpl.transactions.size() + 1 << " coinbasevalue=" << tmpl.coinbasevalue
         << " target=" << hash_to_hex(tmpl.target) << " nonces=" << tmpl.noncerange_min << ".."
         << tmpl.noncerange_max << " longpoll=" << (tmpl.longpollid.empty() ? "no" : "yes");
    write_line(out, line.str());
}

std::string format_hash_rate(double rate) {
    double value = rate;
    const char* unit = " H/s";
    for (const RateUnit& u : kRateUnits) {
        if (rate >= u.scale) {
            value = rate / u.scale;
            unit = u.name;
            break;
        }
    }
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::fixed << std::setprecision(2) << value << unit;
    return text.str();
}

}  // namespace qvn
