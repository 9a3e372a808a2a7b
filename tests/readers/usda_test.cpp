#include "readers/usda.h"

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "readers/usd_layer.h"

namespace script {
namespace {

using readers::UsdLayer;

// "kind path owner field" per reference, in file order.
std::vector<std::string> describe(const UsdLayer& layer)
{
    std::vector<std::string> out;
    for (const readers::UsdAssetRef& ref : layer.refs) {
        out.push_back(std::string(readers::usd_ref_kind_name(ref.kind)) + " " +
                      std::string(layer.path_of(ref)) + " " + std::string(layer.owner_of(ref)) +
                      " " + ref.field);
    }
    return out;
}

UsdLayer read_text(const std::string& body)
{
    std::istringstream in("#usda 1.0\n" + body);
    return readers::read_usda(in, "t.usda");
}

TEST(UsdaReader, FindsEveryExternalFileWhereItIsAuthored)
{
    struct Case
    {
        std::string name;
        std::string body;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"sublayers with offsets, trailing comma",
         "(\n  subLayers = [@./a.usda@ (offset = 10; scale = 2), @/abs/b.usdc@,]\n)\n",
         {"sublayer ./a.usda / subLayers", "sublayer /abs/b.usdc / subLayers"}},
        {"'#' and '//' inside asset paths are no comments",
         "def \"A\" { asset a = @./clip.###.usd@\n asset b = @//server/a.usd@ # @c.usd@\n}\n",
         {"asset ./clip.###.usd /A.a default", "asset //server/a.usd /A.b default"}},
        {"'@' in comments and strings is no path",
         "# @x.usd@\n// @y.usd@\n/* @z.usd@\n @w.usd@ */\ndef \"A\" (doc = \"\"\"see @q.usd@\n\"\"\")\n"
         "{ string s = \"@s.usd@\" }\n",
         {}},
        {"triple-@ forms and the empty path",
         "def \"A\" { asset[] a = [@@@a@b.exr@@@, @@@c@@@@, @@@d\\@@@e@@@, @@] }\n",
         {"asset a@b.exr /A.a default", "asset c@ /A.a default", "asset d@@@e /A.a default"}},
        {"backslashes are kept, format arguments and package members dropped",
         "def \"A\" { asset a = @C:\\dir\\a.usd@\n asset b = @./b.usd:SDF_FORMAT_ARGS:x=1@\n"
         " asset c = @./pkg.usdz[tex/a.png]@ }\n",
         {"asset C:\\dir\\a.usd /A.a default", "asset ./b.usd /A.b default",
          "asset ./pkg.usdz /A.c default"}},
        {"references with prim paths and offsets over lines; internal ones carry no file",
         "def \"A\" (\n  prepend references = [\n    @./r.usd@</R> (\n      offset = 24\n"
         "      customData = { asset note = @./n.txt@ }\n    ),\n    </Local>,\n    @@</X>\n  ]\n"
         "  delete references = @./gone.usd@\n  payload = @./p.usdc@ (offset = 2)\n)\n{\n}\n",
         {"reference ./r.usd /A references", "asset ./n.txt /A references",
          "reference ./gone.usd /A references", "payload ./p.usdc /A payload"}},
        {"variants: metadata, attributes and nested prims",
         "def \"T\" (\n  variants = { string lod = \"high\" }\n  prepend variantSets = \"lod\"\n)\n{\n"
         "  variantSet \"lod\" = {\n    \"high\" (\n      prepend references = @./high.usd@\n    ) {\n"
         "      asset inputs:file = @./tex/bark.<UDIM>.tex@\n      def \"Leaf\" { asset f = @./leaf.png@ }\n"
         "    }\n    \"low\" { }\n  }\n}\n",
         {"reference ./high.usd /T{lod=high} references",
          "asset ./tex/bark.<UDIM>.tex /T{lod=high}.inputs:file default",
          "asset ./leaf.png /T{lod=high}Leaf.f default"}},
        {"time samples, blocked samples and a value-less property before a prim",
         "def \"A\" {\n  float3 outputs:rgb\n  def \"B\" {\n    asset f.timeSamples = {\n"
         "      1: @./a.tex@,\n      2: None,\n      3.5: @./b.tex@,\n    }\n  }\n}\n",
         {"asset ./a.tex /A/B.f timeSamples", "asset ./b.tex /A/B.f timeSamples"}},
        {"clip templates, new and old form",
         "def \"A\" (\n  clips = { dictionary default = {\n    asset[] assetPaths = [@./c.1.usd@]\n"
         "    asset manifestAssetPath = @./m.usda@\n    string templateAssetPath = \"./c.###.usd\"\n"
         "    double templateStride = 1\n  } }\n  clipTemplateAssetPath = \"./old.#.usd\"\n)\n{}\n",
         {"asset ./c.1.usd /A clips", "asset ./m.usda /A clips", "clip template ./c.###.usd /A clips",
          "clip template ./old.#.usd /A clipTemplateAssetPath"}},
        {"quoted paths of custom string geom and delta attributes; other strings are text",
         "def \"A\" {\n  custom string geomFile = \"/cache/a.abc\"\n  custom string deltaPath = \"d.abc\"\n"
         "  custom string label = \"x.abc\"\n}\n",
         {"asset /cache/a.abc /A.geomFile default", "asset d.abc /A.deltaPath default"}},
        {"keywords as names, semicolons, a dictionary with a comment only",
         "(\n  customLayerData = { # nothing\n  }\n  upAxis = \"Z\";\n)\n"
         "def \"A\" { float scale = 2; token kind = \"x\"; asset def = @./k.usd@ }\n",
         {"asset ./k.usd /A.def default"}},
        {"number arrays over lines, then the paths after them",
         "def \"A\" {\n  point3f[] points = [(0, 1.5e-3, -2), (+1, .5, 1E+2),\n    (3, 4, 5)]\n"
         "  matrix4d m = ( (1, 0), [2, 3] )\n  asset f = @./f.exr@\n"
         "  double[] mixed = [1, 2, None]\n  asset g = @./g.exr@\n}\n",
         {"asset ./f.exr /A.f default", "asset ./g.exr /A.g default"}},
        {"escapes in names and strings, namespaced properties",
         "def \"A\\x42\" {\n  asset a::b:c = @./e.exr@\n  custom string geomX = \"q\\tz.abc\"\n"
         "  custom string geomY = '''./m\r\nl.abc'''\n}\n",
         {"asset ./e.exr /AB.a::b:c default", "asset q\tz.abc /AB.geomX default",
          "asset ./m\nl.abc /AB.geomY default"}},
        {"expressions are evaluated against the layer's variables",
         "(\n  customLayerData = { asset a = @`\"./${N}.usda\"`@ }\n"
         "  expressionVariables = { string N = \"shot\" }\n)\n",
         {"asset ./shot.usda / customLayerData"}},
    };
    for (const Case& c : cases) {
        const UsdLayer layer = read_text(c.body);
        EXPECT_EQ(layer.error, "") << c.name;
        EXPECT_EQ(describe(layer), c.expected) << c.name;
        // In memory, tokens are views of the bytes until an escape or a line end differs.
        const std::string text = "#usda 1.0\n" + c.body;
        const UsdLayer in_memory = readers::read_usda(std::string_view(text), "t.usda");
        EXPECT_EQ(in_memory.error, "") << c.name;
        EXPECT_EQ(describe(in_memory), c.expected) << c.name << " (in memory)";
    }
}

TEST(UsdaReader, AssetPathsOfAValueKeptAsText)
{
    EXPECT_EQ(readers::usda_asset_paths("[@./a.usd@, @@@b@c.usd@@@, \"@s.usd@\"] # @x.usd@\n"),
              (std::vector<std::string>{"./a.usd", "b@c.usd"}));
    EXPECT_EQ(readers::usda_asset_paths("{ asset a = @./a.exr@\n asset b = @./b.exr"),
              (std::vector<std::string>{"./a.exr"}));  // the rest after a fault is not read
}

TEST(UsdaReader, LineEndingsDoNotChangeWhatIsFound)
{
    const std::string body = "(\n  subLayers = [@a.usd@]\n)\ndef \"A\" {\n  asset f = @b.png@\n}";
    const std::vector<std::string> expected = {"sublayer a.usd / subLayers",
                                               "asset b.png /A.f default"};
    std::string crlf, cr;
    for (const char c : body) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        cr += c == '\n' ? '\r' : c;
    }
    EXPECT_EQ(describe(read_text(body)), expected);
    EXPECT_EQ(describe(read_text(crlf)), expected);
    EXPECT_EQ(describe(read_text(cr)), expected);
}

