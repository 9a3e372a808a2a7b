#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "assets/asset_collector.h"
#include "common/platform.h"
#include "common/pypath.h"
#include "host/standalone_host.h"
#include "readers/usd_layer.h"
#include "readers/usda.h"
#include "readers/usdc.h"
#include "tests/support/temp_dir.h"
#include "tests/support/usdc_writer.h"

namespace script {
namespace {

using testing::ConsoleCapture;
using testing::ScopedEnv;
using testing::TempDir;
using Strings = std::vector<std::string>;
using ByLabel = std::map<std::string, Strings>;

// Label -> distinct paths, sorted: what the reports will hold.
ByLabel by_label(const assets::LabelledPaths& paths)
{
    ByLabel out;
    for (const auto& [label, ids] : paths.entries()) {
        Strings texts = *paths.find(label);
        std::sort(texts.begin(), texts.end());
        texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
        out[std::string(label)] = texts;
    }
    return out;
}

class UsdCollector : public ::testing::Test
{
protected:
    UsdCollector() { m_host.load_document(Json::object(), "scene"); }

    std::string layer(const std::string& name, const std::string& body)
    {
        return m_dir.write(name, "#usda 1.0\n" + body);
    }
    std::string at(const std::string& name) const { return m_dir.file(name); }

    // Runs the expansion of one scene reference and returns the console.
    std::string analyse(const std::string& path)
    {
        ConsoleCapture capture;
        m_collector.AnaylseSeq(k_label, path);
        return capture.finish();
    }

