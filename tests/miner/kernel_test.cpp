#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "hash/keccak.h"
#include "miner/lanes.h"
#include "miner/mining_oracle.h"
#include "miner/scalar_kernel.h"
#include "miner/x4_kernel.h"

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

TEST(FourWayPermutation, MatchesTheLoopedOneForEachElement) {
    std::mt19937_64 rng(4);
    for (Shape shape : {Shape::kHeaderBlock, Shape::kDigestBlock, Shape::kLanes0To10}) {
        for (int i = 0; i < 20; ++i) {
            std::array<State, 4> inputs;
            for (auto& s : inputs) s = random_state(shape, rng);
            __m256i vectors[25];
            for (int j = 0; j < 25; ++j)
                vectors[j] = _mm256_setr_epi64x(
                    static_cast<long long>(inputs[0][j]), static_cast<long long>(inputs[1][j]),
                    static_cast<long long>(inputs[2][j]), static_cast<long long>(inputs[3][j]));
            keccak_f1600_x4(vectors);
            for (int k = 0; k < 4; ++k) {
                const State expected = looped(inputs[k]);
                for (int j = 0; j < 25; ++j) {
                    alignas(32) std::uint64_t elements[4];
                    _mm256_store_si256(reinterpret_cast<__m256i*>(elements), vectors[j]);
                    ASSERT_EQ(elements[k], expected[j]) << "element " << k << " lane " << j;
                }
            }
        }
    }
}

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
TEST(Kernels, IgnoreTheHeaderNonceField) {
    std::mt19937_64 rng(7679);
    for (int i = 0; i < 10; ++i) {
        const Header header = test::random_header(rng);
        const Header cleared = test::with_nonce(header, 0);
        const auto nonce = static_cast<std::uint32_t>(rng());

        HashWords a;
        HashWords b;
        sha3_256t_fixed(header_lanes(header), nonce, a);
        sha3_256t_fixed(header_lanes(cleared), nonce, b);
        EXPECT_EQ(a, b);

        const TargetWords max = target_words(test::filled(0xff));
        std::uint32_t nonce_a = 0;
        std::uint32_t nonce_b = 0;
        ASSERT_TRUE(sha3_256t_fixed_x4(header_lanes(header), max, nonce, nonce_a, a));
        ASSERT_TRUE(sha3_256t_fixed_x4(header_lanes(cleared), max, nonce, nonce_b, b));
        EXPECT_EQ(a, b);
        EXPECT_EQ(hash_bytes(a), portable_hash(header, nonce));
    }
}

// What the four-way kernel must report for a target, worked out with the
// portable hash: the lowest of the four nonces that meets it.
struct Expected {
    bool found = false;
    std::uint32_t nonce = 0;
    Hash32 hash{};
};

Expected expected_group(const Header& header, std::uint32_t base, const Hash32& target) {
    for (std::uint32_t k = 0; k < 4; ++k) {
        const Hash32 h = portable_hash(header, base + k);
        if (test::meets(h, target)) return {true, base + k, h};
    }
    return {};
}

void expect_group(const Header& header, std::uint32_t base, const Hash32& target,
                  const std::string& label) {
    const Expected expected = expected_group(header, base, target);
    std::uint32_t nonce = 0xdeadbeef;
    HashWords hash = {1, 2, 3, 4};
    const bool found =
        sha3_256t_fixed_x4(header_lanes(header), target_words(target), base, nonce, hash);
    ASSERT_EQ(found, expected.found) << label;
    if (expected.found) {
        EXPECT_EQ(nonce, expected.nonce) << label;
        EXPECT_EQ(hash_bytes(hash), expected.hash) << label;
    } else {
        EXPECT_EQ(nonce, 0xdeadbeefu) << label;
        EXPECT_EQ(hash, (HashWords{1, 2, 3, 4})) << label;
    }
}

// Each of the four hashes used as the target, plus the extremes: every element
// is checked against the portable hash, including groups that wrap past 0xFFFFFFFF.
TEST(FourWayKernel, ReportsWhatThePortableHashPredicts) {
    std::mt19937_64 rng(44);
    std::vector<std::uint32_t> bases = {0, 1234567, 0xfffffffc, 0xfffffffd, 0xfffffffe, 0xffffffff};
    for (int i = 0; i < 4; ++i) bases.push_back(static_cast<std::uint32_t>(rng()));
    for (const Header& header : interesting_headers(rng)) {
        for (std::uint32_t base : bases) {
            std::vector<Hash32> targets = {test::filled(0xff), test::filled(0x00)};
            for (std::uint32_t k = 0; k < 4; ++k)
                targets.push_back(portable_hash(header, base + k));
            for (const Hash32& target : targets)
                expect_group(header, base, target, "base " + std::to_string(base));
        }
    }
}

// Finds a group whose hashes are ordered as wanted, by walking the bases from 0.
template <class Wanted>
std::uint32_t find_base(const Header& header, Wanted wanted) {
    for (std::uint32_t base = 0;; base += 4) {
        std::array<Hash32, 4> h;
        for (std::uint32_t k = 0; k < 4; ++k) h[k] = portable_hash(header, base + k);
        if (wanted(h)) return base;
    }
}

// Byte 31 is the most significant: compare as little-endian numbers.
bool less(const Hash32& a, const Hash32& b) { return test::meets(a, b) && a != b; }

TEST(FourWayKernel, TargetPlacement) {
    Header header{};
    header[0] = 0x01;
    const HeaderLanes lanes = header_lanes(header);

    // Only the third nonce meets a target equal to its own hash.
    const std::uint32_t third = find_base(header, [](const std::array<Hash32, 4>& h) {
        return less(h[2], h[0]) && less(h[2], h[1]) && less(h[2], h[3]);
    });
    // The second and fourth meet it, the first and third do not.
    const std::uint32_t second_and_fourth = find_base(header, [](const std::array<Hash32, 4>& h) {
        const Hash32& t = less(h[1], h[3]) ? h[3] : h[1];
        return less(t, h[0]) && less(t, h[2]);
    });

    struct Case {
        const char* name;
        std::uint32_t base;
        Hash32 target;
        bool found;
        std::uint32_t nonce;
    };
    const Hash32 h2 = portable_hash(header, third + 2);
    const Hash32 h1 = portable_hash(header, second_and_fourth + 1);
    const Hash32 h3 = portable_hash(header, second_and_fourth + 3);
    Hash32 below_h2 = h2;  // h2 - 1 as a little-endian number
    for (auto& byte : below_h2) {
        if (byte-- != 0) break;
    }
    const Case cases[] = {
        {"only the third", third, h2, true, third + 2},
        {"one below the third's hash", third, below_h2, false, 0},
        {"second and fourth: the lower wins", second_and_fourth, less(h1, h3) ? h3 : h1, true,
         second_and_fourth + 1},
        {"max target: the first", 1234567, test::filled(0xff), true, 1234567},
        {"zero target: none", 1234567, test::filled(0x00), false, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t nonce = 77;
        HashWords hash = {5, 6, 7, 8};
        const bool found = sha3_256t_fixed_x4(lanes, target_words(c.target), c.base, nonce, hash);
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

TEST(FourWayKernel, SelfTestVector) {
    Header header{};
    header[0] = 0x01;
    std::uint32_t nonce = 0;
    HashWords hash{};
    ASSERT_TRUE(sha3_256t_fixed_x4(header_lanes(header), target_words(test::filled(0xff)), 1234567,
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
