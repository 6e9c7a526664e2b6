// Test support: a private temporary directory, removed with its files.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace qvn::test {

class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/qvn-test-XXXXXX";
        if (::mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
        path = name;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes the bytes to name inside the directory and returns its full path.
    std::string write(const std::string& name, const std::string& bytes) const {
        const std::string file = path + "/" + name;
        std::ofstream(file, std::ios::binary) << bytes;
        return file;
    }

    std::string path;
};

}  // namespace qvn::test
