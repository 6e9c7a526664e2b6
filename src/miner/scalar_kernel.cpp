// Tuned as for a generic x86-64 whatever -march says: tunings for some
// processors (znver) spill the 25 lanes to vector registers instead of the
// stack, which halves this kernel's speed. Must precede every include so that
// all inlined helpers share the setting.
#pragma GCC target("tune=generic")

#include "miner/scalar_kernel.h"

#include "miner/keccak_rounds.h"
#include "miner/scalar_ops.h"

namespace qvn {
namespace {

using Rounds = keccak_rounds::Rounds<ScalarOps>;

// A 32-byte message: the previous digest in lanes 0..3, padding in 4 and 16.
void load_digest_block(std::uint64_t (&s)[25]) {
    s[4] = keccak_rounds::kDomainLane;
    for (int i = 5; i < 25; ++i) s[i] = 0;
    s[16] = keccak_rounds::kPaddingLane16;
}

}  // namespace

void keccak_f1600_unrolled(std::uint64_t (&lanes)[25]) { Rounds::permute(lanes); }

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
