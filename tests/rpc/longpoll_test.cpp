// The long poller against the node double. Synchronisation is on the node's
// recorded requests: the poller sends its next long poll only after it has
// stored the previous answer, so a recorded request proves the earlier steps.
#include "rpc/longpoll.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include "rpc/client.h"
#include "rpc/node_double.h"
#include "rpc/stderr_capture.h"

namespace qvn {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

json template_with_id(const std::string& longpollid, int height) {
    json t = {{"version", 536870912},           {"previousblockhash", std::string(64, '0')},
              {"coinbasevalue", 5000000000ULL}, {"height", height},
              {"curtime", 1700000000},          {"bits", "207fffff"}};
    if (!longpollid.empty()) t["longpollid"] = longpollid;
    return t;
}

// The template a taken answer holds, if any.
std::optional<json> result_of(std::optional<PolledWork> work) {
    if (!work) return std::nullopt;
    return std::move(work->result);
}

std::size_t thread_count() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

class LongPollerTest : public ::testing::Test {
  protected:
    LongPollerTest() : client(settings()) {}

    RpcSettings settings() {
        RpcSettings s;
        s.url = node.url();
        s.on_exchange = [this](const RpcExchange& exchange) {
            const std::lock_guard<std::mutex> lock(exchanges_mutex);
            exchanges.push_back(exchange);
        };
        return s;
    }

    // Getblocktemplate requests carrying this long-poll id.
    json polls_with(const std::string& id) const {
        return node.requests({{"method", "getblocktemplate"}, {"longpollid", id}});
    }

