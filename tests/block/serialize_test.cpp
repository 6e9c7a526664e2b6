#include "block/serialize.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "block/text.h"

namespace qvn {
namespace {

template <typename Write>
std::string written(Write&& write) {
    Bytes out;
    write(out);
    return hex_encode(out);
}

TEST(SerializeFixedWidth, LittleEndianBitPatterns) {
    EXPECT_EQ(written([](Bytes& o) { write_u8(o, 0xAB); }), "ab");
    EXPECT_EQ(written([](Bytes& o) { write_u32le(o, 0x12345678); }), "78563412");
    EXPECT_EQ(written([](Bytes& o) { write_u32le(o, static_cast<std::uint32_t>(-1)); }),
              "ffffffff");
    EXPECT_EQ(written([](Bytes& o) { write_u32le(o, 0x20000000); }), "00000020");
    EXPECT_EQ(written([](Bytes& o) { write_u64le(o, 1); }), "0100000000000000");
    EXPECT_EQ(written([](Bytes& o) { write_u64le(o, 0x0102030405060708ULL); }), "0807060504030201");
}

TEST(SerializeWriters, AppendWithoutTouchingEarlierBytes) {
    Bytes out = {0xAA, 0xBB};
    write_u32le(out, 1);
    write_compact_size(out, 253);
    write_push(out, Bytes{0x05});
    write_bytes(out, Bytes{0xC0, 0xC1});
    const std::uint8_t raw[] = {0xD0, 0xD1, 0xD2};
    write_bytes(out, raw, 2);
    write_bytes(out, nullptr, 0);
    write_bytes(out, Bytes{});
    EXPECT_EQ(hex_encode(out), "aabb01000000fdfd000105c0c1d0d1");
}

TEST(SerializeWriters, WriteBytesOfItself) {
    Bytes out = {1, 2, 3};
    write_bytes(out, out);
    EXPECT_EQ(out, (Bytes{1, 2, 3, 1, 2, 3}));
}

TEST(SerializeCompactSize, Boundaries) {
    const struct {
        std::uint64_t n;
        const char* hex;
    } cases[] = {
        {0, "00"},
        {1, "01"},
        {252, "fc"},
        {253, "fdfd00"},
        {254, "fdfe00"},
        {255, "fdff00"},
        {65535, "fdffff"},
        {65536, "fe00000100"},
        {4294967295ULL, "feffffffff"},
        {4294967296ULL, "ff0000000001000000"},
        {std::numeric_limits<std::uint64_t>::max(), "ffffffffffffffffff"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(written([&](Bytes& o) { write_compact_size(o, c.n); }), c.hex) << c.n;
    }
}

TEST(SerializePush, PrefixByLength) {
    const struct {
        std::size_t length;
        const char* prefix;
    } cases[] = {
        {0, "00"},     {1, "01"},       {75, "4b"},        {76, "4c4c"},
        {255, "4cff"}, {256, "4d0001"}, {65535, "4dffff"}, {65536, "4e00000100"},
    };
    for (const auto& c : cases) {
        Bytes data(c.length);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
        Bytes out;
        write_push(out, data);
        const std::string prefix = c.prefix;
        ASSERT_EQ(out.size(), prefix.size() / 2 + c.length) << c.length;
        EXPECT_EQ(hex_encode(out.data(), prefix.size() / 2), prefix) << c.length;
        EXPECT_TRUE(std::equal(data.begin(), data.end(), out.end() - c.length)) << c.length;
    }
}

TEST(SerializePush, OneByteDatumIsNeverASmallIntegerOpcode) {
    EXPECT_EQ(written([](Bytes& o) { write_push(o, Bytes{0x05}); }), "0105");
    EXPECT_EQ(written([](Bytes& o) { write_push(o, Bytes{0x81}); }), "0181");
}

TEST(SerializeScriptNum, MinimalNonNegativeEncoding) {
    const struct {
        std::uint64_t n;
        const char* hex;
    } cases[] = {
        {0, ""},
        {1, "01"},
        {16, "10"},
        {127, "7f"},
        {128, "8000"},
        {255, "ff00"},
        {256, "0001"},
        {32767, "ff7f"},
        {32768, "008000"},
        {840000, "40d10c"},
        {8388608, "00008000"},
        {4294967295ULL, "ffffffff00"},
        {4294967296ULL, "0000000001"},
        {std::numeric_limits<std::uint64_t>::max(), "ffffffffffffffff00"},
    };
    for (const auto& c : cases) EXPECT_EQ(hex_encode(encode_script_num(c.n)), c.hex) << c.n;
}

TEST(SerializeScriptNum, ZeroPushesNothing) {
    EXPECT_EQ(written([](Bytes& o) { write_push(o, encode_script_num(0)); }), "00");
}

}  // namespace
}  // namespace qvn
