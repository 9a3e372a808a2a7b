#include "driver/job_files.h"

#include <algorithm>
#include <filesystem>
#include <future>
#include <string>

#include <gtest/gtest.h>

#include "common/console.h"
#include "common/errors.h"
#include "common/json_doc.h"
#include "common/platform.h"
#include "driver/job_paths.h"
#include "driver/process_exit.h"
#include "tests/support/temp_dir.h"

namespace script {
namespace {

using testing::ConsoleCapture;
using testing::read_text;
using testing::TempDir;

class JobFilesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_saved = job_paths();
        job_paths() = callable_job_paths("/no/scene.katana", m_dir.path());
    }
    void TearDown() override { job_paths() = m_saved; }

    TempDir m_dir;
    zel_Katana m_files;
    ConsoleCapture m_capture;

private:
    JobPaths m_saved;
};

TEST_F(JobFilesTest, WritesJobFileFormatAndKeepsMemberPlace)
{
    const std::string file = m_dir.file("new/folder/tips.json");
    m_files.write_json_info(file, "70000", Json::array({"/a/\xc3\xa9t\xc3\xa9.katana"}));
    m_files.write_json_info(file, "70006", Json::array({"scene not found AOV!"}));
    m_files.write_json_info(file, "70000", Json::array({"x", "y"}));
    m_files.write_json_info(file, "empty", Json::object());
    EXPECT_EQ(read_text(file), "{\n"
                               "    \"70000\": [\n"
                               "        \"x\",\n"
                               "        \"y\"\n"
                               "    ],\n"
                               "    \"70006\": [\n"
                               "        \"scene not found AOV!\"\n"
                               "    ],\n"
                               "    \"empty\": {}\n"
                               "}");
    m_files.write_json_info(file, "name", "\xc3\xa9t\xc3\xa9");
    EXPECT_NE(read_text(file).find("\"name\": \"\xc3\xa9t\xc3\xa9\"\n}"), std::string::npos)
        << read_text(file);
    EXPECT_EQ(m_capture.finish().rfind("write info to " + file + "\n", 0), 0u);
}

// A streamed member many times the buffer's size is merged like any other: members already
// in the file keep their place and value, new ones follow, and the bytes are those of the
// document written whole. A member whose producer fails leaves the file as it was and
// marks it unwritten.
TEST_F(JobFilesTest, StreamedMembersMergeLikeWholeOnes)
{
    const std::string file = m_dir.write("upload.json", "{\"asset\": [1], \"scene\": \"s.katana\"}");
    Json list = Json::array();
    for (int i = 0; i < 60000; ++i)
        list.push_back("/shots/seq010/tex/d" + std::to_string(i / 1000) + "/wall_" + std::to_string(i) + ".1001.exr");
    const auto write_list = [&list](TextStream& out) {
        out.buffer() += '[';
        for (std::size_t i = 0; i < list.size(); ++i) {
            out.buffer() += i ? ",\n        " : "\n        ";
            append_json_string(out.buffer(), list[i].get_ref<const std::string&>(), false);
            out.flush_if_full();
        }
        out.buffer() += "\n    ]";
    };
    m_files.write_json_member_texts(file, {{"tail", "3", {}}, {"asset", {}, write_list}});

    Json expected = Json::object();
    expected["asset"] = list;
    expected["scene"] = "s.katana";
    expected["tail"] = 3;
    const std::string text = read_text(file);
    EXPECT_GT(text.size(), 10 * TextStream::k_default_block);
    EXPECT_EQ(text, dump_job_document(expected));

    job_paths().unwritten_files.clear();
    m_files.write_json_member_texts(file, {{"asset", {}, [](TextStream& out) {
                                                out.append(std::string(3 * TextStream::k_default_block, ' '));
                                                throw Error("no more paths");
                                            }}});
    EXPECT_EQ(read_text(file), dump_job_document(expected));
    EXPECT_EQ(job_paths().unwritten_files, std::vector<std::string>{file});
    EXPECT_NE(m_capture.finish().find("no more paths"), std::string::npos);
}

