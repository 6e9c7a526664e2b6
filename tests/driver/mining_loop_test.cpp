// The mining loop in-process against the node double, its waits shortened
// through LoopTimings, as no command line can: what the real binary shows
// after minutes, here in a second or two.
#include "driver/mining_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>

#include "block/payout.h"
#include "rpc/failure_log.h"
#include "rpc/node_double.h"

namespace qvn {
namespace {

using json = nlohmann::json;
using std::chrono::milliseconds;

// What a stream gets from any thread, kept whole, while it lives.
class Transcript : public std::streambuf {
  public:
    explicit Transcript(std::ostream& stream) : stream_(stream), saved_(stream.rdbuf(this)) {}
    ~Transcript() override { stream_.rdbuf(saved_); }

    std::string text() {
        const std::lock_guard lock(mutex_);
        return text_;
    }
    // Waits for a line that starts with `start`; false after ten seconds.
    bool wait_for(const std::string& start) {
        for (int i = 0; i < 1000; ++i, std::this_thread::sleep_for(milliseconds{10})) {
            if (("\n" + text()).find("\n" + start) != std::string::npos) return true;
        }
        return false;
    }

  protected:
    std::streamsize xsputn(const char* data, std::streamsize size) override {
        const std::lock_guard lock(mutex_);
        text_.append(data, static_cast<std::size_t>(size));
        return size;
    }
    int overflow(int c) override {
        const char byte = traits_type::to_char_type(c);
        return c == traits_type::eof() ? traits_type::not_eof(c) : (xsputn(&byte, 1), c);
    }

  private:
    std::ostream& stream_;
    std::streambuf* saved_;
    std::mutex mutex_;
    std::string text_;
};

// Work on block 1 under the long-poll id "tip-1"; an empty target leaves it
// to bits, which nearly every other hash meets.
json work(const std::string& target) {
    json t = {{"version", 536870912},           {"previousblockhash", std::string(64, '0')},
              {"coinbasevalue", 5000000000ULL}, {"height", 1},
              {"curtime", 1700000000},          {"bits", "207fffff"},
              {"longpollid", "tip-1"},          {"transactions", json::array()}};
    if (!target.empty()) t["target"] = target;
    return t;
}

MinerConfig config_for(const test::NodeDouble& node) {
    MinerConfig config;
    config.rpc_url = node.url();
    config.payouts = {parse_payout("51")};
    config.threads = 1;
    config.iters = 4096;
    config.verbose_logging = true;
    return config;
}

// A node that eases its target without a new tip, id or answer to the held
// poll (a testnet's minimum-difficulty rule): the check of the silent poll
// brings the new work, and the poll stays open throughout.
TEST(MiningLoop, SilentLongPollIsCheckedAndNewWorkUnderItsIdMined) {
    test::NodeDouble node;
    node.set_template(work(std::string(64, '0')));
    const MinerConfig config = config_for(node);
    Transcript out(std::cout);
    Transcript err(std::cerr);
    std::atomic<bool> stop{false};
    MiningLoop loop(config, stop, {.longpoll_check_after = milliseconds{300}});
    std::future<int> status = std::async(std::launch::async, [&loop] { return loop.run(); });

    ASSERT_TRUE(out.wait_for("[longpoll] check: no new work; the poll stays open")) << out.text();
    node.set_template(work(""), false);
    node.wait_requests(1, {{"method", "submitblock"}});
    stop = true;
    EXPECT_EQ(status.get(), kExitOk);
    EXPECT_TRUE(loop.stopped());
    EXPECT_EQ(node.requests({{"method", "getblocktemplate"}, {"longpollid", "tip-1"}}).size(), 1u);
    for (const char* line :
         {"[longpoll] check: new work under the poll's id; mining it, the poll stays open",
          "[work] new work: a new target, from a check of the silent long poll; hashing ",
          "[submit] attempt 1: accepted in "}) {
        EXPECT_TRUE(out.wait_for(line)) << line << "\n" << out.text();
    }
    EXPECT_EQ(err.text().find("[longpoll] no answer"), std::string::npos) << err.text();
    EXPECT_EQ(err.text().find("[rpc] no answer from the node"), std::string::npos) << err.text();
}

// A node whose RPC workers are all held answers the first request late: the
// miner says once that it waits, and why that may be.
TEST(MiningLoop, SlowFirstAnswerIsSaidOnceWithTheBusyNodeHint) {
    test::NodeDouble node;
    node.set_template(work(std::string(64, '0')));
    node.queue({{"method", "getblocktemplate"}, {"delay_ms", 2500}});
    const MinerConfig config = config_for(node);
    const Transcript out(std::cout);
    Transcript err(std::cerr);
    std::atomic<bool> stop{false};
    MiningLoop loop(config, stop, {.slow_start_after = milliseconds{1000}});
    stop = true;
    EXPECT_EQ(loop.run(), kExitOk);
    EXPECT_EQ(err.text(), "[rpc] no answer from the node after 1 s; waiting on\n" +
                              std::string(kBusyNodeHint) + "\n");
}

}  // namespace
}  // namespace qvn
