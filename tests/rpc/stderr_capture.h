// Test support: captures what the process writes to file descriptor 2 (so
// std::cerr from any thread) in a temporary file.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace qvn::test {

class StderrCapture {
  public:
    StderrCapture() {
        char name[] = "/tmp/qvn-stderr-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd < 0) throw std::runtime_error("mkstemp failed");
        path = name;
        std::cerr.flush();
        std::fflush(stderr);
        saved = ::dup(2);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StderrCapture() {
        restore();
        ::unlink(path.c_str());
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Everything written so far (the capture goes on).
    std::string text() const {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    // Puts the original stderr back; text() still works afterwards.
    void restore() {
        if (saved < 0) return;
        std::cerr.flush();
        std::fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);
        saved = -1;
    }

  private:
    std::string path;
    int saved = -1;
};

}  // namespace qvn::test
