#include "driver/driver.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "common/console.h"
#include "common/errors.h"
#include "common/json_doc.h"
#include "driver/job_paths.h"
#include "driver/process_exit.h"
#include "tests/driver/scene_opening_host.h"
#include "tests/support/temp_dir.h"

namespace script {
namespace {

using testing::ConsoleCapture;
using testing::read_text;
using testing::SceneOpeningHost;
using testing::TempDir;

// The host already holds the scene (batch mode), so the run goes straight to the read-back
// of task.json.
class RunFlowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_saved = job_paths();
        m_host.config["KATANA_BATCH_MODE"] = true;
    }
    void TearDown() override { job_paths() = m_saved; }

    bool finished() const { return std::filesystem::exists(m_job.file("analyze_sucess")); }

    TempDir m_job;
    SceneOpeningHost m_host;
    ConsoleCapture m_capture;

private:
    JobPaths m_saved;
};

TEST_F(RunFlowTest, RecordWithoutOutputsIsRecordedAndRunFinishes)
{
    m_job.write("task.json", R"({"scene_info": {"rendernodes": {
        "good": {"aov": {"beauty": "/out/b.####.exr"}},
        "none": {"aov": {}},
        "null": {"aov": null},
        "absent": {}}}})");
    m_job.write("upload.json", "{}");
    main(m_host, "/shots/a.katana", m_job.path());
    EXPECT_TRUE(finished());
    EXPECT_EQ(read_text(m_job.file("analyze_sucess")), "");
    EXPECT_EQ(read_text(m_job.file("tips.json")),
              "{\n    \"70006\": [\n        \"scene not found AOV!\"\n    ]\n}");
    // The stale upload list is gone; the asset step wrote a new one with the scene alone.
    EXPECT_EQ(read_text(m_job.file("upload.json")),
              "{\n    \"asset\": [\n        {\n            \"local\": \"/shots/a.katana\",\n"
              "            \"server\": \"/shots/a.katana\"\n        }\n    ]\n}");
    EXPECT_TRUE(m_host.loaded.empty());
    const std::string out = m_capture.finish();
    EXPECT_NE(out.find("In BATCH mode.\n"), std::string::npos);
    EXPECT_NE(out.find(std::string(k_bang_line) + "\nscene not found AOV!\n"), std::string::npos);
}

TEST_F(RunFlowTest, AllOutputsPresentOrNoRenderNodesLeaveTipsEmpty)
{
    for (const std::string rendernodes : {R"({"a": {"aov": {"x": "y"}}})", "{}"}) {
        m_job.write("task.json", R"({"scene_info": {"rendernodes": )" + rendernodes + "}}");
        main(m_host, "/shots/a.katana", m_job.path());
        EXPECT_TRUE(finished()) << rendernodes;
        EXPECT_EQ(read_text(m_job.file("tips.json")), "{}") << rendernodes;
    }
}

TEST_F(RunFlowTest, TaskWithoutSceneInfoEndsRunWithoutFinishFlag)
{
    for (const std::string task : {R"({"argument_info": {}})", R"({"scene_info": {}})"}) {
        m_job.write("task.json", task);
        EXPECT_THROW(main(m_host, "/shots/a.katana", m_job.path()), Error) << task;
        EXPECT_FALSE(finished()) << task;
    }
    std::filesystem::remove(m_job.file("task.json"));
    EXPECT_THROW(main(m_host, "/shots/a.katana", m_job.path()), Error);
    EXPECT_FALSE(finished());
}

TEST_F(RunFlowTest, FailedJobFileWriteEndsRunWithoutFinishFlag)
{
    m_job.write("task.json", R"({"scene_info": {"rendernodes": {"a": {"aov": {"x": "y"}}}}})");
    // The empty asset file still fits; the merge into it does not, as on a full disk.
    const std::string asset_json = m_job.file("asset.json");
    set_write_failure_for_tests([&](const std::string& path) {
        return path == asset_json && std::filesystem::exists(path);
    });
    try {
        main(m_host, "/shots/a.katana", m_job.path());
        ADD_FAILURE() << "the run finished";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.status(), 1);
        EXPECT_EQ(exit.message(), "[ERROR] these job files could not be written, the analysis is "
                                  "incomplete:\n    " +
                                      asset_json);
    }
    set_write_failure_for_tests({});
    EXPECT_FALSE(finished());
    // The other job files were still written after the failure.
    EXPECT_EQ(read_text(asset_json), "{}");
    EXPECT_NE(read_text(m_job.file("upload.json")).find("/shots/a.katana"), std::string::npos);
    const std::string out = m_capture.finish();
    EXPECT_NE(out.find("cannot write file " + asset_json + ": No space left on device\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("write info to " + m_job.file("upload.json")), std::string::npos);
}

TEST_F(RunFlowTest, FolderInPlaceOfTaskJsonEndsRunBeforeAnyStep)
{
    m_job.write("task.json/inner.json", "{}");
    m_job.write("analyze_sucess");
    try {
        main(m_host, "/shots/a.katana", m_job.path());
        ADD_FAILURE() << "the run went on";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find(m_job.file("task.json") + ": it is a folder"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_FALSE(finished());
    EXPECT_FALSE(std::filesystem::exists(m_job.file("upload.json")));
    EXPECT_EQ(m_capture.finish().find("In BATCH mode."), std::string::npos);
}

TEST_F(RunFlowTest, DeeplyNestedTaskJsonIsRefusedNamingIt)
{
    m_job.write("task.json", R"({"argument_info": )" + std::string(100000, '[') +
                                 std::string(100000, ']') + "}");
    try {
        main(m_host, "/shots/a.katana", m_job.path());
        ADD_FAILURE() << "the run finished";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()),
                  m_job.file("task.json") + ": arrays and objects nest deeper than 1000 levels");
    }
    EXPECT_FALSE(finished());
}

} // namespace
} // namespace script
