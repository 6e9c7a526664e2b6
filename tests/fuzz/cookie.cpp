// Cookie text: trimmed, split at the first colon, nothing else interpreted.
#include <cstdint>
#include <string>

#include "block/text.h"
#include "fuzz_support.h"
#include "rpc/cookie.h"

namespace {

using qvn::fuzz::expect;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = qvn::fuzz::as_text(data, size);
    const std::string trimmed = qvn::trim(text);
    expect(text.find(trimmed) != std::string::npos, "the trimmed text is part of the text");
    expect(trimmed.empty() || (!is_blank(trimmed.front()) && !is_blank(trimmed.back())),
           "no blank left at either end");
    expect(qvn::trim(trimmed) == trimmed, "trim is idempotent");

    const auto credentials = qvn::split_cookie(text);
    if (trimmed.find(':') == std::string::npos) {
        expect(!credentials, "no colon, no credentials");
        return 0;
    }
    expect(credentials.has_value(), "a colon gives credentials");
    expect(credentials->user + ":" + credentials->password == trimmed,
           "user + ':' + password is the trimmed cookie");
    expect(credentials->user.find(':') == std::string::npos, "split at the first colon");
    return 0;
}