// A text written ahead on another thread lands as the write itself would write it, when
// the file still holds what the text was built on. When the file changed meanwhile, the
// text is dropped and the members are merged into what the file holds now; a failure
// when it is put in place leaves the file as it was. No temporary file is ever left.
TEST_F(JobFilesTest, TextWrittenAheadIsPutInPlaceOnlyOverTheDocumentItWasBuiltOn)
{
    const std::string file = m_dir.write("upload.json", "{\"scene\": \"s.katana\"}");
    const std::string absent = m_dir.file("asset.json");
    const std::string big(3 * TextStream::k_default_block, 'x');
    const std::vector<zel_Katana::MemberText> members = {
        {"asset", {}, [&big](TextStream& out) { append_json_string(out.buffer(), big, false); }},
        {"count", "2", {}}};
    const auto written = [&](const std::string& path,
                             const std::vector<zel_Katana::MemberText>& with) {
        const std::string saved = read_text(path);
        m_files.write_json_member_texts(path, with);
        const std::string text = read_text(path);
        write_file_atomic(path, saved);
        return text;
    };
    const auto prepare_on_thread = [&](const std::string& path) {
        return std::async(std::launch::async,
                          [&] { return m_files.prepare_json_member_texts(path, members); })
            .get();
    };
    const auto entries = [this] {
        return std::distance(std::filesystem::directory_iterator(m_dir.path()), {});
    };

    // Built on the file as it is, and on a file not there yet ("{}").
    const std::string expected = written(file, members);
    zel_Katana::PreparedJobFile ahead = prepare_on_thread(file);
    ASSERT_TRUE(ahead.file.ready());
    EXPECT_EQ(read_text(file), "{\"scene\": \"s.katana\"}");
    m_files.write_json_member_texts(file, members, &ahead);
    EXPECT_EQ(read_text(file), expected);
    EXPECT_FALSE(ahead.file.ready());
    zel_Katana::PreparedJobFile for_absent = prepare_on_thread(absent);
    EXPECT_EQ(read_text(absent), "{}"); // made first, as the write makes it
    m_files.write_json_member_texts(absent, members, &for_absent);
    EXPECT_EQ(read_text(absent), "{\n    \"asset\": \"" + big + "\",\n    \"count\": 2\n}");
    EXPECT_EQ(entries(), 2);

    // The file changed after the text was written: its new member is kept.
    write_file_atomic(file, "{\"scene\": \"s.katana\"}");
    ahead = prepare_on_thread(file);
    m_files.write_json_info(file, "frames", "1-10");
    const std::string merged = written(file, members);
    m_files.write_json_member_texts(file, members, &ahead);
    EXPECT_EQ(read_text(file), merged);
    EXPECT_NE(merged.find("\"frames\": \"1-10\""), std::string::npos);
    EXPECT_EQ(entries(), 2);

    // A full disk when the text is put in place.
    write_file_atomic(file, "{\"scene\": \"s.katana\"}");
    ahead = prepare_on_thread(file);
    job_paths().unwritten_files.clear();
    set_write_failure_for_tests([&file](const std::string& path) { return path == file; });
    m_files.write_json_member_texts(file, members, &ahead);
    set_write_failure_for_tests({});
    EXPECT_EQ(read_text(file), "{\"scene\": \"s.katana\"}");
    EXPECT_EQ(job_paths().unwritten_files, std::vector<std::string>{file});
    EXPECT_EQ(entries(), 2);

    // Nothing is prepared over a file that does not parse, nor in a folder the write would
    // have to make, and a text never used is removed with its holder.
    const std::string bad = m_dir.write("tips.json", "{\"a\": ");
    EXPECT_FALSE(prepare_on_thread(bad).file.ready());
    EXPECT_FALSE(prepare_on_thread(m_dir.file("new/scene.json")).file.ready());
    EXPECT_FALSE(std::filesystem::exists(m_dir.file("new")));
    {
        const zel_Katana::PreparedJobFile unused = prepare_on_thread(file);
    }
    EXPECT_EQ(entries(), 3);
    EXPECT_NE(m_capture.finish().find("cannot write file " + file + ": No space left on device\n"),
              std::string::npos);
}

