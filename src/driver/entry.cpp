#include "driver/entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "block/text.h"
#include "driver/config.h"
#include "driver/mining_loop.h"
#include "miner/chunk_miner.h"
#include "miner/selftest.h"
#include "rpc/client.h"
#include "rpc/stop.h"

namespace qvn {
namespace {

int run_selftest(const MinerConfig& config) {
    std::string failure;
    if (!miner_selftest(&failure)) {
        std::cerr << "selftest failed: " << failure << "\n";
        return kExitFailure;
    }
    std::cout << "selftest ok (" << cpu_backend(config.threads).name << ")\n";
    return kExitOk;
}

// A process started with standard output (or another standard stream)
// closed would hand that descriptor to the first socket it opens, and its
// log lines would go to the node. /dev/null takes the place instead.
void hold_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) open("/dev/null", O_RDWR);  // takes the lowest free: fd
    }
}

}  // namespace

extern "C" void on_signal(int) { stop_requested.store(true); }

int run_qvncpu(int argc, char** argv) {
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    // A closed terminal or pipe must not kill the miner on its next line,
    // least of all between finding a block and submitting it.
    std::signal(SIGPIPE, SIG_IGN);
    hold_standard_descriptors();
    // Progress lines should reach a pipe or a log file as they happen, not
    // when a block-sized buffer fills.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        const MinerConfig config = parse_command_line(argc, argv);
        if (config.selftest) return run_selftest(config);
        // The loop (and with it the long poller) is torn down before an
        // error line below is written.
        MiningLoop loop(config, stop_requested);
        return loop.run();
    } catch (const std::exception& e) {
        // Only a stop request cancels the driver's own requests (at start-up:
        // the first template's).
        if (stop_requested.load() && dynamic_cast<const RpcCancelled*>(&e) != nullptr) {
            std::cout << "[exit] stopped\n";
            return kExitOk;
        }
        std::cerr << "error: " << printable(e.what(), kMaxMessageBytes) << "\n"
                  << "try --help\n";
        return kExitFailure;
    }
}

}  // namespace qvn
