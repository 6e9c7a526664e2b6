// parse_command_line on an argument vector cut from the input at NUL bytes.
// -h/--help print the usage and exit, so inputs holding them are skipped.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/config.h"
#include "fuzz_support.h"

namespace {

using qvn::fuzz::expect;
using qvn::fuzz::starts_with_any;

constexpr std::size_t kMaxArguments = 64;

bool is_documented_failure(const std::string& message) {
    for (const char* exact :
         {"--iters must be positive", "--poll-sec must be positive",
          "--status-sec must be positive", "missing --payout raw scriptPubKey hex"}) {
        if (message == exact) return true;
    }
    return starts_with_any(
        message, {"missing value after ", "unknown option: ", "empty integer for ",
                  "invalid integer for ", "invalid trailing characters in ",
                  "payout weight must be positive: ", "empty scriptPubKey in payout: ",
                  "unreasonably large scriptPubKey in payout: ", "empty number for ",
                  "invalid number for ", "hex string has odd length: ", "invalid hex string: "});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args = {"qvncpu"};
    if (size > 0) {
        for (std::string& arg : qvn::fuzz::split(qvn::fuzz::as_text(data, size), '\0')) {
            if (arg == "-h" || arg == "--help") return 0;
            args.push_back(std::move(arg));
        }
    }
    if (args.size() > kMaxArguments) return 0;
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    qvn::MinerConfig config;
    try {
        config = qvn::parse_command_line(static_cast<int>(args.size()), argv.data());
    } catch (const std::runtime_error& e) {
        expect(is_documented_failure(e.what()), "every failure is a documented message");
        return 0;
    }
    expect(config.threads >= 1, "threads >= 1");
    expect(config.iters >= 1, "iters >= 1");
    expect(config.poll_sec >= 1, "poll_sec >= 1");
    expect(config.status_sec >= 1, "status_sec >= 1");
    expect(config.selftest || !config.payouts.empty(), "a payout unless --selftest");
    expect(config.payouts.size() + config.ignored_options.size() < args.size(),
           "each payout and ignored option came from its own argument");
    return 0;
}
