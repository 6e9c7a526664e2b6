// Two vector groups and one scalar Keccak state in the same loops: while the
// vector units run the groups, the integer units, otherwise idle, hash one more
// nonce. The scalar state takes one round per pair of vector rounds, so its
// three permutations last as long as the six of the two groups: nonces
// n .. n + W - 1 and n + W .. n + 2W - 1 in the groups (one after the other),
// n + 2W in the scalar state, 2W + 1 per call.
//
// Half the rate because a whole scalar round beside every vector round does
// not fit in the cycles the vector code leaves free: on Zen 5 (AMD EPYC,
// family 26 model 2) eight lanes and a scalar one that way ran at 0.85 times
// the eight-way kernel's hash rate, the half rate at 1.07 times.
#pragma once

#include <cstdint>
#include <utility>

#include "hash/keccak.h"
#include "miner/keccak_rounds.h"
#include "miner/lanes.h"
#include "miner/scalar_ops.h"
#include "miner/vector_group.h"

namespace qvn::scalar_lane {

// Ops as for vector_group::Group.
template <class Ops>
struct Hybrid {
    using Lane = typename Ops::Lane;
    using Word = std::uint64_t;
    using State = Word[25];
    using Vector = keccak_rounds::Rounds<Ops>;
    using Scalar = keccak_rounds::Rounds<ScalarOps>;
    using Group = vector_group::Group<Ops>;
    static constexpr std::uint32_t kGroupWidth = Ops::kWidth;
    static constexpr std::uint32_t kWidth = 2 * kGroupWidth + 1;

    // Vector round 0 from a into out beside a whole scalar round from s into
    // t, plane by plane so that both are in flight together.
    [[gnu::always_inline]] static void first_round_beside(const Lane (&a)[25], Lane (&out)[25],
                                                          const State& s, State& t, Word rc) {
        typename Vector::Effects d;
        typename Scalar::Effects e;
        Vector::template theta_effects<true>(a, d);
        Scalar::template theta_effects<false>(s, e);
        Vector::template plane<0>(a, d, out);
        Scalar::template plane<0>(s, e, t);
        Vector::template plane<1>(a, d, out);
        Scalar::template plane<1>(s, e, t);
        Vector::template plane<2>(a, d, out);
        Scalar::template plane<2>(s, e, t);
        Vector::template plane<3>(a, d, out);
        Scalar::template plane<3>(s, e, t);
        Vector::template plane<4>(a, d, out);
        Scalar::template plane<4>(s, e, t);
        out[0] = Ops::xor_(out[0], Ops::broadcast(kKeccakRoundConstants[0]));
        t[0] ^= rc;
    }

    // Vector rounds r and r + 1 from pre through a back into pre, and scalar
    // round k from s into t: its column effects and planes 0 and 1 beside the
    // first vector round, planes 2 to 4 beside the second. Spread this way the
    // pair ran 4% faster than with the whole scalar round beside the first
    // (Zen 5, as above). The scalar round constant is read last: held from the
    // start it costs a register and the scalar state more spills.
    [[gnu::always_inline]] static void pair_beside(Lane (&pre)[25], Lane (&a)[25], int r,
                                                   const State& s, State& t, int k) {
        typename Scalar::Effects e;
        {
            typename Vector::Effects d;
            Vector::template theta_effects<false>(pre, d);
            Scalar::template theta_effects<false>(s, e);
            Vector::template plane<0>(pre, d, a);
            Scalar::template plane<0>(s, e, t);
            Vector::template plane<1>(pre, d, a);
            Vector::template plane<2>(pre, d, a);
            Scalar::template plane<1>(s, e, t);
            Vector::template plane<3>(pre, d, a);
            Vector::template plane<4>(pre, d, a);
            a[0] = Ops::xor_(a[0], Ops::broadcast(kKeccakRoundConstants[r]));
        }
        typename Vector::Effects d;
        Vector::template theta_effects<false>(a, d);
        Vector::template plane<0>(a, d, pre);
        Scalar::template plane<2>(s, e, t);
        Vector::template plane<1>(a, d, pre);
        Scalar::template plane<3>(s, e, t);
        Vector::template plane<2>(a, d, pre);
        Vector::template plane<3>(a, d, pre);
        Scalar::template plane<4>(s, e, t);
        Vector::template plane<4>(a, d, pre);
        pre[0] = Ops::xor_(pre[0], Ops::broadcast(kKeccakRoundConstants[r + 1]));
        t[0] ^= kKeccakRoundConstants[k];
    }

