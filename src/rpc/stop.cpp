#include "rpc/stop.h"

namespace qvn {

std::atomic<bool> stop_requested{false};

}  // namespace qvn
