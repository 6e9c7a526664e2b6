// getblocktemplate requests, template parsing and submitblock.
#include "rpc/block_template.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <vector>

#include "rpc/client.h"
#include "rpc/node_double.h"
#include "test_support/errors.h"

namespace qvn {
namespace {

using json = nlohmann::json;

const std::string kPrev = "000000000000000000000000000000000000000000000000000000000000abcd";

json minimal_template() {
    return {{"version", 536870912}, {"previousblockhash", kPrev}, {"coinbasevalue", 5000000000ULL},
            {"height", 840000},     {"curtime", 1700000000},      {"bits", "1d00ffff"}};
}

json with(json base, const std::string& key, json value) {
    base[key] = std::move(value);
    return base;
}

using test_support::error_of;

std::string parse_error(const json& result, bool txids_internal = false) {
    return error_of([&] { parse_block_template(result, txids_internal); });
}

// A 32-byte hash given by its non-zero bytes (index -> value).
Hash32 bytes_at(const std::map<int, std::uint8_t>& nonzero) {
    Hash32 hash{};
    for (const auto& [index, value] : nonzero) hash[index] = value;
    return hash;
}

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

TEST(ParseBlockTemplate, ReadsMinimalTemplate) {
    const BlockTemplate t = parse_block_template(minimal_template(), false);
    EXPECT_EQ(t.version, 536870912);
    EXPECT_EQ(t.previousblockhash, bytes_at({{0, 0xcd}, {1, 0xab}}));  // display order reversed
    EXPECT_EQ(t.coinbasevalue, 5000000000ULL);
    EXPECT_EQ(t.height, 840000);
    EXPECT_EQ(t.curtime, 1700000000u);
    EXPECT_EQ(t.mintime, 1700000000u);  // copied from curtime
    EXPECT_EQ(t.bits, 0x1d00ffffu);
    EXPECT_EQ(t.target, bytes_at({{26, 0xff}, {27, 0xff}}));
    EXPECT_EQ(t.noncerange_min, 0u);
    EXPECT_EQ(t.noncerange_max, 0xFFFFFFFFu);
    EXPECT_FALSE(t.segwit);
    EXPECT_EQ(t.longpollid, "");
    EXPECT_TRUE(t.coinbaseaux.empty());
    EXPECT_TRUE(t.transactions.empty());
    EXPECT_TRUE(t.default_witness_commitment.empty());
}

TEST(ParseBlockTemplate, MissingRequiredKey) {
    for (const std::string key :
         {"version", "previousblockhash", "coinbasevalue", "height", "curtime", "bits"}) {
        json result = minimal_template();
        result.erase(key);
        EXPECT_EQ(parse_error(result),
                  "[json.exception.out_of_range.403] key '" + key + "' not found");
    }
}

TEST(ParseBlockTemplate, TypeErrorsCarryTheLibrarysMessages) {
    const std::string number = "[json.exception.type_error.302] type must be number, but is ";
    const std::string string = "[json.exception.type_error.302] type must be string, but is ";
    const std::string at = "[json.exception.type_error.304] cannot use at() with ";
    const json tx = {{"data", "00"}, {"txid", repeat("11", 32)}};
    struct Case {
        json result;
        std::string message;
    };
    const std::vector<Case> cases = {
        {json::array(), at + "array"},
        {nullptr, at + "null"},
        {"template", at + "string"},
        {with(minimal_template(), "version", "2"), number + "string"},
        {with(minimal_template(), "previousblockhash", 5), string + "number"},
        {with(minimal_template(), "coinbasevalue", true), number + "boolean"},
        {with(minimal_template(), "coinbasevalue", "50"), number + "string"},
        {with(minimal_template(), "height", nullptr), number + "null"},
        {with(minimal_template(), "curtime", json::array()), number + "array"},
        {with(minimal_template(), "mintime", json::object()), number + "object"},
        {with(minimal_template(), "mintime", nullptr), number + "null"},
        {with(minimal_template(), "bits", 486604799), string + "number"},
        {with(minimal_template(), "longpollid", 7), string + "number"},
        {with(minimal_template(), "workid", false), string + "boolean"},
        {with(minimal_template(), "transactions", json::array({5})), at + "number"},
        {with(minimal_template(), "transactions", json::array({json::array()})), at + "array"},
        {with(minimal_template(), "transactions", json::array({with(tx, "data", 1)})),
         string + "number"},
        {with(minimal_template(), "transactions", json::array({with(tx, "txid", nullptr)})),
         string + "null"},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_error(c.result), c.message) << c.result.dump();

    json no_data = tx;
    no_data.erase("data");
    EXPECT_EQ(parse_error(with(minimal_template(), "transactions", json::array({no_data}))),
              "[json.exception.out_of_range.403] key 'data' not found");
    json no_txid = tx;
    no_txid.erase("txid");
    EXPECT_EQ(parse_error(with(minimal_template(), "transactions", json::array({no_txid}))),
              "[json.exception.out_of_range.403] key 'txid' not found");
}

TEST(ParseBlockTemplate, NumberConversions) {
    struct Case {
        std::string key;
        json value;
        std::int64_t expected;  // the field named by key, widened
    };
    const std::vector<Case> cases = {
        {"version", true, 1},
        {"version", 2.9, 2},
        {"version", -1.9, -1},
        {"version", 4294967295ULL, -1},
        {"height", 2147483647.0, 2147483647},
        {"curtime", false, 0},
        {"curtime", 4294967295ULL, 4294967295LL},
        {"mintime", 7.99, 7},
        {"coinbasevalue", 12.0, 12},
        {"coinbasevalue", 9223372036854775807ULL, 9223372036854775807LL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key + "=" + c.value.dump());
        const BlockTemplate t =
            parse_block_template(with(minimal_template(), c.key, c.value), false);
        const std::map<std::string, std::int64_t> fields = {
            {"version", t.version},
            {"height", t.height},
            {"curtime", t.curtime},
            {"mintime", t.mintime},
            {"coinbasevalue", static_cast<std::int64_t>(t.coinbasevalue)},
        };
        EXPECT_EQ(fields.at(c.key), c.expected);
    }
}

TEST(ParseBlockTemplate, FloatsOutsideTheFieldAreRefused) {
    struct Case {
        std::string key;
        json value;
        std::string shown;
    };
    const std::string amount =
        "GBT coinbasevalue must be a whole number from 0 to "
        "9223372036854775807, got: ";
    const std::string height = "GBT height must be a whole number from 1 to 2147483647, got: ";
    const std::vector<Case> cases = {
        {"coinbasevalue", 1e30, amount + "1e+30"},
        {"coinbasevalue", -1.5, amount + "-1.5"},
        {"coinbasevalue", -1, amount + "-1"},
        {"coinbasevalue", 9223372036854775808ULL, amount + "9223372036854775808"},
        {"coinbasevalue", 5000000000.7, amount + "5000000000.7"},
        {"height", -1, height + "-1"},
        {"height", 4294967301LL, height + "4294967301"},
        {"height", 2147483648.0, height + "2147483648.0"},
        {"rules", json::array({"segwit", "!segwit", "!futurerule"}),
         "GBT template requires a rule this miner does not know: !futurerule"},
        {"version", 2147483648.0, "number out of range for version: 2147483648.0"},
        {"mintime", -1.0, "number out of range for mintime: -1.0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_error(with(minimal_template(), c.key, c.value)), c.shown);
    }
    // The edges themselves still fit.
    EXPECT_EQ(
        parse_block_template(with(minimal_template(), "version", -2147483648.9), false).version,
        -2147483647 - 1);
    EXPECT_EQ(
        parse_block_template(with(minimal_template(), "coinbasevalue", -0.0), false).coinbasevalue,
        0u);
}

TEST(ParseBlockTemplate, TargetFromBits) {
    struct Case {
        std::string bits;
        std::map<int, std::uint8_t> target;  // non-zero bytes
    };
    const std::vector<Case> cases = {
        {"1d00ffff", {{26, 0xff}, {27, 0xff}}},
        {"207fffff", {{29, 0xff}, {30, 0xff}, {31, 0x7f}}},
        {"04123456", {{1, 0x56}, {2, 0x34}, {3, 0x12}}},
        {"03123456", {{0, 0x56}, {1, 0x34}, {2, 0x12}}},
        {"02123456", {{0, 0x34}, {1, 0x12}}},
        {"01123456", {{0, 0x12}}},
        {"00123456", {}},
        {"1d800000", {}},  // sign bit: mantissa 0
        {"1dffffff", {}},
        {"22000001", {{31, 0x01}}},
        {"22123456", {{31, 0x56}}},  // higher bytes fall off the end
        {"21123456", {{30, 0x56}, {31, 0x34}}},
        {"23000001", {}},  // exponent 35
        {"ff123456", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        const BlockTemplate t =
            parse_block_template(with(minimal_template(), "bits", c.bits), false);
        EXPECT_EQ(t.target, bytes_at(c.target));
    }
}

TEST(ParseBlockTemplate, TargetTextWinsOverBits) {
    const std::string text = "00000000ffff0000000000000000000000000000000000000000000000000001";
    const Hash32 from_text = bytes_at({{0, 0x01}, {26, 0xff}, {27, 0xff}});
    const Hash32 from_bits = bytes_at({{29, 0xff}, {30, 0xff}, {31, 0x7f}});
    const json base = with(minimal_template(), "bits", "207fffff");
    struct Case {
        const char* name;
        json target;
        Hash32 expected;
    };
    const std::vector<Case> cases = {
        {"string wins", text, from_text},
        {"null falls back", nullptr, from_bits},
        {"number falls back", 5, from_bits},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parse_block_template(with(base, "target", c.target), false).target, c.expected);
    }
    EXPECT_EQ(parse_error(with(base, "target", "abcd")), "expected 32-byte hash hex, got 2 bytes");
    EXPECT_EQ(parse_error(with(base, "bits", "1d00fff")),
              "expected 8 hex chars for bits, got: 1d00fff");
    EXPECT_EQ(parse_error(with(base, "bits", "0x1d00ff")), "invalid hex for bits: 0x1d00ff");
}

TEST(ParseBlockTemplate, NonceRange) {
    struct Case {
        json range;
        std::uint32_t min;
        std::uint32_t max;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"00000000ffffffff", 0, 0xFFFFFFFF, ""},
        {"0000001000000010", 16, 16, ""},
        {"00000010abcd000000ff", 16, 255, ""},        // 20 characters: middle ignored
        {"00000010ffffffff000", 16, 0xfffff000, ""},  // 19 characters: last 8 overlap
        {"00000010zzzzzzzz", 0, 0, "invalid hex for noncerange maximum: zzzzzzzz"},
        {"00000000fffffff", 0, 0xFFFFFFFF, ""},  // 15 characters: ignored
        {5, 0, 0xFFFFFFFF, ""},
        {nullptr, 0, 0xFFFFFFFF, ""},
        {"0000ffff00000001", 0, 0, "GBT noncerange minimum is greater than maximum"},
        {"zzzzzzzz00000001", 0, 0, "invalid hex for noncerange minimum: zzzzzzzz"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.range.dump());
        const json result = with(minimal_template(), "noncerange", c.range);
        if (!c.error.empty()) {
            EXPECT_EQ(parse_error(result), c.error);
            continue;
        }
        const BlockTemplate t = parse_block_template(result, false);
        EXPECT_EQ(t.noncerange_min, c.min);
        EXPECT_EQ(t.noncerange_max, c.max);
    }
}

TEST(ParseBlockTemplate, OptionalFields) {
    const json parsed_aux = json::parse(R"({"b":"02","a":"0x01","c":5,"d":""})");
    json result = minimal_template();
    result["mintime"] = 1699999000;
    result["longpollid"] = "0000abcd1";
    result["workid"] = "w1";
    result["coinbaseaux"] = parsed_aux;
    result["default_witness_commitment"] = "6a24aa21a9ed";
    const BlockTemplate t = parse_block_template(result, false);
    EXPECT_EQ(t.mintime, 1699999000u);
    EXPECT_EQ(t.longpollid, "0000abcd1");
    // Sorted key order, not the node's order; non-strings skipped.
    EXPECT_EQ(t.coinbaseaux, (std::vector<Bytes>{{0x01}, {0x02}, {}}));
    EXPECT_EQ(t.default_witness_commitment, (Bytes{0x6a, 0x24, 0xaa, 0x21, 0xa9, 0xed}));

    EXPECT_TRUE(parse_block_template(with(minimal_template(), "coinbaseaux", "00"), false)
                    .coinbaseaux.empty());
    EXPECT_TRUE(
        parse_block_template(with(minimal_template(), "default_witness_commitment", 1), false)
            .default_witness_commitment.empty());
    EXPECT_EQ(parse_error(with(minimal_template(), "coinbaseaux", json{{"a", "zz"}})),
              "invalid hex string: zz");
}

TEST(ParseBlockTemplate, SegwitRule) {
    struct Case {
        json rules;
        bool segwit;
    };
    const std::vector<Case> cases = {
        {json::array({"segwit"}), true},
        {json::array({"csv", 5, nullptr, "segwit"}), true},
        {json::array({"!segwit"}), false},
        {json::array({"SEGWIT"}), false},
        {json::array(), false},
        {"segwit", false},
        {json{{"segwit", true}}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_block_template(with(minimal_template(), "rules", c.rules), false).segwit,
                  c.segwit)
            << c.rules.dump();
    }
}

TEST(ParseBlockTemplate, Transactions) {
    const std::string txid = "00000000000000000000000000000000000000000000000000000000000000aa";
    const std::string wtxid = "bb00000000000000000000000000000000000000000000000000000000000000";
    const json txs = json::array({
        {{"data", "0100"}, {"txid", txid}, {"hash", wtxid}, {"fee", 1}},
        {{"data", "02"}, {"txid", wtxid}},
        {{"data", ""}, {"txid", txid}, {"hash", nullptr}},
    });
    const json result = with(minimal_template(), "transactions", txs);

    const BlockTemplate display = parse_block_template(result, false);
    ASSERT_EQ(display.transactions.size(), 3u);
    EXPECT_EQ(display.transactions[0].data, (Bytes{0x01, 0x00}));
    EXPECT_EQ(display.transactions[0].txid, bytes_at({{0, 0xaa}}));
    EXPECT_EQ(display.transactions[0].hash, bytes_at({{31, 0xbb}}));
    EXPECT_EQ(display.transactions[1].hash, display.transactions[1].txid);  // no "hash"
    EXPECT_EQ(display.transactions[2].hash, display.transactions[2].txid);  // "hash": null
    EXPECT_TRUE(display.transactions[2].data.empty());

    const BlockTemplate internal = parse_block_template(result, true);
    EXPECT_EQ(internal.transactions[0].txid, bytes_at({{31, 0xaa}}));
    EXPECT_EQ(internal.transactions[0].hash, bytes_at({{0, 0xbb}}));

    const json short_txid = json::array({{{"data", "00"}, {"txid", repeat("11", 31)}}});
    EXPECT_EQ(parse_error(with(minimal_template(), "transactions", short_txid), true),
              "expected 32-byte tx hash");
    EXPECT_EQ(parse_error(with(minimal_template(), "transactions", short_txid), false),
              "expected 32-byte hash hex, got 31 bytes");
    const json bad_hash = json::array({{{"data", "00"}, {"txid", txid}, {"hash", "12"}}});
    EXPECT_EQ(parse_error(with(minimal_template(), "transactions", bad_hash), true),
              "expected 32-byte tx hash");
    const json bad_data = json::array({{{"data", "abc"}, {"txid", txid}}});
    EXPECT_EQ(parse_error(with(minimal_template(), "transactions", bad_data)),
              "hex string has odd length: abc");

    EXPECT_TRUE(
        parse_block_template(with(minimal_template(), "transactions", json::object()), false)
            .transactions.empty());
}

class TemplateRpcTest : public ::testing::Test {
  protected:
    RpcClient client_with_timeout(std::int64_t timeout_ms) const {
        RpcSettings settings;
        settings.url = node.url();
        settings.timeout_ms = timeout_ms;
        return RpcClient(std::move(settings));
    }

