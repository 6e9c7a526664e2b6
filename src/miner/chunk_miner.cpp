#include "miner/chunk_miner.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <exception>
#include <utility>
#include <vector>

#include "block/text.h"
#include "miner/group_kernel.h"
#include "miner/scalar_kernel.h"

namespace qvn {
namespace {

std::uint32_t hardware_threads() {
    const unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 1 : count;
}

// Exactly one worker wins the flag; only the winner writes the record.
void claim_hit(ChunkHit& hit, std::uint32_t nonce, const HashWords& hash) {
    bool expected = false;
    if (hit.found.compare_exchange_strong(expected, true)) {
        hit.nonce = nonce;
        hit.hash = hash;
    }
}

std::thread start_std_thread(std::uint32_t, std::function<void()> body) {
    return std::thread(std::move(body));
}

// The worker threads of one chunk. If the chunk is left by an exception while
// workers run, they are told to stop through the hit flag (its record is then
// worthless) and joined, so no thread outlives the call.
class WorkerThreads {
  public:
    explicit WorkerThreads(ChunkHit& hit) : hit_(hit) {}
    ~WorkerThreads() {
        if (threads_.empty()) return;
        hit_.found.store(true);
        join_all();
    }
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // Room for the handle is made before the thread starts, so that a started
    // thread is never dropped by a failed allocation.
    template <class Start>
    void start(Start&& start_thread) {
        if (threads_.size() == threads_.capacity())
            threads_.reserve(threads_.empty() ? 8 : 2 * threads_.size());
        threads_.push_back(start_thread());
    }

    // Joins in start order.
    void join_all() {
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
    }

  private:
    ChunkHit& hit_;
    std::vector<std::thread> threads_;
};

}  // namespace

CpuBackend cpu_backend(std::uint32_t threads) {
    return CpuBackend{threads == 0 ? hardware_threads() : threads, kGroupKernel.backend_name};
}

void mine_worker(std::uint64_t first_nonce, std::uint64_t count, const HeaderLanes& lanes,
                 const TargetWords& target, ChunkHit& hit, WorkerCount& slot) {
    auto n = static_cast<std::uint32_t>(first_nonce);
    std::uint64_t left = count;
    std::uint64_t done = 0;

    bool stopped = false;
    while (!stopped && left >= kGroupKernel.width) {
        if (chunk_over(hit)) break;
        std::uint32_t nonce = 0;
        HashWords hash{};
        const bool found = hash_group(lanes, target, n, nonce, hash);
        // The whole group was hashed, whichever of its nonces hit.
        done += kGroupKernel.width;
        if (found) {
            claim_hit(hit, nonce, hash);
            stopped = true;
        }
        left -= kGroupKernel.width;
        n += kGroupKernel.width;
    }

    // Scalar tail: the nonces that do not fill a group.
    for (; !stopped && left > 0; --left, ++n) {
        if (chunk_over(hit)) break;
        HashWords hash;
        sha3_256t_fixed(lanes, n, hash);
        ++done;
        if (meets_target(hash, target)) {
            claim_hit(hit, n, hash);
            stopped = true;
        }
    }

    slot.hashes = done;
}

ChunkResult cpu_mine_chunk(const std::array<std::uint8_t, 80>& header, const Hash32& target,
                           std::uint32_t first_nonce, std::uint32_t last_nonce, std::uint32_t iters,
                           std::uint32_t threads, const std::atomic<bool>* stop) {
    return cpu_mine_chunk(header, target, first_nonce, last_nonce, iters, threads, start_std_thread,
                          stop);
}

ChunkResult cpu_mine_chunk(const std::array<std::uint8_t, 80>& header, const Hash32& target,
                           std::uint32_t first_nonce, std::uint32_t last_nonce, std::uint32_t iters,
                           std::uint32_t threads, const WorkerStarter& start_worker,
                           const std::atomic<bool>* stop) {
    if (iters == 0) fail("--iters must be positive");
    if (threads == 0) threads = hardware_threads();

    ChunkResult result;
    if (last_nonce < first_nonce) return result;

    // 64-bit: the full range is 2^32 nonces.
    const std::uint64_t range = std::uint64_t{last_nonce} - first_nonce + 1;
    const std::uint64_t total = std::min(std::uint64_t{iters} * threads, range);
    const std::uint64_t workers = (total + iters - 1) / iters;  // at most threads

    const HeaderLanes lanes = header_lanes(header);
    const TargetWords words = target_words(target);
    ChunkHit hit;
    hit.stop = stop;
    // One slot per worker actually started, added as it starts: a huge thread
    // count costs nothing up front, and running workers keep their slots
    // (a deque does not move its elements when it grows).
    std::deque<WorkerCount> counts;
    WorkerThreads running(hit);

    const auto t0 = std::chrono::steady_clock::now();
    std::uint64_t assigned = 0;
    for (std::uint32_t i = 0; assigned < total; ++i) {
        const std::uint64_t count = std::min<std::uint64_t>(iters, total - assigned);
        const std::uint64_t first = std::uint64_t{first_nonce} + assigned;
        try {
            WorkerCount& slot = counts.emplace_back();
            running.start([&] {
                return start_worker(i, [first, count, &lanes, &words, &hit, &slot] {
                    mine_worker(first, count, lanes, words, hit, slot);
                });
            });
        } catch (const std::exception& e) {
            fail("cannot start worker thread " + std::to_string(i) + " of " +
                 std::to_string(workers) + ": " + e.what());
        }
        assigned += count;
    }
    running.join_all();
    const auto t1 = std::chrono::steady_clock::now();

    result.elapsed_ms =
        static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()) /
        1e6;
    for (const WorkerCount& count : counts) result.hashes += count.hashes;
    if (hit.found.load()) {
        result.found = true;
        result.nonce = hit.nonce;
        result.hash = hash_bytes(hit.hash);
    }
    return result;
}

}  // namespace qvn
