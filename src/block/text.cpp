#include "block/text.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace qvn {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool has_hex_prefix(const std::string& text) {
    return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

}  // namespace

void fail(const std::string& message) { throw std::runtime_error(message); }

std::string trim(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_blank(text[begin])) ++begin;
    while (end > begin && is_blank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::string printable(std::string_view text, std::size_t max_bytes) {
    const std::string_view kept = text.substr(0, max_bytes);
    std::string out;
    out.reserve(kept.size() + 32);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const auto byte = static_cast<unsigned char>(kept[i]);
        // A UTF-8 C1 control (U+0080..U+009F) is 0xC2 followed by 0x80..0x9F.
        const bool c1 = byte == 0xC2 && i + 1 < kept.size() &&
                        (static_cast<unsigned char>(kept[i + 1]) & 0xE0) == 0x80;
        if (byte >= 0x20 && byte != 0x7F && !c1) {
            out += kept[i];
            continue;
        }
        const std::size_t count = c1 ? 2 : 1;
        for (std::size_t k = 0; k < count; ++k) {
            const auto b = static_cast<unsigned char>(kept[i + k]);
            out += "\\x";
            out += kHexDigits[b >> 4];
            out += kHexDigits[b & 0xF];
        }
        i += count - 1;
    }
    if (text.size() > max_bytes) out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

std::string hex_encode(const std::uint8_t* data, std::size_t size) {
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(kHexDigits[data[i] >> 4]);
        out.push_back(kHexDigits[data[i] & 0x0f]);
    }
    return out;
}

std::string hex_encode(const Bytes& bytes) { return hex_encode(bytes.data(), bytes.size()); }

std::string hash_to_hex(const Hash32& hash) {
    Hash32 display;
    for (std::size_t i = 0; i < hash.size(); ++i) display[i] = hash[hash.size() - 1 - i];
    return hex_encode(display.data(), display.size());
}

Bytes hex_decode(const std::string& text) {
    std::string digits = trim(text);
    if (has_hex_prefix(digits)) digits.erase(0, 2);
    if (digits.size() % 2 != 0) fail("hex string has odd length: " + text);
    Bytes out;
    out.reserve(digits.size() / 2);
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const int hi = hex_value(digits[i]);
        const int lo = hex_value(digits[i + 1]);
        if (hi < 0 || lo < 0) fail("invalid hex string: " + text);
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return out;
}

Hash32 parse_hash_hex(const std::string& text) {
    const Bytes bytes = hex_decode(text);
    if (bytes.size() != 32) {
        fail("expected 32-byte hash hex, got " + std::to_string(bytes.size()) + " bytes");
    }
    Hash32 hash;
    for (std::size_t i = 0; i < 32; ++i) hash[i] = bytes[31 - i];
    return hash;
}

std::uint64_t parse_u64(const std::string& value, const std::string& label) {
    const std::string text = trim(value);
    if (text.empty()) fail("empty integer for " + label);
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(begin, &end, 10);
    if (end == begin || errno == ERANGE) fail("invalid integer for " + label + ": " + value);
    if (end != begin + text.size()) fail("invalid trailing characters in " + label + ": " + value);
    return parsed;
}

double parse_number(const std::string& value, const std::string& label) {
    const std::string text = trim(value);
    if (text.empty()) fail("empty number for " + label);
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(begin, &end);
    if (end == begin || errno == ERANGE) fail("invalid number for " + label + ": " + value);
    if (end != begin + text.size()) fail("invalid trailing characters in " + label + ": " + value);
    return parsed;
}

std::uint32_t parse_hex32(const std::string& value, const std::string& label) {
    if (value.size() != 8) fail("expected 8 hex chars for " + label + ", got: " + value);
    std::uint32_t out = 0;
    for (char c : value) {
        const int digit = hex_value(c);
        if (digit < 0) fail("invalid hex for " + label + ": " + value);
        out = (out << 4) | static_cast<std::uint32_t>(digit);
    }
    return out;
}

std::string expand_home(const std::string& path) {
    if (path.empty() || path[0] != '~') return path;
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        fail("HOME/USERPROFILE is not set, cannot expand path: " + path);
    }
    if (path.size() == 1) return home;
    if (path[1] == '/' || path[1] == '\\') return std::string(home) + path.substr(1);
    return path;
}

void write_line(std::ostream& out, const std::string& line) { out << line + "\n"; }

}  // namespace qvn
