// The backend over Katana's Python API. Host objects are kept as owned references in flat
// tables; handles are 1-based indexes into them, so a default handle (0) is never valid.
// Nodes are kept once per object, so the same node always has the same handle.

#include "host/python_host.h"

#include <Python.h>

#include "common/errors.h"

namespace script::host {

namespace {

using py::Ref;

// Katana's attribute classes by their Python class names; older hosts use the short names
// themselves.
constexpr std::pair<std::string_view, std::string_view> k_attribute_kinds[] = {
    {"GroupAttribute", "GroupAttr"}, {"StringAttribute", "StringAttr"}, {"IntAttribute", "IntAttr"},
    {"FloatAttribute", "FloatAttr"}, {"DoubleAttribute", "DoubleAttr"},
};

std::vector<std::string> texts_of(PyObject* iterable)
{
    std::vector<std::string> texts;
    for (const Ref& item : py::items_of(iterable)) {
        texts.push_back(py::text(item.get()));
    }
    return texts;
}

bool is_none(const Ref& object)
{
    return !object || object.get() == Py_None;
}

} // namespace

struct PythonHost::Objects
{
    std::vector<Ref> nodes;
    std::map<PyObject*, std::uint32_t> node_ids;
    std::vector<Ref> params;
    std::vector<Ref> locations;
    std::vector<Ref> attrs;
    std::vector<Ref> look_files;
    std::map<std::string, std::uint32_t> look_file_ids;

    static std::uint32_t add(std::vector<Ref>& table, Ref object)
    {
        table.push_back(std::move(object));
        return static_cast<std::uint32_t>(table.size());
    }

    NodeRef node_ref(Ref node)
    {
        auto [it, added] = node_ids.try_emplace(node.get(), 0);
        if (added) {
            it->second = add(nodes, std::move(node));
        }
        return NodeRef{it->second};
    }

