// A line queue on a pipe that nobody reads for a while: the writer of the
// lines never waits, lines that do not fit are dropped and counted, a kept
// line never is, and what comes out is whole lines in order.
#include "driver/output_queue.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <future>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>

namespace qvn {
namespace {

using Clock = std::chrono::steady_clock;

std::string read_all(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, got);
    return text;
}

TEST(LineQueue, AStreamNobodyReadsDropsLinesAndSaysHowMany) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[1], F_SETPIPE_SZ, 4096);  // the smallest pipe: it fills at once
    const std::string kept = "[submit] kept " + std::string(20000, 'k');
    constexpr int kLines = 3000;
    {
        LineQueue queue(fds[1], "standard output", 2048);
        std::ostream out(&queue);
        for (int i = 0; i < kLines; ++i) {
            out << "[stat] line " + std::to_string(i) + " " + std::string(60, 'x') + "\n";
            if (i == kLines / 2) write_kept_line(out, kept);
        }
        std::future<std::string> text = std::async(std::launch::async, read_all, fds[0]);
        EXPECT_TRUE(queue.drain(Clock::now() + std::chrono::seconds{10}));
        ::close(fds[1]);
        // Whole lines, in order, each either written or counted as dropped.
        std::istringstream lines(text.get());
        const std::regex note("\\[output\\] (\\d+) lines? dropped: standard output was not read");
        int next = 0;
        std::uint64_t delivered = 0;
        std::uint64_t dropped = 0;
        bool kept_seen = false;
        for (std::string line; std::getline(lines, line);) {
            std::smatch match;
            if (std::regex_match(line, match, note)) {
                dropped += std::stoull(match[1]);
            } else if (line == kept) {
                kept_seen = true;
            } else {
                ASSERT_EQ(line.rfind("[stat] line ", 0), 0u) << line;
                const int i = std::stoi(line.substr(12));
                ASSERT_GE(i, next) << line;
                ASSERT_EQ(line, "[stat] line " + std::to_string(i) + " " + std::string(60, 'x'));
                next = i + 1;
                ++delivered;
            }
        }
        EXPECT_TRUE(kept_seen);
        EXPECT_GT(dropped, 0u);
        EXPECT_EQ(delivered + dropped, static_cast<std::uint64_t>(kLines));
    }
    ::close(fds[0]);
}

// A stream that never drains keeps nobody waiting past the deadline.
TEST(LineQueue, AStuckStreamIsLetGo) {
    std::signal(SIGPIPE, SIG_IGN);  // as the miner: the reader goes away below
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        LineQueue queue(fds[1], "standard error", 1024);
        std::ostream err(&queue);
        write_kept_line(err, std::string(1 << 20, 'e'));  // more than any pipe holds
        EXPECT_FALSE(queue.drain(Clock::now() + std::chrono::milliseconds{100}));
    }
    ::close(fds[0]);  // the writer's write fails, and it ends; it holds fds[1]
}

}  // namespace
}  // namespace qvn
