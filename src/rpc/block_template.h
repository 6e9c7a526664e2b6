// The getblocktemplate request, the parsed template record, and submitblock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "block/bytes.h"

namespace qvn {

class RpcClient;

struct TemplateTx {
    Bytes data;   // serialized transaction as the node sent it
    Hash32 txid;  // internal order
    Hash32 hash;  // wtxid, internal order; equals txid when the node gives none
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

// Sends getblocktemplate; a non-empty longpollid makes it a long poll.
// timeout_ms and cancel are passed to RpcClient::call unchanged.
nlohmann::json get_block_template(const RpcClient& client, const std::string& longpollid,
                                  std::int64_t timeout_ms, const std::atomic<bool>* cancel);

// Checks types, decodes hex, fixes byte orders; throws, never returns half-filled.
BlockTemplate parse_block_template(const nlohmann::json& result, bool txids_internal);

// The time limit of a submission when the client has none.
inline constexpr std::int64_t kSubmitFallbackTimeoutMs = 30000;

// Hands a block to the node; null means accepted, anything else is the node's
// remark. Uses the client's time limit, or kSubmitFallbackTimeoutMs without one.
nlohmann::json submit_block(const RpcClient& client, const std::string& block_hex);

}  // namespace qvn
