#include "driver/file_facts.h"

#include <stdexcept>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "common/platform.h"
#include "driver/check_flow.h"
#include "tests/support/temp_dir.h"

namespace script {
namespace {

using testing::ConsoleCapture;
using testing::TempDir;

TEST(LocalToServer, OneDriveLetterMakesServerPath)
{
    struct Case
    {
        std::string_view in, expected;
    };
    constexpr Case cases[] = {
        {"C:/proj/a.ktn", "/C/proj/a.ktn"},
        {"c:\\proj\\a.ktn", "/c\\proj\\a.ktn"},
        {"/mnt/x", "/mnt/x"},
        {"C:/a/b:c", "C:/a/b:c"}, // two matches: unchanged
        {"//server/share/a.ktn", "//server/share/a.ktn"},
        {"/mnt/a:b", "//mnt/ab"}, // a match anywhere counts
        {",:x", "/,x"},           // the comma belongs to the character class
        {"1:/x", "1:/x"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(local_to_server(std::string(c.in)), c.expected) << "input: " << c.in;
    }
}

TEST(FileFacts, MissingFileGivesZeroFacts)
{
    EXPECT_EQ(get_file_mtime("x.exr"), "x.exr  (mtime 0)");
    EXPECT_EQ(get_file_size("/no/such/file"), 0);
}

TEST(FileFacts, ExistingFileHasSizeAndStamp)
{
    const TempDir dir;
    const std::string file = dir.write("a.exr", "12345");
    EXPECT_EQ(get_file_size(file), 5);
    const std::string stamp = get_file_mtime(file);
    ASSERT_EQ(stamp.rfind(file + "  (mtime ", 0), 0u) << stamp;
    // "YYYY-MM-DD HH:MM:SS" between the prefix and ")".
    EXPECT_EQ(stamp.size(), file.size() + 9 + 19 + 1) << stamp;
    EXPECT_EQ(stamp.back(), ')');
}

TEST(FileMd5, DigestsAcrossBlockBoundaries)
{
    const TempDir dir;
    constexpr std::string_view k_empty_md5 = "d41d8cd98f00b204e9800998ecf8427e";
    EXPECT_EQ(getFileMd5(dir.write("empty")), k_empty_md5);
    EXPECT_EQ(getFileMd5(dir.file("missing")), k_empty_md5);
    EXPECT_EQ(getFileMd5(dir.write("abc", "abc")), "900150983cd24fb0d6963f7d28e17f72");
    // 8096 bytes and one more: the last block holds a single byte.
    EXPECT_EQ(getFileMd5(dir.write("big", std::string(8097, 'a'))),
              getFileMd5(dir.write("big2", std::string(8097, 'a'))));
    EXPECT_NE(getFileMd5(dir.write("big3", std::string(8096, 'a'))), getFileMd5(dir.file("big")));
}

TEST(CheckFlow, PassesResultsAndArguments)
{
    auto add = checkFlow("add", [](int a, int b) { return a + b; });
    EXPECT_EQ(add(2, 3), 5);
}

TEST(CheckFlow, FailureEndsRunNamingProgramAndStep)
{
    platform::set_program_path("/opt/katana/bin/katanaBin");
    auto step = checkFlow("kanana_rendernodes",
                          [](int) -> int { throw std::runtime_error("node exploded"); });
    ConsoleCapture capture;
    try {
        step(1);
        FAIL() << "the wrapped step returned";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.status(), 1);
        EXPECT_EQ(exit.message(), "[ERROR] failed: katanaBin  kanana_rendernodes");
    }
    EXPECT_EQ(capture.finish(), "node exploded\n" + std::string(k_bang_line) + "\n");
}

TEST(CheckFlow, RequestedProcessEndPassesThrough)
{
    auto step = checkFlow("clear", []() { end_process(555, "gone"); });
    try {
        step();
        FAIL() << "the wrapped step returned";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.status(), 555);
        EXPECT_EQ(exit.message(), "gone");
    }
}

} // namespace
} // namespace script