TEST(UsdaReader, MalformedTextKeepsWhatWasReadAndNamesTheLine)
{
    struct Case
    {
        std::string text;
        std::string error;
        std::size_t refs;
    };
    const std::vector<Case> cases = {
        {"#usda 1.0\ndef \"A\" { asset a = @x.png@\n string s = \"open\n}\n",
         "t.usda:3: unterminated string", 1},
        {"#usda 1.0\ndef \"A\" {\n asset a = @x.png@\n asset b = @y.png\n}\n",
         "t.usda:4: unterminated asset path", 1},
        {"#usda 1.0\ndef \"A\" (\n references = [@x.usd@\n", "t.usda:3: unterminated block", 1},
        {"#usda 1.0\ndef \"A\" { ] }\n", "t.usda:2: expected '}', found ']'", 0},
        {"#usda 1.0\ndef \"A\" {\n float3 e = [(1, 2),\n (3, 4]]\n}\n",
         "t.usda:4: expected ')', found ']'", 0},
        {"#usda 1.0\ndef \"A\" {\n float3[] e = [(1, 2),\n (3, 4)]\n asset b = @y.png\n}\n",
         "t.usda:5: unterminated asset path", 0},
        {"#usda 1.0\ndef \"A\" {\n rel r = </A.b\n asset a = @x.png@\n}\n",
         "t.usda:3: unterminated path reference", 0},
        {"#usda 1.0\ndef \"A\" {\n asset a = @x.png@\n string s = 'a\\'b\n}\n",
         "t.usda:4: unterminated string", 1},
        {"#sdf 1.4.32\n", "t.usda:1: expected the header \"#usda 1.0\", found \"#sdf 1.4.32\"", 0},
        {"", "t.usda:1: expected the header", 0},
    };
    for (const Case& c : cases) {
        std::istringstream in(c.text);
        // Streamed or in memory, the same fault is found at the same line.
        for (const UsdLayer& layer : {readers::read_usda(in, "t.usda"),
                                      readers::read_usda(std::string_view(c.text), "t.usda")}) {
            EXPECT_TRUE(layer.error.starts_with(c.error)) << c.text << "\n got: " << layer.error;
            EXPECT_EQ(layer.refs.size(), c.refs) << c.text;
        }
    }
}

