#include "rpc/cookie.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "block/text.h"

namespace qvn {
namespace {

// Closes the descriptor on every path out of read_file.
class FileDescriptor {
  public:
    explicit FileDescriptor(int descriptor) : fd(descriptor) {}
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd; }

  private:
    int fd;
};

}  // namespace

std::string read_file(const std::string& path) {
    const std::string expanded = expand_home(path);
    // O_NONBLOCK keeps the open itself from waiting for a writer on a FIFO;
    // the regular-file check below then turns such paths away.
    const FileDescriptor file(::open(expanded.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) fail("cannot open file: " + expanded);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) fail("cannot read file: " + expanded);
    if (!S_ISREG(info.st_mode)) fail("not a regular file: " + expanded);
    if (static_cast<unsigned long long>(info.st_size) > kMaxCookieFileSize) {
        fail("cookie file too large: " + expanded);
    }
    // The size is checked again while reading, in case the file grows meanwhile.
    std::string contents;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) fail("cannot read file: " + expanded);
        if (got == 0) break;
        contents.append(buffer, static_cast<std::size_t>(got));
        if (contents.size() > kMaxCookieFileSize) fail("cookie file too large: " + expanded);
    }
    return contents;
}

std::optional<CookieCredentials> split_cookie(const std::string& text) {
    const std::string cookie = trim(text);
    const std::size_t colon = cookie.find(':');
    if (colon == std::string::npos) return std::nullopt;
    return CookieCredentials{cookie.substr(0, colon), cookie.substr(colon + 1)};
}

void load_cookie_credentials(const std::string& cookie_file, std::string& user,
                             std::string& password) {
    // A file that cannot be read says which file it is; a "~" that cannot be
    // expanded says so itself.
    const std::string path = expand_home(cookie_file);
    std::string text;
    try {
        text = read_file(path);
    } catch (const std::runtime_error& e) {
        fail(std::string(e.what()) + " (the RPC cookie file)");
    }
    std::optional<CookieCredentials> credentials = split_cookie(text);
    if (!credentials) fail("RPC cookie file does not contain user:password: " + cookie_file);
    user = std::move(credentials->user);
    password = std::move(credentials->password);
}

}  // namespace qvn
