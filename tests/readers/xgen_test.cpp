#include "readers/xgen.h"

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/errors.h"
#include "common/platform.h"
#include "common/pyutil.h"
#include "tests/assets/collector_fixture.h"

namespace script {
namespace {

using readers::XgenArchive;
using readers::XgenVariables;
using testing::ConsoleCapture;
using testing::ScopedEnv;
using testing::TempDir;
using Strings = std::vector<std::string>;

// A collection from lines written with "→" for a tab, joined by `eol`.
std::string collection(std::initializer_list<std::string_view> lines, std::string_view eol = "\n")
{
    std::string text;
    for (std::string_view line : lines) {
        std::string row(line);
        for (std::size_t at; (at = row.find("→")) != std::string::npos;) {
            row.replace(at, std::string_view("→").size(), "\t");
        }
        text += row;
        text += eol;
    }
    return text;
}

// What the reader hands over, one text per event: "NAME=value" for a variable, the path
// for a candidate, "archive NAME THUMBNAIL FILE" for an archive file.
class RecordingSink final : public readers::XgenSink
{
public:
    void variable(const std::string& name, const std::string& value) override
    {
        events.push_back(name + "=" + value);
    }
    void candidates(const std::vector<std::string>& paths) override
    {
        events.insert(events.end(), paths.begin(), paths.end());
    }
    void archives(const std::vector<XgenArchive>& entries) override
    {
        for (const XgenArchive& e : entries) {
            events.push_back("archive " + e.name + " " + e.thumbnail + " " + e.file);
        }
    }
    Strings events;
};

struct ReadResult
{
    Strings events;
    std::string console;
};

ReadResult read(const std::string& text, std::size_t max_line = readers::k_xgen_max_line_bytes)
{
    RecordingSink sink;
    ConsoleCapture capture;
    std::istringstream in(text);
    readers::read_xgen(in, "hair.xgen", sink, max_line);
    return {sink.events, capture.finish()};
}

// The collection of the format notes, written on Windows: drive letters, a network data
// root, backslashes, CRLF line ends.
const std::string k_windows_collection = collection(
    {"# XGen Collection File",
     "#",
     "# Version:  test fixture",
     "",
     "FileVersion 18",
     "",
     "Palette",
     "→name→→→hairColl",
     "→parent→→→",
     "→xgDataPath→→${PROJECT}xgen/collections/hairColl;//srv/shared/xgen/hairColl",
     "→xgProjectPath→→D:/proj/groom/",
     "→endAttrs",
     "",
     "",
     "Description",
     "→name→→→hairDesc",
     "→parent→→→hairColl",
     "→endAttrs",
     "",
     "SplinePrimitive",
     "→name→→→SplinePrimitive",
     "→parent→→→hairDesc",
     "→length→→→$a=map('${DESC}/paintmaps/length');#3dpaint,5.0\\n$a",
     "→width→→→$a=map(\"${DESC}/paintmaps/width\");\\n$b=map('${DESC}/paintmaps/mask');\\n$a*$b",
     "→cacheFileName→→D:\\proj\\cache\\guides.abc",
     "→endAttrs",
     "",
     "RandomGenerator",
     "→name→→→RandomGenerator",
     "→mask→→→$a=map('${DESC}/Region/');#3dpaint,5.0\\n$a",
     "→endAttrs",
     "",
     "ClumpingFXModule",
     "→name→→→Clumping1",
     "→active→→→true",
     "→mapDir→→→${DESC}/${FXMODULE}/",
     "→endAttrs",
     "",
     "ArchivePrimitive",
     "→name→→→ArchivePrimitive",
     "→files→→→#ArchiveGroup 0 name=\"rock\" thumbnail=\"rock.png\" description=\"\" "
     "materials=\"D:/lib/archives/materials/rock.ma\"\\n0 \"D:/lib/archives/abc/rock_lo.abc\"\\n"
     "#ArchiveGroup 1\\n0 \"D:\\lib\\archives\\abc\\rock_mid.abc\"",
     "→endAttrs",
     "",
     "GLRenderer",
     "→name→→→GLRenderer",
     "→endAttrs"},
    "\r\n");

TEST(XgenReader, WindowsCollectionInFileOrder)
{
    const std::string root = "D:/proj/groom/xgen/collections/hairColl";
    const std::string shared = "//srv/shared/xgen/hairColl";
    const Strings events = {
        "PROJECT=D:/proj/groom/",
        "D:/proj/groom/xgen",
        root,
        shared,
        "DESC=hairDesc",
        // The spline primitive: width's single-quoted map, then the cache.
        root + "/hairDesc/paintmaps/mask",
        shared + "/hairDesc/paintmaps/mask",
        "D:\\proj\\cache\\guides.abc",
        root + "/hairDesc/Region/",
        shared + "/hairDesc/Region/",
        "FXMODULE=Clumping1",
        root + "/hairDesc/Clumping1/",
        shared + "/hairDesc/Clumping1/",
        // The files line as a value, then its archive groups.
        "D:/lib/archives/materials/rock.ma",
        "D:/lib/archives/abc/rock_lo.abc",
        "D:\\lib\\archives\\abc\\rock_mid.abc",
        "archive rock rock.png D:/lib/archives/materials/rock.ma",
        "archive rock rock.png D:/lib/archives/abc/rock_lo.abc",
        "archive rock rock.png D:/lib/archives/abc/rock_mid.abc",
    };
    const ReadResult unix_ends = read(replace_all(k_windows_collection, "\r\n", "\n"));
    EXPECT_EQ(unix_ends.events, events);
    EXPECT_EQ(unix_ends.console, "");
    EXPECT_EQ(read(k_windows_collection).events, events);
    EXPECT_EQ(read(replace_all(k_windows_collection, "\r\n", "\r")).events, events);
}

TEST(XgenReader, VariablesExpandFromTheCollectionAndTheEnvironment)
{
    ScopedEnv root("XGEN_TEST_ROOT", "/site/xgen");
    ScopedEnv empty("XGEN_TEST_EMPTY", "");
    ScopedEnv unset("XGEN_TEST_UNSET", nullptr);
    ScopedEnv project_env("PROJECT", "/from/the/environment");
    XgenVariables vars;
    vars.project = "/show/proj";
    vars.data_roots = {"${PROJECT}xgen/collections/c1", " ", "xgen/relative/c1", "//srv/c1/",
                       "${XGEN_TEST_UNSET}/c1"};
    vars.description = "hairDesc";
    vars.fx_module = "Clumping1";
    struct Case
    {
        std::string text;
        Strings expected;
    };
    const Case cases[] = {
        {"${PROJECT}xgen", {"/show/proj/xgen"}},
        {"${PROJECT}/xgen", {"/show/proj/xgen"}},
        {"${PROJECT}\\\\xgen", {"/show/proj/xgen"}},
        {"${PROJECT}", {"/show/proj/"}},
        {"${DESC}/paintmaps/width",
         {"/show/proj/xgen/collections/c1/hairDesc/paintmaps/width",
          "/show/proj/xgen/relative/c1/hairDesc/paintmaps/width",
          "//srv/c1/hairDesc/paintmaps/width"}},
        {"${DESC}/${FXMODULE}/",
         {"/show/proj/xgen/collections/c1/hairDesc/Clumping1/",
          "/show/proj/xgen/relative/c1/hairDesc/Clumping1/", "//srv/c1/hairDesc/Clumping1/"}},
        {"${XGEN_TEST_ROOT}/archives/a.abc", {"/site/xgen/archives/a.abc"}},
        {"${XGEN_TEST_EMPTY}/a.abc", {"/a.abc"}},
        {"${XGEN_TEST_UNSET}/a.abc", {"${XGEN_TEST_UNSET}/a.abc"}},
        {"${DESC}/${XGEN_TEST_UNSET}/", {"${DESC}/${XGEN_TEST_UNSET}/"}},
        {"$a=map('x');$b", {"$a=map('x');$b"}},
        {"$HOME/a.abc", {"$HOME/a.abc"}},
        {"${broken/a.abc", {"${broken/a.abc"}},
        {"D:/plain/path", {"D:/plain/path"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(readers::expand_xgen_variables(c.text, vars), c.expected) << "text: " << c.text;
    }

    // Before a project, a description or a modifier is known, the references stay.
    const XgenVariables none;
    for (const char* text : {"${PROJECT}xgen", "${DESC}/Region", "${FXMODULE}/x"}) {
        EXPECT_EQ(readers::expand_xgen_variables(text, none), Strings{text});
    }
    XgenVariables no_roots = vars;
    no_roots.data_roots.clear();
    EXPECT_EQ(readers::expand_xgen_variables("${DESC}/x", no_roots), Strings{"${DESC}/x"});

    vars.project = "${XGEN_TEST_ROOT}/proj";
    EXPECT_EQ(readers::expand_xgen_variables("${PROJECT}xgen", vars),
              Strings{"/site/xgen/proj/xgen"});
    vars.project = "${XGEN_TEST_UNSET}/proj";
    EXPECT_EQ(readers::expand_xgen_variables("${PROJECT}xgen", vars), Strings{"${PROJECT}xgen"});
    vars.project = "C:\\proj\\";
    vars.data_roots = {"${PROJECT}xgen/c1"};
    EXPECT_EQ(readers::xgen_data_folders(vars), Strings{"C:\\proj/xgen/c1"});
}

TEST(XgenReader, ValueLinesMapsAndCaches)
{
    const ReadResult r = read(collection({
        "Palette",
        "→name→→→c",
        "→xgProjectPath→→/show/proj",
        "→xgDataPath→→xgen/collections/c", // after the project path, relative
        "→endAttrs",
        "Description",
        "→name→→→d",
        "→endAttrs",
        "RandomGenerator",
        "→mask→→→$a=map('${DESC}/Region/');#3dpaint\\n$b=map(\"${DESC}/density\"); # paint\\n$a*$b",
        "→offset→→→$a / 2.0 + $b/2.5",
        "→note→→→see /mnt/show/points/p.xuv or ${DESC}/notes.txt",
        "→pointDir→→/mnt/show/points/",
        "→uncDir→→//srv/points/",
        "→pointDir without a tab /mnt/show/no_tab/",
        "→empty→→→",
        "SplinePrimitive",
        "→name→→→s",
        "→cacheFileName→→→/mnt/cache/three_tabs.abc",
        "→cacheFileName→/mnt/cache/one_tab.abc",
        "→cacheFileName→→/mnt/cache/guides.abc",
        "→width→→→$a=map('${DESC}/w1');\\n$b=map('${DESC}/w2');#c\\n$a*$b",
        "→length→→→$a=map('${DESC}/not/read');#3dpaint",
        "→endAttrs",
        "MapTextures",
        "→mapTexture→first→/mnt/not/last.ptx→/mnt/maps/last.ptx",
        "→endAttrs",
        "MelRenderer",
        "→script→→→/mnt/mel/never.mel",
        "→endAttrs",
        "after→/mnt/after/mel.abc",
    }));
    const std::string desc = "/show/proj/xgen/collections/c/d";
    const Strings expected = {
        "PROJECT=/show/proj",
        "/show/proj/xgen",
        "/show/proj/xgen/collections/c",
        "DESC=d",
        desc + "/Region/",
        desc + "/density",
        "/mnt/show/points/p.xuv",
        "/mnt/show/points/",
        "//srv/points/",
        "/mnt/cache/guides.abc",
        desc + "/w1",
        desc + "/w2",
        // A whole value with an extension is found by the second and third patterns.
        "/mnt/maps/last.ptx",
        "/mnt/maps/last.ptx",
        "/mnt/after/mel.abc",
        "/mnt/after/mel.abc",
    };
    EXPECT_EQ(r.events, expected);
}

TEST(XgenReader, BlocksItCannotReadAreSkippedWithOneWarning)
{
    struct Case
    {
        std::vector<std::string_view> lines;
        std::string warning;
    };
    const Case cases[] = {
        {{"Palette", "→name→hairColl", "→xgProjectPath→→/skipped/", "→endAttrs"},
         "hair.xgen:2: Palette name line needs four tab-separated fields, found "
         "\"name\thairColl\""},
        {{"Description", "→name→→d", "→xgProjectPath→→/skipped/"},
         "hair.xgen:2: Description name line needs four tab-separated fields"},
        {{"Description", "→name→→→d", "→xgProjectPath→→/desc/proj/", "→xgDataPath→→/skipped"},
         "hair.xgen:3: Description xgProjectPath before any Palette xgProjectPath"},
        {{"ArchivePrimitive", "→name→→→a", "→files→→→#ArchiveGroup 0 \"/lib/abc/a.abc\"",
          "→x→→/skipped/a.b"},
         "hair.xgen:3: archive file \"/lib/abc/a.abc\" before any archive name"},
        {{"ArchivePrimitive", "→files→→→#ArchiveGroup 0 name=\"rock\" \"/lib/abc/rock.abc\""},
         "hair.xgen:2: archive group names \"rock\" without a thumbnail"},
        {{"FXModule", "→name", "→mapDir→→→/skipped/"},
         "hair.xgen:2: FXModule name line without a tab: \"name\""},
    };
    for (const Case& c : cases) {
        std::string text;
        for (std::string_view line : c.lines) {
            text += collection({line});
        }
        text += collection({"", "Palette", "→name→→→c", "→xgProjectPath→→/show/", "→endAttrs",
                            "Other", "→cache→→/mnt/after/"});
        const ReadResult r = read(text);
        SCOPED_TRACE(text);
        EXPECT_EQ(std::count(r.events.begin(), r.events.end(), "/mnt/after/"), 1);
        EXPECT_EQ(std::count(r.events.begin(), r.events.end(), "PROJECT=/show/"), 1);
        for (const std::string& event : r.events) {
            EXPECT_EQ(event.find("skipped"), std::string::npos) << event;
        }
        EXPECT_EQ(r.console.rfind("Warnning: skip xgen block: " + c.warning, 0), 0u) << r.console;
        EXPECT_EQ(std::count(r.console.begin(), r.console.end(), '\n'), 1) << r.console;
    }
}

TEST(XgenReader, LongLinesAreSkippedAndTheLastLineNeedsNoLineEnd)
{
    const std::string text =
        "Other\n→a→/mnt/kept/\n\tlong\t/mnt/" + std::string(100, 'x') + "/\r\n\tlast\t/mnt/last/";
    const ReadResult r = read(replace_all(text, "→", "\t"), 64);
    EXPECT_EQ(r.events, (Strings{"/mnt/kept/", "/mnt/last/"}));
    EXPECT_EQ(r.console, "Warnning: skip xgen line longer than 64 bytes: hair.xgen:3\n");

    // Long runs without an extension, and map( without its closing "')", are scanned in
    // linear time.
    std::string maps;
    for (int i = 0; i < 40000; ++i) {
        maps += "map('";
    }
    const std::string pathological = "Other\n\tv\tx " + std::string(200000, '/') +
                                     "\nSplinePrimitive\n\tname\t\t\ts\n\twidth\t" + maps + "\n";
    EXPECT_EQ(read(pathological).events, Strings{});

    // A value that no file system could take as a path is left out with one warning.
    const ReadResult long_path =
        read("Other\n\tv\t" + std::string(3000000, '/') + "\n\tw\t/mnt/short/\n");
    EXPECT_EQ(long_path.events, Strings{"/mnt/short/"});
    EXPECT_EQ(long_path.console, "Warnning: skip xgen path longer than 32767 bytes: hair.xgen:2\n");
}

TEST(XgenArchives, GroupsNamesThumbnailsAndFiles)
{
    struct Case
    {
        std::string value;
        Strings files; // name|thumbnail|file
    };
    const Case cases[] = {
        {"no groups \"D:/a/abc/a.abc\"", {}},
        {"#ArchiveGroup 0 name=\"rock\" thumbnail=\"rock.png\" description=\"\" "
         "materials=\"D:/lib/materials/rock.ma\"\\n0 \"D:/lib/abc/rock_lo.abc\"\\n1 "
         "\"/lib/abc/rock_hi.abc\"\\n#ArchiveGroup 1 name=\"tree\" thumbnail=\"t/tree.jpg\"\\n0 "
         "\"\\\\srv\\lib\\abc\\tree.abc\"\\n#ArchiveGroup 2\\n0 \"${LIB}/abc/tree2.abc\"",
         {"rock|rock.png|D:/lib/materials/rock.ma", "rock|rock.png|D:/lib/abc/rock_lo.abc",
          "rock|rock.png|/lib/abc/rock_hi.abc", "tree|t/tree.jpg|\\\\srv\\lib\\abc\\tree.abc",
          "tree|t/tree.jpg|${LIB}/abc/tree2.abc"}},
        {"  files #ArchiveGroup 0 name=\"a\" thumbnail=\"a.png\" \"relative/a.abc\" \"C:\\a.abc\" "
         " ",
         {"a|a.png|C:\\a.abc"}},
    };
    const Case long_quoted = {"#ArchiveGroup 0 name=\"a\" thumbnail=\"a.png\" \"/" +
                                  std::string(2000000, 'x') + "\" \"/lib/abc/a.abc\"",
                              {"a|a.png|/lib/abc/a.abc"}};
    for (const Case& c : {cases[0], cases[1], cases[2], long_quoted}) {
        Strings files;
        for (const XgenArchive& e : readers::xgen_archive_entries(c.value)) {
            files.push_back(e.name + "|" + e.thumbnail + "|" + e.file);
        }
        EXPECT_EQ(files, c.files) << c.value.substr(0, 200);
    }
}

// Collections on disk, read through the collector as the sequence expansion hands them.
class XgenCollectorTest : public testing::CollectorTest
{
protected:
    std::string f(const std::string& relative) const { return files.file(relative); }

    // Expands one reference and returns what was filed under its label: found, then missing.
    std::pair<Strings, Strings> analyse(zel_Katana_asset& c, const std::string& reference)
    {
        ConsoleCapture capture;
        c.AnaylseSeq("/rootNode/Xgen.file", reference);
        m_console = capture.finish();
        const auto found = c.ASSET_JSON.asset.find("/rootNode/Xgen.file");
        const auto missing = c.ASSET_JSON.missing.find("/rootNode/Xgen.file");
        return {found ? *found : Strings{}, missing ? *missing : Strings{}};
    }

    // The variables the reader sets are put back after each test.
    ScopedEnv m_project{"PROJECT", nullptr};
    ScopedEnv m_desc{"DESC", nullptr};
    ScopedEnv m_fx{"FXMODULE", nullptr};
    std::string m_console;
};

TEST_F(XgenCollectorTest, CollectionFoldersMapsCachesAndArchivesOnDisk)
{
    // The project holds an xgen folder; the data path has a second root that is absent.
    const std::string project = f("proj");
    const std::string ptx =
        files.write("proj/xgen/collections/hair/d/paintmaps/mask/body.ptx", "x");
    const std::string region = files.write("proj/xgen/collections/hair/d/Region/body.ptx", "x");
    const std::string cache = files.write("cache/guides.abc", "x");
    const std::string lo = files.write("lib/archives/abc/rock_lo.abc", "x");
    const std::string hi = files.write("lib/archives/abc/rock_hi.abc", "x");
    files.write("lib/archives/abc/pebble.abc", "x");
    const std::string xarc = files.write("lib/archives/rock.xarc", "x");
    const std::string log = files.write("lib/archives/rock_export.log", "x");
    const std::string thumb = files.write("lib/archives/rock.png", "x");
    const std::string ass = files.write("lib/archives/ass/rock.ass.gz", "x");
    const std::string toc = files.write("lib/archives/ass/rock.asstoc", "x");
    const std::string ma = files.write("lib/archives/materials/rock_mat.ma", "x");
    const std::string mi = files.write("lib/archives/mi/rock.mi.gz", "x");
    const std::string zip = files.write("lib/archives/rib/rock.zip", "x");
    const std::string rib = files.write("lib/archives/rib/rock_lod/rock.rib", "x");
    const std::string lib = f("lib/archives");
    const std::string lib_back = replace_all(lib, "/", "\\");
    const std::string xgen = files.write(
        "scene/groom__hair.xgen",
        collection(
            {
                "Palette",
                "→name→→→hair",
                "→xgDataPath→→${PROJECT}xgen/collections/hair;" + f("absent") + "/hair",
                "→xgProjectPath→→" + project,
                "→endAttrs",
                "",
                "Description",
                "→name→→→d",
                "→endAttrs",
                "",
                "SplinePrimitive",
                "→name→→→s",
                "→width→→→$a=map('${DESC}/paintmaps/mask');\\n$a",
                "→cacheFileName→→" + cache,
                "→endAttrs",
                "",
                "ArchivePrimitive",
                "→name→→→a",
                "→files→→→#ArchiveGroup 0 name=\"rock\" thumbnail=\"rock.png\" materials=\"" + lib +
                    "/materials/rock_mat.ma\"\\n0 \"" + lib +
                    "/abc/rock_lo.abc\"\\n#ArchiveGroup 1\\n0 \"" + lib_back +
                    "\\ass\\rock.ass.gz\"\\n1 \"" + lib + "/mi/rock.mi.gz\"\\n2 \"" + lib +
                    "/rib/rock.zip\"",
                "→endAttrs",
                "",
                "Other",
                "→missing→→→D:\\maps\\gone.ptx",
                "→unset→→→${XGEN_TEST_UNSET_ROOT}/maps/",
            },
            "\r\n"));
    ScopedEnv unset("XGEN_TEST_UNSET_ROOT", nullptr);

    zel_Katana_asset c = idle();
    c.xgen_files.clear();
    auto [found, missing] = analyse(c, xgen);
    std::sort(found.begin(), found.end());
    std::sort(missing.begin(), missing.end());
    Strings expected_found = {xgen,  ptx, region, cache, lo, hi,  xarc, log,
                              thumb, ass, toc,    ma,    mi, zip, rib};
    std::sort(expected_found.begin(), expected_found.end());
    EXPECT_EQ(found, expected_found);
    const Strings expected_missing = {"${XGEN_TEST_UNSET_ROOT}/maps/", f("absent") + "/hair",
                                      f("absent") + "/hair/d/paintmaps/mask", "D:/maps/gone.ptx"};
    EXPECT_EQ(missing, expected_missing);

    EXPECT_EQ(platform::get_env("PROJECT"), project);
    EXPECT_EQ(platform::get_env("DESC"), "d");
    EXPECT_NE(m_console.find("start analyse xgen file : " + xgen + "\n"), std::string::npos);
}

TEST_F(XgenCollectorTest, CompanionCacheOnceAPassAndUnreadableCollection)
{
    const std::string xgen =
        files.write("scene/a__c.xgen", collection({"Other", "→x→→/mnt/none/"}));
    const std::string folder = files.mkdir("scene/folder.xgen");
    ConsoleCapture capture;
    zel_Katana_asset c = idle();
    c.xgen_files.clear();
    c.get_files_from_xgen_file(xgen);
    EXPECT_EQ(c.xgenfiles, Strings{"/mnt/none/"});

    // A second reference in the same pass reads nothing, not even the companion cache.
    const std::string companion = files.write("scene/a__c.abc", "x");
    c.xgenfiles.clear();
    c.get_files_from_xgen_file(xgen);
    EXPECT_EQ(c.xgenfiles, Strings{});

    // A new pass (the folder listings of the run know the companion now).
    zel_Katana_asset next_pass = idle();
    next_pass.get_files_from_xgen_file(xgen);
    EXPECT_EQ(next_pass.xgenfiles, (Strings{companion, "/mnt/none/"}));

    // The environment is cleared for each collection; FXMODULE keeps its last value.
    platform::set_env("PROJECT", "/old");
    platform::set_env("FXMODULE", "old");
    c.get_files_from_xgen_file(files.write("scene/b.xgen", "FileVersion 18\n"));
    EXPECT_EQ(platform::get_env("PROJECT"), "");
    EXPECT_EQ(platform::get_env("FXMODULE"), "old");

    for (const std::string& path : {f("scene/none.xgen"), folder}) {
        try {
            c.get_files_from_xgen_file(path);
            ADD_FAILURE() << "no error for " << path;
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()), "cannot open xgen file: " + path);
        }
    }
}

TEST_F(XgenCollectorTest, FilterKeepsFoldersAndAbsolutePaths)
{
    const std::string a = files.write("maps/a.ptx", "x");
    const std::string b = files.write("maps/sub/b.ptx", "x");
    zel_Katana_asset c = idle();
    c.get_file_xgen({"", " . ", "/", "\\", f("maps") + "/", "D:\\maps\\x.ptx",
                     "\\\\srv\\maps\\y.ptx", "//srv/z.ptx", " /mnt/show/w.ptx ", "relative/r.ptx",
                     "\\single\\s.ptx", "${UNSET_ROOT}/m", "$a", "{x}/y"},
                    "c.xgen");
    std::sort(c.xgenfiles.begin(), c.xgenfiles.begin() + 2);
    EXPECT_EQ(c.xgenfiles, (Strings{a, b, "D:/maps/x.ptx", "//srv/maps/y.ptx", "//srv/z.ptx",
                                    "/mnt/show/w.ptx", "${UNSET_ROOT}/m"}));
}

TEST_F(XgenCollectorTest, ArchiveFoldersWithEitherSlash)
{
    const std::string lib = f("lib");
    const std::string tree = files.write("lib/abc/tree_a.abc", "x");
    const std::string xarc = files.write("lib/tree.xarc", "x");
    const std::string thumb = files.write("lib/abc/tree_thumb.jpg", "x");
    files.write("lib/abc/bush.abc", "x");
    zel_Katana_asset c = idle();
    const std::string value = "#ArchiveGroup 0 name=\"tree\" thumbnail=\"tree_thumb.jpg\"\\n0 \"" +
                              replace_all(lib, "/", "\\") + "\\abc\\tree_a.abc\"";
    EXPECT_EQ(c.get_xgen_Archive_files(value), (Strings{tree, xarc, thumb}));
    EXPECT_EQ(c.get_xgen_Archive_files(replace_all(value, "\\abc\\", "/abc/")),
              (Strings{tree, xarc, thumb}));
    EXPECT_EQ(c.get_xgen_Archive_files("\"" + tree + "\""), Strings{});
}

} // namespace
} // namespace script
