#include "common/fs.h"
#include "common/regex.h"

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/errors.h"
#include "common/pypath.h"
#include "tests/support/temp_dir.h"

namespace script {
namespace {

struct Tree
{
    testing::TempDir dir;
    Tree()
    {
        dir.write("file.txt", "12345");
        dir.mkdir("sub");
        ::symlink("sub", dir.file("link_dir").c_str());
        ::symlink("missing", dir.file("dangling").c_str());
    }
};

TEST(Fs, QueriesFollowPython)
{
    Tree t;
    const struct
    {
        const char* name;
        bool exists, lexists, isfile, isdir;
    } cases[] = {
        {"file.txt", true, true, true, false},
        {"sub", true, true, false, true},
        {"link_dir", true, true, false, true},
        {"dangling", false, true, false, false},
        {"nothing", false, false, false, false},
        {"file.txt/x", false, false, false, false},
        {"nothing/x", false, false, false, false},
        {"dangling/x", false, false, false, false},
        {"file.txt/x/y", false, false, false, false},
        {"link_dir/nothing", false, false, false, false},
    };
    fs::DirectoryCache cache;
    for (const auto& c : cases) {
        const std::string path = t.dir.file(c.name);
        EXPECT_EQ(fs::exists(path), c.exists) << c.name;
        EXPECT_EQ(fs::lexists(path), c.lexists) << c.name;
        EXPECT_EQ(fs::isfile(path), c.isfile) << c.name;
        EXPECT_EQ(fs::isdir(path), c.isdir) << c.name;
        EXPECT_EQ(cache.exists(path), c.exists) << c.name;
        EXPECT_EQ(cache.lexists(path), c.lexists) << c.name;
        EXPECT_EQ(cache.isfile(path), c.isfile) << c.name;
        EXPECT_EQ(cache.isdir(path), c.isdir) << c.name;
    }
    EXPECT_EQ(fs::file_size(t.dir.file("file.txt")), 5u);
    EXPECT_FALSE(fs::file_size(t.dir.file("nothing")).has_value());
    EXPECT_TRUE(fs::mtime(t.dir.file("file.txt")).has_value());
}

// A folder that is not there, or is a file, is found out once: paths below it are then answered
// from the cache, like the names of a folder listed, until the cache is made anew.
TEST(Fs, CacheAnswersPathsBelowAMissingFolderOnce)
{
    testing::TempDir dir;
    dir.write("plain.txt");
    fs::DirectoryCache cache;
    EXPECT_FALSE(cache.exists(dir.file("later/a.exr")));
    EXPECT_FALSE(cache.isfile(dir.file("plain.txt/a.exr")));
    dir.write("later/a.exr");
    ASSERT_EQ(::unlink(dir.file("plain.txt").c_str()), 0);
    dir.write("plain.txt/a.exr");
    EXPECT_FALSE(cache.isfile(dir.file("plain.txt/a.exr")));
    EXPECT_FALSE(cache.exists(dir.file("later/a.exr")));
    EXPECT_FALSE(cache.lexists(dir.file("later/a.exr")));
    EXPECT_EQ(cache.folders_listed(), 0u);
    EXPECT_TRUE(fs::DirectoryCache().exists(dir.file("later/a.exr")));
}

TEST(Fs, ListDirAndCacheCountsFolders)
{
    Tree t;
    auto entries = fs::list_dir(t.dir.path());
    std::vector<std::string> names;
    for (const auto& e : entries)
        names.emplace_back(e.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"dangling", "file.txt", "link_dir", "sub"}));
    const auto link = std::find_if(entries.begin(), entries.end(), [](auto& e) { return e.name == "link_dir"; });
    EXPECT_TRUE(link->is_link);
    EXPECT_EQ(link->kind, fs::EntryKind::Directory);
    EXPECT_THROW(fs::list_dir(t.dir.file("nothing")), Error);
    EXPECT_THROW(fs::list_dir(""), Error);

