// The payouts, shown and checked once the node has answered and before the
// first hash: a block paid to the wrong script is lost, and the first sign of
// it would otherwise be a found block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "block/payout.h"
#include "block/script_kind.h"
#include "rpc/client.h"

namespace qvn {

// The chain name at which a risky payout ends the run; on any other (test,
// signet, regtest, or a node that does not say) it is a warning.
inline constexpr const char* kMainChain = "main";

// How long the node may take over each question; one it cannot answer costs
// no more than this.
inline constexpr std::int64_t kNodeInfoTimeoutMs = 5000;

// "[payout] 1: 0014... (witness v0 key hash, address ...): 100.00% of the
// reward, 312500000 of 312500000 sats now"; address may be empty.
std::string payout_line(std::size_t number, const Payout& payout, const ScriptFacts& facts,
                        const std::string& address, const std::string& share);

// The share of each payout in a reward, in payout order; a split that fails
// gives its message as every payout's share.
std::vector<std::string> payout_shares(const std::vector<Payout>& payouts,
                                       std::uint64_t coinbasevalue);

// Why the run must not mine, for the first risky payout on the main chain;
// empty when it may.
std::string payout_refusal(const std::vector<Payout>& payouts, const std::string& chain);

// The node's chain ("main", "test", "regtest", ...), or empty when it cannot say.
std::string node_chain(const RpcClient& client, const WakeFlag& stop_requested);

// The address the node reads in the script, or empty when the script pays
// none; throws when the node cannot be asked (the caller then asks no more).
std::string script_address(const RpcClient& client, const Bytes& script,
                           const WakeFlag& stop_requested);

// Writes a "[payout]" line for each payout and a warning on stderr for each
// risky one; on the main chain, throws the refusal.
void check_payouts(const RpcClient& client, const std::vector<Payout>& payouts,
                   std::uint64_t coinbasevalue, const WakeFlag& stop_requested);

}  // namespace qvn
