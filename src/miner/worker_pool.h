// Worker threads kept from one chunk to the next, parked until a chunk needs
// them, and joined when their owner (the mining loop, a benchmark, one call)
// lets the pool go.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qvn {

// One worker's hash count and the time it spent hashing, written once as its
// task ends. A cache line each, so that workers ending at different times do
// not share one.
struct alignas(64) WorkerCount {
    std::uint64_t hashes = 0;
    std::chrono::nanoseconds busy{0};
};

// Starts worker `index` running `body`; std::thread's constructor by default,
// tests hand in one that counts or fails.
using WorkerStarter = std::function<std::thread(std::uint32_t index, std::function<void()> body)>;

std::thread start_std_thread(std::uint32_t index, std::function<void()> body);

// What worker `index` does in one chunk; it leaves its hash count in slot.
using WorkerTask = std::function<void(std::uint32_t index, WorkerCount& slot)>;

// Started and joined per chunk, threads cost 45 us a worker, kept 5 us
// (BM_chunk_overhead with 128 workers on an AMD EPYC Zen 5, family 26 model
// 2, 2 vCPUs): an estimated 7-19% of the hashing at 64 to 128 threads and the
// default --iters, against 0.9-3.4% if the 5 us were paid one worker after
// another (README, Speed). So threads are started as a chunk first needs them
// and kept; one chunk at a time.
class WorkerPool {
  public:
    explicit WorkerPool(WorkerStarter start = start_std_thread);
    // Wakes every thread to leave and joins it.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs task on threads 0 .. workers - 1, starting those it lacks, and
    // returns their counts once every one is done; the threads beyond them
    // sleep on. If a thread cannot be started, stop_early() is called so
    // that the tasks under way end soon, they are waited for, and the reason
    // is thrown.
    std::vector<WorkerCount> run(std::uint64_t workers, const WorkerTask& task,
                                 const std::function<void()>& stop_early);

    // Threads started so far.
    std::size_t size() const;

  private:
    // One per thread. A chunk is handed over by stepping turn and waking that
    // thread alone; no lock is taken on the way in or out, since on a loaded
    // machine a woken worker would only wait for the lock again.
    struct Worker {
        std::atomic<std::uint32_t> turn{0};  // chunks handed to this thread
        WorkerCount count;
    };

    void start(std::uint32_t index);
    void serve(std::uint32_t index, Worker& worker, std::uint32_t seen);
    void wait_idle();

    WorkerStarter start_;
    std::mutex run_mutex_;  // one chunk at a time; guards threads_ and workers_
    std::vector<std::thread> threads_;
    std::deque<Worker> workers_;  // a deque does not move its elements when it grows
    std::atomic<std::size_t> started_{0};

    const WorkerTask* task_ = nullptr;    // published to a worker by its turn
    std::atomic<std::uint32_t> busy_{0};  // workers whose task has not ended
    std::atomic<bool> quit_{false};
};

}  // namespace qvn
