#include "hash/sha3.h"

#include <cstring>

#include "hash/keccak.h"

namespace qvn {
namespace {

constexpr std::size_t kRate = 136;  // bytes absorbed per permutation
constexpr std::uint8_t kDomainByte = 0x06;
constexpr std::uint64_t kLastRateBit = 0x8000000000000000;  // 0x80 at state byte 135

// State byte i is byte i % 8 of lane i / 8, least significant first.
void xor_byte(std::uint64_t lanes[25], std::size_t index, std::uint8_t value) {
    lanes[index / 8] ^= std::uint64_t{value} << (8 * (index % 8));
}

std::uint64_t load_le64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void store_le64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void squeeze_256(std::uint8_t out[32], const std::uint64_t lanes[25]) {
    for (int i = 0; i < 4; ++i) store_le64(out + 8 * i, lanes[i]);
}

}  // namespace

void sha3_256(std::uint8_t out[32], const std::uint8_t* data, std::size_t len) {
    std::uint64_t lanes[25] = {};
    while (len >= kRate) {
        for (std::size_t i = 0; i < kRate / 8; ++i) lanes[i] ^= load_le64(data + 8 * i);
        keccak_f1600(lanes);
        data += kRate;
        len -= kRate;
    }
    // A length that is a multiple of the rate (0 included) ends with a block
    // holding only the padding.
    for (std::size_t i = 0; i < len; ++i) xor_byte(lanes, i, data[i]);
    xor_byte(lanes, len, kDomainByte);
    lanes[kRate / 8 - 1] ^= kLastRateBit;
    keccak_f1600(lanes);
    squeeze_256(out, lanes);
}

void sha3_256_32(std::uint8_t out[32], const std::uint8_t in[32]) {
    std::uint64_t lanes[25] = {};
    for (int i = 0; i < 4; ++i) lanes[i] = load_le64(in + 8 * i);
    lanes[4] = kDomainByte;
    lanes[16] = kLastRateBit;
    keccak_f1600(lanes);
    squeeze_256(out, lanes);
}

void sha3_256t(std::uint8_t out[32], const std::uint8_t* data, std::size_t len) {
    std::uint8_t first[32];
    std::uint8_t second[32];
    sha3_256(first, data, len);
    sha3_256_32(second, first);
    sha3_256_32(out, second);
}

bool hash_meets_target(const std::uint8_t hash[32], const std::uint8_t target[32]) {
    for (int i = 31; i >= 0; --i) {
        if (hash[i] != target[i]) return hash[i] < target[i];
    }
    return true;
}

}  // namespace qvn
