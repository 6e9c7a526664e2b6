// What an output script pays to, read as a wallet reads it, and what an
// operator must hear about it before any block pays there.
#pragma once

#include <string>

#include "block/bytes.h"

namespace qvn {

// Why a payout is dangerous; none for a script that is plainly someone's.
enum class ScriptRisk { none, anyone_can_spend, nobody_can_spend, test_key, nonstandard };

struct ScriptFacts {
    // "pay to public key hash", "pay to script hash", "witness v0 key hash" or
    // "script hash", "witness v1 taproot", "witness vN" for any other witness
    // program, "bare public key", "bare multisig M of N" (N at most 3),
    // "OP_RETURN" or "non-standard"
    std::string kind_text;
    ScriptRisk risk = ScriptRisk::none;
    std::string concern;  // with a risk: what is wrong, for the operator
};

ScriptFacts describe_script(const Bytes& script);

}  // namespace qvn
