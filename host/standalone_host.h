#pragma once

// The standalone backend: the host's answers come from a scene document, a JSON file
// described in docs/scene-document.md. Run-mode flags come from the process environment
// variables of the same names (set, non-empty and not "0" counts as true).

#include <memory>
#include <string>
#include <string_view>

#include "host/host.h"

namespace script::host {

class StandaloneHost : public Host
{
public:
    StandaloneHost();
    ~StandaloneHost() override;

    /// Loads a scene document, replacing the current scene; throws script::LoadError with
    /// the reason when the file is missing or not a valid scene document.
    void load_document_file(const std::string& path);
    /// Same from the document's text. Scene graphs are read straight into the host's
    /// tables; a text that reader does not take whole is read again as a JSON tree, so
    /// faults are reported as that reader words them. Returns whether the direct reader
    /// took it.
    bool load_document_text(std::string_view text, const std::string& source_name);
    /// Same from JSON already in memory (tests); `source_name` is used in messages.
    void load_document(const Json& document, const std::string& source_name);
    /// Adds a look-file document already in memory (the form open_look_file reads from
    /// disk) without caching it by path; throws script::HostError naming `source_name` when
    /// the document is not a valid look file.
    LookFileRef load_look_document(const Json& document, const std::string& source_name) const;

    Json configuration(std::string_view key) const override;
    HeaderElement katana_xml_element(const std::string& scene_path) const override;
    void load_scene(const std::string& scene_path) override;
    std::vector<NodeRef> all_nodes_by_type(std::string_view type) const override;
    std::optional<NodeRef> node_by_name(std::string_view name) const override;
    std::string node_name(NodeRef node) const override;
    std::string node_type(NodeRef node) const override;
    std::optional<NodeRef> node_parent(NodeRef node) const override;
    bool is_bypassed(NodeRef node) const override;
    std::optional<ParamRef> parameter(NodeRef node, std::string_view path) const override;
    Json param_value(ParamRef param, double time) const override;
    void set_param_value(ParamRef param, const Json& value, double time) override;
    std::vector<ParamRef> param_children(ParamRef param) const override;
    std::string param_name(ParamRef param) const override;
    RenderNodeInfo render_node_info(NodeRef render_node) const override;
    std::optional<LocationRef> render_producer(NodeRef render_node) const override;
    std::string location_full_name(LocationRef location) const override;
    std::string location_type(LocationRef location) const override;
    std::optional<AttrRef> location_attribute(LocationRef location,
                                              std::string_view path) const override;
    std::vector<LocationRef> location_children(LocationRef location) const override;
    std::vector<std::string> location_attribute_names(LocationRef location) const override;
    Json attribute_value(AttrRef attr) const override;
    std::string attribute_kind(AttrRef attr) const override;
    std::optional<std::vector<std::string>> attribute_child_names(AttrRef attr) const override;
    std::optional<std::vector<std::pair<std::string, AttrRef>>>
    attribute_child_list(AttrRef attr) const override;
    std::optional<AttrRef> attribute_child(AttrRef attr, std::string_view name) const override;
    LookFileRef open_look_file(const std::string& path) const override;
    std::vector<std::string> look_file_material_keys(LookFileRef look) const override;
    std::string look_file_material_type(LookFileRef look, std::string_view key) const override;
    std::optional<AttrRef> look_file_material(LookFileRef look,
                                              std::string_view key) const override;

private:
    struct Scene;
    std::unique_ptr<Scene> m_scene;
};

}  // namespace script::host
