#include "common/json_doc.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <future>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/errors.h"
#include "common/json_scan.h"
#include "common/platform.h"
#include "tests/support/temp_dir.h"

namespace script {
namespace {

// Strings of every length up to several blocks, with quotes, escapes, control and
// multi-byte characters at every place, and sometimes no closing quote: the cursor reads
// what a full parser reads and refuses what it refuses.
TEST(JsonCursor, ReadsStringsAsAFullParserDoes)
{
    std::mt19937 rng(11);
    const std::string_view pieces[] = {"a",    "Z",   "/",       " ",        "\\\"",
                                       "\\\\", "\\n", "\\u00e9", "\xc3\xa9", "\xe2\x82\xac",
                                       "\x7f", "\t",  "\x01"};
    for (int round = 0; round < 5000; ++round) {
        std::string text = "\"";
        for (std::uint32_t n = rng() % 40; n > 0; --n)
            text += pieces[rng() % (round % 2 ? std::size(pieces) : std::size(pieces) - 2)];
        if (rng() % 8 != 0)
            text += '"';
        std::optional<std::string> expected;
        try {
            expected = Json::parse(text).get<std::string>();
        } catch (const Json::exception&) {
        }
        std::string read;
        bool refused = false;
        try {
            JsonCursor cursor(text, 8);
            cursor.read_string(read);
            cursor.expect_end();
        } catch (const JsonCursor::Refused&) {
            refused = true;
        }
        ASSERT_EQ(refused, !expected.has_value()) << text;
        if (expected)
            ASSERT_EQ(read, *expected) << text;
    }
}

TEST(JsonDoc, JobLayoutMatchesPythonIndentFour)
{
    Json doc = Json::object();
    doc["name"] = "caf\xc3\xa9";
    doc["frames"] = Json::array({1, 2.0});
    doc["empty"] = Json::object();
    doc["none"] = Json::array();
    EXPECT_EQ(dump_job_document(doc),
              "{\n"
              "    \"name\": \"caf\xc3\xa9\",\n"
              "    \"frames\": [\n"
              "        1,\n"
              "        2.0\n"
              "    ],\n"
              "    \"empty\": {},\n"
              "    \"none\": []\n"
              "}");
}

TEST(JsonDoc, NumbersAsPythonWritesThem)
{
    const Json doc = Json::parse(R"([1e15, 1e16, 0.00001, 1.0, -0.0, 3, -7, true, null, "a\"b\\\n\u0001"])");
    EXPECT_EQ(dump_job_document(doc),
              "[\n    1000000000000000.0,\n    1e+16,\n    1e-05,\n    1.0,\n    -0.0,\n    3,\n    -7,\n"
              "    true,\n    null,\n    \"a\\\"b\\\\\\n\\u0001\"\n]");
    EXPECT_EQ(dump_job_document(Json(std::nan(""))), "NaN");
    EXPECT_EQ(dump_job_document(Json(-HUGE_VAL)), "-Infinity");
    EXPECT_EQ(dump_job_document(Json::parse(R"({"a": {"b": []}})")), "{\n    \"a\": {\n        \"b\": []\n    }\n}");
}

TEST(JsonDoc, AsciiEscapesAndInvalidUtf8)
{
    EXPECT_EQ(dump_ascii_document(Json("caf\xc3\xa9 \xf0\x9f\x98\x80")), "\"caf\\u00e9 \\ud83d\\ude00\"");
    // Broken UTF-8 is replaced instead of failing the write.
    EXPECT_NO_THROW(dump_job_document(Json("bad \xff byte")));
}

TEST(JsonDoc, ParseSkipsBomAndReportsErrors)
{
    EXPECT_EQ(parse_json_text("\xEF\xBB\xBF{\"a\": 1}")["a"], 1);
    EXPECT_THROW(parse_json_text("{\"a\": "), Error);
    EXPECT_THROW(parse_json_text(""), Error);
}

TEST(JsonDoc, AtomicWriteReplacesAndCleansUp)
{
    testing::TempDir dir;
    const std::string path = dir.write("job.json", "old");
    write_file_atomic(path, "new text");
    EXPECT_EQ(read_file(path), "new text");
    EXPECT_FALSE(testing::read_text(path + ".tmp." + std::to_string(::getpid())).size());

    EXPECT_THROW(write_file_atomic(dir.file("missing/job.json"), "x"), Error);
    EXPECT_THROW(read_file(dir.file("nothing.json")), Error);
}

// A file produced through a buffer far smaller than the file is written block by block and
// ends up byte for byte what was produced; a producer that fails leaves the old file and no
// temporary beside it.
TEST(JsonDoc, ProducedTextPassesThroughTheBufferWhole)
{
    testing::TempDir dir;
    const std::string path = dir.write("asset.json", "old");
    std::string expected;
    const auto produce = [&expected](TextStream& out) {
        expected.clear();
        for (int i = 0; i < 20000; ++i) {
            const std::string item = "\"/tex/t" + std::to_string(i) + ".exr\",\n";
            expected += item;
            out.buffer() += item;
            out.flush_if_full();
        }
        out.append(std::string(5000, 'z'));  // one item larger than the block
        expected += std::string(5000, 'z');
    };
    const std::size_t blocks = write_file_atomic(path, produce, 4096);
    EXPECT_EQ(read_file(path), expected);
    EXPECT_GT(blocks, expected.size() / 4096 / 2);
    EXPECT_LE(blocks, expected.size() / 4096 + 1);

    const std::string before = read_file(path);
    EXPECT_THROW(write_file_atomic(path,
                                   [](TextStream& out) {
                                       for (int i = 0; i < 1000; ++i) {
                                           out.append(std::string(1000, 'x'));
                                       }
                                       throw Error("the producer failed");
                                   },
                                   4096),
                 Error);
    EXPECT_EQ(read_file(path), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// Blocks past the first are written on another thread: a write that fails there still
// ends the text with an error naming the file, however many blocks were produced after it.
TEST(JsonDoc, AFailedBlockWriteIsReportedNamingTheFile)
{
    const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        GTEST_SKIP() << "no /dev/full here";
    std::string message;
    try {
        TextStream out(fd, "job/asset.json", 4096);
        for (int i = 0; i < 1000; ++i)
            out.append(std::string(1000, 'x'));
        out.finish();
    } catch (const Error& e) {
        message = e.what();
    }
    ::close(fd);
    EXPECT_EQ(message, "cannot write file job/asset.json: " + std::string(std::strerror(ENOSPC)));
}

std::string nested_arrays(std::size_t depth)
{
    return std::string(depth, '[') + std::string(depth, ']');
}

TEST(JsonDoc, NestingBeyondTheLimitIsRefusedNamingTheSource)
{
    EXPECT_NO_THROW(parse_json_text(nested_arrays(k_max_json_depth)));
    // Brackets inside strings, escaped quotes included, do not nest.
    const std::string strings = "[\"" + std::string(5000, '[') + "\\\"{\"]";
    EXPECT_EQ(parse_json_text(strings).size(), 1u);
    for (const std::size_t depth : {k_max_json_depth + 1, std::size_t{100000}}) {
        try {
            parse_json_text(nested_arrays(depth), "/job/task.json");
            ADD_FAILURE() << "accepted " << depth;
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()),
                      "/job/task.json: arrays and objects nest deeper than 1000 levels");
        }
    }
    // Objects count as well, and the parser's own errors name the source too.
    std::string objects;
    for (int i = 0; i < 100000; ++i)
        objects += "{\"a\":";
    EXPECT_THROW(parse_json_text(objects, "deep.json"), Error);
    try {
        parse_json_text("{\"a\": ", "/job/tips.json");
        ADD_FAILURE() << "accepted";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("/job/tips.json: ", 0), 0u) << e.what();
    }
}

