#include "readers/arnold_scene.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "common/errors.h"
#include "tests/assets/collector_fixture.h"

namespace script::testing {
namespace {

using Paths = std::vector<std::string>;

// In normal form, as nested scene descriptions are named.
const std::string k_arnold =
    std::filesystem::path(ANALYSER_SHARED_TESTDATA "/arnold").lexically_normal().string();

TEST(ArnoldPaths, NamesAsTheRendererReadsThem)
{
    const struct
    {
        const char* in;
        const char* expected;
    } normalised[] = {
        {"D:\\\\tex\\\\a.tx", "D:/tex/a.tx"},
        {"D:\\tex\\a.tx", "D:/tex/a.tx"},
        {"\\\\server\\share\\a.tx", "//server/share/a.tx"},
        {"/show//tex///a.tx", "/show/tex/a.tx"},
        {"tex\\a.tx", "tex/a.tx"},
    };
    for (const auto& c : normalised) {
        EXPECT_EQ(readers::normalise_arnold_path(c.in), c.expected) << c.in;
    }

    const struct
    {
        const char* in;
        const char* expected;
    } tokens[] = {
        {"a.<udim>.tx", "a.<udim>.tx"},         {"a.<UDIM>.tx", "a.<UDIM>.tx"},
        {"a.<Udim>.tx", "a.<udim>.tx"},         {"a<tile>.tx", "a_u<udim>_v<udim>.tx"},
        {"a<TILE>.tx", "a_u<udim>_v<udim>.tx"}, {"<attr:tex default:x>.tx", "<udim>.tx"},
        {"a.<frame>.tx", "a.<frame>.tx"},       {"a<b", "a<b"},
    };
    for (const auto& c : tokens) {
        EXPECT_EQ(readers::arnold_tokens_for_expansion(c.in), c.expected) << c.in;
    }
}

TEST(ArnoldPaths, SearchFoldersExpandSplitAndJoin)
{
    ScopedEnv set("ARNOLD_TEST_TEX", "/show/tex");
    ScopedEnv list("ARNOLD_TEST_LIST", "/a:/b");
    ScopedEnv unset("ARNOLD_TEST_UNSET", nullptr);
    const struct
    {
        const char* value;
        Paths folders;
    } cases[] = {
        {"[ARNOLD_TEST_TEX]:maps", {"/show/tex", "/file/dir/maps"}},
        {"C:/textures;[ARNOLD_TEST_TEX]:D:\\lib", {"C:/textures", "/show/tex", "D:/lib"}},
        {"[ARNOLD_TEST_LIST];x", {"/a", "/b", "/file/dir/x"}},
        {"[ARNOLD_TEST_UNSET]/t", {"/file/dir/[ARNOLD_TEST_UNSET]/t"}},
        {"\\\\srv\\tex;;", {"//srv/tex"}},
        {"", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(readers::arnold_search_folders(c.value, "/file/dir"), c.folders) << c.value;
    }
    EXPECT_EQ(readers::expand_arnold_variables("[ARNOLD_TEST_TEX]/[ARNOLD_TEST_UNSET]/[]/a[b"),
              "/show/tex/[ARNOLD_TEST_UNSET]/[]/a[b");
}

// Records what the collector asks of the renderer, and fails a load on request.
class RecordingScene : public readers::ArnoldSceneApi
{
public:
    void begin() override { ++begun; }
    void end() noexcept override { ++ended; }
    readers::ArnoldUniverse load(const std::string& path) override
    {
        loaded.push_back(path);
        if (path.ends_with(fail_on)) {
            throw Error("load failed: " + path);
        }
        return m_backend.load(path);
    }

    int begun = 0;
    int ended = 0;
    Paths loaded;
    std::string fail_on = "<none>";

private:
    readers::AssFileScene m_backend{readers::arnold_kept_parameters()};
};

class ArnoldSceneTest : public CollectorTest
{
protected:
    std::string f(const std::string& relative) const { return files.file(relative); }

    static std::string block(const std::string& type, const std::string& parameter,
                             const std::string& value)
    {
        return type + "\n{\n name n" + std::to_string(++s_names) + "\n " + parameter + " \"" +
               value + "\"\n}\n";
    }

    Paths found(const zel_Katana_asset& c, const std::string& label) const
    {
        const auto p = c.ASSET_JSON.asset.find(label);
        return p ? *p : Paths{};
    }
    Paths missing(const zel_Katana_asset& c, const std::string& label) const
    {
        const auto p = c.ASSET_JSON.missing.find(label);
        return p ? *p : Paths{};
    }
    static bool has(const Paths& paths, const std::string& path)
    {
        return std::find(paths.begin(), paths.end(), path) != paths.end();
    }

    static inline int s_names = 0;
};

TEST_F(ArnoldSceneTest, RealFilesNameTheirTexturesProfilesVolumesAndCaches)
{
    auto c = idle();
    ConsoleCapture capture;
    const struct
    {
        std::string folder;
        Paths inner;
    } cases[] = {
        {"/arnoldusd/test_0114/", {"check.tx"}},
        {"/arnoldusd/test_0075/", {"6.ies", "12.IES"}},
        {"/arnoldusd/test_17642/", {"torus01.vdb"}},
        {"/arnoldusd/test_0117/", {"Bottle.abc"}},
        {"/arnoldusd/test_0001/", {"Particles_Splash.101.usd"}},
        {"/arnoldusd/test_0195/", {"scene.usda"}},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.folder);
        const std::string scene = k_arnold + tc.folder + "test.ass";
        const ReaderResult result = c.getAssSequen(scene);
        EXPECT_EQ(result.asset, Paths{scene});
        EXPECT_EQ(result.miss, Paths{});
        for (const std::string& name : tc.inner) {
            EXPECT_TRUE(has(found(c, scene), k_arnold + tc.folder + name)) << name;
        }
        // Output drivers name the render's images, never a dependency.
        EXPECT_FALSE(has(found(c, scene), k_arnold + tc.folder + "testrender.tif"));
        EXPECT_EQ(missing(c, scene), Paths{});
    }
    const std::string out = capture.finish();
    EXPECT_NE(out.find("filename: 12.IES\n"), std::string::npos);
    EXPECT_EQ(out.find("testrender.tif"), std::string::npos);
}

TEST_F(ArnoldSceneTest, RealStandInChainsAreReadOnceEach)
{
    auto c = idle();
    ConsoleCapture capture;
    const std::string gz = k_arnold + "/arnoldusd-gz/test_0100/";
    const ReaderResult chain = c.getAssSequen(gz + "test.ass.gz");
    EXPECT_EQ(chain.asset, (Paths{gz + "test.ass.gz", gz + "standin3.ass", gz + "standin2.ass",
                                  gz + "standin1.ass"}));
    EXPECT_EQ(chain.miss, Paths{});

    const std::string many = k_arnold + "/arnoldusd/test_0090/";
    EXPECT_EQ(c.getAssSequen(many + "test.ass").asset,
              (Paths{many + "test.ass", many + "sphere.ass"}));

    // Paths relative to another folder than the file's own are missing beside the file.
    const std::string header = k_arnold + "/alshaders/test/";
    const ReaderResult result = c.getAssSequen(header + "test_header.ass");
    EXPECT_EQ(result.miss, Paths{header + "test/test_geo.ass.gz"});
    EXPECT_TRUE(has(missing(c, header + "test_header.ass"), header + "test/A.png"));
    const std::string out = capture.finish();
    for (const std::string& standin : {gz + "standin1.ass", many + "sphere.ass"}) {
        const std::string line = "start analyse arnold scene description : " + standin + "\n";
        std::size_t count = 0;
        for (std::size_t at = out.find(line); at != std::string::npos;
             at = out.find(line, at + 1)) {
            ++count;
        }
        EXPECT_EQ(count, 1u) << standin;
    }
}

TEST_F(ArnoldSceneTest, CyclesDiamondsAndTwins)
{
    // a -> b -> a (a cycle, and a reads itself); a -> c, b -> d, c -> d (a diamond).
    files.write("s/a.ass", block("procedural", "filename", "b.ass") +
                               block("procedural", "filename", "a.ass") +
                               block("procedural", "filename", "c.ass"));
    files.write("s/b.ass", block("procedural", "filename", "a.ass") +
                               block("procedural", "filename", "d.ass"));
    files.write("s/c.ass", block("procedural", "filename", "d.ass"));
    files.write("s/d.ass", block("image", "filename", "d.tx") +
                               block("procedural", "filename", "gone.ass") +
                               block("procedural", "filename", "zipped.ass"));
    files.write("s/d.tx");
    // The reference names the plain form; only the compressed twin is on disk.
    files.write("s/zipped.ass.gz", block("image", "filename", "z.tx"));
    auto c = idle();
    RecordingScene api;
    ConsoleCapture capture;
    const ReaderResult result = c.getAssSequen(f("s/a.ass"), api);
    EXPECT_EQ(api.loaded, (Paths{f("s/a.ass"), f("s/b.ass"), f("s/d.ass"), f("s/zipped.ass.gz"),
                                 f("s/c.ass")}));
    EXPECT_EQ(result.asset, (Paths{f("s/a.ass"), f("s/b.ass"), f("s/d.ass"), f("s/zipped.ass.gz"),
                                   f("s/c.ass")}));
    // One that exists in neither form is missing, never found.
    EXPECT_EQ(result.miss, Paths{f("s/gone.ass")});
    EXPECT_EQ(found(c, f("s/a.ass")), Paths{f("s/d.tx")});
    EXPECT_EQ(missing(c, f("s/a.ass")), Paths{f("s/z.tx")});
    EXPECT_EQ(api.begun, 1);
    EXPECT_EQ(api.ended, 1);
    EXPECT_TRUE(c.AssLists.contains(f("s/zipped.ass.gz")));

    // Read in an earlier call, a file is not read again as a nested one.
    files.write("s/e.ass", block("procedural", "filename", "d.ass"));
    RecordingScene again;
    EXPECT_EQ(c.getAssSequen(f("s/e.ass"), again).asset, Paths{f("s/e.ass")});
    EXPECT_EQ(again.loaded, Paths{f("s/e.ass")});
}

TEST_F(ArnoldSceneTest, CyclesThroughParentFoldersAndLinksEnd)
{
    // x names itself through its parent folder, and through a link to its own folder.
    files.write("set/x.ass", block("procedural", "filename", "../set/x.ass") +
                                 block("procedural", "filename", "loop/x.ass") +
                                 block("image", "filename", "x.tx"));
    std::filesystem::create_directory_symlink(f("set"), f("set/loop"));
    auto c = idle();
    RecordingScene api;
    ConsoleCapture capture;
    const ReaderResult result = c.getAssSequen(f("set/x.ass"), api);
    EXPECT_EQ(api.loaded, Paths{f("set/x.ass")});
    EXPECT_EQ(result.asset, Paths{f("set/x.ass")});
    EXPECT_EQ(missing(c, f("set/x.ass")), Paths{f("set/x.tx")});
}

TEST_F(ArnoldSceneTest, SessionEndsOnEveryWayOut)
{
    files.write("s/top.ass", block("procedural", "filename", "inner.ass"));
    files.write("s/inner.ass", block("image", "filename", "/t.tx"));
    auto c = idle();
    ConsoleCapture capture;
    RecordingScene api;
    api.fail_on = "inner.ass";
    EXPECT_THROW(c.getAssSequen(f("s/top.ass"), api), Error);
    EXPECT_EQ(api.begun, 1);
    EXPECT_EQ(api.ended, 1);

    // The file given cannot be opened: the run ends with a message naming it.
    try {
        c.getAssSequen(f("s/none.ass"));
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "cannot open arnold scene description: " + f("s/none.ass"));
    }
}

TEST_F(ArnoldSceneTest, OutputDriversAreSkippedAndOtherInputsCollected)
{
    files.write(
        "s/scene.ass",
        block("driver_exr", "filename", "out.exr") + block("driver_tiff", "filename", "out.tif") +
            block("driver_png", "filename", "out.png") +
            block("driver_deepexr", "filename", "deep.exr") +
            block("driver_jpeg", "filename", "out.jpg") + block("polymesh", "filename", "poly.tx") +
            block("MayaFile", "filename", "maya.tx") + block("alembic", "layers", "layer.abc") +
            block("color_manager_ocio", "config", "ocio/config.ocio") +
            block("procedural", "dso", "old.ass") + block("procedural", "dso", "libcrowd.so") +
            block("include_graph", "filename", "graph.ass") +
            block("materialx", "filename", "look.mtlx") + block("usd", "filename", "layer.usda") +
            block("image", "filename", "D:\\tex\\a.tx"));
    for (const char* name :
         {"out.exr", "out.tif", "out.png", "deep.exr", "out.jpg", "poly.tx", "maya.tx", "layer.abc",
          "look.mtlx", "layer.usda", "ocio/luts/a.spi1d"}) {
        files.write(std::string("s/") + name);
    }
    files.write("s/ocio/config.ocio", "search_path: luts\n");
    files.write("s/old.ass", block("image", "filename", "old.tx"));
    files.write("s/graph.ass", block("image", "filename", "graph.tx"));
    auto c = idle();
    ConsoleCapture capture;
    const ReaderResult result = c.getAssSequen(f("s/scene.ass"));
    EXPECT_EQ(result.asset, (Paths{f("s/scene.ass"), f("s/old.ass"), f("s/graph.ass")}));
    const std::string label = f("s/scene.ass");
    // The USD layer is the match and, read as a layer tree, its own tree's first member.
    EXPECT_EQ(found(c, label),
              (Paths{f("s/maya.tx"), f("s/layer.abc"), f("s/ocio/config.ocio"),
                     f("s/ocio/luts/a.spi1d"), f("s/look.mtlx"), f("s/layer.usda"),
                     f("s/layer.usda")}));
    EXPECT_EQ(missing(c, label), (Paths{f("s/old.tx"), f("s/graph.tx"), "D:/tex/a.tx"}));
}

TEST_F(ArnoldSceneTest, RelativeNamesBesideTheFileThenThroughTheSearchPaths)
{
    ScopedEnv root("ARNOLD_TEST_ROOT", files.file("lib").c_str());
    files.write(
        "s/scene.ass",
        "options\n{\n texture_searchpath \"maps;[ARNOLD_TEST_ROOT]/tex\"\n"
        " procedural_searchpath \"[ARNOLD_TEST_ROOT]/sets\"\n asset_searchpath \"shared\"\n}\n" +
            block("image", "filename", "near.tx") + block("image", "filename", "wall.<udim>.tx") +
            block("image", "filename", "stone<tile>.tx") + block("image", "filename", "common.tx") +
            block("image", "filename", "tree.ass.tx") + block("image", "filename", "nowhere.tx") +
            block("procedural", "filename", "tree.ass") +
            block("image", "filename", "[ARNOLD_TEST_ROOT]/abs.tx"));
    files.write("s/near.tx");
    files.write("s/maps/wall.1001.tx");
    files.write("lib/tex/stone_u1_v1.tx");
    files.write("lib/tex/near.tx"); // found beside the file first
    files.write("s/shared/common.tx");
    files.write("lib/abs.tx");
    files.write("lib/sets/tree.ass.gz", block("image", "filename", "bark.tx"));
    files.write("lib/sets/bark.tx");
    auto c = idle();
    ConsoleCapture capture;
    const ReaderResult result = c.getAssSequen(f("s/scene.ass"));
    EXPECT_EQ(result.asset, (Paths{f("s/scene.ass"), f("lib/sets/tree.ass.gz")}));
    const std::string label = f("s/scene.ass");
    EXPECT_EQ(found(c, label),
              (Paths{f("s/near.tx"), f("s/maps/wall.1001.tx"), f("lib/tex/stone_u1_v1.tx"),
                     f("s/shared/common.tx"), f("lib/sets/bark.tx"), f("lib/abs.tx")}))
        << capture.finish();
    EXPECT_EQ(missing(c, label), (Paths{f("s/tree.ass.tx"), f("s/nowhere.tx")}));
}

TEST_F(ArnoldSceneTest, CrowdFoldersAreListedOncePerCall)
{
    files.write("crowd/agents/a.ass", block("image", "filename", "never_read.tx"));
    files.write("crowd/agents/skin.tx");
    files.write("s/scene.ass", block("m_a5_proc", "G_assetsPath", "..\\crowd\\agents") +
                                   block("m_a5_proc", "G_assetsPath", "../crowd/agents") +
                                   block("m_a5_proc", "G_assetsPath", "../crowd/agents") +
                                   block("m_a5_proc", "G_assetsPath", "/no/crowd/here"));
    auto c = idle();
    RecordingScene api;
    ConsoleCapture capture;
    const ReaderResult result = c.getAssSequen(f("s/scene.ass"), api);
    const std::string agents = f("s/../crowd/agents/");
    EXPECT_EQ(result.asset, (Paths{f("s/scene.ass"), agents + "a.ass", agents + "skin.tx"}));
    EXPECT_EQ(result.miss, Paths{"/no/crowd/here"});
    EXPECT_EQ(api.loaded, Paths{f("s/scene.ass")});
    EXPECT_TRUE(c.AssLists.contains(agents + "a.ass"));
}

TEST_F(ArnoldSceneTest, MalformedFilesWarnOnceAndTheRunGoesOn)
{
    files.write("s/bad.ass",
                block("image", "filename", "ok.tx") + "stray\nimage\n{\n filename \"cut.tx\n");
    files.write("s/ok.tx");
    files.write("s/sub.ass", "[Script Info]\nTitle: subtitles\n");
    auto c = idle();
    ConsoleCapture capture;
    EXPECT_EQ(c.getAssSequen(f("s/bad.ass")).asset, Paths{f("s/bad.ass")});
    EXPECT_EQ(found(c, f("s/bad.ass")), Paths{f("s/ok.tx")});
    EXPECT_EQ(c.getAssSequen(f("s/sub.ass")).asset, Paths{f("s/sub.ass")});
    const std::string out = capture.finish();
    EXPECT_NE(
        out.find("Warnning: arnold scene description read as far as it parses: " + f("s/bad.ass") +
                 ":6: unexpected \"stray\" outside a node block (3 problems in all)\n"),
        std::string::npos)
        << out;
    EXPECT_NE(
        out.find("Warnning: not an arnold scene description, not read: " + f("s/sub.ass") + "\n"),
        std::string::npos);
}

TEST_F(ArnoldSceneTest, SequenceExpansionHandsFoundSceneDescriptionsOn)
{
    files.write("s/set.ass.gz", "");
    files.write("s/tex/in.tx");
    {
        const std::string text =
            block("image", "filename", "tex/in.tx") + block("image", "filename", "tex/out.tx");
        // Compressed, under the plain name: the bytes decide.
        z_stream z{};
        deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
        std::string gz(deflateBound(&z, text.size()) + 32, '\0');
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
        z.avail_in = static_cast<uInt>(text.size());
        z.next_out = reinterpret_cast<Bytef*>(gz.data());
        z.avail_out = static_cast<uInt>(gz.size());
        deflate(&z, Z_FINISH);
        gz.resize(z.total_out);
        deflateEnd(&z);
        files.write("s/set.ass.gz", gz);
    }
    auto c = idle();
    ConsoleCapture capture;
    // The reference names the plain form; its compressed twin is on disk.
    c.AnaylseSeq("/scene/standin.filename", f("s/set.ass"));
    EXPECT_EQ(found(c, "/scene/standin.filename"), (Paths{f("s/set.ass.gz"), f("s/set.ass.gz")}));
    EXPECT_EQ(found(c, f("s/set.ass.gz")), Paths{f("s/tex/in.tx")});
    EXPECT_EQ(missing(c, f("s/set.ass.gz")), Paths{f("s/tex/out.tx")});
}

} // namespace
} // namespace script::testing
