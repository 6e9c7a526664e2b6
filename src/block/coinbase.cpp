#include "block/coinbase.h"

#include <cstring>

#include "block/merkle.h"
#include "block/serialize.h"
#include "block/text.h"
#include "hash/sha256.h"

namespace qvn {
namespace {

constexpr std::uint32_t kCoinbaseVersion = 2;
constexpr std::uint32_t kFinalSequence = 0xFFFFFFFF;
constexpr std::uint32_t kNullIndex = 0xFFFFFFFF;
constexpr std::uint8_t kOp1 = 0x51;

// The height as a node compares it against the scriptSig: the script a
// Bitcoin-derived node builds with its integer push, which writes 1 to 16 as
// OP_1..OP_16. A data push (01 01) there is refused as "bad-cb-height".
void write_height(Bytes& out, std::uint32_t height) {
    if (height >= 1 && height <= 16) {
        write_u8(out, static_cast<std::uint8_t>(kOp1 + height - 1));
        return;
    }
    write_push(out, encode_script_num(height));
}

void write_zeros(Bytes& out, std::size_t count) { out.insert(out.end(), count, 0); }

}  // namespace

Bytes build_script_sig(const BlockTemplate& tmpl, std::uint64_t extranonce,
                       const std::string& tag) {
    Bytes script;
    write_height(script, static_cast<std::uint32_t>(tmpl.height));
    for (const Bytes& aux : tmpl.coinbaseaux) write_bytes(script, aux);
    Bytes extranonce_bytes;
    write_u64le(extranonce_bytes, extranonce);
    write_push(script, extranonce_bytes);
    if (!tag.empty()) write_push(script, Bytes(tag.begin(), tag.end()));
    if (script.size() > kMaxScriptSigSize) {
        fail(
            "coinbase scriptSig exceeds 100 bytes; use a shorter --coinbase-tag or fewer aux "
            "bytes");
    }
    return script;
}

bool coinbase_has_witness(const BlockTemplate& tmpl) {
    if (!tmpl.default_witness_commitment.empty()) return true;
    if (tmpl.segwit) return true;
    for (const TemplateTx& tx : tmpl.transactions) {
        if (tx.hash != tx.txid) return true;
    }
    return false;
}

Bytes witness_commitment_script(const BlockTemplate& tmpl) {
    if (!tmpl.default_witness_commitment.empty()) return tmpl.default_witness_commitment;

    // The coinbase's own wtxid counts as 32 zero bytes.
    std::vector<Hash32> leaves;
    leaves.reserve(1 + tmpl.transactions.size());
    leaves.push_back(Hash32{});
    for (const TemplateTx& tx : tmpl.transactions) leaves.push_back(tx.hash);
    const Hash32 witness_root = merkle_root(std::move(leaves));

    // Root followed by the witness reserved value (32 zero bytes).
    std::uint8_t input[64] = {};
    std::memcpy(input, witness_root.data(), witness_root.size());
    Hash32 commitment;
    sha256d(commitment.data(), input, sizeof input);

    Bytes script = hex_decode("6a24aa21a9ed");
    write_bytes(script, commitment.data(), commitment.size());
    return script;
}

Bytes build_coinbase(const BlockTemplate& tmpl, const std::vector<TxOutput>& outputs,
                     const Bytes& script_sig, bool with_witness, bool stripped) {
    std::vector<TxOutput> all_outputs = outputs;
    if (with_witness) all_outputs.push_back({0, witness_commitment_script(tmpl)});
    const bool witness_form = with_witness && !stripped;

    Bytes tx;
    write_u32le(tx, kCoinbaseVersion);
    if (witness_form) {
        write_u8(tx, 0x00);  // marker
        write_u8(tx, 0x01);  // flag
    }
    write_compact_size(tx, 1);
    write_zeros(tx, 32);
    write_u32le(tx, kNullIndex);
    write_compact_size(tx, script_sig.size());
    write_bytes(tx, script_sig);
    write_u32le(tx, kFinalSequence);
    write_compact_size(tx, all_outputs.size());
    for (const TxOutput& output : all_outputs) {
        write_u64le(tx, output.value);
        write_compact_size(tx, output.script.size());
        write_bytes(tx, output.script);
    }
    if (witness_form) {
        // One stack item: the 32-byte witness reserved value, all zero.
        write_compact_size(tx, 1);
        write_compact_size(tx, 32);
        write_zeros(tx, 32);
    }
    write_u32le(tx, 0);  // lock time
    return tx;
}

}  // namespace qvn
