#include "rpc/longpoll.h"

#include <algorithm>
#include <iostream>
#include <utility>

#include "block/text.h"
#include "rpc/block_template.h"
#include "rpc/client.h"

namespace qvn {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kBackoff{2};
// A node that answers long polls at once would otherwise be asked again and
// again as fast as it answers, taking the cores from the workers.
constexpr std::chrono::seconds kMinPollInterval{1};

// After a failure, a long poll that the node holds may be its first sign of
// life: a check soon after tells, instead of two minutes on.
constexpr std::chrono::seconds kCheckAfterFailure{1};

constexpr std::size_t kShortIdHead = 12;
constexpr std::size_t kShortIdTail = 8;

}  // namespace

std::string short_poll_id(const std::string& id) {
    if (id.size() <= kShortIdHead + kShortIdTail + 3) return printable(id, id.size());
    return printable(id.substr(0, kShortIdHead), kShortIdHead) + "..." +
           printable(id.substr(id.size() - kShortIdTail), kShortIdTail);
}

const char* work_failure_prefix(WorkSource source) {
    switch (source) {
        case WorkSource::periodic:
            return "[rpc] periodic getblocktemplate failed: ";
        case WorkSource::after_submit:
            return "[rpc] getblocktemplate after submit failed: ";
        case WorkSource::check:
            return "[longpoll] check failed: ";
        case WorkSource::long_poll:
            break;
    }
    return "[longpoll] ";
}

LongPoller::LongPoller(const RpcClient& client, const WakeFlag& stop_requested,
                       LongPollSettings settings)
    : client(client),
      stop_requested(stop_requested),
      settings(settings),
      next_refresh(Clock::now() + settings.refresh_interval),
      node{Clock::now(), {}},
      poll_failures(std::cerr),
      fetch_failures(std::cerr) {
    if (settings.enabled) poll_thread = std::thread([this] { poll_loop(); });
    if (settings.enabled || settings.refresh_interval.count() > 0) {
        fetch_thread = std::thread([this] { fetch_loop(); });
    }
}

LongPoller::~LongPoller() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        closing.set();
        abort_request.set();
    }
    cv.notify_all();
    if (poll_thread.joinable()) poll_thread.join();
    if (fetch_thread.joinable()) fetch_thread.join();
    settings.enabled = false;
}

void LongPoller::follow(const std::string& id) {
    if (!settings.enabled) return;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (id == longpollid) return;
        longpollid = id;
        abort_request.set();
    }
    cv.notify_all();
}

std::optional<PolledWork> LongPoller::take_update() {
    const std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(latest, std::nullopt);
}

std::optional<PolledWork> LongPoller::take_refresh() {
    const std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(refreshed, std::nullopt);
}

bool LongPoller::fetch_now() {
    if (!settings.enabled) return false;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        fetch_requested = true;
        fetch_pending = true;
    }
    cv.notify_all();
    return true;
}

bool LongPoller::wait_for_work(std::chrono::milliseconds limit) {
    return wait_until([this] { return latest || refreshed || !fetch_pending; }, limit);
}

bool LongPoller::wait_until(const std::function<bool()>& ready, std::chrono::milliseconds limit) {
    const Clock::time_point until = Clock::now() + limit;
    for (Clock::time_point now = Clock::now();; now = Clock::now()) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            arrived.clear();
            if (ready()) return true;
        }
        if (now >= until || stop_requested.is_set()) return false;
        wait_for_any({&arrived, &stop_requested}, until - now);
    }
}

bool LongPoller::fetching() {
    const std::lock_guard<std::mutex> lock(mutex);
    return fetch_pending;
}

NodeContact LongPoller::contact() {
    const std::lock_guard<std::mutex> lock(mutex);
    return node;
}

void LongPoller::note_answer() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        node = {Clock::now(), {}};
        arrived.set();
    }
    cv.notify_all();
}

void LongPoller::note_failure(const std::string& message) {
    const std::lock_guard<std::mutex> lock(mutex);
    node.failure = message;
}

bool LongPoller::wait_for_answer(Clock::time_point after, std::chrono::milliseconds limit) {
    return wait_until([this, after] { return node.answered > after; }, limit);
}

void LongPoller::hint_if_node_busy(const std::exception& e) {
    const bool queue_full = dynamic_cast<const RpcBusy*>(&e) != nullptr;
    const bool timed_out = dynamic_cast<const RpcTimedOut*>(&e) != nullptr;
    const std::lock_guard<std::mutex> lock(mutex);
    if (busy_hint_given || !(queue_full || (timed_out && poll_in_flight))) return;
    busy_hint_given = true;
    write_line(std::cerr, kBusyNodeHint);
}

// Two seconds between failed attempts, cut short by a stop or the destructor.
void LongPoller::back_off() const { wait_for_any({&closing, &stop_requested}, kBackoff); }

