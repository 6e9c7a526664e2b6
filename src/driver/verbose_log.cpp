#include "driver/verbose_log.h"

#include <iostream>

#include "block/candidate.h"
#include "block/text.h"

namespace qvn {
namespace {

constexpr long kFirstHttpError = 300;

bool failed(const RpcExchange& exchange) {
    if (exchange.failure.empty()) return exchange.http_status >= kFirstHttpError;
    return exchange.failure != "cancelled";  // given up by the miner itself
}

// What changed, most telling first: a new tip changes everything else too.
const char* what_changed(const BlockTemplate& before, const BlockTemplate& after) {
    if (after.previousblockhash != before.previousblockhash) return "a new tip";
    if (after.transactions != before.transactions) return "new transactions";
    if (after.target != before.target || after.bits != before.bits) return "a new target";
    if (after.coinbasevalue != before.coinbasevalue) return "another reward";
    return "new header fields";
}

const char* from(WorkSource source) {
    switch (source) {
        case WorkSource::long_poll:
            return ", from the long poll";
        case WorkSource::periodic:
            return ", from a periodic refresh";
        case WorkSource::after_submit:
            return ", after a found block";
        case WorkSource::check:
            return ", from a check of the silent long poll";
    }
    return "";
}

}  // namespace

std::string exchange_line(const RpcExchange& exchange) {
    std::string line = "[rpc] " + exchange.method + (exchange.long_poll ? " (long poll)" : "");
    const std::string ms = std::to_string(exchange.duration.count()) + " ms";
    if (exchange.failure == "cancelled") return line + ": given up after " + ms;
    if (!exchange.failure.empty())
        return line + ": no answer (" + exchange.failure + ") after " + ms;
    return line + ": HTTP " + std::to_string(exchange.http_status) + ", " +
           std::to_string(exchange.reply_bytes) + " bytes in " + ms;
}

void log_exchange(const RpcExchange& exchange) {
    write_line(failed(exchange) ? std::cerr : std::cout, exchange_line(exchange));
}

std::string work_change(const BlockTemplate& before, const BlockTemplate& after,
                        WorkSource source) {
    return std::string(what_changed(before, after)) + from(source);
}

}  // namespace qvn