    fs::DirectoryCache cache;
    EXPECT_TRUE(cache.isfile(t.dir.file("file.txt")));
    EXPECT_TRUE(cache.isdir(t.dir.file("sub")));
    EXPECT_FALSE(cache.exists(t.dir.file("other")));
    EXPECT_EQ(cache.folders_listed(), 1u);
    // Unnormalised paths are answered directly and list nothing, also right after their
    // folder was looked up.
    EXPECT_TRUE(cache.isfile(t.dir.path() + "/sub/../file.txt"));
    EXPECT_TRUE(cache.isfile(t.dir.file("file.txt")));
    EXPECT_TRUE(cache.isdir(t.dir.path() + "/."));
    EXPECT_TRUE(cache.isdir(t.dir.path() + "/.."));
    EXPECT_TRUE(cache.exists(t.dir.path() + "/"));
    EXPECT_FALSE(cache.isfile(t.dir.path() + "//file.txt/"));
    EXPECT_EQ(cache.folders_listed(), 1u);
    EXPECT_EQ(cache.listing(t.dir.file("nothing")), nullptr);
    ASSERT_NE(cache.listing(t.dir.path()), nullptr);
    EXPECT_EQ(cache.listing(t.dir.path())->size(), 4u);

    // The extensions of the folder looked up last are known from its listing; of any other
    // folder nothing is.
    const std::uint64_t txt = fs::DirectoryCache::extension_bit("txt");
    const std::uint64_t exr = fs::DirectoryCache::extension_bit("exr");
    ASSERT_NE(txt, exr);
    EXPECT_TRUE(cache.isfile(t.dir.file("file.txt")));
    const std::optional<std::uint64_t> top = cache.extensions_of_last(t.dir.path());
    ASSERT_TRUE(top);
    EXPECT_NE(*top & txt, 0u);
    EXPECT_EQ(*top & exr, 0u);
    EXPECT_FALSE(cache.extensions_of_last(t.dir.file("sub")));
    EXPECT_FALSE(cache.exists(t.dir.file("sub/x.exr")));
    const std::optional<std::uint64_t> sub = cache.extensions_of_last(t.dir.file("sub"));
    ASSERT_TRUE(sub);
    EXPECT_EQ(*sub & exr, 0u);
    EXPECT_FALSE(cache.extensions_of_last(t.dir.path()));
}

// The names found by prefix are exactly those that begin with it, whatever bytes the names
// share, where they part, how long they are and whether a byte is above 0x7f.
TEST(Fs, ListingWithPrefixFindsEveryNameWithThePrefix)
{
    testing::TempDir dir;
    std::vector<std::string> names;
    std::uint32_t seed = 12345;
    const auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    const std::string letters[] = {"a", "b", ".", "_", "0", "1", "\xc3\xa9", "z"};
    for (int i = 0; i < 600; ++i) {
        std::string name = (i % 3 == 0) ? "" : "tex_shared_start."; // two families
        for (std::uint32_t n = 1 + next() % 14; n > 0; --n)
            name += letters[(next() >> 8) % 8];
        if (name != "." && name != ".." &&
            std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
            dir.write("f/" + name);
        }
    }
    fs::DirectoryCache cache;
    const std::string folder = dir.file("f");
    const fs::DirListing* listing = cache.listing(folder);
    ASSERT_NE(listing, nullptr);
    ASSERT_EQ(listing->size(), names.size());
    std::vector<std::uint32_t> positions;
    for (std::size_t n = 0; n < names.size(); n += 7) {
        for (std::size_t length = 1; length <= names[n].size(); ++length) {
            const std::string prefix = names[n].substr(0, length);
            ASSERT_NE(cache.listing_with_prefix(folder, prefix, positions), nullptr);
            std::vector<std::uint32_t> expected;
            for (std::uint32_t i = 0; i < listing->size(); ++i)
                if ((*listing)[i].name.starts_with(prefix))
                    expected.push_back(i);
            EXPECT_EQ(positions, expected) << prefix;
        }
    }
}

