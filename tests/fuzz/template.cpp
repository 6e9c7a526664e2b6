// Template JSON -> parse_block_template -> build_candidate -> serialize_block:
// no input may crash, and every block built must be laid out as the node
// expects it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

#include "block/candidate.h"
#include "block/coinbase.h"
#include "block/payout.h"
#include "fuzz_support.h"
#include "hash/sha256.h"
#include "rpc/block_template.h"
#include "rpc/reply.h"

namespace {

using qvn::fuzz::expect;

std::uint32_t read_u32le(const qvn::Bytes& bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) |
           static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

std::size_t compact_size_length(std::uint64_t n) {
    if (n < 0xFD) return 1;
    if (n <= 0xFFFF) return 3;
    if (n <= 0xFFFFFFFF) return 5;
    return 9;
}

// A weighted payout, an absolute one and a second weighted one, so the split
// runs every branch when coinbasevalue allows it.
const std::vector<qvn::Payout>& payouts() {
    static const std::vector<qvn::Payout> list = {
        qvn::parse_payout("76a914aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa88ac@3"),
        qvn::parse_payout("51:1000"),
        qvn::parse_payout("0014bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"),
    };
    return list;
}

void check_block(const qvn::BlockTemplate& tmpl, std::uint64_t extranonce) {
    qvn::Candidate candidate;
    try {
        candidate = qvn::build_candidate(tmpl, payouts(), extranonce, "/fuzz/");
    } catch (const std::runtime_error&) {
        return;  // coinbasevalue below the absolute payout, or a scriptSig over 100 bytes
    }
    expect(candidate.extranonce == extranonce, "candidate keeps its extranonce");
    expect(candidate.transactions.size() == tmpl.transactions.size(),
           "one raw transaction per template transaction");
    expect(candidate.time >= tmpl.curtime && candidate.time >= tmpl.mintime,
           "header time not before curtime or mintime");

    const std::uint32_t nonce = tmpl.noncerange_max ^ static_cast<std::uint32_t>(extranonce);
    const qvn::Bytes block = qvn::serialize_block(candidate, nonce);

    const std::size_t count = 1 + candidate.transactions.size();
    std::size_t expected_size = 80 + compact_size_length(count) + candidate.coinbase.size();
    for (const qvn::Bytes& tx : candidate.transactions) expected_size += tx.size();
    expect(block.size() == expected_size, "block size = header + count + coinbase + txs");

    expect(read_u32le(block, 0) == static_cast<std::uint32_t>(tmpl.version), "version at 0..3");
    expect(
        std::equal(tmpl.previousblockhash.begin(), tmpl.previousblockhash.end(), block.begin() + 4),
        "previous hash at 4..35");
    expect(
        std::equal(candidate.merkle_root.begin(), candidate.merkle_root.end(), block.begin() + 36),
        "merkle root at 36..67");
    expect(read_u32le(block, 68) == candidate.time, "time at 68..71");
    expect(read_u32le(block, 72) == tmpl.bits, "bits at 72..75");
    expect(read_u32le(block, 76) == nonce, "nonce at 76..79, little-endian");
    expect(std::equal(block.begin(), block.begin() + 76, candidate.header.begin()),
           "header bytes 0..75 as in the candidate");
    expect(read_u32le(qvn::Bytes(candidate.header.begin(), candidate.header.end()), 76) == 0,
           "the candidate keeps nonce 0");

    std::size_t at = 80 + compact_size_length(count);
    expect(block[80] == (count < 0xFD ? count : 0xFD), "transaction count after the header");
    expect(std::equal(candidate.coinbase.begin(), candidate.coinbase.end(), block.begin() + at),
           "coinbase right after the count");
    at += candidate.coinbase.size();
    for (std::size_t i = 0; i < tmpl.transactions.size(); ++i) {
        const qvn::Bytes& data = tmpl.transactions[i].data;
        expect(std::equal(data.begin(), data.end(), block.begin() + at),
               "template transactions in template order, as delivered");
        at += data.size();
    }

    // The txid leaf comes from the stripped coinbase; the witness form adds
    // marker, flag and one 32-byte witness item.
    const bool with_witness = qvn::coinbase_has_witness(tmpl);
    const qvn::Bytes script_sig = qvn::build_script_sig(tmpl, extranonce, "/fuzz/");
    const qvn::Bytes stripped = qvn::build_coinbase(
        tmpl, qvn::split_payouts(payouts(), tmpl.coinbasevalue), script_sig, with_witness, true);
    expect(candidate.coinbase.size() == stripped.size() + (with_witness ? 36 : 0),
           "witness coinbase = stripped + 36 bytes");
    if (tmpl.transactions.empty()) {
        std::uint8_t txid[32];
        qvn::sha256d(txid, stripped);
        expect(std::memcmp(txid, candidate.merkle_root.data(), 32) == 0,
               "a lone coinbase's txid is the merkle root");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = qvn::fuzz::as_text(data, size);
    if (qvn::nested_deeper_than(text, qvn::kMaxReplyDepth)) return 0;  // the client refuses it
    const nlohmann::json result = nlohmann::json::parse(text, nullptr, false);
    if (result.is_discarded()) return 0;

    for (const bool txids_internal : {false, true}) {
        qvn::BlockTemplate tmpl;
        try {
            tmpl = qvn::parse_block_template(result, txids_internal);
        } catch (const nlohmann::json::exception&) {
            continue;
        } catch (const std::runtime_error&) {
            continue;
        }
        expect(tmpl.noncerange_min <= tmpl.noncerange_max, "noncerange min <= max");
        check_block(tmpl, 0);
        check_block(tmpl, 0xFFFFFFFFFFFFFFFF);
    }
    return 0;
}
