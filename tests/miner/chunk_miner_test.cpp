#include "miner/chunk_miner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <future>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "miner/kernel_choice.h"
#include "miner/mining_oracle.h"

namespace qvn {
namespace {

using test::Header;
using test::portable_hash;

// A target no hash meets in practice: only the all-zero hash would.
const Hash32 kImpossible = test::filled(0x00);
const Hash32 kMax = test::filled(0xff);

Header selftest_header() {
    Header header{};
    header[0] = 0x01;
    return header;
}

std::uint32_t hardware_threads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

// Starts real threads and counts how many it was asked for.
struct CountingStarter {
    std::shared_ptr<std::atomic<std::uint32_t>> starts =
        std::make_shared<std::atomic<std::uint32_t>>(0);
    std::thread operator()(std::uint32_t, std::function<void()> body) const {
        ++*starts;
        return std::thread(std::move(body));
    }
};

TEST(ChunkMiner, ZeroItersIsRejectedBeforeAnythingElse) {
    struct Case {
        std::uint32_t first, last;
    };
    for (const Case c : {Case{0, 100}, Case{100, 0}, Case{5, 5}}) {
        try {
            cpu_mine_chunk(selftest_header(), kMax, c.first, c.last, 0, 1);
            FAIL() << "no exception for " << c.first << ".." << c.last;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "--iters must be positive");
        }
    }
}

TEST(ChunkMiner, EmptyRangeGivesAnAllZeroResult) {
    const CountingStarter starter;
    const ChunkResult r = cpu_mine_chunk(selftest_header(), kMax, 10, 9, 100, 4, starter);
    EXPECT_FALSE(r.found);
    EXPECT_EQ(r.nonce, 0u);
    EXPECT_EQ(r.hash, Hash32{});
    EXPECT_EQ(r.hashes, 0u);
    EXPECT_EQ(r.elapsed_ms, 0.0);
    EXPECT_EQ(*starter.starts, 0u);
}

// Without a hit exactly min(iters * threads, range) nonces are hashed, by
// ceil(total / iters) workers.
TEST(ChunkMiner, HashCountsAndWorkersWithoutHit) {
    struct Case {
        const char* name;
        std::uint32_t first, last, iters, threads;
        std::uint64_t hashes;
        std::uint32_t workers;
    };
    const Case cases[] = {
        {"one nonce", 7, 7, 1, 1, 1, 1},
        {"range smaller than iters", 100, 109, 64, 8, 10, 1},
        {"iters * threads smaller than range", 0, 1000, 9, 3, 27, 3},
        {"last worker takes the rest", 50, 69, 6, 8, 20, 4},
        {"whole 2^32 range, no overflow", 0, 0xffffffff, 5, 3, 15, 3},
        {"range ending at the top", 0xfffffff0, 0xffffffff, 7, 8, 16, 3},
        {"huge thread count, tiny range", 100, 103, 1000, 0xffffffff, 4, 1},
        {"100000 threads, two workers needed", 0, 11, 6, 100000, 12, 2},
        {"huge iters, tiny range", 0, 2, 0xffffffff, 2, 3, 1},
    };
    for (const Case& c : cases) {
        const CountingStarter starter;
        const ChunkResult r = cpu_mine_chunk(selftest_header(), kImpossible, c.first, c.last,
                                             c.iters, c.threads, starter);
        EXPECT_FALSE(r.found) << c.name;
        EXPECT_EQ(r.hashes, c.hashes) << c.name;
        EXPECT_EQ(*starter.starts, c.workers) << c.name;
        // The workers' own counts hold the chunk, and what they ran on into.
        ASSERT_EQ(r.workers.size(), c.workers) << c.name;
        std::uint64_t worked = 0;
        for (const WorkerCount& count : r.workers) worked += count.hashes;
        EXPECT_GE(worked, c.hashes) << c.name;
    }
}

// Threads are kept between chunks: a later chunk starts only those it lacks.
// Many rounds, so that a lost or doubled hand-over shows as a hang or a count.
TEST(ChunkMiner, PoolKeepsItsThreadsBetweenChunks) {
    const CountingStarter starter;
    WorkerPool pool(starter);
    for (int round = 0; round < 200; ++round) {
        for (const std::uint32_t threads : {3u, 3u, 2u, 4u, 1u}) {
            const ChunkResult r =
                cpu_mine_chunk(pool, selftest_header(), kImpossible, 0, 1000, 5, threads);
            ASSERT_EQ(r.hashes, 5u * threads) << "round " << round;
        }
    }
    EXPECT_EQ(*starter.starts, 4u);
    EXPECT_EQ(pool.size(), 4u);
}

TEST(ChunkMiner, ZeroThreadsMeansHardwareConcurrency) {
    const CountingStarter starter;
    const ChunkResult r = cpu_mine_chunk(selftest_header(), kImpossible, 0, 1000, 1, 0, starter);
    EXPECT_EQ(*starter.starts, hardware_threads());
    EXPECT_EQ(r.hashes, hardware_threads());
}

// For every nonce x near a range, the target hash(x) is met by a set of nonces
// the portable hash predicts; the chunk must find one of those that lie in the
// chunk, and none outside its range. With one worker the reported nonce and the
// hash count follow from the order of work: whole groups of the kernel's width
// (two, three, four or eight), then the tail.
TEST(ChunkMiner, FindsExactlyWhatThePortableHashPredicts) {
    struct Case {
        const char* name;
        std::uint32_t first, last, iters, threads;
    };
    const Case cases[] = {
        {"one worker: one group and a two-nonce tail", 1000, 1005, 6, 1},
        {"one worker: groups only", 2000, 2011, 64, 1},
        {"one worker: three-nonce tail", 3000, 3010, 11, 1},
        {"several workers", 4000, 4030, 8, 3},
        {"split stops before the end of the range", 5000, 5100, 7, 2},
        {"range ending at 0xffffffff does not wrap", 0xfffffff2, 0xffffffff, 5, 4},
        // Ranges per worker around one and two groups of either width.
        {"1 per worker", 6000, 6100, 1, 3},
        {"7 per worker", 7000, 7100, 7, 2},
        {"8 per worker", 8000, 8100, 8, 2},
        {"9 per worker", 9000, 9100, 9, 2},
        {"15 per worker", 10000, 10100, 15, 2},
        {"17 per worker", 11000, 11100, 17, 2},
        {"one worker of 7", 12100, 12106, 7, 1},
        {"one worker of 8", 12200, 12207, 8, 1},
        {"one worker of 9", 12300, 12308, 9, 1},
        {"one worker of 15", 12000, 12014, 15, 1},
        {"one worker of 17", 13000, 13016, 17, 1},
        {"16 per worker", 14000, 14100, 16, 2},
        {"18 per worker", 15000, 15100, 18, 2},
        {"34 per worker", 16000, 16100, 34, 2},
        {"one worker of 35", 17000, 17034, 35, 1},
    };
    const Header header = test::random_header(*std::make_unique<std::mt19937_64>(9));
    for (const Case& c : cases) {
        const std::uint64_t range = std::uint64_t{c.last} - c.first + 1;
        const std::uint64_t total =
            std::min<std::uint64_t>(std::uint64_t{c.iters} * c.threads, range);
        std::vector<std::uint32_t> in_range;
        for (std::uint64_t i = 0; i < range; ++i)
            in_range.push_back(static_cast<std::uint32_t>(c.first + i));

        // Candidate targets from the hashed nonces and from neighbours on both sides
        // (nonces 0..3 for the range at the top, where a wrap would reach them).
        std::vector<std::uint32_t> probes;
        for (std::uint64_t i = 0; i < total + 6; ++i)
            probes.push_back(static_cast<std::uint32_t>(c.first - 3 + i));

        for (std::uint32_t probe : probes) {
            const Hash32 target = portable_hash(header, probe);
            std::vector<std::uint32_t> hits;
            for (std::uint32_t n : in_range)
                if (test::meets(portable_hash(header, n), target)) hits.push_back(n);
            const bool in_chunk = !hits.empty() && hits.front() - c.first < total;

            const ChunkResult r =
                cpu_mine_chunk(header, target, c.first, c.last, c.iters, c.threads);
            const std::string label =
                std::string(c.name) + ", target of nonce " + std::to_string(probe);
            ASSERT_TRUE(r.found || !in_chunk) << label;
            if (!r.found) {
                EXPECT_EQ(r.hashes, total) << label;
                continue;
            }
            EXPECT_NE(std::find(hits.begin(), hits.end(), r.nonce), hits.end()) << label;
            EXPECT_EQ(r.hash, portable_hash(header, r.nonce)) << label;
            if (c.threads == 1) {
                EXPECT_EQ(r.nonce, hits.front()) << label;
                const std::uint64_t width = kGroupKernel.width;
                const std::uint64_t position = r.nonce - c.first;
                const std::uint64_t grouped = total / width * width;
                const std::uint64_t expected =
                    position < grouped ? (position / width + 1) * width : position + 1;
                EXPECT_EQ(r.hashes, expected) << label;
            }
        }
    }
}

TEST(ChunkMiner, SingleNonceGoesThroughTheScalarTail) {
    const ChunkResult r = cpu_mine_chunk(selftest_header(), kMax, 1234567, 1234567, 1, 1);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.nonce, 1234567u);
    EXPECT_EQ(r.hashes, 1u);
    EXPECT_EQ(test::digest_hex(r.hash),
              "c1868b237e423b573dba5ec1092832af7fccbf8478b5d4c2c6583bd7f71c25a4");
}

