#include "miner/chunk_miner.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "block/text.h"
#include "miner/group_kernel.h"

namespace qvn {
namespace {

std::uint32_t hardware_threads() {
    const unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 1 : count;
}

}  // namespace

ChunkResult cpu_mine_chunk(WorkerPool& pool, const std::array<std::uint8_t, 80>& header,
                           const Hash32& target, std::uint32_t first_nonce,
                           std::uint32_t last_nonce, std::uint32_t iters, std::uint32_t threads,
                           const std::atomic<bool>* stop) {
    if (iters == 0) fail("--iters must be positive");
    if (threads == 0) threads = hardware_threads();

    ChunkResult result;
    if (last_nonce < first_nonce) return result;

    // 64-bit: the full range is 2^32 nonces. Worker i hashes iters nonces
    // from first_nonce + i * iters on, the last one what is left of total.
    const std::uint64_t range = std::uint64_t{last_nonce} - first_nonce + 1;
    const std::uint64_t total = std::min(std::uint64_t{iters} * threads, range);
    const std::uint64_t workers = (total + iters - 1) / iters;  // at most threads
    const HeaderLanes lanes = header_lanes(header);
    const TargetWords target_in_words = target_words(target);
    ChunkHit hit;
    hit.stop = stop;
    const WorkerTask task = [&](std::uint32_t index, WorkerCount& slot) {
        const std::uint64_t assigned = std::uint64_t{index} * iters;
        const std::uint64_t count = std::min<std::uint64_t>(iters, total - assigned);
        mine_worker(std::uint64_t{first_nonce} + assigned, count, lanes, target_in_words, hit,
                    slot);
    };

    const auto t0 = std::chrono::steady_clock::now();
    // A worker that cannot be started stops the others through the hit flag;
    // the record is then worthless, and the failure is thrown.
    result.workers = pool.run(workers, task, [&hit] { hit.found.store(true); });
    const auto t1 = std::chrono::steady_clock::now();
    for (const WorkerCount& count : result.workers) result.hashes += count.hashes;

    result.elapsed_ms =
        static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()) /
        1e6;
    if (hit.found.load()) {
        result.found = true;
        result.nonce = hit.nonce;
        result.hash = hash_bytes(hit.hash);
    }
    return result;
}

CpuBackend cpu_backend(std::uint32_t threads) {
    return CpuBackend{threads == 0 ? hardware_threads() : threads,
                      linked_group_kernel().backend_name};
}

ChunkResult cpu_mine_chunk(const std::array<std::uint8_t, 80>& header, const Hash32& target,
                           std::uint32_t first_nonce, std::uint32_t last_nonce, std::uint32_t iters,
                           std::uint32_t threads, const std::atomic<bool>* stop) {
    WorkerPool pool;
    return cpu_mine_chunk(pool, header, target, first_nonce, last_nonce, iters, threads, stop);
}

ChunkResult cpu_mine_chunk(const std::array<std::uint8_t, 80>& header, const Hash32& target,
                           std::uint32_t first_nonce, std::uint32_t last_nonce, std::uint32_t iters,
                           std::uint32_t threads, const WorkerStarter& start_worker,
                           const std::atomic<bool>* stop) {
    WorkerPool pool(start_worker);
    return cpu_mine_chunk(pool, header, target, first_nonce, last_nonce, iters, threads, stop);
}

}  // namespace qvn
