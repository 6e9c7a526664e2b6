// Mines a fixed header for a fixed wall time and prints what it hashed:
// one process of make bench-contended (scripts/bench-contended). Several
// single-thread copies run side by side as the reference for one copy with
// as many threads; each runs until the same deadline, so that none of them
// finishes early and leaves its core to the others.
//
//   qvn_timed_miner THREADS SECONDS
//
// prints "hashes=N seconds=S" on standard output.
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "block/text.h"
#include "miner/chunk_miner.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s THREADS SECONDS\n", argv[0]);
        return 2;
    }
    try {
        const auto threads = static_cast<std::uint32_t>(qvn::parse_u64(argv[1], "THREADS"));
        const double seconds = qvn::parse_number(argv[2], "SECONDS");
        std::array<std::uint8_t, 80> header{};
        for (std::size_t i = 0; i < header.size(); ++i)
            header[i] = static_cast<std::uint8_t>(i * 37);
        const qvn::Hash32 target{};  // only the all-zero hash meets it: nothing ends the work early
        constexpr std::uint32_t kIters = 65536;  // the miner's default --iters

        qvn::WorkerPool pool;
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        const auto deadline = start + std::chrono::duration<double>(seconds);
        std::uint64_t hashed = 0;
        std::uint32_t first = 0;
        while (Clock::now() < deadline) {
            const qvn::ChunkResult result =
                qvn::cpu_mine_chunk(pool, header, target, first, 0xffffffff, kIters, threads);
            hashed += result.hashes;
            first += static_cast<std::uint32_t>(result.hashes);
        }
        const std::chrono::duration<double> took = Clock::now() - start;
        std::printf("hashes=%llu seconds=%.6f\n", static_cast<unsigned long long>(hashed),
                    took.count());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 1;
    }
}
