#include "common/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/console.h"
#include "common/pyutil.h"
#include "tests/support/temp_dir.h"

namespace script {
namespace {

TEST(Platform, OsNameDrivesWindowsRules)
{
    const std::string saved = platform::current_os();
    EXPECT_EQ(saved, "linux");
    EXPECT_EQ(platform::path_separator(), '/');
    platform::set_current_os("windows");
    EXPECT_TRUE(platform::is_windows());
    EXPECT_EQ(platform::path_separator(), '\\');
    platform::set_current_os("darwin");
    EXPECT_FALSE(platform::is_windows());
    platform::set_current_os(saved);
}

TEST(Platform, EnvironmentUnsetDiffersFromEmpty)
{
    testing::ScopedEnv guard("ANALYSER_PLATFORM_TEST", nullptr);
    EXPECT_FALSE(platform::get_env("ANALYSER_PLATFORM_TEST").has_value());
    platform::set_env("ANALYSER_PLATFORM_TEST", "");
    EXPECT_EQ(platform::get_env("ANALYSER_PLATFORM_TEST"), "");
    platform::unset_env("ANALYSER_PLATFORM_TEST");
    EXPECT_FALSE(platform::get_env("ANALYSER_PLATFORM_TEST").has_value());
}

TEST(Platform, RemoveEntryNeverRecurses)
{
    testing::TempDir dir;
    const std::string file = dir.write("f.txt", "x");
    const std::string full = dir.mkdir("full");
    dir.write("full/keep.txt", "x");
    const std::string empty = dir.mkdir("empty");

    EXPECT_TRUE(platform::remove_entry(file));
    EXPECT_FALSE(platform::remove_entry(file));
    EXPECT_FALSE(platform::remove_entry(full));
    EXPECT_EQ(testing::read_text(full + "/keep.txt"), "x");
    EXPECT_TRUE(platform::remove_entry(empty));
}

// A file put in another's place: a reader that opened the old file keeps reading it, a
// reader opening the name after finds the new one, and nothing else is left. A folder in
// the way is never taken apart or moved; a link is replaced itself, not what it names.
TEST(Platform, ReplaceFileSwapsInOneStep)
{
    testing::TempDir dir;
    const std::string target = dir.write("asset.json", "{}");
    const int reader = ::open(target.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(platform::replace_file(dir.write("asset.json.tmp.1", "{\"a\": 1}"), target), 0);
    EXPECT_EQ(testing::read_text(target), "{\"a\": 1}");
    char old[8] = {};
    EXPECT_EQ(::read(reader, old, sizeof old), 2);
    EXPECT_EQ(std::string(old), "{}");
    ::close(reader);

    EXPECT_EQ(platform::replace_file(dir.write("tips.json.tmp.1", "{}"), dir.file("tips.json")), 0);
    EXPECT_EQ(testing::read_text(dir.file("tips.json")), "{}");

    const std::string folder = dir.mkdir("scene.json");
    dir.write("scene.json/keep.txt", "x");
    const std::string text = dir.write("scene.json.tmp.1", "{}");
    EXPECT_NE(platform::replace_file(text, folder), 0);
    EXPECT_EQ(testing::read_text(folder + "/keep.txt"), "x");
    EXPECT_EQ(testing::read_text(text), "{}");
    ::unlink(text.c_str());

    const std::string named = dir.write("named.json", "named");
    const std::string link = dir.file("upload.json");
    ASSERT_EQ(::symlink(named.c_str(), link.c_str()), 0);
    EXPECT_EQ(platform::replace_file(dir.write("upload.json.tmp.1", "{}"), link), 0);
    struct stat st
    {
    };
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(testing::read_text(named), "named");

    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"asset.json", "named.json", "scene.json",
                                               "tips.json", "upload.json"}));
}

// The heap made ready on another thread while this one fills and reads it: every text keeps
// what was written to it, however the two threads meet.
TEST(Platform, HeapMadeReadyKeepsWhatItHolds)
{
    platform::tune_heap_for_run();
    std::vector<std::string> texts;
    for (int i = 0; i < 20000; ++i)
        texts.push_back(std::string(100 + i % 50, static_cast<char>('a' + i % 26)));
    platform::prefault_heap(std::size_t{64} << 20);
    platform::prefault_heap(std::size_t{64} << 20); // once per process: no second thread
    for (int i = 20000; i < 200000; ++i)
        texts.push_back(std::string(100 + i % 50, static_cast<char>('a' + i % 26)));
    for (int i = 0; i < 200000; ++i) {
        const std::string& text = texts[static_cast<std::size_t>(i)];
        ASSERT_EQ(text.size(), static_cast<std::size_t>(100 + i % 50));
        ASSERT_EQ(text.find_first_not_of(static_cast<char>('a' + i % 26)), std::string::npos) << i;
    }
}

