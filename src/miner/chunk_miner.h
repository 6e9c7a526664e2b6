// The chunk miner: one chunk of the nonce space of one header, searched by
// the pool's worker threads, which share out its nonces in batches as they
// go (nonce_job.h). Workers hash groups of nonces with the linked group
// kernel (one, two, three, four or eight nonces at a time: portable,
// NEON, NEON and scalar, AVX2, AVX-512) and the last few of the range that do
// not fill a group with the scalar kernel; the first hit stops them all.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "block/bytes.h"
#include "miner/lanes.h"
#include "miner/nonce_job.h"
#include "miner/worker_pool.h"

namespace qvn {

struct ChunkResult {
    bool found = false;
    std::uint32_t nonce = 0;   // the winning nonce
    Hash32 hash{};             // its SHA3-256t digest, in digest byte order
    std::uint64_t hashes = 0;  // nonces hashed for this chunk
    // Wall time since the chunk before it in the same search ended (or since
    // the search was handed out), and what each worker hashed meanwhile, in
    // worker order: the pool's rate, whichever chunk the nonces were of.
    double elapsed_ms = 0.0;
    std::vector<WorkerCount> workers;
};

struct CpuBackend {
    std::uint32_t threads = 0;  // resolved worker count
    std::string name;
};

// threads 0 means the hardware concurrency (1 when that is unknown).
CpuBackend cpu_backend(std::uint32_t threads);

// Searches first_nonce..last_nonce (both included) for a nonce whose SHA3-256t
// meets the target, at most iters x threads nonces, with threads workers
// (0: the hardware concurrency) of the pool. Header bytes 76..79 are ignored.
// Without a hit or a stop exactly first_nonce .. first_nonce + hashes - 1 were
// hashed, hashes = min(iters x threads, range). The workers go on past the
// chunk, into the next one, while any of them is still on it: a call for the
// next chunk of the same search takes up their work, any other call abandons
// it. A set *stop ends the chunk within a group of nonces per worker; the
// flag must outlive the pool. Throws "--iters must be positive" for iters 0,
// and when a worker thread cannot be started (after abandoning the work).
ChunkResult cpu_mine_chunk(WorkerPool& pool, const std::array<std::uint8_t, 80>& header,
                           const Hash32& target, std::uint32_t first_nonce,
                           std::uint32_t last_nonce, std::uint32_t iters, std::uint32_t threads,
                           const std::atomic<bool>* stop = nullptr);

// A hit the workers found for this header since its last chunk was handed
// back, running on past it; the search ends with it. Asked before the caller
// takes other work or stops, so that no block found is left behind.
std::optional<ChunkResult> cpu_found_meanwhile(WorkerPool& pool,
                                               const std::array<std::uint8_t, 80>& header);

// Ends the search the workers go on with past its last chunk, so that they
// park; a hit they found meanwhile for this header is returned, as above.
std::optional<ChunkResult> cpu_end_search(WorkerPool& pool,
                                          const std::array<std::uint8_t, 80>& header);

// The same on threads of its own, started for this call and joined before it
// returns; with a starter, through it.
ChunkResult cpu_mine_chunk(const std::array<std::uint8_t, 80>& header, const Hash32& target,
                           std::uint32_t first_nonce, std::uint32_t last_nonce, std::uint32_t iters,
                           std::uint32_t threads, const std::atomic<bool>* stop = nullptr);
ChunkResult cpu_mine_chunk(const std::array<std::uint8_t, 80>& header, const Hash32& target,
                           std::uint32_t first_nonce, std::uint32_t last_nonce, std::uint32_t iters,
                           std::uint32_t threads, const WorkerStarter& start_worker,
                           const std::atomic<bool>* stop = nullptr);

}  // namespace qvn
