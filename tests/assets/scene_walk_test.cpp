#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/errors.h"
#include "tests/assets/collector_fixture.h"

namespace script::testing {
namespace {

// A scene graph one location wide and `depth` locations deep below /scene. Names stay short
// (each location is named /scene/l<n>), so only the walk is deep, not the location tree; the
// deepest location has a look file.
class DeepSceneHost : public host::StandaloneHost
{
public:
    explicit DeepSceneHost(std::uint32_t depth) : m_depth(depth)
    {
        load_document(SceneBuilder().node("Render1", "Render").json(), "deep scene");
    }

    std::optional<host::LocationRef> render_producer(host::NodeRef) const override
    {
        return host::LocationRef{1};
    }
    std::string location_full_name(host::LocationRef location) const override
    {
        return location.id == 1 ? "/scene" : "/scene/l" + std::to_string(location.id);
    }
    std::string location_type(host::LocationRef location) const override
    {
        return location.id == m_depth ? "polymesh" : "group";
    }
    std::optional<host::AttrRef> location_attribute(host::LocationRef location,
                                                    std::string_view path) const override
    {
        if (location.id == m_depth && path == "customProperties.klf")
            return host::AttrRef{1};
        return std::nullopt;
    }
    Json attribute_value(host::AttrRef) const override { return "/no/such/deep.klf"; }
    std::vector<host::LocationRef> location_children(host::LocationRef location) const override
    {
        if (location.id < m_depth)
            return {host::LocationRef{location.id + 1}};
        return {};
    }

private:
    std::uint32_t m_depth;
};

using SceneWalkTest = CollectorTest;

TEST_F(SceneWalkTest, SceneGraphsDeeperThanTheCallStackAreWalked)
{
    constexpr std::uint32_t k_depth = 20000;
    const DeepSceneHost deep(k_depth);
    zel_Katana_asset collector(deep, zel_Katana_asset::NoCollect{});
    ConsoleCapture capture;
    collector.getAsset();
    const std::string out = capture.finish();

    const std::string deepest = "/scene/l" + std::to_string(k_depth);
    EXPECT_NE(out.find("Found klf in " + deepest + ": /no/such/deep.klf\n"), std::string::npos);
    const auto missing = collector.ASSET_JSON.missing.find(deepest + ".customProperties.klf");
    ASSERT_TRUE(missing.has_value());
    EXPECT_EQ(*missing, std::vector<std::string>{"/no/such/deep.klf"});
    const Json scene = job_file("scene.json");
    EXPECT_EQ(scene.at("").at("scene").size(), k_depth - 1);
    EXPECT_EQ(scene.at("").at("scene").at("l" + std::to_string(k_depth)).at("type"), "polymesh");
}

TEST_F(SceneWalkTest, FolderInPlaceOfTheRuleFileEndsTheStepNamingIt)
{
    load(SceneBuilder());
    std::filesystem::remove(bin.file("filter.txt"));
    bin.mkdir("filter.txt");
    try {
        collect();
        ADD_FAILURE() << "a folder was read as an empty rule file";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "cannot read file " + bin.file("filter.txt") + ": Is a directory");
    }
}

}  // namespace
}  // namespace script::testing
