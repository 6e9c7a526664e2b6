#include "block/coinbase.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "block/text.h"
#include "block_fixtures.h"

namespace qvn {
namespace {

using block_test::basic_template;
using block_test::error_of;
using block_test::from_hex;
using block_test::hash_of_byte;
using block_test::ref_merkle_root;
using block_test::ref_sha256d;
using block_test::synthetic_tx;

const char* const kTooLong =
    "coinbase scriptSig exceeds 100 bytes; use a shorter --coinbase-tag or fewer aux bytes";

BlockTemplate template_at(std::int32_t height) {
    BlockTemplate t = basic_template();
    t.height = height;
    return t;
}

TEST(ScriptSig, DefaultLayout) {
    // Height 840000, extranonce 1, the default tag: 4 + 9 + 9 bytes.
    EXPECT_EQ(hex_encode(build_script_sig(basic_template(), 1, "/qvncpu/")),
              "0340d10c"
              "080100000000000000"
              "082f71766e6370752f");
}

TEST(ScriptSig, HeightIsTheNodesIntegerPush) {
    // What a Bitcoin-derived node compares the scriptSig's start against:
    // OP_0, OP_1..OP_16, else a minimal script-number push.
    const struct {
        std::int32_t height;
        const char* prefix;
    } cases[] = {
        {0, "00"},
        {1, "51"},
        {2, "52"},
        {16, "60"},
        {17, "0111"},
        {127, "017f"},
        {128, "028000"},
        {255, "02ff00"},
        {256, "020001"},
        {32768, "03008000"},
        {840000, "0340d10c"},
        {-1, "05ffffffff00"},  // the height's 32 bits read as unsigned
    };
    for (const auto& c : cases) {
        const std::string prefix = c.prefix;
        const std::string script = hex_encode(build_script_sig(template_at(c.height), 0, ""));
        EXPECT_EQ(script, prefix + "080000000000000000") << c.height;
    }
}

TEST(ScriptSig, AuxBytesRawBetweenHeightAndExtranonce) {
    BlockTemplate t = basic_template();
    t.coinbaseaux = {from_hex("01"), from_hex("0203")};
    EXPECT_EQ(hex_encode(build_script_sig(t, 0x0102030405060708ULL, "ab")),
              "0340d10c"
              "010203"
              "080807060504030201"
              "026162");
}

TEST(ScriptSig, SizeLimit) {
    const struct {
        std::int32_t height;
        std::size_t tag_size;
        std::size_t aux_size;
        std::size_t expected_size;  // 0: rejected
    } cases[] = {
        {0, 0, 0, 10},                              // the shortest possible scriptSig
        {840000, 0, 0, 13},   {840000, 75, 0, 89},  // last one-byte length push
        {840000, 76, 0, 91},                        // OP_PUSHDATA1 from here on
        {840000, 85, 0, 100},                       // exactly at the limit
        {840000, 86, 0, 0},   {840000, 0, 87, 100}, {840000, 0, 88, 0}, {840000, 84, 2, 0},
    };
    for (const auto& c : cases) {
        BlockTemplate t = template_at(c.height);
        if (c.aux_size > 0) t.coinbaseaux = {Bytes(c.aux_size, 0xEE)};
        const std::string tag(c.tag_size, 'q');
        if (c.expected_size == 0) {
            EXPECT_EQ(error_of([&] { build_script_sig(t, 0, tag); }), kTooLong) << c.tag_size;
            continue;
        }
        const Bytes script = build_script_sig(t, 0, tag);
        EXPECT_EQ(script.size(), c.expected_size) << c.tag_size << " " << c.aux_size;
    }
    const Bytes at_limit = build_script_sig(basic_template(), 0, std::string(85, 'q'));
    EXPECT_EQ(at_limit[13], 0x4C);
    EXPECT_EQ(at_limit[14], 85);
}

TEST(CoinbaseWitness, Decision) {
    TemplateTx plain = synthetic_tx(1, false);
    TemplateTx segwit = synthetic_tx(2, true);
    const struct {
        const char* name;
        bool commitment;
        bool segwit_rule;
        std::vector<TemplateTx> txs;
        bool expected;
    } cases[] = {
        {"nothing", false, false, {}, false},
        {"legacy transactions only", false, false, {plain, plain}, false},
        {"template commitment", true, false, {}, true},
        {"segwit rule", false, true, {}, true},
        {"one transaction with a wtxid", false, false, {plain, segwit}, true},
    };
    for (const auto& c : cases) {
        BlockTemplate t = basic_template();
        if (c.commitment)
            t.default_witness_commitment = from_hex("6a24aa21a9ed" + std::string(64, '1'));
        t.segwit = c.segwit_rule;
        t.transactions = c.txs;
        EXPECT_EQ(coinbase_has_witness(t), c.expected) << c.name;
    }
}

TEST(CoinbaseWitness, TemplateCommitmentUsedAsGiven) {
    BlockTemplate t = basic_template();
    t.default_witness_commitment = from_hex("6a0102");  // not even a commitment: used anyway
    t.transactions = {synthetic_tx(1, true)};
    EXPECT_EQ(witness_commitment_script(t), from_hex("6a0102"));
}

TEST(CoinbaseWitness, CommitmentComputedFromWtxids) {
    BlockTemplate t = basic_template();
    const Hash32 empty_commitment = ref_sha256d(Bytes(64, 0));
    EXPECT_EQ(hex_encode(witness_commitment_script(t)),
              "6a24aa21a9ed" + hex_encode(empty_commitment.data(), 32));

    t.transactions = {synthetic_tx(1, false), synthetic_tx(2, true), synthetic_tx(3, true)};
    const Hash32 root = ref_merkle_root(
        {Hash32{}, t.transactions[0].hash, t.transactions[1].hash, t.transactions[2].hash});
    Bytes input(root.begin(), root.end());
    input.resize(64, 0);
    const Hash32 commitment = ref_sha256d(input);
    const Bytes script = witness_commitment_script(t);
    ASSERT_EQ(script.size(), 38u);
    EXPECT_EQ(hex_encode(script), "6a24aa21a9ed" + hex_encode(commitment.data(), 32));
}

TEST(BuildCoinbase, LegacyLayout) {
    BlockTemplate t = template_at(17);
    const std::vector<TxOutput> outputs = {{312500000, from_hex("51")}, {1, from_hex("5252")}};
    const Bytes script_sig = from_hex("0111");
    const Bytes tx = build_coinbase(t, outputs, script_sig, false, false);
    const std::string null_outpoint = std::string(64, '0') + "ffffffff";
    const std::string expected =
        "02000000"       // version
        "01" +           // one input
        null_outpoint +  // no previous output
        "02"
        "0111"      // scriptSig
        "ffffffff"  // sequence
        "02"        // two outputs
        "205fa01200000000"
        "01"
        "51"
        "0100000000000000"
        "02"
        "5252"
        "00000000";  // lock time
    EXPECT_EQ(hex_encode(tx), expected);
    EXPECT_EQ(build_coinbase(t, outputs, script_sig, false, true), tx);
}

TEST(BuildCoinbase, WitnessFormIsStrippedPlusMarkerFlagAndReservedValue) {
    BlockTemplate t = basic_template();
    t.segwit = true;
    const std::vector<TxOutput> outputs = {{312500000, from_hex("51")}};
    const Bytes script_sig = build_script_sig(t, 5, "/qvncpu/");
    const Bytes full = build_coinbase(t, outputs, script_sig, true, false);
    const Bytes stripped = build_coinbase(t, outputs, script_sig, true, true);

    ASSERT_EQ(full.size(), stripped.size() + 36);
    EXPECT_EQ(hex_encode(full.data(), 6), "020000000001");
    // Between marker/flag and the witness, both forms hold the same bytes.
    EXPECT_TRUE(std::equal(stripped.begin() + 4, stripped.end() - 4, full.begin() + 6));
    const std::string tail = hex_encode(full.data() + full.size() - 38, 38);
    EXPECT_EQ(tail, "0120" + std::string(64, '0') + "00000000");

    // Two outputs; the last pays 0 to the 38-byte commitment script.
    const Bytes commitment = witness_commitment_script(t);
    const std::string outputs_hex =
        "02"
        "205fa01200000000"
        "0151"
        "0000000000000000"
        "26" +
        hex_encode(commitment) + "00000000";
    EXPECT_EQ(hex_encode(stripped).substr(hex_encode(stripped).size() - outputs_hex.size()),
              outputs_hex);
}

TEST(BuildCoinbase, OutputCountBeyondOneByte) {
    BlockTemplate t = basic_template();
    t.segwit = true;
    const std::vector<TxOutput> outputs(252, TxOutput{1, from_hex("51")});
    const Bytes script_sig = from_hex("00");
    const Bytes tx = build_coinbase(t, outputs, script_sig, true, true);
    // version, input count, outpoint, scriptSig length and byte, sequence: 47 bytes.
    EXPECT_EQ(hex_encode(tx.data() + 47, 3), "fdfd00");  // 252 payouts + commitment
}

}  // namespace
}  // namespace qvn
