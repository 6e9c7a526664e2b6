#include "driver/block_delivery.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "block/text.h"
#include "driver/output_queue.h"
#include "rpc/client.h"
#include "rpc/reply.h"

namespace qvn {
namespace {

using Clock = std::chrono::steady_clock;

// How often a pause between attempts looks for new work; a stop ends it at once.
constexpr std::chrono::milliseconds kRetryStep{100};

std::string message_of(const std::exception& e) { return printable(e.what(), kMaxMessageBytes); }

// Sleeps before the next attempt; false when the attempts should end early.
bool pause_before_retry(const Delivery& delivery, std::chrono::seconds pause) {
    const Clock::time_point until = delivery.clock.now() + pause;
    for (Clock::time_point now = delivery.clock.now(); now < until; now = delivery.clock.now()) {
        if (delivery.stop_requested.is_set()) return false;
        if (delivery.work_on_another_block && delivery.work_on_another_block()) {
            write_line(*delivery.err,
                       "[submit] the node has work on a newer block; giving up this one");
            return false;
        }
        delivery.clock.sleep(std::min<Clock::duration>(kRetryStep, until - now),
                             delivery.stop_requested);
    }
    return true;
}

// One attempt: true when the node answered, whatever it said. --verbose adds
// a line with how long it took and what came of it.
bool attempt(const Delivery& delivery, const std::string& block_hex, int number) {
    const Clock::time_point started = delivery.clock.now();
    const auto say = [&](std::ostream& stream, const std::string& outcome) {
        if (!delivery.verbose) return;
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(delivery.clock.now() - started);
        write_line(stream, "[submit] attempt " + std::to_string(number) + ": " + outcome + " in " +
                               std::to_string(took.count()) + " ms");
    };
    try {
        const nlohmann::json verdict =
            submit_block(delivery.client, block_hex, delivery.fallback_timeout_ms);
        say(*delivery.out, verdict.is_null() ? "accepted" : "not accepted");
        if (delivery.verdict) delivery.verdict(verdict.is_null());
        write_line(*delivery.out,
                   verdict.is_null()
                       ? "[submit] accepted by node"
                       : "[submit] node returned: " + printable(verdict.dump(), kMaxNodeTextBytes));
        return true;
    } catch (const RpcNoAnswer& e) {
        say(*delivery.err, "no answer");
        write_line(*delivery.err, "[submit] submitblock failed: " + message_of(e));
        if (delivery.no_answer) delivery.no_answer(e);
        return false;
    } catch (const std::exception& e) {
        say(*delivery.err, "an error from the node");
        if (delivery.verdict) delivery.verdict(false);
        write_line(*delivery.err, "[submit] submitblock failed: " + message_of(e));
        return true;
    }
}

bool offer(const Delivery& delivery, const std::string& block_hex) {
    const Clock::time_point give_up = delivery.clock.now() + kSubmitWindow;
    std::chrono::seconds pause = kFirstSubmitPause;
    for (int number = 1;; ++number) {
        if (attempt(delivery, block_hex, number)) return true;
        if (delivery.clock.now() + pause >= give_up) return false;
        write_line(*delivery.err, "[submit] retrying in " + std::to_string(pause.count()) +
                                      " s (attempt " + std::to_string(number + 1) + ")");
        if (!pause_before_retry(delivery, pause)) return false;
        pause = std::min(2 * pause, kMaxSubmitPause);
    }
}

}  // namespace

DeliveryClock steady_delivery_clock() {
    return {[] { return Clock::now(); },
            [](Clock::duration d, const WakeFlag& stop) { wait_for_any({&stop}, d); }};
}

bool deliver_block(const Delivery& delivery, const std::string& block_hex) {
    if (offer(delivery, block_hex)) return true;
    // The block is still good: the user can hand it to the node.
    write_kept_line(*delivery.err,
                    "[submit] block not delivered, submit it by hand: submitblock " + block_hex);
    return false;
}

}  // namespace qvn
