// Keep the XOR chains in the order they are written: reassociated, a column
// parity of the scalar lane starts from two rotated words and needs a ror of
// its own. In the llvm-mca model of the loop (GCC 12) that is 22 ror instead
// of 12 per pass and 4% more cycles on the Cortex-A72 model. Must come before
// every include so that all inlined helpers share the setting.
#pragma GCC optimize("no-tree-reassoc")

#include "miner/x3_kernel.h"

#include <type_traits>
#include <utility>

#include "miner/keccak_rounds.h"
#include "miner/kernel_choice.h"
#include "miner/lazy_rounds.h"
#include "miner/neon_ops.h"
#include "miner/vector_group.h"

namespace qvn {
namespace {

// Elements 0 and 1 in NEON vectors (the two-way kernel's rounds), element 2
// in general registers with lazy rotation. The two are written round by
// round in one loop, so that the core always has work for both units.
// The pair uses the SHA3 extension's xar in the neon-sha3-scalar flavour only.
template <Kernel K>
using PairOpsFor = std::conditional_t<K == Kernel::kNeonSha3Scalar, Sha3Ops, NeonOps>;
using PairOps = PairOpsFor<kKernel>;
using Pair = vector_group::Group<PairOps>;
using PairRounds = keccak_rounds::Rounds<PairOps>;
using lazy_rounds::kNoneOwed;

struct State {
    uint64x2_t pair[25];
    std::uint64_t single[25];
};

// The compact form on both, as keccak_rounds.h: rounds 0..22 from s into pre.
// The scalar lane owes no rotation between passes (lazy_rounds.h).
[[gnu::always_inline]] inline void rounds_to_23(State& s, State& pre) {
    PairRounds::round<0>(s.pair, pre.pair);
    lazy_rounds::Round<kNoneOwed, true, true>::run(s.single, pre.single, kKeccakRoundConstants[0]);
    for (int r = 1; r < 23; r += 2) {
        PairRounds::round_with<false>(pre.pair, s.pair,
                                      PairOps::broadcast(kKeccakRoundConstants[r]));
        lazy_rounds::Round<kNoneOwed, false>::run(pre.single, s.single, kKeccakRoundConstants[r]);
        PairRounds::round_with<false>(s.pair, pre.pair,
                                      PairOps::broadcast(kKeccakRoundConstants[r + 1]));
        lazy_rounds::Round<lazy_rounds::lazy_output(kNoneOwed), true>::run(
            s.single, pre.single, kKeccakRoundConstants[r + 1]);
    }
}

[[gnu::always_inline]] inline void last_round(const State& pre, State& s) {
    PairRounds::round<23>(pre.pair, s.pair);
    lazy_rounds::Round<kNoneOwed, true>::run(pre.single, s.single, kKeccakRoundConstants[23]);
}

[[gnu::always_inline]] inline void permute(State& s) {
    State pre;
    rounds_to_23(s, pre);
    last_round(pre, s);
}

// A 32-byte message: the previous digests in lanes 0..3, padding in 4 and 16.
[[gnu::always_inline]] inline void load_digest_block(State& s) {
    Pair::load_digest_block(s.pair);
    s.single[4] = keccak_rounds::kDomainLane;
    for (int i = 5; i < 25; ++i) s.single[i] = 0;
    s.single[16] = keccak_rounds::kPaddingLane16;
}

}  // namespace

void keccak_f1600_x3(std::array<std::uint64_t, 3> (&lanes)[25]) {
    State s;
    for (int j = 0; j < 25; ++j) {
        s.pair[j] = PairOps::load(lanes[j].data());
        s.single[j] = lanes[j][2];
    }
    permute(s);
    for (int j = 0; j < 25; ++j) {
        PairOps::store(lanes[j].data(), s.pair[j]);
        lanes[j][2] = s.single[j];
    }
}

bool sha3_256t_fixed_x3(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                        std::uint32_t& nonce, HashWords& hash) {
    State s;
    for (int i = 0; i < 9; ++i) {
        s.pair[i] = PairOps::broadcast(lanes.words[i]);
        s.single[i] = lanes.words[i];
    }
    s.pair[9] = Pair::nonce_lane(lanes.words[9], n);
    s.single[9] = (std::uint64_t{n + 2} << 32) | (lanes.words[9] & 0xffffffff);
    s.pair[10] = PairOps::broadcast(keccak_rounds::kDomainLane);  // message offset 80
    s.single[10] = keccak_rounds::kDomainLane;
    Pair::zero_lanes<11>(s.pair, std::make_index_sequence<14>{});
    for (int i = 11; i < 25; ++i) s.single[i] = 0;
    s.pair[16] = PairOps::broadcast(keccak_rounds::kPaddingLane16);
    s.single[16] = keccak_rounds::kPaddingLane16;
    permute(s);

    load_digest_block(s);
    permute(s);

    load_digest_block(s);
    State pre;
    rounds_to_23(s, pre);
    // The pair holds the lower nonces: a hit there wins.
    if (Pair::last_round_test(pre.pair, target, n, nonce, hash)) return true;
    lazy_rounds::Round<kNoneOwed, true>::run(pre.single, s.single, kKeccakRoundConstants[23]);
    const HashWords single = {s.single[0], s.single[1], s.single[2], s.single[3]};
    if (!meets_target(single, target)) return false;
    nonce = n + 2;
    hash = single;
    return true;
}

}  // namespace qvn
