// One description of a Keccak-f[1600] round, expanded at compile time into the
// permutations of the fixed-header kernels: straight-line for the scalar
// kernel, a loop over pairs of rounds for the vector ones (rounds_to_23). Each
// kernel supplies its lane type and the handful of operations a round needs
// (Ops); the rotation offsets and the lane permutation come from the tables in
// hash/keccak.h, so every rotation count ends up as an immediate, and so does
// every round constant outside the loop.
//
// Only for the states the kernels build: on entry lanes 11..15 and 17..24 are
// zero and lane 16 is 0x8000000000000000, which lets the first round form its
// column parities from lanes 0..10 alone.
#pragma once

#include <cstdint>
#include <utility>

#include "hash/keccak.h"

namespace qvn::keccak_rounds {

// The bit that sits in lane 16 (column 1) of every state the kernels build.
inline constexpr std::uint64_t kPaddingLane16 = 0x8000000000000000;

// The SHA3 domain byte 0x06 right after the message, as the lane holding it:
// lane 10 after the 80-byte header, lane 4 after a 32-byte digest.
inline constexpr std::uint64_t kDomainLane = 0x06;

// Pi seen from the output: the input lane that lands on lane `target`.
constexpr int pi_source(int target) {
    for (int lane = 0; lane < 25; ++lane)
        if (kKeccakPiTargets[lane] == target) return lane;
    return -1;
}

// Ops provides: type Lane; xor_(a, b); xor3(a, b, c) = a ^ b ^ c (one
// instruction where the vector unit has three-input logic); chi(a, b, c) =
// a ^ (~b & c); rotl<N>(a); broadcast(u64). It may provide xor_rotl<N>(a, b)
// = rotl<N>(a ^ b), where that is one instruction.
template <class Ops>
struct Rounds {
    using Lane = typename Ops::Lane;

    // Rho of the input lane that pi moves to lane Target, theta's D applied first.
    template <int Target>
    [[gnu::always_inline]] static Lane moved(const Lane (&a)[25], const Lane (&d)[5]) {
        constexpr int source = pi_source(Target);
        constexpr int rotation = kKeccakRotations[source];
        // Lane 0 is not rotated; a vector rotate by 0 would still cost an instruction.
        if constexpr (rotation == 0) {
            return Ops::xor_(a[source], d[source % 5]);
        } else if constexpr (requires { Ops::template xor_rotl<rotation>(a[0], d[0]); }) {
            return Ops::template xor_rotl<rotation>(a[source], d[source % 5]);
        } else {
            return Ops::template rotl<rotation>(Ops::xor_(a[source], d[source % 5]));
        }
    }

    // Rho, pi and chi for output plane Y (lanes 5Y..5Y+4), reading all of a.
    template <int Y>
    [[gnu::always_inline]] static void plane(const Lane (&a)[25], const Lane (&d)[5],
                                             Lane (&out)[25]) {
        const Lane b0 = moved<5 * Y + 0>(a, d);
        const Lane b1 = moved<5 * Y + 1>(a, d);
        const Lane b2 = moved<5 * Y + 2>(a, d);
        const Lane b3 = moved<5 * Y + 3>(a, d);
        const Lane b4 = moved<5 * Y + 4>(a, d);
        out[5 * Y + 0] = Ops::chi(b0, b1, b2);
        out[5 * Y + 1] = Ops::chi(b1, b2, b3);
        out[5 * Y + 2] = Ops::chi(b2, b3, b4);
        out[5 * Y + 3] = Ops::chi(b3, b4, b0);
        out[5 * Y + 4] = Ops::chi(b4, b0, b1);
    }

    // Theta's D[x] = C[x - 1] ^ rotl(C[x + 1], 1).
    [[gnu::always_inline]] static void column_effects(const Lane (&c)[5], Lane (&d)[5]) {
        d[0] = Ops::xor_(c[4], Ops::template rotl<1>(c[1]));
        d[1] = Ops::xor_(c[0], Ops::template rotl<1>(c[2]));
        d[2] = Ops::xor_(c[1], Ops::template rotl<1>(c[3]));
        d[3] = Ops::xor_(c[2], Ops::template rotl<1>(c[4]));
        d[4] = Ops::xor_(c[3], Ops::template rotl<1>(c[0]));
    }

