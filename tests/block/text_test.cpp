#include "block/text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support/env.h"

#include "test_support/errors.h"

namespace qvn {
namespace {

using test_support::error_of;

TEST(Trim, RemovesOnlyTheFourBlanksAtBothEnds) {
    EXPECT_EQ(trim("\t abc \r\n"), "abc");
    EXPECT_EQ(trim("\vabc"), "\vabc");
    EXPECT_EQ(trim("a b\tc"), "a b\tc");
    EXPECT_EQ(trim("   \t\r\n"), "");
    EXPECT_EQ(trim(""), "");
    EXPECT_EQ(trim("\fx\f"), "\fx\f");
}

TEST(Printable, EscapesControlsAndCutsLongText) {
    struct Case {
        std::string text;
        std::size_t max_bytes;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"plain text", 300, "plain text"},
        {"\x1b[2Jnew\nline\x7f", 300, "\\x1b[2Jnew\\x0aline\\x7f"},
        {"caf\xc3\xa9 \xc2\x9b \xc2\xa0", 300, "caf\xc3\xa9 \\xc2\\x9b \xc2\xa0"},
        {"abcdef", 3, "abc... (6 bytes)"},
        {"abc", 3, "abc"},
        {std::string("a\0b", 3), 300, "a\\x00b"},
    };
    for (const Case& c : cases) EXPECT_EQ(printable(c.text, c.max_bytes), c.shown) << c.text;
}

TEST(HexEncode, LowercasePairsInByteOrder) {
    EXPECT_EQ(hex_encode(Bytes{}), "");
    EXPECT_EQ(hex_encode(Bytes{0x00, 0x0f, 0xa0, 0xff}), "000fa0ff");
    Hash32 h{};
    h[0] = 0x01;
    h[31] = 0xab;
    EXPECT_EQ(hash_to_hex(h), "ab" + std::string(60, '0') + "01");
}

TEST(HexDecode, AcceptedForms) {
    struct Case {
        std::string text;
        Bytes bytes;
    };
    const Case cases[] = {
        {" 0XdeadBEEF\n", {0xde, 0xad, 0xbe, 0xef}},
        {"0x", {}},
        {"", {}},
        {"  \t ", {}},
        {"00ff", {0x00, 0xff}},
        {"0x0a0B", {0x0a, 0x0b}},
    };
    for (const Case& c : cases) EXPECT_EQ(hex_decode(c.text), c.bytes) << "[" << c.text << "]";
}

TEST(HexDecode, RejectionsQuoteTheCallersText) {
    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {"abc", "hex string has odd length: abc"}, {" 0x1 ", "hex string has odd length:  0x1 "},
        {"zz", "invalid hex string: zz"},          {"1g", "invalid hex string: 1g"},
        {"0x0x12", "invalid hex string: 0x0x12"},  {"12 34", "hex string has odd length: 12 34"},
        {"12  34", "invalid hex string: 12  34"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_of([&] { hex_decode(c.text); }), c.message) << "[" << c.text << "]";
    }
}

TEST(ParseHashHex, ReversesIntoInternalOrderAndBack) {
    const std::string text = std::string(63, '0') + "1";
    const Hash32 h = parse_hash_hex(text);
    EXPECT_EQ(h[0], 0x01);
    for (std::size_t i = 1; i < 32; ++i) EXPECT_EQ(h[i], 0) << i;
    EXPECT_EQ(hash_to_hex(h), text);
    EXPECT_EQ(error_of([] { parse_hash_hex(std::string(62, 'a')); }),
              "expected 32-byte hash hex, got 31 bytes");
    EXPECT_EQ(error_of([] { parse_hash_hex(std::string(66, 'a')); }),
              "expected 32-byte hash hex, got 33 bytes");
    EXPECT_EQ(error_of([] { parse_hash_hex("xyz"); }), "hex string has odd length: xyz");
}

