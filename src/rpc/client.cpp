#include "rpc/client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include "block/text.h"
#include "rpc/cookie.h"
#include "rpc/reply.h"
#include "rpc/url.h"

namespace qvn {

std::atomic<std::uint64_t> next_request_id{1};

namespace {

constexpr long kConnectTimeoutMs = 10000;
// A NAT or firewall drops an idle connection without a word, which would
// leave a long poll waiting for ever: keep-alive probes after 30 s of silence,
// every 15 s, find a dead peer within about two and a half minutes.
constexpr long kKeepAliveIdleSec = 30;
constexpr long kKeepAliveIntervalSec = 15;
// Replies at least this large leave much freed memory behind; it is handed
// back to the system once they are done with.
constexpr std::size_t kTrimAfterBytes = 1 << 20;
// The node is reached over HTTP, with or without TLS, and over nothing else:
// not even a redirect may lead the credentials to ftp:// or file://.
constexpr const char* kAllowedProtocols = "http,https";
constexpr long kHttpUnauthorized = 401;
// The longest a transfer waits without looking at its cancel flag: the flag's
// descriptor wakes it at once, and this bounds the wait where there is none.
constexpr int kLongestWaitMs = 1000;
// What perform() says of a transfer its cancel flag ended: what libcurl says
// of one a callback gave up.
constexpr CURLcode kCancelled = CURLE_ABORTED_BY_CALLBACK;

struct EasyCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

void init_curl_once() {
    static std::once_flag once;
    // No matching cleanup: the library stays initialised until the process ends.
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

struct Reply {
    std::string body;
    bool too_large = false;
};

size_t append_response(char* data, size_t size, size_t count, void* userdata) {
    auto* reply = static_cast<Reply*>(userdata);
    const size_t bytes = size * count;
    if (bytes > kMaxReplyBytes - reply->body.size()) {
        reply->too_large = true;
        return 0;  // ends the transfer with a write error
    }
    reply->body.append(data, bytes);
    return bytes;
}

struct MultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;

// Runs the transfer. One that can be cancelled waits for the node beside the
// flag's descriptor, so that the flag ends it at once, and is never started
// once the flag is up. A transfer given up closes its connection: the node
// sees its client gone.
CURLcode perform(CURL* curl, const std::string& method, const WakeFlag* cancel) {
    if (cancel == nullptr) return curl_easy_perform(curl);
    const MultiHandle multi(curl_multi_init());
    if (!multi) throw RpcNoAnswer("curl_multi_init failed");
    CURLMcode status = curl_multi_add_handle(multi.get(), curl);
    int running = 1;
    while (status == CURLM_OK && running > 0 && !cancel->is_set()) {
        status = curl_multi_perform(multi.get(), &running);
        if (status != CURLM_OK || running == 0) break;
        curl_waitfd wake{cancel->fd(), CURL_WAIT_POLLIN, 0};
        status = curl_multi_poll(multi.get(), &wake, 1, kLongestWaitMs, nullptr);
    }
    int queued = 0;
    const CURLMsg* done = curl_multi_info_read(multi.get(), &queued);
    const CURLcode code =
        done != nullptr && done->msg == CURLMSG_DONE ? done->data.result : kCancelled;
    curl_multi_remove_handle(multi.get(), curl);  // before either handle is cleaned up
    if (status != CURLM_OK) {
        throw RpcNoAnswer("RPC curl failure calling " + method + ": " +
                          curl_multi_strerror(status));
    }
    return code;
}

bool is_credentials_header(std::string_view line) {
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    std::string name(line.substr(0, colon));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name == "authorization" || name == "proxy-authorization";
}

// libcurl's verbose trace, line by line, with the credentials it sends
// hidden: users paste this trace into bug reports.
int write_trace(CURL*, curl_infotype type, char* data, size_t size, void*) {
    const char* prefix = type == CURLINFO_TEXT         ? "* "
                         : type == CURLINFO_HEADER_IN  ? "< "
                         : type == CURLINFO_HEADER_OUT ? "> "
                                                       : nullptr;
    if (prefix == nullptr) return 0;
    std::string out;
    std::string_view text(data, size);
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        out += prefix;
        if (type == CURLINFO_HEADER_OUT && is_credentials_header(line)) {
            out += line.substr(0, line.find(':'));
            out += ": ***";
        } else {
            out += line;
        }
        out += '\n';
    }
    if (out.empty()) return 0;
    out.pop_back();
    write_line(std::cerr, out);  // one write: the trace's lines stay together
    return 0;
}

std::string request_body(const std::string& method, const nlohmann::json& params) {
    nlohmann::json request = nlohmann::json::object();
    request["jsonrpc"] = "1.0";
    request["id"] = next_request_id.fetch_add(1);
    request["method"] = method;
    request["params"] = params.is_null() ? nlohmann::json::array() : params;
    return request.dump();
}

// BIP 22: a getblocktemplate whose request object carries a long-poll id.
bool is_long_poll(const nlohmann::json& params) {
    return params.is_array() && !params.empty() && params[0].is_object() &&
           params[0].contains("longpollid");
}

// Tells the observer, if any, what the request came to; never its body.
void tell(const RpcObserver& observer, const std::string& method, const nlohmann::json& params,
          std::int64_t time_limit_ms, CURLcode code, long status, const Reply& reply,
          std::chrono::steady_clock::time_point started) {
    if (!observer) return;
    RpcExchange exchange;
    exchange.method = method;
    exchange.long_poll = is_long_poll(params);
    exchange.time_limit = std::chrono::milliseconds{std::max<std::int64_t>(time_limit_ms, 0)};
    exchange.duration = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    exchange.reply_bytes = reply.body.size();
    if (code == kCancelled) {
        exchange.failure = "cancelled";
    } else if (reply.too_large || code == CURLE_FILESIZE_EXCEEDED) {
        exchange.failure = "reply too large";
    } else if (code != CURLE_OK) {
        exchange.failure = curl_easy_strerror(code);
    } else {
        exchange.http_status = status;
    }
    observer(exchange);
}

// Gives the memory of a large reply's body and freed tree back once the
// call is done with them.
class TrimAfterLargeReply {
  public:
    explicit TrimAfterLargeReply(const Reply& reply) : reply_(reply) {}
    ~TrimAfterLargeReply() {
        if (reply_.body.capacity() >= kTrimAfterBytes) release_freed_memory();
    }
    TrimAfterLargeReply(const TrimAfterLargeReply&) = delete;
    TrimAfterLargeReply& operator=(const TrimAfterLargeReply&) = delete;

