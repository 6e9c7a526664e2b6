// What the vector kernels share: SHA3-256t of one 80-byte header for W
// consecutive nonces, W Keccak states side by side (vector j holds lane j of
// state k in element k), and the target test of the W digests. Each kernel
// supplies its Ops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "miner/keccak_rounds.h"
#include "miner/lanes.h"

namespace qvn::vector_group {

// Ops provides, besides what keccak_rounds::Rounds needs: kWidth, the number
// of elements; load(words) and store(words, lane) on kWidth aligned words;
// any_at_most(lane, word), whether some element is <= word (unsigned). The
// permutations are Rounds' compact form, inlined: the compiler then also drops
// the work on lanes known to be zero.
template <class Ops>
struct Group {
    using Lane = typename Ops::Lane;
    using Rounds = keccak_rounds::Rounds<Ops>;
    static constexpr std::uint32_t kWidth = Ops::kWidth;

    // Zeroes lanes First.. one by one. Written as a loop, GCC turns it into a
    // memset call whose wide stores the permutation's loads cannot forward
    // from: a quarter slower on Zen 4 where the state lives in memory.
    template <int First, std::size_t... I>
    [[gnu::always_inline]] static void zero_lanes(Lane (&s)[25], std::index_sequence<I...>) {
        ((s[First + I] = Ops::broadcast(0)), ...);
    }

    // A 32-byte message: the previous digests in vectors 0..3, padding in 4 and 16.
    [[gnu::always_inline]] static void load_digest_block(Lane (&s)[25]) {
        s[4] = Ops::broadcast(keccak_rounds::kDomainLane);
        zero_lanes<5>(s, std::make_index_sequence<20>{});
        s[16] = Ops::broadcast(keccak_rounds::kPaddingLane16);
    }

    // Element k: nonce n + k (32-bit wrap-around) in the high half, header bytes
    // 76..79, and the bits field in the low half.
    [[gnu::always_inline]] static Lane nonce_lane(std::uint64_t word9, std::uint32_t n) {
        alignas(64) std::uint64_t words[kWidth];
        for (std::uint32_t k = 0; k < kWidth; ++k)
            words[k] = (std::uint64_t{n + k} << 32) | (word9 & 0xffffffff);
        return Ops::load(words);
    }

    // Hashes nonces n .. n + kWidth - 1. On a hit reports the lowest nonce that
    // meets the target with its digest; otherwise leaves nonce and hash alone.
    static bool hash_group(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                           std::uint32_t& nonce, HashWords& hash) {
        Lane s[25];
        for (int i = 0; i < 9; ++i) s[i] = Ops::broadcast(lanes.words[i]);
        s[9] = nonce_lane(lanes.words[9], n);
        s[10] = Ops::broadcast(keccak_rounds::kDomainLane);  // message offset 80
        zero_lanes<11>(s, std::make_index_sequence<14>{});
        s[16] = Ops::broadcast(keccak_rounds::kPaddingLane16);
        Rounds::compact_permute(s);

        load_digest_block(s);
        Rounds::compact_permute(s);

        load_digest_block(s);
        Lane pre[25];
        Rounds::rounds_to_23(s, pre);
        return last_round_test(pre, target, n, nonce, hash);
    }

    // Round 23 of the last permutation, as far as the target test needs it.
    // Only digest words 0..3 are read, and almost every group fails on word 3
    // alone (the most significant word): that lane comes first, and lanes
    // 0..2 and the element-wise test only when some element's word 3 is at
    // most the target's.
    [[gnu::always_inline]] static bool last_round_test(const Lane (&pre)[25],
                                                       const TargetWords& target, std::uint32_t n,
                                                       std::uint32_t& nonce, HashWords& hash) {
        Lane d[5];
        Rounds::template theta_effects<false>(pre, d);
        const Lane b0 = Rounds::template moved<0>(pre, d);
        const Lane b3 = Rounds::template moved<3>(pre, d);
        const Lane b4 = Rounds::template moved<4>(pre, d);
        const Lane word3 = Ops::chi(b3, b4, b0);
        if (!Ops::any_at_most(word3, target.words[3])) return false;
        const Lane b1 = Rounds::template moved<1>(pre, d);
        const Lane b2 = Rounds::template moved<2>(pre, d);
        const Lane digest[4] = {
            Ops::xor_(Ops::chi(b0, b1, b2), Ops::broadcast(kKeccakRoundConstants[23])),
            Ops::chi(b1, b2, b3), Ops::chi(b2, b3, b4), word3};

        alignas(64) std::uint64_t words[4][kWidth];  // words[j][k]: word j of nonce n + k
        for (int j = 0; j < 4; ++j) Ops::store(words[j], digest[j]);
        return lowest_hit(words, target, n, nonce, hash);
    }

    // The lowest nonce n + k whose digest words[0..3][k] meets the target.
    [[gnu::always_inline]] static bool lowest_hit(const std::uint64_t (*words)[kWidth],
                                                  const TargetWords& target, std::uint32_t n,
                                                  std::uint32_t& nonce, HashWords& hash) {
        for (std::uint32_t k = 0; k < kWidth; ++k) {
            const HashWords candidate = {words[0][k], words[1][k], words[2][k], words[3][k]};
            if (meets_target(candidate, target)) {
                nonce = n + k;
                hash = candidate;
                return true;
            }
        }
        return false;
    }
};

}  // namespace qvn::vector_group