// Every worker hits at once under the max target; one of them wins the flag and
// its record is whole.
TEST(ChunkMiner, FirstHitWinsAndVerifies) {
    std::mt19937_64 rng(11);
    const Header header = test::random_header(rng);
    for (int round = 0; round < 5; ++round) {
        // Every worker's batches are whole groups, one or more.
        const std::uint32_t iters =
            (8 + kGroupKernel.width - 1) / kGroupKernel.width * kGroupKernel.width;
        const ChunkResult r = cpu_mine_chunk(header, kMax, 500, 10000, iters, 4);
        ASSERT_TRUE(r.found);
        EXPECT_EQ((r.nonce - 500) % iters, 0u) << r.nonce;
        EXPECT_LT(r.nonce, 500 + 4 * iters) << r.nonce;
        const Header full = test::with_nonce(header, r.nonce);
        Hash32 check;
        sha3_256t(check.data(), full.data(), full.size());
        EXPECT_EQ(r.hash, check);
        EXPECT_TRUE(test::meets(check, kMax));
        EXPECT_GE(r.hashes, kGroupKernel.width);
        EXPECT_LE(r.hashes, 4 * iters);
    }
}

// When the system refuses a thread, the running workers are stopped and
// joined, and the caller gets the reason. In the first cases the workers were
// given ranges far too long to finish on their own, so those cases end only if
// the workers were stopped. The last one plans four billion workers: nothing
// may be allocated for them before they start.
TEST(ChunkMiner, RefusedThreadStopsTheOthersAndThrows) {
    struct Case {
        std::uint32_t iters, threads, refuse_at;
        const char* message;
    };
    const Case cases[] = {
        {1u << 30, 4, 0, "cannot start worker thread 0 of 4: "},
        {1u << 30, 4, 2, "cannot start worker thread 2 of 4: "},
        {1u << 30, 4, 3, "cannot start worker thread 3 of 4: "},
        {1, 0xffffffff, 3, "cannot start worker thread 3 of 4294967295: "},
    };
    for (const Case& c : cases) {
        std::uint32_t attempts = 0;
        auto starter = [&](std::uint32_t index, std::function<void()> body) {
            ++attempts;
            if (index == c.refuse_at)
                throw std::system_error(EAGAIN, std::generic_category(), "no threads left");
            return std::thread(std::move(body));
        };
        try {
            cpu_mine_chunk(selftest_header(), kImpossible, 0, 0xffffffff, c.iters, c.threads,
                           starter);
            FAIL() << "no exception";
        } catch (const std::runtime_error& e) {
            const std::string what = e.what();
            EXPECT_EQ(what.rfind(c.message, 0), 0u) << what;
            EXPECT_NE(what.find("no threads left"), std::string::npos) << what;
        }
        EXPECT_EQ(attempts, c.refuse_at + 1);
    }
}

