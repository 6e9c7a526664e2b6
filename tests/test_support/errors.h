// The message a failing call throws, for comparing with the user's text.
#pragma once

#include <exception>
#include <string>

namespace qvn::test_support {

// The message of the exception thrown by fn, or "<no throw>".
template <typename Fn>
std::string error_of(Fn&& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no throw>";
}

}  // namespace qvn::test_support
