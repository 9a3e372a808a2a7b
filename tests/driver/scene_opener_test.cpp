#include "host/scene_opener.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/errors.h"
#include "common/platform.h"
#include "driver/job_paths.h"
#include "driver/process_exit.h"
#include "driver/run_mode.h"
#include "tests/driver/scene_opening_host.h"
#include "tests/support/temp_dir.h"

namespace script {
namespace {

using testing::ConsoleCapture;
using testing::read_text;
using testing::SceneOpeningHost;
using testing::ScopedEnv;
using testing::TempDir;

TEST(RunMode, FirstTruthyFlagWinsInFixedOrder)
{
    struct Case
    {
        std::map<std::string, Json> config;
        std::string mode, printed;
    };
    const std::vector<Case> cases = {
        {{}, "script", ""},
        {{{"KATANA_SCRIPT_MODE", true}}, "script", "In SCRIPT mode.\n"},
        {{{"KATANA_UI_MODE", 1}, {"KATANA_BATCH_MODE", 1}}, "ui", "In UI mode.\n"},
        {{{"KATANA_UI_MODE", 0}, {"KATANA_BATCH_MODE", "1"}}, "batch", "In BATCH mode.\n"},
        {{{"KATANA_UI_MODE", ""}, {"KATANA_SHELL_MODE", "yes"}, {"KATANA_SCRIPT_MODE", 1}},
         "shell",
         "In SHELL mode.\n"},
        {{{"KATANA_BATCH_MODE", false}}, "script", ""},
    };
    for (const Case& c : cases) {
        SceneOpeningHost host;
        host.config = c.config;
        ConsoleCapture capture;
        EXPECT_EQ(get_katana_run_model(host), c.mode) << c.printed;
        EXPECT_EQ(capture.finish(), c.printed);
    }
}

class SceneOpenerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_saved = job_paths();
        job_paths() = callable_job_paths(m_dir.write("shot.katana", "<katana/>"), m_dir.path());
    }
    void TearDown() override
    {
        job_paths() = m_saved;
        platform::set_current_os("linux");
    }
    std::string tips() const { return read_text(job_paths().tips_json); }

    TempDir m_dir;
    SceneOpeningHost m_host;
    ConsoleCapture m_capture;

private:
    JobPaths m_saved;
};

TEST_F(SceneOpenerTest, MissingSceneIsRecordedAndEndsRun)
{
    job_paths().katana_scene = m_dir.file("gone.katana");
    try {
        zel_Katana_openScene opener(m_host);
        FAIL() << "the opener returned";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.status(), 1);
        EXPECT_EQ(exit.message(), "Error: can not found file:" + m_dir.file("gone.katana"));
    }
    EXPECT_EQ(tips(),
              "{\n    \"70000\": [\n        \"" + m_dir.file("gone.katana") + "\"\n    ]\n}");
    EXPECT_FALSE(std::filesystem::exists(job_paths().upload_json));
    EXPECT_TRUE(m_host.loaded.empty());
}

TEST_F(SceneOpenerTest, LoadsSceneAfterRecordingItForUpload)
{
    const std::string scene = job_paths().katana_scene;
    zel_Katana_openScene opener(m_host);
    EXPECT_EQ(m_host.loaded, std::vector<std::string>{scene});
    EXPECT_EQ(zel_Katana().open_json(job_paths().upload_json),
              Json::parse("{\"scene\": {\"hash\": \"test\", \"local\": \"" + scene +
                          "\", \"server\": \"" + scene + "\"}}"));
    EXPECT_FALSE(std::filesystem::exists(job_paths().tips_json));
}

TEST_F(SceneOpenerTest, RefusedLoadIsRecordedAndEndsRun)
{
    const std::string scene = job_paths().katana_scene;
    m_host.refuse_load = true;
    try {
        zel_Katana_openScene opener(m_host);
        FAIL() << "the opener returned";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.status(), 1);
        EXPECT_EQ(exit.message(), "Error: file open failed:" + scene);
    }
    EXPECT_EQ(zel_Katana().open_json(job_paths().tips_json),
              Json::parse("{\"70000\": [\"can not open this file : " + scene + "\"]}"));
    EXPECT_TRUE(std::filesystem::exists(job_paths().upload_json));
}

TEST_F(SceneOpenerTest, VersionMismatchOnWindowsIsOnlyAWarning)
{
    platform::set_current_os("windows");
    const ScopedEnv version("KATANA_VERSION", "4.5v2");
    zel_Katana_openScene opener(m_host);
    EXPECT_EQ(m_host.loaded.size(), 1u);
    EXPECT_EQ(zel_Katana().open_json(job_paths().tips_json),
              Json::parse("{\"70001\": [\"file version: 4.0v1 ,software version: 4.5v2\"]}"));
    EXPECT_NE(m_capture.finish().find("\n   Warning!!!!! :version problem, file version: 4.0v1 "
                                      ",software version:  4.5v2\n"),
              std::string::npos);
}

TEST_F(SceneOpenerTest, SameVersionOnWindowsAndAnyVersionOnLinuxRecordNothing)
{
    {
        platform::set_current_os("windows");
        const ScopedEnv version("KATANA_VERSION", "4.0v1");
        zel_Katana_openScene opener(m_host);
    }
    platform::set_current_os("linux");
    const ScopedEnv version("KATANA_VERSION", "9.9v9");
    zel_Katana_openScene opener(m_host);
    EXPECT_EQ(m_host.loaded.size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(job_paths().tips_json));
}

} // namespace
} // namespace script