    test::NodeDouble node;
};

TEST_F(TemplateRpcTest, RequestParameters) {
    const std::string capabilities =
        R"({"capabilities":["longpoll","coinbasevalue","proposal","workid"],)";
    struct Case {
        std::string longpollid;
        std::string params;
    };
    const std::vector<Case> cases = {
        {"", "[" + capabilities + R"("rules":["segwit"]}])"},
        {"lp-1", "[" + capabilities + R"("longpollid":"lp-1","rules":["segwit"]}])"},
    };
    node.set_longpoll_mode("never");
    const RpcClient client = client_with_timeout(30000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.longpollid);
        const std::uint64_t id = next_request_id.load();
        const json result = get_block_template(client, c.longpollid, -1, nullptr);
        EXPECT_EQ(result.at("longpollid"), "lp-1");  // the node double's default template
        EXPECT_EQ(node.requests().back().at("body").get<std::string>(),
                  "{\"id\":" + std::to_string(id) +
                      R"(,"jsonrpc":"1.0","method":"getblocktemplate","params":)" + c.params + "}");
    }
}

TEST_F(TemplateRpcTest, TemplateFromNodeParses) {
    json served = minimal_template();
    served["noncerange"] = "00000100000001ff";
    served["transactions"] = json::array({{{"data", "00"}, {"txid", kPrev}}});
    node.set_template(served);
    const BlockTemplate t = parse_block_template(
        get_block_template(client_with_timeout(30000), "", -1, nullptr), false);
    EXPECT_EQ(t.height, 840000);
    EXPECT_EQ(t.noncerange_min, 0x100u);
    EXPECT_EQ(t.noncerange_max, 0x1ffu);
    ASSERT_EQ(t.transactions.size(), 1u);
    EXPECT_EQ(t.transactions[0].txid, t.previousblockhash);
}

TEST_F(TemplateRpcTest, SubmitBlock) {
    const RpcClient client = client_with_timeout(30000);
    const std::uint64_t id = next_request_id.load();
    EXPECT_EQ(submit_block(client, "00ff"), nullptr);  // accepted
    EXPECT_EQ(node.requests().back().at("body").get<std::string>(),
              "{\"id\":" + std::to_string(id) +
                  R"(,"jsonrpc":"1.0","method":"submitblock","params":["00ff"]})");
    node.queue({{"method", "submitblock"}, {"result", "high-hash"}});
    EXPECT_EQ(submit_block(client, "00ff"), "high-hash");
}

TEST_F(TemplateRpcTest, SubmitBlockUsesClientTimeout) {
    node.queue({{"method", "submitblock"}, {"delay_ms", 400}});
    EXPECT_EQ(error_of([&] { submit_block(client_with_timeout(100), "00"); }),
              "RPC curl failure calling submitblock: Timeout was reached");
}

}  // namespace
}  // namespace qvn
