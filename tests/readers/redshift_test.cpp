#include "readers/redshift.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "assets/asset_collector.h"
#include "common/errors.h"
#include "common/fs.h"
#include "common/platform.h"
#include "host/standalone_host.h"
#include "tests/support/temp_dir.h"

namespace script {
namespace {

using testing::ConsoleCapture;
using testing::ScopedEnv;
using testing::TempDir;

constexpr const char* k_tools_dir = ANALYSER_TEST_TOOLS_DIR;

TEST(RedshiftListing, LinesMustBeUtf8)
{
    EXPECT_EQ(readers::decode_tool_line(""), "");
    EXPECT_EQ(readers::decode_tool_line("/tex/\xe6\xaf\x9b\xf0\x9f\x98\x80.exr"),
              "/tex/\xe6\xaf\x9b\xf0\x9f\x98\x80.exr");
    for (const char* bad : {"\xff", "/tex/\xc0\xaf.exr", "\xed\xa0\x80", "\xe6\xaf",
                            "\xf4\x90\x80\x80", "\x80", "\xe0\x80\xaf"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(readers::decode_tool_line(bad), Error);
    }
}

TEST(RedshiftListing, HeadingsAndBlankLinesAreNotPaths)
{
    EXPECT_EQ(readers::dependency_path("  /tex/a b.exr \r"), "/tex/a b.exr");
    EXPECT_EQ(readers::dependency_path("\t/tex/a.exr"), "/tex/a.exr");
    EXPECT_FALSE(readers::dependency_path(" \r").has_value());
    EXPECT_FALSE(readers::dependency_path("").has_value());
    EXPECT_FALSE(readers::dependency_path("Texture paths:").has_value());
    EXPECT_FALSE(readers::dependency_path("  Volume and Texture paths (2)").has_value());
}

TEST(RedshiftTool, ExeFirstThenThePlainName)
{
    TempDir dir;
    const std::string home = dir.mkdir("rs/bin");
    const std::string written = dir.path() + "/rs/x/../bin/";
    EXPECT_EQ(readers::redshift_tool_path(written), home + "/redshiftCmdLine.exe");
    dir.write("rs/bin/redshiftCmdLine", "");
    EXPECT_EQ(readers::redshift_tool_path(written), home + "/redshiftCmdLine");
    dir.write("rs/bin/redshiftCmdLine.exe", "");
    EXPECT_EQ(readers::redshift_tool_path(written), home + "/redshiftCmdLine.exe");

    const std::string os = platform::current_os();
    platform::set_current_os("windows");
    TempDir other;
    other.write("redshiftCmdLine", "");
    const std::string on_windows = readers::redshift_tool_path(other.path());
    platform::set_current_os(os);
    EXPECT_TRUE(on_windows.ends_with("/redshiftCmdLine.exe")) << on_windows;
}

class RedshiftCollector : public ::testing::Test
{
protected:
    RedshiftCollector() : m_home("REDSHIFT_HOME", k_tools_dir)
    {
        m_host.load_document(Json::object(), "scene");
    }

    // A proxy with the listing the fake tool prints for it.
    std::string proxy(const std::string& name, const std::string& listing) const
    {
        m_dir.write(name + ".deps", listing);
        return m_dir.write(name, "proxy");
    }

    ScopedEnv m_home;
    host::StandaloneHost m_host;
    TempDir m_dir;
};

TEST_F(RedshiftCollector, ToolLocation)
{
    zel_Katana_asset collector(m_host, zel_Katana_asset::NoCollect{});
    collector.getRsCmdline();
    EXPECT_EQ(collector.rs_cmdLine, std::string(k_tools_dir) + "/redshiftCmdLine");

    zel_Katana_asset other(m_host, zel_Katana_asset::NoCollect{});
    other.rs_cmdLine = "/kept/redshiftCmdLine.exe";
    other.getRsCmdline();
    EXPECT_EQ(other.rs_cmdLine, "/kept/redshiftCmdLine.exe");

    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        ScopedEnv home("REDSHIFT_HOME", value);
        zel_Katana_asset unset(m_host, zel_Katana_asset::NoCollect{});
        try {
            unset.getRsCmdline();
            ADD_FAILURE() << "no error";
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(), "No found REDSHIFT_HOME environment!");
        }
    }
}

TEST_F(RedshiftCollector, ListingNestedProxiesAndTwins)
{
    const std::string tex = m_dir.write("tex/rock.exr", "x");
    const std::string twin = m_dir.write("tex/rock.tx", "x");
    const std::string gone = m_dir.file("tex/gone.exr");
    const std::string pebble_tex = m_dir.write("tex/pebble.png", "x");
    const std::string pebble = proxy("pebble.rs", pebble_tex + "\n");
    const std::string rock =
        proxy("rock.rs", "Texture paths:\n  " + tex + "\r\n\n" + gone + "\n" + pebble + "\n");
    const std::string wall = proxy("wall.rs", "Texture paths:\n" + pebble + "\n");

    zel_Katana_asset collector(m_host, zel_Katana_asset::NoCollect{});
    const ReaderResult result = collector.get_rs_file_from_cmd(rock);
    EXPECT_EQ(result.asset, (std::vector<std::string>{tex, gone, pebble_tex, pebble, twin}));
    EXPECT_EQ(result.miss, (std::vector<std::string>{gone}));
    EXPECT_EQ(collector.rs_asseted, (std::set<std::string>{pebble}));

    // The nested proxy was expanded once for the collector: listed, not expanded again.
    const ReaderResult second = collector.get_rs_file_from_cmd(wall);
    EXPECT_EQ(second.asset, (std::vector<std::string>{pebble}));
    EXPECT_TRUE(second.miss.empty());
}

TEST_F(RedshiftCollector, ProxyPathReachesTheToolAsOneArgument)
{
    const std::string tex = m_dir.write("tex/a.exr", "x");
    const std::string odd =
        proxy("dir with space/p; touch pwned $(touch pwned2) `touch pwned3`.rs", tex + "\n");
    const std::string cwd = platform::current_dir();
    ASSERT_TRUE(platform::change_dir(m_dir.path()));
    zel_Katana_asset collector(m_host, zel_Katana_asset::NoCollect{});
    const ReaderResult result = collector.get_rs_file_from_cmd(odd);
    platform::change_dir(cwd);

    EXPECT_EQ(result.asset, (std::vector<std::string>{tex}));
    for (const char* name : {"pwned", "pwned2", "pwned3", "dir with space/pwned"}) {
        EXPECT_FALSE(fs::exists(m_dir.file(name))) << name;
    }
}

TEST_F(RedshiftCollector, ToolThatCannotStartAndUndecodableListing)
{
    const std::string bad = proxy("bad.rs", "/tex/\xff.exr\n");
    {
        TempDir empty_home;
        ScopedEnv home("REDSHIFT_HOME", empty_home.path().c_str());
        zel_Katana_asset collector(m_host, zel_Katana_asset::NoCollect{});
        const ReaderResult result = collector.get_rs_file_from_cmd(bad);
        EXPECT_EQ(collector.rs_cmdLine, empty_home.path() + "/redshiftCmdLine.exe");
        EXPECT_TRUE(result.asset.empty());
        EXPECT_TRUE(result.miss.empty());
    }
    zel_Katana_asset collector(m_host, zel_Katana_asset::NoCollect{});
    EXPECT_THROW(collector.get_rs_file_from_cmd(bad), Error);
}

TEST_F(RedshiftCollector, OverlongListingLineIsSkippedWithOneWarning)
{
    // A line far longer than any path (a broken tool printing without line ends) is left
    // out; the paths around it are kept.
    const std::string tex = m_dir.write("tex/a.exr", "x");
    const std::string huge(200 * 1024, 'x');
    const std::string listing = tex + "\n/" + huge + "\n" + tex + "\n/" + huge;
    const std::string rock = proxy("rock.rs", listing);
    zel_Katana_asset collector(m_host, zel_Katana_asset::NoCollect{});
    ConsoleCapture capture;
    const ReaderResult result = collector.get_rs_file_from_cmd(rock);
    EXPECT_EQ(result.asset, (std::vector<std::string>{tex, tex}));
    EXPECT_TRUE(result.miss.empty());
    EXPECT_EQ(capture.finish(), "Warnning: skip 2 line(s) longer than 65536 bytes printed by the "
                                "Redshift tool for proxy : " +
                                    rock + "\n");
}

}  // namespace
}  // namespace script
