#include "readers/look_xml.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "assets/asset_collector.h"
#include "common/errors.h"
#include "host/standalone_host.h"
#include "tests/support/temp_dir.h"

namespace script {
namespace {

using readers::LookXmlValue;
using testing::ConsoleCapture;
using testing::TempDir;
using Strings = std::vector<std::string>;

constexpr auto k_path = LookXmlValue::Kind::PathLike;
constexpr auto k_cache = LookXmlValue::Kind::RelativeCache;

TEST(LookXmlValues, PathLikeMeansDrivePosixOrSlashesBeforeDigits)
{
    struct Case
    {
        std::string_view value;
        bool expected;
    };
    constexpr Case cases[] = {
        {"C:/show/tex/a.tx", true},
        {"d:\\show\\a.tx", true},
        {"see D:/x", true},
        {"0/1.5", true},
        {"\\\\10.0.0.5\\share", true},
        {"/show/001/a.tx", true},
        {"/show/tex/a.tx", true},
        {"//server/show/a.tx", true},
        {"a/b.tx", false},
        {"/ note", false},
        {"///", false},
        {"C:", false},
        {"1:/a", false},
        {"tex/cache.abc", false},
        {"", false},
        {"/", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(readers::is_path_like(c.value), c.expected) << "value: " << c.value;
    }
}

TEST(LookXmlValues, DocumentOrderBelowTheRootOnly)
{
    const std::string text = R"(<?xml version="1.0"?>
<look file="C:/scene/only.tx" cache="root.abc">
  <!-- comment="D:/not/an/attribute.tx" -->
  <material name="skin" diffuse="D:/tex/skin.tx" gain="0.5" spec="\\10.1.1.1\tex\spec.tx">
    <layer cache="geo\body.abc" note="ends in abc but.abc.txt"/>
  </material>
  text between
  <assign look="//192.168.0.2/look/eyes.xml" cache="C:/geo/eyes.abc"/>
</look>
)";
    const std::vector<LookXmlValue> expected = {
        {"D:/tex/skin.tx", k_path},  {"\\\\10.1.1.1\\tex\\spec.tx", k_path},
        {"geo\\body.abc", k_cache},  {"//192.168.0.2/look/eyes.xml", k_path},
        {"C:/geo/eyes.abc", k_path}, // path-like wins over the relative-cache test
    };
    EXPECT_EQ(readers::read_look_xml(text, "look.xml"), expected);
}

TEST(LookXmlValues, MalformedTextNamesTheSourceAndLine)
{
    struct Case
    {
        std::string_view text;
        std::string_view message_start;
    };
    constexpr Case cases[] = {
        {"<look>\n  <a x=\"C:/a\">\n</look>\n", "/show/look/a.xml:3: malformed XML"},
        {"<look>\n  <a x=\"C:/a\" x=\"D:/b\"/>\n</look>\n", "/show/look/a.xml:2: malformed XML"},
        {"<look/>\n<look/>\n", "/show/look/a.xml:2: malformed XML"},
        {"<look/>\njunk\n", "/show/look/a.xml:2: malformed XML"},
        {"just text\n", "/show/look/a.xml:1: malformed XML"},
        {"<?xml version=\"1.0\"?>\n", "/show/look/a.xml:2: malformed XML"},
        {"", "/show/look/a.xml:1: malformed XML"},
        {"<look>\n<a x=\"C:/a<b\"/></look>", "/show/look/a.xml:2: malformed XML"},
        {"<look>\n<a x=\"C:/&tex;/a\"/></look>", "/show/look/a.xml:2: malformed XML"},
        {"<look>\n<a x=\"C:/R&D/a\"/></look>", "/show/look/a.xml:2: malformed XML"},
        {"<look>\n<a>&#xZZ;</a></look>", "/show/look/a.xml:2: malformed XML"},
    };
    for (const Case& c : cases) {
        try {
            readers::read_look_xml(c.text, "/show/look/a.xml");
            ADD_FAILURE() << "no failure for: " << c.text;
        } catch (const ParseError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.message_start, 0), 0u) << e.what();
        }
    }
}

TEST(LookXmlValues, ReferencesAreDecodedAndDeclaredEntitiesAccepted)
{
    const std::string text =
        "<!DOCTYPE look [<!ENTITY show \"S:/show\">]>\n"
        "<look><a x=\"C:/R&amp;D/&lt;v&gt;&#10;&#x41;.tx\" y=\"&show;\"/></look>";
    const std::vector<LookXmlValue> expected = {{"C:/R&D/<v>\nA.tx", k_path}};
    EXPECT_EQ(readers::read_look_xml(text, "look.xml"), expected);
}

// Node-graph documents saved by the host: escaped scripts, deep nesting, drive paths.
TEST(LookXmlValues, RealHostDocumentsRead)
{
    const std::string folder = ANALYSER_SHARED_TESTDATA "/katana/kui/";
    const LookXmlValue setup = {
        "Z:\\packages-dev\\KUI\\resources\\CustomNodes\\KuiLib\\kuisetup.pyc", k_path};
    const LookXmlValue instancer = {
        "Z:\\packages-dev\\KUI\\resources\\CustomNodes\\kuiinstancer.pyc", k_path};
    const std::vector<LookXmlValue> setup_values =
        readers::read_look_xml_file(folder + "KuiSetupMacro.macro");
    const std::vector<LookXmlValue> instancer_values =
        readers::read_look_xml_file(folder + "KuiInstancerMacro.macro");
    EXPECT_NE(std::find(setup_values.begin(), setup_values.end(), setup), setup_values.end());
    EXPECT_NE(std::find(instancer_values.begin(), instancer_values.end(), instancer),
              instancer_values.end());
}

