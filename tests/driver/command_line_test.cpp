#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/mount.h>

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
using testing::ScopedEnv;
using testing::TempDir;

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
    // The run starts with the job paths: no optional scripting module is looked for.
    EXPECT_EQ(run.out.find("/no/such.katana\n" +
                           m_job.file("task.json") + "\n" + m_job.file("system.json") +
                           "\nkatana-analyse\n"),
              0u)
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

// A whole run over a scene document with render nodes: one failing inside the per-node
// guard, one bypassed, one whose outputs are all temporary.
TEST_F(CommandLineTest, RenderNodesAreRecordedAndTheRunFinishes)
{
    const std::string out = m_job.file("render");
    m_job.write("task.json", R"({"software_config": {"cg_name": "Katana", "cg_version": "4.5",
        "plugins": {}}, "argument_info": {"dependency_task": {"pre_task": [],
        "post_task": [{"id": 312}]}}})");
    const std::string scene = m_logs.write("scene.json", R"({
      "header": {"version": "4.5"},
      "nodes": [
        {"name": "rootNode", "type": "Group",
         "parameters": {"inTime": 1.0, "outTime": 10.0, "variables": {}}},
        {"name": "Good", "type": "Render", "parent": "rootNode",
         "parameters": {"lock": 1.0, "farmSettings": {"TimeRange": "1-5"}},
         "render_info": {"outputs": [{"name": "primary", "outputFile": ")" + out +
                                                                 R"(/a.#.exr",
                                      "imageInfo": {"fileExtension": "exr"}}]}},
        {"name": "Off", "type": "Render", "parent": "rootNode", "bypassed": true},
        {"name": "Broken", "type": "Render", "parent": "rootNode",
         "parameters": {"lock": 1.0}, "render_info": {"error": "no camera"}},
        {"name": "Temporary", "type": "Render", "parent": "rootNode",
         "parameters": {"lock": 1.0},
         "render_info": {"outputs": [{"name": "primary", "outputFile": "/var/Temp/t.exr",
                                      "imageInfo": {"fileExtension": "exr"}}]}}
      ]})");
    const RunResult run = run_analyser(m_logs, "'" + scene + "' '" + m_job.file("task.json") +
                                                   "' '" + m_job.file("system.json") + "'");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::filesystem::exists(m_job.file("analyze_sucess")));
    EXPECT_EQ(read_text(m_job.file("tips.json")),
              "{\n    \"70003\": [\n        \"Broken\"\n    ],\n"
              "    \"70006\": [\n        \"scene not found AOV!\"\n    ]\n}");
    const std::string task = read_text(m_job.file("task.json"));
    EXPECT_NE(task.find("\"nodes\": [\n            \"Good\",\n            \"Broken\",\n"
                        "            \"Temporary\"\n        ]"),
              std::string::npos)
        << task;
    EXPECT_NE(task.find("\"frames\": \"1-10[1]\""), std::string::npos) << task;
    EXPECT_NE(task.find("\"dependency_task\": {\n        \"pre_task\": [],\n"
                        "        \"post_task\": [\n            {\n                \"id\": 312,"),
              std::string::npos)
        << task;
}

