// Delivering a found block against the node double, on a fake clock that
// moves only when the delivery sleeps: every retry and give-up rule in
// milliseconds of real time.
#include "driver/block_delivery.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "rpc/client.h"
#include "rpc/node_double.h"

namespace qvn {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kBlockHex = "00ff";
const json kBusy = {
    {"method", "submitblock"}, {"status", 503}, {"body", "Work queue depth exceeded"}};

enum class Interrupt { none, stop, another_block };

struct Row {
    const char* name;
    json rule;  // for the node's next submitblock calls; null for none
    Interrupt interrupt;
    bool answered;
    std::size_t attempts;
    int no_answers;
    std::chrono::milliseconds slept;
    bool last_on_stderr;
    std::string last_line;
    // A submission's limit: the client has none (as with --rpc-timeout-ms 0).
    std::int64_t fallback_timeout_ms = 0;  // 0: the program's own, the README's
};

std::chrono::milliseconds readme_submit_limit() {
    std::ifstream file(std::string(std::getenv("QVN_SOURCE_DIR")) + "/README.md");
    const std::string text{std::istreambuf_iterator<char>(file), {}};
    std::smatch figure;
    std::regex_search(text, figure, std::regex(R"(`--rpc-timeout-ms`, or (\d+) s\s+when)"));
    return std::chrono::seconds{figure.empty() ? 0 : std::stoi(figure[1])};
}

TEST(BlockDelivery, RetryAndGiveUpRules) {
    using std::chrono::milliseconds;
    const std::string hand =
        std::string("[submit] block not delivered, submit it by hand: submitblock ") + kBlockHex;
    json always_busy = kBusy;
    always_busy["times"] = 0;
    json twice_busy = kBusy;
    twice_busy["times"] = 2;
    const Row rows[] = {
        {"accepted", nullptr, Interrupt::none, true, 1, 0, milliseconds{0}, false,
         "[submit] accepted by node"},
        {"a verdict is final",
         {{"method", "submitblock"}, {"result", "high-hash"}},
         Interrupt::none,
         true,
         1,
         0,
         milliseconds{0},
         false,
         "[submit] node returned: \"high-hash\""},
        {"an error is final",
         {{"method", "submitblock"},
          {"error", {{"code", -22}, {"message", "Block decode failed"}}}},
         Interrupt::none,
         true,
         1,
         0,
         milliseconds{0},
         true,
         "[submit] submitblock failed: JSON-RPC error calling submitblock: "
         "{\"code\":-22,\"message\":\"Block decode failed\"}"},
        {"busy twice, then accepted", twice_busy, Interrupt::none, true, 3, 2,
         milliseconds{1000 + 2000}, false, "[submit] accepted by node"},
        {"held past the limit, then accepted",
         {{"method", "submitblock"}, {"hold", true}},
         Interrupt::none,
         true,
         2,
         1,
         milliseconds{1000},
         false,
         "[submit] accepted by node",
         500},
        // Pauses of 1, 2, 4 and 8 s, then 15 s until the next would end at 10 minutes.
        {"busy for ten minutes", always_busy, Interrupt::none, false, 43, 43, milliseconds{585000},
         true, hand},
        {"a stop ends the pause", always_busy, Interrupt::stop, false, 1, 1, milliseconds{100},
         true, hand},
        {"work on another block ends it", always_busy, Interrupt::another_block, false, 1, 1,
         milliseconds{0}, true, hand},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::NodeDouble node;
        if (!row.rule.is_null()) node.queue(row.rule);
        RpcSettings settings;
        settings.url = node.url();
        settings.timeout_ms = 0;
        std::vector<std::chrono::milliseconds> limits;  // of each attempt
        settings.on_exchange = [&](const RpcExchange& e) { limits.push_back(e.time_limit); };
        const RpcClient client(settings);
        WakeFlag stop;
        Clock::time_point now{};
        Clock::duration slept{};
        int no_answers = 0;
        std::ostringstream out;
        std::ostringstream err;
        Delivery delivery{
            .client = client,
            .stop_requested = stop,
            .work_on_another_block = [&] { return row.interrupt == Interrupt::another_block; },
            .no_answer = [&](const std::exception&) { ++no_answers; },
            .clock = {[&] { return now; },
                      [&](Clock::duration d, const WakeFlag&) {
                          now += d;
                          slept += d;
                          if (row.interrupt == Interrupt::stop) stop.set();
                      }},
            .out = &out,
            .err = &err,
        };
        if (row.fallback_timeout_ms > 0) delivery.fallback_timeout_ms = row.fallback_timeout_ms;
        EXPECT_EQ(deliver_block(delivery, kBlockHex), row.answered);
        EXPECT_EQ(limits,
                  std::vector(row.attempts, row.fallback_timeout_ms > 0
                                                ? std::chrono::milliseconds{row.fallback_timeout_ms}
                                                : readme_submit_limit()));
        EXPECT_EQ(node.requests({{"method", "submitblock"}}).size(), row.attempts);
        EXPECT_EQ(no_answers, row.no_answers);
        EXPECT_EQ(slept, row.slept);
        const std::string text = row.last_on_stderr ? err.str() : out.str();
        EXPECT_EQ(text.substr(text.rfind('\n', text.size() - 2) + 1), row.last_line + "\n");
    }
}

}  // namespace
}  // namespace qvn
