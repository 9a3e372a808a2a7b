#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "assets/asset_collector.h"
#include "host/standalone_host.h"
#include "tests/support/temp_dir.h"

namespace script {
namespace {

using testing::ConsoleCapture;
using testing::TempDir;
using Strings = std::vector<std::string>;

class KlfCollector : public ::testing::Test
{
protected:
    KlfCollector() { m_host.load_document(Json::object(), "scene"); }

    std::string look_file(const std::string& name, const Json& materials)
    {
        return m_dir.write(name, Json{{"materials", materials}}.dump());
    }

    Strings assets_of(const std::string& label) const
    {
        const auto found = m_collector.ASSET_JSON.asset.find(label);
        return found ? *found : Strings{};
    }
    Strings missing_of(const std::string& label) const
    {
        const auto found = m_collector.ASSET_JSON.missing.find(label);
        return found ? *found : Strings{};
    }

    host::StandaloneHost m_host;
    zel_Katana_asset m_collector{m_host, zel_Katana_asset::NoCollect{}};
    TempDir m_dir;
};

TEST_F(KlfCollector, ShadingNodeFilesAndMapParametersOfMaterials)
{
    const std::string diffuse = m_dir.write("tex/skin_diff.tx", "x");
    const std::string color = m_dir.write("tex/skin_col.tx", "x");
    const std::string gone = m_dir.file("tex/gone.tx");
    const std::string look = look_file(
        "hero.klf", Json::array({
                        {{"key", "skin"},
                         {"type", "material"},
                         {"attributes",
                          {{"nodes",
                            {{"diffuse_tex", {{"parameters", {{"filename", diffuse}}}}},
                             {"no_params", {{"type", "PxrTexture"}}},
                             {"no_file", {{"parameters", {{"tex0", "/tex/ignored.tx"}}}}},
                             {"group_file", {{"parameters", {{"filename", {{"a", "/tex/g.tx"}}}}}}},
                             {"bump_tex", {{"parameters", {{"filename", gone}}}}}}},
                           {"parameters",
                            {{"colorMap", color},
                             {"bumpMap", ""},
                             {"mapColor", "/tex/not_a_map.tx"},
                             {"roughnessMap", 0.5},
                             {"layerMap", {{"inner", "/tex/group.tx"}}}}}}}},
                        {{"key", "skin_look"},
                         {"type", "look"},
                         {"attributes", {{"parameters", {{"colorMap", "/tex/other_type.tx"}}}}}},
                        {{"key", "empty"}, {"type", "material"}},
                    }));

    ConsoleCapture capture;
    m_collector.getKlfAssets("/scene/hero.customProperties.klf", look);
    const std::string out = capture.finish();

    EXPECT_EQ(assets_of("/scene/hero.customProperties.klf"), (Strings{diffuse, color}));
    EXPECT_EQ(missing_of("/scene/hero.customProperties.klf"), Strings{gone});
    EXPECT_EQ(out.rfind("xmlFile:" + look + "\n", 0), 0u) << out;
    EXPECT_NE(out.find("Found klf Map colorMap: " + color + "\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Found klf Map bumpMap"), std::string::npos) << out;
    EXPECT_EQ(out.find("not_a_map"), std::string::npos) << out;
    EXPECT_EQ(out.find("other_type"), std::string::npos) << out;
    EXPECT_EQ(out.find("group.tx"), std::string::npos) << out;
}

// A found look file goes to the reader; its textures are recorded under the label of the
// reference before the look file itself.
TEST_F(KlfCollector, SequenceExpansionHandsFoundLookFilesToTheReader)
{
    const std::string tile = m_dir.write("tex/skin.1001.tx", "x");
    const std::string look =
        look_file("hero.klf", Json::array({{{"key", "skin"},
                                            {"attributes",
                                             {{"parameters",
                                               {{"colorMap", m_dir.file("tex/skin.<UDIM>.tx")},
                                                {"specMap", m_dir.file("tex/spec.tx")}}}}}}}));
    ConsoleCapture capture;
    m_collector.AnaylseSeq("/scene/hero.customProperties.klf", look);
    const std::string out = capture.finish();

    EXPECT_EQ(assets_of("/scene/hero.customProperties.klf"), (Strings{tile, look}));
    EXPECT_EQ(missing_of("/scene/hero.customProperties.klf"), Strings{m_dir.file("tex/spec.tx")});
    EXPECT_NE(out.find("klfFile:" + look + "\nxmlFile:" + look + "\n"), std::string::npos) << out;
}

} // namespace
} // namespace script
