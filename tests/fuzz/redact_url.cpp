// redact_url against libcurl's own URL parser, with the flags a transfer
// uses: when libcurl would send no password the URL is logged byte for byte;
// otherwise the logged URL names the same place with the password "***". A
// URL libcurl refuses is never sent, and may be shown with anything that
// looks like a password hidden.
#include <curl/curl.h>

#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "rpc/url.h"

namespace {

using qvn::fuzz::expect;

constexpr unsigned kFlags = CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME;

// One parsed URL; a part libcurl does not find is nullopt.
class ParsedUrl {
  public:
    explicit ParsedUrl(const std::string& url) : handle_(curl_url()) {
        expect(handle_ != nullptr, "curl_url allocates");
        ok_ = curl_url_set(handle_, CURLUPART_URL, url.c_str(), kFlags) == CURLUE_OK;
    }
    ~ParsedUrl() { curl_url_cleanup(handle_); }
    ParsedUrl(const ParsedUrl&) = delete;
    ParsedUrl& operator=(const ParsedUrl&) = delete;

    bool ok() const { return ok_; }

    std::optional<std::string> part(CURLUPart which) const {
        char* text = nullptr;
        if (curl_url_get(handle_, which, &text, 0) != CURLUE_OK || text == nullptr) {
            return std::nullopt;
        }
        std::string out = text;
        curl_free(text);
        return out;
    }

  private:
    CURLU* handle_;
    bool ok_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string url = qvn::fuzz::as_text(data, size);
    if (url.find('\0') != std::string::npos) return 0;  // no C string can carry it
    const std::string redacted = qvn::redact_url(url);

    const ParsedUrl original(url);
    if (!original.ok()) return 0;
    const std::optional<std::string> password = original.part(CURLUPART_PASSWORD);
    if (!password || password->empty()) {
        expect(redacted == url, "a URL libcurl finds no password in is kept byte for byte");
        return 0;
    }

    const ParsedUrl logged(redacted);
    expect(logged.ok(), "the redacted URL still parses");
    expect(logged.part(CURLUPART_PASSWORD) == "***", "the password is shown as ***");
    for (const CURLUPart which : {CURLUPART_SCHEME, CURLUPART_USER, CURLUPART_HOST, CURLUPART_PORT,
                                  CURLUPART_PATH, CURLUPART_QUERY, CURLUPART_FRAGMENT}) {
        expect(logged.part(which) == original.part(which),
               "scheme, user, host, port, path, query and fragment unchanged");
    }
    return 0;
}
