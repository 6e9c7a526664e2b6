#include "miner/x8_kernel.h"

#include "miner/keccak_rounds.h"
#include "miner/vector_group.h"

namespace qvn {
namespace {

// Eight lanes per vector. AVX-512 rotates a 64-bit element in one instruction,
// and vpternlogq computes any three-input function in one: the column parities
// take two per column and chi's a ^ (~b & c) one per lane.
struct Avx512Ops {
    using Lane = __m512i;
    static constexpr std::uint32_t kWidth = 8;
    static constexpr __mmask8 kAllLanes = 0xff;
    // Truth tables for vpternlogq, from the operand bits a = 0xf0, b = 0xcc, c = 0xaa.
    static constexpr int kXor3 = 0xf0 ^ 0xcc ^ 0xaa;
    static constexpr int kChi = 0xf0 ^ (~0xcc & 0xaa & 0xff);

    [[gnu::always_inline]] static Lane xor_(Lane a, Lane b) { return _mm512_xor_si512(a, b); }
    [[gnu::always_inline]] static Lane xor3(Lane a, Lane b, Lane c) {
        return _mm512_ternarylogic_epi64(a, b, c, kXor3);
    }
    [[gnu::always_inline]] static Lane chi(Lane a, Lane b, Lane c) {
        return _mm512_ternarylogic_epi64(a, b, c, kChi);
    }
    template <int N>
    [[gnu::always_inline]] static Lane rotl(Lane a) {
        // The all-lanes mask form is the same vprolq; the plain intrinsic trips
        // GCC 12's uninitialized-variable warning inside its own header.
        return _mm512_maskz_rol_epi64(kAllLanes, a, N);
    }
    [[gnu::always_inline]] static Lane broadcast(std::uint64_t v) {
        return _mm512_set1_epi64(static_cast<long long>(v));
    }
    [[gnu::always_inline]] static Lane load(const std::uint64_t* words) {
        return _mm512_load_si512(words);
    }
    [[gnu::always_inline]] static void store(std::uint64_t* words, Lane v) {
        _mm512_store_si512(words, v);
    }
    [[gnu::always_inline]] static bool any_at_most(Lane a, std::uint64_t word) {
        return _mm512_cmple_epu64_mask(a, broadcast(word)) != 0;
    }
};

}  // namespace

// qvn_x8_digests(lanes, digests): SHA3-256t of eight headers whose first
// block's lanes 0..9 are lanes[0..9] (64-byte aligned), words 0..3 of the
// digests into digests[0..3]; the two may be one buffer.
extern "C" void qvn_x8_digests(const void* lanes, void* digests);
#include "x8_rounds.inc"

void keccak_f1600_x8(__m512i (&lanes)[25]) {
    keccak_rounds::Rounds<Avx512Ops>::compact_permute(lanes);
}

// The three permutations of a group run in the 32 registers alone, written
// out by scripts/x8-rounds: nothing is spilled and pi costs nothing. As the
// loop over pairs of rounds above, each round carried about 28 copies and
// stack accesses; now about 9 register copies, which Zen 4 (AMD EPYC, family
// 25 model 17) renames away. See doc/performance.md.
bool sha3_256t_fixed_x8(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                        std::uint32_t& nonce, HashWords& hash) {
    using Group = vector_group::Group<Avx512Ops>;
    // The first block's lanes 0..9 in; words 0..3 of the eight digests out,
    // words[j][k] word j of nonce n + k.
    alignas(64) std::uint64_t words[10][Avx512Ops::kWidth];
    for (int i = 0; i < 9; ++i) Avx512Ops::store(words[i], Avx512Ops::broadcast(lanes.words[i]));
    Avx512Ops::store(words[9], Group::nonce_lane(lanes.words[9], n));
    qvn_x8_digests(words, words);
    // Almost every group fails on word 3, the most significant, alone.
    if (!Avx512Ops::any_at_most(Avx512Ops::load(words[3]), target.words[3])) return false;
    return Group::lowest_hit(words, target, n, nonce, hash);
}

}  // namespace qvn
