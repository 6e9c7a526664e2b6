// What an RPC call throws when it brings no result: RpcError and the kinds of
// it worth retrying, or RpcCancelled when the caller gave the call up.
#pragma once

#include <stdexcept>

namespace qvn {

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

}  // namespace qvn