    test::NodeDouble node;
    RpcClient client;
    WakeFlag stop;  // the process's stop request, as the poller sees it
    std::mutex exchanges_mutex;
    std::vector<RpcExchange> exchanges;  // every request the fixture's client ended
};

TEST_F(LongPollerTest, DisabledPollerStartsNoThreadAndNeverUpdates) {
    const std::size_t before = thread_count();
    {
        LongPoller poller(client, stop, {.enabled = false});
        EXPECT_EQ(thread_count(), before);
        poller.follow("lp-1");
        EXPECT_FALSE(poller.take_update().has_value());
        EXPECT_FALSE(poller.fetch_now());
    }
    EXPECT_TRUE(node.requests().empty());
}

TEST_F(LongPollerTest, EnabledPollerWaitsForAnIdBeforePolling) {
    node.set_template(template_with_id("lp-1", 1));
    const std::size_t before = thread_count();
    LongPoller poller(client, stop);
    // At least one: a sanitizer may start its own helper thread alongside.
    EXPECT_GT(thread_count(), before);
    poller.follow("");  // an empty id is no id
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(node.requests().empty());

    poller.follow("lp-1");
    const json held = node.wait_requests(1, {{"state", "held"}});
    EXPECT_EQ(held[0].at("longpollid"), "lp-1");
    EXPECT_EQ(node.requests().size(), 1u);
    EXPECT_FALSE(poller.take_update().has_value());
}

TEST_F(LongPollerTest, HandsOverNewTemplateOnceAndFollowsItsId) {
    node.set_template(template_with_id("lp-1", 1));
    LongPoller poller(client, stop);
    poller.follow("lp-1");
    node.wait_requests(1, {{"state", "held"}, {"longpollid", "lp-1"}});

    node.set_template(template_with_id("lp-2", 2));
    node.wait_requests(1, {{"state", "held"}, {"longpollid", "lp-2"}});
    EXPECT_EQ(result_of(poller.take_update()), template_with_id("lp-2", 2));
    EXPECT_FALSE(poller.take_update().has_value());
    // The driver adopting that template follows the same id: no new request.
    poller.follow("lp-2");
    EXPECT_EQ(polls_with("lp-2").size(), 1u);
    // A long poll has no time limit, however long the node keeps it: a
    // healthy quiet node holds it for hours.
    const std::lock_guard<std::mutex> lock(exchanges_mutex);
    ASSERT_EQ(exchanges.size(), 1u);
    EXPECT_TRUE(exchanges[0].long_poll);
    EXPECT_EQ(exchanges[0].time_limit.count(), 0);
}

// A silent poll is checked on a plain request beside it, and every answer is
// handed over: the mining loop tells new work from old. On a quiet chain the
// poll stays open meanwhile, so the node loses no worker to a client that has
// gone and still answers anyone else at once. When the node's work has moved
// on without the poll (a dead connection), following the new id gives it up.
// The poll's client has a time limit far below the checks' interval: the
// poll, which has none, outlives it.
TEST_F(LongPollerTest, SilentLongPollIsCheckedPlainly) {
    enum class Chain { quiet, new_work_same_id, moved_on };
    for (const Chain chain : {Chain::quiet, Chain::new_work_same_id, Chain::moved_on}) {
        const bool quiet = chain != Chain::moved_on;
        SCOPED_TRACE(static_cast<int>(chain));
        test::NodeDouble node;
        node.set_template(template_with_id("lp-1", 1));
        RpcSettings s;
        s.url = node.url();
        s.timeout_ms = 250;
        const RpcClient client(s);
        test::StderrCapture capture;
        LongPoller poller(client, stop, {.check_after = std::chrono::milliseconds{300}});
        poller.follow("lp-1");
        node.wait_requests(1, {{"state", "held"}, {"longpollid", "lp-1"}});
        // Another target under the same id: no long poll answers for it.
        const json eased = template_with_id("lp-1", chain == Chain::quiet ? 1 : 2);
        if (chain == Chain::new_work_same_id) node.set_template(eased, false);
        if (quiet) {
            const json plain = {{"method", "getblocktemplate"}, {"longpollid", nullptr}};
            node.wait_requests(4, plain);
            s.timeout_ms = 2000;
            EXPECT_NO_THROW(RpcClient(s).call("getblocktemplate", nullptr));
            EXPECT_EQ(node.control({{"cmd", "workers"}}).at("gone"), 0);
            EXPECT_EQ(node.requests({{"longpollid", "lp-1"}}).size(), 1u);
            const std::optional<PolledWork> work = poller.take_refresh();
            ASSERT_TRUE(work.has_value());
            EXPECT_EQ(work->result, eased);
            EXPECT_EQ(work->source, WorkSource::check);
            EXPECT_FALSE(poller.take_update().has_value());
        } else {
            node.set_template(template_with_id("lp-2", 2), false);
            std::optional<PolledWork> work;
            for (auto until = Clock::now() + std::chrono::seconds(10);
                 !work && Clock::now() < until;) {
                poller.wait_for_work(std::chrono::milliseconds(100));
                work = poller.take_refresh();
            }
            ASSERT_TRUE(work.has_value());
            EXPECT_EQ(work->result, template_with_id("lp-2", 2));
            EXPECT_EQ(work->source, WorkSource::check);
            poller.follow("lp-2");  // as the mining loop does when it takes the work
            node.wait_requests(1, {{"client_gone", true}, {"longpollid", "lp-1"}});
            node.wait_requests(1, {{"state", "held"}, {"longpollid", "lp-2"}});
            EXPECT_FALSE(poller.take_update().has_value());
            node.release();
        }
        capture.restore();
        EXPECT_EQ(capture.text(), "");
    }
}

// The request after a found block, beside the open poll: fetching() holds
// until its answer is ready to take, or until it failed.
TEST_F(LongPollerTest, RequestAfterABlockEndsWithItsAnswerOrFailure) {
    for (const bool answers : {true, false}) {
        SCOPED_TRACE(answers ? "answered" : "failed");
        node.set_template(template_with_id("lp-1", 1));
        json slow = {{"method", "getblocktemplate"}, {"plain", true}, {"delay_ms", 300}};
        if (!answers) slow.update({{"status", 500}, {"body", "down"}});
        node.queue(slow);
        test::StderrCapture capture;
        LongPoller poller(client, stop);
        poller.follow("lp-1");
        node.wait_requests(1, {{"state", "held"}, {"longpollid", "lp-1"}});
        EXPECT_FALSE(poller.fetching());
        ASSERT_TRUE(poller.fetch_now());
        EXPECT_TRUE(poller.fetching());
        const auto asked = Clock::now();
        while (poller.fetching() && Clock::now() - asked < std::chrono::seconds(10)) {
            poller.wait_for_work(std::chrono::seconds(20));
        }
        EXPECT_FALSE(poller.fetching());
        // The answer or the failure woke the wait, not its limit.
        EXPECT_LT(Clock::now() - asked, std::chrono::seconds(10));
        const std::optional<PolledWork> work = poller.take_refresh();
        EXPECT_EQ(work.has_value(), answers);
        if (work) {
            EXPECT_EQ(work->source, WorkSource::after_submit);
        }
        EXPECT_EQ(polls_with("lp-1").size(), 1u);  // the poll stayed open
        capture.restore();
        EXPECT_EQ(capture.text(), answers ? ""
                                          : "[rpc] getblocktemplate after submit failed: "
                                            "RPC HTTP 500 calling getblocktemplate: down\n");
        node.control({{"cmd", "clear_requests"}});
    }
}

// The hint comes once, and only when the node looks busy: a 503, or a time
// limit run out while the long poll holds one of its workers.
TEST_F(LongPollerTest, BusyNodeHintOnlyWhenTheWorkersSeemTaken) {
    node.set_template(template_with_id("lp-1", 1));
    // polling, a 503 (else a time-out), whether the hint comes
    for (const auto& [polling, queue_full, hinted] :
         {std::tuple{false, false, false}, {true, false, true}, {false, true, true}}) {
        test::StderrCapture capture;
        LongPoller poller(client, stop, {.enabled = polling});
        if (polling) {
            poller.follow("lp-1");
            node.wait_requests(1, {{"state", "held"}, {"longpollid", "lp-1"}});
        }
        for (int i = 0; i < 2; ++i) {
            if (queue_full) poller.hint_if_node_busy(RpcBusy("RPC HTTP 503"));
            if (!queue_full) poller.hint_if_node_busy(RpcTimedOut("timed out"));
        }
        capture.restore();
        EXPECT_EQ(capture.text(), hinted ? std::string(kBusyNodeHint) + "\n" : "");
    }
}

TEST_F(LongPollerTest, KeepsOnlyTheNewestOfTwoResults) {
    node.set_template(template_with_id("lp-1", 1));
    LongPoller poller(client, stop);
    poller.follow("lp-1");
    node.wait_requests(1, {{"state", "held"}, {"longpollid", "lp-1"}});
    node.set_template(template_with_id("lp-2", 2));
    node.wait_requests(1, {{"state", "held"}, {"longpollid", "lp-2"}});
    node.set_template(template_with_id("lp-3", 3));
    node.wait_requests(1, {{"state", "held"}, {"longpollid", "lp-3"}});

    EXPECT_EQ(result_of(poller.take_update()), template_with_id("lp-3", 3));
    EXPECT_FALSE(poller.take_update().has_value());
}

TEST_F(LongPollerTest, ResultWithoutStringIdKeepsTheOldId) {
    node.set_longpoll_mode("always");
    node.set_template(template_with_id("lp-1", 1));
    LongPoller poller(client, stop);
    poller.follow("lp-1");
    node.wait_requests(1, {{"state", "held"}});
    json no_id = template_with_id("", 2);
    no_id["longpollid"] = 42;
    node.set_template(no_id);
    node.wait_requests(2, {{"longpollid", "lp-1"}});
    EXPECT_EQ(result_of(poller.take_update()), no_id);
}

TEST_F(LongPollerTest, NewIdAbortsRequestInFlightSilently) {
    node.set_template(template_with_id("lp-1", 1));
    test::StderrCapture capture;
    {
        LongPoller poller(client, stop);
        poller.follow("lp-1");
        node.wait_requests(1, {{"state", "held"}, {"longpollid", "lp-1"}});
        // The driver fetched a newer template itself; the node has not answered the poll.
        node.set_template(template_with_id("lp-2", 2), false);
        poller.follow("lp-2");
        node.wait_requests(1, {{"state", "held"}, {"longpollid", "lp-2"}});
        node.wait_requests(1, {{"client_gone", true}, {"longpollid", "lp-1"}});
        EXPECT_FALSE(poller.take_update().has_value());
    }
    capture.restore();
    EXPECT_EQ(capture.text(), "");
}

TEST_F(LongPollerTest, SameIdLeavesRequestInFlightAlone) {
    node.set_template(template_with_id("lp-1", 1));
    LongPoller poller(client, stop);
    poller.follow("lp-1");
    node.wait_requests(1, {{"state", "held"}, {"longpollid", "lp-1"}});
    poller.follow("lp-1");
    node.set_template(template_with_id("lp-2", 2));
    node.wait_requests(1, {{"state", "held"}, {"longpollid", "lp-2"}});

    // An abort would have cancelled the poll or dropped its answer and polled with lp-1 again.
    const json first = polls_with("lp-1");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].at("state"), "answered");
    EXPECT_EQ(result_of(poller.take_update()), template_with_id("lp-2", 2));
}

