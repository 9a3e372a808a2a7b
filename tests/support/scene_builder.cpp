#include "scene_builder.h"

#include <fstream>
#include <stdexcept>

namespace script::testing {

namespace {

// Walks (and creates) the groups of a dotted path; returns the slot of the last part.
nlohmann::ordered_json& slot(nlohmann::ordered_json& root, std::string_view path)
{
    nlohmann::ordered_json* current = &root;
    while (true) {
        const auto dot = path.find('.');
        const std::string part(path.substr(0, dot));
        if (!current->is_object())
            *current = nlohmann::ordered_json::object();
        current = &(*current)[part];
        if (dot == std::string_view::npos)
            return *current;
        path = path.substr(dot + 1);
    }
}

}  // namespace

SceneBuilder::SceneBuilder()
    : m_doc{{"header", {{"version", "4.5.1.000008"}, {"release", "4.5v1"}}},
            {"nodes", Json::array()}}
{
}

SceneBuilder& SceneBuilder::header(std::string_view version, std::string_view release)
{
    m_doc["header"] = Json::object();
    m_doc["header"]["version"] = version;
    if (!release.empty())
        m_doc["header"]["release"] = release;
    return *this;
}

SceneBuilder& SceneBuilder::load_error(std::string_view text)
{
    m_doc["load_error"] = text;
    return *this;
}

SceneBuilder& SceneBuilder::offer_child_names()
{
    m_doc["group_attributes_offer"] = {"childList", "childNames"};
    return *this;
}

SceneBuilder& SceneBuilder::node(std::string_view name, std::string_view type)
{
    m_doc["nodes"].push_back({{"name", name}, {"type", type}});
    return *this;
}

SceneBuilder::Json& SceneBuilder::current()
{
    if (m_doc["nodes"].empty())
        throw std::logic_error("SceneBuilder: add a node first");
    return m_doc["nodes"].back();
}

SceneBuilder& SceneBuilder::parent(std::string_view name)
{
    current()["parent"] = name;
    return *this;
}

SceneBuilder& SceneBuilder::bypassed(bool value)
{
    current()["bypassed"] = value;
    return *this;
}

SceneBuilder& SceneBuilder::param(std::string_view path, const Json& value)
{
    slot(current()["parameters"], path) = value;
    return *this;
}

SceneBuilder& SceneBuilder::param_error(std::string_view path, std::string_view text)
{
    return param(path, Json{{"$error", text}});
}

SceneBuilder& SceneBuilder::output(std::string_view name, std::string_view file,
                                   std::string_view extension)
{
    current()["render_info"]["outputs"].push_back(
        {{"name", name}, {"outputFile", file}, {"imageInfo", {{"fileExtension", extension}}}});
    return *this;
}

SceneBuilder& SceneBuilder::render_error(std::string_view text)
{
    current()["render_info"] = {{"error", text}};
    return *this;
}

SceneBuilder& SceneBuilder::producer(const Json& name_or_tree)
{
    current()["producer"] = name_or_tree;
    return *this;
}

SceneBuilder& SceneBuilder::scene_graph(std::string_view name, const Json& root)
{
    m_doc["scene_graphs"][std::string(name)] = root;
    return *this;
}

SceneBuilder::Json SceneBuilder::location(std::string_view name, std::string_view type,
                                          Json attributes, Json children)
{
    return {{"name", name}, {"type", type}, {"attributes", std::move(attributes)},
            {"children", std::move(children)}};
}

std::string SceneBuilder::write(const std::string& path) const
{
    std::ofstream out(path, std::ios::binary);
    out << m_doc.dump(2) << "\n";
    if (!out)
        throw std::runtime_error("SceneBuilder: cannot write " + path);
    return path;
}

}  // namespace script::testing
