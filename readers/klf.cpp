// A look file holds materials as attribute trees, as the host's look-file service returns
// them:
//
//     material "skin" (type "material")
//       nodes
//         diffuse_tex
//           parameters
//             filename = "/show/tex/skin_diff.<UDIM>.tx"
//       parameters
//         colorMap = "/show/tex/skin_col.tx"
//         roughness = 0.4
//
// The file of every shading node and every material parameter whose name ends in "Map" is
// a texture the look depends on; each goes through the sequence expansion under the label
// of the reference that named the look file.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "assets/asset_collector.h"
#include "common/console.h"

namespace script {

namespace {

constexpr std::string_view k_material_type = "material";
constexpr std::string_view k_nodes = "nodes";
constexpr std::string_view k_parameters = "parameters";
constexpr std::string_view k_filename = "filename";
constexpr std::string_view k_map_suffix = "Map";

// The text of a string attribute; nullopt for groups and numbers, which name no file.
std::optional<std::string> text_value(const host::Host& host, host::AttrRef attr)
{
    const Json value = host.attribute_value(attr);
    if (!value.is_string()) {
        return std::nullopt;
    }
    return value.get<std::string>();
}

std::vector<std::pair<std::string, host::AttrRef>> children_of(const host::Host& host,
                                                               host::AttrRef group)
{
    return host.attribute_child_list(group).value_or(
        std::vector<std::pair<std::string, host::AttrRef>>{});
}

} // namespace

void zel_Katana_asset::getKlfAssets(const std::string& nodePath, const std::string& xmlFile)
{
    print_line("xmlFile:" + xmlFile);
    const host::Host& h = host();
    const host::LookFileRef look = h.open_look_file(xmlFile);
    for (const std::string& key : h.look_file_material_keys(look)) {
        if (h.look_file_material_type(look, key) != k_material_type) {
            continue;
        }
        const std::optional<host::AttrRef> material = h.look_file_material(look, key);
        if (!material) {
            continue;
        }

        if (const std::optional<host::AttrRef> nodes = h.attribute_child(*material, k_nodes)) {
            for (const auto& [node_name, node] : children_of(h, *nodes)) {
                const std::optional<host::AttrRef> parameters =
                    h.attribute_child(node, k_parameters);
                if (!parameters) {
                    continue;
                }
                const std::optional<host::AttrRef> filename =
                    h.attribute_child(*parameters, k_filename);
                if (!filename) {
                    continue;
                }
                if (const std::optional<std::string> text = text_value(h, *filename)) {
                    AnaylseSeq(nodePath, *text);
                }
            }
        }

        if (const std::optional<host::AttrRef> params =
                h.attribute_child(*material, k_parameters)) {
            for (const auto& [name, param] : children_of(h, *params)) {
                if (!name.ends_with(k_map_suffix)) {
                    continue;
                }
                const std::optional<std::string> text = text_value(h, param);
                if (!text || text->empty()) {
                    continue;
                }
                print_line("Found klf Map " + name + ": " + *text);
                AnaylseSeq(nodePath, *text);
            }
        }
    }
}

} // namespace script