// Waits, under the mutex, until there is an id to poll with; false when the
// poller stops. Once the process is stopping, nothing new is asked.
bool LongPoller::next_poll(std::string& id) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [this] {
        return closing.is_set() || (!stop_requested.is_set() && !longpollid.empty());
    });
    if (closing.is_set()) return false;
    id = longpollid;
    abort_request.clear();
    poll_in_flight = true;
    next_check =
        Clock::now() + (node.failure.empty() ? settings.check_after
                                             : std::min<std::chrono::milliseconds>(
                                                   settings.check_after, kCheckAfterFailure));
    cv.notify_all();  // the fetch thread now has a check to schedule
    return true;
}

void LongPoller::end_poll() {
    const std::lock_guard<std::mutex> lock(mutex);
    poll_in_flight = false;
}

// Waits, under the mutex, until there is a plain request to make; nothing
// when the poller stops.
std::optional<WorkSource> LongPoller::next_fetch() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (closing.is_set()) return std::nullopt;
        std::optional<Clock::time_point> wake;
        if (!stop_requested.is_set()) {
            const Clock::time_point now = Clock::now();
            if (fetch_requested) {
                fetch_requested = false;
                return WorkSource::after_submit;
            }
            if (poll_in_flight) {
                if (now >= next_check) {
                    next_check = now + settings.check_after;
                    return WorkSource::check;
                }
                wake = next_check;
            } else if (settings.refresh_interval.count() > 0 &&
                       (!settings.enabled || longpollid.empty())) {
                if (now >= next_refresh) {
                    next_refresh = now + settings.refresh_interval;
                    return WorkSource::periodic;
                }
                wake = next_refresh;
            }
        }
        if (wake) {
            cv.wait_until(lock, *wake);
        } else {
            cv.wait(lock);
        }
    }
}

void LongPoller::handle_answer(nlohmann::json result, Clock::time_point started) {
    std::unique_lock<std::mutex> lock(mutex);
    const auto next = result.find("longpollid");  // end() unless an object
    if (next != result.end() && next->is_string()) longpollid = next->get<std::string>();
    latest = PolledWork{std::move(result), WorkSource::long_poll, Clock::now()};
    node = {latest->received, {}};
    arrived.set();
    cv.notify_all();
    cv.wait_until(lock, started + kMinPollInterval, [this] { return closing.is_set(); });
}

// Every answer goes to the mining loop, a check's too: a node changes its
// work without a new long-poll id (a target eased by the clock, as testnets'
// minimum-difficulty rule does), and no long poll ever answers for that.
void LongPoller::handle_plain_answer(WorkSource source, nlohmann::json result) {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        refreshed = PolledWork{std::move(result), source, Clock::now()};
        node = {refreshed->received, {}};
        arrived.set();
    }
    cv.notify_all();
}

// After its answer, if any, is ready to take. Still pending when another was
// asked for meanwhile.
void LongPoller::end_fetch(WorkSource source) {
    if (source != WorkSource::after_submit) return;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        fetch_pending = fetch_requested;
        arrived.set();
    }
    cv.notify_all();
}

void LongPoller::poll_loop() {
    for (;;) {
        std::string id;
        if (!next_poll(id)) return;
        const Clock::time_point started = Clock::now();
        if (settings.verbose)
            write_line(std::cout, "[longpoll] waiting for new work, id " + short_poll_id(id));
        try {
            // No time limit: a silent poll is checked beside it (fetch_loop),
            // and a dead connection is found by TCP keep-alive.
            nlohmann::json result = get_block_template(client, id, 0, &abort_request);
            end_poll();
            // The driver moved on to another id while this answer was on its way.
            if (abort_request.is_set()) continue;
            poll_failures.end_run();
            if (settings.verbose) {
                const auto waited =
                    std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started);
                write_line(std::cout,
                           "[longpoll] answered after " + std::to_string(waited.count()) + " s");
            }
            handle_answer(std::move(result), started);
        } catch (const RpcCancelled&) {
            // follow() or the destructor gave this request up; nothing to report.
            end_poll();
        } catch (const std::exception& e) {
            end_poll();
            if (stop_requested.is_set()) continue;
            const std::string message = printable(e.what(), kMaxMessageBytes);
            note_failure(message);
            poll_failures.write("[longpoll] " + message);
            hint_if_node_busy(e);
            back_off();
        }
    }
}

void LongPoller::fetch_loop() {
    for (;;) {
        const std::optional<WorkSource> source = next_fetch();
        if (!source) return;
        if (*source == WorkSource::periodic) write_line(std::cout, "[work] periodic GBT refresh");
        try {
            nlohmann::json result = get_block_template(client, "", -1, &closing);
            fetch_failures.end_run();
            handle_plain_answer(*source, std::move(result));
        } catch (const RpcCancelled&) {
            // the destructor gave it up
        } catch (const std::exception& e) {
            if (!stop_requested.is_set()) {
                const std::string message = printable(e.what(), kMaxMessageBytes);
                note_failure(message);
                fetch_failures.write(work_failure_prefix(*source) + message);
                hint_if_node_busy(e);
            }
        }
        end_fetch(*source);
    }
}

}  // namespace qvn
