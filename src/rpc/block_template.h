// The getblocktemplate request, the parsed template record, and submitblock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "block/template.h"
#include "rpc/wake_flag.h"

namespace qvn {

class RpcClient;

// Sends getblocktemplate; a non-empty longpollid makes it a long poll.
// timeout_ms and cancel are passed to RpcClient::call unchanged.
nlohmann::json get_block_template(const RpcClient& client, const std::string& longpollid,
                                  std::int64_t timeout_ms, const WakeFlag* cancel);

// Checks types, decodes hex, fixes byte orders; throws, never returns half-filled.
BlockTemplate parse_block_template(const nlohmann::json& result, bool txids_internal);

// The time limit of a submission when the client has none.
inline constexpr std::int64_t kSubmitFallbackTimeoutMs = 30000;

// Hands a block to the node; null means accepted, anything else is the node's
// remark. Uses the client's time limit, or fallback_timeout_ms without one.
nlohmann::json submit_block(const RpcClient& client, const std::string& block_hex,
                            std::int64_t fallback_timeout_ms = kSubmitFallbackTimeoutMs);

}  // namespace qvn
