// The lines that --verbose adds: what each request to the node came to, and
// why the work changed. Each says what the miner does and why, never a
// credential or a body.
#pragma once

#include <string>

#include "rpc/client.h"
#include "rpc/longpoll.h"

namespace qvn {

struct BlockTemplate;

// "[rpc] getblocktemplate (long poll): HTTP 200, 1843 bytes in 65012 ms", or
// what came instead of an answer.
std::string exchange_line(const RpcExchange& exchange);

// Writes exchange_line: to standard output, or to standard error when the
// request failed.
void log_exchange(const RpcExchange& exchange);

// Why after replaced before, as "a new tip, from the long poll".
std::string work_change(const BlockTemplate& before, const BlockTemplate& after, WorkSource source);

}  // namespace qvn
