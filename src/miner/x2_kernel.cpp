#include "miner/x2_kernel.h"

#include <type_traits>

#include "miner/keccak_rounds.h"
#include "miner/kernel_choice.h"
#include "miner/neon_ops.h"
#include "miner/vector_group.h"

namespace qvn {
namespace {

// The SHA3 extension: a column parity in two eor3, chi in one bcax, and a
// rotation in one xar.
struct Sha3Ops : NeonOps {
    [[gnu::always_inline]] static Lane xor3(Lane a, Lane b, Lane c) { return veor3q_u64(a, b, c); }
    [[gnu::always_inline]] static Lane chi(Lane a, Lane b, Lane c) {
        return vbcaxq_u64(a, c, b);  // a ^ (c & ~b)
    }
    // xar rotates right after an XOR, here with zero: a plain rotate to GCC,
    // which then turns theta's XOR with a rotation by one into rax1 by
    // itself. Rho's XOR before the rotation stays an eor (GCC 12).
    template <int N>
    [[gnu::always_inline]] static Lane rotl(Lane a) {
        return vxarq_u64(a, vdupq_n_u64(0), 64 - N);
    }
};

// Sha3Ops is named only in the neon-sha3 build, whose source alone has the
// extension's instructions.
template <Kernel K>
using OpsFor = std::conditional_t<K == Kernel::kNeonSha3, Sha3Ops, NeonOps>;
using Ops = OpsFor<kKernel>;

}  // namespace

void keccak_f1600_x2(uint64x2_t (&lanes)[25]) {
    keccak_rounds::Rounds<Ops>::compact_permute(lanes);
}

bool sha3_256t_fixed_x2(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                        std::uint32_t& nonce, HashWords& hash) {
    return vector_group::Group<Ops>::hash_group(lanes, target, n, nonce, hash);
}

}  // namespace qvn
