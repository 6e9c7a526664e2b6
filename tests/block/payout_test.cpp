#include "block/payout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support/errors.h"

namespace qvn {
namespace {

using test_support::error_of;

TEST(ParsePayout, Forms) {
    const Payout plain = parse_payout("51");
    EXPECT_EQ(plain.script, Bytes{0x51});
    EXPECT_FALSE(plain.absolute);
    EXPECT_EQ(plain.weight, 1.0);

    const Payout weighted = parse_payout("51@2.5");
    EXPECT_EQ(weighted.weight, 2.5);
    EXPECT_FALSE(weighted.absolute);

    const Payout absolute = parse_payout("51:0");
    EXPECT_TRUE(absolute.absolute);
    EXPECT_EQ(absolute.sats, 0u);
    EXPECT_EQ(absolute.weight, 0.0);

    EXPECT_EQ(parse_payout("0x51").script, Bytes{0x51});
    EXPECT_EQ(parse_payout(" 51 ").script, Bytes{0x51});
    EXPECT_EQ(parse_payout("5151:18446744073709551615").sats, 18446744073709551615ull);
    EXPECT_EQ(parse_payout(std::string(20000, 'a')).script.size(), 10000u);
}

TEST(ParsePayout, Rejections) {
    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {"51@0", "payout weight must be positive: 51@0"},
        {"51@-1", "payout weight must be positive: 51@-1"},
        {"51@nan", "payout weight must be positive: 51@nan"},
        // An infinite weight would turn every share into not-a-number.
        {"51@inf", "payout weight must be positive: 51@inf"},
        {"51@-inf", "payout weight must be positive: 51@-inf"},
        {"51@abc", "invalid number for payout weight: abc"},
        {"51@", "empty number for payout weight"},
        {"51:", "empty integer for payout satoshis"},
        {"51:x", "invalid integer for payout satoshis: x"},
        {"@2", "empty scriptPubKey in payout: @2"},
        {"0x", "empty scriptPubKey in payout: 0x"},
        {"51:10@2", "hex string has odd length: 51:10"},
        {"5151:100@2", "invalid hex string: 5151:100"},
        {std::string(20002, 'b'),
         "unreasonably large scriptPubKey in payout: " + std::string(20002, 'b')},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_of([&] { parse_payout(c.text); }), c.message) << c.text.substr(0, 20);
    }
}

std::vector<std::uint64_t> split_values(const std::vector<std::string>& texts,
                                        std::uint64_t coinbasevalue) {
    std::vector<Payout> payouts;
    for (const std::string& s : texts) payouts.push_back(parse_payout(s));
    std::vector<std::uint64_t> values;
    for (const TxOutput& out : split_payouts(payouts, coinbasevalue)) values.push_back(out.value);
    return values;
}

TEST(SplitPayouts, Shares) {
    struct Case {
        std::vector<std::string> payouts;
        std::uint64_t coinbasevalue;
        std::vector<std::uint64_t> values;
    };
    const Case cases[] = {
        {{"51"}, 312500000, {312500000}},
        {{"51@3", "52@1"}, 312500001, {234375000, 78125001}},
        {{"51", "52", "53"}, 312500000, {104166666, 104166666, 104166668}},
        {{"51:100000000", "52"}, 312500000, {100000000, 212500000}},
        {{"51:100000000", "52:50000000"}, 312500000, {262500000, 50000000}},
        {{"51", "52:312500000"}, 312500000, {0, 312500000}},
        {{"51:0"}, 312500000, {312500000}},
        {{"51:5"}, 5, {5}},
        {{"51@1", "52@1000000"}, 1000, {0, 1000}},
        {{"51"}, 0, {0}},
        {{"51@1", "52:7", "53@1"}, 17, {5, 7, 5}},
        // A share computed at the full 64-bit scale stays below the remainder.
        {{"51@1e300", "52@1"}, 18446744073709551615ull, {18446744073709551615ull, 0}},
    };
    for (const Case& c : cases) {
        const auto values = split_values(c.payouts, c.coinbasevalue);
        EXPECT_EQ(values, c.values) << c.payouts.front() << " ... value " << c.coinbasevalue;
        EXPECT_EQ(std::accumulate(values.begin(), values.end(), std::uint64_t{0}), c.coinbasevalue);
    }
}

TEST(SplitPayouts, KeepsScriptsInOrder) {
    const std::vector<Payout> payouts = {parse_payout("aa:1"), parse_payout("bbbb")};
    const auto outputs = split_payouts(payouts, 10);
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0].script, (Bytes{0xaa}));
    EXPECT_EQ(outputs[1].script, (Bytes{0xbb, 0xbb}));
    EXPECT_EQ(outputs[1].value, 9u);
}

TEST(SplitPayouts, Failures) {
    EXPECT_EQ(error_of([] { split_payouts({}, 1); }),
              "at least one --payout raw scriptPubKey is required");
    EXPECT_EQ(error_of([] {
                  split_values({"51:18446744073709551615", "52:1"}, 5);
              }),
              "absolute payout sum overflow");
    EXPECT_EQ(error_of([] {
                  split_values({"51:6", "52"}, 5);
              }),
              "absolute payout sum exceeds coinbasevalue from template");
}

TEST(SplitPayouts, ExactSumForManyWeights) {
    // Awkward weights at several scales: the outputs must still add up exactly.
    std::vector<std::string> texts;
    for (int i = 1; i <= 37; ++i) texts.push_back("51@" + std::to_string(std::pow(1.7, i)));
    for (std::uint64_t value :
         {1ull, 999ull, 312500001ull, 2100000000000000ull, 18446744073709551615ull}) {
        const auto values = split_values(texts, value);
        EXPECT_EQ(std::accumulate(values.begin(), values.end(), std::uint64_t{0}), value);
    }
}

}  // namespace
}  // namespace qvn
