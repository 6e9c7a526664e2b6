// The portable SHA3-256t as the reference for the kernels and the chunk miner.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>

#include "block/bytes.h"
#include "hash/sha3.h"
#include "miner/lanes.h"

namespace qvn::test {

using Header = std::array<std::uint8_t, 80>;

inline Header random_header(std::mt19937_64& rng) {
    Header header;
    for (auto& b : header) b = static_cast<std::uint8_t>(rng());
    return header;
}

inline Header with_nonce(Header header, std::uint32_t nonce) {
    for (int i = 0; i < 4; ++i) header[76 + i] = static_cast<std::uint8_t>(nonce >> (8 * i));
    return header;
}

// sha3_256t of the header with the nonce written little-endian into bytes 76..79.
inline Hash32 portable_hash(const Header& header, std::uint32_t nonce) {
    const Header full = with_nonce(header, nonce);
    Hash32 out;
    sha3_256t(out.data(), full.data(), full.size());
    return out;
}

inline bool meets(const Hash32& hash, const Hash32& target) {
    return hash_meets_target(hash.data(), target.data());
}

inline Hash32 filled(std::uint8_t value) {
    Hash32 h;
    h.fill(value);
    return h;
}

inline std::string digest_hex(const Hash32& hash) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : hash) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

}  // namespace qvn::test
