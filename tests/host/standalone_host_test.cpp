#include "host/standalone_host.h"

#include <gtest/gtest.h>

#include "common/errors.h"
#include "common/json_doc.h"
#include "tests/support/host_describe.h"
#include "tests/support/scene_builder.h"
#include "tests/support/temp_dir.h"

namespace script::host {
namespace {

using testing::describe;
using testing::SceneBuilder;
using testing::TempDir;

SceneBuilder render_scene()
{
    SceneBuilder b;
    b.node("rootNode", "Group").param("inTime", 1.0).param("outTime", 100)
        .param("variables.shot.options", Json::array({"a", "b"}))
        .node("Grp", "Group").parent("rootNode")
        .node("Render1", "Render").parent("Grp").param("farmSettings.TimeRange", "1-100")
        .output("primary", "/out/a.#.exr", "exr").output("deep", "/out/d.#.exr", "exr")
        .node("Render2", "Render").bypassed().render_error("no camera")
        .param_error("broken", "cannot evaluate");
    return b;
}

TEST(StandaloneHostNodes, TypesParentsAndBypass)
{
    auto b = render_scene();
    StandaloneHost host;
    host.load_document(b.json(), "test.katana");
    auto renders = host.all_nodes_by_type("Render");
    ASSERT_EQ(renders.size(), 2u);
    EXPECT_EQ(host.node_name(renders[0]), "Render1");
    EXPECT_EQ(host.node_name(renders[1]), "Render2");
    EXPECT_TRUE(host.all_nodes_by_type("Alembic_In").empty());
    EXPECT_EQ(host.node_name(*host.node_parent(renders[0])), "Grp");
    EXPECT_FALSE(host.node_parent(renders[1]).has_value());
    EXPECT_FALSE(host.is_bypassed(renders[0]));
    EXPECT_TRUE(host.is_bypassed(renders[1]));
    EXPECT_EQ(host.node_by_name("Render2"), renders[1]);
    EXPECT_FALSE(host.node_by_name("render2").has_value());
}

TEST(StandaloneHostParams, ValuesKeepTheirTypes)
{
    StandaloneHost host;
    host.load_document(render_scene().json(), "test.katana");
    const NodeRef root = *host.node_by_name("rootNode");
    const Json in_time = host.param_value(*host.parameter(root, "inTime"), 0);
    EXPECT_TRUE(in_time.is_number_float());
    const Json out_time = host.param_value(*host.parameter(root, "outTime"), 0);
    EXPECT_TRUE(out_time.is_number_integer());
    EXPECT_EQ(out_time, 100);

    auto options = host.parameter(root, "variables.shot.options");
    ASSERT_TRUE(options);
    EXPECT_TRUE(host.param_value(*options, 0).is_null());  // arrays are groups
    auto children = host.param_children(*options);
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(host.param_name(children[1]), "i1");
    EXPECT_EQ(host.param_value(children[1], 0), "b");
    EXPECT_TRUE(host.parameter(root, "variables.shot.options.i0").has_value());
    EXPECT_FALSE(host.parameter(root, "variables.missing").has_value());
    EXPECT_FALSE(host.parameter(root, "inTime.sub").has_value());
}

TEST(StandaloneHostParams, ErrorLeafThrowsAndSetValueStaysInMemory)
{
    TempDir dir;
    const std::string path = render_scene().write(dir.file("s.katana"));
    const std::string before = testing::read_text(path);
    StandaloneHost host;
    host.load_scene(path);
    const NodeRef render2 = *host.node_by_name("Render2");
    EXPECT_THROW(host.param_value(*host.parameter(render2, "broken"), 0), HostError);

    const ParamRef range = *host.parameter(*host.node_by_name("Render1"), "farmSettings.TimeRange");
    host.set_param_value(range, "5-6", 0);
    EXPECT_EQ(host.param_value(range, 0), "5-6");
    EXPECT_EQ(testing::read_text(path), before);
}

TEST(StandaloneHostRender, OutputsAndFailures)
{
    StandaloneHost host;
    host.load_document(render_scene().json(), "test.katana");
    const RenderNodeInfo info = host.render_node_info(*host.node_by_name("Render1"));
    ASSERT_EQ(info.number_of_outputs(), 2);
    EXPECT_EQ(info.all_output_names(), (std::vector<std::string>{"primary", "deep"}));
    EXPECT_EQ(info.output_info_by_index(1, false).at("outputFile"), "/out/d.#.exr");
    EXPECT_EQ(info.output_info_by_name("primary", false).at("imageInfo").at("fileExtension"), "exr");
    EXPECT_THROW(info.output_info_by_index(2, false), HostError);
    EXPECT_THROW(info.output_info_by_index(-1, false), HostError);
    EXPECT_THROW(info.output_info_by_name("beauty", false), HostError);

    EXPECT_THROW(host.render_node_info(*host.node_by_name("Render2")), HostError);
    // A node without render info has no outputs and no producer.
    EXPECT_EQ(host.render_node_info(*host.node_by_name("Grp")).number_of_outputs(), 0);
    EXPECT_FALSE(host.render_producer(*host.node_by_name("Grp")).has_value());
}

TEST(StandaloneHostRender, OutputWithoutNameListsEmpty)
{
    RenderNodeInfo info({Json{{"outputFile", "/a"}}, Json{{"name", "b"}}});
    EXPECT_EQ(info.all_output_names(), (std::vector<std::string>{"", "b"}));
}

SceneBuilder graph_scene()
{
    Json attrs = {{"material", {{"nodes", {{"tex1", {{"parameters", {{"filename", "/tex/a.tx"}}}}}}}}},
                  {"count", 3},
                  {"scale", 0.5}};
    Json geo = SceneBuilder::location("geo", "polymesh", {{"geometry", {{"file", "/g.abc"}}}});
    Json root = SceneBuilder::location("scene", "group", attrs, Json::array({geo}));
    SceneBuilder b;
    b.scene_graph("main", root).node("Render1", "Render").producer("main");
    return b;
}

TEST(StandaloneHostGraph, LocationsAndAttributes)
{
    StandaloneHost host;
    host.load_document(graph_scene().json(), "test.katana");
    const LocationRef root = *host.render_producer(*host.node_by_name("Render1"));
    EXPECT_EQ(host.location_full_name(root), "/scene");
    EXPECT_EQ(host.location_type(root), "group");
    EXPECT_EQ(host.location_attribute_names(root),
              (std::vector<std::string>{"material", "count", "scale"}));
    auto children = host.location_children(root);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(host.location_full_name(children[0]), "/scene/geo");

    struct Case { const char* path; const char* kind; Json value; };
    const Case cases[] = {
        {"material.nodes.tex1.parameters.filename", "StringAttr", "/tex/a.tx"},
        {"count", "IntAttr", 3},
        {"scale", "DoubleAttr", 0.5},
        {"material.nodes", "GroupAttr", nullptr},
    };
    for (const Case& c : cases) {
        auto attr = host.location_attribute(root, c.path);
        ASSERT_TRUE(attr) << c.path;
        EXPECT_EQ(host.attribute_kind(*attr), c.kind) << c.path;
        EXPECT_EQ(host.attribute_value(*attr), c.value) << c.path;
    }
    EXPECT_FALSE(host.location_attribute(root, "material.none").has_value());
    EXPECT_FALSE(host.location_attribute(root, "count.sub").has_value());

    const AttrRef nodes = *host.location_attribute(root, "material.nodes");
    EXPECT_FALSE(host.attribute_child_names(nodes).has_value());
    auto list = host.attribute_child_list(nodes);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ((*list)[0].first, "tex1");
    EXPECT_EQ(host.attribute_child(nodes, "tex1"), (*list)[0].second);
    EXPECT_FALSE(host.attribute_child_list(*host.location_attribute(root, "count")).has_value());
}

TEST(StandaloneHostGraph, OlderHostsOfferChildNames)
{
    auto b = graph_scene();
    b.offer_child_names();
    StandaloneHost host;
    host.load_document(b.json(), "test.katana");
    const LocationRef root = *host.render_producer(*host.node_by_name("Render1"));
    auto names = host.attribute_child_names(*host.location_attribute(root, "material"));
    ASSERT_TRUE(names);
    EXPECT_EQ(*names, std::vector<std::string>{"nodes"});
}

TEST(StandaloneHostLoad, RejectsBadDocuments)
{
    TempDir dir;
    std::string deep_tree;
    for (int i = 0; i < 50000; ++i)
        deep_tree += R"({"name": "l", "children": [)";
    deep_tree += R"({"name": "leaf"})" + std::string(50000 * 2, ' ');
    for (int i = 0; i < 50000; ++i)
        deep_tree.replace(deep_tree.size() - 2 * (50000 - i), 2, "]}");
    struct Case { const char* name; std::string content; const char* message_part; };
    const Case cases[] = {
        {"missing.katana", "", "cannot open"},
        {"bad.katana", "{nodes: ", "invalid JSON"},
        {"array.katana", "[]", "must be a JSON object"},
        {"fails.katana", R"({"load_error": "file is corrupt"})", "file is corrupt"},
        {"noname.katana", R"({"nodes": [{"type": "Render"}]})", "\"name\""},
        {"dup.katana", R"({"nodes": [{"name": "a", "type": "X"}, {"name": "a", "type": "X"}]})",
         "duplicate"},
        {"parent.katana", R"({"nodes": [{"name": "a", "type": "X", "parent": "zz"}]})",
         "unknown parent"},
        {"graph.katana", R"({"nodes": [{"name": "a", "type": "X", "producer": "zz"}]})",
         "unknown scene graph"},
        // A location tree 50,000 levels deep nests 100,000 JSON levels.
        {"deep.katana", R"({"scene_graphs": {"main": )" + deep_tree + "}}",
         "nest deeper than 1000 levels"},
        {"folder.katana", "", "it is a folder"},
    };
    for (const Case& c : cases) {
        const std::string name = c.name;
        const std::string path = name == "missing.katana"  ? dir.file(name)
                                 : name == "folder.katana" ? dir.mkdir(name)
                                                           : dir.write(name, c.content);
        StandaloneHost host;
        try {
            host.load_scene(path);
            ADD_FAILURE() << c.name << " loaded";
        } catch (const LoadError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos)
                << c.name << ": " << e.what();
            if (name != "fails.katana") // the host's own load message is given as it is
                EXPECT_EQ(std::string(e.what()).rfind(path + ": ", 0), 0u) << e.what();
        }
    }
}

// Members of the wrong JSON type fail as the host's own load errors, naming the document,
// never as a bare JSON library exception that no guard expects.
TEST(StandaloneHostLoad, WrongTypedMembersFailNamingTheDocument)
{
    const char* const scenes[] = {
        R"({"scene_graphs": {"main": {"name": "root", "type": 3}}})",
        R"({"scene_graphs": {"main": {"name": "root", "children": [{"name": "a", "type": []}]}}})",
        R"({"nodes": [{"name": "r", "type": "Render", "producer": {"name": "p", "type": {}}}]})",
    };
    for (const char* text : scenes) {
        StandaloneHost host;
        try {
            host.load_document(Json::parse(text), "shot.katana");
            ADD_FAILURE() << text << " loaded";
        } catch (const LoadError& e) {
            EXPECT_TRUE(std::string(e.what()).starts_with("shot.katana: ")) << e.what();
        }
    }

    const char* const looks[] = {
        R"({"materials": [{"key": "m", "type": 3}]})",
        R"({"materials": [{"key": "m", "attributes": {"nodes": {"t": null}}}]})",
        R"({"materials": [{"key": "m", "attributes": {"nodes": {"t": {"parameters": {"filename": [{}]}}}}}]})",
    };
    for (const char* text : looks) {
        StandaloneHost host;
        try {
            host.load_look_document(Json::parse(text), "char.klf");
            ADD_FAILURE() << text << " loaded";
        } catch (const HostError& e) {
            EXPECT_TRUE(std::string(e.what()).starts_with("char.klf: ")) << e.what();
        }
    }
}

TEST(StandaloneHostLoad, BomIsSkippedAndHeaderReadWithoutLoading)
{
    TempDir dir;
    const std::string path = dir.write(
        "s.katana", "\xEF\xBB\xBF{\"header\": {\"version\": \"4.5.1.000008\", \"release\": \"4.5v1\"}}");
    StandaloneHost host;
    const HeaderElement header = host.katana_xml_element(path);
    EXPECT_EQ(header.item("version"), "4.5.1.000008");
    EXPECT_THROW(header.item("build"), HostError);
    EXPECT_EQ(header.text(), R"(<katana version="4.5.1.000008" release="4.5v1"/>)");
    EXPECT_THROW(host.katana_xml_element(dir.file("none.katana")), HostError);
    EXPECT_NO_THROW(host.load_scene(path));
}

// Scene graphs are read from the text straight into the tables; whatever that reader does
// not take whole is read through a JSON tree. Both readings must give the same scene, and
// a document that cannot load fails with the same message either way.
TEST(StandaloneHostLoad, TextReaderAgreesWithTheTreeReader)
{
    const std::string graph =
        R"({"name": "root", "fullName": "/top", "extra": [null, {"a": [1, 2]}], )"
        R"("attributes": {"material": {"nodes": {"t\u00e9x": {"parameters": {)"
        R"("filename": "/tex/caf\u00e9 \ud83d\ude00 \"q\" \\ \/ \t.tx", "utf8": "caf)" "\xc3\xa9" R"(",)"
        R"("ints": [-3, 4], "big": 18446744073709551615, "neg0": -0, )"
        R"("float": 2.50e-1, "flag": [true, false], "off": false, "empty": {}}}}}}, )"
        R"("children": [{"name": "geo", "type": "polymesh", "attributes": {"geometry": {"file": "/g.abc"}}, )"
        R"("children": [{"name": "leaf", "fullName": 7}]}, {"type": "light", "name": "lamp"}]})";
    const std::string nodes =
        R"("nodes": [{"name": "rootNode", "type": "Group", "parameters": {"inTime": 1.0}}, )"
        R"({"name": "Render1", "type": "Render", "parent": "rootNode", "producer": "main", )"
        R"("render_info": {"outputs": [{"name": "primary", "outputFile": "/o.#.exr"}]}}, )"
        R"({"name": "Render2", "type": "Render", "producer": {"name": "inline", "children": [{"name": "c"}]}}])";
    const auto document = [&](const std::string& graphs) {
        return "\xEF\xBB\xBF {\"header\": {\"version\": \"4.5\"}, \"group_attributes_offer\": "
               "[\"childList\", \"childNames\"],\n\"scene_graphs\": " + graphs + ",\n" + nodes + "}\n";
    };
    struct Case { std::string text; bool direct; };
    const Case cases[] = {
        {document("{\"main\": " + graph + ", \"other\": {\"name\": \"o\"}}"), true},
        {document(R"({"main": {"name": "only"}})"), true},
        {R"({"nodes": [{"name": "a", "type": "Render"}]})", true},
        // Taken by the tree reader: children before the location's name, duplicate
        // members and attribute names, a full name after the children.
        {document(R"({"main": {"children": [{"name": "a"}], "name": "root"}})"), false},
        {document(R"({"main": {"name": "root", "name": "again"}})"), false},
        {document(R"({"main": {"name": "r", "attributes": {"a": 1, "b": 2, "a": 3}}})"), false},
        {document(R"({"main": {"name": "r"}, "main": {"name": "s"}})"), false},
        {document(R"({"main": {"name": "r", "children": [], "fullName": "/x"}})"), false},
        {R"({"nodes": [], "nodes": []})", false},
    };
    for (const Case& c : cases) {
        StandaloneHost direct;
        EXPECT_EQ(direct.load_document_text(c.text, "s.katana"), c.direct) << c.text;
        StandaloneHost tree;
        tree.load_document(parse_json_text(c.text), "s.katana");
        EXPECT_EQ(describe(direct), describe(tree)) << c.text;
    }
    // The direct reader keeps number types and decodes escapes as the tree does.
    StandaloneHost host;
    ASSERT_TRUE(host.load_document_text(cases[0].text, "s.katana"));
    const LocationRef root = *host.render_producer(*host.node_by_name("Render1"));
    EXPECT_EQ(host.location_full_name(root), "/top");
    EXPECT_EQ(host.location_full_name(host.location_children(host.location_children(root)[0])[0]),
              "/top/geo/leaf");
    const auto value = [&](const char* path) {
        return host.attribute_value(*host.location_attribute(root, path));
    };
    EXPECT_EQ(value("material.nodes.t\xc3\xa9x.parameters.filename"),
              "/tex/caf\xc3\xa9 \xf0\x9f\x98\x80 \"q\" \\ / \t.tx");
    EXPECT_TRUE(value("material.nodes.t\xc3\xa9x.parameters.big").is_number_unsigned());
    EXPECT_TRUE(value("material.nodes.t\xc3\xa9x.parameters.ints").is_number_integer());
    EXPECT_EQ(value("material.nodes.t\xc3\xa9x.parameters.flag"), 1);

