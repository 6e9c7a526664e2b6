// Helpers for the block assembly tests: an OpenSSL double SHA-256 as the
// reference hash, a reference merkle root, templates and synthetic transactions.
#pragma once

#include <openssl/sha.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "block/bytes.h"
#include "block/serialize.h"
#include "block/template.h"
#include "block/text.h"
#include "test_support/errors.h"

namespace qvn::block_test {

using test_support::error_of;

inline Bytes from_hex(const std::string& hex) { return hex_decode(hex); }

inline Hash32 ref_sha256d(const std::uint8_t* data, std::size_t size) {
    Hash32 first;
    Hash32 second;
    SHA256(data, size, first.data());
    SHA256(first.data(), first.size(), second.data());
    return second;
}

inline Hash32 ref_sha256d(const Bytes& bytes) { return ref_sha256d(bytes.data(), bytes.size()); }

inline Hash32 ref_pair(const Hash32& left, const Hash32& right) {
    Bytes both(left.begin(), left.end());
    both.insert(both.end(), right.begin(), right.end());
    return ref_sha256d(both);
}

// Number of nodes at a given height of the tree over n leaves.
inline std::size_t tree_width(std::size_t n, int height) {
    return (n + (std::size_t{1} << height) - 1) >> height;
}

// Node `pos` at `height`, computed top-down: a node without a right child
// pairs its left child with itself.
inline Hash32 ref_merkle_node(const std::vector<Hash32>& leaves, int height, std::size_t pos) {
    if (height == 0) return leaves[pos];
    const Hash32 left = ref_merkle_node(leaves, height - 1, 2 * pos);
    const bool has_right = 2 * pos + 1 < tree_width(leaves.size(), height - 1);
    return ref_pair(left, has_right ? ref_merkle_node(leaves, height - 1, 2 * pos + 1) : left);
}

// Reference merkle root, recursive rather than level by level.
inline Hash32 ref_merkle_root(const std::vector<Hash32>& leaves) {
    if (leaves.empty()) return Hash32{};
    int height = 0;
    while (tree_width(leaves.size(), height) > 1) ++height;
    return ref_merkle_node(leaves, height, 0);
}

inline Hash32 hash_of_byte(std::uint8_t b) {
    Hash32 h;
    h.fill(b);
    return h;
}

// A well-formed transaction spending a made-up output. With witness it uses
// the BIP 144 serialization, so its wtxid differs from its txid.
inline TemplateTx synthetic_tx(std::uint32_t seed, bool witness) {
    Bytes body;
    write_compact_size(body, 1);
    Hash32 prev = hash_of_byte(static_cast<std::uint8_t>(seed));
    prev[0] = static_cast<std::uint8_t>(seed >> 8);
    write_bytes(body, prev.data(), prev.size());
    write_u32le(body, seed % 3);
    write_compact_size(body, witness ? 0 : 1);
    if (!witness) write_u8(body, 0x51);
    write_u32le(body, 0xFFFFFFFE);
    write_compact_size(body, 1);
    write_u64le(body, 1000 + seed);
    const Bytes script = from_hex("0014" + std::string(40, 'a'));
    write_compact_size(body, script.size());
    write_bytes(body, script);

    Bytes stripped;
    write_u32le(stripped, 2);
    write_bytes(stripped, body);
    write_u32le(stripped, seed);

    TemplateTx tx;
    if (witness) {
        write_u32le(tx.data, 2);
        write_u8(tx.data, 0x00);
        write_u8(tx.data, 0x01);
        write_bytes(tx.data, body);
        write_compact_size(tx.data, 2);
        write_push(tx.data, Bytes(71, static_cast<std::uint8_t>(seed)));
        write_push(tx.data, Bytes(33, 0x02));
        write_u32le(tx.data, seed);
    } else {
        tx.data = stripped;
    }
    tx.txid = ref_sha256d(stripped);
    tx.hash = ref_sha256d(tx.data);
    return tx;
}

inline BlockTemplate basic_template() {
    BlockTemplate t;
    t.version = 0x20000000;
    t.previousblockhash =
        parse_hash_hex("00000000000000000001c2d3e4f5a6b7c8d9e0f1a2b3c4d5e6f708192a3b4cab");
    t.coinbasevalue = 312500000;
    t.bits = 0x1d00ffff;
    t.height = 840000;
    // Far enough ahead that the local clock never decides the header time.
    t.curtime = 4000000000u;
    t.mintime = 4000000000u;
    return t;
}

}  // namespace qvn::block_test
