// Keccak-f[1600] rounds on one state in AArch64 general registers, with lazy
// rotation: every eor and bic there can rotate one operand at no cost, so no
// lane is rotated when rho asks for it. Each value is kept as a stored word
// and a rotation still owed, known at compile time, and every later eor or
// bic rotates its second operand by the difference of the two owed
// rotations. XOR commutes with rotation, so the bits come out the same; rho's
// 24 rotations a round cost nothing.
//
// A round either leaves its outputs owing rotations (lazy) or settles them,
// so that a loop can end where it started: settling costs 15 ror, not 24
// (see Round::settled). Straight-line code settles once, after round 24.
//
// Only for the states the kernels build, as keccak_rounds.h.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <utility>

#include "hash/keccak.h"
#include "miner/keccak_rounds.h"

namespace qvn::lazy_rounds {

// The rotation each lane owes.
using Owed = std::array<int, 25>;

inline constexpr Owed kNoneOwed{};

// A column parity and theta's D[x] owe what the first word they start from owes.
constexpr std::array<int, 5> parity_owed(const Owed& a) { return {a[0], a[1], a[2], a[3], a[4]}; }

// Rho of the lane that pi moves to lane t owes its source's rotation plus rho's own.
constexpr int moved_owed(const Owed& a, int t) {
    const int source = keccak_rounds::pi_source(t);
    return (a[source] + kKeccakRotations[source]) % 64;
}

// A lazy round's outputs owe what chi's first input owes.
constexpr Owed lazy_output(const Owed& a) {
    Owed out{};
    for (int t = 0; t < 25; ++t) out[t] = moved_owed(a, t);
    return out;
}

// x rotated left by n (mod 64).
template <int N>
[[gnu::always_inline]] inline std::uint64_t rotl(std::uint64_t x) {
    return std::rotl(x, N & 63);
}

// c & ~rotl(b, N) in one bic. GCC 12 folds a rotation into eor's second
// operand but not into bic's inverted one, so this one is written out.
template <int N>
[[gnu::always_inline]] inline std::uint64_t and_not(std::uint64_t c, std::uint64_t b) {
    std::uint64_t out;
    asm("bic %0, %1, %2, ror %3" : "=r"(out) : "r"(c), "r"(b), "i"((64 - (N & 63)) & 63));
    return out;
}

// a ^ b where a owes A and b owes B; the result owes A.
template <int A, int B>
[[gnu::always_inline]] inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
    return a ^ rotl<B - A + 64>(b);
}

// a ^ b owing nothing, where one of them owes nothing.
template <int A, int B>
[[gnu::always_inline]] inline std::uint64_t settled_mix(std::uint64_t a, std::uint64_t b) {
    static_assert(A == 0 || B == 0, "one side of a settled XOR must owe nothing");
    if constexpr (A == 0) {
        return mix<0, B>(a, b);
    } else {
        return mix<0, A>(b, a);
    }
}

// One round from a (owing In) into out. First: the round that knows the zero
// lanes (keccak_rounds.h). Settle: out owes nothing; otherwise out owes
// lazy_output(In).
template <Owed In, bool Settle, bool First = false>
struct Round {
    using Lane = std::uint64_t;
    static constexpr std::array<int, 5> kParity = parity_owed(In);

    // To settle its five outputs a plane settles three of its rho outputs:
    // out[x] = b[x] ^ (~b[x + 1] & b[x + 2]) owes nothing when b[x] or b[x + 2]
    // does, and 0, 1, 2 cover every x that way.
    static constexpr bool settled(int x) { return Settle && x < 3; }

    template <int X>
    [[gnu::always_inline]] static Lane parity(const Lane (&a)[25]) {
        if constexpr (First) {
            if constexpr (X == 0) return a[0] ^ a[5] ^ a[10];
            if constexpr (X == 1) return a[1] ^ a[6] ^ keccak_rounds::kPaddingLane16;
            return a[X] ^ a[X + 5];
        } else {
            Lane c = mix<In[X], In[X + 5]>(a[X], a[X + 5]);
            c = mix<In[X], In[X + 10]>(c, a[X + 10]);
            c = mix<In[X], In[X + 15]>(c, a[X + 15]);
            return mix<In[X], In[X + 20]>(c, a[X + 20]);
        }
    }

    // Theta's D[x] = C[x - 1] ^ rotl(C[x + 1], 1), owing C[x - 1]'s rotation.
    template <int X>
    [[gnu::always_inline]] static Lane column_effect(const Lane (&c)[5]) {
        constexpr int left = (X + 4) % 5;
        constexpr int right = (X + 1) % 5;
        return mix<kParity[left], kParity[right] + 1>(c[left], c[right]);
    }

    // What rho's output for lane T owes: nothing once settled.
    static constexpr int owed(int t) { return settled(t % 5) ? 0 : moved_owed(In, t); }

