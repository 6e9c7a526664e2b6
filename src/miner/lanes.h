// The fixed inputs of the mining kernels: the header and the target turned
// into 64-bit words once per chunk, and the kernels' hash output.
#pragma once

#include <array>
#include <cstdint>

#include "block/bytes.h"

namespace qvn {

// The 80-byte header as ten little-endian words (word i = bytes 8i..8i+7).
// The kernels read words 0..8 and the low half of word 9 (the bits field);
// the high half of word 9 is the nonce field, which they fill themselves.
struct HeaderLanes {
    std::array<std::uint64_t, 10> words{};
};

// The 32-byte target as four little-endian words, word 3 the most significant.
struct TargetWords {
    std::array<std::uint64_t, 4> words{};
};

// A SHA3-256t digest as lanes 0..3 of the final state; written out
// little-endian, word 0 first, they are the digest bytes in order.
using HashWords = std::array<std::uint64_t, 4>;

HeaderLanes header_lanes(const std::array<std::uint8_t, 80>& header);
TargetWords target_words(const Hash32& target);
Hash32 hash_bytes(const HashWords& hash);

// The word-wise form of hash_meets_target: word 3 first, the first unequal
// word decides, all equal meets the target.
inline bool meets_target(const HashWords& hash, const TargetWords& target) {
    for (int j = 3; j >= 0; --j) {
        if (hash[j] != target.words[j]) return hash[j] < target.words[j];
    }
    return true;
}

}  // namespace qvn