// Finds `count` consecutive nonces from `from` on whose lowest hash sits at `position`.
std::uint32_t lowest_at(const Header& header, std::uint32_t from, std::uint32_t count,
                        std::uint32_t position) {
    for (std::uint32_t base = from;; base += count) {
        const Hash32 lowest = portable_hash(header, base + position);
        bool alone = true;
        for (std::uint32_t i = 0; i < count; ++i)
            if (i != position && test::meets(portable_hash(header, base + i), lowest))
                alone = false;
        if (alone) return base;
    }
}

// A worker held back by another process leaves its nonces to the others:
// worker 0 waits before its first batch until the chunk is over. The others
// hash the whole range, each nonce once; a hit on its first nonce, the only
// one in the range and worker 0's under a fixed split, is found.
TEST(ChunkMiner, AWorkerHeldBackLeavesItsNoncesToTheOthers) {
    const Header header = selftest_header();
    const std::uint32_t iters = kGroupKernel.width;
    const std::uint32_t threads = 3;
    const std::uint32_t first = lowest_at(header, 1000, iters * threads, 0);
    const std::uint32_t last = first + iters * threads - 1;  // the chunk is the whole range
    for (const Hash32& target : {kImpossible, portable_hash(header, first)}) {
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        WorkerPool pool([released](std::uint32_t index, std::function<void()> body) {
            if (index != 0) return std::thread(std::move(body));
            return std::thread([released, body = std::move(body)] {
                released.wait();
                body();
            });
        });
        const ChunkResult r = cpu_mine_chunk(pool, header, target, first, last, iters, threads);
        release.set_value();
        ASSERT_EQ(r.workers.size(), threads);
        EXPECT_EQ(r.workers[0].hashes, 0u);
        EXPECT_EQ(r.workers[1].hashes + r.workers[2].hashes, r.hashes);
        if (target == kImpossible) {
            EXPECT_FALSE(r.found);
            EXPECT_EQ(r.hashes, iters * threads);
        } else {
            ASSERT_TRUE(r.found);
            EXPECT_EQ(r.nonce, first);
        }
    }
}

