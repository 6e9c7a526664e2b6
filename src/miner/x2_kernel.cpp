#include "miner/x2_kernel.h"

#include <type_traits>

#include "miner/keccak_rounds.h"
#include "miner/kernel_choice.h"
#include "miner/neon_ops.h"
#include "miner/vector_group.h"

namespace qvn {
namespace {

// Sha3Ops is named only in the neon-sha3 flavour, whose binary alone has the
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
