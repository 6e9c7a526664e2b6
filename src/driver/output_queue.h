// Standard output and standard error through a queue each, written by a
// thread of their own: a terminal that stops reading (Ctrl-S, an ssh session
// whose laptop sleeps, `qvncpu | less`) or a full pipe holds up that thread
// alone, never the mining, the poller or a found block.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>

namespace qvn {

// A stream's lines, queued whole, for its writer thread. Thread-safe: a line
// written with one call never mixes with another thread's.
class LineQueue : public std::streambuf {
  public:
    // Writes to file descriptor fd; `name` says in the dropped-lines note
    // which stream was not read. Once *interrupted is set (a stop request,
    // perhaps Ctrl-C), a terminal's discard of its unshown output is waited
    // out before the next lines: the run's last lines must not go with it.
    LineQueue(int fd, std::string name, std::size_t max_bytes,
              const std::atomic<bool>* interrupted = nullptr);
    // Waits for the writer to write what is queued, at most until deadline,
    // then lets it go: a stuck stream never keeps the process from ending.
    ~LineQueue() override;
    LineQueue(const LineQueue&) = delete;
    LineQueue& operator=(const LineQueue&) = delete;

    // Queues a line that is never dropped, however full the queue.
    void keep(const std::string& line);
    // Waits until everything queued has been written, at most until deadline.
    bool drain(std::chrono::steady_clock::time_point deadline);

  protected:
    int overflow(int c) override;
    std::streamsize xsputn(const char* data, std::streamsize size) override;

  private:
    struct State;
    std::shared_ptr<State> state_;  // shared with the writer thread, which may outlive this
};

// Swaps std::cout's and std::cerr's buffers for line queues while it lives;
// its end drains them for at most `linger` and puts the buffers back.
class OutputQueues {
  public:
    // A queue holds at most max_bytes of lines that may be dropped; lines
    // over that are dropped and counted, and one line says how many once
    // there is room again.
    explicit OutputQueues(std::size_t max_bytes = kDefaultMaxBytes,
                          std::chrono::milliseconds linger = kDefaultLinger,
                          const std::atomic<bool>* interrupted = nullptr);
    ~OutputQueues();
    OutputQueues(const OutputQueues&) = delete;
    OutputQueues& operator=(const OutputQueues&) = delete;

    static constexpr std::size_t kDefaultMaxBytes = 256 * 1024;
    static constexpr std::chrono::milliseconds kDefaultLinger{3000};

  private:
    std::chrono::milliseconds linger_;
    LineQueue out_;
    LineQueue err_;
    std::streambuf* saved_out_;
    std::streambuf* saved_err_;
};

// Writes line and a line feed to out, never to be dropped: on a line queue
// it waits in the queue however full that is; otherwise as write_line does.
void write_kept_line(std::ostream& out, const std::string& line);

}  // namespace qvn
