#include "block/script_kind.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "block/text.h"

namespace qvn {
namespace {

constexpr std::uint8_t kOp0 = 0x00;
constexpr std::uint8_t kOpPushData1 = 0x4c;
constexpr std::uint8_t kOpPushData2 = 0x4d;
constexpr std::uint8_t kOpPushData4 = 0x4e;
constexpr std::uint8_t kOp1 = 0x51;
constexpr std::uint8_t kOp16 = 0x60;
constexpr std::uint8_t kOpReturn = 0x6a;
constexpr std::uint8_t kOpDup = 0x76;
constexpr std::uint8_t kOpEqual = 0x87;
constexpr std::uint8_t kOpEqualVerify = 0x88;
constexpr std::uint8_t kOpHash160 = 0xa9;
constexpr std::uint8_t kOpCheckSig = 0xac;
constexpr std::uint8_t kOpCheckMultiSig = 0xae;

// Keys and hashes printed in test vectors and tutorials: whoever reads them
// can spend what they receive. All belong to the key whose private key is 1.
constexpr std::array<std::string_view, 7> kTestKeyPrograms = {
    // the public key, compressed and uncompressed, and as a taproot output key
    "0279be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798",
    "0479be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798"
    "483ada7726a3c4655da4fbfc0e1108a8fd17b448a68554199c47d08ffb10d4b8",
    "79be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798",
    // HASH160 of either public key
    "751e76e8199196d454941c45d1b3a323f1433bd6",
    "91b24bf9f5288532960ac687abb035127b1d28a5",
    // P2SH of P2WPKH of the compressed key
    "bcfeb728b584253d5f3f70bcb780e9ef218a68f4",
    // SHA-256 of "<key> OP_CHECKSIG", the P2WSH test vector of bech32
    "1863143c14c5166804bd19203356da136c985678cd4d27a1b8c6329604903262",
};

// The key hashes of the usage text's examples: nobody holds their keys.
constexpr std::array<std::string_view, 3> kExampleHashes = {
    "00112233445566778899aabbccddeeff00112233",
    "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
    "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb",
};

// HASH160 and SHA-256 of the script "OP_TRUE": P2SH and P2WSH outputs that
// anyone can spend.
constexpr std::array<std::string_view, 2> kAnyoneCanSpendHashes = {
    "da1745e9b549bd0bfa1a569971c77eba30cd5a4b",
    "4ae81572f06e1b88fd5ced7a1a000945432e83e1551e6f721ee9c00b8cc33260",
};

template <std::size_t N>
bool listed(const std::array<std::string_view, N>& list, const std::string& hex) {
    for (std::string_view entry : list) {
        if (entry == hex) return true;
    }
    return false;
}

// One operation of a script: its opcode and, for a push, what it pushes.
struct Op {
    std::uint8_t opcode = 0;
    Bytes data;
};

// The script's operations, or nothing when a push runs past its end.
std::optional<std::vector<Op>> parse_ops(const Bytes& script) {
    std::vector<Op> ops;
    std::size_t at = 0;
    while (at < script.size()) {
        Op op{script[at++], {}};
        std::size_t length = 0;
        std::size_t length_bytes = 0;
        if (op.opcode > kOp0 && op.opcode < kOpPushData1) {
            length = op.opcode;
        } else if (op.opcode == kOpPushData1) {
            length_bytes = 1;
        } else if (op.opcode == kOpPushData2) {
            length_bytes = 2;
        } else if (op.opcode == kOpPushData4) {
            length_bytes = 4;
        }
        if (script.size() - at < length_bytes) return std::nullopt;
        for (std::size_t i = 0; i < length_bytes; ++i)
            length |= std::size_t{script[at++]} << (8 * i);
        if (script.size() - at < length) return std::nullopt;
        op.data.assign(script.begin() + static_cast<std::ptrdiff_t>(at),
                       script.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
        ops.push_back(std::move(op));
    }
    return ops;
}

bool is_small_number(std::uint8_t opcode) { return opcode >= kOp1 && opcode <= kOp16; }
int small_number(std::uint8_t opcode) { return opcode - kOp1 + 1; }

bool is_public_key(const Bytes& data) {
    return (data.size() == 33 && (data[0] == 0x02 || data[0] == 0x03)) ||
           (data.size() == 65 && data[0] == 0x04);
}

bool checks_a_signature(const std::vector<Op>& ops) {
    for (const Op& op : ops) {
        // OP_CHECKSIG, OP_CHECKSIGVERIFY, OP_CHECKMULTISIG(VERIFY), OP_CHECKSIGADD
        if ((op.opcode >= kOpCheckSig && op.opcode <= 0xaf) || op.opcode == 0xba) return true;
    }
    return false;
}

ScriptFacts facts(std::string kind_text) { return {std::move(kind_text), {}, {}}; }

ScriptFacts& warn(ScriptFacts& f, ScriptRisk risk, std::string concern) {
    f.risk = risk;
    f.concern = std::move(concern);
    return f;
}

// The usual risks of a hash or key a standard script pays to.
void judge_program(ScriptFacts& f, const Bytes& program) {
    const std::string hex = hex_encode(program);
    if (listed(kTestKeyPrograms, hex)) {
        warn(f, ScriptRisk::test_key,
             "pays a well-known test key (the one whose private key is 1): anyone can spend it");
    } else if (listed(kExampleHashes, hex)) {
        warn(f, ScriptRisk::nobody_can_spend,
             "pays an example hash of qvncpu --help: nobody holds its key");
    } else if (listed(kAnyoneCanSpendHashes, hex)) {
        warn(f, ScriptRisk::anyone_can_spend,
             "pays the hash of a script that checks no signature: anyone can spend it");
    }
}

std::optional<ScriptFacts> witness_facts(const std::vector<Op>& ops) {
    if (ops.size() != 2 || !(ops[0].opcode == kOp0 || is_small_number(ops[0].opcode))) {
        return std::nullopt;
    }
    const Bytes& program = ops[1].data;
    if (ops[1].opcode < 2 || ops[1].opcode > 40 || program.size() < 2) return std::nullopt;
    const int version = ops[0].opcode == kOp0 ? 0 : small_number(ops[0].opcode);
    ScriptFacts f;
    if (version == 0 && program.size() == 20) {
        f = facts("witness v0 key hash");
    } else if (version == 0 && program.size() == 32) {
        f = facts("witness v0 script hash");
    } else if (version == 0) {
        f = facts("witness v0");
        return warn(f, ScriptRisk::nobody_can_spend,
                    "is a witness v0 program of neither 20 nor 32 bytes: nobody can spend it");
    } else if (version == 1 && program.size() == 32) {
        f = facts("witness v1 taproot");
    } else {
        f = facts("witness v" + std::to_string(version));
        return warn(f, ScriptRisk::anyone_can_spend,
                    "is a witness program that no rule of the chain guards yet: anyone can spend "
                    "it");
    }
    judge_program(f, program);
    return f;
}

std::optional<ScriptFacts> hash_facts(const Bytes& s, const std::vector<Op>& ops) {
    ScriptFacts f;
    if (s.size() == 25 && s[0] == kOpDup && s[1] == kOpHash160 && s[2] == 20 &&
        s[23] == kOpEqualVerify && s[24] == kOpCheckSig) {
        f = facts("pay to public key hash");
    } else if (s.size() == 23 && s[0] == kOpHash160 && s[1] == 20 && s[22] == kOpEqual) {
        f = facts("pay to script hash");
    } else {
        return std::nullopt;
    }
    judge_program(f, ops[ops.size() == 5 ? 2 : 1].data);
    return f;
}

std::optional<ScriptFacts> key_facts(const std::vector<Op>& ops) {
    const Op& last = ops.back();
    if (ops.size() == 2 && last.opcode == kOpCheckSig && is_public_key(ops[0].data)) {
        ScriptFacts f = facts("bare public key");
        judge_program(f, ops[0].data);
        return f;
    }
    if (ops.size() < 4 || last.opcode != kOpCheckMultiSig) return std::nullopt;
    const std::uint8_t m = ops.front().opcode;
    const std::uint8_t n = ops[ops.size() - 2].opcode;
    if (!is_small_number(m) || !is_small_number(n)) return std::nullopt;
    const int keys = small_number(n);
    if (keys > 3 || small_number(m) > keys || static_cast<int>(ops.size()) != keys + 3) {
        return std::nullopt;
    }
    ScriptFacts f =
        facts("bare multisig " + std::to_string(small_number(m)) + " of " + std::to_string(keys));
    for (int i = 1; i <= keys; ++i) {
        if (!is_public_key(ops[static_cast<std::size_t>(i)].data)) return std::nullopt;
        if (f.risk == ScriptRisk::none) judge_program(f, ops[static_cast<std::size_t>(i)].data);
    }
    return f;
}

// What a value pasted from the wrong field of the node's answer looks like.
std::string what_was_pasted(const Bytes& script) {
    if (is_public_key(script)) return "is a public key (\"pubkey\"), not an output script";
    if (script.size() == 20 || script.size() == 32) {
        return "is " + std::to_string(script.size()) +
               " bytes, a key or script hash alone (\"witness_program\"), not an output script";
    }
    return "";
}

}  // namespace

ScriptFacts describe_script(const Bytes& script) {
    ScriptFacts f = facts("non-standard");
    if (const std::string pasted = what_was_pasted(script); !pasted.empty()) {
        return warn(f, ScriptRisk::nonstandard, pasted + ": the field to take is \"scriptPubKey\"");
    }
    if (!script.empty() && script[0] == kOpReturn) {
        f = facts("OP_RETURN");
        return warn(f, ScriptRisk::nobody_can_spend, "is an OP_RETURN output: nobody can spend it");
    }
    const std::optional<std::vector<Op>> ops = parse_ops(script);
    if (!ops || ops->empty()) {
        return warn(f, ScriptRisk::nobody_can_spend,
                    "does not parse as a script (a push runs past its end): nobody can spend it");
    }
    if (std::optional<ScriptFacts> found = hash_facts(script, *ops)) return *found;
    if (std::optional<ScriptFacts> found = witness_facts(*ops)) return *found;
    if (std::optional<ScriptFacts> found = key_facts(*ops)) return *found;
    // Pushes alone, "OP_TRUE" among them, are the common case of this.
    if (!checks_a_signature(*ops)) {
        return warn(f, ScriptRisk::anyone_can_spend, "checks no signature: anyone can spend it");
    }
    return warn(f, ScriptRisk::nonstandard,
                "is not a standard script: check that it is your address's \"scriptPubKey\"");
}

}  // namespace qvn
