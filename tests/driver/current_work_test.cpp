// The choice among the answers the poller brought, and what the miner says
// of each: answers taken by when the node gave them, whatever order they are
// handed over in.
#include "driver/current_work.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support/captured_output.h"

namespace qvn {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// Work on block `height` under long-poll id `id`; `eased` sets a target
// above the one bits give.
json work(int height, const std::string& id, bool eased = false) {
    json t = {{"version", 536870912},
              {"previousblockhash", std::string(63, '0') + "1"},
              {"coinbasevalue", 5000000000ULL},
              {"height", height},
              {"curtime", 1700000000},
              {"bits", "207fffff"},
              {"longpollid", id},
              {"transactions", json::array()}};
    if (height != 1) t["previousblockhash"] = std::string(63, '0') + "2";
    if (eased) t["target"] = std::string(64, 'f');
    return t;
}

TEST(CurrentWork, AnswersTakenByArrivalAndWhatIsSaid) {
    struct Answer {
        WorkSource source;
        int ms;  // when the node gave it
        json result;
    };
    struct Case {
        const char* name;
        std::vector<Answer> answers;  // in the order the loop hands them over
        bool verbose;
        bool switched;
        int height;          // of the work current afterwards
        std::string follow;  // the ids handed to the poller, ";"-separated
        std::string out, err;
    };
    const std::string work2 = "[work] height=2 txs=1 coinbasevalue=5000000000 target=";
    const Case cases[] = {
        {"a plain answer from before the block does not hide the long poll's new block",
         {{WorkSource::long_poll, 20, work(2, "tip-2")},
          {WorkSource::after_submit, 10, work(1, "tip-1")}},
         false,
         true,
         2,
         "tip-1;tip-2;",
         "[work] longpoll update received\n" + work2,
         ""},
        {"a check that finds another id and other work",
         {{WorkSource::check, 5, work(2, "tip-2")}},
         false,
         true,
         2,
         "tip-2;",
         work2,
         "[longpoll] no answer, but the node has new work; polling again\n"},
        {"a check that finds other work under the poll's id",
         {{WorkSource::check, 5, work(1, "tip-1", true)}},
         true,
         true,
         1,
         "tip-1;",
         "[longpoll] check: new work under the poll's id; mining it, the poll stays open\n",
         ""},
        {"a check that finds the same work",
         {{WorkSource::check, 5, work(1, "tip-1")}},
         true,
         false,
         1,
         "",
         "[longpoll] check: no new work; the poll stays open\n",
         ""},
        {"the same work under a new id",
         {{WorkSource::periodic, 5, work(1, "tip-9")}},
         true,
         false,
         1,
         "tip-9;",
         "",
         ""},
        {"a plain answer that does not parse",
         {{WorkSource::periodic, 5, json{{"height", 3}}}},
         false,
         false,
         1,
         "",
         "",
         "[rpc] periodic getblocktemplate failed: "},
    };
    for (const Case& c : cases) {
        std::string followed;
        CurrentWork current(parse_block_template(work(1, "tip-1"), false), false, c.verbose,
                            [&followed](const std::string& id) { followed += id + ";"; });
        std::vector<PolledWork> answers;
        for (const Answer& a : c.answers)
            answers.push_back(
                {a.result, a.source, Clock::time_point{} + std::chrono::milliseconds{a.ms}});
        test_support::CapturedOutput captured;
        EXPECT_EQ(current.take(answers), c.switched) << c.name;
        EXPECT_EQ(current.get().height, c.height) << c.name;
        EXPECT_EQ(followed, c.follow) << c.name;
        EXPECT_EQ(captured.out.str().substr(0, c.out.size()), c.out) << c.name;
        EXPECT_EQ(captured.err.str().substr(0, c.err.size()), c.err) << c.name;
        if (c.out.empty()) {
            EXPECT_EQ(captured.out.str(), "") << c.name;
        }
    }
}

}  // namespace
}  // namespace qvn
