#include "driver/entry.h"

#include <csignal>
#include <exception>
#include <iostream>

#include "driver/config.h"
#include "rpc/stop.h"

namespace qvn {

extern "C" void on_signal(int) { stop_requested.store(true); }

int run_qvncpu(int argc, char** argv) {
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    try {
        const MinerConfig config = parse_command_line(argc, argv);
        (void)config;
        std::cerr << "error: mining is not built yet\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "error: " << e.what() << "\n" << "try --help\n";
        return 1;
    }
}

}  // namespace qvn