    // One vector permutation of a (up to round 23 into pre when Last, as
    // Rounds::rounds_to_23) with 12 scalar rounds beside it, scalar round k
    // first. The scalar state alternates between *s and *t and ends where it
    // started.
    template <bool Last>
    [[gnu::always_inline]] static void permute(Lane (&a)[25], Lane (&pre)[25], State*& s, State*& t,
                                               int k) {
        first_round_beside(a, pre, *s, *t, kKeccakRoundConstants[k]);
        std::swap(s, t);
        for (int r = 1; r < 23; r += 2) {
            pair_beside(pre, a, r, *s, *t, k + (r + 1) / 2);
            std::swap(s, t);
        }
        if constexpr (!Last) Vector::template round<23>(pre, a);
    }

    // Variants under comparison (make bench-compare), not mined with.
    //
    // named: permute with the scalar buffers named at compile time instead of
    // swapped pointers, the pair loop unrolled twice: s -> t in round 0, then
    // the pairs alternate t -> s and s -> t; after 11 pairs the state is back
    // in s, so the compiler may keep any of it in registers.
    template <bool Last>
    [[gnu::always_inline]] static void permute_named(Lane (&a)[25], Lane (&pre)[25], State& s,
                                                     State& t, int k) {
        first_round_beside(a, pre, s, t, kKeccakRoundConstants[k]);
        for (int r = 1; r < 21; r += 4) {
            pair_beside(pre, a, r, t, s, k + (r + 1) / 2);
            pair_beside(pre, a, r + 2, s, t, k + (r + 3) / 2);
        }
        pair_beside(pre, a, 21, t, s, k + 11);
        if constexpr (!Last) Vector::template round<23>(pre, a);
    }

    // quarter: a scalar round per two pairs of vector rounds, beside four
    // groups: nonces n .. n + 4W - 1 in the groups, n + 4W in the scalar state.
    [[gnu::always_inline]] static void pair_alone(Lane (&pre)[25], Lane (&a)[25], int r) {
        Vector::template round_with<false>(pre, a, Ops::broadcast(kKeccakRoundConstants[r]));
        Vector::template round_with<false>(a, pre, Ops::broadcast(kKeccakRoundConstants[r + 1]));
    }
    template <bool Last>
    [[gnu::always_inline]] static void permute_quarter(Lane (&a)[25], Lane (&pre)[25], State*& s,
                                                       State*& t, int k) {
        first_round_beside(a, pre, *s, *t, kKeccakRoundConstants[k]);
        std::swap(s, t);
        for (int r = 1; r < 21; r += 4) {
            pair_alone(pre, a, r);
            pair_beside(pre, a, r + 2, *s, *t, k + (r + 3) / 4);
            std::swap(s, t);
        }
        pair_alone(pre, a, 21);
        if constexpr (!Last) Vector::template round<23>(pre, a);
    }

    static void load_header_block(const HeaderLanes& lanes, std::uint32_t nonce, State& s) {
        for (int i = 0; i < 25; ++i) s[i] = 0;
        for (int i = 0; i < 9; ++i) s[i] = lanes.words[i];
        s[9] = (std::uint64_t{nonce} << 32) | (lanes.words[9] & 0xffffffff);
        s[10] = keccak_rounds::kDomainLane;
        s[16] = keccak_rounds::kPaddingLane16;
    }

    [[gnu::always_inline]] static void load_group(const HeaderLanes& lanes, std::uint32_t base,
                                                  Lane (&v)[25]) {
        for (int i = 0; i < 9; ++i) v[i] = Ops::broadcast(lanes.words[i]);
        v[9] = Group::nonce_lane(lanes.words[9], base);
        v[10] = Ops::broadcast(keccak_rounds::kDomainLane);
        Group::template zero_lanes<11>(v, std::make_index_sequence<14>{});
        v[16] = Ops::broadcast(keccak_rounds::kPaddingLane16);
    }

    static bool scalar_result(const State& s, const TargetWords& target, std::uint32_t n,
                              std::uint32_t& nonce, HashWords& hash) {
        const HashWords candidate = {s[0], s[1], s[2], s[3]};
        if (!meets_target(candidate, target)) return false;
        nonce = n;
        hash = candidate;
        return true;
    }

