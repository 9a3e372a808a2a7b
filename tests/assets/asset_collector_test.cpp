#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/errors.h"
#include "common/pyutil.h"
#include "tests/assets/collector_fixture.h"

namespace script::testing {
namespace {

using Paths = std::vector<std::string>;

std::size_t count_of(const Json& list, const std::string& line)
{
    std::size_t n = 0;
    for (const Json& item : list)
        n += item.get<std::string>() == line;
    return n;
}

Paths upload_locals(const Json& upload)
{
    Paths out;
    for (const Json& entry : upload.at("asset"))
        out.push_back(entry.at("local").get<std::string>());
    return out;
}

class AssetCollectorTest : public CollectorTest
{
protected:
    std::string f(const std::string& relative) const { return files.file(relative); }
};

TEST_F(AssetCollectorTest, WalksRulesAndRenderNodeScenesUnderTheirLabels)
{
    rules("# Image readers\n{ImageRead}{file}\n\n#Alembic\r\n{Alembic_In}{abcAsset}\n");
    files.write("tex/wall.1001.exr");
    files.write("tex/wall.1001.tx");
    files.write("tex/wall.1002.exr");
    files.write("tex/dome.hdr");
    files.write("tex/gobo.tx");
    files.write("tex/bump.exr");
    files.write("look/a.klf", "{\"materials\": []}");  // a look file without materials
    files.write("tex/hidden.exr");

    using L = SceneBuilder;
    Json geo = L::location("geo", "polymesh",
                           {{"material", {{"nodes", {{"tex1", {{"parameters", {{"filename", f("tex/wall.<UDIM>.exr")},
                                                                                {"tex0", f("tex/bump.exr")}}}}}}}}},
                            {"customProperties", {{"klf", f("look/a.klf")}}}});
    Json dome = L::location("dome", "light",
                            {{"material", {{"RedshiftLightShader", "Light_Dome"},
                                           {"RedshiftLightParams", {{"tex0", f("tex/dome.hdr")}}}}}});
    Json gobo = L::location("gobo", "light",
                            {{"material", {{"arnoldSurfaceShader", "image"},
                                           {"arnoldSurfaceParams", {{"filename", f("tex/gobo.tx")}}}}}});
    // A photometric light without a profile yields nothing; the walk goes on below it.
    Json ies = L::location("ies", "light", {{"material", {{"arnoldSurfaceShader", "standard"},
                                                          {"arnoldLightShader", "photometric_light"}}}},
                           Json::array({L::location("g\xc3\xa9o", "subdmesh")}));
    Json world = L::location("world", "group", Json::object(), Json::array({geo, dome, gobo, ies}));
    load(SceneBuilder()
             .node("rootNode", "Group")
             .node("Read1", "ImageRead").parent("rootNode").param("file", f("tex/wall.<UDIM>.exr"))
             .node("Read2", "ImageRead").bypassed().param("file", f("tex/hidden.exr"))
             .node("Read3", "ImageRead")
             .node("Read4", "ImageRead").param("file", "")
             .node("Abc", "Alembic_In").parent("rootNode").param("abcAsset", f("cache/gone.abc"))
             .scene_graph("main", L::location("scene", "group", Json::object(), Json::array({world})))
             .node("Render1", "Render").producer("main")
             .node("Render2", "Render").producer("main")
             .node("Render3", "Render").bypassed().producer(L::location("scene", "group", Json::object(),
                 Json::array({L::location("x", "polymesh", {{"customProperties", {{"klf", f("tex/hidden.exr")}}}})}))));

    const std::string out = collect();
    EXPECT_NE(out.find("--------------------start analyse: # Image readers--------------------"), std::string::npos);
    EXPECT_NE(out.find("--------------------start analyse: #Alembic--------------------"), std::string::npos);
    EXPECT_NE(out.find("Found klf in /scene/world/geo: " + f("look/a.klf")), std::string::npos);

    const Json asset = job_file("asset.json");
    EXPECT_EQ(asset.begin().key(), "scene_file_size");
    EXPECT_EQ(asset.at("scene_file_size"), 5);
    const Json& found = asset.at("asset");
    const std::string wall = " ---> " + f("tex/wall.1001.exr");
    EXPECT_EQ(count_of(found, "/rootNode/Read1.file" + wall), 1u);
    // The pattern itself is not a recorded path, so the scene-graph reference expands
    // again; its lines appear once although both render nodes handed it over.
    EXPECT_EQ(count_of(found, "/scene/world/geo.material.nodes.tex1.parameters.filename" + wall), 1u);
    EXPECT_EQ(count_of(found, "/scene/world/geo.material.nodes.tex1.parameters.tex0 ---> " + f("tex/bump.exr")), 1u);
    EXPECT_EQ(count_of(found, "/scene/world/geo.customProperties.klf ---> " + f("look/a.klf")), 1u);
    EXPECT_EQ(count_of(found, "/scene/world/domematerial.RedshiftLightParams ---> " + f("tex/dome.hdr")), 1u);
    EXPECT_EQ(count_of(found, "/scene/world/gobomaterial.arnoldLightShader ---> " + f("tex/gobo.tx")), 1u);
    for (const Json& line : found)
        EXPECT_EQ(line.get<std::string>().find("hidden"), std::string::npos) << line;

    EXPECT_EQ(asset.at("missing"), Json::array({"/rootNode/Abc.abcAsset **** " + f("cache/gone.abc")}));
    EXPECT_EQ(job_file("tips.json").at("70004"), asset.at("missing"));

    const Paths uploads = upload_locals(job_file("upload.json"));
    EXPECT_EQ(uploads.back(), job_paths().katana_scene);
    EXPECT_EQ(std::count(uploads.begin(), uploads.end(), f("tex/wall.1001.tx")), 1);
    EXPECT_EQ(std::count(uploads.begin(), uploads.end(), f("tex/hidden.exr")), 0);

    // The location tree merges both walks; non-ASCII names are \u escapes.
    const std::string scene_text = read_text(job.file("scene.json"));
    EXPECT_NE(scene_text.find("\"g\\u00e9o\": {\n"), std::string::npos);
    const Json scene = parse_json_text(scene_text);
    const Json& geo_map = scene.at("").at("scene").at("world").at("geo");
    EXPECT_EQ(geo_map.at("type"), "polymesh");
    EXPECT_EQ(geo_map.at("material.nodes.tex1.parameters.filename"), f("tex/wall.<UDIM>.exr"));
    EXPECT_EQ(scene.at("").at("scene").at("world").at("dome").at("Light_Dome"), f("tex/dome.hdr"));
    EXPECT_EQ(scene.at("").at("scene").at("world").at("gobo").at("image"), f("tex/gobo.tx"));
    EXPECT_EQ(scene.at("").at("scene").at("world").at("ies").size(), 1u);
    EXPECT_EQ(scene.at("").at("scene").size(), 1u);  // the bypassed render node's scene is not walked
}

// Groups wider than a few children are looked up by hash; two walks over them must still
// merge into one node per name, in first-met order, though each walk hands its locations
// over in several batches. scene.json is built and written on a second thread, and the
// console still shows it saved before the recorded paths are listed.
TEST_F(AssetCollectorTest, WideGroupsMergeInOrderAndTheConsoleKeepsItsOrder)
{
    using L = SceneBuilder;
    Json children = Json::array();
    constexpr int k_width = 500;
    for (int i = 0; i < k_width; ++i) {
        const std::string name = "m" + std::to_string(1000 + i);
        files.write("tex/" + name + ".exr");
        children.push_back(L::location(name, "polymesh",
                                       {{"material", {{"nodes", {{"t", {{"parameters", {{"filename", f("tex/" + name + ".exr")}}}}}}}}}}));
    }
    load(SceneBuilder()
             .scene_graph("main", L::location("scene", "group", Json::object(), Json::array({L::location("world", "group", Json::object(), children)})))
             .node("Render1", "Render").producer("main")
             .node("Render2", "Render").producer("main"));
    const std::string out = collect();

    const std::string scene_text = read_text(job.file("scene.json"));
    for (const char* name : {"\"m1000\": {", "\"m1499\": {"}) {
        const std::size_t first = scene_text.find(name);
        ASSERT_NE(first, std::string::npos) << name;
        EXPECT_EQ(scene_text.find(name, first + 1), std::string::npos) << name << " written twice";
    }
    const Json scene = parse_json_text(scene_text);
    const Json& world = scene.at("").at("scene").at("world");
    ASSERT_EQ(world.size(), std::size_t{k_width});
    int i = 0;
    for (auto it = world.begin(); it != world.end(); ++it, ++i) {
        const std::string name = "m" + std::to_string(1000 + i);
        EXPECT_EQ(it.key(), name);
        EXPECT_EQ(it.value().at("type"), "polymesh");
        EXPECT_EQ(it.value().at("material.nodes.t.parameters.filename"), f("tex/" + name + ".exr"));
    }

    const std::size_t saved = out.find("save scene.json to " + job.file("scene.json"));
    ASSERT_NE(saved, std::string::npos);
    const std::size_t listed = out.rfind(py_repr(std::string_view(f("tex/m1499.exr"))));
    ASSERT_NE(listed, std::string::npos);
    EXPECT_LT(saved, listed);
    EXPECT_LT(listed, out.find("write info to " + job.file("asset.json")));
}

// Material node values are looked up by their dotted attribute path: a node name holding
// "." reaches into the nodes below it, as the host's path lookup does.
TEST_F(AssetCollectorTest, DottedMaterialNodeNamesFollowTheAttributePath)
{
    files.write("tex/flat.exr");
    files.write("tex/nested.exr");
    using L = SceneBuilder;
    const Json nodes = {{"x.y", {{"parameters", {{"filename", f("tex/flat.exr")}}}}},
                        {"x", {{"y", {{"parameters", {{"filename", f("tex/nested.exr")}}}}}}}};
    load(SceneBuilder()
             .scene_graph("main", L::location("scene", "group", Json::object(),
                                              Json::array({L::location("geo", "polymesh", {{"material", {{"nodes", nodes}}}})})))
             .node("Render1", "Render").producer("main"));
    collect();
    const Json found = job_file("asset.json").at("asset");
    EXPECT_EQ(count_of(found, "/scene/geo.material.nodes.x.y.parameters.filename ---> " + f("tex/nested.exr")), 1u);
    for (const Json& line : found)
        EXPECT_EQ(line.get<std::string>().find("flat"), std::string::npos) << line;
}

TEST_F(AssetCollectorTest, SkipSwitchWritesOnlyTheSceneEntry)
{
    files.write("tex/a.exr");
    load(SceneBuilder().node("Read1", "ImageRead").param("file", f("tex/a.exr")));
    job.write("asset.json", R"({"stale": true})");
    {
        ScopedEnv skip("katana_ignore_assets", "1");
        const std::string out = collect();
        EXPECT_NE(out.find("*****ignore analyse asset******"), std::string::npos);
    }
    EXPECT_EQ(job_file("asset.json"), Json::parse(R"({"missing": [], "asset": []})"));
    EXPECT_EQ(upload_locals(job_file("upload.json")), Paths{job_paths().katana_scene});
    EXPECT_FALSE(std::filesystem::exists(job.file("scene.json")));

    for (const char* value : {"0", "true"}) {
        ScopedEnv skip("katana_ignore_assets", value);
        collect();
        EXPECT_EQ(job_file("asset.json").at("asset").size(), 1u) << value;
    }
}

TEST_F(AssetCollectorTest, ReportsAndUploadsAreFilteredAndDeduplicatedInOrder)
{
    files.write("Program Files/a.exr");
    files.write("tex/a,b.exr");
    files.write("tex/z.exr");
    files.write("tex/y.exr");
    load(SceneBuilder()
             .node("R1", "ImageRead").param("file", f("tex/z.exr"))
             .node("R2", "ImageRead").param("file", f("Program Files/a.exr"))
             .node("R3", "ImageRead").param("file", f("tex/a,b.exr"))
             .node("R4", "ImageRead").param("file", f("gone/m.exr"))
             .node("R5", "ImageRead").param("file", f("gone/m.exr"))
             .node("R6", "ImageRead").param("file", f("tex/y.exr")));
    job.write("asset.json", R"({"stale": true})");
    collect();

    const Json asset = job_file("asset.json");
    EXPECT_FALSE(asset.contains("stale"));
    // A missing file met under two labels: two report lines, one missing path. The second
    // label records it as found too, but a path recorded missing is never uploaded.
    EXPECT_EQ(asset.at("missing"), Json::array({"/R4.file **** " + f("gone/m.exr"), "/R5.file **** " + f("gone/m.exr")}));
    EXPECT_EQ(asset.at("asset"),
              Json::array({"/R1.file ---> " + f("tex/z.exr"), "/R5.file ---> " + f("gone/m.exr"),
                           "/R6.file ---> " + f("tex/y.exr")}));
    EXPECT_EQ(upload_locals(job_file("upload.json")),
              (Paths{f("tex/z.exr"), f("tex/y.exr"), job_paths().katana_scene}));
}

TEST_F(AssetCollectorTest, UploadPathsAreCanonicalAndRecordedFormsStayInReports)
{
    // Relative recorded paths are uploaded by their absolute form, which must exist.
    const TempDir work;
    work.write("C:/tex/a.tx", "x");
    work.write("x", "x");
    load(SceneBuilder());
    auto c = idle();
    c.record("/n.file", ReaderResult{{"c:\\tex\\a.tx", "x", "rel/gone.exr"}, {"rel/gone.exr"}});
    const std::string cwd = platform::current_dir();
    ASSERT_TRUE(platform::change_dir(work.path()));
    {
        ConsoleCapture capture;
        c.collect();
    }
    platform::change_dir(cwd);
    EXPECT_EQ(job_file("asset.json").at("asset"),
              Json::array({"/n.file ---> c:\\tex\\a.tx", "/n.file ---> x", "/n.file ---> rel/gone.exr"}));
    // A relative path recorded as missing is not uploaded in its absolute form either.
    const Paths uploads = upload_locals(job_file("upload.json"));
    ASSERT_EQ(uploads.size(), 3u);
    EXPECT_EQ(uploads[0], work.path() + "/C:/tex/a.tx"); // absolute on this platform
    EXPECT_EQ(uploads[1], work.path() + "/x");
    EXPECT_EQ(job_file("upload.json").at("asset")[0].at("server"), "/" + replace_all(uploads[0], ":", ""));
}

TEST_F(AssetCollectorTest, UploadListHoldsOnlyExistingRegularFiles)
{
    // References that occur inside a recorded path are filed as found without the disk: a
    // bare name and a folder stay in the report but are never uploaded.
    files.write("tex/a.exr");
    files.write("tex/sub/b.exr");
    load(SceneBuilder()
             .node("R1", "ImageRead")
             .param("file", f("tex/a.exr"))
             .node("R2", "ImageRead")
             .param("file", "a.exr")
             .node("R3", "ImageRead")
             .param("file", f("tex/sub/b.exr"))
             .node("R4", "ImageRead")
             .param("file", f("tex/sub")));
    const TempDir elsewhere;
    const std::string cwd = platform::current_dir();
    ASSERT_TRUE(platform::change_dir(elsewhere.path()));
    collect();
    platform::change_dir(cwd);
    const Json asset = job_file("asset.json");
    EXPECT_EQ(
        asset.at("asset"),
        Json::array({"/R1.file ---> " + f("tex/a.exr"), "/R2.file ---> a.exr",
                     "/R3.file ---> " + f("tex/sub/b.exr"), "/R4.file ---> " + f("tex/sub")}));
    EXPECT_EQ(upload_locals(job_file("upload.json")),
              (Paths{f("tex/a.exr"), f("tex/sub/b.exr"), job_paths().katana_scene}));
}

// Files found by a wildcard are uploaded only when they are regular files, or links to
// them, however the walk came to know them: as matches or as texture cache twins.
TEST_F(AssetCollectorTest, WildcardMatchesAndTwinsAreUploadedOnlyWhenRegularFiles)
{
    namespace stdfs = std::filesystem;
    files.write("tex/real.exr");
    files.write("tex/seq.1001.exr");
    files.write("tex/seq.1001.tx");
    stdfs::create_symlink(f("tex/real.exr"), f("tex/seq.1002.exr"));
    stdfs::create_symlink(f("tex/gone.exr"), f("tex/seq.1003.exr"));
    stdfs::create_directories(f("tex/seq.1004.exr"));
    stdfs::create_directories(f("tex/folder"));
    stdfs::create_symlink(f("tex/folder"), f("tex/seq.1002.tx"));
    load(SceneBuilder().node("R1", "ImageRead").param("file", f("tex/seq.<UDIM>.exr")));
    collect();
    Paths found;
    const Json asset = job_file("asset.json");
    for (const Json& line : asset.at("asset"))
        found.push_back(line.get<std::string>().substr(std::string("/R1.file ---> ").size()));
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (Paths{f("tex/seq.1001.exr"), f("tex/seq.1001.tx"), f("tex/seq.1002.exr"),
                            f("tex/seq.1002.tx"), f("tex/seq.1003.exr"), f("tex/seq.1004.exr")}));
    Paths uploads = upload_locals(job_file("upload.json"));
    ASSERT_FALSE(uploads.empty());
    EXPECT_EQ(uploads.back(), job_paths().katana_scene);
    uploads.pop_back();
    std::sort(uploads.begin(), uploads.end());
    EXPECT_EQ(uploads, (Paths{f("tex/seq.1001.exr"), f("tex/seq.1001.tx"), f("tex/seq.1002.exr")}));
}

// Reports of a scene large enough to pass through the job files' buffer many times come
// out byte for byte as the whole documents would be written: every found texture under both
// locations naming it, every missing one under its one location, the upload list in first-met
// order with the scene last.
TEST_F(AssetCollectorTest, LargeReportsAreWrittenWhole)
{
    using L = SceneBuilder;
    Json children = Json::array();
    Json missing = Json::array();
    Json found = Json::array();
    Json upload = Json::array();
    const auto add = [&](const std::string& name, const std::string& path) {
        children.push_back(L::location(name, "polymesh",
                                       {{"material", {{"nodes", {{"t", {{"parameters", {{"filename", path}}}}}}}}}}));
        return "/scene/world/" + name + ".material.nodes.t.parameters.filename";
    };
    const auto upload_entry = [](const std::string& path) {
        Json entry = Json::object();
        entry["local"] = path;
        entry["server"] = path;
        return entry;
    };
    for (int i = 0; i < 12000; ++i) {
        // Some names need escaping in JSON: lines of plain and escaped pieces alternate.
        const std::string name = i % 7 == 3 ? "caf\xc3\xa9_\"" : "wall_";
        const std::string path =
            f("show/seq010/shot0420/lookdev/textures/d" + std::to_string(i / 500) + "/" + name + std::to_string(i) + "_diffuse.exr");
        if (i % 10 == 0) {
            missing.push_back(add("a" + std::to_string(i), path) + " **** " + path);
            continue;
        }
        files.write(path.substr(files.path().size() + 1));
        found.push_back(add("a" + std::to_string(i), path) + " ---> " + path);
        found.push_back(add("b" + std::to_string(i), path) + " ---> " + path);
        upload.push_back(upload_entry(path));
    }
    // A line longer than a block the reports are written in.
    const std::string long_path = f("long/" + std::string(70000, 'x') + ".exr");
    missing.push_back(add("long", long_path) + " **** " + long_path);
    upload.push_back(upload_entry(job_paths().katana_scene));
    load(SceneBuilder()
             .scene_graph("main", L::location("scene", "group", Json::object(),
                                              Json::array({L::location("world", "group", Json::object(), children)})))
             .node("Render1", "Render")
             .producer("main"));
    collect();

    const std::string asset_text = read_text(job.file("asset.json"));
    EXPECT_GT(asset_text.size(), 8 * TextStream::k_default_block);
    const Json asset = parse_json_text(asset_text);
    Json expected = Json::object();
    for (const char* key : {"scene_file_size", "asset_size", "missing", "asset_num", "asset", "scene_file"})
        expected[key] = asset.at(key);
    expected["missing"] = missing;
    expected["asset"] = found;
    EXPECT_EQ(asset_text, dump_job_document(expected));
    EXPECT_EQ(read_text(job.file("tips.json")), dump_job_document(Json{{"70004", missing}}));
    EXPECT_EQ(read_text(job.file("upload.json")), dump_job_document(Json{{"asset", upload}}));
}

TEST_F(AssetCollectorTest, FailuresEndTheStep)
{
    load(SceneBuilder());
    job_paths().task_json.clear();
    EXPECT_THROW(collect(), Error);
    job_paths().task_json = job.file("task.json");
    rules("{ImageRead}\n");
    EXPECT_THROW(collect(), Error);
    bin.write("filter.txt", "");
    std::filesystem::remove(bin.file("filter.txt"));
    EXPECT_THROW(collect(), Error);
}

}  // namespace
}  // namespace script::testing
