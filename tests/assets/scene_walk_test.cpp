#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/errors.h"
#include "common/fs.h"
#include "common/glob.h"
#include "common/json_doc.h"
#include "common/pyutil.h"
#include "tests/assets/collector_fixture.h"

namespace script::testing {
namespace {

// A render node whose scene graph is made up on the fly: location 1 is /scene, location n
// below it /scene/l<n>.
class NumberedSceneHost : public host::StandaloneHost
{
public:
    explicit NumberedSceneHost(std::string_view name)
    {
        load_document(SceneBuilder().node("Render1", "Render").json(), std::string(name));
    }

    std::optional<host::LocationRef> render_producer(host::NodeRef) const override
    {
        return host::LocationRef{1};
    }
    std::string location_full_name(host::LocationRef location) const override
    {
        return location.id == 1 ? "/scene" : "/scene/l" + std::to_string(location.id);
    }
};

// A scene graph one location wide and `depth` locations deep below /scene. Names stay short,
// so only the walk is deep, not the location tree; the deepest location has a look file.
class DeepSceneHost : public NumberedSceneHost
{
public:
    explicit DeepSceneHost(std::uint32_t depth) : NumberedSceneHost("deep scene"), m_depth(depth) {}

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

// A scene graph of `width` locations below /scene, /scene/l2 to /scene/l<width + 1>, each
// with a look file named in one of ten folders (so the walk's references fill several
// batches and name folders again and again); the host fails at location `fail_at`.
class WideSceneHost : public NumberedSceneHost
{
public:
    WideSceneHost(std::uint32_t width, std::string folder, std::uint32_t fail_at = 0)
        : NumberedSceneHost("wide scene"), m_width(width), m_folder(std::move(folder)),
          m_fail_at(fail_at)
    {
    }

    std::string location_type(host::LocationRef location) const override
    {
        if (location.id == m_fail_at)
            throw Error("the host fails at " + location_full_name(location));
        return "group";
    }
    std::optional<host::AttrRef> location_attribute(host::LocationRef location,
                                                    std::string_view path) const override
    {
        if (location.id > 1 && path == "customProperties.klf")
            return host::AttrRef{location.id};
        return std::nullopt;
    }
    Json attribute_value(host::AttrRef attr) const override { return look_file(attr.id); }
    std::vector<host::LocationRef> location_children(host::LocationRef location) const override
    {
        std::vector<host::LocationRef> children;
        if (location.id == 1)
            for (std::uint32_t id = 2; id <= m_width + 1; ++id)
                children.push_back(host::LocationRef{id});
        return children;
    }

    host::LookFileRef open_look_file(const std::string& path) const override
    {
        throw Error("cannot read look file " + path);
    }

