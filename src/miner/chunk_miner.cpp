#include "miner/chunk_miner.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <utility>
#include <vector>

#include "block/text.h"
#include "miner/group_kernel.h"

namespace qvn {
namespace {

std::uint32_t hardware_threads() {
    const unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 1 : count;
}

std::thread start_std_thread(std::uint32_t, std::function<void()> body) {
    return std::thread(std::move(body));
}

// One chunk as the workers see it: worker i hashes iters nonces from
// first + i * iters on, the last one what is left of total.
struct ChunkJob {
    std::uint64_t first = 0;
    std::uint64_t iters = 0;
    std::uint64_t total = 0;
    HeaderLanes lanes{};
    TargetWords words{};
    ChunkHit* hit = nullptr;
};

// Worker threads kept between chunks, parked on a condition variable. Started
// and joined per chunk they cost 45 us a worker, kept 5 us (BM_chunk_overhead
// with 128 workers on an AMD EPYC Zen 5, family 26 model 2, 2 vCPUs): an
// estimated 7-19% of the hashing at 64 to 128 threads and the default --iters,
// against 0.9-3.4% if the 5 us were paid one worker after another (README,
// Speed).
// Threads are started as a chunk first needs them, through the starter, and
// joined when the pool goes. One chunk at a time; a second caller waits.
class WorkerPool {
  public:
    explicit WorkerPool(WorkerStarter start) : start_(std::move(start)) {}
    ~WorkerPool() {
        {
            const std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs the chunk on workers threads and returns each one's count. If a
    // thread cannot be started, the workers already at it are stopped through
    // the hit flag (its record is then worthless) and waited for, and the
    // reason is thrown.
    std::vector<WorkerCount> run(const ChunkJob& job, std::uint64_t workers) {
        const std::lock_guard chunk(chunk_mutex_);
        {
            const std::lock_guard lock(mutex_);
            job_ = &job;
            workers_ = workers;
            busy_ = std::min<std::uint64_t>(workers, threads_.size());
            ++generation_;
        }
        wake_.notify_all();
        for (std::uint64_t i = threads_.size(); i < workers; ++i) {
            try {
                start(static_cast<std::uint32_t>(i));
            } catch (const std::exception& e) {
                job.hit->found.store(true);
                wait_idle();
                fail("cannot start worker thread " + std::to_string(i) + " of " +
                     std::to_string(workers) + ": " + e.what());
            }
        }
        wait_idle();
        return {counts_.begin(), counts_.begin() + static_cast<std::ptrdiff_t>(workers)};
    }

  private:
    // Room for the handle and the count is made before the thread starts, so
    // that a started thread is never dropped by a failed allocation. The new
    // thread takes part in the chunk under way.
    void start(std::uint32_t index) {
        if (threads_.size() == threads_.capacity())
            threads_.reserve(threads_.empty() ? 8 : 2 * threads_.size());
        WorkerCount& slot = counts_.emplace_back();
        {
            const std::lock_guard lock(mutex_);
            ++busy_;
        }
        try {
            threads_.push_back(start_(
                index, [this, index, &slot, seen = generation_ - 1] { serve(index, slot, seen); }));
        } catch (...) {
            counts_.pop_back();
            const std::lock_guard lock(mutex_);
            --busy_;
            throw;
        }
    }

    void serve(std::uint32_t index, WorkerCount& slot, std::uint64_t seen) {
        for (;;) {
            const ChunkJob* job = nullptr;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return quit_ || generation_ != seen; });
                if (quit_) return;
                seen = generation_;
                // A thread that wakes after its chunk is over finds no work.
                if (index >= workers_) continue;
                job = job_;
            }
            const std::uint64_t assigned = std::uint64_t{index} * job->iters;
            const std::uint64_t count = std::min(job->iters, job->total - assigned);
            const auto started = std::chrono::steady_clock::now();
            mine_worker(job->first + assigned, count, job->lanes, job->words, *job->hit, slot);
            slot.busy = std::chrono::steady_clock::now() - started;
            const std::lock_guard lock(mutex_);
            if (--busy_ == 0) idle_.notify_one();
        }
    }

    void wait_idle() {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [&] { return busy_ == 0; });
        workers_ = 0;
        job_ = nullptr;
    }

    WorkerStarter start_;
    std::mutex chunk_mutex_;  // one chunk at a time
    std::vector<std::thread> threads_;
    // One count per thread; a deque does not move its elements when it grows.
    std::deque<WorkerCount> counts_;

    std::mutex mutex_;  // guards what follows
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::uint64_t generation_ = 0;  // chunks handed out so far
    const ChunkJob* job_ = nullptr;
    std::uint64_t workers_ = 0;  // threads 0 .. workers_ - 1 take part in the chunk
    std::uint64_t busy_ = 0;     // of them, those not done yet
    bool quit_ = false;
};

ChunkResult mine_chunk(WorkerPool& pool, const std::array<std::uint8_t, 80>& header,
                       const Hash32& target, std::uint32_t first_nonce, std::uint32_t last_nonce,
                       std::uint32_t iters, std::uint32_t threads, const std::atomic<bool>* stop) {
    if (iters == 0) fail("--iters must be positive");
    if (threads == 0) threads = hardware_threads();

    ChunkResult result;
    if (last_nonce < first_nonce) return result;

    // 64-bit: the full range is 2^32 nonces.
    const std::uint64_t range = std::uint64_t{last_nonce} - first_nonce + 1;
    ChunkJob job;
    job.first = first_nonce;
    job.iters = iters;
    job.total = std::min(std::uint64_t{iters} * threads, range);
    job.lanes = header_lanes(header);
    job.words = target_words(target);
    ChunkHit hit;
    hit.stop = stop;
    job.hit = &hit;
    const std::uint64_t workers = (job.total + iters - 1) / iters;  // at most threads

    const auto t0 = std::chrono::steady_clock::now();
    result.workers = pool.run(job, workers);
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

}  // namespace

CpuBackend cpu_backend(std::uint32_t threads) {
    return CpuBackend{threads == 0 ? hardware_threads() : threads,
                      linked_group_kernel().backend_name};
}

// The workers of the plain form live as long as the process, from the first
// chunk on; a starter of one's own gets a pool for the one chunk.
ChunkResult cpu_mine_chunk(const std::array<std::uint8_t, 80>& header, const Hash32& target,
                           std::uint32_t first_nonce, std::uint32_t last_nonce, std::uint32_t iters,
                           std::uint32_t threads, const std::atomic<bool>* stop) {
    static WorkerPool pool(start_std_thread);
    return mine_chunk(pool, header, target, first_nonce, last_nonce, iters, threads, stop);
}

ChunkResult cpu_mine_chunk(const std::array<std::uint8_t, 80>& header, const Hash32& target,
                           std::uint32_t first_nonce, std::uint32_t last_nonce, std::uint32_t iters,
                           std::uint32_t threads, const WorkerStarter& start_worker,
                           const std::atomic<bool>* stop) {
    WorkerPool pool(start_worker);
    return mine_chunk(pool, header, target, first_nonce, last_nonce, iters, threads, stop);
}

}  // namespace qvn
