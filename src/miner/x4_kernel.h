// The four-way AVX2 kernel: SHA3-256t of one 80-byte header for four
// consecutive nonces at once, four Keccak states side by side in 256-bit
// vectors, with the target test of the four digests.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "miner/lanes.h"

namespace qvn {

// keccak_f1600_unrolled on four states: vector j holds lane j of state k in
// element k. Same entry condition: vectors 11..15 and 17..24 zero, vector 16
// 0x8000000000000000 in every element. Rounds 1..22 run as a loop over pairs
// of rounds, which keeps the kernel small enough for any instruction cache.
void keccak_f1600_x4(__m256i (&lanes)[25]);

// Hashes nonces n, n+1, n+2, n+3 (32-bit wrap-around). Returns true when one of
// them meets the target and then reports the lowest such nonce with its digest;
// without a hit nonce and hash are left as they were.
bool sha3_256t_fixed_x4(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                        std::uint32_t& nonce, HashWords& hash);

}  // namespace qvn
