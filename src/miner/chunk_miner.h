// The chunk miner: one chunk of the nonce space of one header, split into
// contiguous ranges, one per worker thread. Workers hash groups of nonces with
// the linked group kernel (one, two, three, four or seventeen nonces at a
// time: portable, NEON, NEON and scalar, AVX2, AVX-512) and the last
// few that do not fill a group with the scalar kernel; the first hit stops
// them all.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "block/bytes.h"
#include "miner/lanes.h"
#include "miner/worker_pool.h"

namespace qvn {

struct ChunkResult {
    bool found = false;
    std::uint32_t nonce = 0;   // the winning nonce
    Hash32 hash{};             // its SHA3-256t digest, in digest byte order
    std::uint64_t hashes = 0;  // nonces hashed by all workers together
    double elapsed_ms = 0.0;   // steady-clock wall time from handing out the work to its end
    std::vector<WorkerCount> workers;  // each worker's share, in worker order
};

// Shared by the workers of one chunk: the flag is set once, by compare-exchange,
// and only the worker that set it writes nonce and hash. A stop from outside
// (the process's stop request) ends the workers the same way, without a hit.
struct ChunkHit {
    std::atomic<bool> found{false};
    std::uint32_t nonce = 0;
    HashWords hash{};
    const std::atomic<bool>* stop = nullptr;
};

// Whether the workers of a chunk should end now: a hit, or a stop from outside.
inline bool chunk_over(const ChunkHit& hit) {
    return hit.found.load(std::memory_order_relaxed) ||
           (hit.stop != nullptr && hit.stop->load(std::memory_order_relaxed));
}

struct CpuBackend {
    std::uint32_t threads = 0;  // resolved worker count
    std::string name;
};

// threads 0 means the hardware concurrency (1 when that is unknown).
CpuBackend cpu_backend(std::uint32_t threads);

// Searches first_nonce..last_nonce (both included) for a nonce whose SHA3-256t
// meets the target, at most iters nonces per worker and threads workers
// (0: the hardware concurrency), on the pool's threads. Header bytes 76..79
// are ignored. Without a hit exactly first_nonce .. first_nonce + hashes - 1
// were hashed. A set *stop ends the chunk within a group of nonces per
// worker. Throws "--iters must be positive" for iters 0, and when a worker
// thread cannot be started (after stopping the workers already at the chunk
// and waiting for them).
ChunkResult cpu_mine_chunk(WorkerPool& pool, const std::array<std::uint8_t, 80>& header,
                           const Hash32& target, std::uint32_t first_nonce,
                           std::uint32_t last_nonce, std::uint32_t iters, std::uint32_t threads,
                           const std::atomic<bool>* stop = nullptr);

// The same on threads of its own, started for this call and joined before it
// returns; with a starter, through it.
ChunkResult cpu_mine_chunk(const std::array<std::uint8_t, 80>& header, const Hash32& target,
                           std::uint32_t first_nonce, std::uint32_t last_nonce, std::uint32_t iters,
                           std::uint32_t threads, const std::atomic<bool>* stop = nullptr);
ChunkResult cpu_mine_chunk(const std::array<std::uint8_t, 80>& header, const Hash32& target,
                           std::uint32_t first_nonce, std::uint32_t last_nonce, std::uint32_t iters,
                           std::uint32_t threads, const WorkerStarter& start_worker,
                           const std::atomic<bool>* stop = nullptr);

// The body of one worker: hashes count nonces from the low 32 bits of
// first_nonce on (32-bit wrap-around), whole groups first, stops early when
// the hit flag or the stop is set, and stores its hash count in its slot as it ends.
// Each flavour compiles it with its group kernel (group_kernel.cpp).
void mine_worker(std::uint64_t first_nonce, std::uint64_t count, const HeaderLanes& lanes,
                 const TargetWords& target, ChunkHit& hit, WorkerCount& slot);

}  // namespace qvn
