// The standalone backend: every host answer comes from a scene document (JSON) loaded into
// flat tables. Handles are 1-based indexes into those tables, so a default handle (0) is
// never valid.

#include "host/standalone_host.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <new>
#include <span>

#include "common/errors.h"
#include "common/fs.h"
#include "common/json_doc.h"
#include "common/json_scan.h"

namespace script::host {

using namespace std::string_view_literals;

namespace {

struct ParamData
{
    std::string name;
    bool is_group = false;
    Json value;                       // leaf value (null for groups)
    std::optional<std::string> error;  // leaf that refuses to be read
    std::vector<std::uint32_t> children;
};

enum class AttrKind : std::uint8_t
{
    Group,
    String,
    Double,
    Int
};

const char* kind_name(AttrKind kind)
{
    switch (kind) {
    case AttrKind::Group:
        return "GroupAttr";
    case AttrKind::String:
        return "StringAttr";
    case AttrKind::Double:
        return "DoubleAttr";
    case AttrKind::Int:
        return "IntAttr";
    }
    return "";
}

using AttrChild = std::pair<std::string, std::uint32_t>;

// A scene holds one of these per attribute, hundreds of thousands in a large scene, so a
// group's children are a run of the scene's shared child table rather than a list of their own.
struct AttrData
{
    AttrKind kind = AttrKind::Group;
    std::uint32_t first_child = 0;  // into Scene::attr_children
    std::uint32_t child_count = 0;
    Json value;  // first value of a data attribute
};

struct NodeData
{
    std::string name;
    std::string type;
    std::optional<std::uint32_t> parent;
    bool bypassed = false;
    std::uint32_t root_param = 0;
    Json render_info;
    std::optional<std::uint32_t> producer;
};

struct LocationData
{
    std::string full_name;
    std::string type;
    std::uint32_t attributes = 0;
    std::vector<std::uint32_t> children;
};

struct MaterialData
{
    std::string key;
    std::string type;
    std::optional<std::uint32_t> attributes;
};

struct LookFileData
{
    std::vector<MaterialData> materials;
};

// The full name of the location `name` under the location `parent_full` ("" for a root).
std::string child_full_name(std::string_view parent_full, std::string_view name)
{
    std::string full;
    full.reserve(parent_full.size() + 1 + name.size());
    if (parent_full.empty() || parent_full == "/") {
        full += '/';
    } else {
        full += parent_full;
        full += '/';
    }
    full += name;
    return full;
}

// The text of a document file; `problem` tells why there is none.
std::string read_document_text(const std::string& path, std::string& problem)
{
    try {
        return read_file(path);
    } catch (const Error&) {
        problem = fs::isdir(path) ? "cannot open file: it is a folder" : "cannot open file";
        return {};
    }
}

// The document of a text; `problem` tells why there is none. Documents nested deeper than
// k_max_json_depth are refused like text that does not parse.
Json parse_document_text(std::string_view text, std::string& problem)
{
    try {
        return parse_json_text(text);
    } catch (const Error& e) {
        problem = std::string("invalid JSON: ") + e.what();
        return nullptr;
    }
}

// The document of a file; `problem` tells why there is none.
Json read_json_file(const std::string& path, std::string& problem)
{
    const std::string text = read_document_text(path, problem);
    return problem.empty() ? parse_document_text(text, problem) : Json(nullptr);
}

}  // namespace

struct StandaloneHost::Scene
{
    std::vector<NodeData> nodes;
    std::vector<ParamData> params;
    std::vector<LocationData> locations;
    bool offers_child_names = false;
    bool offers_child_list = true;
    // Look files are opened lazily from const calls; their attributes join the same table.
    mutable std::vector<AttrData> attrs;
    mutable std::vector<AttrChild> attr_children;
    // Children of the groups being read: a group's own children are gathered here above those
    // of its enclosing groups, and move to `attr_children` in one run when the group ends.
    mutable std::vector<AttrChild> open_children;
    mutable std::vector<LookFileData> look_files;
    mutable std::map<std::string, std::uint32_t> look_file_cache;

