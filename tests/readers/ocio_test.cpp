#include "readers/ocio.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "assets/asset_collector.h"
#include "common/errors.h"
#include "host/standalone_host.h"
#include "tests/support/temp_dir.h"

namespace script {
namespace {

using testing::read_text;
using testing::ScopedEnv;
using testing::TempDir;
using Folders = std::vector<std::string>;

const std::string k_configs = ANALYSER_SHARED_TESTDATA "/ocio";

TEST(OcioSearchPath, ValueSplitsIntoFoldersKeepingDriveLetters)
{
    const struct
    {
        const char* value;
        Folders folders;
    } cases[] = {
        {"luts:filmic", {"luts", "filmic"}},
        {"/mnt/a:luts", {"/mnt/a", "luts"}},
        {"C:/ocio/luts", {"C:/ocio/luts"}},
        {"C:/a;d:\\b", {"C:/a", "d:\\b"}},
        {"luts;C:/a:x", {"luts", "C:/a", "x"}},
        {"a:b", {"a", "b"}},
        {" x ;; :y: ", {"x", "y"}},
        {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(readers::split_search_folders(c.value), c.folders);
    }
}

TEST(OcioSearchPath, LineAndListForms)
{
    const std::string text = "ocio_profile_version: 2\r\n"
                             "search_path: \"/show/a b:luts\"  # two folders\r\n"
                             " search_path: /indented/is/not/the/key\r"
                             "search_path: '/single/quoted'\r"
                             "search_path: plain#kept # comment\n"
                             "search_paths: /other/key\n"
                             "search_path:\n"
                             "  - /list/one:not_split\n"
                             "\n"
                             "  # a comment inside the list\n"
                             "  - \"quoted item\"   \n"
                             "  -\n"
                             "environment: {}\n"
                             "  - /after/the/list\n"
                             "search_path:\n"
                             "roles:\n";
    const Folders expected = {"/show/a b",           "luts",       "/single/quoted", "plain#kept",
                              "/list/one:not_split", "quoted item"};
    EXPECT_EQ(readers::ocio_search_path_items(text), expected);
    EXPECT_EQ(readers::split_text_lines("a\r\nb\rc\n\nd"), (Folders{"a", "b", "c", "", "d"}));
}

TEST(OcioSearchPath, VariablesExpandByDollarThenBracket)
{
    ScopedEnv show("SHOW", "s1");
    ScopedEnv a("A", "aa");
    ScopedEnv b("B", "bb");
    ScopedEnv unset("ANALYSER_UNSET_VAR", nullptr);
    const struct
    {
        const char* folder;
        const char* expanded;
    } cases[] = {
        {"/mnt/$SHOW/luts", "/mnt/s1/luts"},
        {"/mnt/$SHOW", "/mnt/s1"},
        {"$SHOW/luts/$SHOW", "s1/luts/s1"},
        {"/mnt/$A/luts", "/mnt/$A/luts"},               // needs two characters after "$"
        {"/mnt/$SHOW.old/luts", "/mnt/$SHOW.old/luts"}, // key "SHOW." is no variable
        {"/mnt/$ANALYSER_UNSET_VAR/luts", "/mnt/$ANALYSER_UNSET_VAR/luts"},
        {"/mnt/[SHOW]/luts", "/mnt/s1/luts"},
        {"/mnt/[A]/[B]", "/mnt/[A]/[B]"}, // one greedy match, key "A]/[B"
        {"/mnt/${SHOW}/luts", "/mnt/s1/luts"},
        {"/mnt/${ANALYSER_UNSET_VAR}/luts", "/mnt/${ANALYSER_UNSET_VAR}/luts"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        EXPECT_EQ(readers::expand_folder_variables(c.folder), c.expanded);
    }
}

TEST(OcioSearchPath, RealConfigurations)
{
    ScopedEnv lut_path("LUT_PATH", nullptr);
    const struct
    {
        const char* config;
        Folders folders;
    } cases[] = {
        {"blender/config.ocio", {"/cfg/luts", "/cfg/filmic"}},
        {"imageworks-nuke-default/config.ocio", {"/cfg/luts"}},
        // LUT_PATH is declared in the configuration's environment section.
        {"sharktacos-global/StdX_global_config.ocio", {"/cfg/Looks", "/cfg/shot_lut"}},
        {"ocio-docs/ocio-v2_demo.ocio", {}},
        {"openusd-usdview/test.ocio", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        const std::string text = read_text(k_configs + "/" + c.config);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(readers::ocio_search_folders(text, "/cfg"), c.folders);
    }
    EXPECT_EQ(
        readers::ocio_search_folders("search_path: ./luts/../x:/abs/./y:\\\\srv\\luts", "/cfg/"),
        (Folders{"/cfg/x", "/abs/./y", "\\\\srv\\luts"}));
    EXPECT_EQ(readers::ocio_search_folders("search_path: luts", ""), (Folders{"luts"}));
}

TEST(OcioSearchPath, DeclaredEnvironmentSuppliesNamesTheProcessLacks)
{
    ScopedEnv shot("SHOT", nullptr);
    ScopedEnv root("ANALYSER_OCIO_ROOT", nullptr);
    const std::string block = "ocio_profile_version: 2\n"
                              "environment:\n"
                              "  # per-shot defaults\n"
                              "  SHOT: shot4\n"
                              "\n"
                              "  LUT_PATH: 'grades/'   # a comment\n"
                              "search_path:\n"
                              "  - ./$SHOT\n"
                              "  - ${LUT_PATH}\n"
                              "  - $ANALYSER_OCIO_ROOT/x\n"
                              "roles:\n"
                              "  SHOT: not/a/variable\n";
    EXPECT_EQ(readers::ocio_environment(block),
              (readers::OcioEnvironment{{"SHOT", "shot4"}, {"LUT_PATH", "grades/"}}));
    EXPECT_EQ(readers::ocio_search_folders(block, "/cfg"),
              (Folders{"/cfg/shot4", "/cfg/grades", "/cfg/$ANALYSER_OCIO_ROOT/x"}));
    // The process environment wins over the declared value.
    {
        ScopedEnv set_shot("SHOT", "s9");
        EXPECT_EQ(readers::ocio_search_folders(block, "/cfg").front(), "/cfg/s9");
    }
    const std::string flow = "environment: {SHOT: s2, LUT_PATH: \"/abs/luts\"}\n"
                             "search_path: \"$SHOT:${LUT_PATH}\"\n";
    EXPECT_EQ(readers::ocio_search_folders(flow, "/cfg"), (Folders{"/cfg/s2", "/abs/luts"}));
    EXPECT_TRUE(readers::ocio_environment("environment:\n  {}\nsearch_path: luts\n").empty());
}

class OcioCollector : public ::testing::Test
{
protected:
    OcioCollector() { m_host.load_document(Json::object(), "scene"); }

    std::string copy_config(const std::string& from, const std::string& to) const
    {
        return m_dir.write(to, read_text(k_configs + "/" + from));
    }

    host::StandaloneHost m_host;
    TempDir m_dir;
};

TEST_F(OcioCollector, FilesOfEverySearchFolderInOrder)
{
    const std::string config = copy_config("blender/config.ocio", "blender/config.ocio");
    const std::string lut = m_dir.write("blender/luts/a.spi1d", "x");
    const std::string filmic = m_dir.write("blender/filmic/sub/b.spi3d", "x");

    zel_Katana_asset collector(m_host, zel_Katana_asset::NoCollect{});
    EXPECT_EQ(collector.get_ocio_files(config), (Folders{lut, filmic}));

    ScopedEnv lut_path("LUT_PATH", nullptr);
    const std::string shark =
        copy_config("sharktacos-global/StdX_global_config.ocio", "shark/c.ocio");
    const std::string looks = m_dir.write("shark/Looks/oetf.spi1d", "x");
    const std::string grade = m_dir.write("shark/shot_lut/client.cube", "x");
    EXPECT_EQ(collector.get_ocio_files(shark), (Folders{looks, grade}));
}

TEST_F(OcioCollector, RepeatedFolderListedTwiceAndUnreadableConfigThrows)
{
    const std::string lut = m_dir.write("luts/a.cube", "x");
    const std::string config = m_dir.write(
        "cfg/config.ocio", "search_path: " + m_dir.path() + "/luts\nsearch_path:\n  - ../luts\n");
    zel_Katana_asset collector(m_host, zel_Katana_asset::NoCollect{});
    EXPECT_EQ(collector.get_ocio_files(config), (Folders{lut, lut}));
    EXPECT_THROW(collector.get_ocio_files(m_dir.file("cfg/none.ocio")), Error);
}

}  // namespace
}  // namespace script
