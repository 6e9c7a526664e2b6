// Keccak-f[1600] (FIPS 202): the permutation under SHA3-256, with the tables
// that describe a round. The fast mining kernels unroll the same tables.
#pragma once

#include <cstdint>

namespace qvn {

// Iota: the constant XORed into lane 0 at the end of round r.
inline constexpr std::uint64_t kKeccakRoundConstants[24] = {
    0x0000000000000001, 0x0000000000008082, 0x800000000000808a, 0x8000000080008000,
    0x000000000000808b, 0x0000000080000001, 0x8000000080008081, 0x8000000000008009,
    0x000000000000008a, 0x0000000000000088, 0x0000000080008009, 0x000000008000000a,
    0x000000008000808b, 0x800000000000008b, 0x8000000000008089, 0x8000000000008003,
    0x8000000000008002, 0x8000000000000080, 0x000000000000800a, 0x800000008000000a,
    0x8000000080008081, 0x8000000000008080, 0x0000000080000001, 0x8000000080008008};

// Rho: left-rotation of lane x + 5y.
inline constexpr int kKeccakRotations[25] = {0,  1,  62, 28, 27, 36, 44, 6,  55, 20, 3,  10, 43,
                                             25, 39, 41, 45, 15, 21, 8,  18, 2,  61, 56, 14};

// Pi: lane x + 5y moves to lane y + 5((2x + 3y) mod 5).
inline constexpr int kKeccakPiTargets[25] = {0,  10, 20, 5, 15, 16, 1,  11, 21, 6, 7,  17, 2,
                                             12, 22, 23, 8, 18, 3,  13, 14, 24, 9, 19, 4};

// The 24-round permutation on 25 little-endian lanes, lane index x + 5y, in place.
void keccak_f1600(std::uint64_t lanes[25]);

}  // namespace qvn