    /// A scene from a document. With `read_graphs`, that scene already holds the scene
    /// graphs (roots in `read_roots`) and the document's own "scene_graphs" is not read.
    static std::unique_ptr<Scene> load(const Json& document, const std::string& where,
                                       std::unique_ptr<Scene>* read_graphs,
                                       std::map<std::string, std::uint32_t>* read_roots);

    /// Room for the tables of a document of `text_size` bytes, as a scene written out
    /// holds them (about an attribute per 32 bytes and a location per 160), so that they
    /// are not moved again and again as they grow. Room never used is address space only,
    /// and the tables grow past it as before; without the memory for it, nothing is made.
    void make_room(std::size_t text_size)
    {
        try {
            attrs.reserve(text_size / 32);
            attr_children.reserve(text_size / 32);
            locations.reserve(text_size / 160);
        } catch (const std::bad_alloc&) {
        }
    }

    std::uint32_t add_param(const std::string& name, const Json& value)
    {
        ParamData data;
        data.name = name;
        std::vector<std::pair<std::string, const Json*>> kids;
        if (value.is_object() && !(value.size() == 1 && value.contains("$error"))) {
            data.is_group = true;
            for (const auto& [key, child] : value.items())
                kids.emplace_back(key, &child);
        } else if (value.is_array()) {
            data.is_group = true;
            for (std::size_t i = 0; i < value.size(); ++i)
                kids.emplace_back("i" + std::to_string(i), &value[i]);
        } else if (value.is_object()) {
            const Json& error = value["$error"];
            data.error = error.is_string() ? error.get<std::string>() : error.dump();
        } else {
            data.value = value;
        }
        params.push_back(std::move(data));
        const auto id = static_cast<std::uint32_t>(params.size());
        for (const auto& [key, child] : kids) {
            const std::uint32_t child_id = add_param(key, *child);
            params[id - 1].children.push_back(child_id);
        }
        return id;
    }

    std::uint32_t add_attr(const Json& value) const
    {
        AttrData data;
        const Json& first = value.is_array() && !value.empty() ? value.front() : value;
        if (value.is_object()) {
            data.kind = AttrKind::Group;
        } else if (first.is_string()) {
            data.kind = AttrKind::String;
        } else if (first.is_number_float()) {
            data.kind = AttrKind::Double;
        } else if (first.is_number() || first.is_boolean()) {
            data.kind = AttrKind::Int;
        } else {
            throw HostError("unsupported attribute value: " + value.dump());
        }
        if (!value.is_object())
            data.value = first.is_boolean() ? Json(first.get<bool>() ? 1 : 0) : first;
        attrs.push_back(std::move(data));
        const auto id = static_cast<std::uint32_t>(attrs.size());
        if (value.is_object()) {
            const std::size_t mark = open_children.size();
            for (const auto& [key, child] : value.items()) {
                const std::uint32_t child_id = add_attr(child);
                open_children.emplace_back(key, child_id);
            }
            close_group(id, mark);
        }
        return id;
    }

    /// Moves the children gathered since `mark` to the shared table as the group's own.
    void close_group(std::uint32_t id, std::size_t mark) const
    {
        AttrData& group = attrs[id - 1];
        group.first_child = static_cast<std::uint32_t>(attr_children.size());
        group.child_count = static_cast<std::uint32_t>(open_children.size() - mark);
        // Most groups hold a child or two: moved one by one, without a range insert.
        for (std::size_t i = mark; i < open_children.size(); ++i)
            attr_children.push_back(std::move(open_children[i]));
        while (open_children.size() > mark)
            open_children.pop_back();
    }

    std::span<const AttrChild> children_of(const AttrData& data) const
    {
        return {attr_children.data() + data.first_child, data.child_count};
    }

