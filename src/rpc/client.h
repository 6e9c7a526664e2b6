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
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qvn {

// What one request came to, for a caller that logs every request.
struct RpcExchange {
    std::string method;
    bool long_poll = false;  // a getblocktemplate that carries a long-poll id
    long http_status = 0;    // 0: no HTTP answer
    std::string failure;     // why there was none (libcurl's text, "cancelled"); empty with one
    std::chrono::milliseconds duration{0};
    std::size_t reply_bytes = 0;
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
};

// Any failure of a call other than a cancellation.
class RpcError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The node gave no JSON-RPC answer: the transfer failed, or the reply was an
// HTTP error, not JSON, too large or without "result". Worth retrying, unlike
// an answer whose "error" the node filled in.
class RpcNoAnswer : public RpcError {
  public:
    using RpcError::RpcError;
};

// HTTP 503 without a JSON-RPC answer: the node's work queue is full.
class RpcBusy : public RpcNoAnswer {
  public:
    using RpcNoAnswer::RpcNoAnswer;
};

// The call's time limit ran out before the node answered.
class RpcTimedOut : public RpcNoAnswer {
  public:
    using RpcNoAnswer::RpcNoAnswer;
};

// The transfer was aborted through the caller's cancel flag.
class RpcCancelled : public std::runtime_error {
  public:
    RpcCancelled() : std::runtime_error("RPC cancelled") {}
};

// The largest reply body accepted: far above any real template (a full 4 MB
// block as hex is 8 MB), yet small enough that a broken or hostile node
// cannot make the miner run out of memory.
inline constexpr std::size_t kMaxReplyBytes = 64 * 1024 * 1024;

// Replies nested deeper than this are refused before anything recurses
// through them; real answers nest three or four levels.
inline constexpr int kMaxReplyDepth = 256;

// Replies with more JSON values than this (as json_shape counts them) are
// refused before they are parsed.
// The parsed tree costs up to about 27 times the text for tiny values ("[]",
// "{}"), so the byte cap alone would let 64 MiB of text take 1.7 GB. The
// real template with the most values, a full 4 MB block of the smallest
// transactions (16,666 of 60 bytes, each with 24 depends), holds 533,042
// values in 7.6 MB of text (a block of 4 MB of witness data: 8.0 MB, a few
// hundred values); the budget leaves more than twice that.
inline constexpr std::size_t kMaxReplyValues = 1'200'000;

// How much of a node's text (an error body, a reason) goes into a message.
inline constexpr std::size_t kMaxNodeTextBytes = 300;

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
    // 0 -> no overall limit. A true *cancel aborts the transfer (RpcCancelled).
    nlohmann::json call(const std::string& method, const nlohmann::json& params,
                        std::int64_t timeout_ms = -1,
                        const std::atomic<bool>* cancel = nullptr) const;

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
};

// Hands memory freed by large replies back to the system; the allocator
// would otherwise keep it for the rest of the run.
void release_freed_memory();

// What one pass over a JSON text, outside its strings, tells before it is
// parsed: whether brackets and braces open deeper than depth_limit (the JSON
// library copies and prints values recursively), and a bound on the values a
// parser would build: one, plus one for each opening and each separator.
struct JsonShape {
    bool deeper_than_limit = false;
    std::size_t values = 1;
};
JsonShape json_shape(std::string_view text, int depth_limit);

// Whether brackets and braces, outside strings, open deeper than limit.
bool nested_deeper_than(std::string_view text, int limit);

}  // namespace qvn
