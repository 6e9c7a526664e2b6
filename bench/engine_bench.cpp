// Hash rates of the engine: items_per_second is SHA3-256t hashes per second.
// The vector kernels and the chunk miner also report round_time, the time of
// one Keccak round over a whole group (72 rounds hash a group; shown in ns, in
// seconds in JSON); times the clock that BM_core_clock reports, that is core
// cycles per round.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <thread>

#include "hash/sha3.h"
#include "miner/chunk_miner.h"
#include "miner/kernel_choice.h"
#include "miner/lanes.h"
#include "miner/scalar_kernel.h"
#if defined(__x86_64__)
#include "miner/x4_kernel.h"
#include "miner/x8_kernel.h"
#elif defined(__aarch64__)
#include "miner/x2_kernel.h"
#include "miner/x3_kernel.h"
#endif

namespace {

using Header = std::array<std::uint8_t, 80>;

Header bench_header() {
    Header header{};
    for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(i * 37);
    return header;
}

// Only the all-zero hash meets it, so nothing stops the work early.
qvn::Hash32 zero_target() { return qvn::Hash32{}; }

void BM_portable_sha3_256t(benchmark::State& state) {
    Header header = bench_header();
    std::uint32_t nonce = 0;
    std::uint8_t out[32];
    for (auto _ : state) {
        header[76] = static_cast<std::uint8_t>(nonce);
        header[77] = static_cast<std::uint8_t>(nonce >> 8);
        header[78] = static_cast<std::uint8_t>(nonce >> 16);
        header[79] = static_cast<std::uint8_t>(nonce >> 24);
        qvn::sha3_256t(out, header.data(), header.size());
        benchmark::DoNotOptimize(out);
        ++nonce;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_portable_sha3_256t);

void BM_scalar_kernel(benchmark::State& state) {
    const qvn::HeaderLanes lanes = qvn::header_lanes(bench_header());
    std::uint32_t nonce = 0;
    qvn::HashWords out;
    for (auto _ : state) {
        qvn::sha3_256t_fixed(lanes, nonce++, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_scalar_kernel);

// Three permutations of 24 rounds per SHA3-256t.
constexpr double kRoundsPerHash = 72;

// Seconds per unit; `units` are counted over the whole run.
benchmark::Counter time_per(double units) {
    return benchmark::Counter(units, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The core clock, from a chain of dependent instructions of known latency
// (inline assembly, so that the compiler can neither fold nor reorder them).
// Turns round_time into cycles; a shared VM's clock moves, so read it in the
// same run. A chain of add-immediates is no clock: Golden Cove-class cores
// (Sapphire and Emerald Rapids, Alder Lake P-cores) fold them in the renamer
// and run several a cycle. On x86 the chain is imul r64, r64: 3 cycles on
// Intel's big cores from Nehalem on and on AMD's from Zen 1 to Zen 5. On
// AArch64 a 64-bit mul takes 5 cycles on the Cortex-A72, 4 on the Neoverse N1
// and 2 on the V1 (LLVM's models of them), so the chain is a register add
// instead: 1 cycle on every 64-bit Cortex-A and Neoverse core, and a register
// operand is not an immediate that a renamer could fold.
void BM_core_clock(benchmark::State& state) {
#if defined(__aarch64__)
    constexpr int kCycles = 1;
    std::uint64_t x = 1;
    const std::uint64_t y = 3;
    for (auto _ : state) asm volatile(".rept 1000\n\tadd %0, %0, %1\n\t.endr" : "+r"(x) : "r"(y));
#else
    constexpr int kCycles = 3;
    std::uint64_t x = 3;
    for (auto _ : state) asm volatile(".rept 1000\n\timul %0, %0\n\t.endr" : "+r"(x));
#endif
    benchmark::DoNotOptimize(x);
    // Cycles per second: the clock in Hz.
    state.counters["clock"] =
        benchmark::Counter(1000 * kCycles, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_core_clock);

// One vector kernel call after another, each on the next group of nonces.
template <auto Kernel, std::uint32_t Width>
void group_kernel_bench(benchmark::State& state) {
    const qvn::HeaderLanes lanes = qvn::header_lanes(bench_header());
    const qvn::TargetWords target = qvn::target_words(zero_target());
    std::uint32_t base = 0;
    for (auto _ : state) {
        std::uint32_t nonce = 0;
        qvn::HashWords hash{};
        const bool found = Kernel(lanes, target, base, nonce, hash);
        benchmark::DoNotOptimize(found);
        benchmark::DoNotOptimize(nonce);
        benchmark::DoNotOptimize(hash);
        base += Width;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(Width * state.iterations()));
    state.counters["round_time"] =
        time_per(kRoundsPerHash * static_cast<double>(state.iterations()));
}

// The group kernels this flavour has: the four-way one in the x86 flavours,
// the eight-way one that the AVX-512 flavour mines with, the two-way or
// three-way one in the ARM flavours.
#if defined(__x86_64__)
void BM_x4_kernel(benchmark::State& state) {
    if constexpr (qvn::kKernel != qvn::Kernel::kPortable)
        group_kernel_bench<qvn::sha3_256t_fixed_x4, 4>(state);
}
void BM_x8_kernel(benchmark::State& state) {
    if constexpr (qvn::kEightWayKernel) group_kernel_bench<qvn::sha3_256t_fixed_x8, 8>(state);
}
const bool kGroupKernelsRegistered = [] {
    if (qvn::kKernel != qvn::Kernel::kPortable)
        benchmark::RegisterBenchmark("BM_x4_kernel", BM_x4_kernel);
    if (qvn::kEightWayKernel) benchmark::RegisterBenchmark("BM_x8_kernel", BM_x8_kernel);
    return true;
}();
#elif defined(__aarch64__)
void BM_x2_kernel(benchmark::State& state) {
    if constexpr (qvn::kTwoWayKernel) group_kernel_bench<qvn::sha3_256t_fixed_x2, 2>(state);
}
void BM_x3_kernel(benchmark::State& state) {
    if constexpr (qvn::kThreeWayKernel) group_kernel_bench<qvn::sha3_256t_fixed_x3, 3>(state);
}
const bool kGroupKernelsRegistered = [] {
    if (qvn::kTwoWayKernel) benchmark::RegisterBenchmark("BM_x2_kernel", BM_x2_kernel);
    if (qvn::kThreeWayKernel) benchmark::RegisterBenchmark("BM_x3_kernel", BM_x3_kernel);
    return true;
}();
#endif

// Whole chunks as the driver runs them: default --iters, the chunk miner's
// workers, the first nonce moved on by the count hashed.
void BM_chunk_miner(benchmark::State& state) {
    const Header header = bench_header();
    const qvn::Hash32 target = zero_target();
    const auto threads = static_cast<std::uint32_t>(state.range(0));
    constexpr std::uint32_t kIters = 65536;
    std::uint32_t first = 0;
    std::int64_t hashed = 0;
    qvn::WorkerPool pool;  // kept between chunks, as the mining loop keeps its own
    for (auto _ : state) {
        const qvn::ChunkResult result =
            qvn::cpu_mine_chunk(pool, header, target, first, 0xffffffff, kIters, threads);
        benchmark::DoNotOptimize(result);
        first += static_cast<std::uint32_t>(result.hashes);
        hashed += static_cast<std::int64_t>(result.hashes);
    }
    state.SetItemsProcessed(hashed);
    // Rounds over whole groups, comparable with the kernels' figure; with
    // several threads, wall time per round of all of them together.
    state.counters["round_time"] =
        time_per(kRoundsPerHash * static_cast<double>(hashed) / qvn::kGroupKernel.width);
}

void chunk_thread_counts(benchmark::internal::Benchmark* b) {
    const unsigned all = std::thread::hardware_concurrency();
    b->Arg(1);
    if (all > 1) b->Arg(all);
}
BENCHMARK(BM_chunk_miner)->ArgName("threads")->Apply(chunk_thread_counts)->UseRealTime();

// What a chunk costs besides hashing: one nonce per worker, so that handing
// out the work, starting the workers and waiting for them is nearly all of
// it, with thread counts far beyond the cores. worker_time is the wall time
// of a chunk per worker, for the estimate of the cost on large machines.
void BM_chunk_overhead(benchmark::State& state) {
    const Header header = bench_header();
    const qvn::Hash32 target = zero_target();
    const auto threads = static_cast<std::uint32_t>(state.range(0));
    std::uint32_t first = 0;
    std::int64_t hashed = 0;
    qvn::WorkerPool pool;  // kept between chunks, as the mining loop keeps its own
    for (auto _ : state) {
        const qvn::ChunkResult result =
            qvn::cpu_mine_chunk(pool, header, target, first, 0xffffffff, 1, threads);
        benchmark::DoNotOptimize(result);
        first += static_cast<std::uint32_t>(result.hashes);
        hashed += static_cast<std::int64_t>(result.hashes);
    }
    state.SetItemsProcessed(hashed);
    state.counters["worker_time"] = time_per(static_cast<double>(hashed));
}
BENCHMARK(BM_chunk_overhead)->ArgName("threads")->Arg(1)->Arg(2)->Arg(16)->Arg(128)->UseRealTime();

}  // namespace
