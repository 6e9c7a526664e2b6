#include "rpc/url.h"

#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>

namespace qvn {

namespace {

constexpr const char* kSchemeChars =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.";
// How a transfer reads its URL: a missing scheme means http, an unknown one
// is left for the protocol check.
constexpr unsigned kTransferUrlFlags = CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME;

struct UrlCleanup {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlCleanup>;

// libcurl's own reading of a URL, as a transfer would read it; null (and the
// reason in *code) when libcurl refuses it.
UrlHandle parse_url(const std::string& url, CURLUcode* code) {
    UrlHandle handle(curl_url());
    if (!handle) throw std::bad_alloc();
    *code = curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), kTransferUrlFlags);
    if (*code != CURLUE_OK) handle.reset();
    return handle;
}

std::optional<std::string> url_part(CURLU* url, CURLUPart part) {
    char* text = nullptr;
    if (curl_url_get(url, part, &text, 0) != CURLUE_OK || text == nullptr) return std::nullopt;
    std::string value(text);
    curl_free(text);
    return value;
}

// The hand-written reading, for a URL libcurl refuses (and so never sends):
// the authority runs from after "scheme://" (or the start) to the first '/',
// '?' or '#'; credentials end at its last '@', so a password holding '@' is
// hidden whole.
std::string redact_unparsed_url(const std::string& url) {
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

}  // namespace

void check_url(const std::string& url) {
    CURLUcode code = CURLUE_OK;
    const UrlHandle handle = parse_url(url, &code);
    if (!handle)
        throw std::runtime_error(std::string("invalid RPC URL: ") + curl_url_strerror(code));
    const std::string scheme = url_part(handle.get(), CURLUPART_SCHEME).value_or("");
    if (scheme != "http" && scheme != "https") {
        throw std::runtime_error("unsupported RPC URL scheme \"" + scheme +
                                 "\": use http:// or https://");
    }
}

std::string redact_url(const std::string& url) {
    CURLUcode code = CURLUE_OK;
    const UrlHandle handle = parse_url(url, &code);
    if (!handle) return redact_unparsed_url(url);
    const std::optional<std::string> password = url_part(handle.get(), CURLUPART_PASSWORD);
    if (!password || password->empty()) return url;
    // libcurl takes user and password as they are written, so "user:password@"
    // stands in the text; its first occurrence is the one libcurl read,
    // because nothing before the authority can hold an '@'.
    const std::string user = url_part(handle.get(), CURLUPART_USER).value_or("");
    const std::string userinfo = user + ":" + *password + "@";
    const std::size_t at = url.find(userinfo);
    if (at != std::string::npos) {
        return url.substr(0, at + user.size() + 1) + "***" + url.substr(at + userinfo.size() - 1);
    }
    // Not written as libcurl holds it: show libcurl's own form instead.
    curl_url_set(handle.get(), CURLUPART_PASSWORD, "***", 0);
    return url_part(handle.get(), CURLUPART_URL).value_or("");
}

}  // namespace qvn