    static bool hash_group_named(const HeaderLanes& lanes, const TargetWords& target,
                                 std::uint32_t n, std::uint32_t& nonce, HashWords& hash) {
        alignas(64) State s;
        alignas(64) State t;
        load_header_block(lanes, n + 2 * kGroupWidth, s);
        for (std::uint32_t g = 0; g < 2; ++g) {
            const std::uint32_t base = n + g * kGroupWidth;
            Lane v[25];
            Lane pre[25];
            load_group(lanes, base, v);
            permute_named<false>(v, pre, s, t, g == 0 ? 0 : 12);
            if (g == 1) load_digest_block(s);
            Group::load_digest_block(v);
            permute_named<false>(v, pre, s, t, g == 0 ? 12 : 0);
            if (g == 0) load_digest_block(s);
            Group::load_digest_block(v);
            permute_named<true>(v, pre, s, t, g == 0 ? 0 : 12);
            if (Group::last_round_test(pre, target, base, nonce, hash)) return true;
        }
        return scalar_result(s, target, n + 2 * kGroupWidth, nonce, hash);
    }

    // Scalar permutation j beside vector permutations 4j .. 4j + 3, six
    // scalar rounds beside each.
    static bool hash_group_quarter(const HeaderLanes& lanes, const TargetWords& target,
                                   std::uint32_t n, std::uint32_t& nonce, HashWords& hash) {
        alignas(64) State first;
        alignas(64) State second;
        load_header_block(lanes, n + 4 * kGroupWidth, first);
        State* s = &first;
        State* t = &second;
        int q = 0;
        for (std::uint32_t g = 0; g < 4; ++g) {
            const std::uint32_t base = n + g * kGroupWidth;
            Lane v[25];
            Lane pre[25];
            load_group(lanes, base, v);
            for (int p = 0; p < 3; ++p, ++q) {
                if (p < 2) {
                    permute_quarter<false>(v, pre, s, t, (q % 4) * 6);
                    Group::load_digest_block(v);
                } else {
                    permute_quarter<true>(v, pre, s, t, (q % 4) * 6);
                }
                if (q % 4 == 3 && q != 11) load_digest_block(*s);
            }
            if (Group::last_round_test(pre, target, base, nonce, hash)) return true;
        }
        return scalar_result(*s, target, n + 4 * kGroupWidth, nonce, hash);
    }

    // A 32-byte message: the previous digest in lanes 0..3, padding in 4 and 16.
    static void load_digest_block(State& s) {
        s[4] = keccak_rounds::kDomainLane;
        for (int i = 5; i < 25; ++i) s[i] = 0;
        s[16] = keccak_rounds::kPaddingLane16;
    }

    // Hashes nonces n .. n + kWidth - 1. On a hit reports the lowest nonce that
    // meets the target with its digest; otherwise leaves nonce and hash alone.
    static bool hash_group(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                           std::uint32_t& nonce, HashWords& hash) {
        const std::uint32_t scalar_nonce = n + 2 * kGroupWidth;
        alignas(64) State first = {};
        alignas(64) State second;
        for (int i = 0; i < 9; ++i) first[i] = lanes.words[i];
        first[9] = (std::uint64_t{scalar_nonce} << 32) | (lanes.words[9] & 0xffffffff);
        first[10] = keccak_rounds::kDomainLane;  // message offset 80
        first[16] = keccak_rounds::kPaddingLane16;
        State* s = &first;
        State* t = &second;

        // Vector permutations 3g .. 3g + 2 of group g; scalar permutation j
        // runs beside vector permutations 2j and 2j + 1, rounds 0..11 beside
        // the first and 12..23 beside the second.
        for (std::uint32_t g = 0; g < 2; ++g) {
            const std::uint32_t base = n + g * kGroupWidth;
            Lane v[25];
            for (int i = 0; i < 9; ++i) v[i] = Ops::broadcast(lanes.words[i]);
            v[9] = Group::nonce_lane(lanes.words[9], base);
            v[10] = Ops::broadcast(keccak_rounds::kDomainLane);
            Group::template zero_lanes<11>(v, std::make_index_sequence<14>{});
            v[16] = Ops::broadcast(keccak_rounds::kPaddingLane16);
            Lane pre[25];
            permute<false>(v, pre, s, t, g == 0 ? 0 : 12);
            if (g == 1) load_digest_block(*s);
            Group::load_digest_block(v);
            permute<false>(v, pre, s, t, g == 0 ? 12 : 0);
            if (g == 0) load_digest_block(*s);
            Group::load_digest_block(v);
            permute<true>(v, pre, s, t, g == 0 ? 0 : 12);
            // The first group's nonces are the lowest: a hit there ends the call.
            if (Group::last_round_test(pre, target, base, nonce, hash)) return true;
        }

        const HashWords candidate = {(*s)[0], (*s)[1], (*s)[2], (*s)[3]};
        if (!meets_target(candidate, target)) return false;
        nonce = scalar_nonce;
        hash = candidate;
        return true;
    }
};

}  // namespace qvn::scalar_lane