    std::uint32_t add_location(const Json& tree, const std::string& parent_full,
                               const std::string& where)
    {
        if (!tree.is_object())
            throw LoadError(where + ": a location must be an object");
        auto name_it = tree.find("name");
        if (name_it == tree.end() || !name_it->is_string())
            throw LoadError(where + ": a location needs a string \"name\"");
        const std::string name = name_it->get<std::string>();
        LocationData data;
        if (auto full = tree.find("fullName"); full != tree.end() && full->is_string())
            data.full_name = full->get<std::string>();
        else
            data.full_name = child_full_name(parent_full, name);
        data.type = tree.value("type", std::string("group"));
        static const Json k_no_attributes = Json::object();
        const auto attributes_it = tree.find("attributes");
        const Json& attributes = attributes_it == tree.end() ? k_no_attributes : *attributes_it;
        if (!attributes.is_object())
            throw LoadError(where + ": \"attributes\" of location '" + name + "' must be an object");
        try {
            data.attributes = add_attr(attributes);
        } catch (const HostError& e) {
            throw LoadError(where + ": location '" + name + "': " + e.what());
        }
        locations.push_back(std::move(data));
        const auto id = static_cast<std::uint32_t>(locations.size());
        const std::string full_name = locations[id - 1].full_name;
        if (auto kids = tree.find("children"); kids != tree.end()) {
            if (!kids->is_array())
                throw LoadError(where + ": \"children\" of location '" + name + "' must be an array");
            for (const Json& child : *kids) {
                const std::uint32_t child_id = add_location(child, full_name, where);
                locations[id - 1].children.push_back(child_id);
            }
        }
        return id;
    }

    // The same tables read straight from the document's text, for scene graphs: a scene
    // graph can be most of a large document, and building its JSON tree first costs more
    // than reading it. Whatever these readers do not take as it stands (a fault, a
    // duplicate member, a location naming its children before itself) they refuse, and
    // the whole document is read again through the tree, which gives the exact message.

    std::uint32_t add_attr(JsonCursor& in, std::string& key) const
    {
        if (in.peek_value() == '{') {
            attrs.emplace_back();
            const auto id = static_cast<std::uint32_t>(attrs.size());
            const std::size_t mark = open_children.size();
            in.begin_object();
            while (in.next_member(key)) {
                std::string name = std::move(key);
                const std::uint32_t child = add_attr(in, key);
                open_children.emplace_back(std::move(name), child);
            }
            refuse_duplicate_names(std::span<const AttrChild>(open_children).subspan(mark));
            close_group(id, mark);
            return id;
        }
        AttrData data;
        if (in.peek_value() == '[') {
            in.begin_array();
            if (!in.next_element())
                throw JsonCursor::Refused{};
            read_attr_value(in, data);
            while (in.next_element())
                in.skip_value();
        } else {
            read_attr_value(in, data);
        }
        attrs.push_back(std::move(data));
        return static_cast<std::uint32_t>(attrs.size());
    }

    static void read_attr_value(JsonCursor& in, AttrData& data)
    {
        switch (in.peek_value()) {
        case '"': {
            std::string text;
            in.read_string(text);
            data.kind = AttrKind::String;
            data.value = std::move(text);
            return;
        }
        case 't':
        case 'f':
            data.kind = AttrKind::Int;
            data.value = in.read_literal() == "true" ? 1 : 0;
            return;
        case '-':
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
            // Numbers keep the general parser's types (unsigned, signed, float).
            data.value = Json::parse(in.read_number());
            data.kind = data.value.is_number_float() ? AttrKind::Double : AttrKind::Int;
            return;
        default:
            throw JsonCursor::Refused{};
        }
    }

    static void refuse_duplicate_names(std::span<const AttrChild> children)
    {
        if (children.size() < 2)
            return;
        std::vector<std::string_view> names;
        names.reserve(children.size());
        for (const auto& child : children)
            names.push_back(child.first);
        std::sort(names.begin(), names.end());
        if (std::adjacent_find(names.begin(), names.end()) != names.end())
            throw JsonCursor::Refused{};
    }

