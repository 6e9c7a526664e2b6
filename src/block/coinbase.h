// The coinbase transaction: its scriptSig, the witness decision and commitment,
// and its two serializations (stripped for the txid, full for the block).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "block/bytes.h"
#include "block/payout.h"
#include "block/template.h"

namespace qvn {

// Consensus limit on the coinbase scriptSig.
inline constexpr std::size_t kMaxScriptSigSize = 100;

// Height (BIP 34), the template's aux bytes, an 8-byte extranonce push and the
// tag push (left out when the tag is empty). Fails above 100 bytes.
Bytes build_script_sig(const BlockTemplate& tmpl, std::uint64_t extranonce, const std::string& tag);

// Whether the coinbase needs a BIP 141 witness and commitment output: the node
// gave a commitment, asked for segwit, or sent a transaction whose wtxid is not its txid.
bool coinbase_has_witness(const BlockTemplate& tmpl);

// The node's default_witness_commitment as given, else OP_RETURN with the
// commitment to the witness merkle root computed here.
Bytes witness_commitment_script(const BlockTemplate& tmpl);

// One serialization of the coinbase. with_witness adds the commitment output,
// and, unless stripped, the marker, flag and the 32-zero-byte witness.
Bytes build_coinbase(const BlockTemplate& tmpl, const std::vector<TxOutput>& outputs,
                     const Bytes& script_sig, bool with_witness, bool stripped);

}  // namespace qvn
