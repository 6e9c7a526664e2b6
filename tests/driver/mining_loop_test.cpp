// The mining loop in-process against the node double, its waits shortened
// through LoopTimings, as no command line can: what the real binary does
// after two minutes, here in a second.
#include "driver/mining_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "block/payout.h"
#include "rpc/node_double.h"

namespace qvn {
namespace {

using json = nlohmann::json;

// Work on block 1 under the long-poll id "tip-1"; without a target, bits set
// one that nearly every other hash meets.
json work(const std::string& target) {
    json t = {{"version", 536870912}, {"previousblockhash", std::string(64, '0')},
              {"coinbasevalue", 5000000000ULL}, {"height", 1},
              {"curtime", 1700000000}, {"bits", "207fffff"},
              {"longpollid", "tip-1"}, {"transactions", json::array()}};
    if (!target.empty()) t["target"] = target;
    return t;
}

// A node that eases its target without a new tip, id or answer to the held
// poll (a testnet's minimum-difficulty rule): a check of the silent poll
// brings the new work, which is mined, and the poll stays open throughout.
TEST(MiningLoop, SilentLongPollIsCheckedAndNewWorkUnderItsIdMined) {
    test::NodeDouble node;
    node.set_template(work(std::string(64, '0')));
    MinerConfig config;
    config.rpc_url = node.url();
    config.payouts = {parse_payout("51")};
    config.threads = 1;
    config.iters = 4096;
    std::atomic<bool> stop{false};
    MiningLoop loop(config, stop, {.longpoll_check_after = std::chrono::milliseconds{300}});
    std::future<int> status = std::async(std::launch::async, [&loop] { return loop.run(); });

    node.wait_requests(1, {{"method", "getblocktemplate"}, {"longpollid", "tip-1"}});
    node.wait_requests(2, {{"method", "getblocktemplate"}, {"longpollid", nullptr}});
    node.set_template(work(""), false);
    node.wait_requests(1, {{"method", "submitblock"}});
    stop = true;
    EXPECT_EQ(status.get(), kExitOk);
    EXPECT_TRUE(loop.stopped());
    EXPECT_EQ(node.requests({{"method", "getblocktemplate"}, {"longpollid", "tip-1"}}).size(), 1u);
}

}  // namespace
}  // namespace qvn
