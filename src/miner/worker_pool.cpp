#include "miner/worker_pool.h"

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

#include "block/text.h"

namespace qvn {

std::thread start_std_thread(std::uint32_t, std::function<void()> body) {
    return std::thread(std::move(body));
}

WorkerPool::WorkerPool(WorkerStarter start) : start_(std::move(start)) {}

WorkerPool::~WorkerPool() {
    const std::lock_guard lock(run_mutex_);
    quit_.store(true);
    for (Worker& worker : workers_) {
        worker.turn.fetch_add(1, std::memory_order_release);
        worker.turn.notify_one();
    }
    for (std::thread& thread : threads_) thread.join();
}

std::vector<WorkerCount> WorkerPool::run(std::uint64_t workers, const WorkerTask& task,
                                         const std::function<void()>& stop_early) {
    const std::lock_guard one_chunk(run_mutex_);
    const std::uint64_t kept = std::min<std::uint64_t>(workers, workers_.size());
    task_ = &task;
    busy_.store(static_cast<std::uint32_t>(kept));
    for (std::uint64_t i = 0; i < kept; ++i) {
        workers_[i].turn.fetch_add(1, std::memory_order_release);
        workers_[i].turn.notify_one();
    }
    for (std::uint64_t i = workers_.size(); i < workers; ++i) {
        try {
            start(static_cast<std::uint32_t>(i));
        } catch (const std::exception& e) {
            stop_early();
            wait_idle();
            fail("cannot start worker thread " + std::to_string(i) + " of " +
                 std::to_string(workers) + ": " + e.what());
        }
    }
    wait_idle();
    std::vector<WorkerCount> counts;
    counts.reserve(workers);
    for (std::uint64_t i = 0; i < workers; ++i) counts.push_back(workers_[i].count);
    return counts;
}

std::size_t WorkerPool::size() const { return started_.load(); }

// Room for the handle and the worker is made before the thread starts, so that
// a started thread is never dropped by a failed allocation. The new thread
// takes part in the chunk under way: its first turn is already there.
void WorkerPool::start(std::uint32_t index) {
    if (threads_.size() == threads_.capacity()) {
        threads_.reserve(threads_.empty() ? 8 : 2 * threads_.size());
    }
    Worker* worker = &workers_.emplace_back();
    worker->turn.store(1);
    busy_.fetch_add(1);
    try {
        threads_.push_back(start_(index, [this, index, worker] { serve(index, *worker, 0); }));
    } catch (...) {
        workers_.pop_back();
        busy_.fetch_sub(1);
        throw;
    }
    started_.fetch_add(1);
}

void WorkerPool::serve(std::uint32_t index, Worker& worker, std::uint32_t seen) {
    for (;;) {
        worker.turn.wait(seen, std::memory_order_acquire);
        seen = worker.turn.load(std::memory_order_acquire);
        if (quit_.load()) return;
        const auto started = std::chrono::steady_clock::now();
        (*task_)(index, worker.count);
        worker.count.busy = std::chrono::steady_clock::now() - started;
        if (busy_.fetch_sub(1, std::memory_order_acq_rel) == 1) busy_.notify_one();
    }
}

void WorkerPool::wait_idle() {
    for (std::uint32_t busy = busy_.load(std::memory_order_acquire); busy != 0;
         busy = busy_.load(std::memory_order_acquire)) {
        busy_.wait(busy, std::memory_order_acquire);
    }
    task_ = nullptr;
}

}  // namespace qvn
