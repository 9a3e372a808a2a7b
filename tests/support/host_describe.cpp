#include "tests/support/host_describe.h"

#include "common/errors.h"

namespace script::testing {

using namespace script::host;

Json describe(const Host& host)
{
    Json out = Json::object();
    const auto describe_param = [&](auto&& self, ParamRef param) -> Json {
        Json entry = {{"name", host.param_name(param)}};
        try {
            entry["value"] = host.param_value(param, 0);
        } catch (const HostError& e) {
            entry["error"] = e.what();
        }
        for (const ParamRef child : host.param_children(param))
            entry["children"].push_back(self(self, child));
        return entry;
    };
    const auto describe_attr = [&](auto&& self, AttrRef attr) -> Json {
        Json entry = {{"kind", host.attribute_kind(attr)}, {"value", host.attribute_value(attr)}};
        if (auto names = host.attribute_child_names(attr))
            entry["names"] = *names;
        if (auto list = host.attribute_child_list(attr))
            for (const auto& [name, child] : *list) {
                entry["children"][name] = self(self, child);
                if (!host.attribute_child(attr, name))
                    entry["not_found_by_name"].push_back(name);
            }
        return entry;
    };
    const auto describe_location = [&](auto&& self, LocationRef location) -> Json {
        Json entry = {{"name", host.location_full_name(location)},
                      {"type", host.location_type(location)},
                      {"attributes", host.location_attribute_names(location)}};
        for (const std::string& name : host.location_attribute_names(location)) {
            // An empty or dotted name is no path to the attribute itself.
            if (const auto attr = host.location_attribute(location, name))
                entry["values"][name] = describe_attr(describe_attr, *attr);
            else
                entry["unreachable"].push_back(name);
        }
        if (host.location_attribute(location, "no.such"))
            entry["found_no_such"] = true;
        for (const LocationRef child : host.location_children(location))
            entry["children"].push_back(self(self, child));
        return entry;
    };
    for (const char* type : {"Render", "Group", "ImageRead", "Nothing"}) {
        for (const NodeRef node : host.all_nodes_by_type(type)) {
            Json entry = {{"name", host.node_name(node)},
                          {"type", host.node_type(node)},
                          {"bypassed", host.is_bypassed(node)}};
            if (auto parent = host.node_parent(node))
                entry["parent"] = host.node_name(*parent);
            entry["parameters"] = describe_param(describe_param, *host.parameter(node, ""));
            if (host.parameter(node, "no.such"))
                entry["found_no_such"] = true;
            try {
                const RenderNodeInfo info = host.render_node_info(node);
                for (int i = 0; i < info.number_of_outputs(); ++i)
                    entry["outputs"].push_back(info.output_info_by_index(i, false));
            } catch (const HostError& e) {
                entry["render_error"] = e.what();
            }
            if (auto producer = host.render_producer(node))
                entry["producer"] = describe_location(describe_location, *producer);
            out[type].push_back(entry);
        }
    }
    return out;
}

}  // namespace script::testing