TEST_F(CommandLineTest, RenderFailureOutsideTheNodeGuardEndsTheRun)
{
    m_job.write("task.json", "{}");
    const std::string scene = m_logs.write(
        "scene.json", R"({"nodes": [{"name": "Render1", "type": "Render"}]})");
    const RunResult run = run_analyser(m_logs, "'" + scene + "' '" + m_job.file("task.json") +
                                                   "' '" + m_job.file("system.json") + "'");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("[ERROR] failed: katana-analyse  kanana_rendernodes\n"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(std::filesystem::exists(m_job.file("analyze_sucess")));
}

// The bundled example: found, missing and uploaded files of a small real texture tree.
TEST_F(CommandLineTest, ExampleSceneYieldsFoundMissingAndUploadedFiles)
{
    const std::string top = ANALYSER_SOURCE_DIR;
    m_job.write("task.json", read_text(top + "/examples/job/task.json"));
    const RunResult run = run_analyser(
        m_logs, "'" + top + "/examples/scene.json' '" + m_job.file("task.json") + "' '" +
                    m_job.file("system.json") + "'",
        "cd '" + top + "' && KATANA_EXAMPLE_ROOT='" + top + "/examples' REDSHIFT_HOME='" +
            ANALYSER_TEST_TOOLS_DIR + "' ");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::filesystem::exists(m_job.file("analyze_sucess")));

    const auto asset = nlohmann::ordered_json::parse(read_text(m_job.file("asset.json")));
    const auto has = [&](const char* list, const std::string& line) {
        for (const auto& item : asset.at(list))
            if (item.get<std::string>() == line)
                return true;
        return false;
    };
    EXPECT_TRUE(has("missing", "/rootNode/Read_rust.file **** examples/assets/tex/rust.exr"));
    EXPECT_TRUE(has("asset", "/rootNode/Read_brick.file ---> examples/assets/tex/brick.1002.tx"));
    EXPECT_TRUE(has("asset", "/rootNode/Read_smoke.file ---> " + top + "/examples/assets/seq/smoke.0003.exr"));
    EXPECT_TRUE(has("asset", "/rootNode/Alembic_char.abcAsset ---> " + top + "/examples/assets/geo/char.abc"));
    EXPECT_TRUE(has("asset", "/rootNode/Read_grid_copy.file ---> examples/assets/tex/grid.tx"));
    EXPECT_TRUE(has("asset", "/scene/world/lights/domematerial.RedshiftLightParams ---> examples/assets/tex/sky.tx"));
    // The inner files of the containers, under the label of the reference to the container.
    EXPECT_TRUE(has("asset", "/rootNode/Yeti_groom.args.filename.value ---> examples/assets/tex/fur_density.tif"));
    EXPECT_TRUE(has("missing", "/rootNode/Yeti_groom.args.filename.value **** examples/assets/tex/fur_mask_missing.tif"));
    EXPECT_TRUE(has("asset", "/rootNode/Proxy_rock.args.filename.value ---> examples/assets/tex/pebble.tx"));
    EXPECT_TRUE(has("asset", "/rootNode/Proxy_rock.args.filename.value ---> examples/assets/tex/rock_diffuse.tx"));
    EXPECT_TRUE(has("asset", "/rootNode/OCIO_show.config ---> examples/assets/ocio/luts/filmic/look.spi3d"));
    EXPECT_TRUE(has("asset", "/rootNode/Look_char.args.lookfile.asset.value ---> examples/assets/look/../geo/char.abc"));
    EXPECT_TRUE(has("missing", "/rootNode/Look_char.args.lookfile.asset.value **** examples/assets/look/eyes_missing.abc"));
    EXPECT_TRUE(has("asset", "/scene/world/geo/char.customProperties.klf ---> examples/assets/tex/skin.1002.tx"));
    EXPECT_TRUE(has("asset", "/scene/world/geo/char.customProperties.klf ---> examples/assets/tex/skin_color.exr"));
    const auto tips = nlohmann::ordered_json::parse(read_text(m_job.file("tips.json")));
    EXPECT_EQ(tips.at("70004"), asset.at("missing"));

    const auto upload = nlohmann::ordered_json::parse(read_text(m_job.file("upload.json")));
    const auto& list = upload.at("asset");
    EXPECT_EQ(list.back().at("local"), top + "/examples/scene.json");
    std::size_t grid = 0;
    for (const auto& entry : list)
        grid += entry.at("local") == top + "/examples/assets/tex/grid.tx";
    EXPECT_EQ(grid, 1u);
    const auto uploaded = [&](const std::string& relative) {
        for (const auto& entry : list)
            if (entry.at("local") == top + "/" + relative)
                return true;
        return false;
    };
    for (const char* inner : {"examples/assets/tex/fur_density.tif", "examples/assets/tex/rock_diffuse.tx",
                              "examples/assets/tex/pebble.tx", "examples/assets/ocio/luts/srgb.spi1d",
                              "examples/assets/geo/char.abc", "examples/assets/tex/skin_color.exr"})
        EXPECT_TRUE(uploaded(inner)) << inner;
    EXPECT_FALSE(uploaded("examples/assets/tex/rock_moss.exr"));  // listed by the proxy, missing
    EXPECT_TRUE(std::filesystem::exists(m_job.file("scene.json")));
}

