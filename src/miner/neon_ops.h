// The NEON operations of a Keccak round on two lanes at once (uint64x2_t),
// shared by the two-way kernel and the NEON half of the three-way one, with
// or without the SHA3 extension.
#pragma once

#include <arm_neon.h>

#include <cstdint>

namespace qvn {

// Two lanes per vector. NEON has no vector rotate: each is a shift left and a
// shift right that inserts into it (shl, sri).
struct NeonOps {
    using Lane = uint64x2_t;
    static constexpr std::uint32_t kWidth = 2;
    [[gnu::always_inline]] static Lane xor_(Lane a, Lane b) { return veorq_u64(a, b); }
    [[gnu::always_inline]] static Lane xor3(Lane a, Lane b, Lane c) { return xor_(xor_(a, b), c); }
    [[gnu::always_inline]] static Lane chi(Lane a, Lane b, Lane c) {
        return veorq_u64(a, vbicq_u64(c, b));  // vbic(c, b) = c & ~b
    }
    template <int N>
    [[gnu::always_inline]] static Lane rotl(Lane a) {
        return vsriq_n_u64(vshlq_n_u64(a, N), a, 64 - N);
    }
    [[gnu::always_inline]] static Lane broadcast(std::uint64_t v) { return vdupq_n_u64(v); }
    [[gnu::always_inline]] static Lane load(const std::uint64_t* words) { return vld1q_u64(words); }
    [[gnu::always_inline]] static void store(std::uint64_t* words, Lane v) { vst1q_u64(words, v); }
    [[gnu::always_inline]] static bool any_at_most(Lane a, std::uint64_t word) {
        const Lane at_most = vcleq_u64(a, broadcast(word));
        return (vgetq_lane_u64(at_most, 0) | vgetq_lane_u64(at_most, 1)) != 0;
    }
};

// The SHA3 extension, only for rho: xar XORs theta's D in and rotates, one
// instruction for three. Its eor3, bcax and rax1 are left out on purpose: the
// llvm-mca models of the Neoverse V1 and V2 (LLVM 19) issue all four on one
// vector pipe, and predict 64 cycles a round for the two-way loop with all of
// them, 46 without the extension, 39 with xar alone (a model, not a
// measurement: no ARM machine has run the benchmarks yet).
// The compiler must not see the extension either (it would fuse eor chains
// into eor3 and bic-eor into bcax by itself), so xar is written out and the
// source is compiled for plain ARMv8.0; the .arch line lets the assembler
// take xar.
struct Sha3Ops : NeonOps {
    template <int N>
    [[gnu::always_inline]] static Lane xor_rotl(Lane a, Lane b) {
        Lane out;
        asm(".arch armv8.2-a+sha3\n\txar %0.2d, %1.2d, %2.2d, %3"
            : "=w"(out)
            : "w"(a), "w"(b), "i"(64 - N));
        return out;
    }
};

}  // namespace qvn