    // Theta's column effects D: the first round takes its column parities from
    // lanes 0..10 and the padding bit; every later round from all 25 lanes.
    template <bool First>
    [[gnu::always_inline]] static void theta_effects(const Lane (&a)[25], Lane (&d)[5]) {
        Lane c[5];
        if constexpr (First) {
            c[0] = Ops::xor3(a[0], a[5], a[10]);
            c[1] = Ops::xor3(a[1], a[6], Ops::broadcast(kPaddingLane16));
            c[2] = Ops::xor_(a[2], a[7]);
            c[3] = Ops::xor_(a[3], a[8]);
            c[4] = Ops::xor_(a[4], a[9]);
        } else {
            for_columns(a, c, std::make_index_sequence<5>{});
        }
        column_effects(c, d);
    }

    // One round from a into out, with the round constant already a lane.
    template <bool First>
    [[gnu::always_inline]] static void round_with(const Lane (&a)[25], Lane (&out)[25], Lane rc) {
        Lane d[5];
        theta_effects<First>(a, d);
        plane<0>(a, d, out);
        plane<1>(a, d, out);
        plane<2>(a, d, out);
        plane<3>(a, d, out);
        plane<4>(a, d, out);
        out[0] = Ops::xor_(out[0], rc);
    }

    // Round R from a into out, its constant an immediate.
    template <int R>
    [[gnu::always_inline]] static void round(const Lane (&a)[25], Lane (&out)[25]) {
        round_with<R == 0>(a, out, Ops::broadcast(kKeccakRoundConstants[R]));
    }

    // The compact form of the vector kernels: rounds 0..22 from a (which it
    // overwrites) into pre, the state before round 23. Round 0 stands alone
    // (it knows the zero lanes); rounds 1..22 are a loop over pairs of rounds
    // with the round constants loaded per pass. A pair is the smallest body
    // that ends where it started, with no copy of the state; the whole
    // permutation then takes the code of four rounds instead of 24, which
    // keeps a kernel far inside a 32 KB instruction cache.
    [[gnu::always_inline]] static void rounds_to_23(Lane (&a)[25], Lane (&pre)[25]) {
        round<0>(a, pre);
        for (int r = 1; r < 23; r += 2) {
            round_with<false>(pre, a, Ops::broadcast(kKeccakRoundConstants[r]));
            round_with<false>(a, pre, Ops::broadcast(kKeccakRoundConstants[r + 1]));
        }
    }

    // The whole permutation in the compact form, a to a.
    [[gnu::always_inline]] static void compact_permute(Lane (&a)[25]) {
        Lane pre[25];
        rounds_to_23(a, pre);
        round<23>(pre, a);
    }

    template <std::size_t... X>
    [[gnu::always_inline]] static void for_columns(const Lane (&a)[25], Lane (&c)[5],
                                                   std::index_sequence<X...>) {
        ((c[X] = Ops::xor3(Ops::xor3(a[X], a[X + 5], a[X + 10]), a[X + 15], a[X + 20])), ...);
    }

    // Rounds alternate between the two buffers; after 24 of them the state is
    // back in a.
    template <int R>
    [[gnu::always_inline]] static void step(Lane (&a)[25], Lane (&b)[25]) {
        if constexpr (R % 2 == 0) {
            round<R>(a, b);
        } else {
            round<R>(b, a);
        }
    }

    template <std::size_t... R>
    [[gnu::always_inline]] static void all_rounds(Lane (&a)[25], Lane (&b)[25],
                                                  std::index_sequence<R...>) {
        (step<R>(a, b), ...);
    }

    [[gnu::always_inline]] static void permute(Lane (&a)[25]) {
        Lane b[25];
        all_rounds(a, b, std::make_index_sequence<24>{});
    }
};

}  // namespace qvn::keccak_rounds
