#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "hash/keccak.h"
#include "miner/kernel_choice.h"
#include "miner/lanes.h"
#include "miner/mining_oracle.h"
#include "miner/scalar_kernel.h"
#if defined(__x86_64__)
#include "miner/x4_kernel.h"
#include "miner/x8_kernel.h"
#elif defined(__aarch64__)
#include "miner/x2_kernel.h"
#include "miner/x3_kernel.h"
#endif

namespace qvn {
namespace {

using test::Header;
using test::portable_hash;

constexpr std::uint64_t kPadding = 0x8000000000000000;

using State = std::array<std::uint64_t, 25>;

// The states the kernels build: the header block (lanes 0..9 message, lane 10
// the domain byte), a 32-byte digest block, and any content in lanes 0..10.
enum class Shape { kHeaderBlock, kDigestBlock, kLanes0To10 };

State random_state(Shape shape, std::mt19937_64& rng) {
    State s{};
    const int filled = shape == Shape::kDigestBlock ? 4 : shape == Shape::kHeaderBlock ? 10 : 11;
    for (int i = 0; i < filled; ++i) s[i] = rng();
    if (shape == Shape::kHeaderBlock) s[10] = 0x06;
    if (shape == Shape::kDigestBlock) s[4] = 0x06;
    s[16] = kPadding;
    return s;
}

State looped(State s) {
    keccak_f1600(s.data());
    return s;
}

TEST(UnrolledPermutation, MatchesTheLoopedOneOnKernelStates) {
    std::mt19937_64 rng(1600);
    for (Shape shape : {Shape::kHeaderBlock, Shape::kDigestBlock, Shape::kLanes0To10}) {
        for (int i = 0; i < 50; ++i) {
            const State input = random_state(shape, rng);
            std::uint64_t lanes[25];
            std::copy(input.begin(), input.end(), lanes);
            keccak_f1600_unrolled(lanes);
            const State expected = looped(input);
            for (int j = 0; j < 25; ++j)
                ASSERT_EQ(lanes[j], expected[j])
                    << "shape " << static_cast<int>(shape) << " lane " << j;
        }
    }
}

// The group kernels under test: the four-way kernel in every x86 flavour, the
// eight-way one in the AVX-512 flavour, the two-way or three-way one in the ARM
// flavours, and the scalar kernel in the portable flavour. Bodies that touch
// another flavour's kernels sit in templates behind kKernel, so that flavour
// never compiles them.
template <std::uint32_t Width, class V, auto Hash, auto Permute>
struct GroupKernelOf {
    static constexpr std::uint32_t kWidth = Width;
    using Vector = V;
    static bool hash(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                     std::uint32_t& nonce, HashWords& hash) {
        return Hash(lanes, target, n, nonce, hash);
    }
    static void permute(V (&v)[25]) { Permute(v); }
};

using OneWay = GroupKernelOf<1, std::uint64_t, hash_group, keccak_f1600_unrolled>;

#if defined(__x86_64__)
// Spelled out: a vector type as a template argument loses its alignment.
struct FourWay {
    static constexpr std::uint32_t kWidth = 4;
    using Vector = __m256i;
    static bool hash(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                     std::uint32_t& nonce, HashWords& hash) {
        return sha3_256t_fixed_x4(lanes, target, n, nonce, hash);
    }
    static void permute(Vector (&v)[25]) { keccak_f1600_x4(v); }
};

struct EightWay {
    static constexpr std::uint32_t kWidth = 8;
    static bool hash(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                     std::uint32_t& nonce, HashWords& hash) {
        if constexpr (kEightWayKernel) return sha3_256t_fixed_x8(lanes, target, n, nonce, hash);
        return false;
    }
    template <class Vector>
    static void permute(Vector (&v)[25]) {
        if constexpr (kEightWayKernel) keccak_f1600_x8(v);
    }
    using Vector = __m512i;
};

using VectorKernels =
    std::conditional_t<kKernel == Kernel::kPortable, ::testing::Types<OneWay>,
                       std::conditional_t<kEightWayKernel, ::testing::Types<FourWay, EightWay>,
                                          ::testing::Types<FourWay>>>;
using PermutedKernels = VectorKernels;
#elif defined(__aarch64__)
using TwoWay = GroupKernelOf<2, uint64x2_t, sha3_256t_fixed_x2, keccak_f1600_x2>;
using ThreeWay =
    GroupKernelOf<3, std::array<std::uint64_t, 3>, sha3_256t_fixed_x3, keccak_f1600_x3>;

using VectorKernels = std::conditional_t<
    kTwoWayKernel, ::testing::Types<TwoWay>,
    std::conditional_t<kThreeWayKernel, ::testing::Types<ThreeWay>, ::testing::Types<OneWay>>>;
using PermutedKernels = VectorKernels;
#else
using VectorKernels = ::testing::Types<OneWay>;
using PermutedKernels = VectorKernels;
#endif

struct KernelName {
    template <class Kernel>
    static std::string GetName(int) {
        constexpr const char* names[] = {"", "OneWay", "TwoWay", "ThreeWay", "FourWay"};
        return Kernel::kWidth < 5 ? names[Kernel::kWidth] : "EightWay";
    }
};

// Each element of the vectors against the looped permutation, for the kernels
// with a permutation of their own.
template <class Kernel>
void permutation_test() {
    constexpr std::uint32_t width = Kernel::kWidth;
    std::mt19937_64 rng(width);
    for (Shape shape : {Shape::kHeaderBlock, Shape::kDigestBlock, Shape::kLanes0To10}) {
        for (int i = 0; i < 20; ++i) {
            std::array<State, width> inputs;
            for (auto& s : inputs) s = random_state(shape, rng);
            // elements[j][k]: lane j of state k, the layout of the vectors.
            alignas(64) std::uint64_t elements[25][width];
            for (int j = 0; j < 25; ++j)
                for (std::uint32_t k = 0; k < width; ++k) elements[j][k] = inputs[k][j];
            typename Kernel::Vector vectors[25];
            std::memcpy(vectors, elements, sizeof vectors);
            Kernel::permute(vectors);
            std::memcpy(elements, vectors, sizeof elements);
            for (std::uint32_t k = 0; k < width; ++k) {
                const State expected = looped(inputs[k]);
                for (int j = 0; j < 25; ++j)
                    ASSERT_EQ(elements[j][k], expected[j]) << "element " << k << " lane " << j;
            }
        }
    }
}

template <class Kernel>
class VectorKernel : public ::testing::Test {};
TYPED_TEST_SUITE(VectorKernel, VectorKernels, KernelName);

template <class Kernel>
class KernelPermutation : public ::testing::Test {};
TYPED_TEST_SUITE(KernelPermutation, PermutedKernels, KernelName);

TYPED_TEST(KernelPermutation, MatchesTheLoopedOneForEachElement) { permutation_test<TypeParam>(); }

std::vector<std::uint32_t> interesting_nonces(std::mt19937_64& rng) {
    std::vector<std::uint32_t> nonces = {0,          1,          255,        256,       1234567,
                                         0x7fffffff, 0x80000000, 0xfffffffe, 0xffffffff};
    for (int i = 0; i < 8; ++i) nonces.push_back(static_cast<std::uint32_t>(rng()));
    return nonces;
}

std::vector<Header> interesting_headers(std::mt19937_64& rng) {
    Header zeros{};
    Header ones;
    ones.fill(0xff);
    Header selftest{};
    selftest[0] = 0x01;
    std::vector<Header> headers = {zeros, ones, selftest};
    for (int i = 0; i < 6; ++i) headers.push_back(test::random_header(rng));
    return headers;
}

TEST(ScalarKernel, MatchesThePortableHash) {
    std::mt19937_64 rng(43);
    const auto nonces = interesting_nonces(rng);
    for (const Header& header : interesting_headers(rng)) {
        const HeaderLanes lanes = header_lanes(header);
        for (std::uint32_t nonce : nonces) {
            HashWords out;
            sha3_256t_fixed(lanes, nonce, out);
            ASSERT_EQ(hash_bytes(out), portable_hash(header, nonce)) << "nonce " << nonce;
        }
    }
}

TEST(ScalarKernel, SelfTestVector) {
    Header header{};
    header[0] = 0x01;
    HashWords out;
    sha3_256t_fixed(header_lanes(header), 1234567, out);
    const Hash32 bytes = hash_bytes(out);
    EXPECT_EQ(test::digest_hex(bytes),
              "c1868b237e423b573dba5ec1092832af7fccbf8478b5d4c2c6583bd7f71c25a4");
}

// Whatever the caller leaves in the nonce field, the kernels put their own nonce there.
TEST(ScalarKernel, IgnoresTheHeaderNonceField) {
    std::mt19937_64 rng(7679);
    for (int i = 0; i < 10; ++i) {
        const Header header = test::random_header(rng);
        const auto nonce = static_cast<std::uint32_t>(rng());
        HashWords a;
        HashWords b;
        sha3_256t_fixed(header_lanes(header), nonce, a);
        sha3_256t_fixed(header_lanes(test::with_nonce(header, 0)), nonce, b);
        EXPECT_EQ(a, b);
    }
}

TYPED_TEST(VectorKernel, IgnoresTheHeaderNonceField) {
    std::mt19937_64 rng(7679);
    for (int i = 0; i < 10; ++i) {
        const Header header = test::random_header(rng);
        const Header cleared = test::with_nonce(header, 0);
        const auto nonce = static_cast<std::uint32_t>(rng());
        const TargetWords max = target_words(test::filled(0xff));
        std::uint32_t nonce_a = 0;
        std::uint32_t nonce_b = 0;
        HashWords a;
        HashWords b;
        ASSERT_TRUE(TypeParam::hash(header_lanes(header), max, nonce, nonce_a, a));
        ASSERT_TRUE(TypeParam::hash(header_lanes(cleared), max, nonce, nonce_b, b));
        EXPECT_EQ(a, b);
        EXPECT_EQ(hash_bytes(a), portable_hash(header, nonce));
    }
}

// What a vector kernel must report for a target, worked out with the portable
// hash: the lowest of its nonces that meets it.
struct Expected {
    bool found = false;
    std::uint32_t nonce = 0;
    Hash32 hash{};
};

template <class Kernel>
void expect_group(const Header& header, std::uint32_t base, const Hash32& target,
                  const std::string& label) {
    Expected expected;
    for (std::uint32_t k = 0; k < Kernel::kWidth && !expected.found; ++k) {
        const Hash32 h = portable_hash(header, base + k);
        if (test::meets(h, target)) expected = {true, base + k, h};
    }
    std::uint32_t nonce = 0xdeadbeef;
    HashWords hash = {1, 2, 3, 4};
    const bool found = Kernel::hash(header_lanes(header), target_words(target), base, nonce, hash);
    ASSERT_EQ(found, expected.found) << label;
    if (expected.found) {
        EXPECT_EQ(nonce, expected.nonce) << label;
        EXPECT_EQ(hash_bytes(hash), expected.hash) << label;
    } else {
        EXPECT_EQ(nonce, 0xdeadbeefu) << label;
        EXPECT_EQ(hash, (HashWords{1, 2, 3, 4})) << label;
    }
}

// Each of the group's hashes used as the target, plus the extremes: every
// element is checked against the portable hash, including groups that wrap
// past 0xFFFFFFFF.
TYPED_TEST(VectorKernel, ReportsWhatThePortableHashPredicts) {
    constexpr std::uint32_t width = TypeParam::kWidth;
    std::mt19937_64 rng(44);
    std::vector<std::uint32_t> bases = {0, 1234567};
    for (std::uint32_t back = width; back > 0; --back) bases.push_back(0u - back);
    for (int i = 0; i < 4; ++i) bases.push_back(static_cast<std::uint32_t>(rng()));
    for (const Header& header : interesting_headers(rng)) {
        for (std::uint32_t base : bases) {
            std::vector<Hash32> targets = {test::filled(0xff), test::filled(0x00)};
            for (std::uint32_t k = 0; k < width; ++k)
                targets.push_back(portable_hash(header, base + k));
            for (const Hash32& target : targets)
                expect_group<TypeParam>(header, base, target, "base " + std::to_string(base));
        }
    }
}

// Byte 31 is the most significant: compare as little-endian numbers.
bool less(const Hash32& a, const Hash32& b) { return test::meets(a, b) && a != b; }

// The first group, walking the bases from 0, in which exactly the given
// positions meet the highest of their own hashes; returns base and that target.
std::pair<std::uint32_t, Hash32> find_group(const Header& header, std::uint32_t width,
                                            const std::vector<std::uint32_t>& positions) {
    for (std::uint32_t base = 0;; base += width) {
        std::vector<Hash32> h;
        for (std::uint32_t k = 0; k < width; ++k) h.push_back(portable_hash(header, base + k));
        Hash32 target = h[positions.front()];
        for (std::uint32_t p : positions)
            if (less(target, h[p])) target = h[p];
        std::uint32_t meeting = 0;
        for (const Hash32& each : h) meeting += test::meets(each, target) ? 1 : 0;
        if (meeting == positions.size()) return {base, target};
    }
}

TYPED_TEST(VectorKernel, TargetPlacement) {
    constexpr std::uint32_t width = TypeParam::kWidth;
    Header header{};
    header[0] = 0x01;
    const HeaderLanes lanes = header_lanes(header);

    // A hit late in the group (the sixth of eight, the third of four, the
    // second of two), and two hits of which the lower must be reported (one
    // hit in a group of one).
    const std::uint32_t late = width - 1 - width / 4;
    const auto [late_base, late_target] = find_group(header, width, {late});
    std::vector<std::uint32_t> pair = {width - 1};
    if (width > 1) pair.insert(pair.begin(), (width - 1) / 2);
    const auto [pair_base, pair_target] = find_group(header, width, pair);
    // Only the last nonce of the group.
    const auto [last_base, last_target] = find_group(header, width, {width - 1});
    Hash32 below_late = late_target;  // the late hash - 1 as a little-endian number
    for (auto& byte : below_late) {
        if (byte-- != 0) break;
    }
    // The late hash's word 3 (bytes 24..31) with the lower words all 0x00 or
    // all 0xff: the kernels test word 3 first, and here only the lower words
    // can decide.
    Hash32 late_word3_low = late_target;
    Hash32 late_word3_high = late_target;
    std::fill(late_word3_low.begin(), late_word3_low.begin() + 24, 0x00);
    std::fill(late_word3_high.begin(), late_word3_high.begin() + 24, 0xff);

    struct Case {
        std::string name;
        std::uint32_t base;
        Hash32 target;
        bool found;
        std::uint32_t nonce;
    };
    const Case cases[] = {
        {"only position " + std::to_string(late), late_base, late_target, true, late_base + late},
        {"one below that hash", late_base, below_late, false, 0},
        {"its word 3, lower words zero", late_base, late_word3_low, false, 0},
        {"its word 3, lower words 0xff", late_base, late_word3_high, true, late_base + late},
        {"a middle one and the last: the lower wins", pair_base, pair_target, true,
         pair_base + pair.front()},
        {"only the last", last_base, last_target, true, last_base + width - 1},
        {"max target: the first", 1234567, test::filled(0xff), true, 1234567},
        {"zero target: none", 1234567, test::filled(0x00), false, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t nonce = 77;
        HashWords hash = {5, 6, 7, 8};
        const bool found = TypeParam::hash(lanes, target_words(c.target), c.base, nonce, hash);
        ASSERT_EQ(found, c.found) << c.name;
        if (c.found) {
            EXPECT_EQ(nonce, c.nonce) << c.name;
            EXPECT_EQ(hash_bytes(hash), portable_hash(header, c.nonce)) << c.name;
        } else {
            EXPECT_EQ(nonce, 77u) << c.name;
            EXPECT_EQ(hash, (HashWords{5, 6, 7, 8})) << c.name;
        }
    }
}

TYPED_TEST(VectorKernel, SelfTestVector) {
    Header header{};
    header[0] = 0x01;
    std::uint32_t nonce = 0;
    HashWords hash{};
    ASSERT_TRUE(TypeParam::hash(header_lanes(header), target_words(test::filled(0xff)), 1234567,
                                nonce, hash));
    EXPECT_EQ(nonce, 1234567u);
    EXPECT_EQ(test::digest_hex(hash_bytes(hash)),
              "c1868b237e423b573dba5ec1092832af7fccbf8478b5d4c2c6583bd7f71c25a4");
}

TEST(Lanes, WordsAreLittleEndian) {
    Header header{};
    for (int i = 0; i < 80; ++i) header[i] = static_cast<std::uint8_t>(i);
    const HeaderLanes lanes = header_lanes(header);
    EXPECT_EQ(lanes.words[0], 0x0706050403020100u);
    EXPECT_EQ(lanes.words[9], 0x4f4e4d4c4b4a4948u);

    Hash32 target{};
    target[31] = 0x80;
    target[0] = 0x01;
    const TargetWords words = target_words(target);
    EXPECT_EQ(words.words[0], 1u);
    EXPECT_EQ(words.words[3], 0x8000000000000000u);
    EXPECT_EQ(hash_bytes(words.words), target);
}

TEST(Lanes, WordComparisonAgreesWithTheByteComparison) {
    std::mt19937_64 rng(5);
    for (int i = 0; i < 2000; ++i) {
        Hash32 hash;
        Hash32 target;
        for (auto& b : hash) b = static_cast<std::uint8_t>(rng());
        for (auto& b : target) b = static_cast<std::uint8_t>(rng());
        const std::size_t shared = rng() % 33;  // equal top bytes, so lower words decide too
        std::copy(target.end() - shared, target.end(), hash.end() - shared);
        EXPECT_EQ(meets_target(target_words(hash).words, target_words(target)),
                  test::meets(hash, target));
    }
}

}  // namespace
}  // namespace qvn
