// The "[work]" and "[stat]" progress lines and the hash-rate formatter.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "miner/chunk_miner.h"

namespace qvn {

struct BlockTemplate;

struct MiningStats {
    std::chrono::steady_clock::time_point start_time;
    std::chrono::steady_clock::time_point last_status_time;
    std::uint64_t total_hashes = 0;
    // --verbose: a second "[stat]" line with each worker's rate since the last.
    bool per_worker = false;
    std::vector<WorkerCount> since_status;  // per worker, while per_worker
};

// Counters all start at the given instant.
MiningStats start_stats(std::chrono::steady_clock::time_point now, bool per_worker = false);

// Adds the chunk's hashes and writes a "[stat]" line to standard output
// once status_sec whole seconds have passed since the last one.
void record_chunk(MiningStats& stats, const ChunkResult& result, std::uint32_t first_nonce,
                  std::int32_t height, std::uint64_t extranonce, std::int32_t status_sec);

// The same with the clock reading and the stream supplied by the caller.
void record_chunk(MiningStats& stats, const ChunkResult& result, std::uint32_t first_nonce,
                  std::int32_t height, std::uint64_t extranonce, std::int32_t status_sec,
                  std::chrono::steady_clock::time_point now, std::ostream& out);

// Writes the "[work]" line of a newly adopted template.
void log_template(const BlockTemplate& tmpl);
void log_template(const BlockTemplate& tmpl, std::ostream& out);

// "12.34 MH/s": two decimals in the largest unit the rate reaches.
std::string format_hash_rate(double rate);

}  // namespace qvn
