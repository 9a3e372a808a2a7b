#include <string>

#include <gtest/gtest.h>

#include "assets/asset_collector.h"
#include "common/platform.h"
#include "driver/process_exit.h"
#include "host/standalone_host.h"
#include "tests/support/scene_builder.h"
#include "tests/support/temp_dir.h"

namespace script {
namespace {

using testing::ConsoleCapture;
using testing::SceneBuilder;

const std::string k_bangs(50, '!');

class Listings : public ::testing::Test
{
protected:
    Listings() : m_saved_program(platform::program_path())
    {
        platform::set_program_path("/opt/farm/bin/katana-analyse");
    }
    ~Listings() override { platform::set_program_path(m_saved_program); }

    void load(const SceneBuilder& scene) { m_host.load_document(scene.json(), "scene"); }

    // Runs a listing and returns what it printed; `exit` receives the requested process end.
    template <typename Listing>
    std::string run(Listing listing, const std::string& node_name = {},
                    std::optional<ProcessExit>* exit = nullptr)
    {
        ConsoleCapture capture;
        zel_Katana_asset collector(m_host, zel_Katana_asset::NoCollect{});
        try {
            (collector.*listing)(node_name);
        } catch (const ProcessExit& e) {
            if (exit) {
                exit->emplace(e);
            } else {
                ADD_FAILURE() << "process end: " << e.message();
            }
        }
        return capture.finish();
    }

    host::StandaloneHost m_host;
    std::string m_saved_program;
};

SceneBuilder shading_scene()
{
    SceneBuilder scene;
    scene.node("rootNode", "Group")
        .node("Abc_set", "Alembic_In")
        .param("abcAsset", "/show/abc/set_v002.abc")
        .node("Tex_skin", "PrmanShadingNode")
        .param("nodeType", "PxrTexture")
        .param("parameters.filename.value", "/show/tex/skin.<UDIM>.tx")
        .node("Normal", "PrmanShadingNode")
        .param("nodeType", "PxrNormalMap")
        .param("parameters.filename.value", "/show/tex/normal.tx")
        .node("Lower", "PrmanShadingNode")
        .param("nodeType", "pxrtexture")
        .param("parameters.filename.value", "/show/tex/lower.tx")
        .node("Abc_hero", "Alembic_In")
        .param("abcAsset", 1001.0)
        .node("Tex_eye", "PrmanShadingNode")
        .param("nodeType", "PxrTexture")
        .param("parameters.filename.value", "/show/tex/eye.tx");
    return scene;
}

TEST_F(Listings, EveryNodeOfTheTypeInHostOrder)
{
    load(shading_scene());
    EXPECT_EQ(run(&zel_Katana_asset::get_Alembic_In),
              "Abc_set\n/show/abc/set_v002.abc\nAbc_hero\n1001.0\n");
    EXPECT_EQ(run(&zel_Katana_asset::get_PrmanShadingNode),
              "/show/tex/skin.<UDIM>.tx\n/show/tex/eye.tx\n");
}

TEST_F(Listings, NamedNodeIsUsedWhateverItsType)
{
    load(shading_scene());
    EXPECT_EQ(run(&zel_Katana_asset::get_Alembic_In, "Abc_hero"), "Abc_hero\n1001.0\n");
    EXPECT_EQ(run(&zel_Katana_asset::get_PrmanShadingNode, "Tex_eye"), "/show/tex/eye.tx\n");
    EXPECT_EQ(run(&zel_Katana_asset::get_PrmanShadingNode, "Normal"), "");

    // Its name is printed before the missing parameter ends the run.
    std::optional<ProcessExit> exit;
    const std::string out = run(&zel_Katana_asset::get_Alembic_In, "Tex_eye", &exit);
    ASSERT_TRUE(exit.has_value());
    EXPECT_EQ(exit->status(), 1);
    EXPECT_EQ(exit->message(), "[ERROR] failed: katana-analyse  get_Alembic_In");
    EXPECT_EQ(out, "Tex_eye\nnode 'Tex_eye' has no parameter 'abcAsset'\n" + k_bangs + "\n");
}

TEST_F(Listings, UnknownNameOrMissingParameterEndsTheRun)
{
    load(shading_scene());
    std::optional<ProcessExit> exit;
    const std::string out = run(&zel_Katana_asset::get_PrmanShadingNode, "Nope", &exit);
    ASSERT_TRUE(exit.has_value());
    EXPECT_EQ(exit->status(), 1);
    EXPECT_EQ(exit->message(), "[ERROR] failed: katana-analyse  get_PrmanShadingNode");
    EXPECT_EQ(out, "no node named 'Nope'\n" + k_bangs + "\n");

    SceneBuilder broken;
    broken.node("Tex", "PrmanShadingNode").param("nodeType", "PxrTexture");
    load(broken);
    exit.reset();
    run(&zel_Katana_asset::get_PrmanShadingNode, {}, &exit);
    ASSERT_TRUE(exit.has_value());
    EXPECT_EQ(exit->message(), "[ERROR] failed: katana-analyse  get_PrmanShadingNode");
}

TEST_F(Listings, SceneWithoutSuchNodesPrintsNothing)
{
    SceneBuilder scene;
    scene.node("rootNode", "Group");
    load(scene);
    EXPECT_EQ(run(&zel_Katana_asset::get_Alembic_In), "");
    EXPECT_EQ(run(&zel_Katana_asset::get_PrmanShadingNode), "");
}

} // namespace
} // namespace script
