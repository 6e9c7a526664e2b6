#include "block/candidate.h"

#include <algorithm>
#include <tuple>

#include "block/coinbase.h"
#include "block/merkle.h"
#include "block/serialize.h"
#include "block/text.h"
#include "hash/sha256.h"

namespace qvn {
namespace {

constexpr std::size_t kMaxCompactSize = 9;

Bytes build_header(const BlockTemplate& tmpl, const Hash32& root, std::uint32_t time) {
    Bytes header;
    header.reserve(kHeaderSize);
    write_u32le(header, static_cast<std::uint32_t>(tmpl.version));
    write_bytes(header, tmpl.previousblockhash.data(), tmpl.previousblockhash.size());
    write_bytes(header, root.data(), root.size());
    write_u32le(header, time);
    write_u32le(header, tmpl.bits);
    write_u32le(header, 0);  // nonce, set by the miner
    return header;
}

}  // namespace

Candidate build_candidate(const BlockTemplate& tmpl, const std::vector<Payout>& payouts,
                          std::uint64_t extranonce, const std::string& tag) {
    Candidate candidate;
    candidate.extranonce = extranonce;

    candidate.transactions.reserve(tmpl.transactions.size());
    for (const TemplateTx& tx : tmpl.transactions) candidate.transactions.push_back(tx.data);

    const std::vector<TxOutput> outputs = split_payouts(payouts, tmpl.coinbasevalue);
    const Bytes script_sig = build_script_sig(tmpl, extranonce, tag);
    const bool with_witness = coinbase_has_witness(tmpl);
    const Bytes stripped_coinbase = build_coinbase(tmpl, outputs, script_sig, with_witness, true);
    candidate.coinbase = build_coinbase(tmpl, outputs, script_sig, with_witness, false);

    // The txid (and merkle leaf) never covers the witness.
    Hash32 coinbase_txid;
    sha256d(coinbase_txid.data(), stripped_coinbase);

    std::vector<Hash32> leaves;
    leaves.reserve(1 + tmpl.transactions.size());
    leaves.push_back(coinbase_txid);
    for (const TemplateTx& tx : tmpl.transactions) leaves.push_back(tx.txid);
    candidate.merkle_root = merkle_root(std::move(leaves));

    candidate.time = header_time(tmpl.curtime, unix_time_now(), tmpl.mintime);

    const Bytes header = build_header(tmpl, candidate.merkle_root, candidate.time);
    if (header.size() != kHeaderSize) fail("internal error: block header was not 80 bytes");
    std::copy(header.begin(), header.end(), candidate.header.begin());
    return candidate;
}

Bytes serialize_block(const Candidate& candidate, std::uint32_t nonce) {
    std::size_t size = kHeaderSize + kMaxCompactSize + candidate.coinbase.size();
    for (const Bytes& tx : candidate.transactions) size += tx.size();
    Bytes block;
    block.reserve(size);

    write_bytes(block, candidate.header.data(), kNonceOffset);
    write_u32le(block, nonce);
    write_compact_size(block, 1 + candidate.transactions.size());
    write_bytes(block, candidate.coinbase);
    for (const Bytes& tx : candidate.transactions) write_bytes(block, tx);
    return block;
}

std::uint32_t header_time(std::uint32_t curtime, std::uint32_t now, std::uint32_t mintime) {
    std::uint32_t t = curtime;
    if (t < now) t = now;
    if (t < mintime) t = mintime;
    return t;
}

bool same_work(const BlockTemplate& a, const BlockTemplate& b, std::uint32_t now) {
    const auto work = [now](const BlockTemplate& t) {
        return std::make_tuple(t.version, t.previousblockhash, t.coinbasevalue, t.target, t.bits,
                               t.height, header_time(t.curtime, now, t.mintime), t.mintime,
                               t.noncerange_min, t.noncerange_max, t.segwit);
    };
    return work(a) == work(b) && a.coinbaseaux == b.coinbaseaux &&
           a.transactions == b.transactions &&
           a.default_witness_commitment == b.default_witness_commitment;
}

std::uint32_t unix_time_of(std::chrono::system_clock::time_point when) {
    // duration_cast truncates toward zero, so a moment just before the epoch reads 0.
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
    if (seconds <= 0) return 0;
    if (seconds >= 0xFFFFFFFFLL) return 0xFFFFFFFF;
    return static_cast<std::uint32_t>(seconds);
}

std::uint32_t unix_time_now() { return unix_time_of(std::chrono::system_clock::now()); }

}  // namespace qvn
