#include "block/candidate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "block/coinbase.h"
#include "block/text.h"
#include "block_fixtures.h"

namespace qvn {
namespace {

using block_test::basic_template;
using block_test::error_of;
using block_test::from_hex;
using block_test::ref_merkle_root;
using block_test::ref_sha256d;
using block_test::synthetic_tx;

std::vector<Payout> one_payout() { return {parse_payout("51")}; }

std::string header_hex(const Candidate& c, std::size_t offset, std::size_t size) {
    return hex_encode(c.header.data() + offset, size);
}

std::uint32_t read_u32le(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

// The stripped coinbase recovered from its witness form: drop marker, flag
// and the 34-byte witness in front of the lock time.
Bytes strip_witness(const Bytes& full) {
    Bytes out(full.begin(), full.begin() + 4);
    out.insert(out.end(), full.begin() + 6, full.end() - 38);
    out.insert(out.end(), full.end() - 4, full.end());
    return out;
}

TEST(CandidateHeader, FieldsInPlace) {
    BlockTemplate t = basic_template();
    const Candidate c = build_candidate(t, one_payout(), 0, "/qvncpu/");
    EXPECT_EQ(header_hex(c, 0, 4), "00000020");
    EXPECT_EQ(c.header[4], 0xAB);  // last two display digits of previousblockhash come first
    EXPECT_TRUE(
        std::equal(t.previousblockhash.begin(), t.previousblockhash.end(), c.header.begin() + 4));
    EXPECT_TRUE(std::equal(c.merkle_root.begin(), c.merkle_root.end(), c.header.begin() + 36));
    EXPECT_EQ(read_u32le(c.header.data() + 68), c.time);
    EXPECT_EQ(c.time, 4000000000u);
    EXPECT_EQ(header_hex(c, 72, 4), "ffff001d");
    EXPECT_EQ(header_hex(c, 76, 4), "00000000");
    EXPECT_EQ(c.extranonce, 0u);
}

TEST(CandidateHeader, NegativeVersionIsItsBitPattern) {
    BlockTemplate t = basic_template();
    t.version = -2;
    EXPECT_EQ(header_hex(build_candidate(t, one_payout(), 0, ""), 0, 4), "feffffff");
}

TEST(CandidateTime, LargestOfCurtimeClockAndMintime) {
    const struct {
        std::uint32_t curtime, now, mintime, expected;
    } cases[] = {
        {1700000000, 1700000100, 1699999000, 1700000100},  // clock ahead of the node
        {1700000000, 1699990000, 1699999000, 1700000000},  // clock behind: curtime
        {1700000000, 1700000100, 1700000200, 1700000200},  // mintime above both
        {1700000000, 0, 1699999000, 1700000000},           // clock before 1970
        {1700000000, 0, 1700000500, 1700000500},
        {0xFFFFFFFF, 1700000000, 0, 0xFFFFFFFF},  // compared unsigned
        {0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(header_time(c.curtime, c.now, c.mintime), c.expected)
            << c.curtime << " " << c.now << " " << c.mintime;
    }
}

TEST(CandidateTime, UnixTimeClamped) {
    using std::chrono::milliseconds;
    using std::chrono::seconds;
    using Clock = std::chrono::system_clock;
    const struct {
        Clock::duration since_epoch;
        std::uint32_t expected;
    } cases[] = {
        {seconds(-86400), 0},
        {milliseconds(-500), 0},
        {seconds(0), 0},
        {milliseconds(1999), 1},
        {seconds(1700000000), 1700000000},
        {seconds(4294967295LL), 4294967295u},
        {seconds(4294967296LL), 4294967295u},
        {seconds(100000000000LL), 4294967295u},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unix_time_of(Clock::time_point(c.since_epoch)), c.expected)
            << c.since_epoch.count();
    }
}

TEST(CandidateTime, FollowsTheClockWhenTheNodeIsBehind) {
    BlockTemplate t = basic_template();
    t.curtime = 1000;
    t.mintime = 900;
    const std::uint32_t before = unix_time_now();
    const Candidate c = build_candidate(t, one_payout(), 0, "");
    const std::uint32_t after = unix_time_now();
    EXPECT_GE(c.time, before);
    EXPECT_LE(c.time, after);

    t.mintime = 4000000001u;
    EXPECT_EQ(build_candidate(t, one_payout(), 0, "").time, 4000000001u);
}

TEST(Candidate, WithoutTransactions) {
    const BlockTemplate t = basic_template();
    const Candidate c = build_candidate(t, one_payout(), 7, "/qvncpu/");
    EXPECT_TRUE(c.transactions.empty());
    EXPECT_EQ(c.extranonce, 7u);
    // No witness: the stored coinbase is its own stripped form and the only leaf.
    EXPECT_EQ(c.coinbase, build_coinbase(t, split_payouts(one_payout(), t.coinbasevalue),
                                         build_script_sig(t, 7, "/qvncpu/"), false, false));
    EXPECT_EQ(c.merkle_root, ref_sha256d(c.coinbase));

    const Bytes block = serialize_block(c, 0);
    ASSERT_EQ(block.size(), 81 + c.coinbase.size());
    EXPECT_TRUE(std::equal(c.header.begin(), c.header.end(), block.begin()));
    EXPECT_EQ(block[80], 0x01);
    EXPECT_TRUE(std::equal(c.coinbase.begin(), c.coinbase.end(), block.begin() + 81));
}

TEST(Candidate, WitnessCoinbaseTxidFromStrippedForm) {
    BlockTemplate t = basic_template();
    t.segwit = true;
    t.transactions = {synthetic_tx(1, true), synthetic_tx(2, false)};
    const Candidate c = build_candidate(t, one_payout(), 0, "/qvncpu/");
    const Bytes stripped = strip_witness(c.coinbase);
    EXPECT_EQ(c.coinbase.size(), stripped.size() + 36);
    EXPECT_EQ(hex_encode(c.coinbase.data() + 4, 2), "0001");
    const Hash32 txid = ref_sha256d(stripped);
    EXPECT_EQ(c.merkle_root,
              ref_merkle_root({txid, t.transactions[0].txid, t.transactions[1].txid}));
    EXPECT_NE(c.merkle_root, ref_merkle_root({ref_sha256d(c.coinbase), t.transactions[0].txid,
                                              t.transactions[1].txid}));
    ASSERT_EQ(c.transactions.size(), 2u);
    EXPECT_EQ(c.transactions[0], t.transactions[0].data);
    EXPECT_EQ(c.transactions[1], t.transactions[1].data);
}

TEST(Candidate, ExtranonceChangesCoinbaseRootAndHeaderOnly) {
    BlockTemplate t = basic_template();
    t.transactions = {synthetic_tx(1, false), synthetic_tx(2, false), synthetic_tx(3, true)};
    const Candidate a = build_candidate(t, one_payout(), 0, "/qvncpu/");
    const Candidate b = build_candidate(t, one_payout(), 1, "/qvncpu/");
    EXPECT_NE(a.coinbase, b.coinbase);
    EXPECT_NE(a.merkle_root, b.merkle_root);
    EXPECT_NE(a.header, b.header);
    EXPECT_EQ(a.transactions, b.transactions);
    EXPECT_EQ(b.extranonce, 1u);
    // Same coinbase length: only the eight extranonce bytes differ.
    ASSERT_EQ(a.coinbase.size(), b.coinbase.size());
    std::size_t differing = 0;
    for (std::size_t i = 0; i < a.coinbase.size(); ++i) differing += a.coinbase[i] != b.coinbase[i];
    EXPECT_EQ(differing, 1u);
}

TEST(Candidate, FailuresLeaveNoCandidate) {
    BlockTemplate t = basic_template();
    const struct {
        std::vector<Payout> payouts;
        std::string tag;
        const char* message;
    } cases[] = {
        {{}, "", "at least one --payout raw scriptPubKey is required"},
        {{parse_payout("51:312500001")},
         "",
         "absolute payout sum exceeds coinbasevalue from template"},
        {{parse_payout("51:18446744073709551615"), parse_payout("52:1")},
         "",
         "absolute payout sum overflow"},
        {one_payout(), std::string(86, 't'),
         "coinbase scriptSig exceeds 100 bytes; use a shorter --coinbase-tag or fewer aux "
         "bytes"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(error_of([&] { build_candidate(t, c.payouts, 0, c.tag); }), c.message);
    }
    EXPECT_EQ(build_candidate(t, one_payout(), 0, std::string(85, 't')).coinbase.size(),
              build_candidate(t, one_payout(), 0, "").coinbase.size() + 87);
}

TEST(SerializeBlock, NonceGoesIntoACopyOfTheHeader) {
    const Candidate c = build_candidate(basic_template(), one_payout(), 0, "");
    const Bytes block = serialize_block(c, 0x12345678);
    EXPECT_EQ(hex_encode(block.data() + 76, 4), "78563412");
    EXPECT_TRUE(std::equal(c.header.begin(), c.header.begin() + 76, block.begin()));
    EXPECT_EQ(header_hex(c, 76, 4), "00000000");
}

TEST(SerializeBlock, TransactionCountAndOrder) {
    const struct {
        std::size_t template_txs;
        const char* count;
    } cases[] = {
        {0, "01"}, {1, "02"}, {251, "fc"}, {252, "fdfd00"}, {300, "fd2d01"},
    };
    for (const auto& c : cases) {
        Candidate candidate = build_candidate(basic_template(), one_payout(), 0, "");
        std::size_t tx_bytes = 0;
        for (std::size_t i = 0; i < c.template_txs; ++i) {
            candidate.transactions.push_back(Bytes(1 + i % 5, static_cast<std::uint8_t>(i)));
            tx_bytes += 1 + i % 5;
        }
        const Bytes block = serialize_block(candidate, 0);
        const std::string count = c.count;
        const std::size_t count_size = count.size() / 2;
        ASSERT_EQ(block.size(), 80 + count_size + candidate.coinbase.size() + tx_bytes);
        EXPECT_EQ(hex_encode(block.data() + 80, count_size), count);
        Bytes expected_tail = candidate.coinbase;
        for (const Bytes& tx : candidate.transactions) {
            expected_tail.insert(expected_tail.end(), tx.begin(), tx.end());
        }
        EXPECT_TRUE(
            std::equal(expected_tail.begin(), expected_tail.end(), block.begin() + 80 + count_size))
            << c.template_txs;
    }
}

}  // namespace
}  // namespace qvn
