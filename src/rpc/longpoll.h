// Fetches new work beside the mining, on a thread of its own: keeps one
// getblocktemplate long poll open and, where there is no long poll (turned
// off, or a template without an id), refreshes the template every so many
// seconds. The mining loop takes what arrives with take_update() and
// take_refresh(), so it never waits for the node while it mines.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

namespace qvn {

class RpcClient;

// A long poll that has not answered for this long is given up and the
// template is asked for plainly, then polled again: however a connection
// dies (a NAT forgetting it, a hung node), a new tip is seen within about two
// minutes, and a healthy node holding a poll costs one request more per two.
inline constexpr std::chrono::milliseconds kLongPollLimit{120000};

class LongPoller {
  public:
    // Starts the thread when long polling is enabled or refresh_interval is
    // positive; long polls wait until follow() gives an id, periodic
    // refreshes come refresh_interval after construction and after each other.
    // Tests shorten long_poll_limit.
    LongPoller(const RpcClient& client, bool enabled,
               std::chrono::seconds refresh_interval = std::chrono::seconds{0},
               std::chrono::milliseconds long_poll_limit = kLongPollLimit);
    // Aborts the request in flight and joins the thread.
    ~LongPoller();
    LongPoller(const LongPoller&) = delete;
    LongPoller& operator=(const LongPoller&) = delete;

    // Polls with this id from now on; a different id gives up the request in
    // flight. An empty id (a template without one) stops long polling, so
    // that periodic refreshes take over. Ignored when long polling is off.
    void follow(const std::string& id);

    // The newest long-poll result received and not yet taken, once.
    std::optional<nlohmann::json> take_update();

    // The newest periodic refresh received and not yet taken, once.
    std::optional<nlohmann::json> take_refresh();

  private:
    enum class Ask { long_poll, plain, periodic };

    void poll_loop();
    std::optional<Ask> next_ask(std::string& id);
    void handle_answer(Ask ask, nlohmann::json result,
                       std::chrono::steady_clock::time_point started);

    const RpcClient& client;
    bool enabled;
    std::chrono::seconds refresh_interval;
    std::chrono::milliseconds long_poll_limit;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable cv;
    std::string longpollid;
    nlohmann::json latest;
    bool update_ready = false;
    nlohmann::json refreshed;
    bool refresh_ready = false;
    bool ask_plainly = false;  // the last long poll went silent
    std::chrono::steady_clock::time_point next_refresh;
    std::atomic<bool> stop{false};
    std::atomic<bool> abort_request{false};
};

}  // namespace qvn
