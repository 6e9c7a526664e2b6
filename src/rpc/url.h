// The node's URL: whether libcurl reads it as an http or https one, and its
// text for log lines with the password hidden.
#pragma once

#include <string>

namespace qvn {

// Throws std::runtime_error unless libcurl, reading the URL as a transfer
// would, finds an http or https one.
void check_url(const std::string& url);

// The URL with the password that libcurl would send replaced by "***",
// everything else byte for byte; for log lines, which must never show it.
std::string redact_url(const std::string& url);

}  // namespace qvn
