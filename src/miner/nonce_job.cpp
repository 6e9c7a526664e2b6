#include "miner/nonce_job.h"

#include <algorithm>
#include <utility>

namespace qvn {
namespace {

// Groups per batch: about a millisecond of one core's hashing with every
// kernel (4096 nonces of the four-way one at 3.6 M/s), so that the one shared
// atomic operation of a claim is lost in it, and a thread that runs out of
// nonces at the end of the range waits for the others about that long.
constexpr std::uint64_t kGroupsPerBatch = 1024;

// Batches of whole groups, as many as a worker's chunk holds up to the cap;
// fewer nonces per worker than a group make batches of that many.
std::uint64_t batch_size(std::uint32_t iters, std::uint32_t width) {
    if (iters < width) return iters;
    return std::min<std::uint64_t>(iters / width, kGroupsPerBatch) * width;
}

std::uint64_t claim_word(std::uint32_t tag, std::uint64_t offset) {
    return (std::uint64_t{tag} << 32) | offset;
}

}  // namespace

NonceJob::NonceJob(const Search& search, std::uint32_t tag, std::uint32_t group_width,
                   JobClock clock)
    : lanes_(header_lanes(search.header)),
      target_(target_words(search.target)),
      search_(search),
      tag_(tag),
      size_(std::uint64_t{search.last_nonce} - search.first_nonce + 1),
      chunk_(std::uint64_t{search.iters} * search.threads),
      batch_(batch_size(search.iters, group_width)),
      workers_(std::min<std::uint64_t>(
          search.threads, (std::min(chunk_, size_) + search.iters - 1) / search.iters)),
      clock_(std::move(clock)) {
    hit_.stop = search.stop;
}

bool NonceJob::mines(const std::array<std::uint8_t, 80>& header) const {
    return !abandoned_.load() &&
           std::equal(header.begin(), header.begin() + 76, search_.header.begin());
}

bool NonceJob::continued_by(const Search& search) const {
    return mines(search.header) && search.stop == search_.stop && search.iters == search_.iters &&
           search.threads == search_.threads && search.last_nonce == search_.last_nonce &&
           std::uint64_t{search.first_nonce} == search_.first_nonce + next_ &&
           search.target == search_.target;
}

void NonceJob::work(WorkerSlot& slot) {
    // Before the first claim the slot says "nothing below 0": the caller
    // that sees the cursor past a chunk sees this too, and waits.
    std::uint64_t published = 0;
    slot.claim.store(claim_word(tag_, published), std::memory_order_relaxed);
    auto clock = clock_();
    while (!chunk_over(hit_)) {
        // Release: whoever sees the cursor moved sees the slot as it was
        // before this claim or later, a bound at or below this batch until
        // the batch is done.
        const std::uint64_t offset = cursor_.fetch_add(batch_, std::memory_order_release);
        if (offset >= size_) break;
        slot.claim.store(claim_word(tag_, offset), std::memory_order_release);
        if (offset / chunk_ != published / chunk_) wake_waiter();
        published = offset;

        const std::uint64_t count = std::min(batch_, size_ - offset);
        const WorkerPass pass =
            mine_worker(search_.first_nonce + offset, count, lanes_, target_, hit_);
        // The hit is out before the clock is read: a clock that holds this
        // thread there holds it with its hit recorded.
        slot.add_hashes(pass.hashes);
        if (pass.won) recorded_.store(true, std::memory_order_release);
        const auto now = clock_();
        slot.add_busy(now - clock);
        clock = now;
        if (pass.hashes < count) break;
    }
    slot.claim.store(WorkerSlot::kNoClaim, std::memory_order_release);
    wake_waiter();
}

void NonceJob::wake_waiter() {
    progress_.fetch_add(1, std::memory_order_release);
    progress_.notify_one();
}

NonceJob::End NonceJob::wait_next_chunk(const WorkerPool& pool) {
    chunk_end_ = std::min(next_ + chunk_, size_);
    for (;;) {
        const std::uint32_t seen = progress_.load(std::memory_order_acquire);
        // In this order: a thread gives up its claim only after it recorded
        // its hit, or saw another's or a stop and left its batch unfinished,
        // so a chunk seen covered shows those too.
        const bool done = covered(chunk_end_, pool);
        if (recorded_.load(std::memory_order_acquire)) return End::hit;
        if (search_.stop != nullptr && search_.stop->load()) return End::stopped;
        if (done && !hit_.found.load()) return End::covered;
        progress_.wait(seen, std::memory_order_acquire);
    }
}

// Every nonce below end is hashed once the cursor has passed it and no thread
// of this job holds a claim below it.
bool NonceJob::covered(std::uint64_t end, const WorkerPool& pool) const {
    if (cursor_.load(std::memory_order_acquire) < end) return false;
    const std::size_t threads = std::min<std::uint64_t>(workers_, pool.size());
    for (std::size_t i = 0; i < threads; ++i) {
        const std::uint64_t claim = pool.slot(i).claim.load(std::memory_order_acquire);
        if (claim == WorkerSlot::kNoClaim || claim >> 32 != tag_) continue;
        if ((claim & 0xffffffff) < end) return false;
    }
    return true;
}

NonceJob::Interval NonceJob::take_interval(const WorkerPool& pool) {
    Interval interval;
    interval.elapsed = clock_() - marked_at_;
    const std::size_t threads = std::min<std::uint64_t>(workers_, pool.size());
    marks_.resize(threads);  // threads started for this job began at zero
    for (std::size_t i = 0; i < threads; ++i) {
        const WorkerCount now = pool.slot(i).count();
        interval.workers.push_back({now.hashes - marks_[i].hashes, now.busy - marks_[i].busy});
        marks_[i] = now;
    }
    marked_at_ += interval.elapsed;
    return interval;
}

}  // namespace qvn