TEST_F(LongPollerTest, DestructionAbortsOpenPollPromptly) {
    node.set_template(template_with_id("lp-1", 1));
    test::StderrCapture capture;
    auto poller = std::make_unique<LongPoller>(client, stop);
    poller->follow("lp-1");
    node.wait_requests(1, {{"state", "held"}});
    auto destroyed = std::async(std::launch::async, [&poller] { poller.reset(); });
    if (destroyed.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        node.release();  // let the stuck destructor finish before reporting
        FAIL() << "the destructor did not abort the open long poll";
    }
    node.wait_requests(1, {{"client_gone", true}});
    capture.restore();
    EXPECT_EQ(capture.text(), "");
}

TEST_F(LongPollerTest, FailedPollIsReportedAndRetriedAfterBackOff) {
    node.queue({{"method", "getblocktemplate"}, {"status", 500}, {"body", "boom"}});
    node.set_template(template_with_id("lp-1", 1));
    test::StderrCapture capture;
    LongPoller poller(client, stop);
    poller.follow("lp-1");
    node.wait_requests(1, {{"state", "held"}, {"longpollid", "lp-1"}});
    capture.restore();
    EXPECT_EQ(capture.text(), "[longpoll] RPC HTTP 500 calling getblocktemplate: boom\n");
    EXPECT_EQ(polls_with("lp-1").size(), 2u);
    EXPECT_FALSE(poller.take_update().has_value());
}

