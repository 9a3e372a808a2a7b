// Whole runs of the executable on scenes whose procedural names an XGen collection.

#include <algorithm>
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
using Strings = std::vector<std::string>;

constexpr const char* k_label = "/rootNode/Hair.args.filename.value";

Strings sorted(const Json& list)
{
    Strings out;
    for (const Json& item : list) {
        out.push_back(item.get<std::string>());
    }
    std::sort(out.begin(), out.end());
    return out;
}

class XgenRunTest : public ::testing::Test
{
protected:
    RunResult run(const std::string& scene, const std::string& prefix = {})
    {
        m_job.write("task.json",
                    read_text(std::string(ANALYSER_SOURCE_DIR) + "/examples/job/task.json"));
        return run_analyser(m_logs,
                            "'" + scene + "' '" + m_job.file("task.json") + "' '" +
                                m_job.file("system.json") + "'",
                            prefix);
    }

    Json job_file(const std::string& name) const
    {
        return Json::parse(read_text(m_job.file(name)));
    }

    TempDir m_logs;
    TempDir m_job;
    TempDir m_files;
    ScopedEnv m_ui{"KATANA_UI_MODE", nullptr};
    ScopedEnv m_batch{"KATANA_BATCH_MODE", nullptr};
    ScopedEnv m_shell{"KATANA_SHELL_MODE", nullptr};
};

// A collection written on Windows (CRLF, a drive-letter cache that is not on this
// machine) whose project, data folder, maps, cache and archives are POSIX paths here.
TEST_F(XgenRunTest, CollectionFilesAreFoundUploadedOrReportedMissing)
{
    const std::string root = m_files.path();
    const std::string ptx = m_files.write("proj/xgen/collections/c/d/Region/head.ptx", "x");
    const std::string cache = m_files.write("cache/guides.abc", "x");
    const std::string lo = m_files.write("lib/abc/rock_lo.abc", "x");
    const std::string xarc = m_files.write("lib/rock.xarc", "x");
    const std::string thumb = m_files.write("lib/rock.png", "x");
    const std::string companion = m_files.write("scene/shot__c.abc", "x");
    const std::string xgen = m_files.write(
        "scene/shot__c.xgen",
        "FileVersion 18\r\n\r\nPalette\r\n\tname\t\t\tc\r\n"
        "\txgDataPath\t\t${PROJECT}xgen/collections/c\r\n\txgProjectPath\t\t" +
            root +
            "/proj/\r\n\tendAttrs\r\n\r\nDescription\r\n\tname\t\t\td\r\n\tendAttrs\r\n\r\n"
            "SplinePrimitive\r\n\tname\t\t\ts\r\n"
            "\twidth\t\t\t$a=map('${DESC}/paintmaps/width');\\n$a\r\n"
            "\tcacheFileName\t\t" +
            cache +
            "\r\n\tendAttrs\r\n\r\nArchivePrimitive\r\n\tname\t\t\ta\r\n"
            "\tfiles\t\t\t#ArchiveGroup 0 name=\"rock\" thumbnail=\"rock.png\"\\n0 \"" +
            root +
            "/lib/abc/rock_lo.abc\"\r\n\tendAttrs\r\n\r\nOther\r\n"
            "\tcache\t\t\tD:\\cache\\old.abc\r\n");
    const std::string scene = SceneBuilder()
                                  .node("rootNode", "Group")
                                  .param("inTime", 1.0)
                                  .param("outTime", 1.0)
                                  .param("variables", Json::object())
                                  .node("Hair", "ArnoldProcedural")
                                  .parent("rootNode")
                                  .param("args.filename.value", xgen)
                                  .node("Render1", "Render")
                                  .parent("rootNode")
                                  .param("lock", 1.0)
                                  .output("primary", root + "/out/a.#.exr", "exr")
                                  .write(m_files.file("shot.json"));

    const RunResult result = run(scene);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(std::filesystem::exists(m_job.file("analyze_sucess")));

    const Json asset = job_file("asset.json");
    Strings found;
    for (const std::string& path : {xgen, companion, ptx, cache, lo, xarc, thumb}) {
        found.push_back(std::string(k_label) + " ---> " + path);
    }
    std::sort(found.begin(), found.end());
    EXPECT_EQ(sorted(asset.at("asset")), found);
    const Strings missing = {std::string(k_label) + " **** " + root +
                                 "/proj/xgen/collections/c/d/paintmaps/width",
                             std::string(k_label) + " **** D:/cache/old.abc"};
    EXPECT_EQ(sorted(asset.at("missing")), missing);
    EXPECT_EQ(sorted(job_file("tips.json").at("70004")), missing);

    Strings uploaded;
    const Json upload = job_file("upload.json");
    for (const Json& entry : upload.at("asset")) {
        uploaded.push_back(entry.at("local").get<std::string>());
    }
    ASSERT_FALSE(uploaded.empty());
    EXPECT_EQ(uploaded.back(), scene);
    uploaded.pop_back();
    std::sort(uploaded.begin(), uploaded.end());
    Strings expected_uploads = {xgen, companion, ptx, cache, lo, xarc, thumb};
    std::sort(expected_uploads.begin(), expected_uploads.end());
    EXPECT_EQ(uploaded, expected_uploads);
}

// The bundled example names a small collection: its folder, cache, archive and companion
// are uploaded, and the painted map it lacks is reported.
TEST_F(XgenRunTest, ExampleSceneCollection)
{
    const std::string top = ANALYSER_SOURCE_DIR;
    const std::string examples = top + "/examples";
    const RunResult result =
        run(examples + "/scene.json", "cd '" + top + "' && KATANA_EXAMPLE_ROOT='" + examples +
                                          "' REDSHIFT_HOME='" + ANALYSER_TEST_TOOLS_DIR + "' ");
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string label = "/rootNode/XGen_hair.args.filename.value";
    const std::string xgen = examples + "/assets/xgen";
    const Json asset = job_file("asset.json");
    const Strings missing = sorted(asset.at("missing"));
    EXPECT_TRUE(std::binary_search(missing.begin(), missing.end(),
                                   label + " **** " + xgen +
                                       "/xgen/collections/hairColl/hairDesc/paintmaps/width"));
    const Strings found = sorted(asset.at("asset"));
    for (const std::string& path :
         {std::string("examples/assets/xgen/groom__hairColl.abc"),
          xgen + "/xgen/collections/hairColl/hairDesc/Region/headShape.ptx",
          xgen + "/xgen/collections/hairColl/hairDesc/Clumping1/headShape.ptx",
          xgen + "/cache/hair_guides.abc", xgen + "/archives/abc/pebble_lo.abc",
          xgen + "/archives/pebble.xarc", xgen + "/archives/pebble.png"}) {
        EXPECT_TRUE(std::binary_search(found.begin(), found.end(), label + " ---> " + path))
            << path;
    }
}

} // namespace
} // namespace script
