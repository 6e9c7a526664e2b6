#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hash/digest_oracle.h"
#include "hash/sha256.h"

namespace qvn {
namespace {

using test::openssl_digest;
using test::to_hex;

std::string sha256_hex(const std::string& text) {
    std::uint8_t out[32];
    sha256(out, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return to_hex(out, 32);
}

TEST(Sha256, PublishedVectors) {
    struct Case {
        std::string message;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the padding no longer fits the last block.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) EXPECT_EQ(sha256_hex(c.message), c.digest) << c.message.size();
}

// Every length up to 300 crosses the 55/56 and 64-byte padding boundaries
// several times over.
TEST(Sha256, MatchesOpenSslForEveryLengthUpTo300) {
    std::mt19937_64 rng(256);
    for (std::size_t len = 0; len <= 300; ++len) {
        const auto data = test::random_bytes(rng, len);
        std::uint8_t single[32];
        std::uint8_t twice[32];
        sha256(single, data.data(), len);
        sha256d(twice, data.data(), len);

        const auto expected = openssl_digest(EVP_sha256(), data);
        EXPECT_EQ(to_hex(single, 32), to_hex(expected.data(), 32)) << "length " << len;
        const auto expected_twice = openssl_digest(EVP_sha256(), expected);
        EXPECT_EQ(to_hex(twice, 32), to_hex(expected_twice.data(), 32)) << "length " << len;
    }
}

TEST(Sha256, ByteStringFormHashesTheWholeContent) {
    const std::vector<std::vector<std::uint8_t>> inputs = {
        {}, {0x00}, std::vector<std::uint8_t>(64, 0xab), std::vector<std::uint8_t>(119, 0x5c)};
    for (const auto& bytes : inputs) {
        std::uint8_t out[32];
        sha256d(out, bytes);
        const auto expected = openssl_digest(EVP_sha256(), openssl_digest(EVP_sha256(), bytes));
        EXPECT_EQ(to_hex(out, 32), to_hex(expected.data(), 32)) << bytes.size();
    }
}

TEST(Sha256, CompressionOfOnePaddedBlock) {
    // "abc" padded by hand into one block, compressed once from the initial value.
    std::uint8_t block[64] = {'a', 'b', 'c', 0x80};
    block[63] = 24;  // length in bits
    std::uint32_t state[8];
    std::memcpy(state, kSha256Init, sizeof state);
    sha256_compress(state, block);
    const std::uint32_t expected[8] = {0xba7816bf, 0x8f01cfea, 0x414140de, 0x5dae2223,
                                       0xb00361a3, 0x96177a9c, 0xb410ff61, 0xf20015ad};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(state[i], expected[i]) << i;
}

}  // namespace
}  // namespace qvn
