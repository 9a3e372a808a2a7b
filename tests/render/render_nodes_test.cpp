#include "render/render_nodes.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "common/json_doc.h"
#include "driver/job_paths.h"
#include "driver/process_exit.h"
#include "host/standalone_host.h"
#include "tests/support/temp_dir.h"

namespace script {
namespace {

using testing::ConsoleCapture;
using testing::TempDir;
using testing::read_text;

Json root_node(Json variables = Json::object())
{
    return {{"name", "rootNode"},
            {"type", "Group"},
            {"parameters", {{"inTime", 1.0}, {"outTime", 24.0}, {"variables", variables}}}};
}

Json render_node(const std::string& name, Json outputs, Json parameters)
{
    return {{"name", name},
            {"type", "Render"},
            {"parent", "rootNode"},
            {"parameters", parameters},
            {"render_info", {{"outputs", outputs}}}};
}

Json output(const std::string& name, const std::string& file, const std::string& ext)
{
    return {{"name", name}, {"outputFile", file}, {"imageInfo", {{"fileExtension", ext}}}};
}

class RenderNodesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        job_paths() = JobPaths{};
        job_paths().json_path = job.path();
        job_paths().task_json = job.file("task.json");
        job_paths().tips_json = job.file("tips.json");
        job.write("task.json", R"({"software_config": {"cg_name": "Katana", "cg_version": "4.5",
            "plugins": {"KtoA": "4"}}, "argument_info": {"dependency_task": {"pre_task": [],
            "post_task": [{"id": 298}, {"id": 312}]}}})");
        job.write("tips.json", "{}");
    }

    void load(const Json& nodes)
    {
        host.load_document({{"header", {{"version", "4.5"}}}, {"nodes", nodes}}, "test scene");
    }

    Json task() const { return parse_json_text(read_text(job.file("task.json"))); }
    Json tips() const { return parse_json_text(read_text(job.file("tips.json"))); }

    TempDir job;
    host::StandaloneHost host;
};

TEST_F(RenderNodesTest, RecordsActiveNodesAndReportsBadOnes)
{
    const std::string out = job.file("render");
    load(Json::array({
        root_node({{"shot", {{"enable", 1.0}, {"value", "b"}, {"options", {"a", "b"}}}}}),
        render_node("Render1",
                    {output("primary", out + "/beauty.#.exr", "exr"),
                     output("deep", out + "/deep.#.exr", "deepexr"),
                     output("preview", "/var/Temp/p.#.png", "png")},
                    {{"lock", 1.0}, {"farmSettings", {{"TimeRange", "1-100"}}}}),
        [] {
            Json node = render_node("Bypassed", Json::array(), {{"lock", 1.0}});
            node["bypassed"] = true;
            return node;
        }(),
        // One-output lists are spelled out: compilers read a braced single value differently.
        render_node("NoLock", Json::array({output("primary", out + "/x.exr", "exr")}), Json::object()),
        render_node("AllTemp", Json::array({output("primary", "C:/Temp/x.exr", "exr")}), {{"lock", 1.0}}),
        render_node("NoFile",
                    Json::array({Json{{"name", "primary"}, {"imageInfo", {{"fileExtension", "exr"}}}}}),
                    {{"lock", 1.0}}),
    }));
    ConsoleCapture capture;
    zel_Katana_rendernodes step(host, job_paths().task_json);
    const std::string printed = capture.finish();

    const Json variables = {{"shot", {{"enable", "1.0"}, {"value", "b"}, {"options", {"a", "b"}}}}};
    const Json expected = {
        {"nodes", {"Render1", "NoLock", "AllTemp", "NoFile"}},
        {"rendernodes",
         {{"Render1",
           {{"image_format", {"exr", "png"}},
            {"renderable", "1"},
            {"aov", {{"primary", out + "/beauty.#.exr"}, {"deep", out + "/deep.#.exr"}}},
            {"frames", "1-100[1]"},
            {"denoise", "0"},
            {"Variables", variables}}},
          {"AllTemp",
           {{"image_format", {"exr"}},
            {"renderable", "1"},
            {"aov", Json::object()},
            {"frames", "1-24[1]"},
            {"denoise", "0"},
            {"Variables", variables}}},
          // Fails on the output without "outputFile": keeps what was set before.
          {"NoFile", {{"image_format", {"exr"}}, {"renderable", "1"}}}}}};
    EXPECT_EQ(task().at("scene_info").dump(2), expected.dump(2));
    EXPECT_EQ(tips().at("70003"), Json::array({"NoLock", "NoFile"}));
    EXPECT_TRUE(std::filesystem::is_directory(out)) << "output folders are created";
    EXPECT_NE(printed.find("Start analyse renderNode : Render1\n"), std::string::npos);
    EXPECT_NE(printed.find("the preview output is /var/Temp/p.#.png ,it is tmp ,dont copy\n"),
              std::string::npos);
    EXPECT_NE(printed.find("[ERROR!!!] : Bad renderNode: NoLock\n"), std::string::npos);
    // The client offered 298 (denoise with KtoA) and 312 (video_merge): both are supported.
    const Json post = task().at("dependency_task").at("post_task");
    ASSERT_EQ(post.size(), 2u);
    EXPECT_EQ(post[0].at("id"), 298);
    EXPECT_EQ(post[1].at("id"), 312);
}

TEST_F(RenderNodesTest, GraphStateVariableOptionsComeFromTheLastChild)
{
    load(Json::array({root_node({
        {"ordered", {{"enable", 0.0}, {"value", "b"}, {"options", {"a", "b"}}}},
        {"valueLast", {{"options", {"a", "b"}}, {"value", "b"}}},
        {"emptyValue", {{"value", ""}, {"options", {"x", ""}}}},
        {"bare", Json::object()},
    })}));
    ConsoleCapture capture;
    // Without render nodes the step writes nothing; its queries still answer.
    zel_Katana_rendernodes step(host, job_paths().task_json);
    const Json gsv = step.get_all_GSV();
    EXPECT_EQ(gsv.at("ordered").dump(), R"({"enable":"0.0","value":"b","options":["a","b"]})");
    EXPECT_EQ(gsv.at("valueLast").dump(), R"({"enable":"1.0","value":"b","options":[]})");
    EXPECT_EQ(gsv.at("emptyValue").dump(), R"({"enable":"1.0","value":"","options":["","x"]})");
    EXPECT_EQ(gsv.at("bare").dump(), R"({"enable":"1.0","value":"","options":[]})");
}

TEST_F(RenderNodesTest, SceneWithoutRenderNodesLeavesJobFilesUntouched)
{
    load(Json::array({root_node()}));
    const std::string before = read_text(job.file("task.json"));
    ConsoleCapture capture;
    zel_Katana_rendernodes step(host, job_paths().task_json);
    EXPECT_EQ(read_text(job.file("task.json")), before);
    EXPECT_EQ(read_text(job.file("tips.json")), "{}");
}

TEST_F(RenderNodesTest, FailureOutsideTheNodeGuardEndsTheRun)
{
    Json node = render_node("Render1", Json::array(), {{"lock", 1.0}});
    node.erase("parent");
    load(Json::array({node}));  // no rootNode: the variables cannot be read
    ConsoleCapture capture;
    try {
        zel_Katana_rendernodes step(host, job_paths().task_json);
        FAIL() << "expected the run to end";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.status(), 1);
        EXPECT_EQ(exit.message().rfind("[ERROR] failed: ", 0), 0u);
        EXPECT_NE(exit.message().find("  kanana_rendernodes"), std::string::npos);
    }
}

}  // namespace
}  // namespace script
