// The JSON-RPC client against the node double over real HTTP on loopback.
#include "rpc/client.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <set>
#include <thread>
#include <type_traits>
#include <vector>

#include "block/text.h"
#include "rpc/node_double.h"
#include "rpc/reply.h"
#include "rpc/temp_dir.h"

namespace qvn {
namespace {

using json = nlohmann::json;
using test::NodeDouble;

static_assert(std::is_base_of_v<std::runtime_error, RpcError>);
static_assert(std::is_base_of_v<std::runtime_error, RpcCancelled>);
static_assert(!std::is_base_of_v<RpcError, RpcCancelled>);
static_assert(!std::is_base_of_v<RpcCancelled, RpcError>);

RpcSettings settings_for(const std::string& url) {
    RpcSettings settings;
    settings.url = url;
    return settings;
}

// Runs the call and returns the RpcError message ("" when nothing was thrown).
std::string rpc_error_of(const RpcClient& client, const std::string& method,
                         std::int64_t timeout_ms = -1) {
    try {
        client.call(method, json::array(), timeout_ms);
    } catch (const RpcError& e) {
        return e.what();
    }
    return "";
}

class RpcClientTest : public ::testing::Test {
  protected:
    NodeDouble node;
};

TEST_F(RpcClientTest, SendsCompactRequestBodyWithContentType) {
    struct Case {
        const char* name;
        json params;
        std::string params_text;  // as it must appear on the wire
    };
    const std::vector<Case> cases = {
        {"null becomes an empty array", nullptr, "[]"},
        {"empty array", json::array(), "[]"},
        {"array kept", json::array({1, "x", nullptr}), R"([1,"x",null])"},
        {"object kept, keys sorted", json{{"b", 1}, {"a", true}}, R"({"a":true,"b":1})"},
        {"non-ASCII as raw UTF-8", json::array({"\xc3\xa9"}), "[\"\xc3\xa9\"]"},
    };
    const RpcClient client(settings_for(node.url()));
    node.queue({{"times", 0}, {"result", "ok"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint64_t id = next_request_id.load();
        EXPECT_EQ(client.call("echo", c.params), "ok");
        const json record = node.requests().back();
        EXPECT_EQ(record.at("body").get<std::string>(),
                  "{\"id\":" + std::to_string(id) +
                      ",\"jsonrpc\":\"1.0\",\"method\":\"echo\",\"params\":" + c.params_text + "}");
        EXPECT_EQ(test::header_value(record, "Content-Type"), "application/json");
        EXPECT_EQ(record.at("path"), "/");
    }
}

// The first request of a process carries id 1: checked on the real binary
// (tests/rpc/test_first_request.py).

TEST_F(RpcClientTest, IdsAreDistinctAcrossThreads) {
    constexpr int kCallsPerThread = 8;
    node.queue({{"times", 0}, {"result", nullptr}});
    const RpcClient client(settings_for(node.url()));
    auto calls = [&client] {
        for (int i = 0; i < kCallsPerThread; ++i) client.call("ping", nullptr);
    };
    std::thread first(calls);
    std::thread second(calls);
    first.join();
    second.join();
    std::set<std::uint64_t> ids;
    for (const json& record : node.requests()) ids.insert(record.at("id").get<std::uint64_t>());
    EXPECT_EQ(ids.size(), 2u * kCallsPerThread);
}

TEST_F(RpcClientTest, BasicAuthenticationOnlyWithAUser) {
    struct Case {
        const char* name;
        std::string user;
        std::string password;
        std::string authorization;  // "" means no header at all
    };
    const std::vector<Case> cases = {
        {"user and password", "alice", "s3cret", "Basic YWxpY2U6czNjcmV0"},
        {"empty password sent as such", "alice", "", "Basic YWxpY2U6"},
        {"no user, password ignored", "", "s3cret", ""},
    };
    node.queue({{"times", 0}, {"result", 1}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RpcSettings settings = settings_for(node.url());
        settings.user = c.user;
        settings.password = c.password;
        const RpcClient client(std::move(settings));
        client.call("m", nullptr);
        const json record = node.requests().back();
        EXPECT_EQ(test::has_header(record, "Authorization"), !c.authorization.empty());
        EXPECT_EQ(test::header_value(record, "Authorization"), c.authorization);
    }
}

TEST_F(RpcClientTest, CookieCredentialsReplaceConfiguredUser) {
    struct Case {
        const char* name;
        std::string cookie;
        std::string authorization;
    };
    const std::vector<Case> cases = {
        {"cookie wins over --rpc-user", "bob:pw:x\r\n", "Basic Ym9iOnB3Ong="},
        {"inner blanks kept", " u :  p ", "Basic dSA6ICBw"},
        {"leading colon: no authentication", ":secret\n", ""},
    };
    const test::TempDir dir;
    node.queue({{"times", 0}, {"result", 1}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RpcSettings settings = settings_for(node.url());
        settings.user = "alice";
        settings.password = "s3cret";
        settings.cookie_file = dir.write("cookie", c.cookie);
        const RpcClient client(std::move(settings));
        client.call("m", nullptr);
        const json record = node.requests().back();
        EXPECT_EQ(test::has_header(record, "Authorization"), !c.authorization.empty());
        EXPECT_EQ(test::header_value(record, "Authorization"), c.authorization);
    }
}

TEST_F(RpcClientTest, NodeCheckingAuthenticationAcceptsCookiePair) {
    const test::TempDir dir;
    node.set_auth("__cookie__", "abc123");
    node.queue({{"method", "getblockcount"}, {"result", 7}});
    RpcSettings settings = settings_for(node.url());
    settings.cookie_file = dir.write(".cookie", "__cookie__:abc123");
    EXPECT_EQ(RpcClient(std::move(settings)).call("getblockcount", nullptr), 7);
    EXPECT_EQ(rpc_error_of(RpcClient(settings_for(node.url())), "getblockcount"),
              "RPC HTTP 401 calling getblockcount: ");
}

TEST_F(RpcClientTest, ReturnsResultOfAnyType) {
    const std::vector<std::string> bodies = {
        R"({"result":null,"error":null,"id":1})",
        R"({"result":{"a":[1,2]},"error":null,"id":1})",
        R"({"result":"text"})",
        R"({"result":false,"id":"x","jsonrpc":"2.0"})",
    };
    const RpcClient client(settings_for(node.url()));
    for (const std::string& body : bodies) {
        SCOPED_TRACE(body);
        node.queue({{"body", body}});
        EXPECT_EQ(client.call("m", nullptr), json::parse(body).at("result"));
    }
    node.queue({{"status", 299}, {"body", R"({"result":299})"}});
    EXPECT_EQ(client.call("m", nullptr), 299);
}

TEST_F(RpcClientTest, FailuresOfACall) {
    struct Case {
        const char* name;
        json rule;
        std::string message;
    };
    const std::string error_body = R"({"result":null,"error":{"code":-1,"message":"bad"},"id":1})";
    const auto nested = [](int arrays) {
        return "{\"x\":" + std::string(arrays, '[') + std::string(arrays, ']') + "}";
    };
    // Bodies in messages are cut as every node text is (text_test checks how).
    const auto cut = [](const std::string& body) { return printable(body, kMaxNodeTextBytes); };
    std::string many = "{\"x\":[";
    for (int i = 0; i < 1200000; ++i) many += "0,";
    many += "0]}";
    const std::vector<Case> cases = {
        {"256 levels are read", {{"body", nested(255)}}, "JSON-RPC response missing result for m"},
        {"brackets in strings are text",
         {{"body", R"({"x":"\")" + std::string(300, '[') + "\"}"}},
         "JSON-RPC response missing result for m"},
        {"257 levels are not",
         {{"body", nested(256)}},
         "invalid JSON-RPC response: nested deeper than 256 levels body=" + cut(nested(256))},
        {"too many values",
         {{"body", many}},
         "invalid JSON-RPC response: more than 1200000 values body=" + cut(many)},
        {"HTTP 500 with a JSON-RPC error: status wins",
         {{"status", 500}, {"body", error_body}},
         "RPC HTTP 500 calling m: " + error_body},
        {"HTTP 404, body not parsed",
         {{"status", 404}, {"body", "nope"}},
         "RPC HTTP 404 calling m: nope"},
        {"HTTP 300",
         {{"status", 300}, {"body", R"({"result":1})"}},
         R"(RPC HTTP 300 calling m: {"result":1})"},
        {"empty body",
         {{"body", ""}},
         "invalid JSON-RPC response: [json.exception.parse_error.101] parse error at line 1, "
         "column 1: syntax error while parsing value - unexpected end of input; expected '[', "
         "'{', or a literal body="},
        {"not JSON",
         {{"body", "garbage"}},
         "invalid JSON-RPC response: [json.exception.parse_error.101] parse error at line 1, "
         "column 1: syntax error while parsing value - invalid literal; last read: 'g' "
         "body=garbage"},
        {"comments are not JSON",
         {{"body", R"({"result":1 /* c */})"}},
         "invalid JSON-RPC response: [json.exception.parse_error.101] parse error at line 1, "
         "column 13: syntax error while parsing object - invalid literal; last read: '1 /'; "
         R"(expected '}' body={"result":1 /* c */})"},
        {"error member, keys sorted",
         {{"body", R"({"result":5,"error":{"message":"x","code":-5}})"}},
         R"(JSON-RPC error calling m: {"code":-5,"message":"x"})"},
        {"error that is a string",
         {{"body", R"({"error":"boom"})"}},
         R"(JSON-RPC error calling m: "boom")"},
        {"error null alone",
         {{"body", R"({"error":null})"}},
         "JSON-RPC response missing result for m"},
        {"top-level array", {{"body", "[1,2]"}}, "JSON-RPC response missing result for m"},
        {"top-level string", {{"body", R"("result")"}}, "JSON-RPC response missing result for m"},
        {"connection closed without an answer",
         {{"drop", true}},
         "RPC curl failure calling m: Server returned nothing (no headers, no data)"},
    };
    const RpcClient client(settings_for(node.url()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        node.queue(c.rule);
        EXPECT_EQ(rpc_error_of(client, "m"), c.message);
    }
}

TEST_F(RpcClientTest, UnknownMethodReportsTheNodesAnswer) {
    const std::string message = rpc_error_of(RpcClient(settings_for(node.url())), "nosuch");
    EXPECT_EQ(message, R"(RPC HTTP 404 calling nosuch: {"result":null,"error":{"code":-32601,)"
                       R"("message":"Method not found"},"id":)" +
                           std::to_string(next_request_id.load() - 1) + "}");
}

TEST(RpcClientNoNode, ConnectionRefused) {
    const RpcClient client(settings_for(test::closed_port_url()));
    EXPECT_EQ(rpc_error_of(client, "getblocktemplate"),
              "RPC curl failure calling getblocktemplate: Couldn't connect to server");
}

TEST_F(RpcClientTest, OverallTimeout) {
    struct Case {
        const char* name;
        std::int64_t client_timeout_ms;
        std::int64_t call_timeout_ms;
        bool times_out;
    };
    // The node answers after 400 ms; a limit of 100 ms must cut that short.
    const std::vector<Case> cases = {
        {"client default applies to negative", 100, -1, true},
        {"explicit limit", 30000, 100, true},
        {"zero: no overall limit", 100, 0, false},
        {"client default zero: no limit", 0, -1, false},
        {"client default negative: no limit", -5, -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RpcSettings settings = settings_for(node.url());
        settings.timeout_ms = c.client_timeout_ms;
        const RpcClient client(std::move(settings));
        node.queue({{"delay_ms", 400}, {"result", "late"}});
        EXPECT_EQ(rpc_error_of(client, "slow", c.call_timeout_ms),
                  c.times_out ? "RPC curl failure calling slow: Timeout was reached" : "");
    }
}

TEST_F(RpcClientTest, CancelFlagAlreadySet) {
    node.queue({{"times", 0}, {"result", 1}});
    const RpcClient client(settings_for(node.url()));
    WakeFlag cancel;
    cancel.set();
    try {
        client.call("m", nullptr, -1, &cancel);
        FAIL() << "no exception";
    } catch (const RpcCancelled& e) {
        EXPECT_STREQ(e.what(), "RPC cancelled");
    }
    const WakeFlag go_on;
    EXPECT_EQ(client.call("m", nullptr, -1, &go_on), 1);
    EXPECT_EQ(node.requests().size(), 1u);  // nothing was sent once cancelled
}

// A request waits on the descriptor beside its socket: it must be readable
// while the flag is up, and only then.
TEST(WakeFlag, ItsDescriptorIsReadableExactlyWhileItIsUp) {
    WakeFlag flag;
    const auto readable = [&flag] {
        pollfd p{flag.fd(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    };
    EXPECT_FALSE(readable());
    flag.set();
    flag.set();
    EXPECT_TRUE(flag.is_set() && readable());
    flag.clear();
    EXPECT_FALSE(flag.is_set() || readable());
}

TEST_F(RpcClientTest, CancelFlagSetDuringHeldRequest) {
    node.queue({{"hold", true}, {"result", 1}});
    const RpcClient client(settings_for(node.url()));
    WakeFlag cancel;
    auto outcome = std::async(std::launch::async, [&] {
        try {
            client.call("m", nullptr, 0, &cancel);
        } catch (const RpcCancelled& e) {
            return std::string("cancelled: ") + e.what();
        } catch (const std::exception& e) {
            return std::string("other: ") + e.what();
        }
        return std::string("returned");
    });
    node.wait_requests(1, {{"state", "held"}});
    // Idle a while, the transfer ends at once, not at its next look at the
    // flag: libcurl's wait, up to a second.
    std::this_thread::sleep_for(std::chrono::milliseconds{300});
    const auto set_at = std::chrono::steady_clock::now();
    cancel.set();
    EXPECT_EQ(outcome.get(), "cancelled: RPC cancelled");
    EXPECT_LT(std::chrono::steady_clock::now() - set_at, std::chrono::milliseconds{100});
    // The client really went away: the node sees the connection closed.
    node.wait_requests(1, {{"client_gone", true}});
}

TEST_F(RpcClientTest, CookieErrorsAreNotRpcErrors) {
    RpcSettings settings = settings_for(node.url());
    settings.cookie_file = "/nonexistent/qvn/.cookie";
    try {
        RpcClient client(std::move(settings));
        FAIL() << "no exception";
    } catch (const RpcError&) {
        FAIL() << "cookie failures are plain runtime errors";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "cannot open file: /nonexistent/qvn/.cookie (the RPC cookie file)");
    }
    EXPECT_TRUE(node.requests().empty());
}

}  // namespace
}  // namespace qvn
