// Hex and number parsers against independent readings of the same text, and
// round trips through the encoders.
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

#include "block/text.h"
#include "fuzz_support.h"

namespace {

using qvn::fuzz::expect;

const std::string kLabel = "L";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string trimmed(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_blank(text[begin])) ++begin;
    while (end > begin && is_blank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The hex digits hex_decode reads: trimmed, one "0x"/"0X" dropped.
std::string hex_digits(const std::string& text) {
    std::string digits = trimmed(text);
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.erase(0, 2);
    }
    return digits;
}

std::string lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

template <typename F>
std::optional<std::string> failure_of(F&& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

// An exception's message is a C string: a value with a NUL byte in it shows
// only up to that byte.
std::optional<std::string> message(const std::string& text) {
    return text.substr(0, text.find('\0'));
}

void check_hex(const std::string& text) {
    const std::string digits = hex_digits(text);
    bool all_hex = true;
    for (char c : digits) all_hex = all_hex && hex_value(c) >= 0;

    qvn::Bytes bytes;
    const auto error = failure_of([&] { bytes = qvn::hex_decode(text); });
    if (digits.size() % 2 != 0) {
        expect(error == message("hex string has odd length: " + text), "odd length reported");
    } else if (!all_hex) {
        expect(error == message("invalid hex string: " + text), "bad digit reported");
    } else {
        expect(!error, "even count of hex digits decodes");
        expect(qvn::hex_encode(bytes) == lowercase(digits), "hex_encode(hex_decode(t)) == t");
    }

    qvn::Hash32 hash{};
    const auto hash_error = failure_of([&] { hash = qvn::parse_hash_hex(text); });
    if (error) {
        expect(hash_error == error, "parse_hash_hex passes hex_decode's message on");
    } else if (bytes.size() != 32) {
        expect(hash_error ==
                   "expected 32-byte hash hex, got " + std::to_string(bytes.size()) + " bytes",
               "wrong hash length reported");
    } else {
        expect(!hash_error, "32 bytes make a hash");
        expect(qvn::hash_to_hex(hash) == lowercase(digits), "hash_to_hex(parse_hash_hex(t)) == t");
        for (std::size_t i = 0; i < 32; ++i) {
            expect(hash[i] == bytes[31 - i], "display order reversed into internal order");
        }
    }
}

// strtoull's base-10 syntax, written out: C-locale white space, an optional
// sign, digits; "-" negates modulo 2^64; too many digits is out of range.
void check_u64(const std::string& value) {
    const std::string text = trimmed(value);
    std::optional<std::string> expected_error;
    std::uint64_t expected = 0;
    if (text.empty()) {
        expected_error = "empty integer for " + kLabel;
    } else {
        std::size_t i = 0;
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        bool negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
        const std::size_t first_digit = i;
        bool out_of_range = false;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            const unsigned digit = static_cast<unsigned>(text[i] - '0');
            if (expected > (UINT64_MAX - digit) / 10) out_of_range = true;
            expected = expected * 10 + digit;
        }
        if (i == first_digit || out_of_range) {
            expected_error = message("invalid integer for " + kLabel + ": " + value);
        } else if (i != text.size()) {
            expected_error = message("invalid trailing characters in " + kLabel + ": " + value);
        } else if (negative) {
            expected = 0 - expected;
        }
    }
    std::uint64_t parsed = 0;
    const auto error = failure_of([&] { parsed = qvn::parse_u64(value, kLabel); });
    expect(error == expected_error, "parse_u64 fails exactly when strtoull's syntax says so");
    if (error) return;
    expect(parsed == expected, "parse_u64 reads the value strtoull's syntax gives");
    expect(qvn::parse_u64(std::to_string(parsed), kLabel) == parsed, "decimal round trip");
}

void check_number(const std::string& value) {
    double parsed = 0;
    const auto error = failure_of([&] { parsed = qvn::parse_number(value, kLabel); });
    if (error) {
        expect(
            trimmed(value).empty()
                ? *error == "empty number for " + kLabel
                : error == message("invalid number for " + kLabel + ": " + value) ||
                      error == message("invalid trailing characters in " + kLabel + ": " + value),
            "parse_number fails with a documented message");
        return;
    }
    // A subnormal's decimal text reads back as an underflow, which is refused.
    if (std::isnan(parsed) || std::fpclassify(parsed) == FP_SUBNORMAL) return;
    char shortest[64];
    std::snprintf(shortest, sizeof shortest, "%.17g", parsed);
    expect(qvn::parse_number(shortest, kLabel) == parsed, "%.17g round trip");
    std::snprintf(shortest, sizeof shortest, "%a", parsed);
    expect(qvn::parse_number(shortest, kLabel) == parsed, "hex-float round trip");
}

void check_hex32(const std::string& value) {
    bool valid = value.size() == 8;
    std::uint32_t expected = 0;
    for (char c : value) {
        valid = valid && hex_value(c) >= 0;
        if (valid) expected = expected << 4 | static_cast<std::uint32_t>(hex_value(c));
    }
    std::uint32_t parsed = 0;
    const auto error = failure_of([&] { parsed = qvn::parse_hex32(value, kLabel); });
    if (value.size() != 8) {
        expect(error == message("expected 8 hex chars for " + kLabel + ", got: " + value),
               "wrong length reported");
    } else if (!valid) {
        expect(error == message("invalid hex for " + kLabel + ": " + value), "bad digit reported");
    } else {
        expect(!error && parsed == expected, "8 hex digits read big-endian");
        char text[9];
        std::snprintf(text, sizeof text, "%08" PRIx32, parsed);
        expect(qvn::parse_hex32(text, kLabel) == parsed, "parse_hex32 round trip");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = qvn::fuzz::as_text(data, size);
    check_hex(text);
    check_u64(text);
    check_number(text);
    check_hex32(text);
    return 0;
}