// A later file's text written ahead holds room: the file whose turn it is gets that room
// back and is written as it would have been in its turn; a write that fails anyway is
// reported once.
TEST_F(JobFilesTest, WriteThatDoesNotFitIsTriedAgainWithoutLaterTextsWrittenAhead)
{
    const std::string upload = m_dir.write("upload.json", "{}");
    const std::string asset = m_dir.write("asset.json", "{}");
    const std::vector<zel_Katana::MemberText> members = {{"asset", "[]", {}}};
    // The disk is full while upload.json's text waits beside it.
    const auto upload_text_waits = [this] {
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.path()))
            if (entry.path().filename().string().starts_with("upload.json.tmp."))
                return true;
        return false;
    };
    set_write_failure_for_tests(
        [&](const std::string& path) { return path == asset && upload_text_waits(); });
    zel_Katana::PreparedJobFile ahead;
    int calls = 0;
    const auto make_room = [&] {
        ++calls;
        const bool held = ahead.file.ready();
        ahead.file = FileAhead();
        return held;
    };
    job_paths().unwritten_files.clear();

    ahead = m_files.prepare_json_member_texts(upload, members);
    ASSERT_TRUE(ahead.file.ready());
    m_files.write_json_member_texts(asset, members, nullptr, make_room);
    EXPECT_EQ(read_text(asset), "{\n    \"asset\": []\n}");
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(upload_text_waits());

    // Without the room it held, the same write is not tried again.
    ahead = m_files.prepare_json_member_texts(upload, members);
    m_files.write_json_member_texts(asset, {{"asset", "[1]", {}}});
    EXPECT_EQ(read_text(asset), "{\n    \"asset\": []\n}");
    EXPECT_EQ(job_paths().unwritten_files, std::vector<std::string>{asset});

    // A disk that stays full: tried twice, reported once.
    set_write_failure_for_tests([&asset](const std::string& path) { return path == asset; });
    job_paths().unwritten_files.clear();
    calls = 0;
    m_files.write_json_member_texts(asset, {{"asset", "[2]", {}}}, nullptr, make_room);
    set_write_failure_for_tests({});
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(read_text(asset), "{\n    \"asset\": []\n}");
    EXPECT_EQ(job_paths().unwritten_files, std::vector<std::string>{asset});
    const std::string out = m_capture.finish();
    std::size_t failures = 0;
    for (std::size_t at = out.find("cannot write file " + asset); at != std::string::npos;
         at = out.find("cannot write file " + asset, at + 1))
        ++failures;
    EXPECT_EQ(failures, 2) << out; // once without the callback, once with it
}

TEST_F(JobFilesTest, ByteOrderMarkIsReadAndDroppedOnWrite)
{
    const std::string file = m_dir.write("task.json", "\xef\xbb\xbf{\"a\": 1}");
    EXPECT_EQ(m_files.open_json(file), Json({{"a", 1}}));
    m_files.write_json_info(file, "b", 2);
    EXPECT_EQ(read_text(file), "{\n    \"a\": 1,\n    \"b\": 2\n}");
}

TEST_F(JobFilesTest, UnparsableFileStaysUntouched)
{
    for (const std::string text : {"{\"a\": ", "[1, 2]", "null"}) {
        const std::string file = m_dir.write("bad.json", text);
        m_files.write_json_info(file, "b", 2);
        EXPECT_EQ(read_text(file), text);
    }
    const std::string out = m_capture.finish();
    EXPECT_NE(out.find("write info to"), std::string::npos);
    EXPECT_THROW(m_files.open_json(m_dir.write("cut.json", "{\"a\": ")), std::exception);
    EXPECT_THROW(m_files.open_json(m_dir.file("missing.json")), std::exception);
}

TEST_F(JobFilesTest, ClearJsonKeepsTaskAndSystemJson)
{
    m_dir.write("task.json", "{}");
    m_dir.write("system.json", "{}");
    m_dir.write("analyze_sucess");
    m_dir.write("tips.json", "{\"70000\": []}");
    m_dir.write("it's \"odd\" & rm -rf x;.json", "{}");
    m_dir.write("Task.json", "{}");
    clearJson();
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.path())) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"system.json", "task.json"}));
}

TEST_F(JobFilesTest, SystemJsonElsewhereDoesNotSpareSameName)
{
    const TempDir other;
    job_paths().system_json = other.write("system.json", "{}");
    m_dir.write("system.json", "{}");
    clearJson();
    EXPECT_FALSE(std::filesystem::exists(m_dir.file("system.json")));
    EXPECT_TRUE(std::filesystem::exists(other.file("system.json")));
}

TEST_F(JobFilesTest, SubFolderEndsProcessWith555)
{
    m_dir.write("sub/keep.txt", "x");
    try {
        clearJson();
        FAIL() << "clearJson returned";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.status(), 555);
    }
    EXPECT_EQ(m_capture.finish(),
              std::string(k_bang_line) + "\ncan`t delete " + m_dir.path() + "/sub\n");
    EXPECT_TRUE(std::filesystem::exists(m_dir.file("sub/keep.txt")));
}

TEST_F(JobFilesTest, FinishFlagGoesBeforeAnythingElse)
{
    // The flag of an earlier run is written first, so most listings give it late; folders
    // that cannot be removed end the clearing wherever they are listed.
    m_dir.write("task.json", "{}");
    m_dir.write("analyze_sucess");
    for (int i = 0; i < 20; ++i) {
        m_dir.write("sub" + std::to_string(i) + "/keep.txt", "x");
    }
    EXPECT_THROW(clearJson(), ProcessExit);
    EXPECT_FALSE(std::filesystem::exists(m_dir.file("analyze_sucess")));
    EXPECT_TRUE(std::filesystem::exists(m_dir.file("task.json")));
}

} // namespace
} // namespace script
