#include "driver/payout_check.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace qvn {
namespace {

// Every kind, and every way a payout can cost a block: on the main chain a
// risky payout refuses the run, on any other it is a warning.
TEST(PayoutCheck, KindsRisksAndRefusals) {
    const std::string h20 = "29ffffa7f0b05d0499b6c63e0c0326b6298e7cfd";
    const std::string h32 = h20 + "0123456789abcdef01234567";
    const std::string key = "03" + h32;
    const std::string g = "0279be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798";
    constexpr ScriptRisk safe = ScriptRisk::none, anyone = ScriptRisk::anyone_can_spend,
                         nobody = ScriptRisk::nobody_can_spend, test_key = ScriptRisk::test_key,
                         odd = ScriptRisk::nonstandard;
    struct Row {
        std::string hex;
        std::string kind;
        ScriptRisk risk;
    };
    const Row rows[] = {
        {"76a914" + h20 + "88ac", "pay to public key hash", safe},
        {"a914" + h20 + "87", "pay to script hash", safe},
        {"0014" + h20, "witness v0 key hash", safe},
        {"0020" + h32, "witness v0 script hash", safe},
        {"5120" + h32, "witness v1 taproot", safe},
        {"21" + key + "ac", "bare public key", safe},
        {"5121" + key + "21" + key + "52ae", "bare multisig 1 of 2", safe},
        {"5228" + h32 + "0011223344556677", "witness v2", anyone},
        {"0015" + h20 + "00", "witness v0", nobody},
        {"6a04deadbeef", "OP_RETURN", nobody},
        {"51", "non-standard", anyone},
        {"0401020304", "non-standard", anyone},
        {"a914da1745e9b549bd0bfa1a569971c77eba30cd5a4b87", "pay to script hash", anyone},
        {"0514aabb", "non-standard", nobody},  // truncated push
        {"4d0100", "non-standard", nobody},    // length cut short
        {"0014751e76e8199196d454941c45d1b3a323f1433bd6", "witness v0 key hash", test_key},
        {"76a914751e76e8199196d454941c45d1b3a323f1433bd688ac", "pay to public key hash", test_key},
        {"21" + g + "ac", "bare public key", test_key},
        {"5120" + g.substr(2), "witness v1 taproot", test_key},
        {"76a91400112233445566778899aabbccddeeff0011223388ac", "pay to public key hash", nobody},
        {g, "non-standard", odd},    // "pubkey" pasted
        {h20, "non-standard", odd},  // "witness_program"
        {"76a914" + h20 + "88ad", "non-standard", odd},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.hex);
        const Payout payout = parse_payout(row.hex);
        const ScriptFacts facts = describe_script(payout.script);
        EXPECT_EQ(facts.kind_text, row.kind);
        EXPECT_EQ(facts.risk, row.risk);
        EXPECT_EQ(facts.concern.empty(), row.risk == safe);
        // Each concern says in its own words what is wrong.
        const std::map<ScriptRisk, std::string> says = {{safe, ""},
                                                        {anyone, "anyone can spend"},
                                                        {nobody, "nobody"},
                                                        {test_key, "test key"},
                                                        {odd, "\"scriptPubKey\""}};
        EXPECT_NE(facts.concern.find(says.at(row.risk)), std::string::npos) << facts.concern;
        // A safe payout beside it changes nothing; the risky one is named.
        const std::vector<Payout> payouts = {parse_payout("0014" + h20), payout};
        const std::string refusal = payout_refusal(payouts, "main");
        EXPECT_EQ(refusal.empty(), row.risk == ScriptRisk::none);
        if (!refusal.empty()) {
            EXPECT_EQ(refusal.rfind("payout 2 (" + row.hex + ") ", 0), 0u) << refusal;
        }
        EXPECT_EQ(payout_refusal(payouts, "test"), "");
        EXPECT_EQ(payout_refusal(payouts, ""), "");
    }
}

TEST(PayoutCheck, LinesShowEachShareOfTheReward) {
    const std::vector<Payout> payouts = {parse_payout("51@3"), parse_payout("52@1")};
    const std::vector<std::string> shares = payout_shares(payouts, 312500001);
    EXPECT_EQ(payout_line(1, payouts[0], describe_script(payouts[0].script), "addr", shares[0]),
              "[payout] 1: 51 (non-standard, address addr): 75.00% of the reward, 234375000 of "
              "312500001 sats now");
    EXPECT_EQ(shares[1], "25.00% of the reward, 78125001 of 312500001 sats now");
    EXPECT_EQ(
        payout_shares({parse_payout("51:2")}, 1)[0],
        "the reward cannot be split: absolute payout sum exceeds coinbasevalue from template");
}

}  // namespace
}  // namespace qvn
