// Standard output and standard error into strings while it lives: for code
// that writes its lines there from the test's own thread, or from threads
// that have ended before the strings are read.
#pragma once

#include <iostream>
#include <sstream>

namespace qvn::test_support {

struct CapturedOutput {
    std::ostringstream out, err;
    std::streambuf* saved_out = std::cout.rdbuf(out.rdbuf());
    std::streambuf* saved_err = std::cerr.rdbuf(err.rdbuf());
    ~CapturedOutput() {
        std::cout.rdbuf(saved_out);
        std::cerr.rdbuf(saved_err);
    }
};

}  // namespace qvn::test_support
