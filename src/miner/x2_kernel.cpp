#include "miner/x2_kernel.h"

#include <type_traits>

#include "miner/keccak_rounds.h"
#include "miner/kernel_choice.h"
#include "miner/vector_group.h"

namespace qvn {
namespace {

// Two lanes per vector. NEON has no vector rotate: each is a shift left and a
// shift right that inserts into it (shl, sri).
struct NeonOps {
    using Lane = uint64x2_t;
    static constexpr std::uint32_t kWidth = 2;
    [[gnu::always_inline]] static Lane xor_(Lane a, Lane b) { return veorq_u64(a, b); }
    [[gnu::always_inline]] static Lane xor3(Lane a, Lane b, Lane c) { return xor_(xor_(a, b), c); }
    [[gnu::always_inline]] static Lane chi(Lane a, Lane b, Lane c) {
        return veorq_u64(a, vbicq_u64(c, b));  // vbic(c, b) = c & ~b
    }
    template <int N>
    [[gnu::always_inline]] static Lane rotl(Lane a) {
        return vsriq_n_u64(vshlq_n_u64(a, N), a, 64 - N);
    }
    [[gnu::always_inline]] static Lane broadcast(std::uint64_t v) { return vdupq_n_u64(v); }
    [[gnu::always_inline]] static Lane load(const std::uint64_t* words) { return vld1q_u64(words); }
    [[gnu::always_inline]] static void store(std::uint64_t* words, Lane v) { vst1q_u64(words, v); }
    [[gnu::always_inline]] static bool any_at_most(Lane a, std::uint64_t word) {
        const Lane at_most = vcleq_u64(a, broadcast(word));
        return (vgetq_lane_u64(at_most, 0) | vgetq_lane_u64(at_most, 1)) != 0;
    }
};

// The SHA3 extension: a column parity in two eor3, chi in one bcax, and a
// rotation in one xar.
struct Sha3Ops : NeonOps {
    [[gnu::always_inline]] static Lane xor3(Lane a, Lane b, Lane c) { return veor3q_u64(a, b, c); }
    [[gnu::always_inline]] static Lane chi(Lane a, Lane b, Lane c) {
        return vbcaxq_u64(a, c, b);  // a ^ (c & ~b)
    }
    // xar rotates right after an XOR, here with zero: a plain rotate to GCC,
    // which then turns theta's XOR with a rotation by one into rax1 by
    // itself. Rho's XOR before the rotation stays an eor (GCC 12).
    template <int N>
    [[gnu::always_inline]] static Lane rotl(Lane a) {
        return vxarq_u64(a, vdupq_n_u64(0), 64 - N);
    }
};

// Sha3Ops is named only in the neon-sha3 build, whose source alone has the
// extension's instructions.
template <Kernel K>
using OpsFor = std::conditional_t<K == Kernel::kNeonSha3, Sha3Ops, NeonOps>;
using Ops = OpsFor<kKernel>;

}  // namespace

void keccak_f1600_x2(uint64x2_t (&lanes)[25]) {
    keccak_rounds::Rounds<Ops>::compact_permute(lanes);
}

bool sha3_256t_fixed_x2(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                        std::uint32_t& nonce, HashWords& hash) {
    return vector_group::Group<Ops>::hash_group(lanes, target, n, nonce, hash);
}

}  // namespace qvn
