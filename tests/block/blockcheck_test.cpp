// Whole candidate blocks judged by the independent Python block checker
// (tools/qvnnode/blockcheck.py), which shares no code with the C++ side.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "block/candidate.h"
#include "block/text.h"
#include "block_fixtures.h"

namespace qvn {
namespace {

namespace fs = std::filesystem;
using block_test::basic_template;
using block_test::ref_merkle_root;
using block_test::ref_sha256d;
using block_test::synthetic_tx;

std::string env_or(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct CheckResult {
    int status = -1;
    std::string out;
    std::string err;
};

// A fresh directory per test, removed afterwards.
class BlockCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("qvn-blockcheck-" + std::to_string(::getpid()) + "-" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    CheckResult run_checker(const Bytes& block, const nlohmann::json& expected) {
        std::ofstream(dir_ / "block.hex") << hex_encode(block) << "\n";
        std::ofstream(dir_ / "facts.json") << expected.dump(2) << "\n";
        const std::string tools =
            env_or("QVN_TOOLS", (fs::path(__FILE__).parent_path() / "../../tools").string());
        const std::string command =
            "PYTHONPATH='" + tools + "' '" + env_or("PYTHON", "python3") +
            "' -m qvnnode.blockcheck --expect '" + (dir_ / "facts.json").string() + "' '" +
            (dir_ / "block.hex").string() + "' >'" + (dir_ / "out.txt").string() + "' 2>'" +
            (dir_ / "err.txt").string() + "'";
        CheckResult result;
        const int raw = std::system(command.c_str());
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        result.out = read_file(dir_ / "out.txt");
        result.err = read_file(dir_ / "err.txt");
        return result;
    }

    fs::path dir_;
};

std::string hex32(std::uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

// Everything the block must show, taken from the template and the build
// inputs, with transaction ids from the reference hash.
nlohmann::json facts(const BlockTemplate& t, const Candidate& c, std::uint32_t nonce,
                     const std::string& tag, const nlohmann::json& outputs, bool witness) {
    nlohmann::json aux = nlohmann::json::array();
    for (const Bytes& a : t.coinbaseaux) aux.push_back(hex_encode(a));
    nlohmann::json txs = nlohmann::json::array();
    for (const TemplateTx& tx : t.transactions) {
        txs.push_back({{"data", hex_encode(tx.data)},
                       {"txid", hash_to_hex(tx.txid)},
                       {"hash", hash_to_hex(tx.hash)}});
    }
    return {{"version", t.version},
            {"previousblockhash", hash_to_hex(t.previousblockhash)},
            {"bits", hex32(t.bits)},
            {"time", c.time},
            {"curtime", t.curtime},
            {"mintime", t.mintime},
            {"nonce", nonce},
            {"height", t.height},
            {"coinbaseaux", aux},
            {"extranonce", c.extranonce},
            {"tag_hex", hex_encode(Bytes(tag.begin(), tag.end()))},
            {"cb_version", 2},
            {"cb_sequence", 0xFFFFFFFFu},
            {"cb_locktime", 0},
            {"coinbasevalue", t.coinbasevalue},
            {"outputs", outputs},
            {"witness", witness},
            {"default_witness_commitment", hex_encode(t.default_witness_commitment)},
            {"transactions", txs},
            {"tx_count", 1 + t.transactions.size()}};
}

nlohmann::json single_output(std::uint64_t value) {
    return nlohmann::json::array({{{"value", value}, {"script", "51"}}});
}

// n template transactions, every third one witness-serialized.
std::vector<TemplateTx> mixed_transactions(std::size_t n) {
    std::vector<TemplateTx> txs;
    for (std::size_t i = 0; i < n; ++i) {
        txs.push_back(synthetic_tx(static_cast<std::uint32_t>(i + 1), i % 3 == 1));
    }
    return txs;
}

// The commitment script a node would send, computed with the reference hash.
Bytes node_commitment(const std::vector<TemplateTx>& txs) {
    std::vector<Hash32> leaves = {Hash32{}};
    for (const TemplateTx& tx : txs) leaves.push_back(tx.hash);
    const Hash32 root = ref_merkle_root(leaves);
    Bytes input(root.begin(), root.end());
    input.resize(64, 0);
    const Hash32 commitment = ref_sha256d(input);
    Bytes script = hex_decode("6a24aa21a9ed");
    script.insert(script.end(), commitment.begin(), commitment.end());
    return script;
}

TEST_F(BlockCheck, TemplateShapesPass) {
    struct Case {
        std::string name;
        std::vector<TemplateTx> txs;
        bool segwit_rule;
        bool node_commitment;
        bool witness;
    };
    const std::vector<Case> cases = {
        {"no transactions", {}, false, false, false},
        {"no transactions, segwit rule", {}, true, false, true},
        {"legacy transactions only",
         {synthetic_tx(10, false), synthetic_tx(11, false)},
         false,
         false,
         false},
        {"witness transactions, no commitment given", mixed_transactions(5), false, false, true},
        {"default_witness_commitment given", mixed_transactions(6), true, true, true},
    };
    for (const Case& c : cases) {
        BlockTemplate t = basic_template();
        t.segwit = c.segwit_rule;
        t.transactions = c.txs;
        if (c.node_commitment) t.default_witness_commitment = node_commitment(t.transactions);
        const Candidate candidate = build_candidate(t, {parse_payout("51")}, 3, "/qvncpu/");
        const std::uint32_t nonce = 0xDEADBEEF;
        const CheckResult r = run_checker(
            serialize_block(candidate, nonce),
            facts(t, candidate, nonce, "/qvncpu/", single_output(t.coinbasevalue), c.witness));
        EXPECT_EQ(r.status, 0) << c.name << "\n" << r.err;
    }
}

TEST_F(BlockCheck, TransactionCountsAtEveryTreeShape) {
    for (std::size_t n : {1, 2, 3, 5, 6, 7, 11, 13, 300}) {
        BlockTemplate t = basic_template();
        t.segwit = true;
        t.transactions = mixed_transactions(n);
        const Candidate candidate = build_candidate(t, {parse_payout("51")}, n, "");
        const CheckResult r = run_checker(serialize_block(candidate, static_cast<std::uint32_t>(n)),
                                          facts(t, candidate, static_cast<std::uint32_t>(n), "",
                                                single_output(t.coinbasevalue), true));
        EXPECT_EQ(r.status, 0) << n << " transactions\n" << r.err;
    }
}

TEST_F(BlockCheck, FullScriptSigSmallHeightsAndSeveralPayouts) {
    struct Case {
        std::int32_t height;
        std::string tag;
    };
    const std::vector<Case> cases = {
        {0, std::string(85, 'q')}, {1, "/qvncpu/"}, {16, "/qvncpu/"}, {17, ""}, {128, "x"},
        {2147483647, "/qvncpu/"}};
    for (const Case& c : cases) {
        BlockTemplate t = basic_template();
        t.height = c.height;
        t.coinbasevalue = 312500001;
        if (c.tag.size() < 80) t.coinbaseaux = {hex_decode("0badc0de"), hex_decode("ff")};
        t.transactions = mixed_transactions(3);
        const std::vector<Payout> payouts = {parse_payout("0014" + std::string(40, '1') + "@3"),
                                             parse_payout("51:1000"), parse_payout("52@1")};
        const nlohmann::json outputs = nlohmann::json::array(
            {{{"value", 234374250}, {"script", "0014" + std::string(40, '1')}},
             {{"value", 1000}, {"script", "51"}},
             {{"value", 78124751}, {"script", "52"}}});
        const Candidate candidate = build_candidate(t, payouts, 0xFEDCBA9876543210ULL, c.tag);
        const CheckResult r = run_checker(serialize_block(candidate, 0),
                                          facts(t, candidate, 0, c.tag, outputs, true));
        EXPECT_EQ(r.status, 0) << "height " << c.height << "\n" << r.err;
    }
}

TEST_F(BlockCheck, CorruptedBlocksFail) {
    BlockTemplate t = basic_template();
    t.segwit = true;
    t.transactions = mixed_transactions(4);
    const Candidate candidate = build_candidate(t, {parse_payout("51")}, 9, "/qvncpu/");
    const nlohmann::json expected =
        facts(t, candidate, 77, "/qvncpu/", single_output(t.coinbasevalue), true);
    const Bytes good = serialize_block(candidate, 77);
    ASSERT_EQ(run_checker(good, expected).status, 0);

    const std::size_t coinbase_end = 81 + candidate.coinbase.size();
    const struct {
        const char* name;
        std::size_t offset;
        const char* reason;
    } cases[] = {
        {"merkle root byte", 40, "bad-txnmrklroot"},
        {"commitment byte", coinbase_end - 4 - 34 - 1, "bad-witness-merkle-match"},
        {"nonce byte", 77, "bad-nonce"},
        // Inside the signature in the witness of the second template transaction.
        {"witness byte", coinbase_end + t.transactions[0].data.size() + 100,
         "bad-witness-merkle-match"},
    };
    for (const auto& c : cases) {
        Bytes bad = good;
        bad[c.offset] ^= 0x01;
        const CheckResult r = run_checker(bad, expected);
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << c.name << "\n" << r.err;
    }
}

}  // namespace
}  // namespace qvn
