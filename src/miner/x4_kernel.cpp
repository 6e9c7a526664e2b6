// Keep the XOR chains in the order they are written. GCC otherwise turns the
// column parities into trees, which needs more loads and registers in a
// permutation that already spills: 10-15% slower on Zen 4 (AMD EPYC, family
// 25 model 17) when the rounds were unrolled; in the loop over pairs of
// rounds it still saves 5 instructions per pair, a gain within the noise.
// Must come before every include so that all inlined helpers share the
// setting.
#pragma GCC optimize("no-tree-reassoc")

#include "miner/x4_kernel.h"

#include "miner/keccak_rounds.h"
#include "miner/vector_group.h"

namespace qvn {
namespace {

// Four lanes per vector. AVX2 has no 64-bit rotate: each is two shifts and an
// OR, except a rotation by whole bytes (8 and 56 in rho), which is one shuffle.
struct Avx2Ops {
    using Lane = __m256i;
    static constexpr std::uint32_t kWidth = 4;
    [[gnu::always_inline]] static Lane xor_(Lane a, Lane b) { return _mm256_xor_si256(a, b); }
    [[gnu::always_inline]] static Lane xor3(Lane a, Lane b, Lane c) { return xor_(xor_(a, b), c); }
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
    [[gnu::always_inline]] static Lane load(const std::uint64_t* words) {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(words));
    }
    [[gnu::always_inline]] static void store(std::uint64_t* words, Lane v) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(words), v);
    }
    // Element-wise unsigned a <= word: AVX2 compares only signed, so both
    // sides get their top bit flipped first.
    [[gnu::always_inline]] static bool any_at_most(Lane a, std::uint64_t word) {
        const Lane top = broadcast(0x8000000000000000);
        const Lane greater = _mm256_cmpgt_epi64(xor_(a, top), broadcast(word ^ 0x8000000000000000));
        return _mm256_movemask_pd(_mm256_castsi256_pd(greater)) != 0xf;
    }
};

}  // namespace

void keccak_f1600_x4(__m256i (&lanes)[25]) {
    keccak_rounds::Rounds<Avx2Ops>::compact_permute(lanes);
}

// The permutations are inlined into the hash, one copy each (11.7 KB in all):
// 5% faster on Zen 4 (AMD EPYC, family 25 model 17) than one called copy of
// the rounds (6.6 KB), though with 16 vector registers a third of the state
// lives in memory either way.
bool sha3_256t_fixed_x4(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                        std::uint32_t& nonce, HashWords& hash) {
    return vector_group::Group<Avx2Ops>::hash_group(lanes, target, n, nonce, hash);
}

}  // namespace qvn