    std::uint32_t add_location(JsonCursor& in, const std::string& parent_full, std::string& key)
    {
        in.begin_object();
        locations.emplace_back();
        const auto id = static_cast<std::uint32_t>(locations.size());
        std::string name;
        std::optional<std::string> full_name;
        bool have_name = false, have_full = false, have_type = false, have_children = false;
        std::optional<std::uint32_t> attributes;
        std::vector<std::uint32_t> children;
        while (in.next_member(key)) {
            if (key == "name"sv) {
                if (have_name || have_children || in.peek_value() != '"')
                    throw JsonCursor::Refused{};
                in.read_string(name);
                have_name = true;
            } else if (key == "fullName"sv) {
                if (have_full || have_children)
                    throw JsonCursor::Refused{};
                have_full = true;
                if (in.peek_value() == '"') {
                    full_name.emplace();
                    in.read_string(*full_name);
                } else {
                    in.skip_value();
                }
            } else if (key == "type"sv) {
                if (have_type || in.peek_value() != '"')
                    throw JsonCursor::Refused{};
                in.read_string(locations[id - 1].type);
                have_type = true;
            } else if (key == "attributes"sv) {
                if (attributes || in.peek_value() != '{')
                    throw JsonCursor::Refused{};
                attributes = add_attr(in, key);
            } else if (key == "children"sv) {
                if (have_children || !have_name)
                    throw JsonCursor::Refused{};
                have_children = true;
                if (!full_name)
                    full_name = child_full_name(parent_full, name);
                in.begin_array();
                while (in.next_element())
                    children.push_back(add_location(in, *full_name, key));
            } else {
                in.skip_value();
            }
        }
        if (!have_name)
            throw JsonCursor::Refused{};
        LocationData& data = locations[id - 1];
        data.full_name = full_name ? std::move(*full_name) : child_full_name(parent_full, name);
        if (!have_type)
            data.type = "group";
        data.attributes = attributes ? *attributes : add_attr(Json::object());
        data.children = std::move(children);
        return id;
    }

    /// Reads "scene_graphs" from the text into this scene, keyed by graph name.
    void add_graphs(JsonCursor& in, std::map<std::string, std::uint32_t>& roots)
    {
        std::string name;
        std::string key;
        in.begin_object();
        while (in.next_member(name)) {
            if (roots.count(name) != 0)
                throw JsonCursor::Refused{};
            roots[name] = add_location(in, "", key);
        }
    }

