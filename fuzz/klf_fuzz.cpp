// Look-file documents through the standalone host's look-file service, then read the way
// the klf reader reads them: every material's shading-node files and "...Map" parameters.
// A document the service refuses must fail as script::Error, nothing else.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/console.h"
#include "common/errors.h"
#include "common/json_doc.h"
#include "host/standalone_host.h"

namespace {

void read_look(const script::host::StandaloneHost& host, script::host::LookFileRef look)
{
    for (const std::string& key : host.look_file_material_keys(look)) {
        if (host.look_file_material_type(look, key) != "material") {
            continue;
        }
        const std::optional<script::host::AttrRef> material = host.look_file_material(look, key);
        if (!material) {
            continue;
        }
        if (const auto nodes = host.attribute_child(*material, "nodes")) {
            for (const auto& [name, node] : host.attribute_child_list(*nodes).value_or(
                     std::vector<std::pair<std::string, script::host::AttrRef>>{})) {
                if (const auto parameters = host.attribute_child(node, "parameters")) {
                    if (const auto filename = host.attribute_child(*parameters, "filename")) {
                        (void)host.attribute_value(*filename);
                    }
                }
            }
        }
        if (const auto params = host.attribute_child(*material, "parameters")) {
            for (const auto& [name, param] : host.attribute_child_list(*params).value_or(
                     std::vector<std::pair<std::string, script::host::AttrRef>>{})) {
                if (name.ends_with("Map")) {
                    (void)host.attribute_value(param).is_string();
                }
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    script::console().begin_capture();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const script::Json document = script::parse_json_text(text);
        script::host::StandaloneHost host;
        read_look(host, host.load_look_document(document, "fuzz.klf"));
    } catch (const script::Error&) {
    }
    script::console().end_capture();
    return 0;
}
