// The eight-way AVX-512 kernel, the avx512 flavour's group kernel and
// compiled only into it: the four-way kernel's contract (x4_kernel.h) on eight
// nonces at once, in 512-bit vectors.
//
// Nothing runs beside it in the integer units. A scalar lane there (two
// groups and one scalar nonce, seventeen a call) hashed 1.07 times as fast on
// Zen 5 (AMD EPYC, family 26 model 2) but 0.84 times on a Xeon of the Granite
// Rapids class (family 6 model 167), where a share of every kind of integer
// instruction issues on the two ports that run the 512-bit ones; at a quarter
// of the rate it still lost (0.90). See doc/performance.md.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "miner/lanes.h"

namespace qvn {

// keccak_f1600_x4 on eight states, lane j of state k in element k of vector j.
void keccak_f1600_x8(__m512i (&lanes)[25]);

// sha3_256t_fixed_x4 for nonces n .. n+7: true on a hit, reporting the lowest
// nonce that meets the target and its digest; nonce and hash untouched otherwise.
bool sha3_256t_fixed_x8(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                        std::uint32_t& nonce, HashWords& hash);

}  // namespace qvn
