#include "driver/job_paths.h"

#include <string>

#include <gtest/gtest.h>

#include "common/errors.h"
#include "common/platform.h"

namespace script {
namespace {

class JobPathsTest : public ::testing::Test
{
protected:
    void TearDown() override { platform::set_current_os("linux"); }
};

TEST_F(JobPathsTest, CommandLineKeepsSeparatorsAsGiven)
{
    platform::set_current_os("windows");
    const JobPaths paths = command_line_job_paths("D:/s.katana", "D:\\jobs\\42\\task.json",
                                                  "D:\\jobs\\42\\system.json");
    EXPECT_EQ(paths.tips_json, "D:\\jobs\\42/tips.json");
    EXPECT_EQ(paths.json_path, "D:\\jobs\\42");
    EXPECT_EQ(paths.upload_json, "D:\\jobs\\42/upload.json");
    EXPECT_EQ(finish_flag_path(paths.task_json), "D:\\jobs\\42\\analyze_sucess");
}

TEST_F(JobPathsTest, CommandLineOnLinuxOnlySlashIsADirectorySeparator)
{
    const JobPaths paths = command_line_job_paths("s", "/jobs/a\\b/c\\task.json", "x");
    EXPECT_EQ(paths.tips_json, "/jobs/a\\b/c/tips.json");
    EXPECT_EQ(paths.json_path, "/jobs/a\\b");
    EXPECT_EQ(paths.upload_json, "/jobs/a\\b/upload.json");
    EXPECT_EQ(finish_flag_path(paths.task_json), "/jobs/a\\b/analyze_sucess");
    EXPECT_THROW(command_line_job_paths("s", "task.json", "x"), Error);
}

TEST_F(JobPathsTest, CallableEntryPutsJobFilesInTheFolder)
{
    const JobPaths linux_paths = callable_job_paths("a.katana", "/jobs/1234");
    EXPECT_EQ(linux_paths.task_json, "/jobs/1234/task.json");
    EXPECT_EQ(linux_paths.system_json, "/jobs/1234/system.json");
    EXPECT_EQ(linux_paths.tips_json, "/jobs/1234/tips.json");
    platform::set_current_os("windows");
    const JobPaths windows_paths = callable_job_paths("a.katana", "1234");
    EXPECT_EQ(windows_paths.json_path, "C:/RovevoDodi/Project/1234");
    EXPECT_EQ(windows_paths.upload_json, "C:/RovevoDodi/Project/1234/upload.json");
}

} // namespace
} // namespace script