    // Faults fail with the same message whichever reader met them first.
    const std::string faults[] = {
        document(R"({"main": {"name": "r", "attributes": {"a": null}}})"),
        document(R"({"main": {"name": "r", "attributes": {"a": []}}})"),
        document(R"({"main": {"name": 3}})"),
        document(R"({"main": {"name": "r", "type": 3}})"),
        document(R"({"main": {"name": "r", "children": {}}})"),
        document(R"({"main": {"name": "r\u0000", "children": [{"name": "x", "attributes": "no"}]}})"),
        document(R"({"main": {"name": "bad \ud800 surrogate"}})"),
        document("{\"main\": {\"name\": \"bad \xc0\xaf utf8\"}}"),
        document(R"({"main": {"name": "r", "attributes": {"a": 01}}})"),
        document(R"({"main": {"name": "r", "attributes": {"a": 1e400}}})"),
        document(R"({"main": {"name": "r",}})"),
        document(R"({"main": [])"),
        R"({"load_error": "broken", "scene_graphs": {"main": {"name": "r"}}})",
        R"({"scene_graphs": {"main": {"name": "r"}}, "nodes": [{"name": "a", "type": "X", "producer": "zz"}]})",
        R"({"scene_graphs": {}} trailing)",
        "\xEF\xBB\xBF\xEF\xBB\xBF",  // byte order marks and nothing else
    };
    for (const std::string& text : faults) {
        std::string direct_error;
        std::string tree_error;
        try {
            StandaloneHost().load_document_text(text, "s.katana");
        } catch (const LoadError& e) {
            direct_error = e.what();
        }
        try {
            StandaloneHost().load_document(parse_json_text(text), "s.katana");
        } catch (const Error& e) {
            tree_error = e.what();
        }
        EXPECT_FALSE(direct_error.empty()) << text;
        EXPECT_TRUE(direct_error == tree_error || direct_error == "s.katana: invalid JSON: " + tree_error)
            << text << "\n" << direct_error << "\n" << tree_error;
    }
}

