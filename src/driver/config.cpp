#include "driver/config.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string_view>
#include <thread>

#include "block/text.h"
#include "rpc/url.h"

namespace qvn {
namespace {

constexpr std::array<const char*, 3> kDefaultCookies = {
    "~/.quorvane/.cookie", "~/.quorVANE/.cookie", "~/.bitcoin/.cookie"};

// Options of a GPU miner that are accepted with one value and ignored.
constexpr std::array<std::string_view, 5> kIgnoredOptions = {
    "--gpu", "--device", "--threads-per-block", "--blocks", "--oversubscribe"};

struct UsageLine {
    const char* synopsis;  // empty for a heading or a free line
    const char* text;
};

// The option summary, in order. A heading is preceded by an empty line
// (except the first, which follows the synopsis' empty line).
constexpr UsageLine kUsageLines[] = {
    {"", "RPC options:"},
    {"--rpc-url URL", "JSON-RPC URL, default http://127.0.0.1:8332/"},
    {"--rpc-user USER", "RPC username"},
    {"--rpc-pass PASS", "RPC password"},
    {"--rpc-cookie FILE",
     "Cookie auth file. If omitted, tries ~/.quorvane/.cookie then ~/.bitcoin/.cookie"},
    {"--rpc-timeout-ms N", "Normal RPC timeout, default 30000"},
    {"--rpc-verbose-curl", "Enable libcurl verbose logging"},
    {"", "Payout options, repeatable:"},
    {"--payout SCRIPT", "Weighted payout; if it is the only payout it receives all coinbasevalue"},
    {"--payout SCRIPT@WEIGHT", "Weighted payout for the post-absolute remainder"},
    {"--payout SCRIPT:SATS",
     "Absolute satoshi payout; any unassigned remainder goes to weighted payouts or the first "
     "output"},
    {"", "CPU options:"},
    {"--threads N", "Mining worker threads, default hardware_concurrency()"},
    {"--iters N", "Nonces per worker per chunk, default 65536"},
    {"", "Mining/work options:"},
    {"--coinbase-tag STRING", "Coinbase scriptSig tag, default /qvncpu/"},
    {"--no-longpoll", "Disable GBT longpoll and poll periodically instead"},
    {"--poll-sec N", "Poll interval when not using longpoll, default 15"},
    {"--status-sec N", "Status print interval, default 5"},
    {"--gbt-txids-internal",
     "Use only if your QVN node emits transaction hashes in internal byte order"},
    {"--extranonce N", "Starting extranonce, default 0"},
    {"--mine-one", "Exit after the first found block is submitted"},
    {"--selftest", "Run CPU hash/miner self-tests and exit"},
    {"--verbose", "More logging"},
    {"-h, --help", "Show this help"},
    {"", "CUDA-compatibility no-ops:"},
};

constexpr std::size_t kSynopsisWidth = 27;

std::string option_summary() {
    std::string out = " --payout <scriptPubKeyHex> [options]\n\n";
    bool first_heading = true;
    for (const UsageLine& line : kUsageLines) {
        const std::string_view synopsis = line.synopsis;
        if (synopsis.empty()) {
            if (!first_heading) out += "\n";
            first_heading = false;
            out += line.text;
            out += "\n";
            continue;
        }
        out += "  ";
        out += synopsis;
        out.append(kSynopsisWidth > synopsis.size() ? kSynopsisWidth - synopsis.size() : 0, ' ');
        out += line.text;
        out += "\n";
    }
    out +=
        "  --gpu/--device, --threads-per-block, --blocks, --oversubscribe are accepted and "
        "ignored.\n";
    out += "\nExamples:\n  ";
    return out;
}

[[noreturn]] void print_usage_and_exit(const std::string& program_name) {
    std::cout << usage_text(program_name);
    std::cout.flush();
    std::exit(0);
}

std::uint32_t low32(std::uint64_t value) { return static_cast<std::uint32_t>(value); }

bool is_ignored_option(const std::string& arg) {
    for (std::string_view name : kIgnoredOptions) {
        if (arg == name) return true;
    }
    return false;
}

// Overwrites the characters of arg where shown differs from it with 'x', in
// place: the process's command line, which every local user can read in
// /proc/PID/cmdline and with ps, then holds what shown shows.
void hide_in_place(char* arg, const std::string& shown) {
    const std::string_view text = arg;
    std::size_t begin = 0;
    while (begin < text.size() && begin < shown.size() && text[begin] == shown[begin]) ++begin;
    std::size_t suffix = 0;
    while (suffix < text.size() - begin && suffix < shown.size() - begin &&
           text[text.size() - 1 - suffix] == shown[shown.size() - 1 - suffix]) {
        ++suffix;
    }
    std::fill(arg + begin, arg + text.size() - suffix, 'x');
}

// Applies the option at argv[i]; advances i past any value it takes.
void apply_option(MinerConfig& config, char** argv, int argc, int& i) {
    const std::string arg = argv[i];
    auto value = [&] { return take_value(argv, argc, i, arg); };

    if (arg == "-h" || arg == "--help") {
        print_usage_and_exit(argv[0] != nullptr ? argv[0] : "");
    } else if (arg == "--rpc-url") {
        config.rpc_url = value();
        hide_in_place(argv[i], redact_url(config.rpc_url));
    } else if (arg == "--rpc-user") {
        config.rpc_user = value();
    } else if (arg == "--rpc-pass") {
        config.rpc_pass = value();
        hide_in_place(argv[i], "");
    } else if (arg == "--rpc-cookie") {
        config.rpc_cookie = value();
    } else if (arg == "--rpc-timeout-ms") {
        config.rpc_timeout_ms = parse_u64(value(), arg);
    } else if (arg == "--rpc-verbose-curl") {
        config.rpc_verbose_curl = true;
    } else if (arg == "--payout") {
        config.payouts.push_back(parse_payout(value()));
    } else if (arg == "--threads" || arg == "-j" || arg == "--jobs") {
        config.threads = low32(parse_u64(value(), arg));
    } else if (arg == "--iters") {
        config.iters = low32(parse_u64(value(), arg));
    } else if (arg == "--coinbase-tag") {
        config.coinbase_tag = value();
    } else if (arg == "--no-longpoll") {
        config.no_longpoll = true;
    } else if (arg == "--poll-sec") {
        config.poll_sec = static_cast<std::int32_t>(low32(parse_u64(value(), arg)));
    } else if (arg == "--status-sec") {
        config.status_sec = static_cast<std::int32_t>(low32(parse_u64(value(), arg)));
    } else if (arg == "--gbt-txids-internal") {
        config.gbt_txids_internal = true;
    } else if (arg == "--extranonce") {
        config.extranonce = parse_u64(value(), arg);
    } else if (arg == "--mine-one") {
        config.mine_one = true;
    } else if (arg == "--selftest") {
        config.selftest = true;
    } else if (arg == "--verbose") {
        config.verbose_logging = true;
    } else if (is_ignored_option(arg)) {
        value();
        config.ignored_options.push_back(arg);
    } else {
        fail("unknown option: " + arg);
    }
}

bool path_exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

std::string usage_text(const std::string& program_name) {
    const std::string& p = program_name;
    std::string out = "Quorvane / QVN CPU SHA3-256t solo miner\n\nUsage:\n  ";
    out += p;
    out += option_summary();
    out += p;
    out +=
        " --rpc-url http://127.0.0.1:8332/ --rpc-cookie ~/.quorvane/.cookie \\\n"
        "    --payout 76a91400112233445566778899aabbccddeeff0011223388ac\n\n  ";
    out += p;
    out +=
        " --rpc-user qvnuser --rpc-pass qvnpass --threads 8 \\\n"
        "    --payout 76a914aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa88ac@3 \\\n"
        "    --payout 76a914bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb88ac@1\n\n";
    return out;
}

std::string take_value(char** argv, int argc, int& i, const std::string& option) {
    if (i + 1 >= argc) fail("missing value after " + option);
    ++i;
    return argv[i];
}

void find_default_cookie(MinerConfig& config) {
    if (!config.rpc_user.empty() || !config.rpc_cookie.empty()) return;
    for (const char* candidate : kDefaultCookies) {
        try {
            if (path_exists(expand_home(candidate))) {
                config.rpc_cookie = candidate;
                return;
            }
        } catch (const std::exception&) {
            // HOME unset or empty: this candidate cannot exist.
        }
    }
}

std::string why_no_credentials(const MinerConfig& config) {
    if (!config.rpc_user.empty() || !config.rpc_cookie.empty()) return "";
    std::string places;
    for (const char* candidate : kDefaultCookies) {
        if (!places.empty()) places += candidate == kDefaultCookies.back() ? " or " : ", ";
        places += candidate;
    }
    return "no RPC cookie file found at " + places +
           "; give --rpc-cookie, or --rpc-user and --rpc-pass";
}

std::uint32_t default_thread_count() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

MinerConfig parse_command_line(int argc, char** argv) {
    MinerConfig config;
    for (int i = 1; i < argc; ++i) apply_option(config, argv, argc, i);

    if (config.threads == 0) config.threads = default_thread_count();
    if (config.iters == 0) fail("--iters must be positive");
    if (config.poll_sec <= 0) fail("--poll-sec must be positive");
    if (config.status_sec <= 0) fail("--status-sec must be positive");
    find_default_cookie(config);
    if (!config.selftest && config.payouts.empty()) fail("missing --payout raw scriptPubKey hex");
    return config;
}

}  // namespace qvn