    const NodeData& node(NodeRef ref) const
    {
        if (ref.id == 0 || ref.id > nodes.size())
            throw HostError("invalid node handle");
        return nodes[ref.id - 1];
    }
    ParamData& param(ParamRef ref)
    {
        if (ref.id == 0 || ref.id > params.size())
            throw HostError("invalid parameter handle");
        return params[ref.id - 1];
    }
    const ParamData& param(ParamRef ref) const { return const_cast<Scene*>(this)->param(ref); }
    const LocationData& location(LocationRef ref) const
    {
        if (ref.id == 0 || ref.id > locations.size())
            throw HostError("invalid location handle");
        return locations[ref.id - 1];
    }
    const AttrData& attr(AttrRef ref) const
    {
        if (ref.id == 0 || ref.id > attrs.size())
            throw HostError("invalid attribute handle");
        return attrs[ref.id - 1];
    }
    const LookFileData& look(LookFileRef ref) const
    {
        if (ref.id == 0 || ref.id > look_files.size())
            throw HostError("invalid look file handle");
        return look_files[ref.id - 1];
    }
    std::optional<AttrRef> child_of(std::uint32_t attr_id, std::string_view name) const
    {
        for (const auto& [key, id] : children_of(attrs[attr_id - 1]))
            if (key == name)
                return AttrRef{id};
        return std::nullopt;
    }
};

StandaloneHost::StandaloneHost() : m_scene(std::make_unique<Scene>()) {}
StandaloneHost::~StandaloneHost() = default;

void StandaloneHost::load_document_file(const std::string& path)
{
    std::string problem;
    const std::string text = read_document_text(path, problem);
    if (!problem.empty())
        throw LoadError(path + ": " + problem);
    load_document_text(text, path);
}

bool StandaloneHost::load_document_text(std::string_view text, const std::string& source_name)
{
    try {
        std::string_view json = text;
        if (json.starts_with("\xEF\xBB\xBF"))
            json.remove_prefix(3);
        // Scene graphs go straight into the tables; the other members are small and are
        // read as JSON values, in document order.
        auto scene = std::make_unique<Scene>();
        scene->make_room(json.size());
        std::map<std::string, std::uint32_t> roots;
        Json members = Json::object();
        JsonCursor in(json, k_max_json_depth);
        in.begin_object();
        std::string key;
        bool have_graphs = false;
        while (in.next_member(key)) {
            if (members.contains(key))
                throw JsonCursor::Refused{};
            if (key == "scene_graphs") {
                if (in.peek_value() != '{')
                    throw JsonCursor::Refused{};
                scene->add_graphs(in, roots);
                have_graphs = true;
                members[key] = Json::object();  // keeps its place; the graphs are read
            } else {
                members[key] = Json::parse(in.skip_value());
            }
        }
        in.expect_end();
        m_scene = Scene::load(members, source_name, have_graphs ? &scene : nullptr, &roots);
        return true;
    } catch (const JsonCursor::Refused&) {
    } catch (const Json::exception&) {
        // A value the general parser refuses, such as a number out of range.
    }
    std::string problem;
    const Json document = parse_document_text(text, problem);
    if (!problem.empty())
        throw LoadError(source_name + ": " + problem);
    load_document(document, source_name);
    return false;
}

void StandaloneHost::load_document(const Json& document, const std::string& source_name)
{
    m_scene = Scene::load(document, source_name, nullptr, nullptr);
}

std::unique_ptr<StandaloneHost::Scene>
StandaloneHost::Scene::load(const Json& document, const std::string& where,
                            std::unique_ptr<Scene>* read_graphs,
                            std::map<std::string, std::uint32_t>* read_roots)
try {
    if (!document.is_object())
        throw LoadError(where + ": a scene document must be a JSON object");
    if (auto error = document.find("load_error"); error != document.end())
        throw LoadError(error->is_string() ? error->get<std::string>() : error->dump());

    auto scene = read_graphs != nullptr ? std::move(*read_graphs) : std::make_unique<Scene>();
    if (auto offer = document.find("group_attributes_offer"); offer != document.end()) {
        if (!offer->is_array())
            throw LoadError(where + ": \"group_attributes_offer\" must be an array");
        for (const Json& item : *offer) {
            if (item == "childNames")
                scene->offers_child_names = true;
            else if (item != "childList")
                throw LoadError(where + ": unknown listing in \"group_attributes_offer\": " + item.dump());
        }
    }

    static const Json k_none = Json::object();
    static const Json k_no_nodes = Json::array();
    // Members are read in place: a scene graph can be most of the document.
    const auto member = [&document](const char* key, const Json& absent) -> const Json& {
        const auto it = document.find(key);
        return it == document.end() ? absent : *it;
    };
    std::map<std::string, std::uint32_t> graph_roots;
    if (read_graphs != nullptr) {
        graph_roots = std::move(*read_roots);
    } else {
        const Json& graphs = member("scene_graphs", k_none);
        if (!graphs.is_object())
            throw LoadError(where + ": \"scene_graphs\" must be an object");
        for (const auto& [name, tree] : graphs.items())
            graph_roots[name] = scene->add_location(tree, "", where + ": scene graph '" + name + "'");
    }

    const Json& nodes = member("nodes", k_no_nodes);
    if (!nodes.is_array())
        throw LoadError(where + ": \"nodes\" must be an array");
    std::map<std::string, std::uint32_t> by_name;
    for (const Json& entry : nodes) {
        if (!entry.is_object() || !entry.contains("name") || !entry["name"].is_string())
            throw LoadError(where + ": every node needs a string \"name\"");
        NodeData data;
        data.name = entry["name"].get<std::string>();
        if (by_name.count(data.name))
            throw LoadError(where + ": duplicate node name '" + data.name + "'");
        auto type = entry.find("type");
        if (type == entry.end() || !type->is_string())
            throw LoadError(where + ": node '" + data.name + "' needs a string \"type\"");
        data.type = type->get<std::string>();
        auto bypassed = entry.find("bypassed");
        if (bypassed != entry.end() && !bypassed->is_boolean())
            throw LoadError(where + ": \"bypassed\" of node '" + data.name + "' must be true or false");
        data.bypassed = bypassed != entry.end() && bypassed->get<bool>();
        const auto parameters_it = entry.find("parameters");
        const Json& parameters = parameters_it == entry.end() ? k_none : *parameters_it;
        if (!parameters.is_object())
            throw LoadError(where + ": \"parameters\" of node '" + data.name + "' must be an object");
        data.root_param = scene->add_param("", parameters);
        data.render_info = entry.value("render_info", Json::object());
        if (!data.render_info.is_object()
            || (data.render_info.contains("outputs") && !data.render_info["outputs"].is_array()))
            throw LoadError(where + ": \"render_info\" of node '" + data.name
                            + "' must be an object with an \"outputs\" array or an \"error\"");
        if (auto producer = entry.find("producer"); producer != entry.end() && !producer->is_null()) {
            if (producer->is_string()) {
                auto root = graph_roots.find(producer->get<std::string>());
                if (root == graph_roots.end())
                    throw LoadError(where + ": node '" + data.name + "' names unknown scene graph '"
                                    + producer->get<std::string>() + "'");
                data.producer = root->second;
            } else {
                data.producer = scene->add_location(*producer, "", where + ": producer of node '" + data.name + "'");
            }
        }
        scene->nodes.push_back(std::move(data));
        by_name[scene->nodes.back().name] = static_cast<std::uint32_t>(scene->nodes.size());
    }
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        auto parent = nodes[i].find("parent");
        if (parent == nodes[i].end() || parent->is_null())
            continue;
        auto found = parent->is_string() ? by_name.find(parent->get<std::string>()) : by_name.end();
        if (found == by_name.end())
            throw LoadError(where + ": node '" + scene->nodes[i].name + "' has unknown parent " + parent->dump());
        scene->nodes[i].parent = found->second;
    }
    return scene;
} catch (const Json::exception& e) {
    // A member of the wrong JSON type, such as a location whose "type" is a number.
    throw LoadError(where + ": " + e.what());
}

