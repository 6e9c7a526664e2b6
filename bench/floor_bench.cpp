// The floor of each x86 vector kernel of the flavour: the work of its
// steady-state pass (rotates, three- and two-input logic, AVX2's shifts and
// byte shuffles, and any scalar xor, andn and rotates beside them), counted from the
// kernel library's disassembly by scripts/floor-mix into floor_mix.h and run
// here as independent instructions, so that only the core's issue ports
// limit it. Moves, loads, stores and the loop's count are the kernel's
// overhead and not part of it. round_time has the unit of the kernel's own
// benchmark (BM_<name>_kernel): floor / kernel is the share of the kernel's
// time that its round work needs on this core.
#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <iterator>
#include <string>
#include <utility>

#include "floor_mix.h"

namespace {

using qvn::floor_mix::kMixes;
using qvn::floor_mix::Mix;

enum Class { kRotate, kTernary, kLogic, kShift, kShuffle, kGpLogic, kGpAndn, kGpRotate, kClasses };

constexpr std::array<int, kClasses> class_counts(const Mix& m) {
    return {m.rotate, m.ternary, m.logic, m.shift, m.shuffle, m.gp_logic, m.gp_andn, m.gp_rotate};
}

constexpr std::size_t pass_length(const Mix& m) {
    std::size_t n = 0;
    for (const int count : class_counts(m)) n += static_cast<std::size_t>(count);
    return n;
}

// Destinations rotate over 12 vector registers (0..11) and 6 general-purpose
// ones (r8..r13); sources are registers that nothing writes (vector 12..14,
// r14 and r15). Only the read-modify-write ops (vpternlogq, xor, rol) read
// their destination, each on the op 12 (6) before it into the same register:
// at 1 cycle's latency, no chain holds up the issue of the ops between.
constexpr int kVectorDestinations = 12;
constexpr int kGpDestinations = 6;

struct Slot {
    int op;
    int reg;
};

// The pass as a sequence: each class spread evenly through it (at each slot
// the class furthest behind its share so far, Bresenham-style).
template <std::size_t I>
constexpr auto schedule() {
    constexpr Mix mix = kMixes[I];
    constexpr std::size_t n = pass_length(mix);
    const std::array<int, kClasses> want = class_counts(mix);
    std::array<int, kClasses> done{};
    std::array<Slot, n> slots{};
    int vector = 0, gp = 0;
    for (std::size_t i = 0; i < n; ++i) {
        int best = -1;
        long best_lag = 0;
        for (int c = 0; c < kClasses; ++c) {
            const long lag = static_cast<long>(i + 1) * want[c] - static_cast<long>(done[c] * n);
            if (done[c] < want[c] && (best < 0 || lag > best_lag)) {
                best = c;
                best_lag = lag;
            }
        }
        ++done[best];
        slots[i] = {best,
                    best < kGpLogic ? vector++ % kVectorDestinations : 8 + gp++ % kGpDestinations};
    }
    return slots;
}

#define QVN_VECTOR_DESTINATIONS \
    "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11"
#define QVN_GP_DESTINATIONS "r8", "r9", "r10", "r11", "r12", "r13", "cc"

// One instruction of class Op into destination R, on Width-bit vectors.
template <int Width, int Op, int R>
[[gnu::always_inline]] inline void op() {
    if constexpr (Op == kGpLogic) {
        asm volatile("xor %%r14, %%r%c0" ::"i"(R) : QVN_GP_DESTINATIONS);
    } else if constexpr (Op == kGpAndn) {
        asm volatile("andn %%r15, %%r14, %%r%c0" ::"i"(R) : QVN_GP_DESTINATIONS);
    } else if constexpr (Op == kGpRotate) {
        asm volatile("rorx $17, %%r14, %%r%c0" ::"i"(R) : QVN_GP_DESTINATIONS);
    } else if constexpr (Width == 512) {
        if constexpr (Op == kRotate)
            asm volatile("vprolq $17, %%zmm12, %%zmm%c0" ::"i"(R) : QVN_VECTOR_DESTINATIONS);
        if constexpr (Op == kTernary)
            asm volatile("vpternlogq $0x96, %%zmm13, %%zmm12, %%zmm%c0" ::"i"(R)
                         : QVN_VECTOR_DESTINATIONS);
        if constexpr (Op == kLogic)
            asm volatile("vpxorq %%zmm13, %%zmm12, %%zmm%c0" ::"i"(R) : QVN_VECTOR_DESTINATIONS);
        if constexpr (Op == kShift)
            asm volatile("vpsllq $17, %%zmm12, %%zmm%c0" ::"i"(R) : QVN_VECTOR_DESTINATIONS);
        if constexpr (Op == kShuffle)
            asm volatile("vpshufb %%zmm14, %%zmm12, %%zmm%c0" ::"i"(R) : QVN_VECTOR_DESTINATIONS);
    } else {
        if constexpr (Op == kRotate)
            asm volatile("vprolq $17, %%ymm12, %%ymm%c0" ::"i"(R) : QVN_VECTOR_DESTINATIONS);
        if constexpr (Op == kTernary)
            asm volatile("vpternlogq $0x96, %%ymm13, %%ymm12, %%ymm%c0" ::"i"(R)
                         : QVN_VECTOR_DESTINATIONS);
        if constexpr (Op == kLogic)
            asm volatile("vpxor %%ymm13, %%ymm12, %%ymm%c0" ::"i"(R) : QVN_VECTOR_DESTINATIONS);
        if constexpr (Op == kShift)
            asm volatile("vpsllq $17, %%ymm12, %%ymm%c0" ::"i"(R) : QVN_VECTOR_DESTINATIONS);
        if constexpr (Op == kShuffle)
            asm volatile("vpshufb %%ymm14, %%ymm12, %%ymm%c0" ::"i"(R) : QVN_VECTOR_DESTINATIONS);
    }
}

template <std::size_t I, std::size_t... S>
[[gnu::always_inline]] inline void pass(std::index_sequence<S...>) {
    constexpr auto slots = schedule<I>();
    (op<kMixes[I].width, slots[S].op, slots[S].reg>(), ...);
}

template <std::size_t I>
void BM_floor(benchmark::State& state) {
    constexpr std::size_t n = pass_length(kMixes[I]);
    for (auto _ : state) pass<I>(std::make_index_sequence<n>{});
    // The code after it knows nothing of the upper halves the passes wrote.
    asm volatile("vzeroupper");
    state.counters["round_time"] =
        benchmark::Counter(kMixes[I].rounds * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    // The kernel's instructions per round: its work, of that what reads a
    // lane back from the stack, and the rest. A change that brings copies or
    // spills back shows in round_other and round_memory.
    state.counters["round_work"] = static_cast<double>(n) / kMixes[I].rounds;
    state.counters["round_memory"] = static_cast<double>(kMixes[I].memory) / kMixes[I].rounds;
    state.counters["round_other"] = static_cast<double>(kMixes[I].other) / kMixes[I].rounds;
}

template <std::size_t... I>
bool register_floors(std::index_sequence<I...>) {
    (benchmark::RegisterBenchmark(("BM_" + std::string(kMixes[I].name) + "_floor").c_str(),
                                  BM_floor<I>),
     ...);
    return true;
}

const bool kFloorsRegistered = register_floors(std::make_index_sequence<std::size(kMixes)>{});

}  // namespace
