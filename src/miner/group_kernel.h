// The vector kernel this build mines with: the four-way AVX2 kernel, or the
// eight-way AVX-512 one when built with QVN_KERNEL=avx512. Workers hash whole
// groups of its width and leave the rest of their range to the scalar kernel.
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

inline constexpr GroupKernel kGroupKernel =
    kEightWayKernel ? GroupKernel{8, "AVX-512", "AVX-512 eight-way fixed SHA3-256t + scalar tail"}
                    : GroupKernel{4, "AVX2", "AVX2 four-way fixed SHA3-256t + scalar tail"};

// Hashes nonces n .. n + kGroupKernel.width - 1 (32-bit wrap-around) with this
// build's kernel: sha3_256t_fixed_x4 or sha3_256t_fixed_x8.
bool hash_group(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                std::uint32_t& nonce, HashWords& hash);

}  // namespace qvn
