// The node's reply to a call: how large, deep and full of values it may be,
// and how its body becomes the call's result or the matching RpcError.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qvn {

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

// Turns a completed HTTP exchange into the response's "result", or throws
// RpcError for the node's own error, RpcBusy for an HTTP 503 without one and
// RpcNoAnswer for any other reply that is no JSON-RPC answer.
nlohmann::json interpret_response(const std::string& method, long status, const std::string& body);

// Hands memory freed by large replies back to the system; the allocator
// would otherwise keep it for the rest of the run.
void release_freed_memory();

}  // namespace qvn
