// SHA-256 (FIPS 180-4), one-shot, and Bitcoin's double SHA-256.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qvn {

// FIPS 180-4 initial hash value.
inline constexpr std::uint32_t kSha256Init[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// One 64-round compression of a 64-byte block into the state, in place.
void sha256_compress(std::uint32_t state[8], const std::uint8_t block[64]);

void sha256(std::uint8_t out[32], const std::uint8_t* data, std::size_t len);

// SHA-256 of the SHA-256 digest of the input.
void sha256d(std::uint8_t out[32], const std::uint8_t* data, std::size_t len);
void sha256d(std::uint8_t out[32], const std::vector<std::uint8_t>& bytes);

}  // namespace qvn
