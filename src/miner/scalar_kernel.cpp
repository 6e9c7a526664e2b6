// On AArch64 the permutation uses lazy rotation (lazy_rounds.h), since every
// eor and bic there can rotate an operand at no cost in instructions: 101
// instructions a round instead of 124. Elsewhere it is the round description
// with scalar operations.
//
// The pragmas must precede every include so that all inlined helpers share
// them. On AArch64: keep the XOR chains in the order they are written;
// reassociated, a column parity starts from two rotated words and needs a ror
// of its own: 194 ror per permutation instead of 64 (GCC 12), 4% more cycles
// in the llvm-mca model of the Neoverse N1. Elsewhere: tuned as for a generic
// x86-64 whatever -march says; tunings for some processors (znver) spill the
// 25 lanes to vector registers instead of the stack, which halves this
// kernel's speed.
#if defined(__aarch64__)
#pragma GCC optimize("no-tree-reassoc")
#else
#pragma GCC target("tune=generic")
#endif

#include "miner/scalar_kernel.h"

#include "miner/keccak_rounds.h"
#if defined(__aarch64__)
#include "miner/lazy_rounds.h"
#else
#include "miner/scalar_ops.h"
#endif

namespace qvn {
namespace {

// A 32-byte message: the previous digest in lanes 0..3, padding in 4 and 16.
void load_digest_block(std::uint64_t (&s)[25]) {
    s[4] = keccak_rounds::kDomainLane;
    for (int i = 5; i < 25; ++i) s[i] = 0;
    s[16] = keccak_rounds::kPaddingLane16;
}

}  // namespace

#if defined(__aarch64__)
void keccak_f1600_unrolled(std::uint64_t (&lanes)[25]) { lazy_rounds::permute(lanes); }
#else
void keccak_f1600_unrolled(std::uint64_t (&lanes)[25]) {
    keccak_rounds::Rounds<ScalarOps>::permute(lanes);
}
#endif

void sha3_256t_fixed(const HeaderLanes& lanes, std::uint32_t nonce, HashWords& out) {
    std::uint64_t s[25] = {};
    for (int i = 0; i < 9; ++i) s[i] = lanes.words[i];
    s[9] = (std::uint64_t{nonce} << 32) | (lanes.words[9] & 0xffffffff);
    s[10] = keccak_rounds::kDomainLane;  // message offset 80
    s[16] = keccak_rounds::kPaddingLane16;
    keccak_f1600_unrolled(s);

    load_digest_block(s);
    keccak_f1600_unrolled(s);

    load_digest_block(s);
    keccak_f1600_unrolled(s);

    for (int i = 0; i < 4; ++i) out[i] = s[i];
}

}  // namespace qvn
