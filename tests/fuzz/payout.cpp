// Payout parsing and the split of coinbasevalue. Input: 8 bytes of
// coinbasevalue (little-endian), then payout texts separated by line feeds.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "block/payout.h"
#include "block/script_kind.h"
#include "fuzz_support.h"

namespace {

using qvn::fuzz::expect;
using qvn::fuzz::starts_with_any;

constexpr std::size_t kMaxPayouts = 32;

bool is_parse_message(const std::string& message) {
    return starts_with_any(
        message,
        {"payout weight must be positive: ", "empty scriptPubKey in payout: ",
         "unreasonably large scriptPubKey in payout: ", "empty number for payout weight",
         "invalid number for payout weight: ", "invalid trailing characters in payout weight: ",
         "empty integer for payout satoshis", "invalid integer for payout satoshis: ",
         "invalid trailing characters in payout satoshis: ", "hex string has odd length: ",
         "invalid hex string: "});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) return 0;
    std::uint64_t coinbasevalue = 0;
    for (int i = 7; i >= 0; --i) coinbasevalue = coinbasevalue << 8 | data[i];
    const std::vector<std::string> texts =
        qvn::fuzz::split(qvn::fuzz::as_text(data + 8, size - 8), '\n');
    if (texts.size() > kMaxPayouts) return 0;

    std::vector<qvn::Payout> payouts;
    for (const std::string& text : texts) {
        try {
            payouts.push_back(qvn::parse_payout(text));
        } catch (const std::runtime_error& e) {
            expect(is_parse_message(e.what()), "parse_payout fails with a documented message");
            continue;
        }
        const qvn::Payout& p = payouts.back();
        expect(!p.script.empty() && p.script.size() <= 10000, "script of 1 to 10000 bytes");
        expect(p.absolute ? p.weight == 0.0 : p.weight > 0.0 && std::isfinite(p.weight),
               "absolute payouts weigh 0, the others a positive finite weight");
        // Any script is read to its end or found cut short, never past it.
        const qvn::ScriptFacts facts = qvn::describe_script(p.script);
        expect(!facts.kind_text.empty() &&
                   facts.concern.empty() == (facts.risk == qvn::ScriptRisk::none),
               "every script gets a kind, and a concern exactly when it is risky");
    }

    // The expected outcome, worked out in 128 bits.
    unsigned __int128 absolute_sum = 0;
    bool any_weighted = false;
    for (const qvn::Payout& p : payouts) {
        if (p.absolute) absolute_sum += p.sats;
        any_weighted = any_weighted || !p.absolute;
    }
    const bool overflow = absolute_sum > UINT64_MAX;

    std::vector<qvn::TxOutput> outputs;
    try {
        outputs = qvn::split_payouts(payouts, coinbasevalue);
    } catch (const std::runtime_error& e) {
        const std::string message = e.what();
        if (payouts.empty()) {
            expect(message == "at least one --payout raw scriptPubKey is required",
                   "no payouts: the missing-payout message");
        } else if (overflow) {
            expect(message == "absolute payout sum overflow", "overflow reported as such");
        } else {
            expect(absolute_sum > coinbasevalue &&
                       message == "absolute payout sum exceeds coinbasevalue from template",
                   "split fails only when the absolute payouts exceed coinbasevalue");
        }
        return 0;
    }
    expect(!payouts.empty() && !overflow && absolute_sum <= coinbasevalue,
           "split succeeds only when it should");
    expect(outputs.size() == payouts.size(), "one output per payout");

    const std::uint64_t remainder = coinbasevalue - static_cast<std::uint64_t>(absolute_sum);
    unsigned __int128 total = 0;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const qvn::Payout& p = payouts[i];
        expect(outputs[i].script == p.script, "outputs in payout order");
        total += outputs[i].value;
        if (!p.absolute) {
            expect(outputs[i].value <= remainder, "a weighted share within the remainder");
        } else if (i == 0 && !any_weighted) {
            expect(outputs[i].value == p.sats + remainder, "the first payout takes the rest");
        } else {
            expect(outputs[i].value == p.sats, "absolute amounts exact");
        }
    }
    expect(total == coinbasevalue, "outputs add up to coinbasevalue exactly");
    return 0;
}