Json StandaloneHost::configuration(std::string_view key) const
{
    const char* value = std::getenv(std::string(key).c_str());
    if (value == nullptr || value[0] == '\0' || std::string_view(value) == "0")
        return nullptr;
    return std::string(value);
}

HeaderElement StandaloneHost::katana_xml_element(const std::string& scene_path) const
{
    std::string problem;
    Json document = read_json_file(scene_path, problem);
    if (!problem.empty())
        throw HostError(scene_path + ": " + problem);
    HeaderElement element;
    if (document.is_object() && document.contains("header")) {
        if (!document["header"].is_object())
            throw HostError(scene_path + ": \"header\" must be an object");
        element.attributes = document["header"];
    }
    return element;
}

void StandaloneHost::load_scene(const std::string& scene_path)
{
    load_document_file(scene_path);
}

std::vector<NodeRef> StandaloneHost::all_nodes_by_type(std::string_view type) const
{
    std::vector<NodeRef> found;
    for (std::size_t i = 0; i < m_scene->nodes.size(); ++i)
        if (m_scene->nodes[i].type == type)
            found.push_back(NodeRef{static_cast<std::uint32_t>(i + 1)});
    return found;
}

std::optional<NodeRef> StandaloneHost::node_by_name(std::string_view name) const
{
    for (std::size_t i = 0; i < m_scene->nodes.size(); ++i)
        if (m_scene->nodes[i].name == name)
            return NodeRef{static_cast<std::uint32_t>(i + 1)};
    return std::nullopt;
}

