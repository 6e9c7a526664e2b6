// The mining loop in-process against the node double, its waits shortened
// through LoopTimings, as no command line can: what the real binary does
// after two minutes, here in a second.
#include "driver/mining_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <future>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "block/payout.h"
#include "block/text.h"
#include "miner/group_kernel.h"
#include "miner/mining_oracle.h"
#include "rpc/node_double.h"
#include "test_support/captured_output.h"

namespace qvn {
namespace {

using json = nlohmann::json;

// Work on block 1 under the long-poll id "tip-1", its time fixed far ahead
// of the clock, so that a test can build the loop's very header; without a
// target, bits set one that nearly every other hash meets.
json work(const std::string& target, std::uint32_t min = 0, std::uint32_t max = 0xffffffff) {
    char range[17];
    std::snprintf(range, sizeof range, "%08x%08x", min, max);
    json t = {{"version", 536870912},           {"previousblockhash", std::string(64, '0')},
              {"coinbasevalue", 5000000000ULL}, {"height", 1},
              {"curtime", 4000000000u},         {"bits", "207fffff"},
              {"longpollid", "tip-1"},          {"transactions", json::array()}};
    t["noncerange"] = range;
    if (!target.empty()) t["target"] = target;
    return t;
}

MinerConfig config_for(const test::NodeDouble& node, std::uint32_t threads, std::uint32_t iters) {
    MinerConfig config;
    config.rpc_url = node.url();
    config.payouts = {parse_payout("51")};
    config.threads = threads;
    config.iters = iters;
    return config;
}

// A node that eases its target without a new tip, id or answer to the held
// poll (a testnet's minimum-difficulty rule): a check of the silent poll
// brings the new work, which is mined, and the poll stays open throughout.
TEST(MiningLoop, SilentLongPollIsCheckedAndNewWorkUnderItsIdMined) {
    test::NodeDouble node;
    node.set_template(work(std::string(64, '0')));
    const MinerConfig config = config_for(node, 1, 4096);
    WakeFlag stop;
    MiningLoop loop(config, stop, {.longpoll_check_after = std::chrono::milliseconds{300}});
    std::future<int> status = std::async(std::launch::async, [&loop] { return loop.run(); });

    node.wait_requests(1, {{"method", "getblocktemplate"}, {"longpollid", "tip-1"}});
    node.wait_requests(2, {{"method", "getblocktemplate"}, {"longpollid", nullptr}});
    node.set_template(work(""), false);
    node.wait_requests(1, {{"method", "submitblock"}});
    stop.set();
    EXPECT_EQ(status.get(), kExitOk);
    EXPECT_TRUE(loop.stopped());
    EXPECT_EQ(node.requests({{"method", "getblocktemplate"}, {"longpollid", "tip-1"}}).size(), 1u);
}

}  // namespace
}  // namespace qvn

