#include "driver/output_queue.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>
#include <utility>

#include "block/text.h"

namespace qvn {
namespace {

// Writes all of text to fd, waiting out a full pipe; false when the stream
// is closed or fails (the rest is given up: output can fail, mining cannot).
bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote >= 0) {
            done += static_cast<std::size_t>(wrote);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // Someone set the descriptor non-blocking: wait for room instead.
            pollfd ready{fd, POLLOUT, 0};
            ::poll(&ready, 1, 100);
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

// A terminal discards the output it has not shown yet when its interrupt
// character is typed (unless noflsh is set), right after it signals the
// miner: lines written meanwhile would go too. The kernel holds the
// terminal's settings while it discards, so reading them waits that out; the
// short pause covers a terminal whose discard comes later. Elsewhere (a pipe,
// a file, noflsh) there is nothing to wait for.
constexpr std::chrono::milliseconds kAfterDiscard{20};

void let_terminal_discard(int fd) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) return;
    if ((settings.c_lflag & ISIG) == 0 || (settings.c_lflag & NOFLSH) != 0) return;
    std::this_thread::sleep_for(kAfterDiscard);
}

}  // namespace

struct LineQueue::State {
    int fd;
    std::string name;
    std::size_t max_bytes;
    const std::atomic<bool>* interrupted;
    bool settled = false;  // the terminal's discard was waited out

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> lines;  // each with its line feed
    std::size_t bytes = 0;          // of the lines that may be dropped
    std::string partial;            // a line written in pieces, not yet ended
    std::uint64_t dropped = 0;      // since the last note
    bool full = false;              // a line was dropped since the writer last took the lines
    bool writing = false;           // the writer holds lines it took
    bool closing = false;

    std::string dropped_note() {
        std::string note = "[output] " + std::to_string(dropped) + " line" +
                           (dropped == 1 ? "" : "s") + " dropped: " + name + " was not read\n";
        dropped = 0;
        return note;
    }

    // Under the lock. A line that finds the queue full is dropped and
    // counted, and so is every line after it until the writer takes the
    // queue: the lines lost are one run, never holes between short lines
    // that still fit. The next line queued goes after a note of how many.
    void queue(std::string line, bool kept) {
        if (!kept && (full || bytes + line.size() > max_bytes)) {
            full = true;
            ++dropped;
            return;
        }
        if (dropped > 0) lines.push_back(dropped_note());
        if (!kept) bytes += line.size();
        lines.push_back(std::move(line));
        changed.notify_all();
    }

    void take(const char* data, std::size_t size) {
        const std::lock_guard lock(mutex);
        partial.append(data, size);
        for (std::size_t end; (end = partial.find('\n')) != std::string::npos;) {
            queue(partial.substr(0, end + 1), false);
            partial.erase(0, end + 1);
        }
    }

    // The writer thread: takes everything queued and writes it in one go,
    // then, once the queue is empty, says how many lines were dropped.
    void write_lines() {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return !lines.empty() || closing; });
            if (lines.empty()) return;
            // Taken whole and joined outside the lock: a kept line can be a
            // block of megabytes, which no writer of a line should wait for.
            std::deque<std::string> taken;
            taken.swap(lines);
            bytes = 0;
            full = false;
            writing = true;
            lock.unlock();
            std::string text;
            for (const std::string& line : taken) text += line;
            if (interrupted != nullptr && !settled && interrupted->load()) {
                settled = true;
                let_terminal_discard(fd);
            }
            write_all(fd, text);
            lock.lock();
            writing = false;
            if (lines.empty() && dropped > 0) lines.push_back(dropped_note());
            changed.notify_all();
        }
    }
};

LineQueue::LineQueue(int fd, std::string name, std::size_t max_bytes,
                     const std::atomic<bool>* interrupted)
    : state_(std::make_shared<State>()) {
    state_->fd = fd;
    state_->name = std::move(name);
    state_->max_bytes = max_bytes;
    state_->interrupted = interrupted;
    // The thread holds the state itself: if its stream never drains, it is
    // let go with it, and ends with the process.
    std::thread([state = state_] { state->write_lines(); }).detach();
}

LineQueue::~LineQueue() {
    const std::lock_guard lock(state_->mutex);
    state_->closing = true;
    state_->changed.notify_all();
}

void LineQueue::keep(const std::string& line) {
    const std::lock_guard lock(state_->mutex);
    state_->queue(line + "\n", true);
}

bool LineQueue::drain(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_until(lock, deadline,
                                      [this] { return state_->lines.empty() && !state_->writing; });
}

int LineQueue::overflow(int c) {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    state_->take(&byte, 1);
    return c;
}

std::streamsize LineQueue::xsputn(const char* data, std::streamsize size) {
    state_->take(data, static_cast<std::size_t>(size));
    return size;
}

OutputQueues::OutputQueues(std::size_t max_bytes, std::chrono::milliseconds linger,
                           const std::atomic<bool>* interrupted)
    : linger_(linger),
      out_(STDOUT_FILENO, "standard output", max_bytes, interrupted),
      err_(STDERR_FILENO, "standard error", max_bytes, interrupted),
      saved_out_(std::cout.rdbuf(&out_)),
      saved_err_(std::cerr.rdbuf(&err_)) {}

OutputQueues::~OutputQueues() {
    std::cout.rdbuf(saved_out_);
    std::cerr.rdbuf(saved_err_);
    const auto deadline = std::chrono::steady_clock::now() + linger_;
    out_.drain(deadline);
    err_.drain(deadline);
}

void write_kept_line(std::ostream& out, const std::string& line) {
    if (auto* queue = dynamic_cast<LineQueue*>(out.rdbuf())) {
        queue->keep(line);
    } else {
        write_line(out, line);
    }
}

}  // namespace qvn
