#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "host/host.h"

namespace script::testing {

using Json = nlohmann::ordered_json;

// A host that answers only what the scene opener and the run mode ask, and records loads.
class SceneOpeningHost : public host::Host
{
public:
    std::map<std::string, Json> config;
    std::string file_version = "4.0v1";
    bool refuse_load = false;
    mutable std::vector<std::string> loaded;

    Json configuration(std::string_view key) const override
    {
        const auto it = config.find(std::string(key));
        return it == config.end() ? Json() : it->second;
    }
    host::HeaderElement katana_xml_element(const std::string&) const override
    {
        host::HeaderElement element;
        element.attributes["version"] = file_version;
        return element;
    }
    void load_scene(const std::string& scene_path) override
    {
        if (refuse_load) {
            throw LoadError("corrupt scene");
        }
        loaded.push_back(scene_path);
    }

    // A scene with a root node, no graph state variables and no render nodes: the render
    // node step leaves the job files alone, so tests control task.json themselves.
    std::vector<host::NodeRef> all_nodes_by_type(std::string_view) const override { return {}; }
    std::optional<host::NodeRef> node_by_name(std::string_view name) const override
    {
        if (name == "rootNode") {
            return host::NodeRef{1};
        }
        return {};
    }
    std::string node_name(host::NodeRef) const override { return {}; }
    std::string node_type(host::NodeRef) const override { return {}; }
    std::optional<host::NodeRef> node_parent(host::NodeRef) const override { return {}; }
    bool is_bypassed(host::NodeRef) const override { return false; }
    std::optional<host::ParamRef> parameter(host::NodeRef, std::string_view path) const override
    {
        if (path == "variables") {
            return host::ParamRef{1};
        }
        return {};
    }
    Json param_value(host::ParamRef, double) const override { return {}; }
    void set_param_value(host::ParamRef, const Json&, double) override {}
    std::vector<host::ParamRef> param_children(host::ParamRef) const override { return {}; }
    std::string param_name(host::ParamRef) const override { return {}; }
    host::RenderNodeInfo render_node_info(host::NodeRef) const override { return {}; }
    std::optional<host::LocationRef> render_producer(host::NodeRef) const override { return {}; }
    std::string location_full_name(host::LocationRef) const override { return {}; }
    std::string location_type(host::LocationRef) const override { return {}; }
    std::optional<host::AttrRef> location_attribute(host::LocationRef,
                                                    std::string_view) const override
    {
        return {};
    }
    std::vector<host::LocationRef> location_children(host::LocationRef) const override
    {
        return {};
    }
    std::vector<std::string> location_attribute_names(host::LocationRef) const override
    {
        return {};
    }
    Json attribute_value(host::AttrRef) const override { return {}; }
    std::string attribute_kind(host::AttrRef) const override { return {}; }
    std::optional<std::vector<std::string>> attribute_child_names(host::AttrRef) const override
    {
        return {};
    }
    std::optional<std::vector<std::pair<std::string, host::AttrRef>>>
    attribute_child_list(host::AttrRef) const override
    {
        return {};
    }
    std::optional<host::AttrRef> attribute_child(host::AttrRef, std::string_view) const override
    {
        return {};
    }
    host::LookFileRef open_look_file(const std::string&) const override { return {}; }
    std::vector<std::string> look_file_material_keys(host::LookFileRef) const override
    {
        return {};
    }
    std::string look_file_material_type(host::LookFileRef, std::string_view) const override
    {
        return {};
    }
    std::optional<host::AttrRef> look_file_material(host::LookFileRef,
                                                    std::string_view) const override
    {
        return {};
    }
};

} // namespace script::testing