std::string StandaloneHost::node_name(NodeRef node) const { return m_scene->node(node).name; }
std::string StandaloneHost::node_type(NodeRef node) const { return m_scene->node(node).type; }

std::optional<NodeRef> StandaloneHost::node_parent(NodeRef node) const
{
    const auto& parent = m_scene->node(node).parent;
    if (!parent)
        return std::nullopt;
    return NodeRef{*parent};
}

bool StandaloneHost::is_bypassed(NodeRef node) const { return m_scene->node(node).bypassed; }

std::optional<ParamRef> StandaloneHost::parameter(NodeRef node, std::string_view path) const
{
    std::uint32_t current = m_scene->node(node).root_param;
    while (!path.empty()) {
        const auto dot = path.find('.');
        const std::string_view part = path.substr(0, dot);
        path = dot == std::string_view::npos ? std::string_view{} : path.substr(dot + 1);
        std::uint32_t next = 0;
        for (std::uint32_t child : m_scene->params[current - 1].children)
            if (m_scene->params[child - 1].name == part)
                next = child;
        if (next == 0)
            return std::nullopt;
        current = next;
    }
    return ParamRef{current};
}

Json StandaloneHost::param_value(ParamRef param, double /*time*/) const
{
    const ParamData& data = m_scene->param(param);
    if (data.error)
        throw HostError(*data.error);
    return data.value;
}

void StandaloneHost::set_param_value(ParamRef param, const Json& value, double /*time*/)
{
    ParamData& data = m_scene->param(param);
    data.error.reset();
    data.value = value;
}

std::vector<ParamRef> StandaloneHost::param_children(ParamRef param) const
{
    std::vector<ParamRef> children;
    for (std::uint32_t id : m_scene->param(param).children)
        children.push_back(ParamRef{id});
    return children;
}

std::string StandaloneHost::param_name(ParamRef param) const { return m_scene->param(param).name; }

RenderNodeInfo StandaloneHost::render_node_info(NodeRef render_node) const
{
    const NodeData& data = m_scene->node(render_node);
    if (auto error = data.render_info.find("error"); error != data.render_info.end())
        throw HostError(error->is_string() ? error->get<std::string>() : error->dump());
    std::vector<Json> outputs;
    if (auto list = data.render_info.find("outputs"); list != data.render_info.end())
        outputs.assign(list->begin(), list->end());
    return RenderNodeInfo(std::move(outputs));
}

std::optional<LocationRef> StandaloneHost::render_producer(NodeRef render_node) const
{
    const auto& producer = m_scene->node(render_node).producer;
    if (!producer)
        return std::nullopt;
    return LocationRef{*producer};
}

std::string StandaloneHost::location_full_name(LocationRef location) const
{
    return m_scene->location(location).full_name;
}

std::string StandaloneHost::location_type(LocationRef location) const
{
    return m_scene->location(location).type;
}

std::optional<AttrRef> StandaloneHost::location_attribute(LocationRef location,
                                                          std::string_view path) const
{
    std::uint32_t current = m_scene->location(location).attributes;
    if (path.empty())
        return std::nullopt;
    while (!path.empty()) {
        const auto dot = path.find('.');
        const auto found = m_scene->child_of(current, path.substr(0, dot));
        if (!found)
            return std::nullopt;
        current = found->id;
        path = dot == std::string_view::npos ? std::string_view{} : path.substr(dot + 1);
    }
    return AttrRef{current};
}

std::vector<LocationRef> StandaloneHost::location_children(LocationRef location) const
{
    std::vector<LocationRef> children;
    for (std::uint32_t id : m_scene->location(location).children)
        children.push_back(LocationRef{id});
    return children;
}

std::vector<std::string> StandaloneHost::location_attribute_names(LocationRef location) const
{
    std::vector<std::string> names;
    const Scene& scene = *m_scene;
    for (const auto& [key, id] :
         scene.children_of(scene.attrs[scene.location(location).attributes - 1]))
        names.push_back(key);
    return names;
}

Json StandaloneHost::attribute_value(AttrRef attr) const { return m_scene->attr(attr).value; }