// Values built in memory are not bounded by the parse limit: the writer keeps its place
// off the call stack. A small thread stack makes a recursive writer fail here.
TEST(JsonDoc, DeepValuesAreWrittenWithoutTheCallStack)
{
    constexpr int k_depth = 2000;
    Json value = Json::array({"leaf"});
    for (int i = 1; i < k_depth; ++i) {
        Json outer = Json::object();
        outer["k"] = std::move(value);
        value = std::move(outer);
    }
    struct Work
    {
        const Json* value;
        std::string text;
    } work{&value, {}};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 128 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attr,
                  [](void* arg) -> void* {
                      auto* w = static_cast<Work*>(arg);
                      w->text = dump_job_document(*w->value);
                      return nullptr;
                  },
                  &work),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    const std::string deepest(static_cast<std::size_t>(k_depth) * 4, ' ');
    EXPECT_EQ(work.text.rfind("{\n    \"k\": {\n", 0), 0u);
    EXPECT_NE(work.text.find("\n" + deepest + "\"leaf\"\n"), std::string::npos);
    EXPECT_TRUE(work.text.ends_with("\n    }\n}"));
}

TEST(JsonDoc, FoldersAreNotReadAsEmptyFiles)
{
    testing::TempDir dir;
    const std::string folder = dir.mkdir("task.json");
    try {
        read_file(folder);
        ADD_FAILURE() << "read a folder";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot read file " + folder + ": Is a directory");
    }
}

// Texts of one file written ahead at the same time on different threads (and the process's
// own thread writing the file meanwhile) each keep a temporary file of their own.
TEST(JsonDoc, TextsWrittenAheadOnThreadsDoNotMeet)
{
    testing::TempDir dir;
    const std::string file = dir.write("asset.json", "{}");
    const auto ahead = [&file](char fill) {
        return std::async(std::launch::async, [&file, fill] {
            return FileAhead(file, [fill](TextStream& out) {
                for (int i = 0; i < 40; ++i)
                    out.append(std::string(TextStream::k_default_block / 4, fill));
            });
        });
    };
    std::future<FileAhead> first = ahead('a');
    std::future<FileAhead> second = ahead('b');
    write_file_atomic(file, "{\"here\": 1}");
    FileAhead a = first.get();
    FileAhead b = second.get();
    ASSERT_TRUE(a.ready() && b.ready());
    EXPECT_EQ(read_file(file), "{\"here\": 1}");
    a.put_in_place();
    EXPECT_EQ(read_file(file), std::string(10 * TextStream::k_default_block, 'a'));
    b = FileAhead(); // dropped: its temporary goes
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    EXPECT_FALSE(a.ready());
    EXPECT_THROW(a.put_in_place(), Error);
}

TEST(JsonDoc, InjectedWriteFailureLeavesTheOldFile)
{
    testing::TempDir dir;
    const std::string full = dir.write("asset.json", "{\"old\": 1}");
    const std::string other = dir.file("tips.json");
    set_write_failure_for_tests([&full](const std::string& path) { return path == full; });
    EXPECT_THROW(write_file_atomic(full, "{}"), Error);
    EXPECT_NO_THROW(write_file_atomic(other, "{}"));
    set_write_failure_for_tests({});
    EXPECT_EQ(read_file(full), "{\"old\": 1}");
    EXPECT_EQ(read_file(other), "{}");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
    write_file_atomic(full, "{}");
    EXPECT_EQ(read_file(full), "{}");
}

}  // namespace
}  // namespace script
