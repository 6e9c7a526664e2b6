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
// permute(lanes), the kernel's straight-line Keccak-f[1600]. Where all 25
// lanes fit in registers it pays to inline it: the state never leaves them,
// and the compiler drops the work on lanes known to be zero (first rounds)
// or never read (the last round needs only the digest).
template <class Ops>
struct Group {
    using Lane = typename Ops::Lane;
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
        Ops::permute(s);

        load_digest_block(s);
        Ops::permute(s);

        load_digest_block(s);
        Ops::permute(s);

        alignas(64) std::uint64_t words[4][kWidth];  // words[j][k]: word j of nonce n + k
        for (int j = 0; j < 4; ++j) Ops::store(words[j], s[j]);
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
