#include "driver/entry.h"

#include <csignal>
#include <exception>
#include <iostream>

#include "rpc/stop.h"

namespace qvn {

extern "C" void on_signal(int) { stop_requested.store(true); }

int run_qvncpu(int argc, char** argv) {
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    (void)argc;
    (void)argv;
    std::cerr << "error: not built yet\n";
    return 1;
}

}  // namespace qvn
