#include "rpc/reply.h"

#include <malloc.h>

#include <utility>

#include "block/text.h"
#include "rpc/errors.h"

namespace qvn {

namespace {

constexpr long kHttpServiceUnavailable = 503;

std::string excerpt(std::string_view node_text) { return printable(node_text, kMaxNodeTextBytes); }

nlohmann::json parse_reply(const std::string& body) {
    const JsonShape shape = json_shape(body, kMaxReplyDepth);
    if (shape.deeper_than_limit) {
        throw RpcNoAnswer("invalid JSON-RPC response: nested deeper than " +
                          std::to_string(kMaxReplyDepth) + " levels body=" + excerpt(body));
    }
    if (shape.values > kMaxReplyValues) {
        throw RpcNoAnswer("invalid JSON-RPC response: more than " +
                          std::to_string(kMaxReplyValues) + " values body=" + excerpt(body));
    }
    try {
        return nlohmann::json::parse(body);
    } catch (const nlohmann::json::exception& e) {
        // The library quotes what it read last, which can be the whole body.
        throw RpcNoAnswer("invalid JSON-RPC response: " + excerpt(e.what()) +
                          " body=" + excerpt(body));
    }
}

bool carries_error(const nlohmann::json& response) {
    if (!response.is_object()) return false;
    const auto error = response.find("error");
    return error != response.end() && !error->is_null();
}

}  // namespace

nlohmann::json interpret_response(const std::string& method, long status, const std::string& body) {
    if (status < 200 || status > 299) {
        const std::string message =
            "RPC HTTP " + std::to_string(status) + " calling " + method + ": " + excerpt(body);
        // A JSON-RPC error under an HTTP error status is still the node's answer.
        bool answered = false;
        try {
            answered = carries_error(parse_reply(body));
        } catch (const RpcNoAnswer&) {
        }
        if (answered) throw RpcError(message);
        if (status == kHttpServiceUnavailable) throw RpcBusy(message);
        throw RpcNoAnswer(message);
    }
    nlohmann::json response = parse_reply(body);
    if (carries_error(response)) {
        throw RpcError("JSON-RPC error calling " + method + ": " +
                       excerpt(response["error"].dump()));
    }
    if (response.is_object()) {
        const auto result = response.find("result");
        if (result != response.end()) return std::move(*result);
    }
    throw RpcNoAnswer("JSON-RPC response missing result for " + method);
}

JsonShape json_shape(std::string_view text, int depth_limit) {
    JsonShape shape;
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (const char c : text) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == ',') {
            ++shape.values;
        } else if (c == '[' || c == '{') {
            ++shape.values;
            if (++depth > depth_limit) {
                shape.deeper_than_limit = true;
                return shape;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return shape;
}

bool nested_deeper_than(std::string_view text, int limit) {
    return json_shape(text, limit).deeper_than_limit;
}

void release_freed_memory() { malloc_trim(0); }

}  // namespace qvn
