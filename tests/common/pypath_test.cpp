#include "common/pypath.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string_view>

#include <gtest/gtest.h>

#include "common/platform.h"
#include "tests/support/temp_dir.h"

#include <unistd.h>

namespace script::pypath {
namespace {

using Pair = std::pair<std::string, std::string>;

TEST(PosixPath, SplitDirnameBasename)
{
    const struct
    {
        const char* path;
        Pair parts;
    } cases[] = {
        {"", {"", ""}},
        {"a", {"", "a"}},
        {"/", {"/", ""}},
        {"//", {"//", ""}},
        {"/a", {"/", "a"}},
        {"a/b/", {"a/b", ""}},
        {"a//b", {"a", "b"}},
        {"/x/y.exr", {"/x", "y.exr"}},
        {"//srv/a", {"//srv", "a"}},
        {"///x", {"///", "x"}},
        {"a/b//", {"a/b", ""}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(posix::split(c.path), c.parts) << c.path;
        const auto [head, tail] = posix::split_view(c.path);
        EXPECT_EQ(Pair(std::string(head), std::string(tail)), c.parts) << c.path;
        EXPECT_EQ(posix::dirname(c.path), c.parts.first) << c.path;
        EXPECT_EQ(posix::basename(c.path), c.parts.second) << c.path;
    }
}

TEST(PosixPath, NormpathJoinSplitext)
{
    const std::pair<const char*, const char*> norm[] = {
        {"", "."},         {".", "."},        {"/..", "/"},           {"//a/../b", "//b"},
        {"///a//b/", "/a/b"}, {"../a/..", ".."}, {"a/./b/../../..", ".."}, {"a/b/../c", "a/c"},
    };
    for (const auto& [in, out] : norm)
        EXPECT_EQ(posix::normpath(in), out) << in;

    EXPECT_EQ(posix::join("a", "b"), "a/b");
    EXPECT_EQ(posix::join("a/", "b"), "a/b");
    EXPECT_EQ(posix::join("a", "/b"), "/b");
    EXPECT_EQ(posix::join("", "b"), "b");
    EXPECT_EQ(posix::join("a", ""), "a/");

    // Joining to a normal folder works through the name only, with the same result.
    for (const char* dir :
         {"/", "/a", "/a/b", "a", "a/b", "..", "../..", "a/..x", "", ".", "//a", "a/"}) {
        for (const char* name :
             {"",     "c",       "./c",    "../c",      "../../../c/d", "c/../..",
              "..",   "/c/../d", "c//d/.", "../..",     "...",          ".c/..c",
              ".//c", "././c/d", "./c/",   "./.",       "./..",         "./c/./d",
              "./.c", "./c..d",  ".././c", "./../../c", "../c/../d",    "../.."}) {
            const std::string expected = posix::normpath(posix::join(dir, name));
            EXPECT_EQ(posix::normpath_join(dir, name), expected) << dir << " + " << name;
            EXPECT_EQ(NormalJoin(dir)(name), expected) << dir << " + " << name;
            // Added to a text, the same join leaves what was there before it.
            std::string text = "x//..";
            NormalJoin(dir).append_to(text, name);
            EXPECT_EQ(text, "x//.." + expected) << dir << " + " << name;
        }
    }

    EXPECT_EQ(posix::splitext("a/b.tar.gz"), Pair("a/b.tar", ".gz"));
    EXPECT_EQ(posix::splitext(".bashrc"), Pair(".bashrc", ""));
    EXPECT_EQ(posix::splitext("..x.y"), Pair("..x", ".y"));
    EXPECT_EQ(posix::splitext("a.b/c"), Pair("a.b/c", ""));
    EXPECT_EQ(posix::splitext("name."), Pair("name", "."));

    EXPECT_TRUE(posix::isabs("/a"));
    EXPECT_FALSE(posix::isabs("a/b"));
}

// The quick test used by normpath, abspath and the folder cache: a path it accepts is one
// normpath keeps; leading "//", which normpath keeps, is left to the full rules.
TEST(PosixPath, IsNormalOnlyForPathsNormpathKeeps)
{
    for (const char* path : {"/", "/a", "a", "a/b", "/a/b.c/d", "/.a/b..", "...", "/a/..."}) {
        EXPECT_TRUE(posix::is_normal(path)) << path;
        EXPECT_EQ(posix::normpath(path), path) << path;
    }
    for (const char* path : {"", "//", "///", "//a", "/a/", "/a//b", "/a/./b", "/a/../b", ".", "..", "./a", "a/."})
        EXPECT_FALSE(posix::is_normal(path)) << path;

    // Longer paths, where the test looks at many places at once: normal means not empty,
    // and "/" or no trailing "/", no empty component and no "." or ".." component.
    const auto normal = [](std::string_view path) {
        if (path.empty() || path == "/")
            return !path.empty();
        if (path.back() == '/' || path.find("//") != std::string_view::npos)
            return false;
        for (std::size_t start = 0; start <= path.size();) {
            const std::size_t slash = std::min(path.find('/', start), path.size());
            const std::string_view component = path.substr(start, slash - start);
            if (component == "." || component == "..")
                return false;
            start = slash + 1;
        }
        return true;
    };
    std::uint32_t seed = 99;
    const auto next = [&seed](std::uint32_t below) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % below;
    };
    // Mostly ordinary names, with now and then an empty, "." or ".." component, or a name
    // starting or ending with dots.
    const std::string_view names[] = {
        "tex_0001.1001.exr", "shots", "a", ".hidden", "b..", "...", "", ".", ".."};
    for (int round = 0; round < 20000; ++round) {
        std::string path = next(2) != 0 ? "/" : "";
        for (std::uint32_t n = 1 + next(6); n > 0; --n) {
            path += names[next(next(3) != 0 ? 3 : std::size(names))];
            path += n > 1 || next(8) == 0 ? "/" : "";
        }
        ASSERT_EQ(posix::is_normal(path), normal(path)) << path;
    }
}

TEST(NtPath, DrivesAndSeparators)
{
    EXPECT_EQ(nt::split("C:\\a\\b"), Pair("C:\\a", "b"));
    EXPECT_EQ(nt::split("C:\\"), Pair("C:\\", ""));
    EXPECT_EQ(nt::split("C:a"), Pair("C:", "a"));
    EXPECT_EQ(nt::split("\\\\srv\\share\\x"), Pair("\\\\srv\\share\\", "x"));
    EXPECT_EQ(nt::basename("a/b\\c"), "c");

    EXPECT_EQ(nt::join("C:", "a"), "C:a");
    EXPECT_EQ(nt::join("C:\\x", "D:y"), "D:y");
    EXPECT_EQ(nt::join("c:\\x", "C:y"), "C:\\x\\y");
    EXPECT_EQ(nt::join("C:\\x", "\\y"), "C:\\y");
    EXPECT_EQ(nt::join("\\\\srv\\share", "a"), "\\\\srv\\share\\a");

    EXPECT_EQ(nt::normpath("C:/a/../b/./c"), "C:\\b\\c");
    EXPECT_EQ(nt::normpath("\\..\\a"), "\\a");
    EXPECT_EQ(nt::normpath("..\\a"), "..\\a");
    EXPECT_EQ(nt::normpath(""), ".");
    EXPECT_EQ(nt::normpath("\\\\?\\C:/x/.."), "\\\\?\\C:/x/..");

    EXPECT_TRUE(nt::isabs("C:\\a"));
    EXPECT_TRUE(nt::isabs("/a"));
    EXPECT_FALSE(nt::isabs("C:a"));
}

TEST(PlatformPath, FlavourFollowsOs)
{
    const std::string saved = platform::current_os();
    EXPECT_EQ(join({"a", "b", "c"}), "a/b/c");
    platform::set_current_os("windows");
    EXPECT_EQ(join({"a", "b", "c"}), "a\\b\\c");
    EXPECT_EQ(normpath("a/b"), "a\\b");
    platform::set_current_os(saved);
    EXPECT_EQ(abspath("/x/./y/.."), "/x");
    EXPECT_EQ(abspath("q"), posix::join(platform::current_dir(), "q"));
}

TEST(PlatformPath, RealpathResolvesExistingLinks)
{
    testing::TempDir dir;
    dir.mkdir("real");
    ASSERT_EQ(::symlink("real", dir.file("link").c_str()), 0);
    const std::string base = realpath(dir.path());
    EXPECT_EQ(realpath(dir.file("link")), base + "/real");
    EXPECT_EQ(realpath(dir.file("link/missing/../x")), base + "/real/x");
    EXPECT_EQ(realpath(dir.file("link/")), base + "/real");
}

}  // namespace
}  // namespace script::pypath
