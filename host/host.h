#pragma once

// The analyser's only view of the Katana host: exactly the operations the analysis steps
// call. Host objects (nodes, parameters, scene-graph locations, attributes, look files) are
// small handles that only the backend that issued them can interpret.
//
// Failure conventions: a lookup that may find nothing returns std::nullopt; an operation
// the host refuses (a value that cannot be read, render info that cannot be built, a look
// file that cannot be opened) throws script::HostError. Scene loading throws
// script::LoadError.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace script::host {

using Json = nlohmann::ordered_json;

struct NodeRef
{
    std::uint32_t id = 0;
    friend bool operator==(NodeRef, NodeRef) = default;
};
struct ParamRef
{
    std::uint32_t id = 0;
    friend bool operator==(ParamRef, ParamRef) = default;
};
struct LocationRef
{
    std::uint32_t id = 0;
    friend bool operator==(LocationRef, LocationRef) = default;
};
struct AttrRef
{
    std::uint32_t id = 0;
    friend bool operator==(AttrRef, AttrRef) = default;
};
struct LookFileRef
{
    std::uint32_t id = 0;
    friend bool operator==(LookFileRef, LookFileRef) = default;
};

/// The render outputs of one render node as the host reports them. Each output info is a
/// map as the host returns it: normally "name", "outputFile" and "imageInfo" ->
/// "fileExtension", but any key may be missing and readers must treat a missing key as a
/// failure (nlohmann's at() throws).
class RenderNodeInfo
{
public:
    RenderNodeInfo() = default;
    explicit RenderNodeInfo(std::vector<Json> outputs) : m_outputs(std::move(outputs)) {}

    int number_of_outputs() const { return static_cast<int>(m_outputs.size()); }
    /// Output info by position; throws script::HostError when out of range.
    Json output_info_by_index(int index, bool force_local) const;
    /// Output names in index order (an output without "name" gives "").
    std::vector<std::string> all_output_names() const;
    /// Output info of the first output with that name; throws script::HostError when
    /// there is none.
    Json output_info_by_name(std::string_view name, bool force_local) const;

private:
    std::vector<Json> m_outputs;
};

/// The header element of a scene file, read without loading the scene.
struct HeaderElement
{
    Json attributes = Json::object();  ///< header attributes, "version" among them
    /// The element's own text form, when the host gives one.
    std::optional<std::string> printed;
    /// Text printed for the element: the host's text form, else an XML start tag.
    std::string text() const;
    /// Item access like element["version"]; throws script::HostError when absent.
    std::string item(std::string_view name) const;
};

class Host
{
public:
    virtual ~Host() = default;

    // Configuration
    /// Configuration.get(key): the value, null when the key is not defined.
    virtual Json configuration(std::string_view key) const = 0;

    // KatanaFile
    virtual HeaderElement katana_xml_element(const std::string& scene_path) const = 0;
    /// Loads the scene, replacing the current one; throws script::LoadError on failure.
    virtual void load_scene(const std::string& scene_path) = 0;

    // NodegraphAPI
    /// Every node of the type, at any depth, in host order (possibly empty).
    virtual std::vector<NodeRef> all_nodes_by_type(std::string_view type) const = 0;
    virtual std::optional<NodeRef> node_by_name(std::string_view name) const = 0;

    // Nodes
    virtual std::string node_name(NodeRef node) const = 0;
    virtual std::string node_type(NodeRef node) const = 0;
    /// The enclosing node, or nullopt at the top.
    virtual std::optional<NodeRef> node_parent(NodeRef node) const = 0;
    virtual bool is_bypassed(NodeRef node) const = 0;
    /// Parameter by dotted path from the node's root parameter, or nullopt.
    virtual std::optional<ParamRef> parameter(NodeRef node, std::string_view path) const = 0;

    // Parameters
    /// Value at a time with its JSON type kept (numbers stay int or float, strings text).
    virtual Json param_value(ParamRef param, double time) const = 0;
    /// Sets the in-memory value at a time; the scene file is never written.
    virtual void set_param_value(ParamRef param, const Json& value, double time) = 0;
    virtual std::vector<ParamRef> param_children(ParamRef param) const = 0;
    virtual std::string param_name(ParamRef param) const = 0;

    // Nodes3DAPI
    /// RenderNodeUtil.GetRenderNodeInfo; throws script::HostError when the host cannot
    /// build it.
    virtual RenderNodeInfo render_node_info(NodeRef render_node) const = 0;
    /// GetRenderProducer: the root location as the render node produces it, or nullopt.
    virtual std::optional<LocationRef> render_producer(NodeRef render_node) const = 0;

    // Scene-graph locations
    virtual std::string location_full_name(LocationRef location) const = 0;
    virtual std::string location_type(LocationRef location) const = 0;
    /// Attribute by dotted path, or nullopt.
    virtual std::optional<AttrRef> location_attribute(LocationRef location,
                                                      std::string_view path) const = 0;
    virtual std::vector<LocationRef> location_children(LocationRef location) const = 0;
    virtual std::vector<std::string> location_attribute_names(LocationRef location) const = 0;

    // Attributes
    /// Value of a data attribute (first value); null for a group.
    virtual Json attribute_value(AttrRef attr) const = 0;
    /// "GroupAttr", "StringAttr", "IntAttr", "FloatAttr", "DoubleAttr".
    virtual std::string attribute_kind(AttrRef attr) const = 0;
    /// childNames(), or nullopt when the attribute does not offer that listing.
    virtual std::optional<std::vector<std::string>> attribute_child_names(AttrRef attr) const = 0;
    /// childList(), or nullopt when the attribute does not offer that listing.
    virtual std::optional<std::vector<std::pair<std::string, AttrRef>>>
    attribute_child_list(AttrRef attr) const = 0;
    /// getChildByName, or nullopt.
    virtual std::optional<AttrRef> attribute_child(AttrRef attr, std::string_view name) const = 0;

    // FnGeolibServices.LookFile
    /// Opens a look file; throws script::HostError when it cannot be opened or read.
    virtual LookFileRef open_look_file(const std::string& path) const = 0;
    /// getMaterials().getKeys().getData(): material keys in order.
    virtual std::vector<std::string> look_file_material_keys(LookFileRef look) const = 0;
    virtual std::string look_file_material_type(LookFileRef look, std::string_view key) const = 0;
    /// getMaterial(key): the material group attribute, or nullopt when empty.
    virtual std::optional<AttrRef> look_file_material(LookFileRef look,
                                                      std::string_view key) const = 0;
};

}  // namespace script::host
