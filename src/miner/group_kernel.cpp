#include "miner/group_kernel.h"

#include "miner/x4_kernel.h"
#include "miner/x8_kernel.h"

namespace qvn {

bool hash_group(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                std::uint32_t& nonce, HashWords& hash) {
    // The branch not taken is discarded, so the four-way build needs no
    // eight-way kernel to link.
    if constexpr (kEightWayKernel) {
        return sha3_256t_fixed_x8(lanes, target, n, nonce, hash);
    } else {
        return sha3_256t_fixed_x4(lanes, target, n, nonce, hash);
    }
}

}  // namespace qvn