TEST(StandaloneHostConfig, EnvironmentFlags)
{
    StandaloneHost host;
    struct Case { const char* value; Json expected; };
    const Case cases[] = {{nullptr, nullptr}, {"", nullptr}, {"0", nullptr}, {"1", "1"}, {"yes", "yes"}};
    for (const Case& c : cases) {
        testing::ScopedEnv env("ANALYSER_TEST_FLAG", c.value);
        EXPECT_EQ(host.configuration("ANALYSER_TEST_FLAG"), c.expected) << (c.value ? c.value : "unset");
    }
}

TEST(StandaloneHostLook, MaterialsCachedAndFailures)
{
    TempDir dir;
    const std::string path = dir.write("a.klf", R"({"materials": [
        {"key": "m1", "type": "material", "attributes": {"nodes": {"t": {"parameters": {"filename": "/x.tx"}}}}},
        {"key": "m2", "type": "material", "attributes": {}}]})");
    StandaloneHost host;
    const LookFileRef look = host.open_look_file(path);
    EXPECT_EQ(host.open_look_file(path), look);
    EXPECT_EQ(host.look_file_material_keys(look), (std::vector<std::string>{"m1", "m2"}));
    EXPECT_EQ(host.look_file_material_type(look, "m1"), "material");
    const AttrRef m1 = *host.look_file_material(look, "m1");
    EXPECT_EQ(host.attribute_kind(m1), "GroupAttr");
    auto nodes = host.attribute_child(m1, "nodes");
    ASSERT_TRUE(nodes);
    EXPECT_FALSE(host.look_file_material(look, "m2").has_value());

    EXPECT_THROW(host.open_look_file(dir.file("none.klf")), HostError);
    EXPECT_THROW(host.open_look_file(dir.write("bad.klf", "{\"materials\": 3}")), HostError);
}

}  // namespace
}  // namespace script::host
