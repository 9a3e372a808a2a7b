#include "readers/arnold_ass.h"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "readers/arnold_scene.h"

namespace script {
namespace {

using readers::AssContents;
using Kept = std::vector<std::string>;

const std::string k_arnold = ANALYSER_SHARED_TESTDATA "/arnold";

// The file names kept by the collector's parameters, as "type.parameter=value".
Kept kept_of(const AssContents& contents)
{
    Kept kept;
    for (const readers::AssNode& node : contents.nodes) {
        for (const readers::AssValue& value : node.values) {
            kept.push_back(node.type + "." + value.parameter + "=" + value.value);
        }
    }
    return kept;
}

AssContents read_text(const std::string& text, const std::string& source = "t.ass")
{
    std::istringstream in(text);
    return readers::read_ass(in, source, readers::arnold_kept_parameters());
}

AssContents read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    return readers::read_ass(in, path, readers::arnold_kept_parameters());
}

// gzip members (RFC 1952) of the texts, one after another.
std::string gzip(const std::vector<std::string>& members)
{
    std::string out;
    for (const std::string& text : members) {
        z_stream z{};
        EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
        std::string buffer(deflateBound(&z, text.size()) + 32, '\0');
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
        z.avail_in = static_cast<uInt>(text.size());
        z.next_out = reinterpret_cast<Bytef*>(buffer.data());
        z.avail_out = static_cast<uInt>(buffer.size());
        EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
        buffer.resize(z.total_out);
        deflateEnd(&z);
        out += buffer;
    }
    return out;
}

TEST(AssReader, ValuesAreToldApartByTheirShape)
{
    const struct
    {
        const char* what;
        std::string text;
        Kept kept;
    } cases[] = {
        {"brace on the type's line, tabs, no indentation",
         "usd {\n\tfilename \"a.usd\"\n}\nimage{filename b.tx}\n",
         {"usd.filename=a.usd", "image.filename=b.tx"}},
        {"braces, comment signs and line feeds inside a string",
         "osl\n{\n code \"shader s() { // }\n # not a comment\n}\"\n filename \"in.osl\"\n}\n"
         "image\n{\n filename \"after.tx\"\n}\n",
         {"osl.filename=in.osl", "image.filename=after.tx"}},
        {"escaped quote; other backslashes kept as written",
         "image\n{\n filename \"a\\\"b.tx\"\n}\nimage\n{\n filename \"C:\\\\tex\\a.tx\"\n}\n",
         {"image.filename=a\"b.tx", "image.filename=C:\\\\tex\\a.tx"}},
        {"matrix on the next four lines",
         "procedural\n{\n matrix\n 1 0 0 0\n 0 1 0 0\n 0 0 1 0\n 0 0 0 1\n filename \"p.ass\"\n}\n",
         {"procedural.filename=p.ass"}},
        {"motion-key matrix array",
         "procedural\n{\n matrix 1 23 MATRIX\n" +
             [] {
                 std::string numbers;
                 for (int i = 0; i < 368; ++i) {
                     numbers += i % 16 == 15 ? "1\n" : "0 ";
                 }
                 return numbers;
             }() +
             " filename \"m.ass\"\n}\n",
         {"procedural.filename=m.ass"}},
        {"encoded data starting with letters, on the next line and on the same line",
         "ginstance\n{\n matrix 1 3 b85MATRIX\ny!$$$$$$$$$(yfilename\n nodes 3 1 b64POINT zyzz\n "
         "filename \"g.tx\"\n}\n",
         {"ginstance.filename=g.tx"}},
        {"string array elements at column 0",
         "alembic\n{\n filename \"base.abc\"\n layers 2 1 STRING\n\"l1.abc\"\n\"l2.abc\"\n}\n",
         {"alembic.filename=base.abc", "alembic.layers=l1.abc", "alembic.layers=l2.abc"}},
        {"declare, then a single bare value",
         "image\n{\n declare mtoa_shading_groups constant ARRAY NODE\n mtoa_shading_groups "
         "\"lambert1\"\n"
         " filename \"d.tx\"\n}\n",
         {"image.filename=d.tx"}},
        {"a parameter without a value leaves the next name alone",
         "image\n{\n filename\n color 1 1 1\n filename \"v.tx\"\n}\n",
         {"image.filename=v.tx"}},
        {"header comments name no file",
         "### exported: Mon Dec 17 21:54:24 2018\n### scene: C:/Users/x/scenes/op.mb\n"
         "# created by /description/x\nimage\n{\n filename \"h.tx\" # trailing\n}\n",
         {"image.filename=h.tx"}},
        {"bare value naming a node is a link, before or after that node",
         "image\n{\n name up\n filename down\n}\nimage\n{\n name down\n filename up\n}\n"
         "image\n{\n filename plain_name\n}\n",
         {"image.filename=plain_name"}},
        {"geometry bodies are passed over, strings and comments included",
         "polymesh\n{\n name \"a } b\"\n # } \"\n vlist 2 1 b85VECTOR\n8s010zb)ua[\n filename "
         "\"no.tx\"\n}\n"
         "curves\n{\n filename \"no2.tx\"\n}\nimage\n{\n filename \"yes.tx\"\n}\n",
         {"image.filename=yes.tx"}},
        {"include line, byte-order mark, CR LF",
         "\xEF\xBB\xBFinclude \"geo/set.ass.gz\"\r\nimage\r\n{\r\n filename \"crlf.tx\"\r\n}\r\n",
         {"include.filename=geo/set.ass.gz", "image.filename=crlf.tx"}},
        {"bytes of a legacy code page are kept as they are",
         "image\n{\n filename \"/tex/\xB8\xB1\xB1\xBE.tx\"\n}\n",
         {"image.filename=/tex/\xB8\xB1\xB1\xBE.tx"}},
        {"options search paths and a crowd folder",
         "options\n{\n AA_samples 3\n texture_searchpath \"[T]:maps\"\n}\nm_a5_proc\n{\n "
         "G_assetsPath \"D:\\crowd\"\n}\n",
         {"options.texture_searchpath=[T]:maps", "m_a5_proc.G_assetsPath=D:\\crowd"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const AssContents contents = read_text(c.text);
        EXPECT_EQ(kept_of(contents), c.kept);
        EXPECT_EQ(contents.problem, "");
        EXPECT_EQ(contents.problems, 0);
    }
}

TEST(AssReader, MalformedTextIsReadAsFarAsItParses)
{
    const struct
    {
        const char* what;
        std::string text;
        Kept kept;
        std::string problem;
    } cases[] = {
        {"string never closes",
         "image\n{\n filename \"a.tx\"\n}\nimage\n{\n filename \"b.tx\n}\n",
         {"image.filename=a.tx"},
         "t.ass:7: a string that starts here never closes"},
        {"block never closes",
         "image\n{\n filename \"a.tx\"\n",
         {"image.filename=a.tx"},
         "t.ass:1: the image block that starts here never closes"},
        {"block runs into the next one",
         "image\n{\n filename \"a.tx\"\nimage\n{\n filename \"b.tx\"\n}\n",
         {"image.filename=a.tx", "image.filename=b.tx"},
         "t.ass:1: the image block that starts here is not closed before \"image {\""},
        {"stray word at top level",
         "\n\nstray\nimage\n{\n filename \"a.tx\"\n}\n",
         {"image.filename=a.tx"},
         "t.ass:3: unexpected \"stray\" outside a node block"},
        {"closing brace without a block",
         "}\nimage\n{\n filename \"a.tx\"\n}\n",
         {"image.filename=a.tx"},
         "t.ass:1: a \"}\" that closes no block"},
        {"array cut short",
         "image\n{\n uvlist 10 1 VECTOR2 1 2\n}\nimage\n{\n filename \"a.tx\"\n}\n",
         {"image.filename=a.tx"},
         "t.ass:3: the array of \"uvlist\" ends early"},
        {"geometry block never closes",
         "image\n{\n filename \"a.tx\"\n}\npolymesh\n{\n vlist 1 1 VECTOR 0 0 0\n",
         {"image.filename=a.tx"},
         "t.ass:5: the polymesh block that starts here never closes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const AssContents contents = read_text(c.text);
        EXPECT_EQ(kept_of(contents), c.kept);
        EXPECT_EQ(contents.problem, c.problem);
        EXPECT_GE(contents.problems, 1);
    }
}

TEST(AssReader, SubtitleFileIsNoSceneDescription)
{
    const AssContents contents =
        read_text("\n[Script Info]\nTitle: x\nimage\n{\n filename \"a.tx\"\n}\n");
    EXPECT_FALSE(contents.scene);
    EXPECT_TRUE(contents.nodes.empty());
}

TEST(AssReader, CompressionIsToldByTheBytes)
{
    const std::string first = "image\n{\n filename \"a.tx\"\n}\n";
    const std::string second = "image\n{\n filename \"b.tx\"\n}\n";
    EXPECT_EQ(kept_of(read_text(gzip({first + second}))),
              (Kept{"image.filename=a.tx", "image.filename=b.tx"}));

    // Several members, as concatenated gzip files give.
    const AssContents members = read_text(gzip({first, second}));
    EXPECT_EQ(kept_of(members), (Kept{"image.filename=a.tx", "image.filename=b.tx"}));
    EXPECT_EQ(members.problems, 0);

    // A cut stream keeps what came before the cut and says why it stopped.
    std::string noise;
    unsigned state = 1;
    for (int i = 0; i < 200000; ++i) {
        state = state * 1103515245u + 12345u;
        noise += static_cast<char>('a' + (state >> 16) % 26);
        noise += i % 64 == 63 ? "\n" : "";
    }
    const std::string whole = gzip({first + "# " + noise + "\n" + second});
    const AssContents cut = read_text(whole.substr(0, whole.size() - 30), "cut.ass.gz");
    EXPECT_EQ(kept_of(cut), (Kept{"image.filename=a.tx"}));
    EXPECT_NE(cut.problem.find("cut.ass.gz:"), std::string::npos) << cut.problem;
    EXPECT_NE(cut.problem.find("the compressed data ends early"), std::string::npos) << cut.problem;

    // Bytes after the last member that are no member.
    const AssContents trailing = read_text(gzip({first}) + "garbage");
    EXPECT_EQ(kept_of(trailing), (Kept{"image.filename=a.tx"}));
    EXPECT_NE(trailing.problem.find("the compressed data is corrupt"), std::string::npos);
}

TEST(AssReader, HugeValuesAndLongGeometryKeepMemoryAndLinesRight)
{
    // A 3 MiB string is left out (with its line), and reading goes on after it.
    std::string text = "image\n{\n filename \"" + std::string(3u << 20, 'x') + "\"\n}\n";
    // Geometry larger than the read buffer, with line feeds on both sides of its edges.
    // Geometry larger than the read buffer: an encoded line longer than the buffer, numbers
    // on short lines across several buffer edges, and sparse line feeds between long words.
    text +=
        "polymesh\n{\n vlist 1 1 b85VECTOR\n" + std::string(600000, 'z') + "\n vidxs 1 1 UINT\n";
    for (int i = 0; i < 200000; ++i) {
        text += "0 1 2 3 4 5 6 7 8 9\n";
    }
    for (int i = 0; i < 100; ++i) {
        text += std::string(5000 + i, 'y') + "\n";
    }
    text += "}\nimage\n{\n filename \"after.tx\"\n}\nstray\n";
    const AssContents contents = read_text(text);
    EXPECT_EQ(kept_of(contents), (Kept{"image.filename=after.tx"}));
    EXPECT_EQ(contents.problems, 2);
    EXPECT_EQ(contents.problem,
              "t.ass:3: a value of \"filename\" longer than 1048576 bytes is left out");
    const AssContents stray = read_text(text.substr(text.find("polymesh")));
    EXPECT_EQ(stray.problem, "t.ass:200111: unexpected \"stray\" outside a node block");
}

TEST(AssReader, RealFiles)
{
    const struct
    {
        std::string file;
        Kept kept;
    } cases[] = {
        {"/arnoldusd/test_0114/test.ass", Kept(5, "image.filename=check.tx")},
        {"/arnoldusd/test_0075/test.ass",
         {"photometric_light.filename=6.ies", "photometric_light.filename=12.IES"}},
        {"/arnoldusd/test_17642/test.ass", {"volume.filename=torus01.vdb"}},
        {"/arnoldusd/test_0117/test.ass",
         {"alembic.filename=Bottle.abc", "alembic.filename=Bottle.abc"}},
        {"/arnoldusd-gz/test_0100/test.ass.gz",
         {"procedural.filename=standin3.ass", "procedural.filename=standin2.ass",
          "procedural.filename=standin1.ass", "procedural.filename=standin1.ass"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const AssContents contents = read_file(k_arnold + c.file);
        Kept kept = kept_of(contents);
        std::erase_if(kept, [](const std::string& k) { return k.starts_with("driver_"); });
        EXPECT_EQ(kept, c.kept);
        EXPECT_EQ(contents.problem, "");
    }

    const Kept many = kept_of(read_file(k_arnold + "/arnoldusd/test_0090/test.ass"));
    EXPECT_EQ(std::count(many.begin(), many.end(), "procedural.filename=sphere.ass"), 21);

    const AssContents header = read_file(k_arnold + "/alshaders/test/test_header.ass");
    const Kept header_kept = kept_of(header);
    EXPECT_EQ(header.problem, "");
    EXPECT_EQ(header_kept.front(), "include.filename=test/test_geo.ass.gz");
    EXPECT_NE(std::find(header_kept.begin(), header_kept.end(), "MayaFile.filename=test/A.png"),
              header_kept.end());

    for (const char* geometry :
         {"/arnoldusd/test_0090/sphere.ass", "/arnoldusd/test_0110/shape.ass",
          "/alshaders2/tests/cryptomatte/000_mtoa_basic.ass"}) {
        const AssContents contents = read_file(k_arnold + geometry);
        EXPECT_EQ(contents.problem, "") << geometry;
    }
}

} // namespace
} // namespace script
