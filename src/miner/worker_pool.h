// Worker threads kept for their owner's whole run (the mining loop, a
// benchmark, one call), each parked until a job is handed to it, and joined
// when the owner lets the pool go.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qvn {

class NonceJob;

// One worker's hash count and the time it spent hashing.
struct WorkerCount {
    std::uint64_t hashes = 0;
    std::chrono::nanoseconds busy{0};
};

// A thread's own line: written by that thread alone, read by the caller that
// waits for a chunk. claim is the tag of the thread's job in the high half
// and, in the low half, the offset of the batch in hand, or a bound below
// the next one it may claim; kNoClaim while it holds none.
struct alignas(64) WorkerSlot {
    static constexpr std::uint64_t kNoClaim = ~std::uint64_t{0};
    std::atomic<std::uint64_t> claim{kNoClaim};
    std::atomic<std::uint64_t> hashes{0};  // since the thread started
    std::atomic<std::int64_t> busy_ns{0};

    // The owner's running totals; plain stores, there is no other writer.
    void add_hashes(std::uint64_t hashed) {
        hashes.store(hashes.load(std::memory_order_relaxed) + hashed, std::memory_order_relaxed);
    }
    void add_busy(std::chrono::nanoseconds busy) {
        busy_ns.store(busy_ns.load(std::memory_order_relaxed) + busy.count(),
                      std::memory_order_relaxed);
    }
    WorkerCount count() const {
        return {hashes.load(std::memory_order_relaxed),
                std::chrono::nanoseconds{busy_ns.load(std::memory_order_relaxed)}};
    }
};

// Starts worker `index` running `body`; std::thread's constructor by default,
// tests hand in one that counts, holds a worker back, or fails.
using WorkerStarter = std::function<std::thread(std::uint32_t index, std::function<void()> body)>;

std::thread start_std_thread(std::uint32_t index, std::function<void()> body);

// The time as the workers read it for their busy times, and their caller for
// its intervals: the steady clock, or a test's that holds a thread at a
// chosen reading, to order what only timing orders otherwise.
using JobClock = std::function<std::chrono::steady_clock::time_point()>;

// Started and joined per chunk, threads cost 45 us a worker, kept 5 us
// (BM_chunk_overhead with 128 workers on an AMD EPYC Zen 5, family 26 model
// 2, 2 vCPUs): an estimated 7-19% of the hashing at 64 to 128 threads and the
// default --iters (doc/performance.md). So threads are started as a job first
// needs them and kept.
class WorkerPool {
  public:
    explicit WorkerPool(WorkerStarter start = start_std_thread,
                        JobClock clock = std::chrono::steady_clock::now);
    // Abandons the job under way, wakes every thread to leave and joins it.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Hands job to threads 0 .. job->workers() - 1, starting those it lacks,
    // and returns; the job before it is abandoned, and threads still on it
    // move over as soon as they leave it. If a thread cannot be started, the
    // job is abandoned too and the reason is thrown.
    void post(std::shared_ptr<NonceJob> job);

    // The job posted last, or none.
    const std::shared_ptr<NonceJob>& job() const { return job_; }
    const JobClock& clock() const { return clock_; }
    // A tag for the next job, different from the tags of the 2^31 - 1 before.
    std::uint32_t next_tag() { return tags_++ & 0x7fffffff; }

    // Threads started so far, and each one's slot.
    std::size_t size() const;
    const WorkerSlot& slot(std::size_t index) const { return workers_[index].slot; }

  private:
    // One per thread. A job is handed over by stepping turn and waking that
    // thread alone; it takes the job under the lock, once per job.
    struct Worker {
        WorkerSlot slot;
        alignas(64) std::atomic<std::uint32_t> turn{0};  // jobs handed to this thread
    };

    void start(std::uint32_t index);
    void serve(std::uint32_t index, Worker& worker);
    std::shared_ptr<NonceJob> take_job();

    WorkerStarter start_;
    JobClock clock_;
    std::vector<std::thread> threads_;
    std::deque<Worker> workers_;  // a deque does not move its elements when it grows
    std::atomic<std::size_t> started_{0};
    std::uint32_t tags_ = 0;

    std::mutex job_mutex_;  // guards job_ against the threads taking it
    std::shared_ptr<NonceJob> job_;
    std::atomic<bool> quit_{false};
};

}  // namespace qvn
