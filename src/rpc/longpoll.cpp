#include "rpc/longpoll.h"

#include <chrono>
#include <exception>
#include <iostream>

#include "block/text.h"
#include "rpc/block_template.h"
#include "rpc/client.h"
#include "rpc/stop.h"

namespace qvn {
namespace {

constexpr int kBackoffSteps = 20;
// A node that answers long polls at once would otherwise be asked again and
// again as fast as it answers, taking the cores from the workers.
constexpr std::chrono::seconds kMinPollInterval{1};
constexpr std::chrono::milliseconds kBackoffStep{100};

// About two seconds between failed attempts; only a process stop cuts it short.
void back_off() {
    for (int i = 0; i < kBackoffSteps && !stop_requested.load(); ++i) {
        std::this_thread::sleep_for(kBackoffStep);
    }
}

}  // namespace

LongPoller::LongPoller(const RpcClient& client, bool enabled) : client(client), enabled(enabled) {
    if (enabled) thread = std::thread([this] { poll_loop(); });
}

LongPoller::~LongPoller() {
    if (!enabled) return;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stop = true;
        abort_request = true;
    }
    cv.notify_all();
    if (thread.joinable()) thread.join();
    enabled = false;
}

void LongPoller::follow(const std::string& id) {
    if (!enabled || id.empty()) return;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (id == longpollid) return;
        longpollid = id;
        abort_request = true;
    }
    cv.notify_all();
}

std::optional<nlohmann::json> LongPoller::take_update() {
    const std::lock_guard<std::mutex> lock(mutex);
    if (!update_ready) return std::nullopt;
    update_ready = false;
    std::optional<nlohmann::json> update(std::move(latest));
    latest = nullptr;
    return update;
}

void LongPoller::poll_loop() {
    for (;;) {
        std::string id;
        {
            std::unique_lock<std::mutex> lock(mutex);
            cv.wait(lock, [this] { return stop.load() || !longpollid.empty(); });
            if (stop) return;
            id = longpollid;
            abort_request = false;
        }
        const auto started = std::chrono::steady_clock::now();
        try {
            nlohmann::json result = get_block_template(client, id, 0, &abort_request);
            // The driver moved on to another id while this answer was on its way.
            if (abort_request) continue;
            std::unique_lock<std::mutex> lock(mutex);
            const auto next = result.find("longpollid");  // end() unless an object
            if (next != result.end() && next->is_string()) longpollid = next->get<std::string>();
            latest = std::move(result);
            update_ready = true;
            cv.wait_until(lock, started + kMinPollInterval, [this] { return stop.load(); });
        } catch (const RpcCancelled&) {
            // follow() or the destructor gave this request up; nothing to report.
        } catch (const std::exception& e) {
            if (!stop_requested) {
                std::cerr << "[longpoll] " << printable(e.what(), kMaxMessageBytes) << "\n";
            }
            back_off();
        }
    }
}

}  // namespace qvn
