// The eight-way AVX-512 kernel: SHA3-256t of one 80-byte header for eight
// consecutive nonces at once, eight Keccak states side by side in 512-bit
// vectors, with the target test of the eight digests. Built only when the
// program is built for AVX-512F and AVX-512VL.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "miner/lanes.h"

namespace qvn {

// keccak_f1600_unrolled on eight states: vector j holds lane j of state k in
// element k. Same entry condition: vectors 11..15 and 17..24 zero, vector 16
// 0x8000000000000000 in every element.
void keccak_f1600_x8(__m512i (&lanes)[25]);

// Hashes nonces n .. n+7 (32-bit wrap-around). Returns true when one of them
// meets the target and then reports the lowest such nonce with its digest;
// without a hit nonce and hash are left as they were.
bool sha3_256t_fixed_x8(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                        std::uint32_t& nonce, HashWords& hash);

}  // namespace qvn
