#include "rpc/client.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <utility>

#include "rpc/cookie.h"

namespace qvn {

std::atomic<std::uint64_t> next_request_id{1};

namespace {

constexpr long kConnectTimeoutMs = 10000;
constexpr const char* kSchemeChars =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.";

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

size_t append_response(char* data, size_t size, size_t count, void* userdata) {
    static_cast<std::string*>(userdata)->append(data, size * count);
    return size * count;
}

int abort_when_cancelled(void* userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(userdata)->load() ? 1 : 0;
}

std::string request_body(const std::string& method, const nlohmann::json& params) {
    nlohmann::json request = nlohmann::json::object();
    request["jsonrpc"] = "1.0";
    request["id"] = next_request_id.fetch_add(1);
    request["method"] = method;
    request["params"] = params.is_null() ? nlohmann::json::array() : params;
    return request.dump();
}

// Turns a completed HTTP exchange into the result or the matching error.
nlohmann::json interpret_response(const std::string& method, long status, const std::string& body) {
    if (status < 200 || status > 299) {
        throw RpcError("RPC HTTP " + std::to_string(status) + " calling " + method + ": " + body);
    }
    nlohmann::json response;
    try {
        response = nlohmann::json::parse(body);
    } catch (const nlohmann::json::exception& e) {
        throw RpcError(std::string("invalid JSON-RPC response: ") + e.what() + " body=" + body);
    }
    if (response.is_object()) {
        const auto error = response.find("error");
        if (error != response.end() && !error->is_null()) {
            throw RpcError("JSON-RPC error calling " + method + ": " + error->dump());
        }
        const auto result = response.find("result");
        if (result != response.end()) return *result;
    }
    throw RpcError("JSON-RPC response missing result for " + method);
}

}  // namespace

RpcClient::RpcClient(RpcSettings settings)
    : url_(std::move(settings.url)),
      user_(std::move(settings.user)),
      password_(std::move(settings.password)),
      cookie_file_(std::move(settings.cookie_file)),
      timeout_ms_(settings.timeout_ms),
      verbose_(settings.verbose) {
    init_curl_once();
    if (!cookie_file_.empty()) load_cookie_credentials(cookie_file_, user_, password_);
}

nlohmann::json RpcClient::call(const std::string& method, const nlohmann::json& params,
                               std::int64_t timeout_ms, const std::atomic<bool>* cancel) const {
    const std::string body = request_body(method, params);
    const EasyHandle handle(curl_easy_init());
    if (!handle) throw RpcError("curl_easy_init failed");
    const HeaderList headers(curl_slist_append(nullptr, "Content-Type: application/json"));
    std::string response;
    const std::int64_t effective_timeout = timeout_ms < 0 ? timeout_ms_ : timeout_ms;

    CURL* curl = handle.get();
    curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append_response);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, verbose_ ? 1L : 0L);
    if (effective_timeout > 0) {
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(effective_timeout));
    }
    if (!user_.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(curl, CURLOPT_USERNAME, user_.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, password_.c_str());
    }
    if (cancel != nullptr) {
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, abort_when_cancelled);
        // libcurl hands the pointer back as void*; the callback only reads through it.
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA,
                         const_cast<void*>(static_cast<const void*>(cancel)));
    }

    const CURLcode code = curl_easy_perform(curl);
    if (code == CURLE_ABORTED_BY_CALLBACK) throw RpcCancelled();
    if (code != CURLE_OK) {
        throw RpcError("RPC curl failure calling " + method + ": " + curl_easy_strerror(code));
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    return interpret_response(method, status, response);
}

std::string redact_url(const std::string& url) {
    // The authority runs from after "scheme://" (or the start, for a URL
    // without scheme) to the first '/', '?' or '#'; credentials end at its
    // last '@', so a password holding '@' is hidden whole.
    const std::size_t scheme_end = url.find("://");
    const bool has_scheme = scheme_end != std::string::npos && scheme_end > 0 &&
                            url.find_first_not_of(kSchemeChars) == scheme_end;
    const std::size_t authority_begin = has_scheme ? scheme_end + 3 : 0;
    std::size_t authority_end = url.find_first_of("/?#", authority_begin);
    if (authority_end == std::string::npos) authority_end = url.size();
    const std::size_t at = url.rfind('@', authority_end);
    if (at == std::string::npos || at < authority_begin) return url;
    const std::size_t colon = url.find(':', authority_begin);
    if (colon == std::string::npos || colon > at || colon + 1 == at) return url;
    return url.substr(0, colon + 1) + "***" + url.substr(at);
}

}  // namespace qvn
