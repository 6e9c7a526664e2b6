#include "driver/service_status.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace qvn {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

// One run's notifications, a status every 10 s and a ping every 4 s: what
// changes goes out at once, the rest when due, the rate since the last status.
TEST(ServiceStatus, SaysWhatChangedAtOnceAndTheRestWhenDue) {
    std::string sent;
    const auto notify = [&sent](const std::string& message) { return sent += message, 1; };
    ServiceStatus status(seconds{10}, notify, seconds{4});
    const Clock::time_point t0 = Clock::time_point{} + std::chrono::hours{1};
    const std::string refused = "RPC HTTP 401 calling getblocktemplate";
    status.ready({0, 7, {t0, ""}}, t0);
    EXPECT_EQ(sent,
              "READY=1\nSTATUS=starting at height 7, node answered 0 s ago, blocks found "
              "0, accepted 0");
    struct Row {
        int at;  // seconds after t0
        LoopState state;
        std::string sent;
    };
    const Row rows[] = {
        {1, {1000, 7, {t0, ""}}, "WATCHDOG=1\n"},
        {2, {2000, 7, {t0, ""}}, ""},
        {3,
         {3000, 7, {t0, refused}},
         "STATUS=no answer from the node for 3 s: " + refused +
             "; 1.00 kH/s at height 7, blocks found 0, accepted 0"},
        {5,
         {3000, 7, {t0, refused}, true},
         "WATCHDOG=1\nSTATUS=hashing paused, no answer from the node for 5 s: " + refused +
             "; blocks found 0, accepted 0"},
        {6,
         {3000, 7, {t0 + seconds{6}, ""}},
         "STATUS=0.00 H/s at height 7, node answered 0 s ago, blocks found 0, accepted 0"},
        {7,
         {3000, 7, {t0 + seconds{6}, ""}, false, 1, 0},
         "STATUS=0.00 H/s at height 7, node answered 1 s ago, blocks found 1, accepted 0"},
        {8,
         {3000, 7, {t0 + seconds{8}, ""}, false, 1, 1},
         "STATUS=0.00 H/s at height 7, node answered 0 s ago, blocks found 1, accepted 1"},
        {18,
         {13000, 7, {t0 + seconds{8}, ""}, false, 1, 1},
         "WATCHDOG=1\nSTATUS=1.00 kH/s at height 7, node answered 10 s ago, blocks found 1, "
         "accepted 1"},
    };
    for (const Row& row : rows) {
        const Clock::time_point now = t0 + seconds{row.at};
        EXPECT_TRUE(status.due(now)) << row.at;
        sent.clear();
        status.update(row.state, now);
        EXPECT_EQ(sent, row.sent) << row.at;
    }
    sent.clear();
    status.stopping();
    EXPECT_EQ(sent, "STOPPING=1\nSTATUS=stopping");
}

}  // namespace
}  // namespace qvn
