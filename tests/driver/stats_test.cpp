#include "driver/stats.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "miner/chunk_miner.h"
#include "rpc/block_template.h"

namespace qvn {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(FormatHashRate, UnitsAndRounding) {
    struct Case {
        double rate;
        std::string text;
    };
    const Case cases[] = {
        {0, "0.00 H/s"},        {999.994, "999.99 H/s"},      {1000, "1.00 kH/s"},
        {1234567, "1.23 MH/s"}, {2.5e9, "2.50 GH/s"},         {1e12, "1.00 TH/s"},
        {5e15, "5000.00 TH/s"}, {999999.999, "1000.00 kH/s"}, {12.345, "12.35 H/s"},
        {4.3e6, "4.30 MH/s"},
    };
    for (const Case& c : cases) EXPECT_EQ(format_hash_rate(c.rate), c.text) << c.rate;
    EXPECT_EQ(format_hash_rate(-5).substr(5), " H/s");
    const std::string nan_text = format_hash_rate(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(nan_text.substr(nan_text.size() - 4), " H/s");
}

ChunkResult chunk(std::uint64_t hashes, double elapsed_ms) {
    ChunkResult r{};
    r.hashes = hashes;
    r.elapsed_ms = elapsed_ms;
    return r;
}

// Feeds chunks of 2 s each and returns after which chunks a "[stat]" line came.
std::vector<int> stat_lines_after_chunks(int status_sec, milliseconds chunk_time, int chunks) {
    const Clock::time_point t0{};
    MiningStats stats = start_stats(t0);
    std::vector<int> with_line;
    for (int i = 1; i <= chunks; ++i) {
        std::ostringstream out;
        record_chunk(stats, chunk(1000, static_cast<double>(chunk_time.count())), 0, 1, 0,
                     status_sec, t0 + chunk_time * i, out);
        if (!out.str().empty()) with_line.push_back(i);
    }
    return with_line;
}

TEST(RecordChunk, Cadence) {
    EXPECT_EQ(stat_lines_after_chunks(5, seconds(2), 9), (std::vector<int>{3, 6, 9}));
    EXPECT_EQ(stat_lines_after_chunks(5, seconds(7), 3), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(stat_lines_after_chunks(1, milliseconds(999), 4), (std::vector<int>{2, 4}));
}

TEST(RecordChunk, LineFields) {
    const Clock::time_point t0{};
    MiningStats stats = start_stats(t0);
    std::ostringstream quiet;
    record_chunk(stats, chunk(4'000'000, 1000), 7, 840000, 3, 5, t0 + seconds(1), quiet);
    EXPECT_EQ(quiet.str(), "");
    EXPECT_EQ(stats.total_hashes, 4'000'000u);

    // The batch rate is what the workers hashed in the chunk's time.
    ChunkResult waited = chunk(6'000'000, 2000);
    waited.workers = {{5'000'000, seconds(2)}, {2'000'000, seconds(1)}};
    std::ostringstream out;
    record_chunk(stats, waited, 4'000'007, -1, 18446744073709551615ull, 5, t0 + seconds(5), out);
    EXPECT_EQ(out.str(),
              "[stat] height=4294967295 extranonce=18446744073709551615 nonce=4000007 "
              "total=10000000 avg=2.00 MH/s batch=3.50 MH/s\n");
    EXPECT_EQ(stats.last_status_time, t0 + seconds(5));
}

TEST(RecordChunk, ZeroElapsedShowsZeroRates) {
    const Clock::time_point t0{};
    MiningStats stats = start_stats(t0);
    std::ostringstream out;
    record_chunk(stats, chunk(0, 0), 0, 1, 0, 1, t0 + seconds(1), out);
    EXPECT_EQ(out.str(),
              "[stat] height=1 extranonce=0 nonce=0 total=0 avg=0.00 H/s batch=0.00 H/s\n");
}

TEST(LogTemplate, WorkLine) {
    BlockTemplate t;
    t.height = 840000;
    t.coinbasevalue = 312500000;
    t.target[31] = 0x00;
    t.target[27] = 0xff;
    t.target[0] = 0x01;
    std::ostringstream out;
    log_template(t, out);
    EXPECT_EQ(out.str(), "[work] height=840000 txs=1 coinbasevalue=312500000 target=00000000ff" +
                             std::string(52, '0') + "01 nonces=0..4294967295 longpoll=no\n");

    t.transactions.resize(3);
    t.longpollid = "abc";
    t.noncerange_min = 16;
    t.noncerange_max = 31;
    std::ostringstream second;
    log_template(t, second);
    EXPECT_NE(second.str().find(" txs=4 "), std::string::npos);
    EXPECT_NE(second.str().find(" nonces=16..31 longpoll=yes\n"), std::string::npos);
}

}  // namespace
}  // namespace qvn
