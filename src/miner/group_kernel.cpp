#include "miner/group_kernel.h"

#include "miner/scalar_kernel.h"

// Only the kernels of the target's instruction set are declared; the build
// compiles only the chosen one.
#if defined(__x86_64__)
#include "miner/x4_kernel.h"
#include "miner/x8_kernel.h"
#elif defined(__aarch64__)
#include "miner/x2_kernel.h"
#include "miner/x3_kernel.h"
#endif

namespace qvn {

bool hash_group(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                std::uint32_t& nonce, HashWords& hash) {
    // The branches not taken are discarded, so a build needs only its own
    // kernel to link.
    if constexpr (kKernel == Kernel::kPortable) {
        HashWords words;
        sha3_256t_fixed(lanes, n, words);
        if (!meets_target(words, target)) return false;
        nonce = n;
        hash = words;
        return true;
#if defined(__x86_64__)
    } else if constexpr (kEightWayKernel) {
        return sha3_256t_fixed_x17(lanes, target, n, nonce, hash);
    } else {
        return sha3_256t_fixed_x4(lanes, target, n, nonce, hash);
#elif defined(__aarch64__)
    } else if constexpr (kThreeWayKernel) {
        return sha3_256t_fixed_x3(lanes, target, n, nonce, hash);
    } else {
        return sha3_256t_fixed_x2(lanes, target, n, nonce, hash);
#endif
    }
}

}  // namespace qvn
