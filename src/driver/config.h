// The command line and the configuration record built from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "block/payout.h"

namespace qvn {

struct MinerConfig {
    std::string rpc_url = "http://127.0.0.1:8332/";
    std::string rpc_user;
    std::string rpc_pass;
    std::string rpc_cookie;  // as given, "~" unexpanded
    std::uint64_t rpc_timeout_ms = 30000;
    bool rpc_verbose_curl = false;
    std::uint32_t threads = 0;  // resolved to the hardware thread count after parsing
    std::uint32_t iters = 65536;
    bool no_longpoll = false;
    bool gbt_txids_internal = false;
    bool selftest = false;
    bool mine_one = false;
    bool verbose_logging = false;
    std::uint64_t extranonce = 0;
    std::int32_t poll_sec = 15;
    std::int32_t status_sec = 5;
    std::string coinbase_tag = "/qvncpu/";
    std::vector<Payout> payouts;               // command-line order
    std::vector<std::string> ignored_options;  // the GPU-miner options we accept and ignore
};

// Parses argv into a configuration; throws with the user's message on bad
// input. For -h/--help it prints the usage text and exits with status 0.
// The password of --rpc-pass, and one in --rpc-url, are overwritten in argv
// once read, so that other users do not see them in the process list.
MinerConfig parse_command_line(int argc, char** argv);

// The argument after position i (which it advances), or "missing value after " + option.
std::string take_value(char** argv, int argc, int& i, const std::string& option);

// With neither --rpc-user nor --rpc-cookie, picks the first default cookie
// file that exists. Never fails.
void find_default_cookie(MinerConfig& config);

// Why a run sends no credentials, when it sends none: "no cookie file
// found at ..." with every place the search looked.
std::string why_no_credentials(const MinerConfig& config);

// Hardware threads, or 1 when the system cannot tell.
std::uint32_t default_thread_count();

// The full --help text for a program invoked as program_name.
std::string usage_text(const std::string& program_name);

}  // namespace qvn
