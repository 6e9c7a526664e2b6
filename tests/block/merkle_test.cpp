#include "block/merkle.h"

#include <gtest/gtest.h>

#include <vector>

#include "block/text.h"
#include "block_fixtures.h"

namespace qvn {
namespace {

using block_test::hash_of_byte;
using block_test::ref_merkle_root;
using block_test::ref_pair;

std::vector<Hash32> distinct_leaves(std::size_t n) {
    std::vector<Hash32> leaves;
    for (std::size_t i = 0; i < n; ++i) {
        Hash32 leaf = hash_of_byte(static_cast<std::uint8_t>(i + 1));
        leaf[31] = static_cast<std::uint8_t>(i >> 8);
        leaves.push_back(leaf);
    }
    return leaves;
}

TEST(MerkleRoot, SmallShapesSpelledOut) {
    const Hash32 a = hash_of_byte(0xA1), b = hash_of_byte(0xB2), c = hash_of_byte(0xC3);
    const Hash32 d = hash_of_byte(0xD4), e = hash_of_byte(0xE5);

    EXPECT_EQ(merkle_root({}), Hash32{});
    EXPECT_EQ(merkle_root({a}), a);
    EXPECT_EQ(merkle_root({a, b}), ref_pair(a, b));
    EXPECT_NE(merkle_root({b, a}), merkle_root({a, b}));
    EXPECT_EQ(merkle_root({a, b, c}), ref_pair(ref_pair(a, b), ref_pair(c, c)));
    // Five leaves: levels of 5 (6 after duplication), 3 (4), 2 and 1.
    const Hash32 ab = ref_pair(a, b), cd = ref_pair(c, d), ee = ref_pair(e, e);
    EXPECT_EQ(merkle_root({a, b, c, d, e}), ref_pair(ref_pair(ab, cd), ref_pair(ee, ee)));
}

TEST(MerkleRoot, ZeroLeaves) {
    EXPECT_EQ(merkle_root({Hash32{}}), Hash32{});
    EXPECT_EQ(merkle_root({Hash32{}, Hash32{}}), block_test::ref_sha256d(Bytes(64, 0)));
}

TEST(MerkleRoot, MatchesTopDownReferenceForManyCounts) {
    for (std::size_t n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 13, 16, 17, 31, 33, 100, 301}) {
        const std::vector<Hash32> leaves = distinct_leaves(n);
        EXPECT_EQ(merkle_root(leaves), ref_merkle_root(leaves)) << n << " leaves";
    }
}

TEST(MerkleRoot, PublishedBlock100000) {
    // Bitcoin block 100000: four txids and the header's merkle root, display order.
    std::vector<Hash32> txids;
    for (const char* hex : {"8c14f0db3df150123e6f3dbbf30f8b955a8249b62ac1d1ff16284aefa3d06d87",
                            "fff2525b8931402dd09222c50775608f75787bd2b87e56995a7bdd30f79702c4",
                            "6359f0868171b1d194cbee1af2f16ea598ae8fad666d9b012c8ed2b79a236ec4",
                            "e9a66845e05d5abc0ad04ec80f774a7e585c6e8db975962d069a522137b80c1d"}) {
        txids.push_back(parse_hash_hex(hex));
    }
    EXPECT_EQ(hash_to_hex(merkle_root(txids)),
              "f3e94742aca4b5ef85488dc37c06c3282295ffec960994b2c0d5ac2a25a95766");
}

}  // namespace
}  // namespace qvn
