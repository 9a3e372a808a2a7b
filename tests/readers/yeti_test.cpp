#include "readers/yeti.h"

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "assets/asset_collector.h"
#include "common/errors.h"
#include "host/standalone_host.h"
#include "tests/support/temp_dir.h"

namespace script {
namespace {

using testing::ConsoleCapture;
using testing::TempDir;

std::string encode_base64(std::string_view bytes)
{
    static constexpr char k_alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += {k_alphabet[v >> 18], k_alphabet[(v >> 12) & 63], k_alphabet[(v >> 6) & 63],
                k_alphabet[v & 63]};
    }
    if (i + 1 == bytes.size()) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        out += {k_alphabet[v >> 18], k_alphabet[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == bytes.size()) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8);
        out += {k_alphabet[v >> 18], k_alphabet[(v >> 12) & 63], k_alphabet[(v >> 6) & 63], '='};
    }
    return out;
}

std::string graph(const std::vector<std::string>& param_lines)
{
    std::string xml = "<?xml version=\"1.0\"?>\n<graph name=\"fixture\">\n";
    for (const std::string& line : param_lines) {
        xml += "  " + line + "\n";
    }
    return xml + "</graph>\n";
}

std::string file_param(const std::string& path)
{
    return "<param name=\"file_name\" value=\"" + path + "\" nice=\"File\"/>";
}

// Bytes around the blocks as a cache has them: a signature, NULs, high bytes, structure
// names and line feeds.
const std::string k_filler = std::string("\x89HDF\r\n\x1a\n", 8) +
                             std::string("TREE\0\0\xff\xfe", 8) + "HEAP" + std::string("\0\n\0", 3);

TEST(YetiBase64, DecodesLenientlyAndRejectsBrokenLength)
{
    EXPECT_EQ(readers::decode_base64("QUJD"), "ABC");
    EXPECT_EQ(readers::decode_base64("QUI="), "AB");
    EXPECT_EQ(readers::decode_base64("QQ=="), "A");
    EXPECT_EQ(readers::decode_base64("QU_J?D"), "ABC");  // outside the alphabet: skipped
    EXPECT_EQ(readers::decode_base64("QQ==TREE"), "A");  // data after padding ignored
    EXPECT_EQ(readers::decode_base64("/+8="), "\xff\xef");
    EXPECT_EQ(readers::decode_base64(""), "");
    EXPECT_FALSE(readers::decode_base64("QUJDR").has_value());  // one character too many
    EXPECT_FALSE(readers::decode_base64("QUI").has_value());   // padding missing
    EXPECT_FALSE(readers::decode_base64("QQ=").has_value());
}

TEST(YetiBlocks, RunTakesTheWholeAlphabetAndAnyMarkerCase)
{
    const std::string encoded =
        encode_base64(graph({file_param("/show/tex/fur_\xe6\xaf\x9b.tif")}));
    ASSERT_NE(encoded.find('/'), std::string::npos);
    ASSERT_NE(encoded.find('+'), std::string::npos);

    const std::string lower = "pd94bwwgdmvyc2lvbj0ims4wij8+abc";
    const std::string line = "x" + encoded + std::string("\0", 1) + "TREE" + lower + "\x01";
    const std::vector<std::string> expected = {encoded, lower};
    EXPECT_EQ(readers::find_yeti_blocks(line), expected);
    EXPECT_TRUE(readers::find_yeti_blocks("no graph here PD94bWwg").empty());
}

TEST(YetiParameters, EachFileParameterOnItsOwn)
{
    const std::string text = graph({
        "<param value=\"10\" nice=\"Density\"/>" + file_param("/a/one.tif") + file_param("two.tif"),
        file_param("/b/three.<UDIM>.tif"),
        "<param name=\"file_name\" value=\"\" nice=\"File\"/>",
        "<param name=\"scale\" value=\"/not/a/file\" nice=\"Scale\"/>",
    });
    const std::vector<std::string> expected = {"/a/one.tif", "two.tif", "/b/three.<UDIM>.tif", ""};
    EXPECT_EQ(readers::yeti_file_parameters(text), expected);
}