// A call on other terms than the job's next chunk starts a new search: the
// old job's workers would hash other nonces, or against the old target. The
// range is two chunks; the only nonce in it that meets the second call's
// target is where that call starts, and the first call searched the rest.
TEST(ChunkMiner, ACallOnOtherTermsStartsANewSearch) {
    const Header header = selftest_header();
    const std::uint32_t iters = kGroupKernel.width, threads = 2, chunk = iters * threads;
    struct Case {
        const char* name;
        std::uint32_t hit_chunk;  // the first call searches the other one
        bool same_target;         // or the first call's target is unreachable
    };
    for (const Case c : {Case{"another first nonce", 0, true}, Case{"another target", 1, false}}) {
        const std::uint32_t base = lowest_at(header, 3000, 2 * chunk, c.hit_chunk * chunk);
        const std::uint32_t hit = base + c.hit_chunk * chunk, last = base + 2 * chunk - 1;
        const Hash32 target = portable_hash(header, hit);
        WorkerPool pool;
        const ChunkResult first =
            cpu_mine_chunk(pool, header, c.same_target ? target : kImpossible,
                           base + (1 - c.hit_chunk) * chunk, last, iters, threads);
        ASSERT_FALSE(first.found) << c.name;
        const ChunkResult second = cpu_mine_chunk(pool, header, target, hit, last, iters, threads);
        EXPECT_TRUE(second.found) << c.name;
        EXPECT_EQ(second.nonce, hit) << c.name;
    }
}

