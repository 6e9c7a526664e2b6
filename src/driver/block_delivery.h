// Handing a found block to the node: the attempts, the pauses between them and
// the rules that end them, and the block's hex when it never got through.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <iostream>
#include <string>

#include "rpc/block_template.h"
#include "rpc/wake_flag.h"

namespace qvn {

class RpcClient;

// A block the node did not answer for is offered again after a pause that
// starts at 1 s and doubles up to 15 s: a busy node (all RPC threads taken)
// is often free again within seconds, and 15 s keeps a restarting node from
// costing more than a few percent of a block interval.
inline constexpr std::chrono::seconds kFirstSubmitPause{1};
inline constexpr std::chrono::seconds kMaxSubmitPause{15};
// Offering it ends after this long: a block interval, after which the block
// has almost surely been overtaken by another on the network.
inline constexpr std::chrono::minutes kSubmitWindow{10};

// The clock a delivery paces itself by; tests hand in a fake one that
// advances when slept on. sleep ends early, at once, when the flag is raised.
struct DeliveryClock {
    std::function<std::chrono::steady_clock::time_point()> now;
    std::function<void(std::chrono::steady_clock::duration, const WakeFlag&)> sleep;
};

DeliveryClock steady_delivery_clock();

struct Delivery {
    const RpcClient& client;
    const WakeFlag& stop_requested;
    // Asked during the pauses: whether the node now hands out work on another
    // previous block, which this block can no longer extend.
    std::function<bool()> work_on_another_block;
    // Told of each attempt that got no answer (a busy node is worth a hint).
    std::function<void(const std::exception&)> no_answer;
    // Told of the node's verdict: true when it accepted the block.
    std::function<void(bool accepted)> verdict = nullptr;
    DeliveryClock clock = steady_delivery_clock();
    // A submission's time limit when the client has none; tests shorten it.
    std::int64_t fallback_timeout_ms = kSubmitFallbackTimeoutMs;
    bool verbose = false;  // a line for each attempt, with its duration
    std::ostream* out = &std::cout;
    std::ostream* err = &std::cerr;
};

// Offers the block until the node answers, for at most kSubmitWindow. Only a
// failure without an answer is tried again: the node's verdict, or its
// JSON-RPC error, is final. A stop or work on another block ends the pauses.
// True when the node answered, whatever it said; otherwise the block's hex is
// written for the user to hand to the node.
bool deliver_block(const Delivery& delivery, const std::string& block_hex);

}  // namespace qvn
