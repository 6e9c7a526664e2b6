// The group kernel a program mines with. Each flavour of the program links
// one kernel library (CMakeLists.txt), whose group_kernel.cpp defines what is
// declared here for its own kernel: the four-way AVX2 kernel (x86-64
// default), the eight-way AVX-512 one, the two-way NEON one or its
// SHA3-extension form, the
// three-way NEON and scalar one (AArch64 default; also with SHA3), or the
// scalar kernel one nonce at a time (portable). Workers hash whole groups of
// its width and leave the rest of their range to the scalar kernel.
#pragma once

#include <cstdint>

#include "miner/lanes.h"

namespace qvn {

struct GroupKernel {
    std::uint32_t width;       // nonces per call
    const char* isa;           // instruction set, as the self-test names it
    const char* backend_name;  // as the "[cpu]" line and "selftest ok (...)" show it
};

// The kernel of the flavour this program is linked with.
GroupKernel linked_group_kernel();

// Hashes nonces n .. n + width - 1 (32-bit wrap-around) with the linked
// kernel: sha3_256t_fixed_x2, _x3, _x4 or _x8, or sha3_256t_fixed.
bool hash_group(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                std::uint32_t& nonce, HashWords& hash);

}  // namespace qvn
