// The three-way AArch64 kernel: the four-way kernel's contract (x4_kernel.h)
// on three nonces at once, two in a NEON vector and one in general registers,
// advanced in the same loop (the pair with the SHA3 extension's xar in the
// neon-sha3-scalar flavour). The vector and the integer units of an AArch64 core
// issue side by side: in llvm-mca's model of the Neoverse N1 the third lane
// costs the loop nothing (186 cycles a pass against 184 for the pair alone);
// in the Cortex-A72's, which issues 3 instructions a cycle, 43% more time for
// 50% more nonces.
#pragma once

#include <array>
#include <cstdint>

#include "miner/lanes.h"

namespace qvn {

// keccak_f1600_x4 on three states, lane j of state k in element k of lanes[j].
void keccak_f1600_x3(std::array<std::uint64_t, 3> (&lanes)[25]);

// sha3_256t_fixed_x4 for nonces n .. n+2: true on a hit, reporting the lowest
// nonce that meets the target and its digest; nonce and hash untouched otherwise.
bool sha3_256t_fixed_x3(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                        std::uint32_t& nonce, HashWords& hash);

}  // namespace qvn
