// Scene documents through the standalone host's loader, then asked what the analyser asks:
// render nodes, their outputs and producers, every location with its attributes and the
// parameters the rule file names. A document the loader refuses must fail as
// script::Error, nothing else, and the direct reader must agree with the JSON tree.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/console.h"
#include "common/errors.h"
#include "common/json_doc.h"
#include "host/standalone_host.h"
#include "tests/support/host_describe.h"

namespace {

using script::host::AttrRef;
using script::host::LocationRef;
using script::host::StandaloneHost;

void visit_attribute(const StandaloneHost& host, LocationRef location, std::string_view path)
{
    if (const auto attr = host.location_attribute(location, path)) {
        (void)host.attribute_value(*attr);
        (void)host.attribute_kind(*attr);
        (void)host.attribute_child_names(*attr);
        (void)host.attribute_child_list(*attr);
    }
}

// Every location below a producer, without recursion (the host may give any depth).
void walk_locations(const StandaloneHost& host, LocationRef root)
{
    std::vector<LocationRef> pending{root};
    while (!pending.empty()) {
        const LocationRef location = pending.back();
        pending.pop_back();
        (void)host.location_full_name(location);
        (void)host.location_type(location);
        (void)host.location_attribute_names(location);
        for (const char* path : {"customProperties.klf", "material.nodes",
                                 "material.RedshiftLightShader", "material.arnoldSurfaceShader",
                                 "material.arnoldLightParams.filename"}) {
            visit_attribute(host, location, path);
        }
        for (const LocationRef child : host.location_children(location)) {
            pending.push_back(child);
        }
    }
}

void query(const StandaloneHost& host)
{
    for (const auto node : host.all_nodes_by_type("Render")) {
        (void)host.node_parent(node);
        (void)host.is_bypassed(node);
        try {
            (void)host.render_node_info(node);
        } catch (const script::HostError&) {
        }
        if (const auto producer = host.render_producer(node)) {
            walk_locations(host, *producer);
        }
    }
    for (const auto& [type, path] : {std::pair{"ImageRead", "file"},
                                     std::pair{"Alembic_In", "abcAsset"},
                                     std::pair{"Group", "variables.shot.options.i0"}}) {
        for (const auto node : host.all_nodes_by_type(type)) {
            if (const auto param = host.parameter(node, path)) {
                try {
                    (void)host.param_value(*param, 0.0);
                } catch (const script::HostError&) {
                }
                (void)host.param_children(*param);
            }
        }
    }
}

// Loads the text through the direct reader and through the JSON tree: both must give the
// same scene, or fail with the same message.
std::string load(StandaloneHost& host, std::string_view text, bool direct)
{
    try {
        if (direct)
            host.load_document_text(text, "fuzz.json");
        else
            host.load_document(script::parse_json_text(text), "fuzz.json");
        return {};
    } catch (const script::Error& e) {
        const std::string message = e.what();
        // The tree's parse errors come without the loader's prefix.
        return direct || dynamic_cast<const script::LoadError*>(&e) != nullptr
                   ? message
                   : "fuzz.json: invalid JSON: " + message;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    script::console().begin_capture();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    StandaloneHost direct;
    StandaloneHost tree;
    const std::string direct_error = load(direct, text, true);
    const std::string tree_error = load(tree, text, false);
    if (direct_error != tree_error)
        std::abort();
    if (direct_error.empty()) {
        query(direct);
        if (script::testing::describe(direct) != script::testing::describe(tree))
            std::abort();
    }
    script::console().end_capture();
    return 0;
}