TEST(ParseU64, ValuesAndMessages) {
    struct Case {
        std::string value;
        std::optional<std::uint64_t> result;
        std::string message;
    };
    const Case cases[] = {
        {" 42 ", 42, ""},
        {"+7", 7, ""},
        {"-1", 18446744073709551615ull, ""},
        {"18446744073709551615", 18446744073709551615ull, ""},
        {"0", 0, ""},
        {"", std::nullopt, "empty integer for --iters"},
        {" \t", std::nullopt, "empty integer for --iters"},
        {"abc", std::nullopt, "invalid integer for --iters: abc"},
        {"-", std::nullopt, "invalid integer for --iters: -"},
        {"12abc", std::nullopt, "invalid trailing characters in --iters: 12abc"},
        {"0x10", std::nullopt, "invalid trailing characters in --iters: 0x10"},
        {"1 2", std::nullopt, "invalid trailing characters in --iters: 1 2"},
        {"18446744073709551616", std::nullopt, "invalid integer for --iters: 18446744073709551616"},
        {" 99999999999999999999 ", std::nullopt,
         "invalid integer for --iters:  99999999999999999999 "},
    };
    for (const Case& c : cases) {
        if (c.result) {
            EXPECT_EQ(parse_u64(c.value, "--iters"), *c.result) << "[" << c.value << "]";
        } else {
            EXPECT_EQ(error_of([&] { parse_u64(c.value, "--iters"); }), c.message);
        }
    }
}

TEST(ParseNumber, ValuesAndMessages) {
    const std::string label = "payout weight";
    EXPECT_EQ(parse_number("1.5", label), 1.5);
    EXPECT_EQ(parse_number(" -2e3 ", label), -2000.0);
    EXPECT_EQ(parse_number("0x1p4", label), 16.0);
    EXPECT_TRUE(std::isnan(parse_number("nan", label)));
    EXPECT_TRUE(std::isinf(parse_number("INF", label)));
    EXPECT_TRUE(std::isinf(parse_number("infinity", label)));
    EXPECT_EQ(error_of([&] { parse_number("1e-400", label); }),
              "invalid number for payout weight: 1e-400");
    EXPECT_EQ(error_of([&] { parse_number("1e400", label); }),
              "invalid number for payout weight: 1e400");
    EXPECT_EQ(error_of([&] { parse_number("", label); }), "empty number for payout weight");
    EXPECT_EQ(error_of([&] { parse_number("abc", label); }),
              "invalid number for payout weight: abc");
    EXPECT_EQ(error_of([&] { parse_number("2.5x", label); }),
              "invalid trailing characters in payout weight: 2.5x");
}

TEST(ParseHex32, BigEndianEightDigitsOnly) {
    EXPECT_EQ(parse_hex32("1d00ffff", "bits"), 0x1D00FFFFu);
    EXPECT_EQ(parse_hex32("1D00FFFF", "bits"), 486604799u);
    EXPECT_EQ(parse_hex32("ffffffff", "bits"), 0xFFFFFFFFu);
    EXPECT_EQ(error_of([] { parse_hex32("1d00fff", "bits"); }),
              "expected 8 hex chars for bits, got: 1d00fff");
    EXPECT_EQ(error_of([] { parse_hex32(" 1d00ffff", "bits"); }),
              "expected 8 hex chars for bits, got:  1d00ffff");
    EXPECT_EQ(error_of([] { parse_hex32("0x1d00ff", "bits"); }), "invalid hex for bits: 0x1d00ff");
}

TEST(ExpandHome, LeadingTildeOnly) {
    test_support::ScopedEnv home("HOME", "/home/q");
    EXPECT_EQ(expand_home("~"), "/home/q");
    EXPECT_EQ(expand_home("~/x"), "/home/q/x");
    EXPECT_EQ(expand_home("~\\x"), "/home/q\\x");
    EXPECT_EQ(expand_home("~name/x"), "~name/x");
    EXPECT_EQ(expand_home("/a/~/b"), "/a/~/b");
    EXPECT_EQ(expand_home(""), "");
}

TEST(ExpandHome, MissingHomeFailsOnlyForTildePaths) {
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        test_support::ScopedEnv home("HOME", value);
        EXPECT_EQ(error_of([] { expand_home("~/c"); }),
                  "HOME/USERPROFILE is not set, cannot expand path: ~/c");
        EXPECT_EQ(error_of([] { expand_home("~name"); }),
                  "HOME/USERPROFILE is not set, cannot expand path: ~name");
        EXPECT_EQ(expand_home("/etc/x"), "/etc/x");
    }
}

}  // namespace
}  // namespace qvn
