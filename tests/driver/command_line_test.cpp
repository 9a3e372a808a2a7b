#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace script {
namespace {

using testing::read_text;
using testing::ScopedEnv;
using testing::TempDir;

struct RunResult
{
    int status = -1;
    std::string out, err;
};

// Runs the built executable with the arguments (already quoted for the shell) in `dir`.
RunResult run_analyser(const TempDir& dir, const std::string& arguments)
{
    const std::string command = std::string("'") + ANALYSER_BIN_DIR + "/katana-analyse' " +
                                arguments + " >'" + dir.file("out.txt") + "' 2>'" +
                                dir.file("err.txt") + "'";
    const int raw = std::system(command.c_str());
    RunResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = read_text(dir.file("out.txt"));
    result.err = read_text(dir.file("err.txt"));
    return result;
}

class CommandLineTest : public ::testing::Test
{
protected:
    TempDir m_logs;
    TempDir m_job;
    // The host run mode comes from these; none set means script mode.
    ScopedEnv m_ui{"KATANA_UI_MODE", nullptr};
    ScopedEnv m_batch{"KATANA_BATCH_MODE", nullptr};
    ScopedEnv m_shell{"KATANA_SHELL_MODE", nullptr};
};

TEST_F(CommandLineTest, MissingSceneEndsRunWithoutFinishFlag)
{
    m_job.write("task.json", "{\"argument_info\": {}}");
    m_job.write("analyze_sucess");
    m_job.write("asset.json", "{}");
    m_job.write("tips.json", "{\"70006\": [\"scene not found AOV!\"]}");
    const RunResult run = run_analyser(m_logs, "/no/such.katana '" + m_job.file("task.json") +
                                                   "' '" + m_job.file("system.json") + "'");
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.err, "Error: can not found file:/no/such.katana\n");
    EXPECT_EQ(read_text(m_job.file("tips.json")),
              "{\n    \"70000\": [\n        \"/no/such.katana\"\n    ]\n}");
    EXPECT_FALSE(std::filesystem::exists(m_job.file("analyze_sucess")));
    EXPECT_FALSE(std::filesystem::exists(m_job.file("asset.json")));
    EXPECT_FALSE(std::filesystem::exists(m_job.file("upload.json")));
    EXPECT_EQ(read_text(m_job.file("task.json")), "{\"argument_info\": {}}");
    EXPECT_NE(run.out.find("no arnold Plugin!\nno usd Plugin!\n/no/such.katana\n" +
                           m_job.file("task.json") + "\n" + m_job.file("system.json") +
                           "\nkatana-analyse\n"),
              std::string::npos)
        << run.out;
}

TEST_F(CommandLineTest, UsageAndHelp)
{
    const RunResult too_few = run_analyser(m_logs, "a.katana task.json");
    EXPECT_NE(too_few.status, 0);
    EXPECT_NE(too_few.err.find("usage: katana-analyse SCENE TASK_JSON SYSTEM_JSON"),
              std::string::npos);

    const RunResult help = run_analyser(m_logs, "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: katana-analyse"), std::string::npos);
    EXPECT_EQ(help.err, "");
}

TEST_F(CommandLineTest, TaskPathWithoutFolderIsReported)
{
    const RunResult run = run_analyser(m_logs, "a.katana task.json system.json");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("Error: ", 0), 0u) << run.err;
}

} // namespace
} // namespace script
