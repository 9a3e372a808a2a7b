#include "assets/analysed_index.h"

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace script::assets {
namespace {

TEST(AnalysedIndex, SubstringStatusWithMissingFirst)
{
    PathTable table;
    AnalysedIndex index(table);
    EXPECT_EQ(index.status("/tex/a.tx"), 0);
    EXPECT_EQ(index.status(""), 0);

    const PathId wall = table.intern("/tex/wall.1001.tx").first;
    index.add_found(wall);
    EXPECT_EQ(index.status("/tex/wall.1001.tx"), 1);
    EXPECT_EQ(index.status("/tex/wall.1001"), 1);  // a proper substring counts
    EXPECT_EQ(index.status("wall"), 1);            // too short for the index: scanned
    EXPECT_EQ(index.status("/tex/wall.1002.tx"), 0);
    EXPECT_EQ(index.status("/tex/wall.1001.tx.bak"), 0);  // longer than anything held
    // Interned but not held by either set: not recorded.
    table.intern("/tex/other.1001.tx");
    EXPECT_EQ(index.status("/tex/other.1001.tx"), 0);

    index.add_missing(wall);
    EXPECT_TRUE(index.is_missing(wall));
    EXPECT_EQ(index.status("/tex/wall.1001.tx"), 2);
    EXPECT_EQ(index.status("1001"), 2);
    index.add_missing(table.intern("/other/*.exr").first);
    EXPECT_EQ(index.status("/other/*"), 2);
    EXPECT_EQ(index.status(""), 2);
}

// The byte set of a text holds exactly its bytes, from each quarter of the byte range, and
// surely_unrecorded holds only while a set lacks one of them.
// The held bytes, asked after every path added, are exactly the bytes of the paths.
void expect_exactly_their_bytes(const std::vector<std::string>& paths)
{
    PathTable table;
    AnalysedIndex index(table);
    std::vector<bool> held(256, false);
    for (std::size_t round = 0; round < paths.size(); ++round) {
        for (const char c : paths[round])
            held[static_cast<unsigned char>(c)] = true;
        index.add_found(table.intern(paths[round]).first);
        for (int byte = 0; byte < 256; ++byte)
            ASSERT_EQ(index.surely_unrecorded(ByteSet::of(std::string(1, static_cast<char>(byte)))),
                      !held[byte])
                << "byte " << byte << " after path " << round;
    }
}

TEST(AnalysedIndex, ByteSetsAndTheQuickNotRecordedAnswer)
{
    std::mt19937 rng(3);
    for (int round = 0; round < 2000; ++round) {
        std::string text(rng() % 40, '\0');
        for (char& c : text)
            c = static_cast<char>(round % 2 ? rng() % 256 : 0x20 + rng() % 0x60);
        const ByteSet set = ByteSet::of(text);
        for (int byte = 0; byte < 256; ++byte) {
            const bool in_text = text.find(static_cast<char>(byte)) != std::string::npos;
            const bool in_set = (set.words[byte >> 6] >> (byte & 63)) & 1;
            ASSERT_EQ(in_set, in_text) << "byte " << byte << " of round " << round;
        }
    }

    PathTable table;
    AnalysedIndex index(table);
    const ByteSet token = ByteSet::of("/tex/a.<UDIM>.exr");
    EXPECT_TRUE(index.surely_unrecorded(token));
    index.add_found(table.intern("/tex/a.1001.exr").first);
    EXPECT_TRUE(index.surely_unrecorded(token));
    EXPECT_FALSE(index.surely_unrecorded(ByteSet::of("/tex/a.1001")));
    index.add_missing(table.intern("/tex/<b>.exr").first);
    EXPECT_TRUE(index.surely_unrecorded(token));  // found paths still lack '<'
    index.add_found(table.intern("/tex/<U>.DIM").first);
    EXPECT_FALSE(index.surely_unrecorded(token));

    // Paths of random bytes, then paths that share long heads with the path before them (as
    // the paths of one folder do), shorter ones among them, a new byte at any place.
    std::vector<std::string> random_paths;
    for (int round = 0; round < 40; ++round) {
        std::string path(1 + rng() % 6, '\0');
        for (char& c : path)
            c = static_cast<char>(rng() % 256);
        random_paths.push_back(path);
    }
    expect_exactly_their_bytes(random_paths);
    std::vector<std::string> folder_paths;
    std::string path = "/show/seq/shot/textures/";
    for (int round = 0; round < 300; ++round) {
        path.resize(rng() % (path.size() + 1));
        for (std::size_t i = rng() % 12; i > 0; --i)
            path += static_cast<char>(0x20 + rng() % 0x60);
        if (round % 10 == 9 && !path.empty())
            path[rng() % path.size()] = static_cast<char>(0x80 + round % 0x80);
        folder_paths.push_back(path);
    }
    expect_exactly_their_bytes(folder_paths);
}

// The index must give exactly the answer of a scan over every held string, for needles
// shorter and longer than its shortest indexed length.
TEST(AnalysedIndex, AgreesWithAFullScan)
{
    std::mt19937 rng(7);
    // Held paths take '<' only in the later rounds; needles have it from the start.
    std::string alphabet = "/abc.0123";
    auto random_text = [&](std::size_t max_len) {
        std::string s;
        const std::size_t len = rng() % (max_len + 1);
        for (std::size_t i = 0; i < len; ++i)
            s += alphabet[rng() % alphabet.size()];
        return s;
    };
    PathTable table;
    SubstringSet set(table);
    std::vector<std::string> held;
    for (int round = 0; round < 400; ++round) {
        alphabet = round < 200 ? "/abc.0123" : "/abc.0123<";
        const std::string text = "/show/" + random_text(40);
        const PathId id = table.intern(text).first;
        if (round % 3 == 0)
            continue;  // in the table, not in the set
        set.add(id);
        held.push_back(text);
        for (int q = 0; q < 20; ++q) {
            std::string needle;
            if (q % 2 == 0) {
                const std::string& from = held[rng() % held.size()];
                const std::size_t start = rng() % (from.size() + 1);
                needle = from.substr(start, rng() % (from.size() - start + 1));
            } else {
                alphabet = "/abc.0123<";
                needle = random_text(16);
                alphabet = round < 200 ? "/abc.0123" : "/abc.0123<";
            }
            bool expected = false;
            for (const std::string& h : held)
                expected = expected || h.find(needle) != std::string::npos;
            ASSERT_EQ(set.contains_substring(needle), expected) << "needle '" << needle << "'";
        }
    }
}

// Farm trees repeat their folder and file names in every asset folder, so most grams of a
// path are shared by thousands of others; the answer must stay exact there too.
TEST(AnalysedIndex, AgreesWithAFullScanOnRepetitiveTrees)
{
    std::mt19937 rng(11);
    const std::vector<std::string> kinds = {"udim", "seq", "single"};
    const std::vector<std::string> exts = {".exr", ".tx", ".1001.exr", ".####.exr"};
    auto path_of = [&](unsigned group, unsigned name) {
        char text[96];
        std::snprintf(text, sizeof text, "/show/tex/g%04u/%s/tex_%03u%s", group, kinds[name % 3].c_str(), name,
                      exts[(group + name) % 4].c_str());
        return std::string(text);
    };
    PathTable table;
    SubstringSet set(table);
    std::vector<std::string> held;
    for (unsigned group = 0; group < 60; ++group) {
        for (unsigned name = 0; name < 40; ++name) {
            if ((group * 7 + name) % 5 == 0)
                continue;  // some paths are never held
            const std::string text = path_of(group, name);
            set.add(table.intern(text).first);
            held.push_back(text);
        }
    }
    for (int q = 0; q < 3000; ++q) {
        std::string needle = path_of(rng() % 64, rng() % 44);
        if (q % 3 == 1)
            needle = needle.substr(rng() % 8);  // a tail of a path, held or not
        else if (q % 3 == 2)
            needle = needle.substr(0, needle.size() - rng() % 6);  // a head
        bool expected = false;
        for (const std::string& h : held)
            expected = expected || h.find(needle) != std::string::npos;
        ASSERT_EQ(set.contains_substring(needle), expected) << "needle '" << needle << "'";
    }
}

TEST(PathTable, NumbersEachTextOnceAndKeepsViewsValid)
{
    PathTable table;
    std::vector<std::string_view> views;
    for (int i = 0; i < 5000; ++i) {
        const auto [id, fresh] = table.intern("/tex/" + std::to_string(i) + std::string(i % 300, 'x'));
        ASSERT_TRUE(fresh);
        ASSERT_EQ(id, static_cast<PathId>(i));
        views.push_back(table.text(id));
    }
    EXPECT_EQ(table.intern("/tex/42" + std::string(42, 'x')), std::make_pair(PathId{42}, false));
    EXPECT_EQ(table.find("/tex/7" + std::string(7, 'x')), PathId{7});
    EXPECT_FALSE(table.find("/tex/7").has_value());
    EXPECT_EQ(table.intern("").second, true);
    EXPECT_EQ(views[1234], "/tex/1234" + std::string(1234 % 300, 'x'));  // after many growths
}

}  // namespace
}  // namespace script::assets