  private:
    const Reply& reply_;
};

}  // namespace

RpcClient::RpcClient(RpcSettings settings)
    : url_(std::move(settings.url)),
      credentials_(std::make_unique<Credentials>()),
      cookie_file_(std::move(settings.cookie_file)),
      timeout_ms_(settings.timeout_ms),
      verbose_(settings.verbose),
      on_exchange_(std::move(settings.on_exchange)),
      without_credentials_(std::move(settings.without_credentials)) {
    credentials_->user = std::move(settings.user);
    credentials_->password = std::move(settings.password);
    init_curl_once();
    check_url(url_);
    if (!cookie_file_.empty()) {
        load_cookie_credentials(cookie_file_, credentials_->user, credentials_->password);
    }
}

std::string RpcClient::user() const {
    const std::lock_guard<std::mutex> lock(credentials_->mutex);
    return credentials_->user;
}

// After a 401: the node may have restarted with a new cookie. A file that
// cannot be read is told in the request's own failure message.
void RpcClient::reload_cookie_after_401(const std::string& sent_user,
                                        const std::string& sent_password,
                                        std::string& message) const {
    // The node's text, if any, then what to make of it, one blank apart.
    const auto explain = [&message](const std::string& why) {
        if (message.back() != ' ') message += ' ';
        message += "(" + why + ")";
    };
    if (cookie_file_.empty()) {
        if (!sent_user.empty()) {
            explain("check --rpc-user and --rpc-pass");
        } else if (!without_credentials_.empty()) {
            explain(without_credentials_);
        }
        return;
    }
    std::string user;
    std::string password;
    try {
        load_cookie_credentials(cookie_file_, user, password);
    } catch (const std::exception& e) {
        explain("cookie file not read again: " + std::string(e.what()));
        return;
    }
    if (user == sent_user && password == sent_password) {
        explain("the cookie file " + cookie_file_ + " holds the credentials sent");
        return;
    }
    const std::lock_guard<std::mutex> lock(credentials_->mutex);
    // Another request may have taken them up already.
    if (user == credentials_->user && password == credentials_->password) return;
    credentials_->user = std::move(user);
    credentials_->password = std::move(password);
    write_line(std::cout, "[rpc] new credentials in the cookie file " + cookie_file_ +
                              "; using them from now on");
}

nlohmann::json RpcClient::call(const std::string& method, const nlohmann::json& params,
                               std::int64_t timeout_ms, const WakeFlag* cancel) const {
    const std::string body = request_body(method, params);
    const EasyHandle handle(curl_easy_init());
    if (!handle) throw RpcNoAnswer("curl_easy_init failed");
    const HeaderList headers(curl_slist_append(nullptr, "Content-Type: application/json"));
    Reply reply;
    const TrimAfterLargeReply trim(reply);
    const std::int64_t effective_timeout = timeout_ms < 0 ? timeout_ms_ : timeout_ms;

    CURL* curl = handle.get();
    curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append_response);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxReplyBytes));
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPIDLE, kKeepAliveIdleSec);
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPINTVL, kKeepAliveIntervalSec);
    // The node and nothing else: a proxy named in the environment (http_proxy,
    // all_proxy) would receive the node's credentials.
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, verbose_ ? 1L : 0L);
    if (verbose_) curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, write_trace);
    if (effective_timeout > 0) {
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(effective_timeout));
    }
    std::string user;
    std::string password;
    {
        const std::lock_guard<std::mutex> lock(credentials_->mutex);
        user = credentials_->user;
        password = credentials_->password;
    }
    if (!user.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
    }

    const auto started = std::chrono::steady_clock::now();
    const CURLcode code = perform(curl, method, cancel);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    tell(on_exchange_, method, params, effective_timeout, code, status, reply, started);
    if (code == kCancelled) throw RpcCancelled();
    if (reply.too_large || code == CURLE_FILESIZE_EXCEEDED) {
        throw RpcNoAnswer("RPC response to " + method + " is larger than " +
                          std::to_string(kMaxReplyBytes) + " bytes");
    }
    if (code != CURLE_OK) {
        const std::string message =
            "RPC curl failure calling " + method + ": " + curl_easy_strerror(code);
        if (code == CURLE_OPERATION_TIMEDOUT) throw RpcTimedOut(message);
        throw RpcNoAnswer(message);
    }
    if (status == kHttpUnauthorized) {
        std::string message =
            "RPC HTTP 401 calling " + method + ": " + printable(reply.body, kMaxNodeTextBytes);
        reload_cookie_after_401(user, password, message);
        throw RpcNoAnswer(message);
    }
    return interpret_response(method, status, reply.body);
}

}  // namespace qvn
