// The JSON-RPC 1.0 client: one HTTP POST per call, every outcome either the
// response's "result" or an exception. It logs one thing only: that the node's
// cookie file holds new credentials; everything else is for callers to log.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "rpc/errors.h"
#include "rpc/wake_flag.h"

namespace qvn {

// What one request came to, for a caller that logs every request.
struct RpcExchange {
    std::string method;
    bool long_poll = false;  // a getblocktemplate that carries a long-poll id
    long http_status = 0;    // 0: no HTTP answer
    std::string failure;     // why there was none (libcurl's text, "cancelled"); empty with one
    std::chrono::milliseconds duration{0};
    std::size_t reply_bytes = 0;
    std::chrono::milliseconds time_limit{0};  // the call's overall limit; 0: none
};

// Called on the calling thread as each request ends, whatever its outcome.
using RpcObserver = std::function<void(const RpcExchange&)>;

struct RpcSettings {
    std::string url = "http://127.0.0.1:8332/";
    std::string user;                 // empty: no authentication
    std::string password;             // may be empty
    std::string cookie_file;          // empty: none; otherwise its pair replaces user/password
    std::int64_t timeout_ms = 30000;  // not positive: no overall limit
    bool verbose = false;             // libcurl's own trace on stderr
    RpcObserver on_exchange;          // empty: nobody is told
    // Why no credentials are sent, when none are ("no cookie file found at
    // ..."): said with an HTTP 401.
    std::string without_credentials;
};

// Request ids of the whole process, across threads; the first request carries 1.
extern std::atomic<std::uint64_t> next_request_id;

class RpcClient {
  public:
    // Checks that the URL is one libcurl reads as http or https, then reads
    // the cookie file when one is set; its errors propagate.
    explicit RpcClient(RpcSettings settings);

    // A node writes a new cookie each time it starts. With a cookie file, an
    // HTTP 401 reads the file again (once per refused request) and new
    // credentials are used from the next request on, said once on stdout.

    // Posts {"id","jsonrpc":"1.0","method","params"} (params null -> []) and
    // returns the response's "result". timeout_ms: negative -> the client's,
    // 0 -> no overall limit. *cancel raised ends the transfer at once, or
    // keeps it from starting (RpcCancelled).
    nlohmann::json call(const std::string& method, const nlohmann::json& params,
                        std::int64_t timeout_ms = -1, const WakeFlag* cancel = nullptr) const;

    const std::string& url() const { return url_; }
    std::string user() const;  // effective, after the cookie
    const std::string& cookie_file() const { return cookie_file_; }
    std::int64_t timeout_ms() const { return timeout_ms_; }
    bool verbose() const { return verbose_; }

  private:
    // Read by every call, renewed from the cookie file after a 401; behind a
    // pointer so that the client stays movable.
    struct Credentials {
        std::mutex mutex;
        std::string user;
        std::string password;
    };

    void reload_cookie_after_401(const std::string& sent_user, const std::string& sent_password,
                                 std::string& message) const;

    std::string url_;
    std::unique_ptr<Credentials> credentials_;
    std::string cookie_file_;
    std::int64_t timeout_ms_;
    bool verbose_;
    RpcObserver on_exchange_;
    std::string without_credentials_;
};

}  // namespace qvn
