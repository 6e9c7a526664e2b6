#include "miner/selftest.h"

#include <gtest/gtest.h>

#include <string>

namespace qvn {
namespace {

TEST(Selftest, PassesAndLeavesTheTextAlone) {
    struct Case {
        const char* name;
        bool (*run)(std::string*);
    };
    for (const Case& c : {Case{"hash", hash_selftest}, Case{"miner", miner_selftest}}) {
        std::string text = "untouched";
        EXPECT_TRUE(c.run(&text)) << c.name << ": " << text;
        EXPECT_EQ(text, "untouched") << c.name;
        EXPECT_TRUE(c.run(nullptr)) << c.name;
    }
}

}  // namespace
}  // namespace qvn
