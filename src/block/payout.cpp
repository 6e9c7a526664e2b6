#include "block/payout.h"

#include <cmath>
#include <limits>

#include "block/text.h"

namespace qvn {
namespace {

constexpr std::size_t kMaxScriptSize = 10000;

// One split entry; weights and shares are held in x86 80-bit extended precision.
struct SplitEntry {
    std::uint64_t amount = 0;
    bool weighted = false;
    long double weight = 0.0L;
};

// floor(r * w / total), clamped into 64 bits before the conversion.
std::uint64_t weighted_share(std::uint64_t r, long double w, long double total) {
    const long double share = std::floor(static_cast<long double>(r) * w / total);
    if (!(share > 0.0L)) return 0;
    constexpr long double kTwoTo64 = 18446744073709551616.0L;
    if (share >= kTwoTo64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(share);
}

}  // namespace

Payout parse_payout(const std::string& text) {
    Payout payout;
    std::string script_part;
    if (const auto at = text.rfind('@'); at != std::string::npos) {
        script_part = text.substr(0, at);
        payout.weight = parse_number(text.substr(at + 1), "payout weight");
        // An infinite weight would make every share not-a-number.
        if (!(payout.weight > 0.0) || std::isinf(payout.weight)) {
            fail("payout weight must be positive: " + text);
        }
    } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        script_part = text.substr(0, colon);
        payout.sats = parse_u64(text.substr(colon + 1), "payout satoshis");
        payout.absolute = true;
    } else {
        script_part = text;
        payout.weight = 1.0;
    }
    payout.script = hex_decode(script_part);
    if (payout.script.empty()) fail("empty scriptPubKey in payout: " + text);
    if (payout.script.size() > kMaxScriptSize) {
        fail("unreasonably large scriptPubKey in payout: " + text);
    }
    return payout;
}

std::vector<TxOutput> split_payouts(const std::vector<Payout>& payouts,
                                    std::uint64_t coinbasevalue) {
    if (payouts.empty()) fail("at least one --payout raw scriptPubKey is required");

    std::vector<SplitEntry> entries;
    entries.reserve(payouts.size());
    std::uint64_t absolute_sum = 0;
    for (const Payout& p : payouts) {
        if (p.absolute) {
            entries.push_back({p.sats, false, 0.0L});
            if (absolute_sum + p.sats < absolute_sum) fail("absolute payout sum overflow");
            absolute_sum += p.sats;
        } else {
            entries.push_back({0, true, p.weight > 0.0 ? p.weight : 1.0L});
        }
    }
    if (absolute_sum > coinbasevalue) {
        fail("absolute payout sum exceeds coinbasevalue from template");
    }

    const std::uint64_t remainder = coinbasevalue - absolute_sum;
    long double total_weight = 0.0L;
    std::size_t last = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].weighted) continue;
        total_weight += entries[i].weight;
        last = i;
    }

    if (total_weight > 0.0L) {
        std::uint64_t allocated = 0;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (!entries[i].weighted) continue;
            const std::uint64_t left = remainder - allocated;
            const std::uint64_t amount =
                i == last
                    ? left
                    : std::min(weighted_share(remainder, entries[i].weight, total_weight), left);
            entries[i].amount = amount;
            allocated += amount;
        }
    } else if (remainder > 0) {
        entries.front().amount += remainder;
    }

    std::vector<TxOutput> outputs;
    outputs.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        outputs.push_back({entries[i].amount, payouts[i].script});
    }
    return outputs;
}

}  // namespace qvn
