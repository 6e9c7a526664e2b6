#include "miner/chunk_miner.h"

#include <chrono>
#include <memory>
#include <optional>
#include <utility>

#include "block/text.h"
#include "miner/group_kernel.h"

namespace qvn {
namespace {

std::uint32_t hardware_threads() {
    const unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 1 : count;
}

// The job that mines this search: the pool's own when the call is for its
// next chunk, otherwise a new one, handed to the pool's threads.
NonceJob& job_for(WorkerPool& pool, const Search& search) {
    if (pool.job() && pool.job()->continued_by(search)) return *pool.job();
    auto job = std::make_shared<NonceJob>(search, pool.next_tag(), linked_group_kernel().width,
                                          pool.clock());
    job->take_interval(pool);  // the threads' counts from here on are the first chunk's
    pool.post(job);
    return *job;
}

// What the pool did since the last chunk of the job was handed back.
ChunkResult interval_of(NonceJob& job, const WorkerPool& pool) {
    NonceJob::Interval interval = job.take_interval(pool);
    ChunkResult result;
    result.elapsed_ms = std::chrono::duration<double, std::milli>(interval.elapsed).count();
    result.workers = std::move(interval.workers);
    return result;
}

// A hit or a stop ends the search: what the workers hashed for the chunk is
// what they hashed meanwhile. A hit is handed out once.
ChunkResult search_over(NonceJob& job, const WorkerPool& pool) {
    ChunkResult result = interval_of(job, pool);
    for (const WorkerCount& count : result.workers) result.hashes += count.hashes;
    if (job.hit_recorded()) {
        result.found = true;
        result.nonce = job.hit_nonce();
        result.hash = hash_bytes(job.hit_hash());
    }
    job.abandon();
    return result;
}

}  // namespace

ChunkResult cpu_mine_chunk(WorkerPool& pool, const std::array<std::uint8_t, 80>& header,
                           const Hash32& target, std::uint32_t first_nonce,
                           std::uint32_t last_nonce, std::uint32_t iters, std::uint32_t threads,
                           const std::atomic<bool>* stop) {
    if (iters == 0) fail("--iters must be positive");
    if (threads == 0) threads = hardware_threads();

    if (last_nonce < first_nonce) return ChunkResult{};

    NonceJob& job =
        job_for(pool, Search{header, target, first_nonce, last_nonce, iters, threads, stop});
    const NonceJob::End end = job.wait_next_chunk(pool);
    if (end == NonceJob::End::covered) {
        ChunkResult result = interval_of(job, pool);
        result.hashes = job.chunk_hashes();
        job.hand_back_chunk();
        return result;
    }
    return search_over(job, pool);
}

std::optional<ChunkResult> cpu_found_meanwhile(WorkerPool& pool,
                                               const std::array<std::uint8_t, 80>& header) {
    const std::shared_ptr<NonceJob>& job = pool.job();
    if (!job || !job->mines(header) || !job->hit_recorded()) return std::nullopt;
    return search_over(*job, pool);
}

std::optional<ChunkResult> cpu_end_search(WorkerPool& pool,
                                          const std::array<std::uint8_t, 80>& header) {
    if (std::optional<ChunkResult> found = cpu_found_meanwhile(pool, header)) return found;
    if (pool.job()) pool.job()->abandon();
    return std::nullopt;
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
