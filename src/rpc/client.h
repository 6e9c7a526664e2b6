// The JSON-RPC 1.0 client: one HTTP POST per call, every outcome either the
// response's "result" or an exception. It never logs; callers do.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qvn {

struct RpcSettings {
    std::string url = "http://127.0.0.1:8332/";
    std::string user;                 // empty: no authentication
    std::string password;             // may be empty
    std::string cookie_file;          // empty: none; otherwise its pair replaces user/password
    std::int64_t timeout_ms = 30000;  // not positive: no overall limit
    bool verbose = false;             // libcurl's own trace on stderr
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

// How much of a node's text (an error body, a reason) goes into a message.
inline constexpr std::size_t kMaxNodeTextBytes = 300;

// Request ids of the whole process, across threads; the first request carries 1.
extern std::atomic<std::uint64_t> next_request_id;

class RpcClient {
  public:
    // Checks that the URL is one libcurl reads as http or https, then reads
    // the cookie file when one is set; its errors propagate.
    explicit RpcClient(RpcSettings settings);

    // Posts {"id","jsonrpc":"1.0","method","params"} (params null -> []) and
    // returns the response's "result". timeout_ms: negative -> the client's,
    // 0 -> no overall limit. A true *cancel aborts the transfer (RpcCancelled).
    nlohmann::json call(const std::string& method, const nlohmann::json& params,
                        std::int64_t timeout_ms = -1,
                        const std::atomic<bool>* cancel = nullptr) const;

    const std::string& url() const { return url_; }
    const std::string& user() const { return user_; }  // effective, after the cookie
    const std::string& cookie_file() const { return cookie_file_; }
    std::int64_t timeout_ms() const { return timeout_ms_; }
    bool verbose() const { return verbose_; }

  private:
    std::string url_;
    std::string user_;
    std::string password_;
    std::string cookie_file_;
    std::int64_t timeout_ms_;
    bool verbose_;
};

// Whether brackets and braces, outside strings, open deeper than limit. The
// JSON library copies and prints values recursively, so a reply that does
// must be refused before it is parsed.
bool nested_deeper_than(std::string_view text, int limit);

// The URL with the password that libcurl would send replaced by "***",
// everything else byte for byte; for log lines, which must never show it.
std::string redact_url(const std::string& url);

}  // namespace qvn
