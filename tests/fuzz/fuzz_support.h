// Helpers shared by the fuzz targets: input slicing and invariant checks
// that abort (a crash is what libFuzzer reports and minimises).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace qvn::fuzz {

inline std::string as_text(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// Pieces of text between separators, the empty ones included.
inline std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = text.find(separator, begin);
        if (end == std::string::npos) {
            parts.push_back(text.substr(begin));
            return parts;
        }
        parts.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
}

// Aborts with the broken invariant's description.
inline void expect(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

inline bool starts_with(const std::string& text, std::string_view prefix) {
    return std::string_view(text).substr(0, prefix.size()) == prefix;
}

// Whether a failure message is one of the documented ones, given by their
// fixed beginnings.
inline bool starts_with_any(const std::string& text,
                            std::initializer_list<std::string_view> prefixes) {
    for (const std::string_view prefix : prefixes) {
        if (starts_with(text, prefix)) return true;
    }
    return false;
}

}  // namespace qvn::fuzz