// Each chunk's workers report what they hashed since the chunk before, and
// the time since then: over a range of two chunks, the two reports add up to
// the range; on a clock that only the caller's readings move on, a step each,
// each chunk spans one step (the first from the search's start).
TEST(ChunkMiner, EachChunkReportsItsOwnHashesAndTime) {
    const std::uint32_t iters = 4 * kGroupKernel.width, threads = 2;
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> readings{0};
    WorkerPool pool(start_std_thread, [&] {
        const int steps = std::this_thread::get_id() == caller ? ++readings : readings.load();
        return std::chrono::steady_clock::time_point{} + steps * std::chrono::milliseconds{5};
    });
    std::uint64_t reported = 0;
    for (std::uint32_t first = 0; first < 2 * iters * threads; first += iters * threads) {
        const ChunkResult r = cpu_mine_chunk(pool, selftest_header(), kImpossible, first,
                                             2 * iters * threads - 1, iters, threads);
        for (const WorkerCount& count : r.workers) reported += count.hashes;
        EXPECT_EQ(r.elapsed_ms, 5.0) << "chunk from " << first;
    }
    EXPECT_EQ(reported, 2u * iters * threads);
}

// A range of one group and a tail (two nonces, fewer for groups of one or
// two): a hit anywhere in the group costs the whole group, a hit in the tail
// only the nonces up to it.
TEST(MineWorker, OneGroupAndTwoTailNonces) {
    const Header header = selftest_header();
    const HeaderLanes lanes = header_lanes(header);
    const std::uint32_t width = kGroupKernel.width;
    const std::uint32_t range = width + std::min(2u, width - 1);
    struct Case {
        int hit_at;  // position of the only hit, -1 for none
        std::uint64_t hashes;
    };
    std::vector<Case> cases = {{-1, range}};
    for (std::uint32_t at = 0; at < range; ++at)
        cases.push_back({static_cast<int>(at), at < width ? width : at + 1});
    for (const Case c : cases) {
        std::uint32_t base = 900;
        Hash32 target = kImpossible;
        if (c.hit_at >= 0) {
            base = lowest_at(header, 900, range, static_cast<std::uint32_t>(c.hit_at));
            target = portable_hash(header, base + c.hit_at);
        }
        ChunkHit hit;
        const WorkerPass pass = mine_worker(base, range, lanes, target_words(target), hit);
        EXPECT_EQ(pass.hashes, c.hashes) << c.hit_at;
        EXPECT_EQ(pass.won, c.hit_at >= 0) << c.hit_at;
        ASSERT_EQ(hit.found.load(), c.hit_at >= 0) << c.hit_at;
        if (c.hit_at >= 0) {
            EXPECT_EQ(hit.nonce, base + c.hit_at);
            EXPECT_EQ(hash_bytes(hit.hash), target);
        }
    }
}

TEST(MineWorker, HashesNothingOnceTheFlagIsSet) {
    for (std::uint64_t count : {0, 1, 3, 4, 8, 9, 17}) {
        ChunkHit hit;
        hit.found = true;
        const WorkerPass pass =
            mine_worker(0, count, header_lanes(selftest_header()), target_words(kMax), hit);
        EXPECT_EQ(pass.hashes, 0u) << count;
        EXPECT_FALSE(pass.won);
        EXPECT_EQ(hit.nonce, 0u);
    }
}

// A hit that loses the race leaves the winner's record alone.
TEST(MineWorker, LosingTheFlagKeepsTheWinnersRecord) {
    ChunkHit hit;
    const HeaderLanes lanes = header_lanes(selftest_header());
    const TargetWords max = target_words(kMax);
    const std::uint32_t width = kGroupKernel.width;
    const WorkerPass first = mine_worker(40, width, lanes, max, hit);
    ASSERT_TRUE(hit.found.load());
    EXPECT_EQ(hit.nonce, 40u);
    const HashWords winner = hit.hash;

    // A second worker with work pending sees the flag and does not run.
    const WorkerPass second = mine_worker(80, width, lanes, max, hit);
    EXPECT_EQ(hit.nonce, 40u);
    EXPECT_EQ(hit.hash, winner);
    EXPECT_EQ(first.hashes, width);
    EXPECT_TRUE(first.won);
    EXPECT_EQ(second.hashes, 0u);
    EXPECT_FALSE(second.won);
}

}  // namespace
}  // namespace qvn
