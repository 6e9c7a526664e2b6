// Fetches new work beside the mining, on threads of its own. The poll thread
// keeps one getblocktemplate long poll open. The fetch thread makes the
// short, plain requests: a check on a long poll that has been silent for a
// while, the request after a found block and, where there is no long poll
// (turned off, or a template without an id), the periodic refresh. The
// mining loop takes what arrives with take_update() and take_refresh(), so
// it never waits for the node while it mines, and it alone decides whether
// an answer is new work.
//
// A node serves RPC from a few worker threads, and a long poll holds one of
// them until the node's work changes: a client that hangs up does not give
// it back. So a long poll is never given up while the node may still be
// serving it, only once the node's work has moved on (which frees the worker).
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "rpc/failure_log.h"
#include "rpc/wake_flag.h"

namespace qvn {

class RpcClient;

// A long poll silent for this long is checked on a plain request, and again
// as long as it stays silent: however a connection dies (a NAT forgetting it,
// a hung node), a new tip is seen within about two minutes, and a healthy
// quiet node costs one short request per two minutes.
inline constexpr std::chrono::milliseconds kLongPollCheckAfter{120000};

// Where a template the poller brought came from.
enum class WorkSource { long_poll, periodic, after_submit, check };

struct PolledWork {
    nlohmann::json result;
    WorkSource source;
    std::chrono::steady_clock::time_point received{};  // when the node's answer came
};

// A long-poll id as a log line shows it: a long one cut to its start and its
// end (a node's ids are the tip's hash and a counter).
std::string short_poll_id(const std::string& id);

// When the node last gave a usable answer (work, or a verdict on a block), and
// what the requests since then failed with; an HTTP 401 or 503 is no answer.
struct NodeContact {
    std::chrono::steady_clock::time_point answered;
    std::string failure;  // the last request's failure; empty once one is answered
};

// How a failure to get or read work from that source starts its log line.
const char* work_failure_prefix(WorkSource source);

// How a poller fetches: which requests it makes, and how it reports them.
struct LongPollSettings {
    bool enabled = true;                       // long polling at all
    std::chrono::seconds refresh_interval{0};  // positive: periodic refreshes without it
    std::chrono::milliseconds check_after = kLongPollCheckAfter;  // tests shorten it
    bool verbose = false;  // a line for each poll started and answered
};

class LongPoller {
  public:
    // Starts the poll thread when long polling is enabled, and the fetch
    // thread when it is enabled or refresh_interval is positive. Long polls
    // wait until follow() gives an id; periodic refreshes come
    // refresh_interval after construction and after each other. Once
    // stop_requested is set (the process is stopping) nothing new is asked,
    // back-offs and waits for work end and failures go unreported.
    LongPoller(const RpcClient& client, const WakeFlag& stop_requested,
               LongPollSettings settings = {});
    // The flag must outlive the poller: no temporary.
    LongPoller(const RpcClient&, const WakeFlag&&, LongPollSettings = {}) = delete;
    // Gives up the requests in flight and joins the threads.
    ~LongPoller();
    LongPoller(const LongPoller&) = delete;
    LongPoller& operator=(const LongPoller&) = delete;

    // Polls with this id from now on; a different id gives up the request in
    // flight. An empty id (a template without one) stops long polling, so
    // that periodic refreshes take over. Ignored when long polling is off.
    void follow(const std::string& id);

    // The newest long-poll result received and not yet taken, once.
    std::optional<PolledWork> take_update();

    // The newest plain answer not yet taken, once: a periodic refresh, the
    // answer after a submission, or a check of a silent long poll, whatever
    // it found (the same work, other work under the poll's id, or another id).
    std::optional<PolledWork> take_refresh();

    // Asks the node plainly for its work at once, beside the long poll; false,
    // and nothing asked, when long polling is off.
    bool fetch_now();

    // Waits at most limit for a long-poll result, a plain answer, or the end
    // of the request fetch_now() made; true when one of them is there. A stop
    // ends the wait at once.
    bool wait_for_work(std::chrono::milliseconds limit);

    // Whether the request fetch_now() made is still to come; once it is not,
    // its answer, if any, is ready to take.
    bool fetching();

    // The node's last usable answer: at first, the poller's construction
    // (which follows the first template).
    NodeContact contact();
    // A usable answer that came another way: the node's verdict on a block.
    void note_answer();
    // Waits at most limit for a usable answer after `after`; true when one
    // came. A stop ends the wait at once.
    bool wait_for_answer(std::chrono::steady_clock::time_point after,
                         std::chrono::milliseconds limit);

    // Says once, with what to do about it, when a failure shows the node's
    // RPC workers all taken: a 503, or a time limit run out while the long
    // poll is held.
    void hint_if_node_busy(const std::exception& e);

  private:
    void back_off() const;
    void poll_loop();
    void fetch_loop();
    bool next_poll(std::string& id);
    std::optional<WorkSource> next_fetch();
    void end_poll();
    void handle_answer(nlohmann::json result, std::chrono::steady_clock::time_point started);
    void handle_plain_answer(WorkSource source, nlohmann::json result);
    void end_fetch(WorkSource source);
    void note_failure(const std::string& message);
    // Waits at most limit until ready(), asked under the mutex, holds; on the
    // descriptors of the flags, not on cv: a signal handler can raise a flag,
    // never notify a condition variable. A stop ends the wait at once.
    bool wait_until(const std::function<bool()>& ready, std::chrono::milliseconds limit);

    const RpcClient& client;
    const WakeFlag& stop_requested;  // the process's
    LongPollSettings settings;
    std::thread poll_thread;
    std::thread fetch_thread;
    std::mutex mutex;
    std::condition_variable cv;
    std::string longpollid;
    std::optional<PolledWork> latest;     // the newest long-poll answer not yet taken
    std::optional<PolledWork> refreshed;  // the newest plain answer not yet taken
    bool fetch_requested = false;         // fetch_now() asked; the fetch thread has not started it
    bool fetch_pending = false;           // ... or has not finished it
    bool poll_in_flight = false;
    std::chrono::steady_clock::time_point next_check;
    std::chrono::steady_clock::time_point next_refresh;
    bool busy_hint_given = false;
    NodeContact node;
    RepeatedLines poll_failures;   // written by the poll thread only
    RepeatedLines fetch_failures;  // written by the fetch thread only
    // Raised and lowered under the mutex.
    WakeFlag closing;        // the destructor runs: every request is given up
    WakeFlag abort_request;  // the long poll in flight is given up
    WakeFlag arrived;        // what wait_for_work() waits for may have come
};

}  // namespace qvn
