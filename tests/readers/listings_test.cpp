#include <optional>
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
using Listing = void (zel_Katana_asset::*)(const std::string&);

constexpr Listing k_alembic = &zel_Katana_asset::get_Alembic_In;
constexpr Listing k_prman = &zel_Katana_asset::get_PrmanShadingNode;
const std::string k_bangs(50, '!');

class Listings : public ::testing::Test
{
protected:
    Listings() : m_saved_program(platform::program_path())
    {
        platform::set_program_path("farm/bin/katana-analyse");
        SceneBuilder scene;
        scene.node("Abc_set", "Alembic_In")
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
            .param("parameters.filename.value", "/show/tex/eye.tx")
            .node("Tex_bare", "PrmanShadingNode")
            .param("nodeType", "PxrTexture");
        m_host.load_document(scene.json(), "scene");
    }
    ~Listings() override { platform::set_program_path(m_saved_program); }

    // What the listing printed; a requested process end goes to `exit`.
    std::string run(Listing listing, const std::string& node_name,
                    std::optional<ProcessExit>* exit = nullptr)
    {
        ConsoleCapture capture;
        zel_Katana_asset collector(m_host, zel_Katana_asset::NoCollect{});
        try {
            (collector.*listing)(node_name);
        } catch (const ProcessExit& e) {
            if (!exit) {
                ADD_FAILURE() << "process end: " << e.message();
            } else {
                exit->emplace(e);
            }
        }
        return capture.finish();
    }

    host::StandaloneHost m_host;
    std::string m_saved_program;
};

TEST_F(Listings, EveryNodeOfTheTypeOrTheNamedOne)
{
    EXPECT_EQ(run(k_alembic, ""), "Abc_set\n/show/abc/set_v002.abc\nAbc_hero\n1001.0\n");
    EXPECT_EQ(run(k_alembic, "Abc_hero"), "Abc_hero\n1001.0\n");
    EXPECT_EQ(run(k_prman, "Tex_eye"), "/show/tex/eye.tx\n");
    EXPECT_EQ(run(k_prman, "Normal"), "");
}

TEST_F(Listings, FailureEndsTheRunThroughTheWrapper)
{
    struct Case
    {
        Listing listing;
        std::string node_name, out, exit_message;
    };
    const Case cases[] = {
        // A node of another type is used; its name is printed before the failure.
        {k_alembic, "Tex_eye", "Tex_eye\nnode 'Tex_eye' has no parameter 'abcAsset'\n",
         "[ERROR] failed: katana-analyse  get_Alembic_In"},
        {k_prman, "Nope", "no node named 'Nope'\n",
         "[ERROR] failed: katana-analyse  get_PrmanShadingNode"},
        // Listing every node reaches the one without a file after printing the others.
        {k_prman, "",
         "/show/tex/skin.<UDIM>.tx\n/show/tex/eye.tx\n"
         "node 'Tex_bare' has no parameter 'parameters.filename.value'\n",
         "[ERROR] failed: katana-analyse  get_PrmanShadingNode"},
    };
    for (const Case& c : cases) {
        std::optional<ProcessExit> exit;
        EXPECT_EQ(run(c.listing, c.node_name, &exit), c.out + k_bangs + "\n") << c.node_name;
        ASSERT_TRUE(exit.has_value()) << c.node_name;
        EXPECT_EQ(exit->status(), 1);
        EXPECT_EQ(exit->message(), c.exit_message);
    }
}

TEST_F(Listings, SceneWithoutSuchNodesPrintsNothing)
{
    m_host.load_document(SceneBuilder().node("rootNode", "Group").json(), "scene");
    EXPECT_EQ(run(k_alembic, ""), "");
    EXPECT_EQ(run(k_prman, ""), "");
}

} // namespace
} // namespace script
