// The two-way AArch64 kernel: the four-way kernel's contract (x4_kernel.h) on
// two nonces at once, in 128-bit NEON vectors. Built for neon and, with the
// ARMv8.2 SHA3 extension's xar for rho, for neon-sha3.
#pragma once

#include <arm_neon.h>

#include <cstdint>

#include "miner/lanes.h"

namespace qvn {

// keccak_f1600_x4 on two states, lane j of state k in element k of vector j.
void keccak_f1600_x2(uint64x2_t (&lanes)[25]);

// sha3_256t_fixed_x4 for nonces n and n+1: true on a hit, reporting the lower
// nonce that meets the target and its digest; nonce and hash untouched otherwise.
bool sha3_256t_fixed_x2(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                        std::uint32_t& nonce, HashWords& hash);

}  // namespace qvn