    std::string look_file(std::uint32_t id) const
    {
        return m_folder + "/d" + std::to_string(id % 10) + "/l" + std::to_string(id) + ".klf";
    }

private:
    std::uint32_t m_width;
    std::string m_folder;
    std::uint32_t m_fail_at;
};

using SceneWalkTest = CollectorTest;

// The lines each location's look file prints, in walk order.
std::string expected_lines(const WideSceneHost& wide, std::uint32_t first, std::uint32_t end)
{
    std::string lines;
    for (std::uint32_t id = first; id < end; ++id) {
        const std::string file = wide.look_file(id);
        lines += "Found klf in /scene/l" + std::to_string(id) + ": " + file + "\n";
        lines += "'" + file + "'\n";
    }
    return lines;
}

TEST_F(SceneWalkTest, ManyReferencesAreExpandedInWalkOrder)
{
    // Several batches of references: each is expanded after the next one is harvested.
    constexpr std::uint32_t k_width = 700;
    for (int i = 0; i < 10; ++i)
        bin.mkdir("tex/d" + std::to_string(i));
    const WideSceneHost wide(k_width, bin.file("tex"));
    zel_Katana_asset collector(wide, zel_Katana_asset::NoCollect{});
    ConsoleCapture capture;
    collector.getAsset();
    const std::string out = capture.finish();

    EXPECT_NE(out.find(expected_lines(wide, 2, k_width + 2)), std::string::npos);
    const auto& labels = collector.ASSET_JSON.missing.entries();
    ASSERT_EQ(labels.size(), k_width);
    for (std::uint32_t id = 2; id < k_width + 2; ++id) {
        const auto& [label, paths] = labels[id - 2];
        EXPECT_EQ(label, "/scene/l" + std::to_string(id) + ".customProperties.klf");
        ASSERT_EQ(paths.size(), 1u);
        EXPECT_EQ(collector.ASSET_JSON.paths.text(paths[0]), wide.look_file(id));
    }
}

TEST_F(SceneWalkTest, AFailingHostLeavesTheReferencesBeforeItDone)
{
    // Everything harvested before the failure is expanded and printed, as it would be by a
    // walk that expands each reference where it finds it; nothing after it is.
    constexpr std::uint32_t k_fail_at = 600;
    for (int i = 0; i < 10; ++i)
        bin.mkdir("tex/d" + std::to_string(i));
    const WideSceneHost wide(700, bin.file("tex"), k_fail_at);
    zel_Katana_asset collector(wide, zel_Katana_asset::NoCollect{});
    ConsoleCapture capture;
    EXPECT_THROW(collector.getAsset(), Error);
    const std::string out = capture.finish();

    // The failing location's look file is harvested before its type is asked for.
    EXPECT_NE(out.find(expected_lines(wide, 2, k_fail_at + 1)), std::string::npos);
    EXPECT_EQ(out.find("/scene/l" + std::to_string(k_fail_at + 1) + ":"), std::string::npos);
    EXPECT_EQ(collector.ASSET_JSON.missing.entries().size(), k_fail_at - 1);
    // The location tree of a walk that failed is never written, and nothing is left of it.
    EXPECT_FALSE(std::filesystem::exists(job.file("scene.json")));
    for (const auto& entry : std::filesystem::directory_iterator(job.path()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos)
            << entry.path();
}

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

TEST_F(SceneWalkTest, AFailingExpansionEndsTheWalkWhereItIs)
{
    // A look file that exists is read through the host, which fails: nothing found after
    // it is expanded or printed, though the walk has harvested further by then.
    constexpr std::uint32_t k_failing = 100; // in the first batch, done as the second is full
    for (int i = 0; i < 10; ++i)
        bin.mkdir("tex/d" + std::to_string(i));
    const WideSceneHost wide(700, bin.file("tex"));
    bin.write("tex/d" + std::to_string(k_failing % 10) + "/l" + std::to_string(k_failing) + ".klf",
              "<klf/>");
    zel_Katana_asset collector(wide, zel_Katana_asset::NoCollect{});
    ConsoleCapture capture;
    try {
        collector.getAsset();
        ADD_FAILURE() << "the host's failure was lost";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot read look file " + wide.look_file(k_failing));
    }
    const std::string out = capture.finish();

    EXPECT_NE(out.find(expected_lines(wide, 2, k_failing)), std::string::npos);
    const std::size_t last = out.rfind("Found klf in ");
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(out.substr(last, out.find(':', last) - last),
              "Found klf in /scene/l" + std::to_string(k_failing));
    EXPECT_EQ(collector.ASSET_JSON.missing.entries().size(), k_failing - 2);
}

// Texture references of many locations, batch after batch, in folders named again by later
// batches, the same texture named by three locations in a row: each location records what
// its pattern and the twins of the matches give when looked up one by one, and the console
// shows the pattern and matches of each.
TEST_F(SceneWalkTest, ManyTextureReferencesRecordWhatEachGivesOneByOne)
{
    using L = SceneBuilder;
    constexpr int k_folders = 6;
    constexpr int k_textures = 300;
    Json children = Json::array();
    std::vector<std::pair<std::string, std::string>> references; // label, reference
    for (int t = 0; t < k_textures; ++t) {
        const std::string folder = "tex/d" + std::to_string(t % k_folders) + "/";
        const std::string name = "t" + std::to_string(t);
        files.write(folder + name + ".1001.exr");
        files.write(folder + name + ".1002.exr");
        if (t % 3 == 0)
            files.write(folder + name + ".1002.tx");
        const std::string reference =
            files.file(folder + (t % 11 == 5 ? "gone" : name) + ".<UDIM>.exr");
        for (int copy = 0; copy < 3; ++copy) {
            const std::string location = "m" + std::to_string(t) + "_" + std::to_string(copy);
            children.push_back(L::location(
                location, "polymesh",
                {{"material", {{"nodes", {{"n", {{"parameters", {{"filename", reference}}}}}}}}}}));
            references.emplace_back("/scene/" + location + ".material.nodes.n.parameters.filename",
                                    reference);
        }
    }
    load(SceneBuilder()
             .scene_graph("main", L::location("scene", "group", Json::object(), children))
             .node("Render1", "Render")
             .producer("main"));
    const std::string out = collect();

    Json found = Json::array();
    Json missing = Json::array();
    std::string printed;
    for (const auto& [label, reference] : references) {
        const std::string pattern = replace_all(reference, "<UDIM>", "*");
        const std::vector<std::string> matches = glob(pattern);
        printed += "'" + pattern + "'\n";
        if (matches.empty())
            missing.push_back(label + " **** " + pattern);
        for (const std::string& match : matches) {
            printed += "'" + match + "'\n";
            found.push_back(label + " ---> " + match);
            if (const std::string twin = replace_all(match, ".exr", ".tx"); fs::exists(twin))
                found.push_back(label + " ---> " + twin);
        }
    }
    const Json asset = job_file("asset.json");
    EXPECT_EQ(asset.at("asset"), found);
    EXPECT_EQ(asset.at("missing"), missing);
    EXPECT_NE(out.find(printed), std::string::npos);
}

// scene.json is written in the layout of the job documents, non-ASCII characters escaped,
// whatever its names and values hold: text that needs escaping, non-ASCII names, numbers, lists and
// groups, a text longer than the writer's block, and a deep tree.
TEST(PendingSceneFile, WritesTheTreeInTheJobDocumentLayout)
{
    TempDir dir;
    const std::string target = dir.file("scene.json");
    const std::string long_text(70000, 'x');
    std::string deep = "/scene";
    for (int i = 0; i < 40; ++i)
        deep += "/d";
    {
        PendingSceneFile file(target);
        file.location("/scene/a");
        file.set("type", "polymesh");
        file.set("material.nodes.t.parameters.filename", "/tex/caf\xc3\xa9 \"q\"\\.exr");
        file.set("count", 3);
        file.set("ratio", 0.5);
        file.set("list", Json::array({1, "x", Json::object({{"k", "v"}})}));
        file.set("empty", Json::object());
        file.location("/scene/b\xc3\xa9");
        file.set("long", long_text);
        file.location(deep);
        file.set("type", "group");
        file.close();
        file.finish();
    }
    Json expected = Json::object();
    Json& root = expected[""]["scene"];
    root["a"]["type"] = "polymesh";
    root["a"]["material.nodes.t.parameters.filename"] = "/tex/caf\xc3\xa9 \"q\"\\.exr";
    root["a"]["count"] = 3;
    root["a"]["ratio"] = 0.5;
    root["a"]["list"] = Json::array({1, "x", Json::object({{"k", "v"}})});
    root["a"]["empty"] = Json::object();
    root["b\xc3\xa9"]["long"] = long_text;
    Json* node = &root;
    for (int i = 0; i < 40; ++i)
        node = &(*node)["d"];
    (*node)["type"] = "group";
    // The job documents' layout, with non-ASCII characters escaped.
    std::string wanted;
    append_ascii_value(wanted, expected, 0);
    EXPECT_EQ(read_text(target), wanted);
}

}  // namespace
}  // namespace script::testing