// A node answering 503 every attempt: the failure is written once (the
// rest are summed up later), with a word on what it means, and the attempts
// come about two seconds apart.
TEST_F(LongPollerTest, RepeatedFailureIsWrittenOnceWithWhatItMeans) {
    node.queue({{"method", "getblocktemplate"},
                {"times", 0},
                {"status", 503},
                {"body", "Work queue depth exceeded"}});
    test::StderrCapture capture;
    Clock::duration between{};
    {
        LongPoller poller(client, stop);
        poller.follow("lp-1");
        node.wait_requests(1, {{"longpollid", "lp-1"}});
        const auto first = Clock::now();
        node.wait_requests(3, {{"longpollid", "lp-1"}});
        between = Clock::now() - first;
    }
    capture.restore();
    EXPECT_EQ(capture.text(),
              "[longpoll] RPC HTTP 503 calling getblocktemplate: Work queue depth exceeded\n" +
                  std::string(kBusyNodeHint) + "\n");
    // 20 sleeps of 100 ms separate the attempts (a lower bound only).
    EXPECT_GE(between, std::chrono::milliseconds(3800));
}

TEST_F(LongPollerTest, StopRequestSilencesErrorsAndAsksNothingMore) {
    node.queue({{"method", "getblocktemplate"}, {"times", 0}, {"status", 500}, {"body", "down"}});
    test::StderrCapture capture;
    stop.set();
    {
        // Neither a long poll nor a periodic refresh is asked for once stopping.
        LongPoller poller(client, stop, {.refresh_interval = std::chrono::seconds{1}});
        poller.follow("lp-1");
        EXPECT_FALSE(node.control({{"cmd", "wait_requests"}, {"count", 1}, {"timeout_ms", 2500}})
                         .at("ok")
                         .get<bool>());
    }
    capture.restore();
    EXPECT_EQ(capture.text(), "");
}

}  // namespace
}  // namespace qvn
