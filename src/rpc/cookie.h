// Credentials from the node's cookie file ("user:password", written by the node).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace qvn {

// A cookie is a few dozen bytes; anything bigger is not a cookie.
inline constexpr std::size_t kMaxCookieFileSize = 64 * 1024;

// Whole contents of a regular file of at most kMaxCookieFileSize bytes, as
// stored. A leading "~" in the path is expanded first. Anything else (a FIFO,
// a device, a directory, a bigger file) fails instead of hanging or filling
// memory.
std::string read_file(const std::string& path);

struct CookieCredentials {
    std::string user;
    std::string password;
};

// Trims the cookie text and splits it at the first colon (later colons belong
// to the password); nothing when there is no colon.
std::optional<CookieCredentials> split_cookie(const std::string& text);

// Reads cookie_file, trims it and splits it at the first colon; the two parts
// replace user and password. Either part may be empty (an empty user means no
// authentication at all).
void load_cookie_credentials(const std::string& cookie_file, std::string& user,
                             std::string& password);

}  // namespace qvn