// The VmFlags of the mapping holding `at`, as /proc/self/smaps gives them; "" when none does.
std::string mapping_flags(const void* at)
{
    const auto address = reinterpret_cast<std::uintptr_t>(at);
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        unsigned long long from = 0;
        unsigned long long to = 0;
        if (std::sscanf(line.c_str(), "%llx-%llx ", &from, &to) == 2 && line.find('-') < 17)
            inside = from <= address && address < to;
        else if (inside && line.starts_with("VmFlags:"))
            return line;
    }
    return "";
}

// A run's threads take their blocks from heaps of their own: each is offered for huge pages
// as the process heap is, or a run on a virtual machine spends much of its time in faults.
TEST(Platform, ThreadHeapsAreOfferedForHugePagesWithTheProcessHeap)
{
    platform::tune_heap_for_run();
    // A block larger than any the test has freed ends in the heap laid out for the run.
    constexpr std::size_t k_size = std::size_t{8} << 20;
    char* const here = static_cast<char*>(std::malloc(k_size));
    const bool offered = mapping_flags(here + k_size - 1).find(" hg") != std::string::npos;
    std::free(here);
    if (!offered)
        GTEST_SKIP() << "the process heap was not offered for huge pages (no glibc heap, or "
                        "transparent huge pages are off)";

    std::string thread_flags;
    std::thread([&thread_flags] {
        platform::offer_thread_heap_huge_pages();
        void* const block = std::malloc(4096);
        thread_flags = mapping_flags(block);
        std::free(block);
    }).join();
    EXPECT_NE(thread_flags.find(" hg"), std::string::npos) << thread_flags;
}

TEST(Platform, RunProgramCapturesOutputWithoutShell)
{
    testing::TempDir dir;
    const std::string script_path = dir.write("tool.sh", "#!/bin/sh\nprintf 'a b\\n\\nlast'\nread x && echo got\nexit 3\n");
    ::chmod(script_path.c_str(), 0755);

    const auto out = platform::run_program({script_path, "$HOME; echo no"});
    EXPECT_TRUE(out.started);
    EXPECT_EQ(out.lines, (std::vector<std::string>{"a b", "", "last"}));
    EXPECT_EQ(out.exit_status, 3);

    const auto echo = platform::run_program({"/bin/echo", "$HOME; x"});
    ASSERT_TRUE(echo.started);
    EXPECT_EQ(echo.lines, (std::vector<std::string>{"$HOME; x"}));
    EXPECT_EQ(echo.exit_status, 0);

    EXPECT_FALSE(platform::run_program({dir.file("missing")}).started);
    EXPECT_FALSE(platform::run_program({dir.write("plain.txt", "x")}).started);
}

TEST(Platform, RunProgramSkipsLinesAboveTheCap)
{
    // Lines over the cap, ended or not, are counted and never kept; the others are intact.
    testing::TempDir dir;
    const std::string script_path = dir.write(
        "tool.sh", "#!/bin/sh\necho short\nhead -c 200000 /dev/zero | tr '\\0' x\necho\n"
                   "echo exactly16bytes__\necho 17bytes_________\nhead -c 100000 /dev/zero\n");
    ::chmod(script_path.c_str(), 0755);
    const auto out = platform::run_program({script_path}, 17);
    EXPECT_EQ(out.lines,
              (std::vector<std::string>{"short", "exactly16bytes__", "17bytes_________"}));
    EXPECT_EQ(out.long_lines, 2u);
}

TEST(Console, CaptureKeepsStreamsApart)
{
    console().begin_capture();
    print_line("one");
    print_error_line("bad");
    print_line("two");
    std::string err;
    EXPECT_EQ(console().end_capture(&err), "one\ntwo\n");
    EXPECT_EQ(err, "bad\n");

    console().begin_capture();
    print_error_line("bad");
    print_line("one");
    EXPECT_EQ(console().end_capture(), "one\nbad\n");
}

