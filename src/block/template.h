// The block template as block assembly sees it: plain numbers and bytes, byte
// orders already fixed. The RPC layer fills it from getblocktemplate.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "block/bytes.h"

namespace qvn {

struct TemplateTx {
    Bytes data;   // serialized transaction as the node sent it
    Hash32 txid;  // internal order
    Hash32 hash;  // wtxid, internal order; equals txid when the node gives none

    bool operator==(const TemplateTx&) const = default;
};

struct BlockTemplate {
    std::int32_t version = 0;
    Hash32 previousblockhash{};  // internal order
    std::uint64_t coinbasevalue = 0;
    Hash32 target{};  // little-endian 256-bit number
    std::uint32_t bits = 0;
    std::int32_t height = 0;
    std::uint32_t curtime = 0;
    std::uint32_t mintime = 0;
    std::uint32_t noncerange_min = 0;
    std::uint32_t noncerange_max = 0xFFFFFFFF;
    bool segwit = false;
    std::string longpollid;
    std::vector<Bytes> coinbaseaux;  // in the JSON library's key order
    std::vector<TemplateTx> transactions;
    Bytes default_witness_commitment;
};

}  // namespace qvn
