// What an output script pays to, read as a wallet reads it, and what an
// operator must hear about it before any block pays there.
#pragma once

#include <string>

#include "block/bytes.h"

namespace qvn {

enum class ScriptKind {
    pubkey_hash,             // P2PKH
    script_hash,             // P2SH
    witness_v0_key_hash,     // P2WPKH
    witness_v0_script_hash,  // P2WSH
    witness_v1_taproot,      // P2TR
    witness_other,           // any other witness version or program length
    pubkey,                  // bare public key and OP_CHECKSIG
    multisig,                // bare m-of-n OP_CHECKMULTISIG, n at most 3
    null_data,               // OP_RETURN
    nonstandard,
};

// Why a payout is dangerous; none for a script that is plainly someone's.
enum class ScriptRisk { none, anyone_can_spend, nobody_can_spend, test_key, nonstandard };

struct ScriptFacts {
    ScriptKind kind = ScriptKind::nonstandard;
    std::string kind_text;  // "pay to public key hash", "bare multisig 1 of 2", ...
    ScriptRisk risk = ScriptRisk::none;
    std::string concern;  // with a risk: what is wrong, for the operator
};

ScriptFacts describe_script(const Bytes& script);

}  // namespace qvn
