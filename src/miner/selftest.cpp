#include "miner/selftest.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <exception>

#include "block/bytes.h"
#include "block/text.h"
#include "hash/keccak.h"
#include "hash/sha256.h"
#include "hash/sha3.h"
#include "miner/chunk_miner.h"
#include "miner/group_kernel.h"
#include "miner/lanes.h"
#include "miner/scalar_kernel.h"

namespace qvn {
namespace {

constexpr std::uint32_t kSelftestNonce = 1234567;  // 0x0012D687

bool report(std::string* failure, const std::string& message) {
    if (failure != nullptr) *failure = message;
    return false;
}

// SHA3-256 of a message that fits lane 0, padded by hand: one permutation.
std::string sha3_one_block_hex(std::uint64_t lane0) {
    std::uint64_t lanes[25] = {};
    lanes[0] = lane0;
    lanes[16] = 0x8000000000000000;
    keccak_f1600(lanes);
    std::uint8_t digest[32];
    for (int i = 0; i < 32; ++i)
        digest[i] = static_cast<std::uint8_t>(lanes[i / 8] >> (8 * (i % 8)));
    return hex_encode(digest, sizeof digest);
}

std::string sha256_empty_hex() {
    std::uint32_t state[8];
    std::memcpy(state, kSha256Init, sizeof state);
    std::uint8_t block[64] = {0x80};
    sha256_compress(state, block);
    std::uint8_t digest[32];
    for (int i = 0; i < 32; ++i)
        digest[i] = static_cast<std::uint8_t>(state[i / 4] >> (24 - 8 * (i % 4)));
    return hex_encode(digest, sizeof digest);
}

std::string sha3_empty_hex() { return sha3_one_block_hex(0x06); }
std::string sha3_abc_hex() { return sha3_one_block_hex(0x06636261); }  // "abc", then 0x06

struct Vector {
    std::string (*compute)();
    const char* expected;
    const char* prefix;
};

constexpr Vector kVectors[] = {
    {sha3_empty_hex, "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a",
     "SHA3-256 empty vector mismatch: "},
    {sha3_abc_hex, "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532",
     "SHA3-256 abc vector mismatch: "},
    {sha256_empty_hex, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
     "SHA256 empty vector mismatch: "},
};

bool run_miner_checks(std::string* failure) {
    if (!hash_selftest(failure)) return false;

    std::array<std::uint8_t, 80> header{};
    header[0] = 0x01;
    std::array<std::uint8_t, 80> with_nonce = header;
    for (int i = 0; i < 4; ++i)
        with_nonce[76 + i] = static_cast<std::uint8_t>(kSelftestNonce >> (8 * i));
    Hash32 expected;
    sha3_256t(expected.data(), with_nonce.data(), with_nonce.size());

    const HeaderLanes lanes = header_lanes(header);
    HashWords scalar;
    sha3_256t_fixed(lanes, kSelftestNonce, scalar);
    if (hash_bytes(scalar) != expected)
        return report(failure, "scalar fixed SHA3-256t does not match generic SHA3-256t");

    Hash32 max_target;
    max_target.fill(0xff);
    std::uint32_t nonce = 0;
    HashWords group_hash{};
    const std::string isa = linked_group_kernel().isa;
    if (!hash_group(lanes, target_words(max_target), kSelftestNonce, nonce, group_hash) ||
        nonce != kSelftestNonce)
        return report(failure, isa + " fixed SHA3-256t did not find nonce under max target");
    if (hash_bytes(group_hash) != expected)
        return report(failure, isa + " fixed SHA3-256t does not match generic SHA3-256t");

    const ChunkResult chunk =
        cpu_mine_chunk(header, max_target, kSelftestNonce, kSelftestNonce, 1, 1);
    if (!chunk.found || chunk.nonce != kSelftestNonce || chunk.hash != expected)
        return report(failure, "CPU miner did not find the one-nonce max-target self-test block");
    return true;
}

}  // namespace

bool hash_selftest(std::string* failure) {
    for (const Vector& v : kVectors) {
        const std::string computed = v.compute();
        if (computed != v.expected) return report(failure, v.prefix + computed);
    }
    return true;
}

bool miner_selftest(std::string* failure) {
    try {
        return run_miner_checks(failure);
    } catch (const std::exception& e) {
        try {
            if (failure != nullptr) *failure = e.what();
        } catch (...) {
            // Out of memory for the message itself: the verdict still stands.
        }
        return false;
    } catch (...) {
        return false;
    }
}

}  // namespace qvn