// Folders named like versions make POSIX paths path-like ("/0.0.0/" is slashes and digits).
class LookXmlCollector : public ::testing::Test
{
protected:
    LookXmlCollector() { m_host.load_document(Json::object(), "scene"); }

    std::string look(const std::string& name, const std::string& body)
    {
        return m_dir.write("look/0.0.0/" + name,
                           "<look name=\"" + name + "\">\n" + body + "\n</look>\n");
    }

    std::string ref(const std::string& path) { return "  <ref file=\"" + path + "\"/>"; }

    host::StandaloneHost m_host;
    zel_Katana_asset m_collector{m_host, zel_Katana_asset::NoCollect{}};
    TempDir m_dir;
};

TEST_F(LookXmlCollector, NestedDocumentsCachesAndMissingFiles)
{
    const std::string tex = m_dir.write("tex/0.0.0/skin.tx", "x");
    const std::string gone_tex = m_dir.file("tex/0.0.0/gone.tx");
    const std::string gone_xml = m_dir.file("look/0.0.0/gone.xml");
    const std::string cache = m_dir.write("look/0.0.0/geo/body.abc", "x");
    const std::string eyes = look("eyes.xml", ref(tex));
    const std::string hero = look(
        "hero.xml", ref(eyes) + "\n" + ref(gone_tex) + "\n" + "  <geo cache=\"geo/body.abc\"/>\n" +
                        "  <geo cache=\"geo\\none.abc\"/>\n" + ref(gone_xml));

    m_collector.getXmlAssets(hero);

    // A named document is listed by the attribute and again when it is read; a missing
    // one is missing both as an attribute value and as a document.
    const Strings assets = {hero, eyes, eyes, tex, gone_tex, cache, gone_xml};
    const Strings missing = {gone_tex, m_dir.file("look/0.0.0/geo/none.abc"), gone_xml, gone_xml};
    EXPECT_EQ(m_collector.xmlAssets, assets);
    EXPECT_EQ(m_collector.xmlMissFile, missing);
}

TEST_F(LookXmlCollector, DocumentsNamingThemselvesOrEachOtherAreReadOncePerCall)
{
    // Every file exists before the first read: folder listings are taken once.
    const std::string self = m_dir.file("look/0.0.0/self.xml");
    const std::string self_again = m_dir.path() + "/look/./0.0.0/self.xml";
    look("self.xml", ref(self) + "\n" + ref(self_again));
    const std::string a = m_dir.file("look/0.0.0/a.xml");
    const std::string b = look("b.xml", ref(a));
    look("a.xml", ref(b));

    m_collector.getXmlAssets(self);
    EXPECT_EQ(m_collector.xmlAssets, (Strings{self, self, self_again}));
    EXPECT_TRUE(m_collector.xmlMissFile.empty());

    m_collector.xmlAssets.clear();
    m_collector.getXmlAssets(a);
    EXPECT_EQ(m_collector.xmlAssets, (Strings{a, b, b, a}));

    // A new call reads the documents again.
    m_collector.xmlAssets.clear();
    m_collector.getXmlAssets(b);
    EXPECT_EQ(m_collector.xmlAssets, (Strings{b, a, a, b}));
}

TEST_F(LookXmlCollector, MalformedNestedDocumentFailsNamingIt)
{
    const std::string bad = m_dir.write("look/0.0.0/bad.xml", "<look>\n<a>\n</look>\n");
    const std::string top = look("top.xml", ref(bad));
    try {
        m_collector.getXmlAssets(top);
        ADD_FAILURE() << "no failure";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()).rfind(bad + ":3: ", 0), 0u) << e.what();
    }
}

TEST_F(LookXmlCollector, DocumentTooLargeToHoldIsFoundButNotRead)
{
    // A sparse file: a gigabyte of nothing without a line end takes no disk.
    const std::string huge = m_dir.write("look/0.0.0/huge.xml", "<look>");
    std::filesystem::resize_file(huge, readers::k_max_look_xml_bytes + 1);
    const std::string tex = m_dir.write("tex/0.0.0/skin.tx", "x");
    const std::string top = look("top.xml", ref(huge) + "\n" + ref(tex));
    ConsoleCapture capture;
    m_collector.getXmlAssets(top);
    EXPECT_EQ(m_collector.xmlAssets, (Strings{top, huge, huge, tex}));
    EXPECT_TRUE(m_collector.xmlMissFile.empty());
    EXPECT_EQ(capture.finish(), "Warnning: skip reading look XML " + huge +
                                    ": the look XML holds 268435457 "
                                    "bytes, more than the 268435456 a look document may have\n");
    try {
        readers::read_look_xml_file(huge);
        ADD_FAILURE() << "read";
    } catch (const Error& e) {
        EXPECT_EQ(
            std::string(e.what()).rfind("cannot read look XML " + huge + ": the look XML holds", 0),
            0u);
    }
}

TEST_F(LookXmlCollector, SequenceExpansionRecordsTheDocumentAndWhatItNames)
{
    const std::string tex = m_dir.write("tex/0.0.0/skin.tx", "x");
    const std::string gone = m_dir.file("tex/0.0.0/gone.tx");
    const std::string hero = look("hero.xml", ref(tex) + "\n" + ref(gone));
    {
        ConsoleCapture quiet;
        m_collector.AnaylseSeq("/scene/geo/hero.look", hero);
    }
    const auto assets = m_collector.ASSET_JSON.asset.find("/scene/geo/hero.look");
    const auto missing = m_collector.ASSET_JSON.missing.find("/scene/geo/hero.look");
    ASSERT_TRUE(assets.has_value());
    ASSERT_TRUE(missing.has_value());
    EXPECT_EQ(*assets, (Strings{hero, hero, tex, gone}));
    EXPECT_EQ(*missing, Strings{gone});
}

} // namespace
} // namespace script
