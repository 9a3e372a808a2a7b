#pragma once

// Builds scene documents for the standalone host in tests, e.g.
//   SceneBuilder().node("Render1", "Render").parent("rootNode")
//       .param("farmSettings.TimeRange", "1-100").output("primary", "/out/a.#.exr", "exr")
//       .write(dir.file("scene.katana"));
// Node-level calls (parent, param, bypassed, output, render_error, producer) apply to the
// node added last.

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace script::testing {

class SceneBuilder
{
public:
    using Json = nlohmann::ordered_json;

    SceneBuilder();

    SceneBuilder& header(std::string_view version, std::string_view release = {});
    SceneBuilder& load_error(std::string_view text);
    /// Makes group attributes also offer the older childNames listing.
    SceneBuilder& offer_child_names();

    SceneBuilder& node(std::string_view name, std::string_view type);
    SceneBuilder& parent(std::string_view name);
    SceneBuilder& bypassed(bool value = true);
    /// Sets a parameter by dotted path, creating the groups on the way.
    SceneBuilder& param(std::string_view path, const Json& value);
    /// A parameter whose value the host refuses to read.
    SceneBuilder& param_error(std::string_view path, std::string_view text);
    SceneBuilder& output(std::string_view name, std::string_view file, std::string_view extension);
    SceneBuilder& render_error(std::string_view text);
    /// Names a scene graph added with scene_graph(), or gives an inline location tree.
    SceneBuilder& producer(const Json& name_or_tree);

    SceneBuilder& scene_graph(std::string_view name, const Json& root);

    /// A location tree entry for scene_graph() / producer().
    static Json location(std::string_view name, std::string_view type, Json attributes = Json::object(),
                         Json children = Json::array());

    const Json& json() const { return m_doc; }
    /// Writes the document and returns the path.
    std::string write(const std::string& path) const;

private:
    Json& current();
    Json m_doc;
};

}  // namespace script::testing
