// The process-wide stop request: set by the SIGINT/SIGTERM handler, never
// cleared, read without a lock by the mining loop and the long poller, and
// waited on beside the node's sockets, so that a stop ends a wait at once.
#pragma once

#include "rpc/wake_flag.h"

namespace qvn {

extern WakeFlag stop_requested;

}  // namespace qvn