TEST(Fs, FoldersListedAheadGiveTheSameAnswers)
{
    // More folders than may wait listed at once, so some are let go before their query and
    // listed again by it; some are queried before their turn comes.
    constexpr int k_folders = 300;
    testing::TempDir dir;
    std::vector<std::string> folders;
    for (int i = 0; i < k_folders; ++i) {
        const std::string folder = dir.mkdir("d" + std::to_string(i));
        dir.write("d" + std::to_string(i) + "/t.1001.exr");
        dir.write("d" + std::to_string(i) + "/t.1002.exr");
        dir.mkdir("d" + std::to_string(i) + "/sub");
        folders.push_back(folder);
    }
    const std::string file = dir.write("plain.txt");
    // Names that are not listed ahead, or not folders: their answers are unchanged too.
    std::vector<std::string> named = folders;
    named.insert(named.end(),
                 {dir.file("missing"), file, dir.path() + "/d1/../d2", "relative", "/"});

    fs::DirectoryCache cache;
    cache.list_ahead(named);
    cache.list_ahead(named); // named twice: listed once
    std::vector<std::uint32_t> positions;
    for (int i = k_folders - 1; i >= 0; i -= 7) {
        // Out of the order named, and each folder queried several ways.
        const std::string& folder = folders[static_cast<std::size_t>(i)];
        EXPECT_TRUE(cache.isfile(folder + "/t.1001.exr")) << folder;
        EXPECT_FALSE(cache.exists(folder + "/t.1003.exr")) << folder;
        EXPECT_TRUE(cache.isdir(folder + "/sub")) << folder;
        const fs::DirListing* listing = cache.listing_with_prefix(folder, "t.", positions);
        ASSERT_NE(listing, nullptr) << folder;
        EXPECT_EQ(positions.size(), 2u) << folder;
    }
    EXPECT_FALSE(cache.isdir(dir.file("missing") + "/x"));
    EXPECT_FALSE(cache.isfile(file + "/x"));
    EXPECT_TRUE(cache.isdir(dir.path() + "/d1/../d2"));
    const std::size_t queried = cache.folders_listed();
    EXPECT_EQ(queried, static_cast<std::size_t>((k_folders + 6) / 7));

    cache.stop_listing_ahead();
    for (const std::string& folder : folders)
        EXPECT_TRUE(cache.isfile(folder + "/t.1002.exr")) << folder;
    EXPECT_EQ(cache.folders_listed(), static_cast<std::size_t>(k_folders));
    // Once stopped it can start again.
    const std::string late = dir.mkdir("late");
    dir.write("late/x");
    cache.list_ahead({late});
    EXPECT_TRUE(cache.isfile(late + "/x"));
}

TEST(Fs, MakeDirs)
{
    testing::TempDir dir;
    fs::make_dirs(dir.file("a/b/c"));
    EXPECT_TRUE(fs::isdir(dir.file("a/b/c")));
    EXPECT_NO_THROW(fs::make_dirs(dir.file("a/b")));
    const std::string file = dir.write("f", "x");
    EXPECT_THROW(fs::make_dirs(file + "/sub"), Error);
    EXPECT_THROW(fs::make_dirs(file), Error);
}

TEST(Regex, SearchMatchAndGroups)
{
    const Regex re("(\\d+)(x)?");
    auto m = re.search("ab12cd");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->group(), "12");
    EXPECT_EQ(m->group(1), "12");
    EXPECT_FALSE(m->matched(2));
    EXPECT_EQ(m->group(2), "");
    EXPECT_EQ(m->start(), 2u);
    EXPECT_EQ(m->end(), 4u);
    EXPECT_EQ(m->group_count(), 2);
    EXPECT_FALSE(re.match_start("ab12"));
    EXPECT_TRUE(re.match_start("12ab"));
    EXPECT_FALSE(re.search("12 34", 5));
    EXPECT_EQ(re.search("12 34", 1)->group(), "2");

    EXPECT_TRUE(Regex("ABC", Regex::IgnoreCase).contains("xabcx"));
    EXPECT_FALSE(Regex("ABC").contains("xabcx"));
    EXPECT_THROW(Regex("(unclosed"), Error);

    // "\Z" is the absolute end, as in Python; "$" still allows a final newline.
    EXPECT_FALSE(Regex("abc\\Z").contains("abc\n"));
    EXPECT_TRUE(Regex("abc\\Z").contains("xabc"));
    EXPECT_TRUE(Regex("abc$").contains("abc\n"));
    EXPECT_TRUE(Regex("a\\\\Z").contains("a\\Z"));
}

TEST(Regex, IterationFollowsPythonEmptyMatchRules)
{
    EXPECT_EQ(Regex("\\w*").findall("ab c"), (std::vector<std::string>{"ab", "", "c", ""}));
    EXPECT_EQ(Regex("x*").findall("ab"), (std::vector<std::string>{"", "", ""}));
    EXPECT_EQ(Regex("a(\\d)").findall("a1 a2 b3"), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(Regex("x*").replace_all("abc", "-"), "-a-b-c-");
    EXPECT_EQ(Regex("#+").replace_all("f.####.exr", "%04d"), "f.%04d.exr");
    EXPECT_EQ(Regex("\\\\").replace_all("a\\b", "/"), "a/b");
}

}  // namespace
}  // namespace script
