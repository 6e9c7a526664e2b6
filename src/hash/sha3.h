// SHA3-256 (FIPS 202), the proof-of-work hash SHA3-256t (SHA3-256 applied three
// times) and the comparison of a hash with a target. These are the portable
// versions: every hit found by the fast kernels is checked again with them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvn {

// One-shot SHA3-256 of len bytes, any length including 0.
void sha3_256(std::uint8_t out[32], const std::uint8_t* data, std::size_t len);

// SHA3-256 of exactly 32 bytes: one block with the padding at fixed places.
void sha3_256_32(std::uint8_t out[32], const std::uint8_t in[32]);

// SHA3-256(SHA3-256(SHA3-256(data))).
void sha3_256t(std::uint8_t out[32], const std::uint8_t* data, std::size_t len);

// True when hash <= target, both read as 256-bit little-endian numbers
// (byte 31 most significant). A hash equal to the target meets it.
bool hash_meets_target(const std::uint8_t hash[32], const std::uint8_t target[32]);

}  // namespace qvn