    static constexpr const char* k_label = "/scene/stage.file";
    host::StandaloneHost m_host;
    zel_Katana_asset m_collector{m_host, zel_Katana_asset::NoCollect{}};
    TempDir m_dir;
};

TEST_F(UsdCollector, WholeTreeWithPathsAnchoredToTheLayerThatNamesThem)
{
    const std::string root = layer("shot/root.usda",
                                   "(\n  subLayers = [@./sub/a.usda@ (offset = 3)]\n)\n"
                                   "# @./ghost.usd@ is only a comment\n"
                                   "def \"S\" (doc = \"see @./ghost2.usd@\") {\n"
                                   "  asset env = @[USD_TEST_ENV]/sky.hdr@\n}\n");
    layer("shot/sub/a.usda",
          "def \"A\" (\n  prepend payload = @./b.usda@</B> (offset = 5)\n"
          "  references = @./deeper/c.usda@</C>\n"
          "  clips = { dictionary default = { string templateAssetPath = \"./clips/c.##.usd\" } }\n"
          ")\n{\n  asset inputs:file = @./tex/wood.<UDIM>.exr@\n"
          "  asset pkg = @./pkg.usdz[tex/inner.png]@\n}\n");
    layer("shot/sub/b.usda", "def \"B\" { asset f = @../../shared/grain.exr@ }\n");
    // Two levels down: a missing layer and a reference back to the root (a cycle).
    layer("shot/sub/deeper/c.usda",
          "def \"C\" (references = [@./nothere.usd@, @../../root.usda@]) {}\n");
    for (const char* name : {"shot/sub/tex/wood.1001.exr", "shot/sub/tex/wood.1001.tx",
                             "shot/sub/tex/wood.1002.exr", "shot/tex/wood.1003.exr",
                             "shot/sub/clips/c.01.usd", "shot/sub/clips/c.02.usd",
                             "shot/sub/clips/c.1.usd", "shot/sub/pkg.usdz", "shared/grain.exr",
                             "env/sky.hdr"}) {
        m_dir.write(name, "x");
    }
    ScopedEnv env("USD_TEST_ENV", at("env").c_str());
    const std::string cwd = platform::current_dir();

    const std::string out = analyse(root);

    EXPECT_EQ(platform::current_dir(), cwd);
    const std::string sub = at("shot/sub/");
    EXPECT_EQ(by_label(m_collector.ASSET_JSON.asset),
              (ByLabel{{k_label,
                        {at("shot/root.usda"), sub + "a.usda", sub + "b.usda", sub + "clips/c.01.usd",
                         sub + "clips/c.02.usd", sub + "deeper/c.usda"}},
                       {root, {at("env/sky.hdr")}},
                       {sub + "a.usda",
                        {sub + "pkg.usdz", sub + "tex/wood.1001.exr", sub + "tex/wood.1001.tx",
                         sub + "tex/wood.1002.exr"}},
                       {sub + "b.usda", {at("shared/grain.exr")}}}));
    EXPECT_EQ(by_label(m_collector.ASSET_JSON.missing),
              (ByLabel{{k_label, {sub + "deeper/nothere.usd"}}}));
    EXPECT_EQ(out.find("ghost"), std::string::npos);
    EXPECT_NE(out.find(std::string(100, '&') + "\n"), std::string::npos);
}

TEST_F(UsdCollector, ReferenceWalkListsEveryEntryAndEndsCycles)
{
    const std::string a = layer("a.usda", "(\n  subLayers = [@./b.usda@]\n)\n"
                                          "def \"X\" (references = @/nowhere/abs.usd@) {}\n");
    const std::string b = layer("b.usda", "def \"Y\" (payload = @./a.usda@) {}\n");
    ConsoleCapture capture;
    m_collector.reset_usd_walk();
    m_collector.get_all_usd(a);
    const std::string out = capture.finish();

    EXPECT_EQ(m_collector.usd_list, (Strings{a, b, a, "/nowhere/abs.usd"}));
    EXPECT_EQ(m_collector.usdFiles, (Strings{a, a, b, b, "/nowhere/abs.usd"}));
    std::string marker;
    for (int i = 0; i < 10; ++i) {
        marker += "subLayerPaths  ";
    }
    EXPECT_NE(out.find(marker + "\n./b.usda\n"), std::string::npos) << out;
    EXPECT_NE(out.find("13 13 13 13 13 13 13 13 13 13  ./b.usda\n" + b +
                       " 14 14 14 14 14 14 14 14 14 14 \n"),
              std::string::npos)
        << out;
}

TEST_F(UsdCollector, ResolvesAgainstTheLayerFolderWithoutTheWorkingDirectory)
{
    struct Case
    {
        std::string reference, expected;
    };
    const std::vector<Case> cases = {
        {"./tex/a.exr", "/show/seq/tex/a.exr"},
        {"tex/../b.exr", "/show/seq/b.exr"},
        {"../../lib/c.usd", "/lib/c.usd"},
        {"/abs//d.usd", "/abs/d.usd"},
        {"c:\\proj\\e.usd", "C:/proj/e.usd"},
        {"//server/share/f.usd", "//server/share/f.usd"},
        {"[TEX]/g.exr", "[TEX]/g.exr"},
        {"$TEX/h.exr", "$TEX/h.exr"},
        {"http://host/i.usd", ""},
        {"", ""},
    };
    const std::string cwd = platform::current_dir();
    for (const Case& c : cases) {
        EXPECT_EQ(m_collector.resolve_ref("/show/seq/shot.usda", c.reference), c.expected)
            << c.reference;
    }
    EXPECT_EQ(platform::current_dir(), cwd);
}

TEST_F(UsdCollector, SearchPathNamesNotBesideTheirLayerAreLookedForInTheSearchPath)
{
    const std::string shot = layer("shot/shot.usda", "");
    const std::string beside = m_dir.write("shot/assets/both.usd");
    m_dir.write("lib1/assets/both.usd");
    const std::string first = m_dir.write("lib1/assets/a.usd");
    m_dir.write("lib2/assets/a.usd");
    const std::string second = m_dir.write("lib2/assets/b.usd");
    const ScopedEnv search("PXR_AR_DEFAULT_SEARCH_PATH",
                           ("/no/such:" + at("lib1") + "::" + at("lib2")).c_str());
    EXPECT_EQ(m_collector.resolve_ref(shot, "assets/a.usd"), first);
    EXPECT_EQ(m_collector.resolve_ref(shot, "assets/b.usd"), second);
    EXPECT_EQ(m_collector.resolve_ref(shot, "assets/both.usd"), beside);
    // Named from the layer's folder, patterns, and names found nowhere stay beside the layer.
    EXPECT_EQ(m_collector.resolve_ref(shot, "./assets/a.usd"), at("shot/assets/a.usd"));
    EXPECT_EQ(m_collector.resolve_ref(shot, "assets/a.<UDIM>.usd"), at("shot/assets/a.<UDIM>.usd"));
    EXPECT_EQ(m_collector.resolve_ref(shot, "assets/none.usd"), at("shot/assets/none.usd"));
}

TEST_F(UsdCollector, UnreadableLayerIsReportedFoundAndTheWalkGoesOn)
{
    const std::string root = layer("root.usda", "(\n  subLayers = [@./broken.usda@, @./fake.usd@, "
                                                "@./good.usda@]\n)\n");
    const std::string broken = layer("broken.usda", "def \"A\" {\n  asset a = @./first.png@\n"
                                                    "  asset b = @./open.png\n}\n");
    const std::string fake = m_dir.write("fake.usd", "not a layer at all");
    const std::string good = layer("good.usda", "def \"G\" { asset a = @./after.png@ }\n");
    m_dir.write("first.png", "x");
    m_dir.write("after.png", "x");

    const std::string out = analyse(root);

    EXPECT_NE(out.find("Warnning: usd layer not fully read: " + broken +
                       ":4: unterminated asset path\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Warnning: usd layer not fully read: " + fake + ": neither a text layer"),
              std::string::npos)
        << out;
    EXPECT_EQ(by_label(m_collector.ASSET_JSON.asset),
              (ByLabel{{k_label, {broken, fake, good, root}},
                       {broken, {at("first.png")}},
                       {good, {at("after.png")}}}));
    EXPECT_TRUE(m_collector.ASSET_JSON.missing.empty());
}

TEST_F(UsdCollector, RealCrateAndTextTreesOfOthers)
{
    const std::string dir =
        pypath::normpath(std::string(ANALYSER_SHARED_TESTDATA) + "/usd/openusd-checkerClean") + "/";
    for (const char* root_name : {"clean.usdc", "clean.usd"}) {
        zel_Katana_asset collector(m_host, zel_Katana_asset::NoCollect{});
        ConsoleCapture capture;
        collector.AnaylseSeq(k_label, dir + root_name);
        capture.finish();
        EXPECT_EQ(by_label(collector.ASSET_JSON.asset),
                  (ByLabel{{k_label, {dir + root_name, dir + "geom.usdc", dir + "shading.usda"}},
                           {dir + "shading.usda",
                            {dir + "mat_exr.exr", dir + "mat_jpg.jpg", dir + "mat_png.png"}}}))
            << root_name;
        EXPECT_TRUE(collector.ASSET_JSON.missing.empty()) << root_name;
    }
}

void expect_same_layer(const readers::UsdLayer& got, const readers::UsdLayer& want,
                       const std::string& what)
{
    EXPECT_EQ(got.encoding, want.encoding) << what;
    EXPECT_EQ(got.version, want.version) << what;
    EXPECT_EQ(got.refs, want.refs) << what;
    EXPECT_EQ(got.path_text, want.path_text) << what;
    EXPECT_EQ(got.owner_text, want.owner_text) << what;
    EXPECT_EQ(got.error, want.error) << what;
}

// A layer file is read whole into memory when it is small and streamed when it is large:
// both give what the readers give over a stream of the file.
TEST(UsdLayerFile, ReadWholeOrStreamedItGivesWhatAStreamGives)
{
    const std::string shared = std::string(ANALYSER_SHARED_TESTDATA) + "/usd/";
    TempDir dir;
    // Past the size read whole: text padded with comment lines, crate with points.
    std::string big_text = "#usda 1.0\n(\n    subLayers = [@./under.usda@]\n)\n";
    while (big_text.size() < 1'500'000) {
        big_text += "# " + std::string(98, '@') + "\n";
    }
    big_text += "def \"A\" {\n    asset a = @./t.<UDIM>.exr@\n}\n";
    // Between the first read and the size read whole.
    std::string mid_text = "#usda 1.0\n";
    while (mid_text.size() < 300'000) {
        mid_text += "# " + std::string(98, '-') + "\n";
    }
    mid_text += "def \"A\" {\n    asset a = @./mid.exr@\n}\n";
    // Exactly as long as the first read, and one byte longer.
    std::string edge_text = "#usda 1.0\n";
    const std::string edge_tail = "def \"A\" {\n    asset a = @./edge.exr@\n}\n";
    edge_text += "#" + std::string(64 * 1024 - edge_text.size() - edge_tail.size() - 2, '-') + "\n";
    edge_text += edge_tail;
    std::ostringstream crate;
    {
        testing::CrateWriter w(crate, 8);
        const auto points = w.points(150'000); // 1.8 MB
        w.owner("/", testing::CrateWriter::PseudoRoot,
                {{"subLayers", w.string_vector({"./under.usda"})}});
        w.owner("/A.points", testing::CrateWriter::Attribute, {{"default", points}});
        w.owner("/A.tex", testing::CrateWriter::Attribute, {{"default", w.asset("./t.exr")}});
        w.finish();
    }
    const std::vector<std::string> files = {
        shared + "openusd-checkerClean/clean.usdc",
        shared + "openusd-checkerClean/shading.usda",
        shared + "openusd-dependencyExtractor/crate.usd",
        shared + "openusd-dependencyExtractor/ascii.usd",
        dir.write("mid.usda", mid_text),
        dir.write("edge.usda", edge_text),
        dir.write("edge1.usda", edge_text + "\n"),
        dir.write("big.usda", big_text),
        dir.write("big.usdc", crate.str()),
        dir.write("cut.usda", "#usda 1.0\ndef \"A\" { asset a = @./x.exr"),
    };
    for (const std::string& file : files) {
        std::ifstream in(file, std::ios::binary);
        char magic[readers::k_usd_magic_size] = {};
        in.read(magic, sizeof magic);
        in.clear();
        in.seekg(0);
        const bool text = readers::detect_usd_encoding(std::string_view(magic, sizeof magic)) ==
                          readers::UsdEncoding::Text;
        const readers::UsdLayer streamed =
            text ? readers::read_usda(in, file) : readers::read_usdc(in, file);
        expect_same_layer(readers::read_usd_layer_file(file), streamed, file);
    }
    const readers::UsdLayer big = readers::read_usd_layer_file(dir.file("big.usda"));
    ASSERT_EQ(big.refs.size(), 2u);
    EXPECT_EQ(big.path_of(big.refs[1]), "./t.<UDIM>.exr");
    EXPECT_EQ(readers::read_usd_layer_file(dir.file("big.usdc")).refs.size(), 2u);
    const readers::UsdLayer mid = readers::read_usd_layer_file(dir.file("mid.usda"));
    ASSERT_EQ(mid.refs.size(), 1u);
    EXPECT_EQ(mid.path_of(mid.refs[0]), "./mid.exr");
    for (const char* name : {"edge.usda", "edge1.usda"}) {
        const readers::UsdLayer edge = readers::read_usd_layer_file(dir.file(name));
        ASSERT_EQ(edge.refs.size(), 1u) << name;
        EXPECT_EQ(edge.path_of(edge.refs[0]), "./edge.exr") << name;
    }
    EXPECT_NE(readers::read_usd_layer_file(dir.file("cut.usda")).error, "");

    EXPECT_EQ(readers::read_usd_layer_file(dir.file("gone.usda")).error,
              dir.file("gone.usda") + ": cannot open the layer");
    EXPECT_EQ(readers::read_usd_layer_file(dir.path()).error,
              dir.path() + ": neither a text layer (\"#usda \") nor a crate layer (\"PXR-USDC\")");
}

// While the reading thread is on the layer the walk takes, the walk's thread reads the
// layers queued next, prepared as the reading thread prepares them.
TEST(UsdLayerReadAhead, TheTakerReadsTheNextLayersWhileTheReaderIsBusy)
{
    TempDir dir;
    std::vector<std::string> paths;
    for (int i = 0; i < 6; ++i) {
        paths.push_back(
            dir.write("l" + std::to_string(i) + ".usda",
                      "#usda 1.0\ndef \"A\" { asset a = @./t" + std::to_string(i) + ".exr@ }\n"));
    }
    const std::thread::id taker = std::this_thread::get_id();
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, std::thread::id> prepared_by;
    bool taker_prepared = false;
    // The reading thread stays on the first layer until the taker has prepared one.
    readers::UsdLayerReadAhead ahead([&](const std::string& path, readers::UsdLayer& layer) {
        std::unique_lock lock(mutex);
        prepared_by[path] = std::this_thread::get_id();
        for (std::size_t i = 0; i < layer.refs.size(); ++i) {
            layer.prepared_text += "prepared " + path;
            layer.end_prepared();
        }
        if (std::this_thread::get_id() == taker) {
            taker_prepared = true;
        } else if (path == paths[0]) {
            changed.notify_all();
            changed.wait_for(lock, std::chrono::seconds(20), [&] { return taker_prepared; });
        }
        changed.notify_all();
        return Strings{};
    });
    ahead.want(paths);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20),
                                     [&] { return prepared_by.contains(paths[0]); }));
    }
    std::vector<bool> read_ahead;
    for (const std::string& path : paths) {
        readers::UsdLayer layer = ahead.take(path);
        expect_same_layer(layer, readers::read_usd_layer_file(path), path);
        ASSERT_EQ(layer.prepared_ends.size(), 1u) << path;
        EXPECT_EQ(layer.prepared(0), "prepared " + path);
        read_ahead.push_back(layer.read_ahead);
        ahead.dispose(std::move(layer));
    }
    const std::lock_guard lock(mutex);
    EXPECT_EQ(prepared_by[paths[1]], taker);
    EXPECT_NE(prepared_by[paths[0]], taker);
    // Only what the reading thread read goes back to it to be freed.
    EXPECT_TRUE(read_ahead[0]);
    EXPECT_FALSE(read_ahead[1]);
}