    // The word pi moves to lane T, theta's D applied, owing owed(T).
    template <int T>
    [[gnu::always_inline]] static Lane moved(const Lane (&a)[25], const Lane (&d)[5]) {
        constexpr int source = keccak_rounds::pi_source(T);
        const Lane mixed = mix<In[source], kParity[(source + 4) % 5]>(a[source], d[source % 5]);
        if constexpr (settled(T % 5)) {
            return rotl<moved_owed(In, T)>(mixed);
        } else {
            return mixed;
        }
    }

    // out = b0 ^ (~b1 & b2): bic rotates the inverted operand, eor the other.
    template <int T0, int T1, int T2>
    [[gnu::always_inline]] static Lane chi(Lane b0, Lane b1, Lane b2) {
        const Lane kept = and_not<owed(T1) - owed(T2) + 64>(b2, b1);  // owes owed(T2)
        if constexpr (Settle) {
            return settled_mix<owed(T0), owed(T2)>(b0, kept);
        } else {
            return mix<owed(T0), owed(T2)>(b0, kept);
        }
    }

    template <int Y>
    [[gnu::always_inline]] static void plane(const Lane (&a)[25], const Lane (&d)[5],
                                             Lane (&out)[25]) {
        const Lane b0 = moved<5 * Y + 0>(a, d);
        const Lane b1 = moved<5 * Y + 1>(a, d);
        const Lane b2 = moved<5 * Y + 2>(a, d);
        const Lane b3 = moved<5 * Y + 3>(a, d);
        const Lane b4 = moved<5 * Y + 4>(a, d);
        out[5 * Y + 0] = chi<5 * Y + 0, 5 * Y + 1, 5 * Y + 2>(b0, b1, b2);
        out[5 * Y + 1] = chi<5 * Y + 1, 5 * Y + 2, 5 * Y + 3>(b1, b2, b3);
        out[5 * Y + 2] = chi<5 * Y + 2, 5 * Y + 3, 5 * Y + 4>(b2, b3, b4);
        out[5 * Y + 3] = chi<5 * Y + 3, 5 * Y + 4, 5 * Y + 0>(b3, b4, b0);
        out[5 * Y + 4] = chi<5 * Y + 4, 5 * Y + 0, 5 * Y + 1>(b4, b0, b1);
    }

    template <std::size_t... X>
    [[gnu::always_inline]] static void run(const Lane (&a)[25], Lane (&out)[25], Lane rc,
                                           std::index_sequence<X...>) {
        const Lane c[5] = {parity<X>(a)...};
        const Lane d[5] = {column_effect<X>(c)...};
        plane<0>(a, d, out);
        plane<1>(a, d, out);
        plane<2>(a, d, out);
        plane<3>(a, d, out);
        plane<4>(a, d, out);
        // Lane 0 never owes a rotation (rho and pi leave it in place), so
        // iota's constant goes in as it is.
        static_assert(In[0] == 0);
        out[0] ^= rc;
    }

    [[gnu::always_inline]] static void run(const Lane (&a)[25], Lane (&out)[25], Lane rc) {
        run(a, out, rc, std::make_index_sequence<5>{});
    }
};

// What each lane owes before round r of the straight-line permutation.
constexpr std::array<Owed, 25> owed_table() {
    std::array<Owed, 25> table{};
    for (int r = 0; r < 24; ++r) table[r + 1] = lazy_output(table[r]);
    return table;
}

inline constexpr std::array<Owed, 25> kOwed = owed_table();

template <std::size_t... R>
[[gnu::always_inline]] inline void all_rounds(std::uint64_t (&a)[25], std::uint64_t (&b)[25],
                                              std::index_sequence<R...>) {
    // Rounds alternate between the two buffers; after 24 of them the state is
    // back in a.
    ((R % 2 == 0 ? Round<kOwed[R], false, R == 0>::run(a, b, kKeccakRoundConstants[R])
                 : Round<kOwed[R], false>::run(b, a, kKeccakRoundConstants[R])),
     ...);
}

template <std::size_t... I>
[[gnu::always_inline]] inline void settle(std::uint64_t (&a)[25], std::index_sequence<I...>) {
    ((a[I] = rotl<kOwed[24][I]>(a[I])), ...);
}

// The whole permutation straight-line, a to a: 24 lazy rounds, then one ror
// per lane settles what is still owed.
[[gnu::always_inline]] inline void permute(std::uint64_t (&a)[25]) {
    std::uint64_t b[25];
    all_rounds(a, b, std::make_index_sequence<24>{});
    settle(a, std::make_index_sequence<25>{});
}

// The compact form, as keccak_rounds.h: rounds 0..22 from a (which it
// overwrites) into pre. Round 0 settles; each pass of the loop is a lazy round
// and a settling one.
[[gnu::always_inline]] inline void rounds_to_23(std::uint64_t (&a)[25], std::uint64_t (&pre)[25]) {
    Round<kNoneOwed, true, true>::run(a, pre, kKeccakRoundConstants[0]);
    for (int r = 1; r < 23; r += 2) {
        Round<kNoneOwed, false>::run(pre, a, kKeccakRoundConstants[r]);
        Round<lazy_output(kNoneOwed), true>::run(a, pre, kKeccakRoundConstants[r + 1]);
    }
}

}  // namespace qvn::lazy_rounds
