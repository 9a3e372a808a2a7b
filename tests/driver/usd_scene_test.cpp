// A scene whose USD node names a root layer: the run uploads the whole layer tree and its
// textures, reports the missing members, and leaves its job files in the job folder even
// though the job folder is given relative to the working directory.

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/run_analyser.h"
#include "tests/support/temp_dir.h"
#include "tests/support/usdc_writer.h"

namespace script {
namespace {

using testing::CrateWriter;
using testing::read_text;
using testing::run_analyser;
using testing::RunResult;
using testing::ScopedEnv;
using testing::TempDir;
using Json = nlohmann::ordered_json;

std::set<std::string> texts(const Json& list)
{
    std::set<std::string> out;
    for (const Json& item : list) {
        out.insert(item.get<std::string>());
    }
    return out;
}

TEST(UsdScene, LayerTreeAndTexturesAreUploadedAndMissingMembersReported)
{
    TempDir work;
    TempDir assets;
    ScopedEnv ui("KATANA_UI_MODE", nullptr);
    ScopedEnv batch("KATANA_BATCH_MODE", nullptr);
    ScopedEnv shell("KATANA_SHELL_MODE", nullptr);

    const std::string root = assets.write(
        "shot/root.usda", "#usda 1.0\n(\n  subLayers = [@./layers/anim.usdc@]\n)\n"
                          "def \"Set\" (prepend references = @../lib/tree.usd@</Tree>) {}\n");
    // The crate sublayer names a texture set and a layer that is not there.
    {
        std::ofstream out(assets.mkdir("shot/layers") + "/anim.usdc", std::ios::binary);
        CrateWriter w(out, 8);
        CrateWriter::ArcListOp payloads;
        payloads.prepended = {{"./gone.usd", "", {}}};
        w.owner("/", CrateWriter::PseudoRoot, {});
        w.owner("/Anim", CrateWriter::Prim, {{"payload", w.payloads(payloads)}});
        w.owner("/Anim.tex", CrateWriter::Attribute,
               {{"default", w.asset("../../tex/wood.<UDIM>.exr")}});
        w.finish();
    }
    assets.write("lib/tree.usd", "#usda 1.0\ndef \"Tree\" { asset bark = @./bark.tif@ }\n");
    for (const char* name : {"tex/wood.1001.exr", "tex/wood.1001.tx", "tex/wood.1002.exr",
                             "lib/bark.tif"}) {
        assets.write(name, "x");
    }
    const std::string scene = work.write("scene.json", R"({
      "header": {"version": "4.5"},
      "nodes": [
        {"name": "rootNode", "type": "Group",
         "parameters": {"inTime": 1.0, "outTime": 1.0, "variables": {}}},
        {"name": "Stage", "type": "UsdIn", "parent": "rootNode",
         "parameters": {"fileName": ")" + root + R"("}},
        {"name": "Render", "type": "Render", "parent": "rootNode",
         "parameters": {"lock": 1.0, "farmSettings": {"TimeRange": "1-1"}},
         "render_info": {"outputs": [{"name": "primary", "outputFile": ")" +
                                                     work.file("render/a.#.exr") + R"(",
                                      "imageInfo": {"fileExtension": "exr"}}]}}
      ]})");
    work.write("job/task.json", "{}");

    const RunResult run = run_analyser(work, "'" + scene + "' job/task.json job/system.json",
                                       "cd '" + work.path() + "' && ");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::filesystem::exists(work.file("job/analyze_sucess")));

    const std::string label = "/rootNode/Stage.fileName";
    const std::string shot = assets.file("shot/");
    const std::string anim = shot + "layers/anim.usdc";
    const std::string tree = assets.file("lib/tree.usd");
    const std::string gone = shot + "layers/gone.usd";
    const Json asset = Json::parse(read_text(work.file("job/asset.json")));
    EXPECT_EQ(texts(asset.at("asset")),
              (std::set<std::string>{label + " ---> " + root, label + " ---> " + anim,
                                     label + " ---> " + tree,
                                     anim + " ---> " + assets.file("tex/wood.1001.exr"),
                                     anim + " ---> " + assets.file("tex/wood.1001.tx"),
                                     anim + " ---> " + assets.file("tex/wood.1002.exr"),
                                     tree + " ---> " + assets.file("lib/bark.tif")}));
    EXPECT_EQ(texts(asset.at("missing")), (std::set<std::string>{label + " **** " + gone}));
    const Json tips = Json::parse(read_text(work.file("job/tips.json")));
    EXPECT_EQ(tips.at("70004"), asset.at("missing"));

    const Json upload = Json::parse(read_text(work.file("job/upload.json")));
    std::set<std::string> uploaded;
    for (const Json& entry : upload.at("asset")) {
        uploaded.insert(entry.at("local").get<std::string>());
    }
    EXPECT_EQ(uploaded, (std::set<std::string>{root, anim, tree, assets.file("tex/wood.1001.exr"),
                                               assets.file("tex/wood.1001.tx"),
                                               assets.file("tex/wood.1002.exr"),
                                               assets.file("lib/bark.tif"), scene}));
}

// The bundled example's small USD tree: a text root, a text sublayer naming a missing
// payload, a crate prop and textures of both.
TEST(UsdScene, ExampleSceneFollowsItsLayerTree)
{
    TempDir work;
    const std::string top = ANALYSER_SOURCE_DIR;
    work.write("job/task.json", read_text(top + "/examples/job/task.json"));
    const RunResult run = run_analyser(
        work, "'" + top + "/examples/scene.json' '" + work.file("job/task.json") + "' '" +
                  work.file("job/system.json") + "'",
        "cd '" + top + "' && KATANA_EXAMPLE_ROOT='" + top + "/examples' REDSHIFT_HOME='" +
            ANALYSER_TEST_TOOLS_DIR + "' ");
    ASSERT_EQ(run.status, 0) << run.err;
    const Json asset = Json::parse(read_text(work.file("job/asset.json")));
    const std::set<std::string> found = texts(asset.at("asset"));
    const std::string usd = "examples/assets/usd/";
    for (const std::string& line :
         {"/rootNode/Usd_set.fileName ---> " + usd + "shot.usda",
          "/rootNode/Usd_set.fileName ---> " + usd + "layout.usda",
          "/rootNode/Usd_set.fileName ---> " + usd + "props/rock.usdc",
          usd + "shot.usda ---> " + usd + "tex/moss.1001.tx",
          usd + "shot.usda ---> " + usd + "tex/moss.1002.exr",
          usd + "props/rock.usdc ---> " + usd + "props/rock_diffuse.tif"}) {
        EXPECT_EQ(found.count(line), 1u) << line;
    }
    EXPECT_EQ(texts(asset.at("missing")).count("/rootNode/Usd_set.fileName **** " + usd +
                                               "props/crate_missing.usd"),
              1u);
}

}  // namespace
}  // namespace script