TEST(YetiCache, BadBlocksAreSkippedWithWarningAndTheRestIsRead)
{
    const std::string good1 = encode_base64(graph({file_param("/show/tex/fur_\xe6\xaf\x9b.tif")}));
    const std::string good2 = encode_base64(graph({file_param("/show/tex/clump.tif")}));
    std::string cut = encode_base64(graph({file_param("/show/tex/lost.tif")}));
    cut.pop_back();  // no longer a whole number of groups
    const std::string not_utf8 = encode_base64(graph({file_param("/show/\xc3\x28.tif")}));

    // Two blocks on one line, then a line with the broken ones and a good one.
    const std::string cache = k_filler + good1 + std::string("\0", 1) + good2 + k_filler + cut +
                              std::string("\0", 1) + not_utf8 + "\n" + good1 + k_filler;
    std::istringstream in(cache);
    ConsoleCapture capture;
    const std::vector<std::string> found = readers::read_yeti_cache(in, "/c/hero.0001.fur");
    const std::string out = capture.finish();

    const std::vector<std::string> expected = {
        "/show/tex/fur_\xe6\xaf\x9b.tif", "/show/tex/clump.tif", "/show/tex/fur_\xe6\xaf\x9b.tif"};
    EXPECT_EQ(found, expected);
    EXPECT_EQ(
        out,
        "Warnning: skip a yeti graph block that is not valid base64 in cache : /c/hero.0001.fur\n"
        "Warnning: skip a yeti graph block that is not valid utf-8 in cache : /c/hero.0001.fur\n");
}

// Bytes made up as they are read: a head, `size` copies of one character, then a tail.
class GeneratedBytes : public std::streambuf
{
public:
    GeneratedBytes(std::string head, char fill, std::size_t size, std::string tail)
        : m_head(std::move(head)), m_fill(fill), m_left(size), m_tail(std::move(tail))
    {
        setg(m_head.data(), m_head.data(), m_head.data() + m_head.size());
    }

protected:
    int_type underflow() override
    {
        if (m_left > 0) {
            const std::size_t n = std::min(m_left, sizeof m_chunk);
            std::fill(m_chunk, m_chunk + n, m_fill);
            m_left -= n;
            setg(m_chunk, m_chunk, m_chunk + n);
        } else if (!m_tail_given && !m_tail.empty()) {
            m_tail_given = true;
            setg(m_tail.data(), m_tail.data(), m_tail.data() + m_tail.size());
        } else {
            return traits_type::eof();
        }
        return traits_type::to_int_type(*gptr());
    }

private:
    std::string m_head;
    char m_fill;
    std::size_t m_left;
    std::string m_tail;
    bool m_tail_given = false;
    char m_chunk[65536];
};

TEST(YetiCache, OverlongRunIsSkippedOnceAndTheRestIsRead)
{
    // A block longer than any graph (a cache of gigabytes without a line feed) is never
    // held: it is skipped with one warning, and the blocks after it are still read.
    const std::string good = encode_base64(graph({file_param("/show/tex/clump.tif")}));
    GeneratedBytes bytes("PD94bWwgdmVyc2lvbj0iMS4wIj8", 'A', readers::k_max_yeti_block_bytes,
                         "\n" + good + k_filler + good);
    std::istream in(&bytes);
    ConsoleCapture capture;
    const std::vector<std::string> found = readers::read_yeti_cache(in, "/c/big.fur");
    EXPECT_EQ(found, (std::vector<std::string>{"/show/tex/clump.tif", "/show/tex/clump.tif"}));
    EXPECT_EQ(capture.finish(),
              "Warnning: skip a yeti graph block longer than 67108864 bytes in cache : "
              "/c/big.fur\n");

    // Blocks at the very end of the cache, and markers with nothing after them.
    std::istringstream tail(k_filler + good + "\nPD94bWwgdmVyc2lvbj0iMS4wIj8");
    EXPECT_EQ(readers::read_yeti_cache(tail, "/c/t.fur"),
              (std::vector<std::string>{"/show/tex/clump.tif"}));
}

class YetiCollector : public ::testing::Test
{
protected:
    YetiCollector() { m_host.load_document(Json::object(), "scene"); }

    host::StandaloneHost m_host;
    TempDir m_dir;
};

using Paths = std::vector<std::string>;

Paths recorded(const assets::LabelledPaths& map, const std::string& label)
{
    const auto paths = map.find(label);
    return paths ? *paths : Paths{};
}

