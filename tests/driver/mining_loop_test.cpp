// The mining loop in-process against the node double, its waits shortened
// through LoopTimings, as no command line can: what the real binary does
// after two minutes, here in a second.
#include "driver/mining_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>

#include "block/payout.h"
#include "block/text.h"
#include "miner/group_kernel.h"
#include "miner/mining_oracle.h"
#include "rpc/node_double.h"

namespace qvn {
namespace {

using json = nlohmann::json;

// Work on block 1 under the long-poll id "tip-1"; without a target, bits set
// one that nearly every other hash meets.
json work(const std::string& target) {
    json t = {{"version", 536870912},           {"previousblockhash", std::string(64, '0')},
              {"coinbasevalue", 5000000000ULL}, {"height", 1},
              {"curtime", 1700000000},          {"bits", "207fffff"},
              {"longpollid", "tip-1"},          {"transactions", json::array()}};
    if (!target.empty()) t["target"] = target;
    return t;
}

// Big-endian hex of a range bound, and a nonce as the block's header holds it.
std::string hex_u32(std::uint32_t v) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(v >> 24),
                                   static_cast<std::uint8_t>(v >> 16),
                                   static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    return hex_encode(bytes, 4);
}
std::string hex_u32_le(std::uint32_t v) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                   static_cast<std::uint8_t>(v >> 16),
                                   static_cast<std::uint8_t>(v >> 24)};
    return hex_encode(bytes, 4);
}

// The same with the header's time fixed, far ahead of the clock, so that a
// test builds the loop's very header, and the nonce range given.
json fixed_work(const std::string& target, std::uint32_t min, std::uint32_t max) {
    json t = work(target);
    t["curtime"] = 4000000000u;
    t["noncerange"] = hex_u32(min) + hex_u32(max);
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

// Every line written to standard output while it lives, read as they come.
class OutputLines : public std::streambuf {
  public:
    OutputLines() : saved_(std::cout.rdbuf(this)) {}
    ~OutputLines() override { std::cout.rdbuf(saved_); }
    // The lines so far, once one of them meets done (or after 20 s).
    template <class Done>
    std::vector<std::string> wait(Done done) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds{20},
                          [&] { return std::any_of(lines_.begin(), lines_.end(), done); });
        return lines_;
    }

  protected:
    std::streamsize xsputn(const char* data, std::streamsize size) override {
        const std::lock_guard lock(mutex_);
        for (std::streamsize i = 0; i < size; ++i) {
            if (data[i] != '\n') {
                partial_ += data[i];
            } else {
                lines_.push_back(std::exchange(partial_, ""));
            }
        }
        changed_.notify_all();
        return size;
    }
    int overflow(int c) override {
        const char ch = static_cast<char>(c);
        if (c != traits_type::eof()) xsputn(&ch, 1);
        return c;
    }

  private:
    std::streambuf* saved_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string partial_;
    std::vector<std::string> lines_;
};

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
    MinerConfig config = config_for(node, 2, batch);
    const test::Header header = build_candidate(parse_block_template(fixed_work("", 0, 0), false),
                                                config.payouts, 0, config.coinbase_tag)
                                    .header;
    std::uint32_t base = 1000;
    const auto hit_alone = [&](std::uint32_t hit) {  // in the four batches up to it
        for (std::uint32_t n = base; n < base + 4 * batch; ++n)
            if (n != hit &&
                test::meets(test::portable_hash(header, n), test::portable_hash(header, hit)))
                return false;
        return true;
    };
    while (!hit_alone(base + 3 * batch)) base += 4 * batch;
    const std::uint32_t hit = base + 3 * batch;
    node.set_template(
        fixed_work(hash_to_hex(test::portable_hash(header, hit)), base, base + 4 * batch - 1));

    struct Holds {
        std::mutex mutex;
        std::condition_variable changed;
        std::map<std::thread::id, int> reads;  // clock readings per thread
        std::thread::id worker[2];
        bool worker0_free = false, worker1_held = false, worker1_free = false, recorded = false;
    } holds;
    const auto wait_for = [&holds](std::unique_lock<std::mutex>& lock, bool& flag) {
        holds.changed.wait(lock, [&flag] { return flag; });
    };
    LoopTimings seams;
    seams.start_worker = [&](std::uint32_t index, std::function<void()> body) {
        return std::thread([&, index, body = std::move(body)] {
            std::unique_lock lock(holds.mutex);
            holds.worker[index] = std::this_thread::get_id();
            if (index == 0) wait_for(lock, holds.worker0_free);
            lock.unlock();
            body();
        });
    };
    seams.clock = [&] {
        std::unique_lock lock(holds.mutex);
        const int read = ++holds.reads[std::this_thread::get_id()];
        if (std::this_thread::get_id() == holds.worker[1] && read == 4) {  // after its third batch
            holds.worker1_held = true;
            holds.changed.notify_all();
            wait_for(lock, holds.worker1_free);
        } else if (std::this_thread::get_id() == holds.worker[0] && read == 2) {  // its hit is out
            holds.recorded = true;
            holds.changed.notify_all();
        } else if (holds.worker[0] != std::this_thread::get_id() &&
                   holds.worker[1] != std::this_thread::get_id() && read == 2) {  // the loop
            wait_for(lock, holds.worker1_held);
            lock.unlock();
            // New work answers the long poll; the poll after it shows the poller has it.
            json next = work(std::string(64, '0'));
            next["longpollid"] = "tip-2";
            node.wait_requests(1, {{"method", "getblocktemplate"}, {"longpollid", "tip-1"}});
            node.set_template(next);
            node.wait_requests(1, {{"method", "getblocktemplate"}, {"longpollid", "tip-2"}});
            lock.lock();
            holds.worker0_free = true;
            holds.changed.notify_all();
            wait_for(lock, holds.recorded);
            holds.worker1_free = true;
            holds.changed.notify_all();
        }
        return std::chrono::steady_clock::now();
    };
    std::atomic<bool> stop{false};
    MiningLoop loop(config, stop, seams);
    std::future<int> status = std::async(std::launch::async, [&loop] { return loop.run(); });
    json blocks;
    try {
        blocks = node.wait_requests(1, {{"method", "submitblock"}});
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
    stop = true;
    EXPECT_EQ(status.get(), kExitOk);
    ASSERT_EQ(node.requests({{"method", "submitblock"}}).size(), 1u);
    const std::string block = blocks[0]["params"][0];
    EXPECT_EQ(block.substr(2 * 76, 8), hex_u32_le(hit));
}

