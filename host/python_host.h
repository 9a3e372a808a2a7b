#pragma once

// The backend inside a running Katana: every operation calls the host's own Python API
// (Configuration, KatanaFile, NodegraphAPI, Nodes3DAPI, FnAttribute, FnGeolibServices).
//
// Only the thread that created the backend may call it: it takes the interpreter lock for
// each call, so that thread may let Python run between calls, and a call from any other
// thread is refused with script::HostError. A Python exception raised by the host becomes
// script::HostError (script::LoadError for the scene load) with the exception's text.
//
// An exception that asks the program to stop (KeyboardInterrupt, SystemExit) is kept: it
// and every later call fail with script::HostError without calling Python, so the run ends
// at its next unguarded host call, and the entry raises the kept exception again.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/pyobject.h"
#include "host/host.h"

namespace script::host {

/// The host modules the backend calls.
struct PythonHostModules
{
    py::Ref configuration;   ///< the Configuration object (get)
    py::Ref katana_file;     ///< KatanaFile (GetKatanaXMLElement, Load)
    py::Ref nodegraph;       ///< NodegraphAPI
    py::Ref nodes3d;         ///< Nodes3DAPI (RenderNodeUtil, GetRenderProducer)
    py::Ref geolib_services; ///< FnGeolibServices (LookFile)
};

class PythonHost : public Host
{
public:
    /// Call with the interpreter lock held; the calling thread becomes the owner.
    explicit PythonHost(PythonHostModules modules);
    /// Releases every host object it holds; takes the interpreter lock itself.
    ~PythonHost() override;
    PythonHost(const PythonHost&) = delete;
    PythonHost& operator=(const PythonHost&) = delete;

    /// Hands over the kept request to stop, if a host call raised one (lock held).
    std::optional<py::PythonException> take_stop_request();

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
    struct Objects;

    // Runs `body` with the lock held after checking the thread; Python exceptions leave it
    // as HostError.
    template <typename Body> auto call(const char* operation, Body&& body) const;

    PythonHostModules m_modules;
    std::thread::id m_owner;
    std::unique_ptr<Objects> m_objects;
    mutable std::optional<py::PythonException> m_stop;
};

} // namespace script::host
