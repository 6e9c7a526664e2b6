// A stand-in for a node's bursts of work: spins for BUSY_MS, sleeps for
// IDLE_MS, again and again until it is killed. make bench-contended pins it
// to one core beside the miners.
//
//   qvn_busy_loop BUSY_MS IDLE_MS
#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

#include "block/text.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s BUSY_MS IDLE_MS\n", argv[0]);
        return 2;
    }
    try {
        const std::chrono::milliseconds busy{qvn::parse_u64(argv[1], "BUSY_MS")};
        const std::chrono::milliseconds idle{qvn::parse_u64(argv[2], "IDLE_MS")};
        using Clock = std::chrono::steady_clock;
        volatile std::uint64_t spins = 0;
        for (auto next = Clock::now();;) {
            next += busy;
            while (Clock::now() < next) spins = spins + 1;
            next += idle;
            std::this_thread::sleep_until(next);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 1;
    }
}
