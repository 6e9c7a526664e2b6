#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hash/digest_oracle.h"
#include "hash/keccak.h"
#include "hash/sha3.h"

namespace qvn {
namespace {

using test::openssl_digest;
using test::to_hex;

std::string sha3_hex(const std::vector<std::uint8_t>& data) {
    std::uint8_t out[32];
    sha3_256(out, data.data(), data.size());
    return to_hex(out, 32);
}

std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

TEST(Sha3, PublishedVectors) {
    struct Case {
        std::vector<std::uint8_t> message;
        const char* digest;
    };
    const Case cases[] = {
        {{}, "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a"},
        {bytes_of("abc"), "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532"},
        // 200 bytes of 0xA3: one full block, then 64 bytes and the padding.
        {std::vector<std::uint8_t>(200, 0xa3),
         "79f38adec5c20307a98ef76e8324afbfd46cfd81b22e3973c65fa1bd9de31787"},
    };
    for (const Case& c : cases) EXPECT_EQ(sha3_hex(c.message), c.digest) << c.message.size();
}

TEST(Sha3, TripleHashOfAbc) {
    std::uint8_t out[32];
    sha3_256t(out, reinterpret_cast<const std::uint8_t*>("abc"), 3);
    EXPECT_EQ(to_hex(out, 32), "cd2416183a8fca0d97e778722f027b35b3ee820016435c6d1473cf6baf41dcd8");
}

TEST(Sha3, TripleHashOfTheSelfTestHeader) {
    std::uint8_t header[80] = {0x01};
    header[76] = 0x87;  // nonce 1234567, little-endian
    header[77] = 0xd6;
    header[78] = 0x12;
    std::uint8_t out[32];
    sha3_256t(out, header, sizeof header);
    EXPECT_EQ(to_hex(out, 32), "c1868b237e423b573dba5ec1092832af7fccbf8478b5d4c2c6583bd7f71c25a4");
}

// Lengths 0..300 cover a remainder of 135 (0x86 in one byte), 136 (a
// padding-only block) and 137, once and twice over.
TEST(Sha3, MatchesOpenSslForEveryLengthUpTo300) {
    std::mt19937_64 rng(3);
    for (std::size_t len = 0; len <= 300; ++len) {
        const auto data = test::random_bytes(rng, len);
        const auto expected = openssl_digest(EVP_sha3_256(), data);
        EXPECT_EQ(sha3_hex(data), to_hex(expected.data(), 32)) << "length " << len;

        std::uint8_t triple[32];
        sha3_256t(triple, data.data(), len);
        const auto expected_triple =
            openssl_digest(EVP_sha3_256(), openssl_digest(EVP_sha3_256(), expected));
        EXPECT_EQ(to_hex(triple, 32), to_hex(expected_triple.data(), 32)) << "length " << len;
    }
}

TEST(Sha3, ThirtyTwoByteFormEqualsTheGeneralOne) {
    std::mt19937_64 rng(32);
    std::vector<std::vector<std::uint8_t>> inputs = {std::vector<std::uint8_t>(32, 0x00),
                                                     std::vector<std::uint8_t>(32, 0xff)};
    for (int i = 0; i < 200; ++i) inputs.push_back(test::random_bytes(rng, 32));
    for (const auto& in : inputs) {
        std::uint8_t fixed[32];
        std::uint8_t general[32];
        sha3_256_32(fixed, in.data());
        sha3_256(general, in.data(), in.size());
        EXPECT_EQ(to_hex(fixed, 32), to_hex(general, 32));
    }
}

// The permutation of the all-zero state, from the Keccak team's intermediate values.
TEST(Keccak, PermutationOfTheZeroState) {
    std::uint64_t lanes[25] = {};
    keccak_f1600(lanes);
    const std::uint64_t expected[25] = {
        0xF1258F7940E1DDE7, 0x84D5CCF933C0478A, 0xD598261EA65AA9EE, 0xBD1547306F80494D,
        0x8B284E056253D057, 0xFF97A42D7F8E6FD4, 0x90FEE5A0A44647C4, 0x8C5BDA0CD6192E76,
        0xAD30A6F71B19059C, 0x30935AB7D08FFC64, 0xEB5AA93F2317D635, 0xA9A6E6260D712103,
        0x81A57C16DBCF555F, 0x43B831CD0347C826, 0x01F22F1A11A5569F, 0x05E5635A21D9AE61,
        0x64BEFEF28CC970F2, 0x613670957BC46611, 0xB87C5A554FD00ECB, 0x8C3EE88A1CCF32C8,
        0x940C7922AE3A2614, 0x1841F924A2C509E4, 0x16F53526E70465C2, 0x75F644E97F30A13B,
        0xEAF1FF7B5CECA249};
    for (int i = 0; i < 25; ++i) EXPECT_EQ(lanes[i], expected[i]) << "lane " << i;
}

TEST(Keccak, PiTableMatchesItsFormula) {
    for (int lane = 0; lane < 25; ++lane) {
        const int x = lane % 5;
        const int y = lane / 5;
        EXPECT_EQ(kKeccakPiTargets[lane], y + 5 * ((2 * x + 3 * y) % 5)) << lane;
    }
}

// Hash and target as 256-bit little-endian numbers: byte 31 decides first.
TEST(HashMeetsTarget, ComparesAsLittleEndianNumbers) {
    struct Case {
        const char* name;
        std::array<std::uint8_t, 32> hash;
        std::array<std::uint8_t, 32> target;
        bool meets;
    };
    auto filled = [](std::uint8_t v) {
        std::array<std::uint8_t, 32> a;
        a.fill(v);
        return a;
    };
    auto with = [](std::array<std::uint8_t, 32> a, int index, std::uint8_t v) {
        a[index] = v;
        return a;
    };
    const auto zero = filled(0x00);
    const auto ones = filled(0xff);
    const Case cases[] = {
        {"max target, max hash", ones, ones, true},
        {"max target, zero hash", zero, ones, true},
        {"zero target, zero hash", zero, zero, true},
        {"zero target, hash one", with(zero, 0, 1), zero, false},
        {"zero target, top bit", with(zero, 31, 0x80), zero, false},
        {"equal", filled(0x5a), filled(0x5a), true},
        {"larger only in byte 31", with(filled(0x00), 31, 0x11), with(ones, 31, 0x10), false},
        {"smaller only in byte 31", with(ones, 31, 0x10), with(filled(0x00), 31, 0x11), true},
        {"byte 0 decides when the rest is equal", with(filled(0x33), 0, 0x34), filled(0x33), false},
        {"byte 0 smaller", with(filled(0x33), 0, 0x32), filled(0x33), true},
        {"byte 30 outranks bytes 0..29", with(zero, 30, 1), with(with(ones, 31, 0), 30, 0), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(hash_meets_target(c.hash.data(), c.target.data()), c.meets) << c.name;
}

TEST(HashMeetsTarget, AgreesWithBigEndianByteComparison) {
    std::mt19937_64 rng(7);
    for (int i = 0; i < 2000; ++i) {
        auto hash = test::random_bytes(rng, 32);
        auto target = test::random_bytes(rng, 32);
        // Share a random-length top so that lower bytes get to decide too.
        const std::size_t shared = rng() % 33;
        std::copy(target.end() - shared, target.end(), hash.end() - shared);
        std::vector<std::uint8_t> hash_be(hash.rbegin(), hash.rend());
        std::vector<std::uint8_t> target_be(target.rbegin(), target.rend());
        EXPECT_EQ(hash_meets_target(hash.data(), target.data()), hash_be <= target_be);
    }
}

}  // namespace
}  // namespace qvn
