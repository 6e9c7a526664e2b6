// The choice among the answers the poller brought: taken by when the node
// gave them, whatever order they are handed over in, whether other work is
// then current, and what a check says.
#include "driver/current_work.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support/captured_output.h"

namespace qvn {
namespace {

using json = nlohmann::json;

// Work on block `height` under long-poll id `id`.
PolledWork answer(int height, const std::string& id, WorkSource source, int ms) {
    const json work = {{"version", 536870912},
                       {"previousblockhash", std::string(63, '0') + "1"},
                       {"coinbasevalue", 5000000000ULL},
                       {"height", height},
                       {"curtime", 1700000000},
                       {"bits", "207fffff"},
                       {"longpollid", id},
                       {"transactions", json::array()}};
    return {work, source, std::chrono::steady_clock::time_point{} + std::chrono::milliseconds{ms}};
}

TEST(CurrentWork, AnswersTakenByArrivalAndWhatACheckSays) {
    struct Case {
        const char* name;
        std::vector<PolledWork> answers;  // in the order the loop hands them over
        int height;                       // of the work current afterwards
        bool taken;                       // what take() says: other work is current
        std::string err;
        std::string followed;  // the ids handed to the poller
    };
    const Case cases[] = {
        {"a plain answer from before a block does not hide the long poll's new block",
         {answer(2, "tip-2", WorkSource::long_poll, 20),
          answer(1, "tip-1", WorkSource::after_submit, 10)},
         2,
         true,
         "",
         "tip-1;tip-2;"},
        {"the long poll and a plain answer bring the same new work",
         {answer(2, "tip-2", WorkSource::after_submit, 20),
          answer(2, "tip-2", WorkSource::long_poll, 10)},
         2,
         true,
         "",
         "tip-2;tip-2;"},
        {"a check that finds another id and other work",
         {answer(2, "tip-2", WorkSource::check, 5)},
         2,
         true,
         "[longpoll] no answer, but the node has new work; polling again\n",
         "tip-2;"},
        {"a check that finds the same work",
         {answer(1, "tip-1", WorkSource::check, 5)},
         1,
         false,
         "",
         ""},
    };
    for (const Case& c : cases) {
        std::string followed;
        CurrentWork current(
            parse_block_template(answer(1, "tip-1", WorkSource::check, 0).result, false), false,
            false, [&followed](const std::string& id) { followed += id + ";"; });
        const test_support::CapturedOutput output;
        EXPECT_EQ(current.take(c.answers), c.taken) << c.name;
        EXPECT_EQ(current.get().height, c.height) << c.name;
        EXPECT_EQ(output.err.str(), c.err) << c.name;
        EXPECT_EQ(followed, c.followed) << c.name;
    }
}

}  // namespace
}  // namespace qvn
