#include "assets/analysed_index.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace script::assets {
namespace {

TEST(AnalysedIndex, SubstringStatusWithMissingFirst)
{
    AnalysedIndex index;
    EXPECT_EQ(index.status("/tex/a.tx"), 0);
    EXPECT_EQ(index.status(""), 0);

    index.add_found("/tex/wall.1001.tx");
    EXPECT_EQ(index.status("/tex/wall.1001.tx"), 1);
    EXPECT_EQ(index.status("/tex/wall.1001"), 1);  // a proper substring counts
    EXPECT_EQ(index.status("wall"), 1);            // shorter than the index's grams
    EXPECT_EQ(index.status("/tex/wall.1002.tx"), 0);
    EXPECT_EQ(index.status("/tex/wall.1001.tx.bak"), 0);  // longer than anything held

    index.add_missing("/tex/wall.1001.tx");
    EXPECT_EQ(index.status("/tex/wall.1001.tx"), 2);
    EXPECT_EQ(index.status("1001"), 2);
    index.add_missing("/other/*.exr");
    EXPECT_EQ(index.status("/other/*"), 2);
    EXPECT_EQ(index.status(""), 2);
}

// The index must give exactly the answer of a scan over every held string.
TEST(AnalysedIndex, AgreesWithAFullScan)
{
    std::mt19937 rng(7);
    const std::string alphabet = "/abc.0123";
    auto random_text = [&](std::size_t max_len) {
        std::string s;
        const std::size_t len = rng() % (max_len + 1);
        for (std::size_t i = 0; i < len; ++i)
            s += alphabet[rng() % alphabet.size()];
        return s;
    };
    SubstringSet set;
    std::vector<std::string> held;
    for (int round = 0; round < 400; ++round) {
        const std::string text = "/show/" + random_text(40);
        set.add(text);
        held.push_back(text);
        for (int q = 0; q < 20; ++q) {
            std::string needle;
            if (q % 2 == 0) {
                const std::string& from = held[rng() % held.size()];
                const std::size_t start = rng() % (from.size() + 1);
                needle = from.substr(start, rng() % (from.size() - start + 1));
            } else {
                needle = random_text(16);
            }
            bool expected = false;
            for (const std::string& h : held)
                expected = expected || h.find(needle) != std::string::npos;
            ASSERT_EQ(set.contains_substring(needle), expected) << "needle '" << needle << "'";
        }
    }
}

TEST(AnalysedIndex, HoldsEachStringOnce)
{
    SubstringSet set;
    set.add("/tex/a.tx");
    set.add("/tex/a.tx");
    set.add(std::string());
    EXPECT_EQ(set.size(), 2u);
    EXPECT_TRUE(set.contains_substring(""));
    EXPECT_TRUE(set.contains_substring("a.tx"));
}

}  // namespace
}  // namespace script::assets