// Status 555 is kept as the program's status; a Linux farm sees it modulo 256.
TEST_F(CommandLineTest, UnremovableJobEntryEndsWith555SeenAs43)
{
    m_job.write("task.json", "{}");
    m_job.write("old/keep.txt", "x");
    const RunResult run = run_analyser(m_logs, "/no/such.katana '" + m_job.file("task.json") +
                                                   "' '" + m_job.file("system.json") + "'");
    EXPECT_EQ(run.status, 555 % 256);
    EXPECT_NE(run.out.find("can`t delete " + m_job.file("old") + "\n"), std::string::npos)
        << run.out;
}

// Outside script mode the rule file is the one beside the program, whatever folder the run
// starts from: a stray rule file there (here one that would end the run) is not read.
TEST_F(CommandLineTest, RuleFileBesideTheProgramInEveryMode)
{
    const TempDir elsewhere;
    elsewhere.write("filter.txt", "{OnlyANodeType}\n");
    const std::string texture = elsewhere.write("tex/a.exr", "x");
    const std::string scene = testing::SceneBuilder()
                                  .node("rootNode", "Group")
                                  .param("inTime", 1.0)
                                  .param("outTime", 10.0)
                                  .param("variables", nlohmann::ordered_json::object())
                                  .node("Read1", "ImageRead")
                                  .parent("rootNode")
                                  .param("file", texture)
                                  .write(m_logs.file("scene.json"));
    for (const char* mode : {"KATANA_BATCH_MODE", "KATANA_UI_MODE", "KATANA_SHELL_MODE"}) {
        m_job.write("task.json", R"({"scene_info": {"rendernodes": {}}})");
        const RunResult run = run_analyser(m_logs,
                                           "'" + scene + "' '" + m_job.file("task.json") + "' '" +
                                               m_job.file("system.json") + "'",
                                           "cd '" + elsewhere.path() + "' && " + mode + "=1 ");
        EXPECT_EQ(run.status, 0) << mode << ": " << run.err;
        EXPECT_TRUE(std::filesystem::exists(m_job.file("analyze_sucess"))) << mode;
        EXPECT_NE(read_text(m_job.file("asset.json")).find("/rootNode/Read1.file ---> " + texture),
                  std::string::npos)
            << mode;
    }
}

// A job folder on a tiny file system: the small job files fit, the asset report and the
// upload list of a few hundred textures do not.
TEST_F(CommandLineTest, FullDiskEndsTheRunWithStatusOneAndNoFinishFlag)
{
    const TempDir disk;
    if (::mount("tmpfs", disk.path().c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "a tmpfs cannot be mounted here: " << std::strerror(errno);
    }
    struct Unmount
    {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } const unmount{disk.path()};

    const std::string job = disk.path() + "/job";
    std::filesystem::create_directory(job);
    testing::TempDir tex;
    const std::string name(120, 't');
    for (int tile = 1001; tile < 1401; ++tile) {
        tex.write(name + "." + std::to_string(tile) + ".exr");
    }
    std::ofstream(job + "/task.json") << "{}";
    const std::string scene = testing::SceneBuilder()
                                  .node("rootNode", "Group")
                                  .param("inTime", 1.0)
                                  .param("outTime", 10.0)
                                  .param("variables", nlohmann::ordered_json::object())
                                  .node("Render1", "Render")
                                  .parent("rootNode")
                                  .param("lock", 1.0)
                                  .param("farmSettings.TimeRange", "1-5")
                                  .output("primary", "/out/a.#.exr", "exr")
                                  .node("Read1", "ImageRead")
                                  .parent("rootNode")
                                  .param("file", tex.file(name + ".<UDIM>.exr"))
                                  .write(m_logs.file("scene.json"));
    const RunResult run =
        run_analyser(m_logs, "'" + scene + "' '" + job + "/task.json' '" + job + "/system.json'");
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_FALSE(std::filesystem::exists(job + "/analyze_sucess"));
    EXPECT_NE(
        run.err.find("[ERROR] these job files could not be written, the analysis is incomplete:\n"
                     "    " +
                     job + "/asset.json\n"),
        std::string::npos)
        << run.err;
    EXPECT_NE(run.out.find("No space left on device"), std::string::npos);
    // What fitted was written: the render node record and the diagnostics.
    EXPECT_NE(read_text(job + "/task.json").find("\"scene_info\""), std::string::npos);
    EXPECT_EQ(read_text(job + "/tips.json"), "{}");
}

} // namespace
} // namespace script
