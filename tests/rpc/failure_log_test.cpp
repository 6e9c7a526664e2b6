#include "rpc/failure_log.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace qvn {
namespace {

using std::chrono::seconds;

// Each row: lines written (or "" for the end of a run) at these seconds, and
// what reaches the log.
TEST(RepeatedLines, FirstOfARunWrittenRestSummedUpAtMostOnceAMinute) {
    struct Row {
        std::vector<std::pair<int, std::string>> events;
        std::string log;
    };
    const std::vector<Row> rows = {
        {{{0, "a"}, {2, "a"}, {4, "a"}}, "a\n"},
        {{{0, "a"}, {30, "a"}, {61, "a"}, {62, "a"}, {122, "a"}},
         "a\na (again 2 times in the last 61 s)\na (again 2 times in the last 61 s)\n"},
        {{{0, "a"}, {2, "a"}, {3, "b"}, {4, "a"}}, "a\na (again 1 time in the last 3 s)\nb\na\n"},
        {{{0, "a"}, {2, "a"}, {5, ""}, {6, "a"}}, "a\na (again 1 time in the last 5 s)\na\n"},
        {{{0, "a"}, {5, ""}, {6, "a"}}, "a\na\n"},
    };
    for (const Row& row : rows) {
        std::ostringstream out;
        RepeatedLines lines(out);
        const auto start = RepeatedLines::Clock::time_point{} + seconds(1000);
        for (const auto& [at, line] : row.events) {
            if (line.empty()) {
                lines.end_run(start + seconds(at));
            } else {
                lines.write(line, start + seconds(at));
            }
        }
        EXPECT_EQ(out.str(), row.log);
    }
}

}  // namespace
}  // namespace qvn
