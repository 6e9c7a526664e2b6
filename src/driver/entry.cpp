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
#include "driver/output_queue.h"
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

int report_error(const std::exception& e) {
    write_kept_line(std::cerr, "error: " + printable(e.what(), kMaxMessageBytes));
    write_kept_line(std::cerr, "try --help");
    return kExitFailure;
}

// The lines that end the run come after the loop's teardown (its long poll
// given up, its threads joined), so that none follows them.
int mine(const MinerConfig& config) {
    int status = kExitOk;
    bool stopped = false;
    try {
        MiningLoop loop(config, stop_requested);
        status = loop.run();
        stopped = loop.stopped();
    } catch (const std::exception& e) {
        // Only a stop request cancels the driver's own requests (at start-up:
        // the first template's).
        if (!stop_requested.is_set() || dynamic_cast<const RpcCancelled*>(&e) == nullptr) {
            return report_error(e);
        }
        stopped = true;
    }
    if (stopped) write_kept_line(std::cout, "[exit] stopped");
    return status;
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

extern "C" void on_signal(int) { stop_requested.set(); }

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
    MinerConfig config;
    try {
        config = parse_command_line(argc, argv);
    } catch (const std::exception& e) {
        return report_error(e);
    }
    if (config.selftest) return run_selftest(config);
    try {
        // From here on no line waits for its reader: a stream nobody reads
        // holds up only its own writer thread.
        const OutputQueues output(OutputQueues::kDefaultMaxBytes, OutputQueues::kDefaultLinger,
                                  &stop_requested.flag());
        return mine(config);
    } catch (const std::exception& e) {
        return report_error(e);  // no writer thread could be started
    }
}

}  // namespace qvn
