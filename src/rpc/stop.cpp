#include "rpc/stop.h"

namespace qvn {

WakeFlag stop_requested;

}  // namespace qvn
