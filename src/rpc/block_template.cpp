#include "rpc/block_template.h"

#include <cmath>
#include <limits>
#include <type_traits>

#include "block/text.h"
#include "rpc/client.h"
#include "rpc/reply.h"

namespace qvn {
namespace {

using json = nlohmann::json;

// The JSON library's conversion, except that a float whose integer part does
// not fit T is refused: converting it would be undefined behaviour.
template <typename T>
T read_integer(const json& value, const char* key) {
    if (value.is_number_float()) {
        const double whole = std::trunc(value.get<double>());
        const double low = static_cast<double>(std::numeric_limits<T>::min());
        const double above = std::ldexp(1.0, std::numeric_limits<T>::digits);  // max + 1
        if (!(whole >= low && whole < above)) {
            fail(std::string("number out of range for ") + key + ": " + value.dump());
        }
    }
    return value.get<T>();
}

// A whole number from low to T's maximum: an integer, or a float without a
// fraction. Anything else would build a block the node must reject (a
// negative or huge reward, a wrong BIP 34 height), so the template is refused.
template <typename T>
T read_whole(const json& value, const char* key, T low) {
    if (value.is_boolean()) {
        throw json::type_error::create(302, "type must be number, but is boolean", &value);
    }
    if (!value.is_number()) return value.get<T>();  // the library's type error
    constexpr T high = std::numeric_limits<T>::max();
    bool whole = false;
    if (value.is_number_unsigned()) {
        whole = value.get<std::uint64_t>() <= static_cast<std::uint64_t>(high);
    } else if (value.is_number_integer()) {
        const std::int64_t n = value.get<std::int64_t>();
        whole = n >= low && n <= static_cast<std::int64_t>(high);
    } else {
        const double d = value.get<double>();
        const double above = std::ldexp(1.0, std::numeric_limits<T>::digits);  // high + 1
        whole = d == std::trunc(d) && d >= static_cast<double>(low) && d < above;
    }
    if (!whole) {
        fail(std::string("GBT ") + key + " must be a whole number from " + std::to_string(low) +
             " to " + std::to_string(high) + ", got: " + value.dump());
    }
    return value.is_number_float() ? static_cast<T>(value.get<double>()) : value.get<T>();
}

// Compact "bits" to a little-endian 256-bit target.
Hash32 target_from_bits(std::uint32_t bits) {
    Hash32 target{};
    const std::uint32_t mantissa = (bits & 0x00800000) != 0 ? 0 : bits & 0x007FFFFF;
    const unsigned exponent = bits >> 24;
    if (exponent <= 3) {
        const std::uint32_t value = mantissa >> (8 * (3 - exponent));
        for (unsigned i = 0; i < 3; ++i) target[i] = static_cast<std::uint8_t>(value >> (8 * i));
        return target;
    }
    for (unsigned i = 0; i < 3; ++i) {
        const unsigned position = exponent - 3 + i;
        if (position < target.size()) {
            target[position] = static_cast<std::uint8_t>(mantissa >> (8 * i));
        }
    }
    return target;
}

// A transaction hash: display order unless the node sends internal order.
Hash32 read_tx_hash(const json& value, bool txids_internal) {
    const std::string text = value.get<std::string>();
    if (!txids_internal) return parse_hash_hex(text);
    const Bytes bytes = hex_decode(text);
    if (bytes.size() != 32) fail("expected 32-byte tx hash");
    Hash32 hash;
    std::copy(bytes.begin(), bytes.end(), hash.begin());
    return hash;
}

TemplateTx read_transaction(const json& entry, bool txids_internal) {
    TemplateTx tx;
    tx.data = hex_decode(entry.at("data").get<std::string>());
    tx.txid = read_tx_hash(entry.at("txid"), txids_internal);
    const auto hash = entry.find("hash");
    tx.hash =
        hash != entry.end() && hash->is_string() ? read_tx_hash(*hash, txids_internal) : tx.txid;
    return tx;
}

bool has_segwit_rule(const json& rules) {
    if (!rules.is_array()) return false;
    for (const json& rule : rules) {
        if (rule.is_string() && rule.get_ref<const std::string&>() == "segwit") return true;
    }
    return false;
}

// A rule marked "!" must be understood to use the template at all; segwit is
// the one this miner knows.
void check_required_rules(const json& rules) {
    if (!rules.is_array()) return;
    for (const json& rule : rules) {
        if (!rule.is_string()) continue;
        const std::string& name = rule.get_ref<const std::string&>();
        if (name.starts_with('!') && name != "!segwit") {
            fail("GBT template requires a rule this miner does not know: " +
                 printable(name, kMaxNodeTextBytes));
        }
    }
}

json template_request(const std::string& longpollid) {
    json request = json::object();
    request["capabilities"] = json::array({"longpoll", "coinbasevalue", "proposal", "workid"});
    request["rules"] = json::array({"segwit"});
    if (!longpollid.empty()) request["longpollid"] = longpollid;
    return json::array({request});
}

}  // namespace

json get_block_template(const RpcClient& client, const std::string& longpollid,
                        std::int64_t timeout_ms, const WakeFlag* cancel) {
    return client.call("getblocktemplate", template_request(longpollid), timeout_ms, cancel);
}

BlockTemplate parse_block_template(const json& result, bool txids_internal) {
    BlockTemplate t;
    t.version = read_integer<std::int32_t>(result.at("version"), "version");
    t.previousblockhash = parse_hash_hex(result.at("previousblockhash").get<std::string>());
    t.coinbasevalue = static_cast<std::uint64_t>(
        read_whole<std::int64_t>(result.at("coinbasevalue"), "coinbasevalue", 0));
    t.height = read_whole<std::int32_t>(result.at("height"), "height", 1);
    t.curtime = read_integer<std::uint32_t>(result.at("curtime"), "curtime");
    t.mintime = result.contains("mintime")
                    ? read_integer<std::uint32_t>(result.at("mintime"), "mintime")
                    : t.curtime;
    t.bits = parse_hex32(result.at("bits").get<std::string>(), "bits");

    const auto target = result.find("target");
    t.target = target != result.end() && target->is_string()
                   ? parse_hash_hex(target->get<std::string>())
                   : target_from_bits(t.bits);

    if (result.contains("longpollid")) t.longpollid = result.at("longpollid").get<std::string>();
    if (result.contains("workid")) result.at("workid").get<std::string>();  // type check only

    const auto rules = result.find("rules");
    if (rules != result.end()) check_required_rules(*rules);
    t.segwit = rules != result.end() && has_segwit_rule(*rules);

    const auto aux = result.find("coinbaseaux");
    if (aux != result.end() && aux->is_object()) {
        // Iteration follows the library's sorted key order, not the node's text.
        for (const auto& [key, value] : aux->items()) {
            if (value.is_string()) t.coinbaseaux.push_back(hex_decode(value.get<std::string>()));
        }
    }

    const auto commitment = result.find("default_witness_commitment");
    if (commitment != result.end() && commitment->is_string()) {
        t.default_witness_commitment = hex_decode(commitment->get<std::string>());
    }

    const auto range = result.find("noncerange");
    if (range != result.end() && range->is_string()) {
        const std::string& text = range->get_ref<const std::string&>();
        if (text.size() >= 16) {
            t.noncerange_min = parse_hex32(text.substr(0, 8), "noncerange minimum");
            t.noncerange_max = parse_hex32(text.substr(text.size() - 8), "noncerange maximum");
        }
    }
    if (t.noncerange_max < t.noncerange_min) fail("GBT noncerange minimum is greater than maximum");

    const auto txs = result.find("transactions");
    if (txs != result.end() && txs->is_array()) {
        t.transactions.reserve(txs->size());
        for (const json& entry : *txs)
            t.transactions.push_back(read_transaction(entry, txids_internal));
    }
    return t;
}

json submit_block(const RpcClient& client, const std::string& block_hex,
                  std::int64_t fallback_timeout_ms) {
    // A submission carries a found block: it must end, in an answer or in a
    // failure the caller can retry, even when other calls may wait forever.
    const std::int64_t timeout_ms =
        client.timeout_ms() > 0 ? client.timeout_ms() : fallback_timeout_ms;
    return client.call("submitblock", json::array({block_hex}), timeout_ms, nullptr);
}

}  // namespace qvn
