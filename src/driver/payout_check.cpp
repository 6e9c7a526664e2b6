#include "driver/payout_check.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>

#include "block/text.h"
#include "rpc/errors.h"

namespace qvn {
namespace {

// Longer scripts are cut in the lines; standard ones are at most 71 bytes.
constexpr std::size_t kShownScriptBytes = 80;

std::string script_text(const Bytes& script) {
    if (script.size() <= kShownScriptBytes) return hex_encode(script);
    return hex_encode(script.data(), kShownScriptBytes) + "... (" + std::to_string(script.size()) +
           " bytes)";
}

std::string percent(std::uint64_t part, std::uint64_t whole) {
    char text[32];
    const double share =
        whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
    std::snprintf(text, sizeof text, "%.2f%%", share);
    return text;
}

std::int64_t info_timeout_ms(const RpcClient& client) {
    const std::int64_t own = client.timeout_ms();
    return own > 0 ? std::min(own, kNodeInfoTimeoutMs) : kNodeInfoTimeoutMs;
}

std::string payout_name(std::size_t number, const Payout& payout) {
    return "payout " + std::to_string(number) + " (" + script_text(payout.script) + ")";
}

}  // namespace

std::string payout_line(std::size_t number, const Payout& payout, const ScriptFacts& facts,
                        const std::string& address, const std::string& share) {
    std::string line = "[payout] " + std::to_string(number) + ": " + script_text(payout.script) +
                       " (" + facts.kind_text;
    if (!address.empty()) line += ", address " + printable(address, 128);
    return line + "): " + share;
}

std::vector<std::string> payout_shares(const std::vector<Payout>& payouts,
                                       std::uint64_t coinbasevalue) {
    std::vector<std::string> shares;
    try {
        for (const TxOutput& output : split_payouts(payouts, coinbasevalue)) {
            shares.push_back(percent(output.value, coinbasevalue) + " of the reward, " +
                             std::to_string(output.value) + " of " + std::to_string(coinbasevalue) +
                             " sats now");
        }
    } catch (const std::exception& e) {
        shares.assign(payouts.size(), std::string("the reward cannot be split: ") + e.what());
    }
    return shares;
}

std::string payout_refusal(const std::vector<Payout>& payouts, const std::string& chain) {
    if (chain != kMainChain) return "";
    for (std::size_t i = 0; i < payouts.size(); ++i) {
        const ScriptFacts facts = describe_script(payouts[i].script);
        if (facts.risk == ScriptRisk::none) continue;
        return payout_name(i + 1, payouts[i]) + " " + facts.concern +
               ". The node serves the main chain, so the miner will not pay a block there. "
               "Give the \"scriptPubKey\" of an address of your own: ask the node with "
               "validateaddress ADDRESS, or check a script with decodescript HEX";
    }
    return "";
}

std::string node_chain(const RpcClient& client, const WakeFlag& stop_requested) {
    try {
        const nlohmann::json info = client.call("getblockchaininfo", nlohmann::json::array(),
                                                info_timeout_ms(client), &stop_requested);
        const auto chain = info.find("chain");  // end() unless an object
        if (chain != info.end() && chain->is_string()) return chain->get<std::string>();
    } catch (const RpcCancelled&) {
        throw;
    } catch (const std::exception&) {
        // A node that cannot say leaves every risky payout a warning.
    }
    return "";
}

std::string script_address(const RpcClient& client, const Bytes& script,
                           const WakeFlag& stop_requested) {
    const nlohmann::json decoded =
        client.call("decodescript", nlohmann::json::array({hex_encode(script)}),
                    info_timeout_ms(client), &stop_requested);
    if (!decoded.is_object()) return "";
    // "address" since the nodes of 2021; one-element "addresses" before.
    const auto one = decoded.find("address");
    if (one != decoded.end() && one->is_string()) return one->get<std::string>();
    const auto many = decoded.find("addresses");
    if (many != decoded.end() && many->is_array() && many->size() == 1 &&
        many->front().is_string()) {
        return many->front().get<std::string>();
    }
    return "";
}

void check_payouts(const RpcClient& client, const std::vector<Payout>& payouts,
                   std::uint64_t coinbasevalue, const WakeFlag& stop_requested) {
    const std::string chain = node_chain(client, stop_requested);
    const std::vector<std::string> shares = payout_shares(payouts, coinbasevalue);
    bool node_decodes = true;
    for (std::size_t i = 0; i < payouts.size(); ++i) {
        const ScriptFacts facts = describe_script(payouts[i].script);
        std::string address;
        if (node_decodes) {
            try {
                address = script_address(client, payouts[i].script, stop_requested);
            } catch (const RpcCancelled&) {
                throw;
            } catch (const std::exception&) {
                node_decodes = false;  // asked once; a node that cannot say is not asked again
            }
        }
        write_line(std::cout, payout_line(i + 1, payouts[i], facts, address, shares[i]));
        if (facts.risk != ScriptRisk::none) {
            write_line(std::cerr,
                       "[payout] warning: " + payout_name(i + 1, payouts[i]) + " " + facts.concern);
        }
    }
    if (const std::string refusal = payout_refusal(payouts, chain); !refusal.empty()) {
        throw std::runtime_error(refusal);
    }
}

}  // namespace qvn