std::string StandaloneHost::attribute_kind(AttrRef attr) const
{
    return kind_name(m_scene->attr(attr).kind);
}

std::optional<std::vector<std::string>> StandaloneHost::attribute_child_names(AttrRef attr) const
{
    const AttrData& data = m_scene->attr(attr);
    if (data.kind != AttrKind::Group || !m_scene->offers_child_names)
        return std::nullopt;
    std::vector<std::string> names;
    for (const auto& [key, id] : m_scene->children_of(data))
        names.push_back(key);
    return names;
}

std::optional<std::vector<std::pair<std::string, AttrRef>>>
StandaloneHost::attribute_child_list(AttrRef attr) const
{
    const AttrData& data = m_scene->attr(attr);
    if (data.kind != AttrKind::Group)
        return std::nullopt;
    std::vector<std::pair<std::string, AttrRef>> list;
    for (const auto& [key, id] : m_scene->children_of(data))
        list.emplace_back(key, AttrRef{id});
    return list;
}

std::optional<AttrRef> StandaloneHost::attribute_child(AttrRef attr, std::string_view name) const
{
    if (m_scene->attr(attr).kind != AttrKind::Group)
        return std::nullopt;
    return m_scene->child_of(attr.id, name);
}

LookFileRef StandaloneHost::open_look_file(const std::string& path) const
{
    if (auto cached = m_scene->look_file_cache.find(path); cached != m_scene->look_file_cache.end())
        return LookFileRef{cached->second};
    std::string problem;
    Json document = read_json_file(path, problem);
    if (!problem.empty())
        throw HostError(path + ": " + problem);
    const LookFileRef look = load_look_document(document, path);
    m_scene->look_file_cache[path] = look.id;
    return look;
}

LookFileRef StandaloneHost::load_look_document(const Json& document, const std::string& path) const
try {
    if (!document.is_object() || !document.contains("materials") || !document["materials"].is_array())
        throw HostError(path + ": a look file needs a \"materials\" array");
    LookFileData look;
    for (const Json& entry : document["materials"]) {
        if (!entry.is_object() || !entry.contains("key") || !entry["key"].is_string())
            throw HostError(path + ": every material needs a string \"key\"");
        MaterialData material;
        material.key = entry["key"].get<std::string>();
        material.type = entry.value("type", std::string("material"));
        const Json attributes = entry.value("attributes", Json::object());
        if (!attributes.is_object())
            throw HostError(path + ": \"attributes\" of material '" + material.key + "' must be an object");
        if (!attributes.empty()) {
            try {
                material.attributes = m_scene->add_attr(attributes);
            } catch (const HostError& error) {
                m_scene->open_children.clear();  // groups left unfinished
                throw HostError(path + ": material '" + material.key + "': " + error.what());
            }
        }
        look.materials.push_back(std::move(material));
    }
    m_scene->look_files.push_back(std::move(look));
    return LookFileRef{static_cast<std::uint32_t>(m_scene->look_files.size())};
} catch (const Json::exception& e) {
    // A member of the wrong JSON type, such as a material whose "type" is a number.
    throw HostError(path + ": " + e.what());
}

std::vector<std::string> StandaloneHost::look_file_material_keys(LookFileRef look) const
{
    std::vector<std::string> keys;
    for (const MaterialData& material : m_scene->look(look).materials)
        keys.push_back(material.key);
    return keys;
}

std::string StandaloneHost::look_file_material_type(LookFileRef look, std::string_view key) const
{
    for (const MaterialData& material : m_scene->look(look).materials)
        if (material.key == key)
            return material.type;
    throw HostError("look file has no material '" + std::string(key) + "'");
}

std::optional<AttrRef> StandaloneHost::look_file_material(LookFileRef look,
                                                          std::string_view key) const
{
    for (const MaterialData& material : m_scene->look(look).materials)
        if (material.key == key) {
            if (!material.attributes)
                return std::nullopt;
            return AttrRef{*material.attributes};
        }
    return std::nullopt;
}

}  // namespace script::host