TEST(UsdaReader, RealLayersOfOthers)
{
    const std::string root = std::string(ANALYSER_SHARED_TESTDATA) + "/usd/";
    const UsdLayer ascii = readers::read_usd_layer_file(root + "openusd-dependencyExtractor/ascii.usda");
    EXPECT_EQ(ascii.error, "");
    EXPECT_EQ(describe(ascii),
              (std::vector<std::string>{
                  "asset ./base_a.usd / customLayerData", "sublayer ./sub_a.usd / subLayers",
                  "sublayer ./sub_b.usd / subLayers", "asset ./meta_a.usd /foo assetInfo",
                  "asset ./meta_b.usd /foo assetInfo", "asset ./meta_c.usd /foo assetInfo",
                  "payload ./payload_a.usd /foo payload", "asset ./attr_a.usd /foo.attr_a default",
                  "asset ./attr_b.usd /foo.attr_b default", "asset ./attr_c.usd /foo.attr_b default",
                  "reference ./ref_a.usd /foo/bar references",
                  "reference ./ref_b.usd /foo/bar references",
                  "clip template ./clip.###.usd /foo/bar clips",
                  "asset ./v_meta_a.usda /foo{standin=full} assetInfo",
                  "asset ./v_meta_b.usda /foo{standin=full} assetInfo",
                  "reference ./v_ref_a.usd /foo{standin=full} references",
                  "asset ./v_attr_a.usd /foo{standin=full}.v_attr_a default",
                  "asset ./v_attr_b.usd /foo{standin=full}.v_attr_b default",
                  "asset ./v_attr_c.usd /foo{standin=full}.v_attr_b default"}));
    // The same text behind ".usd" is read as text.
    const UsdLayer text_usd = readers::read_usd_layer_file(root + "openusd-dependencyExtractor/ascii.usd");
    EXPECT_EQ(text_usd.encoding, readers::UsdEncoding::Text);
    EXPECT_EQ(describe(text_usd), describe(ascii));
    // Twelve expressions, all naming ./asset.usda.
    const UsdLayer expressions = readers::read_usd_layer_file(root + "openusd-expressionVariables/root.usda");
    EXPECT_EQ(expressions.refs.size(), 12u);
    for (const readers::UsdAssetRef& ref : expressions.refs) {
        EXPECT_EQ(expressions.path_of(ref), "./asset.usda");
    }
}

}  // namespace
}  // namespace script
