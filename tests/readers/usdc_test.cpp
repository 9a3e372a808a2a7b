#include "readers/usdc.h"

#include <random>
#include <sstream>
#include <streambuf>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "common/errors.h"
#include "readers/usd_layer.h"
#include "tests/support/usdc_writer.h"

namespace script {
namespace {

using readers::UsdLayer;
using testing::CrateWriter;
using Strings = std::vector<std::string>;

Strings describe(const UsdLayer& layer)
{
    Strings out;
    for (const readers::UsdAssetRef& ref : layer.refs) {
        out.push_back(std::string(readers::usd_ref_kind_name(ref.kind)) + " " +
                      std::string(layer.path_of(ref)) + " " + std::string(layer.owner_of(ref)) +
                      " " + ref.field);
    }
    return out;
}

UsdLayer read_bytes(const std::string& bytes)
{
    std::istringstream in(bytes);
    return readers::read_usdc(in, "t.usdc");
}

TEST(UsdcIntegers, DecodesEveryCodeWidthAndWraps)
{
    struct Case
    {
        std::string name;
        std::string encoded;
        std::size_t count;
        int width;
        std::vector<std::uint64_t> expected;
    };
    const std::vector<Case> cases = {
        {"empty list reads nothing", "", 0, 4, {}},
        // common difference 1; codes 01 00 00 01 | 10 00; i8 7, i8 0, i16 991
        {"small and medium differences", std::string("\x01\x00\x00\x00\x41\x02\x07\x00\xDF\x03", 10), 6,
         4, {7, 8, 9, 9, 1000, 1001}},
        {"a negative difference to the terminator",
         std::string("\x00\x00\x00\x00\x11\x05\xFA", 7), 3, 4, {5, 5, 0xFFFFFFFFu}},
        {"64-bit: i16, i32 and i64 differences",
         std::string("\x00\x00\x00\x00\x00\x00\x00\x00\x39", 9) + std::string("\x02\x00", 2) +
             std::string("\x00\x00\x01\x00", 4) + std::string("\x00\x00\x00\x00\x01\x00\x00\x00", 8),
         3, 8, {2, 2 + 65536, 2 + 65536 + (1ull << 32)}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(readers::decode_usdc_integers(c.encoded, c.count, c.width), c.expected) << c.name;
    }
    // Codes promise a difference that is not there.
    EXPECT_THROW(readers::decode_usdc_integers(std::string("\x00\x00\x00\x00\x03", 5), 1, 4), Error);
    EXPECT_THROW(readers::decode_usdc_integers(std::string("\x00\x00", 2), 1, 4), Error);
}

// The integer coding as the format notes give it, for generated lists: differences from
// the previous value, each the common one (code 0) or stored in the fewest bytes that hold
// it as a signed number.
template <typename Int> std::string encode_integers(const std::vector<Int>& values, Int common)
{
    using Signed = std::make_signed_t<Int>;
    constexpr std::size_t w = sizeof(Int);
    std::string codes((2 * values.size() + 7) / 8, '\0');
    std::string diffs;
    Int previous = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const Int delta = static_cast<Int>(values[i] - previous);
        previous = values[i];
        const auto fits = [delta](std::size_t bytes) {
            const auto d = static_cast<Signed>(delta);
            const std::int64_t low = -(std::int64_t{1} << (8 * bytes - 1));
            return bytes == w || (d >= low && d < -low);
        };
        unsigned code = 3;
        if (delta == common) {
            code = 0;
        } else if (fits(w / 4)) {
            code = 1;
        } else if (fits(w / 2)) {
            code = 2;
        }
        codes[i / 4] = static_cast<char>(codes[i / 4] | (code << (2 * (i % 4))));
        if (code != 0) {
            const std::size_t bytes = (w / 4) << (code - 1);
            diffs.append(reinterpret_cast<const char*>(&delta), bytes); // little-endian
        }
    }
    return std::string(reinterpret_cast<const char*>(&common), w) + codes + diffs;
}

TEST(UsdcIntegers, GeneratedListsOfBothWidthsRoundTrip)
{
    std::mt19937_64 random(12);
    for (int round = 0; round < 400; ++round) {
        const std::size_t count = random() % 40;
        std::vector<std::uint32_t> narrow;
        std::vector<std::uint64_t> wide;
        std::uint64_t value = random();
        for (std::size_t i = 0; i < count; ++i) {
            // Mostly small steps either way, some large ones and repeats of one step.
            const std::uint64_t pick = random() % 8;
            value += pick < 3   ? 1
                     : pick < 6 ? random() % 600 - 300
                     : pick < 7 ? random()
                                : random() % 70000;
            narrow.push_back(static_cast<std::uint32_t>(value));
            wide.push_back(value);
        }
        const std::string narrow_bytes = encode_integers<std::uint32_t>(narrow, 1);
        const std::string wide_bytes = encode_integers<std::uint64_t>(wide, 1);
        EXPECT_EQ(readers::decode_usdc_integers(narrow_bytes, count, 4),
                  std::vector<std::uint64_t>(narrow.begin(), narrow.end()))
            << round;
        EXPECT_EQ(readers::decode_usdc_integers(wide_bytes, count, 8), wide) << round;
        // Cut anywhere, a list is refused: every byte of it is needed.
        if (count > 0) {
            const std::size_t cut = random() % narrow_bytes.size();
            EXPECT_THROW(readers::decode_usdc_integers(narrow_bytes.substr(0, cut), count, 4),
                         Error)
                << round << " cut at " << cut;
            EXPECT_THROW(readers::decode_usdc_integers(wide_bytes.substr(0, wide_bytes.size() - 1),
                                                       count, 8),
                         Error)
                << round;
        }
    }
}

TEST(UsdcLz4, OverlappingMatchesAndCorruptBlocks)
{
    // 'a', then a match of 8 at offset 1 (overlapping), then five literals.
    const std::string block = std::string("\x00\x14" "a\x01\x00" "\x50" "bcdef", 11);
    EXPECT_EQ(readers::decompress_usdc(block, 64), "aaaaaaaaabcdef");
    EXPECT_EQ(readers::decompress_usdc(std::string("\x00\x00", 2), 0), "");
    // Two chunks of literals.
    EXPECT_EQ(readers::decompress_usdc(std::string("\x02\x03\x00\x00\x00\x20xy\x02\x00\x00\x00\x10z", 15), 8),
              "xyz");
    EXPECT_THROW(readers::decompress_usdc(std::string("\x00\x14" "a\x05\x00" "\x50" "bcdef", 11), 64),
                 Error);  // before the start of the output
    EXPECT_THROW(readers::decompress_usdc(block, 4), Error);  // output overrun
    EXPECT_THROW(readers::decompress_usdc(std::string("\x01\xFF\x00\x00\x00", 5), 8), Error);
}

// A layer holding a file in every place a crate layer can hold one.
std::string every_place_layer(int minor, int patch = 0)
{
    std::ostringstream out;
    CrateWriter w(out, minor, patch);
    CrateWriter::ArcListOp refs;
    refs.explicit_items = {{"./explicit.usd", "/E", {}}};
    refs.added = {{"./added.usd", "", {{"note", w.asset("./note.txt")}}}, {"", "/Internal", {}}};
    refs.prepended = {{"./prepended.usda", "/P", {}}};
    refs.appended = {{"./appended.usdc", "", {}}};
    refs.deleted = {{"./deleted.usd", "", {}}};
    refs.ordered = {{"./ordered.usd", "", {}}};
    const CrateWriter::Rep references = w.references(refs);
    CrateWriter::Rep payload = w.payload({"./single.usdc", "/S", {}});
    if (minor >= 8) {
        CrateWriter::ArcListOp payloads;
        payloads.prepended = {{"./payload.usdc", "/P", {}}, {"", "/Local", {}}};
        payload = w.payloads(payloads);
    }
    const CrateWriter::Rep clips = w.dictionary(
        {{"default", w.dictionary({{"assetPaths", w.asset_array({"./c.1.usd", "./c.2.usd"})},
                                    {"manifestAssetPath", w.asset("./manifest.usda")},
                                    {"templateAssetPath", w.string("./c.###.usd")},
                                    {"templateStride", CrateWriter::raw(9, 0x3F800000, true)}})}});
    const CrateWriter::Rep samples = w.time_samples(
        {{1.0, w.asset("./tex/a.<UDIM>.exr")}, {2.0, w.block()}, {3.0, w.asset("./tex/b.exr")}});
    const CrateWriter::Rep geometry = w.points(1000);
    w.owner("/", CrateWriter::PseudoRoot,
           {{"subLayers", w.string_vector({"./sub.usda", "/abs/sub2.usd"})},
            {"customLayerData", w.dictionary({{"source", w.asset("./scene.ma")}})},
            {"primChildren", w.token_vector({"World"})}});
    w.owner("/World", CrateWriter::Prim,
           {{"specifier", w.specifier_def()},
            {"references", references},
            {"payload", payload},
            {"clips", clips},
            {"assetInfo", w.dictionary({})},
            {"mystery", CrateWriter::raw(99, 1234567, false)},
            {"pipelineData",
             w.unregistered(w.string("{ asset cache = @./unreg.abc@, string s = \"@no.usd@\" }"))},
            {"pipelineDict", w.unregistered(w.dictionary({{"lut", w.asset("./unreg.cube")}}))},
            {"pipelineList",
             w.unregistered_list_op({w.string("@./list.abc@"),
                                     w.unregistered(w.dictionary({{"a", w.asset("./l.exr")}}))})}});
    w.owner("/World.tex", CrateWriter::Attribute,
           {{"typeName", w.token("asset")}, {"default", w.asset("./tex/wood.<UDIM>.tx")},
            {"timeSamples", samples}});
    w.owner("/World.points", CrateWriter::Attribute,
           {{"typeName", w.token("point3f[]")}, {"default", geometry}});
    w.owner("/World{lod=}", CrateWriter::VariantSet, {});
    w.owner("/World{lod=high}", CrateWriter::Variant,
           {{"references", w.references({false, {}, {}, {{"./high.usd", "", {}}}, {}, {}, {}})}});
    w.owner("/World{lod=high}Leaf.files", CrateWriter::Attribute,
           {{"default", w.asset_array({"./leaf@odd.png", "./pkg.usdz[in/x.png]"})}});
    w.finish();
    return out.str();
}

Strings every_place_expected(int minor)
{
    Strings expected = {"sublayer ./sub.usda / subLayers", "sublayer /abs/sub2.usd / subLayers",
                        "asset ./scene.ma / customLayerData",
                        "reference ./explicit.usd /World references",
                        "reference ./added.usd /World references",
                        "asset ./note.txt /World references",
                        "reference ./prepended.usda /World references",
                        "reference ./appended.usdc /World references",
                        "reference ./deleted.usd /World references",
                        "reference ./ordered.usd /World references"};
    expected.push_back(minor >= 8 ? "payload ./payload.usdc /World payload"
                                  : "payload ./single.usdc /World payload");
    for (const char* line :
         {"asset ./c.1.usd /World clips", "asset ./c.2.usd /World clips",
          "asset ./manifest.usda /World clips", "clip template ./c.###.usd /World clips",
          "asset ./unreg.abc /World pipelineData", "asset ./unreg.cube /World pipelineDict",
          "asset ./list.abc /World pipelineList", "asset ./l.exr /World pipelineList",
          "asset ./tex/wood.<UDIM>.tx /World.tex default",
          "asset ./tex/a.<UDIM>.exr /World.tex timeSamples",
          "asset ./tex/b.exr /World.tex timeSamples",
          "reference ./high.usd /World{lod=high} references",
          "asset ./leaf@odd.png /World{lod=high}Leaf.files default",
          "asset ./pkg.usdz /World{lod=high}Leaf.files default"}) {
        expected.push_back(line);
    }
    return expected;
}

TEST(UsdcReader, EveryVersionOfTheWriterRoundTrips)
{
    // Each version changes a layout the reader must follow: padded records (0.0.1),
    // compressed sections (0.4), array headers (0.5, 0.7), payload offsets (0.8), and the
    // newer versions add value types the layer does not use.
    const std::vector<std::pair<int, int>> versions = {{0, 1}, {1, 0}, {2, 0}, {4, 0}, {5, 0},
                                                       {6, 0}, {7, 0}, {8, 0}, {9, 0}, {10, 0},
                                                       {11, 0}, {12, 0}, {13, 0}, {14, 0}};
    for (const auto& [minor, patch] : versions) {
        const UsdLayer layer = read_bytes(every_place_layer(minor, patch));
        const std::string version = "0." + std::to_string(minor) + "." + std::to_string(patch);
        EXPECT_EQ(layer.version, version);
        EXPECT_EQ(layer.error, "") << version;
        EXPECT_EQ(describe(layer), every_place_expected(minor)) << version;
    }
}

TEST(UsdcReader, RealLayersOfEveryVersionInTheTestData)
{
    const std::string root = std::string(ANALYSER_SHARED_TESTDATA) + "/";
    struct Case
    {
        std::string file, version;
        Strings expected;
    };
    const std::vector<Case> cases = {
        {"usd/openusd-formats-pair/a.usdc", "0.0.1", {}},
        {"usd/openusd-animatedTop/top.geom.usd", "0.4.0", {}},
        {"usd/openusd-crate07-payload/crate07SinglePayload.usdc", "0.7.0",
         {"payload Payload.usda /PayloadRef1 payload", "payload Payload2.usda /PayloadRef2 payload"}},
        {"usd/openusd-checkerClean/clean.usdc", "0.8.0",
         {"sublayer ./geom.usdc / subLayers", "reference ./shading.usda /World references"}},
        {"usd/arnoldusd-crowdSublayers/test.usd", "0.9.0",
         {"payload sublayer/crowd_payload.usd /crowd payload"}},
        {"usd/openusd-dependencyExtractor/crate.usd", "0.7.0",
         {"asset ./base_a.usd / customLayerData", "sublayer ./sub_a.usd / subLayers",
          "sublayer ./sub_b.usd / subLayers", "clip template ./clip.###.usd /foo/bar clips",
          "reference ./ref_a.usd /foo/bar references", "reference ./ref_b.usd /foo/bar references",
          "asset ./v_meta_a.usda /foo{standin=full} assetInfo",
          "asset ./v_meta_b.usda /foo{standin=full} assetInfo",
          "reference ./v_ref_a.usd /foo{standin=full} references",
          "asset ./attr_a.usd /foo.attr_a default",
          "asset ./attr_a.usd /foo.attr_a_duplicate default",
          "asset ./attr_b.usd /foo.attr_b default", "asset ./attr_c.usd /foo.attr_b default",
          "asset ./v_attr_a.usd /foo{standin=full}.v_attr_a default",
          "asset ./v_attr_b.usd /foo{standin=full}.v_attr_b default",
          "asset ./v_attr_c.usd /foo{standin=full}.v_attr_b default",
          "asset ./meta_d.usd /foo assetInfo", "asset ./meta_a.usd /foo assetInfo",
          "asset ./meta_b.usd /foo assetInfo", "asset ./meta_c.usd /foo assetInfo",
          "payload ./payload_a.usd /foo payload", "asset ./attr_d.usd /foo.attr_c timeSamples",
          "asset ./attr_e.usd /foo.attr_c timeSamples"}},
    };
    for (const Case& c : cases) {
        const UsdLayer layer = readers::read_usd_layer_file(root + c.file);
        EXPECT_EQ(layer.encoding, readers::UsdEncoding::Crate) << c.file;
        EXPECT_EQ(layer.version, c.version) << c.file;
        EXPECT_EQ(layer.error, "") << c.file;
        EXPECT_EQ(describe(layer), c.expected) << c.file;
    }
}

TEST(UsdcReader, DamagedLayersFailCleanlyWithTheReason)
{
    const std::string good = every_place_layer(8);
    struct Case
    {
        std::string name;
        std::string bytes;
        std::string error;
    };
    std::string bad_toc = good;
    bad_toc.replace(16, 8, std::string("\xFF\xFF\xFF\x00\x00\x00\x00\x00", 8));
    std::string bad_major = good;
    bad_major[8] = 1;
    std::vector<Case> cases = {
        {"too short", good.substr(0, 40), "t.usdc: a crate layer is at least 88 bytes"},
        {"truncated", good.substr(0, good.size() / 2), "t.usdc: offset "},
        {"table of contents past the end", bad_toc, "t.usdc: offset "},
        {"unknown major version", bad_major, "t.usdc: unsupported crate version 1.8.0"},
        {"no crate header", "#usda 1.0\n" + std::string(100, ' '), "t.usdc: not a crate layer"},
    };
    for (const Case& c : cases) {
        const UsdLayer layer = read_bytes(c.bytes);
        EXPECT_TRUE(layer.error.starts_with(c.error)) << c.name << ": " << layer.error;
    }
    // Damage inside one value loses that value only.
    std::ostringstream out;
    CrateWriter w(out, 8);
    w.owner("/", CrateWriter::PseudoRoot, {{"subLayers", w.string_vector({"./a.usd"})}});
    w.owner("/A", CrateWriter::Prim,
           {{"references", CrateWriter::raw(35, 0xFFFFFFFFFFull, false)},
            {"assetInfo", w.dictionary({{"x", w.asset("./kept.png")}})}});
    w.finish();
    const UsdLayer layer = read_bytes(out.str());
    EXPECT_EQ(describe(layer), (Strings{"sublayer ./a.usd / subLayers", "asset ./kept.png /A assetInfo"}));
    EXPECT_TRUE(layer.error.starts_with("t.usdc: /A references: offset ")) << layer.error;
}

// Paths repeat their parents: a chain of prims with long names spells out far more text than
// the file holds. Past a limit the path table is refused, with the reason, rather than
// spelled out until memory runs out; a chain within it reads as usual.
TEST(UsdcReader, APathTableSpellingOutTooMuchTextIsRefused)
{
    const auto chain = [](std::size_t depth, std::size_t name_size) {
        std::ostringstream out;
        CrateWriter w(out, 8);
        std::string path;
        for (std::size_t i = 0; i < depth; ++i)
            path += "/" + std::string(name_size, 'p');
        w.owner("/", CrateWriter::PseudoRoot, {});
        w.owner(path, CrateWriter::Prim,
                {{"assetInfo", w.dictionary({{"x", w.asset("./deep.png")}})}});
        w.finish();
        return out.str();
    };
    // About 80 MB of path text from a file of about 64 KB.
    const std::string deep = chain(50, 64 * 1024);
    ASSERT_LT(deep.size(), 200u * 1024);
    const UsdLayer refused = read_bytes(deep);
    EXPECT_TRUE(refused.refs.empty());
    EXPECT_TRUE(refused.error.starts_with("t.usdc: the path table's text runs past "))
        << refused.error;

    const UsdLayer read = read_bytes(chain(20, 64 * 1024));
    EXPECT_EQ(read.error, "");
    ASSERT_EQ(read.refs.size(), 1u);
    EXPECT_EQ(read.owner_of(read.refs[0]).size(), 20 * (64 * 1024 + 1));
}

// A stream over a text that counts the bytes handed out.
class CountingBuffer : public std::streambuf
{
public:
    explicit CountingBuffer(const std::string& data) : m_data(data) { setg(nullptr, nullptr, nullptr); }
    std::uint64_t bytes_read() const { return m_read; }

protected:
    int_type underflow() override
    {
        if (m_pos >= m_data.size()) {
            return traits_type::eof();
        }
        const std::size_t n = std::min<std::size_t>(4096, m_data.size() - m_pos);
        char* start = const_cast<char*>(m_data.data()) + m_pos;
        setg(start, start, start + n);
        m_pos += n;
        m_read += n;
        return traits_type::to_int_type(*start);
    }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override
    {
        const std::int64_t base = dir == std::ios_base::beg ? 0
                                  : dir == std::ios_base::end
                                      ? static_cast<std::int64_t>(m_data.size())
                                      : static_cast<std::int64_t>(m_pos) - (egptr() - gptr());
        return seekpos(pos_type(base + off), std::ios_base::in);
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode) override
    {
        m_pos = static_cast<std::size_t>(static_cast<std::streamoff>(pos));
        setg(nullptr, nullptr, nullptr);
        return pos;
    }

private:
    const std::string& m_data;
    std::size_t m_pos = 0;
    std::uint64_t m_read = 0;
};

TEST(UsdcReader, GeometryIsNeverRead)
{
    std::ostringstream out;
    CrateWriter w(out, 9);
    const CrateWriter::Rep geometry = w.points(2'000'000);  // 24 MB of points
    w.owner("/", CrateWriter::PseudoRoot, {{"subLayers", w.string_vector({"./look.usda"})}});
    w.owner("/Mesh.points", CrateWriter::Attribute, {{"default", geometry}});
    w.owner("/Mesh.tex", CrateWriter::Attribute, {{"default", w.asset("./t.exr")}});
    w.finish();
    const std::string bytes = out.str();
    CountingBuffer buffer(bytes);
    std::istream in(&buffer);
    const UsdLayer layer = readers::read_usdc(in, "big.usdc");
    EXPECT_EQ(describe(layer), (Strings{"sublayer ./look.usda / subLayers",
                                        "asset ./t.exr /Mesh.tex default"}));
    EXPECT_LT(buffer.bytes_read(), 64u * 1024) << "of " << bytes.size();
}

}  // namespace
}  // namespace script
