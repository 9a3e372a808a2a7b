#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/errors.h"
#include "tests/assets/collector_fixture.h"

namespace script::testing {
namespace {

using Paths = std::vector<std::string>;

class SequenceTest : public CollectorTest
{
protected:
    Paths found(const zel_Katana_asset& c, const std::string& label) const
    {
        const auto p = c.ASSET_JSON.asset.find(label);
        return p ? *p : Paths{"<no label>"};
    }
    Paths missing(const zel_Katana_asset& c, const std::string& label) const
    {
        const auto p = c.ASSET_JSON.missing.find(label);
        return p ? *p : Paths{};
    }
    std::string f(const std::string& relative) const { return files.file(relative); }
};

TEST_F(SequenceTest, FrameAndUdimTokensExpandToTheFilesOnDisk)
{
    for (const char* name : {"wall.1001.exr", "wall.1002.exr", "wall.1001.tx", "wall.1002.tx", "other.1001.exr"})
        files.write(std::string("tex/") + name);
    files.write("seq/shot.0001.exr");
    files.write("seq/shot.0002.exr");
    files.write("seq/shot.01.exr");
    auto c = idle();
    ConsoleCapture capture;

    // Every found file brings its .tx twin right after it; a .tx match has no twin.
    c.AnaylseSeq("udim", f("tex/wall.<UDIM>.exr"));
    Paths udim = found(c, "udim");
    ASSERT_EQ(udim.size(), 4u);
    for (const char* tile : {"1001", "1002"}) {
        const auto at = std::find(udim.begin(), udim.end(), f(std::string("tex/wall.") + tile + ".exr"));
        ASSERT_NE(at, udim.end());
        EXPECT_EQ(*(at + 1), f(std::string("tex/wall.") + tile + ".tx"));
    }

    c.AnaylseSeq("lower", f("tex/wall.<udim>.tx"));
    EXPECT_EQ(found(c, "lower").size(), 2u);

    // "####" is one wildcard, so shot.01.exr matches too; so does "%04d".
    c.AnaylseSeq("hashes", f("seq/shot.####.exr"));
    EXPECT_EQ(found(c, "hashes").size(), 3u);
    c.AnaylseSeq("printf", f("seq/shot.%04d.exr"));
    EXPECT_EQ(found(c, "printf").size(), 3u);
    EXPECT_TRUE(missing(c, "printf").empty());
    // Every place of every marker becomes a wildcard, "####" before a single "#".
    c.AnaylseSeq("mixed", f("seq/shot.#####.<UDIM>_<UDIM>.exr"));
    const std::string out = capture.finish();
    EXPECT_NE(out.find("'" + f("seq/shot.*.exr") + "'\n"), std::string::npos);
    EXPECT_NE(out.find("'" + f("seq/shot.**.*_*.exr") + "'\n"), std::string::npos);
}

// A reference met again under another label is filed exactly as the first time: the same
// found and missing lists and the same console lines, twins included but never printed.
// Containers are read again each time; files named with a backslash stay as recorded.
TEST_F(SequenceTest, ReferencesMetAgainFileAsTheFirstTime)
{
    for (const char* name : {"wall.1001.exr", "wall.1001.tx", "wall.1002.exr", "a\\b.1001.exr"})
        files.write(std::string("tex/") + name);
    files.write("looks/shot.1001.xml", "<look><shader file=\"" + f("tex/wall.1002.exr") + "\"/></look>");
    auto c = idle();
    const auto expand_twice = [&](const std::string& reference) {
        ConsoleCapture first_capture;
        c.AnaylseSeq("first " + reference, reference);
        const std::string first = first_capture.finish();
        ConsoleCapture again_capture;
        c.AnaylseSeq("again " + reference, reference);
        EXPECT_EQ(again_capture.finish(), first) << reference;
        EXPECT_EQ(found(c, "again " + reference), found(c, "first " + reference)) << reference;
        EXPECT_EQ(missing(c, "again " + reference), missing(c, "first " + reference)) << reference;
        return first;
    };

    const std::string udim = expand_twice(f("tex/wall.<UDIM>.exr"));
    Paths tiles = found(c, "again " + f("tex/wall.<UDIM>.exr"));
    std::sort(tiles.begin(), tiles.end());
    EXPECT_EQ(tiles, (Paths{f("tex/wall.1001.exr"), f("tex/wall.1001.tx"), f("tex/wall.1002.exr")}));
    EXPECT_EQ(udim.find(f("tex/wall.1001.tx")), std::string::npos);

    expand_twice(f("tex/gone.<UDIM>.exr"));
    EXPECT_EQ(missing(c, "again " + f("tex/gone.<UDIM>.exr")), Paths{f("tex/gone.*.exr")});
    EXPECT_EQ(found(c, "again " + f("tex/gone.<UDIM>.exr")), Paths{});

    expand_twice(f("tex/a\\b.<UDIM>.exr"));
    EXPECT_EQ(found(c, "again " + f("tex/a\\b.<UDIM>.exr")), Paths{f("tex/a/b.1001.exr")});

    // The look file is read again: its texture comes with it under the second label too.
    expand_twice(f("looks/shot.<UDIM>.xml"));
    const Paths look = found(c, "again " + f("looks/shot.<UDIM>.xml"));
    EXPECT_NE(std::find(look.begin(), look.end(), f("tex/wall.1002.exr")), look.end());
}

// Kept expansions lie in blocks of 256 KiB filled one after another: more than a block's
// worth of them, kept before any is met again, still replay whole.
TEST_F(SequenceTest, ManyKeptExpansionsReplayWhole)
{
    files.write("tex/wall.1001.exr");
    auto c = idle();
    std::vector<std::string> references;
    for (int i = 0; i < 4000; ++i) // a console line of 90 bytes and more each
        references.push_back(
            f("tex/gone_" + std::to_string(i) + std::string(60 + i % 7, 'x') + ".<UDIM>.exr"));
    references.push_back(f("tex/wall.<UDIM>.exr"));
    const auto expand_all = [&](const std::string& label) {
        ConsoleCapture capture;
        for (const std::string& reference : references)
            c.AnaylseSeq(label + reference, reference);
        return capture.finish();
    };
    const std::string first = expand_all("first ");
    EXPECT_EQ(expand_all("again "), first);
    for (const std::string& reference : references) {
        ASSERT_EQ(found(c, "again " + reference), found(c, "first " + reference)) << reference;
        ASSERT_EQ(missing(c, "again " + reference), missing(c, "first " + reference)) << reference;
    }
    EXPECT_EQ(found(c, "again " + references.back()), Paths{f("tex/wall.1001.exr")});
    EXPECT_EQ(missing(c, "again " + references.front()),
              Paths{f("tex/gone_0" + std::string(60, 'x') + ".*.exr")});
}

// A reference written again takes its first expansion only while nothing recorded since can
// contain it, and one naming the environment is expanded from the environment each time.
TEST_F(SequenceTest, ReferencesWrittenAgainFollowTheRecordAndTheEnvironment)
{
    files.write("tex/wall.1001.exr");
    files.write("one/a.1001.exr");
    files.write("two/a.1002.exr");
    auto c = idle();
    ConsoleCapture capture;

    const std::string udim = f("tex/wall.<UDIM>.exr");
    c.AnaylseSeq("first", udim);
    c.AnaylseSeq("second", udim);
    EXPECT_EQ(found(c, "second"), (Paths{f("tex/wall.1001.exr")}));
    // A recorded path now holds the reference, so it counts as recorded and is filed as given.
    c.record("reader", ReaderResult{{udim + ".bak"}, {}});
    c.AnaylseSeq("third", udim);
    EXPECT_EQ(found(c, "third"), (Paths{udim}));
    EXPECT_TRUE(missing(c, "third").empty());

    {
        ScopedEnv root("TEX_ROOT_OF_SHOT", files.file("one").c_str());
        c.AnaylseSeq("env one", "$TEX_ROOT_OF_SHOT/a.<UDIM>.exr");
        c.AnaylseSeq("env one again", "$TEX_ROOT_OF_SHOT/a.<UDIM>.exr");
    }
    ScopedEnv root("TEX_ROOT_OF_SHOT", files.file("two").c_str());
    c.AnaylseSeq("env two", "$TEX_ROOT_OF_SHOT/a.<UDIM>.exr");
    EXPECT_EQ(found(c, "env one again"), (Paths{f("one/a.1001.exr")}));
    EXPECT_EQ(found(c, "env two"), (Paths{f("two/a.1002.exr")}));
}

TEST_F(SequenceTest, RangeTokensVolumeNumbersAndHiddenNames)
{
    files.write("rng/img.1001.exr");
    files.write("rng/img.1002.exr");
    files.write("rng/dbl.exr");
    files.write("vol/smoke_v002.0101.vdb");
    files.write("vol/smoke_v003.0102.vdb");
    files.write("vol/fire_v002.0101.vdb");
    files.write("hid/1001.exr");
    files.write("hid/.1002.exr");
    auto c = idle();
    ConsoleCapture capture;

    c.AnaylseSeq("range", f("rng/img.(1001-1002)%04D.exr"));
    EXPECT_EQ(found(c, "range").size(), 2u);

    // Every number of a volume cache name becomes a wildcard, versions included.
    c.AnaylseSeq("vdb", f("vol/smoke_v002.0101.vdb"));
    EXPECT_EQ(found(c, "vdb"), (Paths{f("vol/smoke_v002.0101.vdb"), f("vol/smoke_v003.0102.vdb")}));

    // Splitting into folder and name and joining again folds repeated slashes there.
    c.AnaylseSeq("double", files.path() + "/rng//dbl.exr");
    EXPECT_EQ(found(c, "double"), (Paths{f("rng/dbl.exr")}));

    // A leading wildcard does not match hidden names.
    c.AnaylseSeq("hidden", f("hid/<UDIM>.exr"));
    EXPECT_EQ(found(c, "hidden"), (Paths{f("hid/1001.exr")}));
}

TEST_F(SequenceTest, EnvironmentReferences)
{
    files.write("proj/tex/a.exr");
    files.write("proj/tex/b.exr");
    ScopedEnv root("PROJ_ROOT", files.file("proj").c_str());
    ScopedEnv one("A", files.file("proj").c_str());
    auto c = idle();
    ConsoleCapture capture;

    c.AnaylseSeq("dollar", "$PROJ_ROOT/tex/a.exr");
    EXPECT_EQ(found(c, "dollar"), (Paths{f("proj/tex/a.exr")}));
    c.AnaylseSeq("bracket", "[PROJ_ROOT]/tex/b.exr");
    EXPECT_EQ(found(c, "bracket"), (Paths{f("proj/tex/b.exr")}));

    // A one-letter name right before "/" is not a reference; an unknown name stays.
    c.AnaylseSeq("short", "$A/tex/x.exr");
    EXPECT_EQ(missing(c, "short"), (Paths{"$A/tex/x.exr"}));
    c.AnaylseSeq("unknown", "$NO_SUCH_VARIABLE_X/tex/x.exr");
    EXPECT_EQ(missing(c, "unknown"), (Paths{"$NO_SUCH_VARIABLE_X/tex/x.exr"}));
}

TEST_F(SequenceTest, MissingPatternsAndReferencesAlreadyRecorded)
{
    files.write("tex/a.1001.exr");
    files.write("tex/b.exr");
    auto c = idle();
    ConsoleCapture capture;

    c.AnaylseSeq("", "");  // an empty reference records nothing
    EXPECT_TRUE(c.ASSET_JSON.asset.empty());

    c.AnaylseSeq("n1", f("tex/gone.<UDIM>.exr"));
    EXPECT_EQ(found(c, "n1"), Paths{});  // the found list exists, empty
    EXPECT_EQ(missing(c, "n1"), (Paths{f("tex/gone.*.exr")}));

    c.AnaylseSeq("n2", f("tex/a.<UDIM>.exr"));
    EXPECT_EQ(found(c, "n2"), (Paths{f("tex/a.1001.exr")}));

    // Already recorded: filed again as given, without looking at the disk.
    c.AnaylseSeq("n3", f("tex/a.1001"));
    EXPECT_EQ(found(c, "n3"), (Paths{f("tex/a.1001")}));
    EXPECT_TRUE(missing(c, "n3").empty());
    c.AnaylseSeq("n4", f("tex/gone.*"));
    EXPECT_EQ(found(c, "n4"), (Paths{f("tex/gone.*")}));
    EXPECT_EQ(missing(c, "n4"), (Paths{f("tex/gone.*")}));
    EXPECT_EQ(c.is_analysed(f("tex/gone.*.exr")), 2);

    // Two references to one file under one label list it twice.
    c.AnaylseSeq("n2", f("tex/b.exr"));
    c.AnaylseSeq("n2", f("tex/b.exr"));
    EXPECT_EQ(found(c, "n2"), (Paths{f("tex/a.1001.exr"), f("tex/b.exr"), f("tex/b.exr")}));
}

TEST_F(SequenceTest, DirectoriesAndArnoldSceneDescriptions)
{
    files.mkdir("caches/fluid");
    files.write("ass/crowd.ass.gz");
    files.write("ass/bg.0001.ass");
    files.write("ass/bg.0002.ass");
    auto c = idle();
    ConsoleCapture capture;

    const auto dir = c.AnaylseSeq("dir", f("caches/fluid"));
    ASSERT_TRUE(dir.has_value());
    EXPECT_EQ(dir->asset, (Paths{f("caches/fluid")}));
    EXPECT_TRUE(c.ASSET_JSON.asset.empty());

    // Each found scene description is read, and its reader lists it again as its own file.
    c.AnaylseSeq("gz", f("ass/crowd.ass"));
    EXPECT_EQ(found(c, "gz"), (Paths{f("ass/crowd.ass.gz"), f("ass/crowd.ass.gz")}));
    c.AnaylseSeq("frames", f("ass/bg.0001.ass"));
    EXPECT_EQ(found(c, "frames"),
              (Paths{f("ass/bg.0001.ass"), f("ass/bg.0001.ass"), f("ass/bg.0002.ass"), f("ass/bg.0002.ass")}));
}

TEST_F(SequenceTest, OnlyDottedSuffixesNameContainers)
{
    // Names that merely end in a format's letters are ordinary files: without the dotted
    // suffix no reader runs (with REDSHIFT_HOME unset a proxy reader would end the run).
    const ScopedEnv no_redshift("REDSHIFT_HOME", nullptr);
    const Paths names = {"tex/colors", "tex/velvetfur", "tex/dataxml", "tex/shelf", "tex/pass", "tex/bigxgen"};
    for (const std::string& name : names)
        files.write(name);
    // Written before the run starts: the run lists each folder once.
    files.write("tex/rock.rs");
    auto c = idle();
    ConsoleCapture capture;
    for (const std::string& name : names) {
        c.AnaylseSeq(name, f(name));
        EXPECT_EQ(found(c, name), Paths{f(name)}) << name;
    }
    EXPECT_THROW(c.AnaylseSeq("proxy", f("tex/rock.rs")), Error);
}

// A configuration in either spelling of its suffix goes to its reader, which adds the
// files of its search path; a name only ending in the same letters does not.
TEST_F(SequenceTest, ColourConfigurationsInBothSpellingsGoToTheirReader)
{
    files.write("cfg/lower.ocio", "search_path: luts\n");
    files.write("cfg/upper.OCIO", "search_path: luts\n");
    files.write("cfg/notocio", "search_path: luts\n");
    files.write("cfg/luts/film.cube");
    auto c = idle();
    ConsoleCapture capture;
    for (const char* name : {"cfg/lower.ocio", "cfg/upper.OCIO", "cfg/notocio"}) {
        c.AnaylseSeq(name, f(name));
        const Paths recorded = found(c, name);
        const bool lut =
            std::find(recorded.begin(), recorded.end(), f("cfg/luts/film.cube")) != recorded.end();
        EXPECT_EQ(lut, std::string(name) != "cfg/notocio") << name;
    }
}

// The matches of a pattern are printed and followed by their twins by the rules of any
// path, whatever their folder's name holds: a quote, the extension, or the last dot.
TEST_F(SequenceTest, MatchesArePrintedAndTwinnedByThePathRules)
{
    for (const char* name :
         {"it's/a.1001.exr", "it's/a.1001.tx", "it's/a.1002.exr", "exr/b.1001.exr", "tx/b.1001.tx",
          "n/exr_c.1001.exr", "n/tx_c.1001.tx", "dots.exr/plain1", "dots.tx"})
        files.write(name);
    auto c = idle();
    ConsoleCapture capture;
    c.AnaylseSeq("quoted", f("it's/a.<UDIM>.exr"));
    c.AnaylseSeq("folder", f("exr/b.<UDIM>.exr"));
    c.AnaylseSeq("name", f("n/exr_c.<UDIM>.exr"));
    c.AnaylseSeq("dots", f("dots.exr/plain<UDIM>"));
    const std::string out = capture.finish();

    Paths quoted = found(c, "quoted");
    std::sort(quoted.begin(), quoted.end()); // listing order
    EXPECT_EQ(quoted, (Paths{f("it's/a.1001.exr"), f("it's/a.1001.tx"), f("it's/a.1002.exr")}));
    EXPECT_NE(out.find("\"" + f("it's/a.1002.exr") + "\"\n"), std::string::npos) << out;
    EXPECT_EQ(found(c, "folder"), (Paths{f("exr/b.1001.exr"), f("tx/b.1001.tx")}));
    EXPECT_EQ(found(c, "name"), (Paths{f("n/exr_c.1001.exr"), f("n/tx_c.1001.tx")}));
    EXPECT_EQ(found(c, "dots"), (Paths{f("dots.exr/plain1"), f("dots.tx")}));
    // Twins are recorded, never printed.
    EXPECT_NE(out.find("'" + f("n/exr_c.1001.exr") + "'\n"), std::string::npos) << out;
    EXPECT_EQ(out.find(f("n/tx_c.1001.tx")), std::string::npos) << out;
}

TEST_F(SequenceTest, CacheTwinsReplaceEveryOccurrenceOfTheExtension)
{
    files.write("exr/a.exr");
    files.write("tx/a.tx");
    files.write("rstexbin/a.rstexbin");
    files.write("t/b.tx");
    auto c = idle();
    EXPECT_EQ(c.checkCacheFile(f("exr/a.exr")), (Paths{f("tx/a.tx"), f("rstexbin/a.rstexbin")}));
    EXPECT_EQ(c.checkCacheFile(f("t/b.tx")), Paths{});
    EXPECT_EQ(c.checkCacheFile(f("t/b.")), Paths{});
    EXPECT_EQ(c.checkCacheFile(f("t/b.png")), (Paths{f("t/b.tx")}));
    EXPECT_EQ(c.checkCacheFile(f("t/c.png")), Paths{});
    // Twins beside their texture, in a folder that holds one cache kind and not the other.
    files.write("s/c.exr");
    files.write("s/c.rstexbin");
    files.write("s/d.exr");
    EXPECT_EQ(c.checkCacheFile(f("s/c.exr")), (Paths{f("s/c.rstexbin")}));
    EXPECT_EQ(c.checkCacheFile(f("s/d.exr")), Paths{});
    EXPECT_EQ(c.checkCacheFile(f("s/c.exr")), (Paths{f("s/c.rstexbin")}));
    // Sources of one folder in a row: the folder's own places are replaced for each, and a
    // place in the name as well.
    for (const char* name : {"w/exr/a.exr", "w/exr/b.exr", "w/tx/a.tx", "w/tx/b.tx",
                             "w/exr/exr_e.exr", "w/exr/tx_e.tx", "w/tx/tx_e.tx"})
        files.write(name);
    EXPECT_EQ(c.checkCacheFile(f("w/exr/a.exr")), (Paths{f("w/tx/a.tx")}));
    EXPECT_EQ(c.checkCacheFile(f("w/exr/b.exr")), (Paths{f("w/tx/b.tx")}));
    EXPECT_EQ(c.checkCacheFile(f("w/exr/exr_e.exr")), (Paths{f("w/tx/tx_e.tx")}));
    // An extension holding a "/" (the last dot lies in a folder's name) may have a place
    // reaching over the last slash before that dot.
    files.write("q/tx.tx");
    EXPECT_EQ(c.checkCacheFile(f("q/c/d.c/d")), (Paths{f("q/tx.tx")}));
}

}  // namespace
}  // namespace script::testing
