// A line queue on a pipe nobody reads: its writer is held on a full pipe
// while lines come; once the pipe is read, what comes out is in order, a
// kept line among it, and the dropped lines counted where they were lost;
// then the lines written flow again, however much the full queue held.
#include "driver/output_queue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <ostream>
#include <string>
#include <thread>

namespace qvn {
namespace {

TEST(LineQueue, AKeptLineComesOutOfAFullQueueInOrder) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int size = fcntl(fds[1], F_SETPIPE_SZ, 1);  // the least a pipe holds: a page
    ASSERT_GT(size, 0);
    // A first line longer than the pipe holds: the writer fills the pipe
    // with it and is held there, that line alone taken from the queue.
    const std::string longer(static_cast<std::size_t>(size), 'x');
    const std::string note = "[output] 1 line dropped: the test stream was not read\n";
    std::string out;
    {
        LineQueue queue(fds[1], "the test stream", longer.size() + 16);
        std::ostream stream(&queue);
        stream << "[a] " << longer << "\n" << std::flush;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (int held = 0; ioctl(fds[0], FIONREAD, &held) == 0 && held < size;) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the writer wrote nothing";
            std::this_thread::yield();
        }
        stream << "[b] fits\n"
               << "[c] fits\n";              // 18 bytes
        stream << "[d] " << longer << "\n";  // dropped: the queue is full
        write_kept_line(stream, "[k] kept");
        stream << "[e]\n" << std::flush;  // would fit, but the queue stays full until taken
        std::thread reader([&] {
            char buffer[256];
            for (ssize_t got; (got = read(fds[0], buffer, sizeof buffer)) > 0;)
                out.append(buffer, got);
        });
        EXPECT_TRUE(queue.drain(deadline));
        stream << "[f] " << longer << "\n" << std::flush;
        EXPECT_TRUE(queue.drain(deadline));
        close(fds[1]);
        reader.join();
    }
    close(fds[0]);
    EXPECT_EQ(out, "[a] " + longer + "\n[b] fits\n[c] fits\n" + note + "[k] kept\n" + note +
                       "[f] " + longer + "\n");
}

}  // namespace
}  // namespace qvn
