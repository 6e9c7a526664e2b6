// The operations of the round description (keccak_rounds.h) on one Keccak
// state in 64-bit integers: the scalar kernel's.
#pragma once

#include <bit>
#include <cstdint>

namespace qvn {

// One 64-bit lane per value; with BMI the rotates are single instructions and
// ~b & c is one and-not.
struct ScalarOps {
    using Lane = std::uint64_t;
    [[gnu::always_inline]] static Lane xor_(Lane a, Lane b) { return a ^ b; }
    [[gnu::always_inline]] static Lane xor3(Lane a, Lane b, Lane c) { return a ^ b ^ c; }
    [[gnu::always_inline]] static Lane chi(Lane a, Lane b, Lane c) { return a ^ (~b & c); }
    template <int N>
    [[gnu::always_inline]] static Lane rotl(Lane a) {
        return std::rotl(a, N);
    }
    [[gnu::always_inline]] static Lane broadcast(std::uint64_t v) { return v; }
};

}  // namespace qvn
