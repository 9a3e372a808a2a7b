#include "common/glob.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string_view>

#include <unistd.h>

#include <gtest/gtest.h>

#include "common/fs.h"
#include "common/platform.h"
#include "tests/support/temp_dir.h"

namespace script {
namespace {

TEST(Fnmatch, TranslationRules)
{
    const struct
    {
        const char* name;
        const char* pattern;
        bool match;
    } cases[] = {
        {"shot.0001.exr", "shot.*.exr", true},
        {"shot.exr", "shot.*.exr", false},
        {"a", "?", true},
        {"", "?", false},
        {"", "*", true},
        {"abc", "a**c", true},
        {"b", "[abc]", true},
        {"d", "[!abc]", true},
        {"a", "[!abc]", false},
        {"m", "[a-z]", true},
        {"-", "[a-]", true},
        {"]", "[]]", true},
        {"x", "[!]]", true},
        {"]", "[!]]", false},
        {"a", "[z-a]", false},
        {"[a", "[a", true},
        {"a", "[a", false},
        {"\\", "[\\]", true},
        {"A.EXR", "*.exr", false},
        {"line\nbreak", "line*", true},
        {"a.b", "a.b", true},
        {"axb", "a.b", false},
        {"aab", "*ab", true},
        {"abab", "*ab*ab", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fnmatch(c.name, c.pattern), c.match) << c.name << " ~ " << c.pattern;
    EXPECT_TRUE(has_magic("a[b"));
    EXPECT_FALSE(has_magic("plain/path.exr"));
}

// fnmatch's rules on single characters, tried at every place: "*" any run, "?" any one
// character, "[...]" one of a set, anything else itself.
bool reference_match(std::string_view name, std::string_view pattern)
{
    if (pattern.empty())
        return name.empty();
    if (pattern[0] == '*')
        return reference_match(name, pattern.substr(1)) ||
               (!name.empty() && reference_match(name.substr(1), pattern));
    if (name.empty())
        return false;
    if (pattern.starts_with("[ab]"))
        return (name[0] == 'a' || name[0] == 'b') &&
               reference_match(name.substr(1), pattern.substr(4));
    return (pattern[0] == '?' || pattern[0] == name[0]) &&
           reference_match(name.substr(1), pattern.substr(1));
}

TEST(Fnmatch, AgreesWithMatchingAtEveryPlace)
{
    // Patterns whose literal ends overlap, repeat or take the whole name are where
    // matching the ends apart from the middle could go wrong.
    std::uint32_t seed = 12345;
    const auto next = [&seed](std::uint32_t below) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % below;
    };
    const std::string_view pieces[] = {"a", "b", ".", "*", "?", "[ab]", "ab", "a.b"};
    for (int round = 0; round < 20000; ++round) {
        std::string pattern;
        for (std::uint32_t n = next(6); n > 0; --n)
            pattern += pieces[next(std::size(pieces))];
        std::string name;
        for (std::uint32_t n = next(8); n > 0; --n)
            name += "ab."[next(3)];
        ASSERT_EQ(fnmatch(name, pattern), reference_match(name, pattern))
            << name << " ~ " << pattern;
    }
}

std::vector<std::string> sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

TEST(Glob, PythonSemantics)
{
    testing::TempDir t;
    t.write("seq/a.0001.exr");
    t.write("seq/a.0002.exr");
    t.write("seq/.hidden.exr");
    t.write("seq/notes.txt");
    t.write("other/a.0003.exr");
    t.write("[x].txt");
    ::symlink("gone", t.file("seq/dangling.exr").c_str());
    const std::string root = t.path();

    fs::DirectoryCache cache;
    for (fs::DirectoryCache* c : {static_cast<fs::DirectoryCache*>(nullptr), &cache}) {
        EXPECT_EQ(sorted(glob(root + "/seq/*.exr", c)),
                  (std::vector<std::string>{root + "/seq/a.0001.exr", root + "/seq/a.0002.exr",
                                            root + "/seq/dangling.exr"}));
        EXPECT_EQ(glob(root + "/seq/.*", c), (std::vector<std::string>{root + "/seq/.hidden.exr"}));
        EXPECT_EQ(sorted(glob(root + "/*/a.*.exr", c)),
                  (std::vector<std::string>{root + "/other/a.0003.exr", root + "/seq/a.0001.exr",
                                            root + "/seq/a.0002.exr"}));
        EXPECT_EQ(sorted(glob(root + "/*/", c)), (std::vector<std::string>{root + "/other/", root + "/seq/"}));
        EXPECT_EQ(glob(root + "/*/notes.txt", c), (std::vector<std::string>{root + "/seq/notes.txt"}));
        // A path without wildcards comes back as given when it exists, even as a broken link.
        EXPECT_EQ(glob(root + "/seq/dangling.exr", c), (std::vector<std::string>{root + "/seq/dangling.exr"}));
        EXPECT_TRUE(glob(root + "/seq/none.exr", c).empty());
        EXPECT_TRUE(glob(root + "/missing/*", c).empty());
        // "[x]" is a set matching "x", so the literal file name is not found.
        EXPECT_TRUE(glob(root + "/[x].txt", c).empty());
        EXPECT_TRUE(glob("", c).empty());
        // Into a list of texts, the same names in the same order, after what it held.
        for (const std::string pattern :
             {"/seq/*.exr", "/*/a.*.exr", "/*/", "/seq/dangling.exr", "/missing/*"}) {
            TextList list;
            list.push_back("before");
            glob_into(root + pattern, c, list);
            std::vector<std::string> texts;
            for (std::size_t i = 1; i < list.size(); ++i)
                texts.emplace_back(list[i]);
            EXPECT_EQ(list[0], "before");
            EXPECT_EQ(texts, glob(root + pattern, c)) << pattern;
        }
    }

    // By Windows rules a pattern is split as ntpath splits it, and names are joined to
    // their folder with a backslash.
    const std::string os = platform::current_os();
    platform::set_current_os("windows");
    for (fs::DirectoryCache* c : {static_cast<fs::DirectoryCache*>(nullptr), &cache}) {
        EXPECT_EQ(sorted(glob(root + "/seq/*.exr", c)),
                  (std::vector<std::string>{root + "/seq\\a.0001.exr", root + "/seq\\a.0002.exr",
                                            root + "/seq\\dangling.exr"}));
        EXPECT_EQ(glob(root + "/seq/notes.txt", c),
                  (std::vector<std::string>{root + "/seq/notes.txt"}));
        EXPECT_TRUE(glob(root + "/seq/none.*", c).empty());
    }
    platform::set_current_os(os);

    const std::string saved = platform::current_dir();
    ASSERT_TRUE(platform::change_dir(root + "/seq"));
    EXPECT_EQ(sorted(glob("*.txt")), (std::vector<std::string>{"notes.txt"}));
    platform::change_dir(saved);
}

// The folder cache finds names by their start in a sorted index. Names sharing a long
// start, names that are starts of others and names beyond the first eight differing bytes
// must all be found as a plain listing finds them.
TEST(Glob, CachedPrefixSearchAgreesWithListing)
{
    testing::TempDir t;
    std::vector<std::string> names = {"tex_0000",     "tex_00001",       "tex_0000a.exr",
                                      "tex_000",      "tex_0000[ab.exr", "tex_0000[b.exr",
                                      ".tex_0000.exr"};
    for (int i = 0; i < 300; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "tex_0000%03d.%04d.exr", i % 37, 1001 + i);
        names.push_back(name);
        std::snprintf(name, sizeof name, "tex_0000%03d.%04d.longer_tail_%d.tx", i % 37, 1001 + i, i % 3);
        names.push_back(name);
        std::snprintf(name, sizeof name, "tex_0000_one_long_start_%03d", (i * 7) % 300);
        names.push_back(name);
    }
    for (const std::string& name : names)
        t.write("f/" + name);
    const std::string root = t.path() + "/f/";
    fs::DirectoryCache cache;
    for (const char* pattern :
         {"tex_0000*", "tex_0000*.exr", "tex_00001*", "tex_0000a*", "tex_000*", "tex_0000012.*",
          "tex_0000012.1013.longer_tail_*", "tex_0000036.[0-9]*.tx",
          "tex_0000012.1013.longer_tail_0.tx*", "tex_1*", "tex_0000_one_long_start_1*",
          "tex_0000_one_long_start_29*", "tex_0000[a*", "tex_0000[*.exr", ".tex*", ".*.exr",
          "tex_0000[!a]*.exr"}) {
        EXPECT_EQ(sorted(glob(root + pattern, &cache)), sorted(glob(root + pattern, nullptr))) << pattern;
    }
    // All but "tex_000", and the hidden name.
    EXPECT_EQ(glob(root + "tex_0000*", &cache).size(), names.size() - 2);
    EXPECT_EQ(glob(root + "tex_0000[a*", &cache),
              std::vector<std::string>{root + "tex_0000[ab.exr"});
}

}  // namespace
}  // namespace script
