// One header's nonce range, hashed by the pool's threads together: each
// claims the next batch from a shared cursor as it is ready for it, so that a
// thread held back by another process leaves the rest to the others, and no
// thread waits for another. The job runs on past the chunk its caller waits
// for, so that a thread that has run out of the chunk's nonces hashes those
// of the next chunk meanwhile; the next call for the same header takes them
// over. Only new work, the end of the range, a hit or a stop ends it.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

#include "block/bytes.h"
#include "miner/lanes.h"
#include "miner/worker_pool.h"

namespace qvn {

// Shared by the workers of one job: the flag is set once, by compare-exchange,
// and only the worker that set it writes nonce and hash. A stop from outside
// (the process's stop request) ends the workers the same way, without a hit;
// so does setting the flag by hand, which leaves a record nobody reads.
struct ChunkHit {
    std::atomic<bool> found{false};
    std::uint32_t nonce = 0;
    HashWords hash{};
    const std::atomic<bool>* stop = nullptr;
};

// Whether the workers of a job should end now: a hit, or a stop from outside.
inline bool chunk_over(const ChunkHit& hit) {
    return hit.found.load(std::memory_order_relaxed) ||
           (hit.stop != nullptr && hit.stop->load(std::memory_order_relaxed));
}

// What mine_worker did with its nonces: how many it hashed, and whether it
// won the hit flag (and so wrote the record).
struct WorkerPass {
    std::uint64_t hashes = 0;
    bool won = false;
};

// The body of one batch: hashes count nonces from the low 32 bits of
// first_nonce on (32-bit wrap-around), whole groups first, and stops early
// when the hit flag or the stop is set. Each flavour compiles it with its
// group kernel (group_kernel.cpp).
WorkerPass mine_worker(std::uint64_t first_nonce, std::uint64_t count, const HeaderLanes& lanes,
                       const TargetWords& target, ChunkHit& hit);

// What a job's search is: the candidate header and target, the nonce range
// and the chunk size its caller asked for.
struct Search {
    std::array<std::uint8_t, 80> header{};  // bytes 76..79 ignored
    Hash32 target{};
    std::uint32_t first_nonce = 0;
    std::uint32_t last_nonce = 0;  // included; not below first_nonce
    std::uint32_t iters = 1;       // nonces per worker per chunk, at least 1
    std::uint32_t threads = 1;     // at least 1
    const std::atomic<bool>* stop = nullptr;
};

class NonceJob {
  public:
    // How waiting for a chunk ended.
    enum class End { covered, hit, stopped };

    // tag tells this job's claims apart from an earlier job's in a thread's
    // slot (WorkerPool::next_tag); group_width is the linked kernel's; clock
    // is the pool's.
    NonceJob(const Search& search, std::uint32_t tag, std::uint32_t group_width, JobClock clock);

    // Threads that take part: as many as the first chunk has iters for.
    std::uint64_t workers() const { return workers_; }

    // Whether a call for this chunk goes on with this job: the same search,
    // the chunk right after the last one handed back, and not abandoned. A
    // hit the workers found meanwhile, past the last chunk, is this call's.
    bool continued_by(const Search& search) const;

    // A pool thread's part: claims batches until none is left, a hit, a stop
    // or abandon(), keeping its slot up to date.
    void work(WorkerSlot& slot);

    // Ends every thread's part within a group of nonces; the job is over,
    // and a hit it held is not handed out again.
    void abandon() {
        abandoned_.store(true);
        hit_.found.store(true);
    }

    // Waits until every nonce of the next chunk (from first_nonce of the
    // continuing call, or of the job's first) has been hashed by the pool's
    // threads, or a hit or a stop; returns at once on a hit found earlier.
    // The chunk's nonces count: chunk_hashes().
    End wait_next_chunk(const WorkerPool& pool);
    std::uint64_t chunk_hashes() const { return chunk_end_ - next_; }
    // After End::covered: the next chunk starts where this one ended.
    void hand_back_chunk() { next_ = chunk_end_; }

    // Whether the winner has written its record: after wait_next_chunk
    // returned End::hit, or meanwhile, past the last chunk handed back.
    bool hit_recorded() const { return recorded_.load(std::memory_order_acquire); }
    // Whether the job searches this header (bytes 76..79 aside) and goes on.
    bool mines(const std::array<std::uint8_t, 80>& header) const;
    std::uint32_t hit_nonce() const { return hit_.nonce; }
    HashWords hit_hash() const { return hit_.hash; }

    // What each of the job's threads hashed, and for how long, since the
    // interval started, and the wall time since then; the next starts now.
    // Taken once before the job is posted, it starts the first interval.
    struct Interval {
        std::vector<WorkerCount> workers;
        std::chrono::nanoseconds elapsed{0};
    };
    Interval take_interval(const WorkerPool& pool);

  private:
    bool covered(std::uint64_t end, const WorkerPool& pool) const;
    void wake_waiter();

    // Read-only while threads work.
    HeaderLanes lanes_;
    TargetWords target_;
    Search search_;
    std::uint32_t tag_;
    std::uint64_t size_;     // nonces in the range, up to 2^32
    std::uint64_t chunk_;    // iters x threads: a chunk's nonces, the last one cut at the range
    std::uint64_t batch_;    // nonces per claim
    std::uint64_t workers_;  // threads that take part
    JobClock clock_;

    ChunkHit hit_;
    std::atomic<bool> recorded_{false};  // the winner has written the record
    std::atomic<bool> abandoned_{false};
    // Offsets from first_nonce: the next one nobody has claimed.
    alignas(64) std::atomic<std::uint64_t> cursor_{0};
    // Stepped when a thread leaves the job or claims into a later chunk, so
    // that the waiter looks again.
    alignas(64) std::atomic<std::uint32_t> progress_{0};

    // The caller's: the chunk handed back last, the one waited for, and the
    // counts at the start of the interval.
    alignas(64) std::uint64_t next_ = 0;
    std::uint64_t chunk_end_ = 0;
    std::chrono::steady_clock::time_point marked_at_;
    std::vector<WorkerCount> marks_;
};

}  // namespace qvn
