// Reading the node's cookie file and splitting it into user and password.
#include "rpc/cookie.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>
#include <vector>

#include "rpc/temp_dir.h"
#include "test_support/env.h"
#include "test_support/errors.h"

namespace qvn {
namespace {

using test_support::error_of;

TEST(LoadCookieCredentials, SplitsTrimmedTextAtFirstColon) {
    struct Case {
        const char* name;
        std::string content;
        std::string user;
        std::string password;
    };
    const std::vector<Case> cases = {
        {"plain", "__cookie__:0123abcd", "__cookie__", "0123abcd"},
        {"two colons and CR LF", "u:p:q\r\n", "u", "p:q"},
        {"outer blanks only", " u : p ", "u ", " p"},
        {"tabs and newlines around", "\t\n user:pw \n\r", "user", "pw"},
        {"leading colon: empty user", ":secret", "", "secret"},
        {"trailing colon: empty password", "user:", "user", ""},
        {"vertical tab is not blank", "\vu:p\v", "\vu", "p\v"},
        {"bytes above 0x7f kept", "\xc3\xa9:\xff", "\xc3\xa9", "\xff"},
    };
    const test::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.write("cookie", c.content);
        std::string user = "configured";
        std::string password = "configured";
        load_cookie_credentials(path, user, password);
        EXPECT_EQ(user, c.user);
        EXPECT_EQ(password, c.password);
    }
}

TEST(LoadCookieCredentials, RejectsCookieWithoutColonNamingConfiguredPath) {
    const test::TempDir dir;
    const test_support::ScopedEnv home("HOME", dir.path.c_str());
    for (const std::string content : {"", "   \r\n", "nocolon\n"}) {
        SCOPED_TRACE(content);
        dir.write("cookie", content);
        std::string user, password;
        EXPECT_EQ(error_of([&] { load_cookie_credentials("~/cookie", user, password); }),
                  "RPC cookie file does not contain user:password: ~/cookie");
    }
}

TEST(ReadFile, ReturnsBytesExactlyAsStored) {
    const test::TempDir dir;
    const std::string bytes("a\0b\r\n\xff \t", 8);
    EXPECT_EQ(read_file(dir.write("raw", bytes)), bytes);
    EXPECT_EQ(read_file(dir.write("empty", "")), "");
}

TEST(ReadFile, ExpandsHome) {
    const test::TempDir dir;
    dir.write(".cookie", "x:y");
    const test_support::ScopedEnv home("HOME", dir.path.c_str());
    EXPECT_EQ(read_file("~/.cookie"), "x:y");
}

TEST(ReadFile, Failures) {
    const test::TempDir dir;
    const std::string at_limit = dir.write("limit", std::string(kMaxCookieFileSize, 'a'));
    const std::string over_limit = dir.write("over", std::string(kMaxCookieFileSize + 1, 'a'));
    struct Case {
        const char* name;
        std::optional<std::string> home;
        std::string path;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"missing file, path expanded", dir.path, "~/missing",
         "cannot open file: " + dir.path + "/missing"},
        {"HOME unset", std::nullopt, "~/c", "HOME/USERPROFILE is not set, cannot expand path: ~/c"},
        {"HOME empty", "", "~/c", "HOME/USERPROFILE is not set, cannot expand path: ~/c"},
        {"one byte over the limit", dir.path, over_limit, "cookie file too large: " + over_limit},
        {"a directory", dir.path, dir.path, "not a regular file: " + dir.path},
        {"an endless device", dir.path, "/dev/zero", "not a regular file: /dev/zero"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const test_support::ScopedEnv home("HOME", c.home ? c.home->c_str() : nullptr);
        EXPECT_EQ(error_of([&] { read_file(c.path); }), c.message);
    }
    EXPECT_EQ(read_file(at_limit).size(), kMaxCookieFileSize);
}

TEST(ReadFile, FifoWithoutWriterDoesNotBlock) {
    const test::TempDir dir;
    const std::string fifo = dir.path + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto outcome =
        std::async(std::launch::async, [&] { return error_of([&] { read_file(fifo); }); });
    if (outcome.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Unblock the reader so that the test can end, then report the hang.
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) ::close(writer);
        ADD_FAILURE() << "read_file blocked on a FIFO";
    }
    EXPECT_EQ(outcome.get(), "not a regular file: " + fifo);
}

}  // namespace
}  // namespace qvn