namespace qvn {
namespace {

// A block the workers found after its chunk was handed back is delivered,
// although new work came first. Worker 0 is held back from the start; worker
// 1 hashes the first chunk and one batch of the next, and its clock holds it
// there. As the loop reads the clock to close the chunk, the node's new work
// comes in, and worker 0 takes the next batch, which holds the only hit.
TEST(MiningLoop, ABlockFoundPastTheChunkIsDeliveredDespiteNewWork) {
    test::NodeDouble node;
    const std::uint32_t batch = linked_group_kernel().width;  // iters of one group
    const MinerConfig config = config_for(node, 2, batch);
    const test::Header header = build_candidate(parse_block_template(work(""), false),
                                                config.payouts, 0, config.coinbase_tag)
                                    .header;
    std::uint32_t base = 1000;
    const auto hit_alone = [&](std::uint32_t hit) {  // in the four batches up to it
        for (std::uint32_t n = base; n < hit; ++n)
            if (test::meets(test::portable_hash(header, n), test::portable_hash(header, hit)))
                return false;
        return true;
    };
    while (!hit_alone(base + 3 * batch)) base += 4 * batch;
    const std::uint32_t hit = base + 3 * batch;
    node.set_template(work(hash_to_hex(test::portable_hash(header, hit)), base, hit + batch - 1));

    std::mutex mutex;
    std::condition_variable changed;
    int stage = 0;  // 1: worker 1 held, 2: worker 0 let go, 3: its hit recorded
    const auto reach = [&](std::unique_lock<std::mutex>& lock, int at_least) {
        changed.wait(lock, [&] { return stage >= at_least; });
    };
    const auto set = [&](int next) {
        stage = next;
        changed.notify_all();
    };
    std::thread::id ids[2];
    std::map<std::thread::id, int> reads;  // clock readings per thread
    LoopTimings seams;
    seams.start_worker = [&](std::uint32_t index, std::function<void()> body) {
        return std::thread([&, index, body = std::move(body)] {
            std::unique_lock lock(mutex);
            ids[index] = std::this_thread::get_id();
            if (index == 0) reach(lock, 2);
            lock.unlock();
            body();
        });
    };
    seams.clock = [&] {
        std::unique_lock lock(mutex);
        const std::thread::id id = std::this_thread::get_id();
        const int read = ++reads[id];
        if (id == ids[1] && read == 4) {  // after its third batch
            set(1);
            reach(lock, 3);
        } else if (id == ids[0] && read == 2) {  // after its batch: the hit is out
            set(3);
        } else if (id != ids[0] && id != ids[1] && read == 2) {  // the loop ends the chunk
            reach(lock, 1);
            lock.unlock();
            // New work answers the long poll; the poll after it shows the poller has it.
            json next = work(std::string(64, '0'));
            next["longpollid"] = "tip-2";
            node.wait_requests(1, {{"method", "getblocktemplate"}, {"longpollid", "tip-1"}});
            node.set_template(next);
            node.wait_requests(1, {{"method", "getblocktemplate"}, {"longpollid", "tip-2"}});
            lock.lock();
            set(2);
            reach(lock, 3);
        }
        return std::chrono::steady_clock::now();
    };
    WakeFlag stop;
    MiningLoop loop(config, stop, seams);
    std::future<int> status = std::async(std::launch::async, [&loop] { return loop.run(); });
    json blocks;
    try {
        blocks = node.wait_requests(1, {{"method", "submitblock"}});
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
    stop.set();
    EXPECT_EQ(status.get(), kExitOk);
    ASSERT_EQ(node.requests({{"method", "submitblock"}}).size(), 1u);
    const std::string block = blocks[0]["params"][0];
    EXPECT_EQ(block.substr(2 * 76, 8), hex_encode(reinterpret_cast<const std::uint8_t*>(&hit), 4));
}

// A range that ends at the top of the nonces: each pass searches its
// candidate's range once, in order, and ends there; the extranonce steps.
// The loop's clock stops the run after 40 chunks, two and a half passes.
TEST(MiningLoop, ARangeEndingAtTheTopIsSearchedOncePerExtranonce) {
    test::NodeDouble node;
    const std::uint64_t min = 0xffffffff - 1023, chunk = 64;
    node.set_template(work(std::string(64, '0'), min, 0xffffffff));  // no hash meets it
    MinerConfig config = config_for(node, 1, chunk);
    config.status_sec = 0;  // a "[stat]" line per chunk
    WakeFlag stop;
    LoopTimings seams;
    const std::thread::id loop_thread = std::this_thread::get_id();
    int reads = 0;  // the loop's own: one per chunk, one per search
    seams.clock = [&] {
        if (std::this_thread::get_id() == loop_thread && ++reads == 40 + 3) stop.set();
        return std::chrono::steady_clock::now();
    };
    test_support::CapturedOutput output;
    MiningLoop(config, stop, seams).run();
    std::map<std::uint64_t, std::uint64_t> next;  // extranonce: where its next chunk starts
    const std::regex stat(R"(\[stat\] height=\d+ extranonce=(\d+) nonce=(\d+) .*)");
    std::istringstream lines(output.out.str());
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, stat)) continue;
        std::uint64_t& expected = next.emplace(std::stoull(m[1]), min).first->second;
        ASSERT_EQ(std::stoull(m[2]), expected) << line;
        expected += chunk;
    }
    ASSERT_EQ(next.size(), 3u);
    EXPECT_EQ(next[0], 0x100000000u);
    EXPECT_EQ(next[1], 0x100000000u);
    EXPECT_TRUE(node.requests({{"method", "submitblock"}}).empty());
}

// With every request refused past the limit the workers stop, batches and
// processor time alike; the node's first answer sets them going again.
TEST(MiningLoop, WorkTheNodeNoLongerConfirmsIsNotHashed) {
    test::NodeDouble node;
    node.set_template(work(std::string(64, '0')));
    const MinerConfig config = config_for(node, 1, 4096);
    std::atomic<std::uint64_t> reads{0};  // the clock's: one per batch and per chunk
    LoopTimings seams{.unconfirmed_limit = std::chrono::milliseconds{1000}};
    seams.clock = [&reads] { return ++reads, std::chrono::steady_clock::now(); };
    WakeFlag stop;
    MiningLoop loop(config, stop, seams);
    std::future<int> status = std::async(std::launch::async, [&loop] { return loop.run(); });
    const auto hashing = [&reads](bool wanted) {  // within ten seconds
        for (int look = 0; look < 30; ++look) {
            const std::uint64_t before = reads;
            const std::clock_t cpu = std::clock();
            std::this_thread::sleep_for(std::chrono::milliseconds{300});
            if ((reads != before || std::clock() - cpu > CLOCKS_PER_SEC / 10) == wanted)
                return true;
        }
        return false;
    };
    node.wait_requests(1, {{"state", "held"}});
    node.control({{"cmd", "set_auth"}, {"user", "u"}, {"password", "p"}});
    node.control({{"cmd", "release"}, {"status", 401}});
    EXPECT_TRUE(hashing(false));
    node.control({{"cmd", "set_auth"}, {"user", nullptr}});
    EXPECT_TRUE(hashing(true));
    stop.set();
    EXPECT_EQ(status.get(), kExitOk);
}

}  // namespace
}  // namespace qvn
