// --payout values and the split of the coinbase value among them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "block/bytes.h"

namespace qvn {

struct Payout {
    Bytes script;            // scriptPubKey, 1 to 10000 bytes
    std::uint64_t sats = 0;  // meaningful only when absolute
    bool absolute = false;   // SCRIPT:SATS
    double weight = 0.0;     // 1 for SCRIPT, the weight for SCRIPT@WEIGHT, 0 for SCRIPT:SATS
};

struct TxOutput {
    std::uint64_t value = 0;
    Bytes script;
};

// Parses SCRIPT, SCRIPT@WEIGHT or SCRIPT:SATS.
Payout parse_payout(const std::string& text);

// One output per payout, in payout order, summing to coinbasevalue exactly:
// absolute amounts first, the rest by weight, the last weighted payout (or
// else the first payout) absorbing every remainder.
std::vector<TxOutput> split_payouts(const std::vector<Payout>& payouts,
                                    std::uint64_t coinbasevalue);

}  // namespace qvn
