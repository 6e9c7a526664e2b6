// Keep the XOR chains in the order they are written. GCC otherwise turns the
// column parities into trees, which needs more loads and registers in a
// permutation that already spills; measured 10-15% slower on Zen 4. Must come
// before every include so that all inlined helpers share the setting.
#pragma GCC optimize("no-tree-reassoc")

#include "miner/x4_kernel.h"

#include "miner/keccak_rounds.h"

namespace qvn {
namespace {

// Four lanes per vector. AVX2 has no 64-bit rotate: each is two shifts and an
// OR, except a rotation by whole bytes (8 and 56 in rho), which is one shuffle.
struct Avx2Ops {
    using Lane = __m256i;
    [[gnu::always_inline]] static Lane xor_(Lane a, Lane b) { return _mm256_xor_si256(a, b); }
    [[gnu::always_inline]] static Lane chi(Lane a, Lane b, Lane c) {
        return _mm256_xor_si256(a, _mm256_andnot_si256(b, c));
    }
    template <int N>
    [[gnu::always_inline]] static Lane rotl(Lane a) {
        if constexpr (N == 8 || N == 56) {
            return _mm256_shuffle_epi8(a, byte_rotation<N / 8>());
        } else {
            return _mm256_or_si256(_mm256_slli_epi64(a, N), _mm256_srli_epi64(a, 64 - N));
        }
    }
    // Rotating by whole bytes is one byte shuffle: output byte i of each
    // element takes input byte (i - B) mod 8.
    template <int B>
    [[gnu::always_inline]] static Lane byte_rotation() {
        auto index = [](int i) { return static_cast<char>((i - B + 8) % 8 + (i / 8) * 8); };
        return _mm256_setr_epi8(
            index(0), index(1), index(2), index(3), index(4), index(5), index(6), index(7),
            index(8), index(9), index(10), index(11), index(12), index(13), index(14), index(15),
            index(0), index(1), index(2), index(3), index(4), index(5), index(6), index(7),
            index(8), index(9), index(10), index(11), index(12), index(13), index(14), index(15));
    }
    [[gnu::always_inline]] static Lane broadcast(std::uint64_t v) {
        return _mm256_set1_epi64x(static_cast<long long>(v));
    }
};

using Rounds = keccak_rounds::Rounds<Avx2Ops>;

constexpr std::uint64_t kDomainLane = 0x06;  // SHA3 domain byte 0x06 right after the message

__m256i broadcast(std::uint64_t v) { return Avx2Ops::broadcast(v); }

// A 32-byte message: the previous digests in vectors 0..3, padding in 4 and 16.
void load_digest_block(__m256i (&s)[25]) {
    s[4] = broadcast(kDomainLane);
    for (int i = 5; i < 25; ++i) s[i] = _mm256_setzero_si256();
    s[16] = broadcast(keccak_rounds::kPaddingLane16);
}

// Element k: nonce n + k in the high half (header bytes 76..79), the bits
// field in the low half.
__m256i nonce_lane(std::uint64_t word9, std::uint32_t n) {
    const std::uint64_t bits = word9 & 0xffffffff;
    auto lane = [&](std::uint32_t k) {
        const std::uint32_t nonce = n + k;
        return static_cast<long long>((std::uint64_t{nonce} << 32) | bits);
    };
    return _mm256_set_epi64x(lane(3), lane(2), lane(1), lane(0));
}

}  // namespace

void keccak_f1600_x4(__m256i (&lanes)[25]) { Rounds::permute(lanes); }

bool sha3_256t_fixed_x4(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                        std::uint32_t& nonce, HashWords& hash) {
    __m256i s[25];
    for (int i = 0; i < 9; ++i) s[i] = broadcast(lanes.words[i]);
    s[9] = nonce_lane(lanes.words[9], n);
    s[10] = broadcast(kDomainLane);  // message offset 80
    for (int i = 11; i < 25; ++i) s[i] = _mm256_setzero_si256();
    s[16] = broadcast(keccak_rounds::kPaddingLane16);
    keccak_f1600_x4(s);

    load_digest_block(s);
    keccak_f1600_x4(s);

    load_digest_block(s);
    keccak_f1600_x4(s);

    alignas(32) std::uint64_t words[4][4];  // words[j][k]: word j of nonce n + k
    for (int j = 0; j < 4; ++j) _mm256_store_si256(reinterpret_cast<__m256i*>(words[j]), s[j]);
    for (std::uint32_t k = 0; k < 4; ++k) {
        const HashWords candidate = {words[0][k], words[1][k], words[2][k], words[3][k]};
        if (meets_target(candidate, target)) {
            nonce = n + k;
            hash = candidate;
            return true;
        }
    }
    return false;
}

}  // namespace qvn
