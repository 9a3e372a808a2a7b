// Listings for checking a scene by hand: the cache of every Alembic input node and the
// texture of every RenderMan texture node, printed one value per line. Any failure (a name
// that names no node, a node without the parameter) ends the run through the step wrapper.

#include <string_view>
#include <vector>

#include "assets/asset_collector.h"
#include "common/console.h"
#include "common/errors.h"
#include "common/pyutil.h"
#include "driver/check_flow.h"

namespace script {

namespace {

constexpr std::string_view k_alembic_type = "Alembic_In";
constexpr std::string_view k_alembic_asset = "abcAsset";
constexpr std::string_view k_prman_type = "PrmanShadingNode";
constexpr std::string_view k_prman_node_type = "nodeType";
constexpr std::string_view k_prman_texture = "PxrTexture";
constexpr std::string_view k_prman_filename = "parameters.filename.value";
constexpr double k_time = 0.0;

// The named node when a name is given, else every node of the type in host order.
std::vector<host::NodeRef> nodes_to_list(const host::Host& host, const std::string& node_name,
                                         std::string_view type)
{
    if (node_name.empty()) {
        return host.all_nodes_by_type(type);
    }
    const std::optional<host::NodeRef> node = host.node_by_name(node_name);
    if (!node) {
        throw HostError("no node named " + py_repr(std::string_view(node_name)));
    }
    return {*node};
}

Json value_at_time_zero(const host::Host& host, host::NodeRef node, std::string_view path)
{
    const std::optional<host::ParamRef> param = host.parameter(node, path);
    if (!param) {
        throw HostError("node " + py_repr(std::string_view(host.node_name(node))) +
                        " has no parameter " + py_repr(path));
    }
    return host.param_value(*param, k_time);
}

void list_alembic_in(const host::Host& host, const std::string& node_name)
{
    for (const host::NodeRef node : nodes_to_list(host, node_name, k_alembic_type)) {
        print_line(host.node_name(node));
        print_line(py_str(value_at_time_zero(host, node, k_alembic_asset)));
    }
}

void list_prman_textures(const host::Host& host, const std::string& node_name)
{
    for (const host::NodeRef node : nodes_to_list(host, node_name, k_prman_type)) {
        if (value_at_time_zero(host, node, k_prman_node_type) == k_prman_texture) {
            print_line(py_str(value_at_time_zero(host, node, k_prman_filename)));
        }
    }
}

} // namespace

void zel_Katana_asset::get_Alembic_In(const std::string& node_name)
{
    static const auto wapper = checkFlow("get_Alembic_In", list_alembic_in);
    wapper(host(), node_name);
}

void zel_Katana_asset::get_PrmanShadingNode(const std::string& node_name)
{
    static const auto wapper = checkFlow("get_PrmanShadingNode", list_prman_textures);
    wapper(host(), node_name);
}

} // namespace script