// A range that ends at the top of the nonces: each pass searches its
// candidate's range once, in order, and ends there; the extranonce steps.
TEST(MiningLoop, ARangeEndingAtTheTopIsSearchedOncePerExtranonce) {
    test::NodeDouble node;
    const std::uint64_t min = 0xffffffff - 1023, chunk = 64;
    node.set_template(fixed_work(std::string(64, '0'), min, 0xffffffff));  // no hash meets it
    MinerConfig config = config_for(node, 1, chunk);
    config.status_sec = 0;  // a "[stat]" line per chunk
    OutputLines out;
    std::atomic<bool> stop{false};
    MiningLoop loop(config, stop);
    std::future<int> status = std::async(std::launch::async, [&loop] { return loop.run(); });
    const std::regex stat(R"(\[stat\] height=\d+ extranonce=(\d+) nonce=(\d+) .*)");
    std::smatch m;
    const std::vector<std::string> lines = out.wait([&](const std::string& line) {
        std::smatch m;
        return std::regex_match(line, m, stat) && (m[1] == "2" || std::stoull(m[2]) < min);
    });
    stop = true;
    EXPECT_EQ(status.get(), kExitOk);
    std::map<std::uint64_t, std::uint64_t> next;  // extranonce: where its next chunk starts
    for (const std::string& line : lines) {
        if (!std::regex_match(line, m, stat)) continue;
        std::uint64_t& expected = next.emplace(std::stoull(m[1]), min).first->second;
        ASSERT_EQ(std::stoull(m[2]), expected) << line;
        expected += chunk;
    }
    ASSERT_GE(next.size(), 3u);
    EXPECT_EQ(next[0], 0x100000000u);
    EXPECT_EQ(next[1], 0x100000000u);
    EXPECT_TRUE(node.requests({{"method", "submitblock"}}).empty());
}

}  // namespace
}  // namespace qvn
