// The candidate block: coinbase, template transactions, merkle root and the
// 80-byte header the miner hashes; and the block bytes sent to the node.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "block/bytes.h"
#include "block/payout.h"
#include "block/template.h"

namespace qvn {

inline constexpr std::size_t kHeaderSize = 80;
inline constexpr std::size_t kNonceOffset = 76;

struct Candidate {
    std::array<std::uint8_t, kHeaderSize> header{};  // nonce field (bytes 76..79) is 0
    Bytes coinbase;                   // full form, with the witness when it carries one
    std::vector<Bytes> transactions;  // template transactions' raw data, in template order
    Hash32 merkle_root{};             // internal order, as in header bytes 36..67
    std::uint64_t extranonce = 0;
    std::uint32_t time = 0;  // as in header bytes 68..71
};

// Builds the whole candidate or throws (payout split, scriptSig size, header check).
Candidate build_candidate(const BlockTemplate& tmpl, const std::vector<Payout>& payouts,
                          std::uint64_t extranonce, const std::string& tag);

// Header, transaction count, coinbase and template transactions, with the
// given nonce in the header copy; the candidate keeps nonce 0.
Bytes serialize_block(const Candidate& candidate, std::uint32_t nonce);

// The largest of the node's curtime, the local clock and mintime: never
// earlier than either of the node's times, never behind our own clock.
std::uint32_t header_time(std::uint32_t curtime, std::uint32_t now, std::uint32_t mintime);

// Whether candidates built at time now from a and from b, with one extranonce,
// are the same block: everything but the long-poll id is equal, and so is
// the header time (curtime itself follows the node's clock second by second).
bool same_work(const BlockTemplate& a, const BlockTemplate& b, std::uint32_t now);

// Whole seconds since the Unix epoch, truncated, clamped into 0..4294967295.
std::uint32_t unix_time_of(std::chrono::system_clock::time_point when);
std::uint32_t unix_time_now();

}  // namespace qvn
