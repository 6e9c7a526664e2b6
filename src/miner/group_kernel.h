// The group kernel this build mines with, chosen by QVN_KERNEL: the four-way
// AVX2 kernel (x86-64 default), two eight-way AVX-512 groups with a scalar lane
// beside them (seventeen nonces), the two-way NEON one or its SHA3-extension
// form, the three-way NEON and scalar one (AArch64 default; also with SHA3), or
// the scalar kernel one nonce at a time (portable). Workers hash whole groups
// of its width and leave the rest of their range to the scalar kernel.
#pragma once

#include <cstdint>

#include "miner/kernel_choice.h"
#include "miner/lanes.h"

namespace qvn {

struct GroupKernel {
    std::uint32_t width;       // nonces per call
    const char* isa;           // instruction set, as the self-test names it
    const char* backend_name;  // as the "[cpu]" line and "selftest ok (...)" show it
};

constexpr GroupKernel group_kernel(Kernel kernel) {
    switch (kernel) {
        case Kernel::kAvx512:
            return {17, "AVX-512", "AVX-512 eight-way fixed SHA3-256t + scalar tail"};
        case Kernel::kNeon:
            return {2, "NEON", "NEON two-way fixed SHA3-256t + scalar tail"};
        case Kernel::kNeonSha3:
            return {2, "NEON+SHA3", "NEON+SHA3 two-way fixed SHA3-256t + scalar tail"};
        case Kernel::kNeonScalar:
            return {3, "NEON+scalar", "NEON+scalar three-way fixed SHA3-256t + scalar tail"};
        case Kernel::kNeonSha3Scalar:
            return {3, "NEON+SHA3+scalar",
                    "NEON+SHA3+scalar three-way fixed SHA3-256t + scalar tail"};
        case Kernel::kPortable:
            return {1, "scalar", "portable scalar fixed SHA3-256t"};
        case Kernel::kAvx2:
            break;
    }
    return {4, "AVX2", "AVX2 four-way fixed SHA3-256t + scalar tail"};
}

inline constexpr GroupKernel kGroupKernel = group_kernel(kKernel);

// Hashes nonces n .. n + kGroupKernel.width - 1 (32-bit wrap-around) with this
// build's kernel: sha3_256t_fixed_x2, _x3, _x4 or _x17, or sha3_256t_fixed.
bool hash_group(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                std::uint32_t& nonce, HashWords& hash);

}  // namespace qvn