TEST_F(YetiCollector, GraphFilesAreExpandedUnderTheCacheLabel)
{
    const std::string present = m_dir.write("tex/density.tif", "x");
    const std::string absent = m_dir.file("tex/gone.tif");
    const std::string cache = m_dir.write(
        "hero.fur", k_filler + encode_base64(graph({file_param(present) + file_param(absent)})) +
                        k_filler + encode_base64(graph({file_param(present)})) + k_filler);

    zel_Katana_asset collector(m_host, zel_Katana_asset::NoCollect{});
    ConsoleCapture capture;
    const ReaderResult result = collector.getYetiSequen(cache, "/groom.file");
    const std::string out = capture.finish();

    // Recorded by the sequence expansion itself: found once expanded, then once again as
    // already recorded; the missing one as missing only.
    EXPECT_TRUE(result.asset.empty());
    EXPECT_TRUE(result.miss.empty());
    EXPECT_EQ(recorded(collector.ASSET_JSON.asset, "/groom.file"), (Paths{present, present}));
    EXPECT_EQ(recorded(collector.ASSET_JSON.missing, "/groom.file"), Paths{absent});
    EXPECT_EQ(out.rfind("start analyse yeti cache : " + cache + "\n['" + present + "', '" + absent +
                            "', '" + present + "']\n",
                        0),
              0u)
        << out;
}

TEST_F(YetiCollector, FrameAndUdimTokensExpandWithTwins)
{
    // Every tile exists, so nothing is missing; tiles bring their .tx twins.
    const Paths tiles = {m_dir.write("tex/fur.1001.tif", "x"),
                         m_dir.write("tex/fur.1002.tif", "x")};
    const std::string twin = m_dir.write("tex/fur.1001.tx", "x");
    const std::string frame = m_dir.write("cache/clump.0007.abc", "x");
    const std::string cache = m_dir.write(
        "groom.fur",
        k_filler + encode_base64(graph({file_param(m_dir.file("tex/fur.<UDIM>.tif")),
                                        file_param(m_dir.file("cache/clump.%04d.abc"))})));
    // The cache reached through the scene: its own label holds the cache and its tiles.
    zel_Katana_asset collector(m_host, zel_Katana_asset::NoCollect{});
    ConsoleCapture capture;
    collector.AnaylseSeq("/groom.file", cache);
    Paths found = recorded(collector.ASSET_JSON.asset, "/groom.file");
    std::sort(found.begin(), found.end());
    Paths expected = {cache, tiles[0], tiles[1], twin, frame};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected);
    EXPECT_EQ(recorded(collector.ASSET_JSON.missing, "/groom.file"), Paths{});
}

TEST_F(YetiCollector, CachesNamingEachOtherAreReadOnce)
{
    const std::string a = m_dir.file("a.fur");
    const std::string b = m_dir.write("b.fur", k_filler + encode_base64(graph({file_param(a)})));
    m_dir.write("a.fur", k_filler + encode_base64(graph({file_param(b), file_param(a)})));
    zel_Katana_asset collector(m_host, zel_Katana_asset::NoCollect{});
    ConsoleCapture capture;
    collector.AnaylseSeq("/groom.file", a);
    const std::string out = capture.finish();
    EXPECT_EQ(recorded(collector.ASSET_JSON.missing, "/groom.file"), Paths{});
    for (const std::string& cache : {a, b}) {
        const std::string line = "start analyse yeti cache : " + cache + "\n";
        EXPECT_EQ(out.find(line), out.rfind(line)) << out;
        EXPECT_NE(out.find(line), std::string::npos) << out;
    }
}

TEST_F(YetiCollector, CacheWithoutBlockYieldsNothingAndUnreadableCacheThrows)
{
    const std::string cache = m_dir.write("empty.fur", k_filler);
    zel_Katana_asset collector(m_host, zel_Katana_asset::NoCollect{});
    ConsoleCapture capture;
    const ReaderResult result = collector.getYetiSequen(cache, "/groom.file");
    EXPECT_TRUE(result.asset.empty());
    EXPECT_TRUE(result.miss.empty());
    EXPECT_EQ(recorded(collector.ASSET_JSON.asset, "/groom.file"), Paths{});
    EXPECT_THROW(collector.getYetiSequen(m_dir.file("missing.fur"), "/groom.file"), Error);
}

}  // namespace
}  // namespace script
