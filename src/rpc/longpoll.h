// Keeps one getblocktemplate long poll open on a thread of its own and hands
// each new template to the mining loop, which asks for it with take_update().
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

namespace qvn {

class RpcClient;

class LongPoller {
  public:
    // Starts the poll thread when enabled; it waits until follow() gives it an id.
    LongPoller(const RpcClient& client, bool enabled);
    // Aborts the request in flight and joins the thread.
    ~LongPoller();
    LongPoller(const LongPoller&) = delete;
    LongPoller& operator=(const LongPoller&) = delete;

    // Polls with this id from now on; a different id gives up the request in
    // flight. Ignored when disabled or when the id is empty.
    void follow(const std::string& id);

    // The newest template received and not yet taken, once.
    std::optional<nlohmann::json> take_update();

  private:
    void poll_loop();

    const RpcClient& client;
    bool enabled;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable cv;
    std::string longpollid;
    nlohmann::json latest;
    bool update_ready = false;
    std::atomic<bool> stop{false};
    std::atomic<bool> abort_request{false};
};

}  // namespace qvn
