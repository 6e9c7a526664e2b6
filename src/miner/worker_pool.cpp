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
    {
        const std::lock_guard lock(mutex_);
        quit_ = true;
        for (Worker& worker : workers_) worker.wake.notify_one();
    }
    for (std::thread& thread : threads_) thread.join();
}

std::vector<WorkerCount> WorkerPool::run(std::uint64_t workers, const WorkerTask& task,
                                         const std::function<void()>& stop_early) {
    const std::lock_guard one_chunk(run_mutex_);
    {
        const std::lock_guard lock(mutex_);
        task_ = &task;
        const std::uint64_t kept = std::min<std::uint64_t>(workers, workers_.size());
        busy_ = kept;
        for (std::uint64_t i = 0; i < kept; ++i) {
            workers_[i].has_task = true;
            workers_[i].wake.notify_one();
        }
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

std::size_t WorkerPool::size() const {
    const std::lock_guard lock(mutex_);
    return workers_.size();
}

// Room for the handle and the worker is made before the thread starts, so that
// a started thread is never dropped by a failed allocation. The new thread
// takes part in the chunk under way.
void WorkerPool::start(std::uint32_t index) {
    if (threads_.size() == threads_.capacity()) {
        threads_.reserve(threads_.empty() ? 8 : 2 * threads_.size());
    }
    Worker* worker = nullptr;
    {
        const std::lock_guard lock(mutex_);
        worker = &workers_.emplace_back();
        worker->has_task = true;
        ++busy_;
    }
    try {
        threads_.push_back(start_(index, [this, index, worker] { serve(index, *worker); }));
    } catch (...) {
        const std::lock_guard lock(mutex_);
        workers_.pop_back();
        --busy_;
        throw;
    }
}

void WorkerPool::serve(std::uint32_t index, Worker& worker) {
    for (;;) {
        const WorkerTask* task = nullptr;
        {
            std::unique_lock lock(mutex_);
            worker.wake.wait(lock, [&] { return quit_ || worker.has_task; });
            if (quit_) return;
            task = task_;
        }
        const auto started = std::chrono::steady_clock::now();
        (*task)(index, worker.count);
        worker.count.busy = std::chrono::steady_clock::now() - started;
        const std::lock_guard lock(mutex_);
        worker.has_task = false;
        if (--busy_ == 0) idle_.notify_one();
    }
}

void WorkerPool::wait_idle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return busy_ == 0; });
    task_ = nullptr;
}

}  // namespace qvn
