#include "driver/driver.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "common/console.h"
#include "common/errors.h"
#include "driver/job_paths.h"
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

} // namespace
} // namespace script
