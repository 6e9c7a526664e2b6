#include "rpc/longpoll.h"

#include <exception>
#include <iostream>

#include "block/text.h"
#include "rpc/block_template.h"
#include "rpc/client.h"
#include "rpc/stop.h"

namespace qvn {
namespace {

using Clock = std::chrono::steady_clock;

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

LongPoller::LongPoller(const RpcClient& client, bool enabled, std::chrono::seconds refresh_interval,
                       std::chrono::milliseconds long_poll_limit)
    : client(client),
      enabled(enabled),
      refresh_interval(refresh_interval),
      long_poll_limit(long_poll_limit),
      next_refresh(Clock::now() + refresh_interval) {
    if (enabled || refresh_interval.count() > 0) thread = std::thread([this] { poll_loop(); });
}

LongPoller::~LongPoller() {
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
    if (!enabled) return;
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
    return std::exchange(latest, nullptr);
}

std::optional<nlohmann::json> LongPoller::take_refresh() {
    const std::lock_guard<std::mutex> lock(mutex);
    if (!refresh_ready) return std::nullopt;
    refresh_ready = false;
    return std::exchange(refreshed, nullptr);
}

// Waits, under the mutex, until there is something to ask the node; nothing
// when the poller stops. Once the process is stopping, nothing new is asked.
std::optional<LongPoller::Ask> LongPoller::next_ask(std::string& id) {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (stop) return std::nullopt;
        if (!stop_requested.load()) {
            if (enabled && !longpollid.empty()) {
                id = longpollid;
                abort_request = false;
                return ask_plainly ? Ask::plain : Ask::long_poll;
            }
            if (refresh_interval.count() > 0) {
                if (Clock::now() >= next_refresh) {
                    next_refresh = Clock::now() + refresh_interval;
                    abort_request = false;
                    return Ask::periodic;
                }
                cv.wait_until(lock, next_refresh);
                continue;
            }
        }
        cv.wait(lock);
    }
}

void LongPoller::handle_answer(Ask ask, nlohmann::json result, Clock::time_point started) {
    std::unique_lock<std::mutex> lock(mutex);
    if (ask == Ask::periodic) {
        refreshed = std::move(result);
        refresh_ready = true;
        return;
    }
    const auto next = result.find("longpollid");  // end() unless an object
    if (next != result.end() && next->is_string()) longpollid = next->get<std::string>();
    latest = std::move(result);
    update_ready = true;
    ask_plainly = false;
    cv.wait_until(lock, started + kMinPollInterval, [this] { return stop.load(); });
}

void LongPoller::poll_loop() {
    for (;;) {
        std::string id;
        const std::optional<Ask> ask = next_ask(id);
        if (!ask) return;
        const Clock::time_point started = Clock::now();
        try {
            nlohmann::json result;
            if (*ask == Ask::long_poll) {
                result = get_block_template(client, id, long_poll_limit.count(), &abort_request);
            } else {
                if (*ask == Ask::periodic) write_line(std::cout, "[work] periodic GBT refresh");
                result = get_block_template(client, "", -1, &abort_request);
            }
            // The driver moved on to another id while this answer was on its way.
            if (abort_request) continue;
            handle_answer(*ask, std::move(result), started);
        } catch (const RpcCancelled&) {
            // follow() or the destructor gave this request up; nothing to report.
        } catch (const std::exception& e) {
            if (stop_requested) continue;
            if (*ask == Ask::long_poll && dynamic_cast<const RpcTimedOut*>(&e) != nullptr) {
                write_line(std::cerr, "[longpoll] no answer for " +
                                          std::to_string(long_poll_limit.count() / 1000) +
                                          " s; asking for the template plainly");
                const std::lock_guard<std::mutex> lock(mutex);
                ask_plainly = true;
                continue;
            }
            const char* tag =
                *ask == Ask::periodic ? "[rpc] periodic getblocktemplate failed: " : "[longpoll] ";
            write_line(std::cerr, tag + printable(e.what(), kMaxMessageBytes));
            if (*ask != Ask::periodic) back_off();
        }
    }
}

}  // namespace qvn