// Lines gathered in blocks come out as the console prints them one by one, in order, past
// block ends and for a line longer than a block.
TEST(Console, ReprLinesPrintAsReprLineDoes)
{
    std::vector<std::string> texts;
    for (int i = 0; i < 5000; ++i)
        texts.push_back("tex/d" + std::to_string(i % 7) + "/wall." +
                        std::to_string(1001 + i) + ".exr");
    texts.insert(texts.begin() + 1234, "tex/it's/wall.exr");
    texts.insert(texts.begin() + 2345, "tex/" + std::string(70000, 'x') + ".exr");
    texts.insert(texts.begin() + 3456, "C:\\tex\\wall.exr");

    console().begin_capture();
    for (const std::string& text : texts)
        print_repr_line(text);
    const std::string expected = console().end_capture();

    console().begin_capture();
    {
        ReprLines lines(console());
        for (const std::string& text : texts) {
            if (plain_repr_ascii(text))
                lines.plain(text);
            else
                lines.any(text);
        }
        lines.flush();
    }
    EXPECT_EQ(console().end_capture(), expected);
}

// Standard output is written on a thread of its own: the process streams must still get
// every line once, in order, standard text before the error line that follows it, and all
// of it by the time flush returns.
TEST(Console, StreamsGetEveryLineInOrder)
{
    testing::TempDir dir;
    const std::string file = dir.file("console.txt");
    std::fflush(stdout);
    std::fflush(stderr);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    ASSERT_GE(fd, 0);
    const int saved_out = ::dup(1);
    const int saved_err = ::dup(2);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    ::close(fd);

    std::string expected;
    std::string after_flush;
    {
        Console out;
        // Many times the buffer, so that texts wait for the thread.
        for (int round = 0; round < 3; ++round) {
            for (int i = 0; i < 40000; ++i) {
                const std::string line =
                    "/shots/tex/d" + std::to_string(round) + "/t_" + std::to_string(i) + ".exr";
                out.plain_repr_line(line);
                expected += "'" + line + "'\n";
            }
            out.error_line("bad " + std::to_string(round));
            expected += "bad " + std::to_string(round) + "\n";
        }
        out.line("last");
        expected += "last\n";
        out.flush();
        after_flush = testing::read_text(file);
    }
    std::fflush(stdout);
    ::dup2(saved_out, 1);
    ::dup2(saved_err, 2);
    ::close(saved_out);
    ::close(saved_err);
    EXPECT_EQ(after_flush.size(), expected.size());
    EXPECT_TRUE(after_flush == expected);
    EXPECT_TRUE(testing::read_text(file) == expected);
}

// An embedding host's sink gets standard text before the error text that follows it, each
// piece once; a capture still keeps lines from it.
TEST(Console, SinkReceivesFlushedTextInOrder)
{
    Console out;
    std::vector<std::pair<std::string, bool>> received;
    out.set_sink([&](std::string_view text, bool error) {
        received.emplace_back(std::string(text), error);
    });
    out.line("one");
    out.repr_line("two");
    out.plain_repr_line("/tex/two.exr");  // the caller knows it needs no escapes
    out.error_line("bad");
    out.flush();
    out.line("three");
    out.begin_capture();
    out.line("kept");
    EXPECT_EQ(out.end_capture(), "kept\n");
    out.set_sink({});
    const std::vector<std::pair<std::string, bool>> expected = {
        {"one\n'two'\n'/tex/two.exr'\n", false}, {"bad\n", true}, {"three\n", false}};
    EXPECT_EQ(received, expected);
}

// A list line far longer than the console's buffer reaches the sink in pieces that together
// are Python's repr of the list, and no piece holds much more than the buffer.
TEST(Console, LongListLinesAreBufferedPieceByPiece)
{
    std::vector<std::string> paths;
    for (int i = 0; i < 20000; ++i)
        paths.push_back("/shots/tex/d" + std::to_string(i / 1000) + "/it's_" + std::to_string(i) + ".exr");
    paths.emplace_back("caf\xc3\xa9\\\"q\"");
    Console out;
    std::string received;
    std::size_t largest = 0;
    out.set_sink([&](std::string_view text, bool) {
        received += text;
        largest = std::max(largest, text.size());
    });
    out.repr_list_line(paths);
    out.repr_list_line({});
    out.flush();
    out.set_sink({});
    EXPECT_EQ(received, py_repr(paths) + "\n[]\n");
    EXPECT_LE(largest, 65 * 1024u);
    EXPECT_GT(received.size(), 8 * largest);
}

}  // namespace
}  // namespace script
