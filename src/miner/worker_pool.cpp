#include "miner/worker_pool.h"

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

#include "block/text.h"
#include "miner/nonce_job.h"

namespace qvn {

std::thread start_std_thread(std::uint32_t, std::function<void()> body) {
    return std::thread(std::move(body));
}

WorkerPool::WorkerPool(WorkerStarter start, JobClock clock)
    : start_(std::move(start)), clock_(std::move(clock)) {}

WorkerPool::~WorkerPool() {
    {
        const std::lock_guard lock(job_mutex_);
        quit_.store(true);
        if (job_) job_->abandon();
    }
    for (Worker& worker : workers_) {
        worker.turn.fetch_add(1, std::memory_order_release);
        worker.turn.notify_one();
    }
    for (std::thread& thread : threads_) thread.join();
}

void WorkerPool::post(std::shared_ptr<NonceJob> job) {
    std::shared_ptr<NonceJob> old;
    {
        const std::lock_guard lock(job_mutex_);
        old = std::exchange(job_, job);
    }
    if (old) old->abandon();
    const std::uint64_t workers = job->workers();
    const std::uint64_t kept = std::min<std::uint64_t>(workers, workers_.size());
    for (std::uint64_t i = 0; i < kept; ++i) {
        workers_[i].turn.fetch_add(1, std::memory_order_release);
        workers_[i].turn.notify_one();
    }
    for (std::uint64_t i = workers_.size(); i < workers; ++i) {
        try {
            start(static_cast<std::uint32_t>(i));
        } catch (const std::exception& e) {
            job->abandon();
            fail("cannot start worker thread " + std::to_string(i) + " of " +
                 std::to_string(workers) + ": " + e.what());
        }
    }
}

std::size_t WorkerPool::size() const { return started_.load(); }

// Room for the handle and the worker is made before the thread starts, so that
// a started thread is never dropped by a failed allocation. The new thread
// takes the job posted last as it starts.
void WorkerPool::start(std::uint32_t index) {
    if (threads_.size() == threads_.capacity()) {
        threads_.reserve(threads_.empty() ? 8 : 2 * threads_.size());
    }
    Worker* worker = &workers_.emplace_back();
    worker->turn.store(1);
    try {
        threads_.push_back(start_(index, [this, index, worker] { serve(index, *worker); }));
    } catch (...) {
        workers_.pop_back();
        throw;
    }
    started_.fetch_add(1);
}

void WorkerPool::serve(std::uint32_t index, Worker& worker) {
    for (std::uint32_t seen = 0;;) {
        worker.turn.wait(seen, std::memory_order_acquire);
        seen = worker.turn.load(std::memory_order_acquire);
        if (quit_.load()) return;
        // Several jobs may have been posted while this thread was on an
        // earlier one: it takes the last, if that one wants it.
        if (const std::shared_ptr<NonceJob> job = take_job(); job && index < job->workers()) {
            job->work(worker.slot);
        }
    }
}

std::shared_ptr<NonceJob> WorkerPool::take_job() {
    const std::lock_guard lock(job_mutex_);
    return job_;
}

}  // namespace qvn