    static PyObject* get(const std::vector<Ref>& table, std::uint32_t id, const char* what)
    {
        if (id == 0 || id > table.size()) {
            throw HostError(std::string("invalid ") + what + " handle");
        }
        return table[id - 1].get();
    }
};

template <typename Body> auto PythonHost::call(const char* operation, Body&& body) const
{
    if (std::this_thread::get_id() != m_owner) {
        throw HostError(std::string("the host was asked for ") + operation +
                        " from a thread other than the one that runs the analysis");
    }
    if (m_stop) {
        throw HostError("the analysis was asked to stop (" + m_stop->what + ")");
    }
    const py::Gil lock;
    try {
        return body();
    } catch (py::Raised& raised) {
        std::string what = raised.exception().what;
        if (raised.exception().asks_to_stop) {
            m_stop = std::move(raised.exception());
            throw HostError("the analysis was asked to stop (" + what + ")");
        }
        throw HostError(what);
    }
}

std::optional<py::PythonException> PythonHost::take_stop_request()
{
    return std::exchange(m_stop, std::nullopt);
}

PythonHost::PythonHost(PythonHostModules modules)
    : m_modules(std::move(modules)), m_owner(std::this_thread::get_id()),
      m_objects(std::make_unique<Objects>())
{
}

PythonHost::~PythonHost()
{
    if (!Py_IsInitialized()) {
        return;
    }
    const py::Gil lock;
    m_objects.reset();
    m_modules = PythonHostModules{};
    m_stop.reset();
}

// ---------------------------------------------------------------------------------------
// Configuration and KatanaFile

Json PythonHost::configuration(std::string_view key) const
{
    return call("a configuration value", [&] {
        // Hosts answer an undefined launch-mode key with None or "", some may raise
        // KeyError; all of them mean "not defined".
        try {
            const Ref value = py::call_method(m_modules.configuration.get(), "get", {py::str(key)});
            return py::to_json(value.get());
        } catch (py::Raised& raised) {
            if (PyErr_GivenExceptionMatches(raised.exception().type.get(), PyExc_KeyError)) {
                return Json(nullptr);
            }
            throw;
        }
    });
}

HeaderElement PythonHost::katana_xml_element(const std::string& scene_path) const
{
    return call("the scene header", [&] {
        const Ref element = py::call_method(m_modules.katana_file.get(), "GetKatanaXMLElement",
                                            {py::str(scene_path)});
        HeaderElement header;
        header.printed = py::str_of(element.get());
        if (is_none(element)) {
            return header;
        }
        const Ref attributes = py::call_method(element.get(), "getAttrDict");
        header.attributes = py::to_json(attributes.get());
        if (!header.attributes.is_object()) {
            header.attributes = Json::object();
        }
        return header;
    });
}

void PythonHost::load_scene(const std::string& scene_path)
{
    call("the scene load", [&] {
        try {
            py::call_method(m_modules.katana_file.get(), "Load", {py::str(scene_path)});
        } catch (py::Raised& raised) {
            if (raised.exception().asks_to_stop) {
                throw;
            }
            throw LoadError(raised.exception().what);
        }
    });
}

// ---------------------------------------------------------------------------------------
// Nodes and parameters

std::vector<NodeRef> PythonHost::all_nodes_by_type(std::string_view type) const
{
    return call("nodes by type", [&] {
        const Ref list =
            py::call_method(m_modules.nodegraph.get(), "GetAllNodesByType", {py::str(type)});
        std::vector<NodeRef> nodes;
        for (Ref& node : py::items_of(list.get())) {
            nodes.push_back(m_objects->node_ref(std::move(node)));
        }
        return nodes;
    });
}

std::optional<NodeRef> PythonHost::node_by_name(std::string_view name) const
{
    return call("a node by name", [&]() -> std::optional<NodeRef> {
        Ref node = py::call_method(m_modules.nodegraph.get(), "GetNode", {py::str(name)});
        if (is_none(node)) {
            return std::nullopt;
        }
        return m_objects->node_ref(std::move(node));
    });
}

std::string PythonHost::node_name(NodeRef node) const
{
    return call("a node name", [&] {
        const Ref name =
            py::call_method(Objects::get(m_objects->nodes, node.id, "node"), "getName");
        return py::text(name.get());
    });
}

std::string PythonHost::node_type(NodeRef node) const
{
    return call("a node type", [&] {
        const Ref type =
            py::call_method(Objects::get(m_objects->nodes, node.id, "node"), "getType");
        return py::text(type.get());
    });
}

std::optional<NodeRef> PythonHost::node_parent(NodeRef node) const
{
    return call("a node parent", [&]() -> std::optional<NodeRef> {
        Ref parent = py::call_method(Objects::get(m_objects->nodes, node.id, "node"), "getParent");
        if (is_none(parent) || !py::truth(parent.get())) {
            return std::nullopt;
        }
        return m_objects->node_ref(std::move(parent));
    });
}

bool PythonHost::is_bypassed(NodeRef node) const
{
    return call("a bypass flag", [&] {
        const Ref flag =
            py::call_method(Objects::get(m_objects->nodes, node.id, "node"), "isBypassed");
        return py::truth(flag.get());
    });
}

std::optional<ParamRef> PythonHost::parameter(NodeRef node, std::string_view path) const
{
    return call("a parameter", [&]() -> std::optional<ParamRef> {
        PyObject* object = Objects::get(m_objects->nodes, node.id, "node");
        Ref param = path.empty() ? py::call_method(object, "getParameters")
                                 : py::call_method(object, "getParameter", {py::str(path)});
        if (is_none(param)) {
            return std::nullopt;
        }
        return ParamRef{Objects::add(m_objects->params, std::move(param))};
    });
}

Json PythonHost::param_value(ParamRef param, double time) const
{
    return call("a parameter value", [&] {
        const Ref value = py::call_method(Objects::get(m_objects->params, param.id, "parameter"),
                                          "getValue", {py::checked(PyFloat_FromDouble(time))});
        return py::to_json(value.get());
    });
}

void PythonHost::set_param_value(ParamRef param, const Json& value, double time)
{
    call("a parameter change", [&] {
        py::call_method(Objects::get(m_objects->params, param.id, "parameter"), "setValue",
                        {py::from_json(value), py::checked(PyFloat_FromDouble(time))});
    });
}

std::vector<ParamRef> PythonHost::param_children(ParamRef param) const
{
    return call("parameter children", [&] {
        const Ref children =
            py::call_method(Objects::get(m_objects->params, param.id, "parameter"), "getChildren");
        std::vector<ParamRef> refs;
        if (is_none(children)) {
            return refs;
        }
        for (Ref& child : py::items_of(children.get())) {
            refs.push_back(ParamRef{Objects::add(m_objects->params, std::move(child))});
        }
        return refs;
    });
}

std::string PythonHost::param_name(ParamRef param) const
{
    return call("a parameter name", [&] {
        const Ref name =
            py::call_method(Objects::get(m_objects->params, param.id, "parameter"), "getName");
        return py::text(name.get());
    });
}

// ---------------------------------------------------------------------------------------
// Render nodes and their scene graphs

RenderNodeInfo PythonHost::render_node_info(NodeRef render_node) const
{
    return call("render node info", [&] {
        const Ref util = py::attr(m_modules.nodes3d.get(), "RenderNodeUtil");
        const Ref info =
            py::call_method(util.get(), "GetRenderNodeInfo",
                            {Ref::borrow(Objects::get(m_objects->nodes, render_node.id, "node"))});
        const Ref count = py::call_method(info.get(), "getNumberOfOutputs");
        const Json number = py::to_json(count.get());
        if (!number.is_number_integer()) {
            throw HostError("getNumberOfOutputs gave no whole number: " + number.dump());
        }
        std::vector<Json> outputs;
        const Ref force_local = py::kwargs({{"forceLocal", Ref::borrow(Py_False)}});
        for (long long index = 0; index < number.get<long long>(); ++index) {
            const Ref method = py::attr(info.get(), "getOutputInfoByIndex");
            const Ref output = py::call(method.get(), py::tuple({py::integer(index)}), force_local);
            outputs.push_back(py::to_json(output.get()));
        }
        return RenderNodeInfo(std::move(outputs));
    });
}

std::optional<LocationRef> PythonHost::render_producer(NodeRef render_node) const
{
    return call("a render producer", [&]() -> std::optional<LocationRef> {
        Ref producer =
            py::call_method(m_modules.nodes3d.get(), "GetRenderProducer",
                            {Ref::borrow(Objects::get(m_objects->nodes, render_node.id, "node"))});
        if (is_none(producer)) {
            return std::nullopt;
        }
        return LocationRef{Objects::add(m_objects->locations, std::move(producer))};
    });
}

std::string PythonHost::location_full_name(LocationRef location) const
{
    return call("a location name", [&] {
        const Ref name = py::call_method(
            Objects::get(m_objects->locations, location.id, "location"), "getFullName");
        return py::text(name.get());
    });
}

std::string PythonHost::location_type(LocationRef location) const
{
    return call("a location type", [&] {
        const Ref type =
            py::call_method(Objects::get(m_objects->locations, location.id, "location"), "getType");
        return py::text(type.get());
    });
}

std::optional<AttrRef> PythonHost::location_attribute(LocationRef location,
                                                      std::string_view path) const
{
    if (path.empty()) {
        return std::nullopt;
    }
    return call("a location attribute", [&]() -> std::optional<AttrRef> {
        Ref attr = py::call_method(Objects::get(m_objects->locations, location.id, "location"),
                                   "getAttribute", {py::str(path)});
        if (is_none(attr)) {
            return std::nullopt;
        }
        return AttrRef{Objects::add(m_objects->attrs, std::move(attr))};
    });
}

std::vector<LocationRef> PythonHost::location_children(LocationRef location) const
{
    return call("location children", [&] {
        const Ref children = py::call_method(
            Objects::get(m_objects->locations, location.id, "location"), "iterChildren");
        std::vector<LocationRef> refs;
        for (Ref& child : py::items_of(children.get())) {
            refs.push_back(LocationRef{Objects::add(m_objects->locations, std::move(child))});
        }
        return refs;
    });
}

std::vector<std::string> PythonHost::location_attribute_names(LocationRef location) const
{
    return call("location attribute names", [&] {
        const Ref names = py::call_method(
            Objects::get(m_objects->locations, location.id, "location"), "getAttributeNames");
        return is_none(names) ? std::vector<std::string>{} : texts_of(names.get());
    });
}

// ---------------------------------------------------------------------------------------
// Attributes

Json PythonHost::attribute_value(AttrRef attr) const
{
    return call("an attribute value", [&] {
        PyObject* object = Objects::get(m_objects->attrs, attr.id, "attribute");
        if (py::attr_or_null(object, "childList")) {
            return Json(nullptr);
        }
        // An attribute without values gives None rather than raising.
        const Ref value = py::call_method(object, "getValue", {},
                                          py::kwargs({{"defaultValue", Ref::borrow(Py_None)},
                                                      {"throwOnError", Ref::borrow(Py_False)}}));
        return py::to_json(value.get());
    });
}

std::string PythonHost::attribute_kind(AttrRef attr) const
{
    return call("an attribute kind", [&] {
        PyObject* object = Objects::get(m_objects->attrs, attr.id, "attribute");
        const Ref type = py::checked(PyObject_Type(object));
        const std::string name = py::text(py::attr(type.get(), "__name__").get());
        for (const auto& [python_name, kind] : k_attribute_kinds) {
            if (name == python_name) {
                return std::string(kind);
            }
        }
        return name;
    });
}

std::optional<std::vector<std::string>> PythonHost::attribute_child_names(AttrRef attr) const
{
    return call("attribute child names", [&]() -> std::optional<std::vector<std::string>> {
        const Ref method =
            py::attr_or_null(Objects::get(m_objects->attrs, attr.id, "attribute"), "childNames");
        if (!method) {
            return std::nullopt;
        }
        const Ref names = py::call(method.get(), py::tuple({}));
        return texts_of(names.get());
    });
}

std::optional<std::vector<std::pair<std::string, AttrRef>>>
PythonHost::attribute_child_list(AttrRef attr) const
{
    using List = std::vector<std::pair<std::string, AttrRef>>;
    return call("an attribute child list", [&]() -> std::optional<List> {
        const Ref method =
            py::attr_or_null(Objects::get(m_objects->attrs, attr.id, "attribute"), "childList");
        if (!method) {
            return std::nullopt;
        }
        const Ref pairs = py::call(method.get(), py::tuple({}));
        List list;
        for (const Ref& pair : py::items_of(pairs.get())) {
            std::vector<Ref> parts = py::items_of(pair.get());
            if (parts.size() != 2) {
                throw HostError("childList gave an entry that is no (name, attribute) pair");
            }
            std::string name = py::text(parts[0].get());
            list.emplace_back(std::move(name),
                              AttrRef{Objects::add(m_objects->attrs, std::move(parts[1]))});
        }
        return list;
    });
}

std::optional<AttrRef> PythonHost::attribute_child(AttrRef attr, std::string_view name) const
{
    return call("an attribute child", [&]() -> std::optional<AttrRef> {
        const Ref method = py::attr_or_null(Objects::get(m_objects->attrs, attr.id, "attribute"),
                                            "getChildByName");
        if (!method) {
            return std::nullopt;
        }
        Ref child = py::call(method.get(), py::tuple({py::str(name)}));
        if (is_none(child)) {
            return std::nullopt;
        }
        return AttrRef{Objects::add(m_objects->attrs, std::move(child))};
    });
}

// ---------------------------------------------------------------------------------------
// Look files

LookFileRef PythonHost::open_look_file(const std::string& path) const
{
    return call("a look file", [&] {
        if (auto found = m_objects->look_file_ids.find(path);
            found != m_objects->look_file_ids.end()) {
            return LookFileRef{found->second};
        }
        // FnGeolibServices.LookFile is the module holding the LookFile class.
        Ref look_file_class = py::attr(m_modules.geolib_services.get(), "LookFile");
        if (Ref inner = py::attr_or_null(look_file_class.get(), "LookFile")) {
            look_file_class = std::move(inner);
        }
        Ref look = py::call(look_file_class.get(), py::tuple({py::str(path)}));
        const std::uint32_t id = Objects::add(m_objects->look_files, std::move(look));
        m_objects->look_file_ids.emplace(path, id);
        return LookFileRef{id};
    });
}

std::vector<std::string> PythonHost::look_file_material_keys(LookFileRef look) const
{
    return call("look file materials", [&] {
        const Ref materials = py::call_method(
            Objects::get(m_objects->look_files, look.id, "look file"), "getMaterials");
        const Ref keys = py::call_method(materials.get(), "getKeys");
        const Ref data = py::call_method(keys.get(), "getData");
        return is_none(data) ? std::vector<std::string>{} : texts_of(data.get());
    });
}

std::string PythonHost::look_file_material_type(LookFileRef look, std::string_view key) const
{
    return call("a look file material type", [&] {
        const Ref type = py::call_method(Objects::get(m_objects->look_files, look.id, "look file"),
                                         "getMaterialType", {py::str(key)});
        return py::text(type.get());
    });
}

std::optional<AttrRef> PythonHost::look_file_material(LookFileRef look, std::string_view key) const
{
    return call("a look file material", [&]() -> std::optional<AttrRef> {
        Ref material = py::call_method(Objects::get(m_objects->look_files, look.id, "look file"),
                                       "getMaterial", {py::str(key)});
        if (is_none(material)) {
            return std::nullopt;
        }
        return AttrRef{Objects::add(m_objects->attrs, std::move(material))};
    });
}

} // namespace script::host
