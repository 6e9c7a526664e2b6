// The eight-way AVX-512 kernel, compiled only into the avx512 flavour: the
// four-way kernel's contract (x4_kernel.h) on eight nonces at once, in 512-bit
// vectors; and that flavour's group kernel, two such groups and a scalar lane
// (scalar_lane.h), seventeen nonces at once.
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

// The same for nonces n .. n+16: n .. n+15 in two eight-way groups, n+16 in the
// integer units beside them.
bool sha3_256t_fixed_x17(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                         std::uint32_t& nonce, HashWords& hash);

// Variants under comparison: theta fused into three-input XORs (eight
// nonces); two eight-way groups with their rounds interleaved (sixteen); the
// seventeen-nonce kernel with its scalar buffers named at compile time; four
// groups and a scalar lane at a quarter of the rate (thirty-three).
bool sha3_256t_fixed_x8_fused(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                              std::uint32_t& nonce, HashWords& hash);
bool sha3_256t_fixed_x16(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                         std::uint32_t& nonce, HashWords& hash);
bool sha3_256t_fixed_x17_named(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                               std::uint32_t& nonce, HashWords& hash);
bool sha3_256t_fixed_x33(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                         std::uint32_t& nonce, HashWords& hash);

}  // namespace qvn