// The reading thread goes on to the layers a layer leads to without waiting for the walk to
// want them, each once; those the walk does not want are let go.
TEST(UsdLayerReadAhead, GoesOnToTheLayersALayerNamesOnce)
{
    TempDir dir;
    const auto layer = [&dir](const std::string& name, int refs) {
        std::string text = "#usda 1.0\ndef \"A\" {\n";
        for (int i = 0; i < refs; ++i) {
            text += "    asset a" + std::to_string(i) + " = @./t.exr@\n";
        }
        return dir.write(name, text + "}\n");
    };
    const std::string top = layer("top.usda", 1), a = layer("a.usda", 2), b = layer("b.usda", 3);
    std::mutex mutex;
    std::map<std::string, int> prepared;
    readers::UsdLayerReadAhead ahead([&](const std::string& path, readers::UsdLayer&) {
        const std::lock_guard lock(mutex);
        ++prepared[path];
        // b leads back to top, as a cycle of references does.
        return path == top ? Strings{a, b} : path == b ? Strings{top} : Strings{};
    });
    const auto prepared_count = [&](const std::string& path) {
        const std::lock_guard lock(mutex);
        return prepared[path];
    };
    ahead.want({top});
    for (int i = 0; i < 2000 && ahead.paths_waiting() < 2 + 3 + 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // top, a and b read, none taken yet: each layer's paths and one more.
    EXPECT_EQ(ahead.paths_waiting(), 2u + 3u + 4u);
    expect_same_layer(ahead.take(top), readers::read_usd_layer_file(top), top);
    ahead.want({a});
    ahead.forget_unwanted({a, b}); // a is wanted now: only b goes
    EXPECT_EQ(ahead.paths_waiting(), 3u);
    expect_same_layer(ahead.take(a), readers::read_usd_layer_file(a), a);
    EXPECT_EQ(ahead.paths_waiting(), 0u);
    EXPECT_EQ(prepared_count(top), 1);
    EXPECT_EQ(prepared_count(a), 1);
    EXPECT_EQ(prepared_count(b), 1);
    // Wanted again after it was taken, a layer is read again.
    ahead.want({top});
    expect_same_layer(ahead.take(top), readers::read_usd_layer_file(top), top);
}

// The layers waiting to be taken name at most the read-ahead's share of paths, and one
// layer more: the rest wait their turn, and are all read in the end.
TEST(UsdLayerReadAhead, HoldsABoundedNumberOfPaths)
{
    TempDir dir;
    constexpr std::size_t k_per_layer = 10'000;
    std::string text = "#usda 1.0\ndef \"A\" {\n";
    for (std::size_t i = 0; i < k_per_layer; ++i)
        text += "    asset a" + std::to_string(i) + " = @./t.exr@\n";
    text += "}\n";
    std::vector<std::string> paths;
    for (int i = 0; i < 8; ++i)
        paths.push_back(dir.write("big" + std::to_string(i) + ".usda", text));

    readers::UsdLayerReadAhead ahead;
    ahead.want(paths);
    constexpr std::size_t k_share = readers::UsdLayerReadAhead::k_read_ahead_paths;
    constexpr std::size_t k_most = k_share + k_per_layer + 1;
    // However far the reading thread has come, it never holds more.
    for (int i = 0; i < 200 && ahead.paths_waiting() < k_share; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_LE(ahead.paths_waiting(), k_most);
    for (const std::string& path : paths) {
        EXPECT_EQ(ahead.take(path).refs.size(), k_per_layer) << path;
        EXPECT_LE(ahead.paths_waiting(), k_most);
    }
    EXPECT_EQ(ahead.paths_waiting(), 0u);
}

// Layers read ahead are what a read at the time of taking gives, whatever the order of
// taking, and whether a layer was wanted, forgotten, or read past the read-ahead limit.
TEST(UsdLayerReadAhead, TakesWhatAReadGivesInAnyOrder)
{
    TempDir dir;
    std::vector<std::string> paths;
    for (int i = 0; i < 40; ++i) {
        const std::string name = "l" + std::to_string(i) + ".usda";
        paths.push_back(dir.write(name, "#usda 1.0\ndef \"A\" { asset a = @./t" +
                                            std::to_string(i) + ".exr@ }\n"));
    }
    paths.push_back(dir.write("bad.usda", "#usda 1.0\ndef \"A\" { asset a = @./x.exr"));
    paths.push_back(dir.file("gone.usda"));
    const auto same = [](const readers::UsdLayer& got, const std::string& path) {
        const readers::UsdLayer read = readers::read_usd_layer_file(path);
        EXPECT_EQ(got.refs, read.refs) << path;
        EXPECT_EQ(got.owner_text, read.owner_text) << path;
        EXPECT_EQ(got.error, read.error) << path;
        EXPECT_EQ(got.version, read.version) << path;
    };

    readers::UsdLayerReadAhead ahead;
    ahead.want(paths);
    ahead.want({paths[3], paths[0]});  // wanted twice: stays where it was
    for (int i = 9; i >= 0; --i) {
        same(ahead.take(paths[i]), paths[i]);
    }
    ahead.forget({paths[10], paths[11], dir.file("never-wanted.usda")});
    same(ahead.take(paths[10]), paths[10]);  // forgotten, then taken after all
    same(ahead.take(dir.write("late.usda", "#usda 1.0\n")), dir.file("late.usda"));  // never wanted
    ahead.want({paths[5]});  // taken already: read again
    same(ahead.take(paths[5]), paths[5]);
    for (std::size_t i = 12; i < paths.size(); ++i) {
        same(ahead.take(paths[i]), paths[i]);
    }
    // Layers handed back are freed by the reading thread, which goes on reading.
    for (int i = 0; i < 20; ++i) {
        ahead.dispose(readers::read_usd_layer_file(paths[static_cast<std::size_t>(i)]));
    }
    ahead.want({paths[6], paths[7]});
    same(ahead.take(paths[7]), paths[7]);
    ahead.dispose(ahead.take(paths[6]));
    ahead.want({paths[1], paths[2]});
    ahead.forget({paths[1]});  // the other stays untaken until the end
}

}  // namespace
}  // namespace script
