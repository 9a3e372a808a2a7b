// Runs of the executable on scenes whose nodes name Arnold scene descriptions.

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/run_analyser.h"
#include "tests/support/scene_builder.h"
#include "tests/support/temp_dir.h"

namespace script {
namespace {

using testing::read_text;
using testing::run_analyser;
using testing::RunResult;
using testing::SceneBuilder;
using testing::ScopedEnv;
using testing::TempDir;
using Json = nlohmann::ordered_json;
using Lines = std::vector<std::string>;

class ArnoldRunTest : public ::testing::Test
{
protected:
    Json job_file(const std::string& name) const
    {
        return Json::parse(read_text(m_job.file(name)));
    }

    static bool has(const Json& list, const std::string& line)
    {
        for (const Json& item : list) {
            if (item == line) {
                return true;
            }
        }
        return false;
    }

    static Lines uploaded(const Json& upload)
    {
        Lines locals;
        for (const Json& entry : upload.at("asset")) {
            locals.push_back(entry.at("local").get<std::string>());
        }
        return locals;
    }

    TempDir m_logs;
    TempDir m_job;
    TempDir m_files;
    ScopedEnv m_ui{"KATANA_UI_MODE", nullptr};
    ScopedEnv m_batch{"KATANA_BATCH_MODE", nullptr};
    ScopedEnv m_shell{"KATANA_SHELL_MODE", nullptr};
};

TEST_F(ArnoldRunTest, StandInContentsAreFiledUnderTheStandInPath)
{
    const std::string standin = m_files.write(
        "set/set.ass", "options\n{\n texture_searchpath \"maps\"\n}\n"
                       "driver_exr\n{\n name out\n filename \"render/beauty.exr\"\n}\n"
                       "image\n{\n name wood\n filename \"wood.<udim>.tx\"\n}\n"
                       "image\n{\n name gone\n filename \"gone.tx\"\n}\n"
                       "procedural\n{\n name tree\n filename \"tree.ass\"\n}\n"
                       "procedural\n{\n name bush\n filename \"bush.ass\"\n}\n");
    m_files.write("set/maps/wood.1001.tx");
    m_files.write("set/tree.ass", "image\n{\n filename \"bark.exr\"\n}\n");
    m_files.write("set/bark.exr");
    m_files.write("set/bark.tx");
    m_files.write("set/render/beauty.exr");
    m_job.write("task.json", "{}");
    SceneBuilder scene;
    scene.node("rootNode", "Group")
        .param("inTime", 1.0)
        .param("outTime", 1.0)
        .param("variables", Json::object())
        .node("Standin", "ArnoldStandinCreate")
        .parent("rootNode")
        .param("filename", standin)
        .node("Render1", "Render")
        .parent("rootNode")
        .param("lock", 1.0)
        .param("farmSettings.TimeRange", "1-1")
        .output("primary", m_files.file("out/beauty.#.exr"), "exr");
    const std::string document = scene.write(m_logs.file("scene.json"));

    const RunResult run = run_analyser(m_logs, "'" + document + "' '" + m_job.file("task.json") +
                                                   "' '" + m_job.file("system.json") + "'");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find("no arnold Plugin!"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(m_job.file("analyze_sucess")));

    const std::string label = "/rootNode/Standin.filename";
    const Json asset = job_file("asset.json");
    for (const std::string& line :
         {standin + " ---> " + m_files.file("set/maps/wood.1001.tx"),
          standin + " ---> " + m_files.file("set/bark.exr"),
          standin + " ---> " + m_files.file("set/bark.tx"), label + " ---> " + standin,
          label + " ---> " + m_files.file("set/tree.ass")}) {
        EXPECT_TRUE(has(asset.at("asset"), line)) << line << "\n" << asset.dump(1);
    }
    const Lines missing = {standin + " **** " + m_files.file("set/gone.tx"),
                           label + " **** " + m_files.file("set/bush.ass")};
    EXPECT_EQ(asset.at("missing"), Json(missing));
    EXPECT_EQ(job_file("tips.json").at("70004"), Json(missing));

    const Lines locals = uploaded(job_file("upload.json"));
    for (const char* inner :
         {"set/maps/wood.1001.tx", "set/bark.exr", "set/bark.tx", "set/tree.ass", "set/set.ass"}) {
        EXPECT_NE(std::find(locals.begin(), locals.end(), m_files.file(inner)), locals.end())
            << inner;
    }
    for (const char* absent : {"set/render/beauty.exr", "set/gone.tx", "set/bush.ass"}) {
        EXPECT_EQ(std::find(locals.begin(), locals.end(), m_files.file(absent)), locals.end())
            << absent;
    }
    EXPECT_EQ(locals.back(), document);
}

// The bundled example's stand-in: its files join the example's other results.
TEST_F(ArnoldRunTest, ExampleStandIn)
{
    const std::string top = ANALYSER_SOURCE_DIR;
    m_job.write("task.json", read_text(top + "/examples/job/task.json"));
    const RunResult run =
        run_analyser(m_logs,
                     "'" + top + "/examples/scene.json' '" + m_job.file("task.json") + "' '" +
                         m_job.file("system.json") + "'",
                     "cd '" + top + "' && KATANA_EXAMPLE_ROOT='" + top +
                         "/examples' REDSHIFT_HOME='" + ANALYSER_TEST_TOOLS_DIR + "' ");
    ASSERT_EQ(run.status, 0) << run.err;
    const Json asset = job_file("asset.json");
    const std::string set = "examples/assets/ass/set.ass";
    for (const std::string& line :
         {set + " ---> examples/assets/ass/maps/ground.1001.tx",
          set + " ---> examples/assets/ass/spot.ies",
          set + " ---> examples/assets/ass/maps/rock_bump.tx",
          std::string("/rootNode/Standin_set.filename ---> examples/assets/ass/rocks.ass")}) {
        EXPECT_TRUE(has(asset.at("asset"), line)) << line;
    }
    EXPECT_TRUE(has(asset.at("missing"), set + " **** examples/assets/ass/maps/moss_missing.tx"));
    EXPECT_TRUE(has(job_file("tips.json").at("70004"),
                    set + " **** examples/assets/ass/maps/moss_missing.tx"));
    const Lines locals = uploaded(job_file("upload.json"));
    EXPECT_NE(
        std::find(locals.begin(), locals.end(), top + "/examples/assets/ass/maps/ground.1002.tx"),
        locals.end());
    EXPECT_EQ(
        std::find(locals.begin(), locals.end(), top + "/examples/assets/ass/renders/beauty.exr"),
        locals.end());
}

} // namespace
} // namespace script
