#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/scene_builder.h"
#include "tests/support/run_analyser.h"
#include "tests/support/temp_dir.h"

namespace script {
namespace {

using testing::read_text;
using testing::RunResult;
using testing::SceneBuilder;
using testing::TempDir;

class ListingCommand : public ::testing::Test
{
protected:
    ListingCommand()
    {
        SceneBuilder scene;
        scene.node("rootNode", "Group")
            .node("Abc_set", "Alembic_In")
            .param("abcAsset", "/show/abc/set_v002.abc")
            .node("Tex_eye", "PrmanShadingNode")
            .param("nodeType", "PxrTexture")
            .param("parameters.filename.value", "/show/tex/eye.tx")
            .node("Abc_hero", "Alembic_In")
            .param("abcAsset", "/show/abc/hero v1.abc")
            .node("Tex_skin", "PrmanShadingNode")
            .param("nodeType", "PxrTexture")
            .param("parameters.filename.value", "/show/tex/skin.<UDIM>.tx");
        m_scene = scene.write(m_dir.file("scene.json"));
    }

    // Runs the built executable with the arguments, each quoted for the shell.
    RunResult run(std::initializer_list<std::string> arguments) const
    {
        std::string quoted;
        for (const std::string& argument : arguments) {
            quoted += " '" + argument + "'";
        }
        return testing::run_analyser(m_dir, quoted);
    }

    TempDir m_dir;
    std::string m_scene;
};

TEST_F(ListingCommand, ListsNodesAndEndsWithTheWrapperStatusOnFailure)
{
    const RunResult alembic = run({"--list-alembic", m_scene});
    EXPECT_EQ(alembic.status, 0) << alembic.err;
    EXPECT_EQ(alembic.out, "Abc_set\n/show/abc/set_v002.abc\nAbc_hero\n/show/abc/hero v1.abc\n");
    EXPECT_EQ(alembic.err, "");

    const RunResult named = run({"--list-prman-textures", m_scene, "Tex_skin"});
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(named.out, "/show/tex/skin.<UDIM>.tx\n");

    const RunResult failed = run({"--list-alembic", m_scene, "Tex_eye"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out,
              "Tex_eye\nnode 'Tex_eye' has no parameter 'abcAsset'\n" + std::string(50, '!') + "\n");
    EXPECT_EQ(failed.err, "[ERROR] failed: katana-analyse  get_Alembic_In\n");
}

TEST_F(ListingCommand, BadSceneOrArgumentsAreReported)
{
    const RunResult missing = run({"--list-alembic", m_dir.file("none.json")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err.rfind("Error: " + m_dir.file("none.json"), 0), 0u) << missing.err;

    for (const RunResult& bad :
         {run({"--list-alembic"}), run({"--list-prman-textures", m_scene, "A", "B"})}) {
        EXPECT_EQ(bad.status, 2);
        EXPECT_NE(bad.err.find("katana-analyse --list-alembic SCENE [NODE]"), std::string::npos)
            << bad.err;
    }
}

} // namespace
} // namespace script
