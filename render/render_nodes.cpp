#include "render/render_nodes.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include "common/console.h"
#include "common/errors.h"
#include "common/fs.h"
#include "common/pypath.h"
#include "common/pyutil.h"
#include "driver/check_flow.h"
#include "driver/job_paths.h"
#include "driver/tips.h"
#include "tasks/rely_task.h"

namespace script {

// ---------------------------------------------------------------------------------------
// Internal utilities
// ---------------------------------------------------------------------------------------

namespace {

host::NodeRef root_node(const host::Host& host)
{
    auto root = host.node_by_name("rootNode");
    if (!root) {
        throw HostError("the scene has no node named 'rootNode'");
    }
    return *root;
}

host::ParamRef required_parameter(const host::Host& host, host::NodeRef node,
                                  const std::string& path)
{
    auto param = host.parameter(node, path);
    if (!param) {
        throw HostError("node '" + host.node_name(node) + "' has no parameter '" + path + "'");
    }
    return *param;
}

/// Python int() of a frame value: floats are truncated, texts must spell an integer.
long long frame_as_int(const Json& value)
{
    if (value.is_number_integer()) {
        return value.get<long long>();
    }
    if (value.is_number_float()) {
        return static_cast<long long>(value.get<double>());
    }
    if (value.is_boolean()) {
        return value.get<bool>() ? 1 : 0;
    }
    if (value.is_string()) {
        const std::string text = py_strip(value.get<std::string>());
        std::size_t pos = 0;
        if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
            pos = 1;
        }
        const bool digits = pos < text.size() &&
                            std::all_of(text.begin() + static_cast<long>(pos), text.end(),
                                        [](unsigned char c) { return std::isdigit(c) != 0; });
        if (digits) {
            return std::stoll(text);
        }
    }
    throw Error("invalid literal for int(): " + py_repr(value));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// zel_Katana_rendernodes
// ---------------------------------------------------------------------------------------

zel_Katana_rendernodes::zel_Katana_rendernodes(host::Host& host, const std::string& task_json)
    : m_host(host)
{
    auto wrapped = checkFlow("kanana_rendernodes",
                             [this](const std::string& path) { kanana_rendernodes(path); });
    wrapped(task_json);
}

Json zel_Katana_rendernodes::get_all_GSV() const
{
    Json var_dir = Json::object();
    const host::NodeRef root = root_node(m_host);
    const host::ParamRef variables = required_parameter(m_host, root, "variables");
    for (const host::ParamRef var : m_host.param_children(variables)) {
        const std::string var_name = m_host.param_name(var);
        Json entry = Json::object();
        entry["enable"] = "1.0";
        entry["value"] = "";
        entry["options"] = Json::array();
        for (const host::ParamRef property : m_host.param_children(var)) {
            // The options list starts afresh for every property, so what is stored is the
            // list built for the variable's last property.
            Json var_options = Json::array();
            const std::string property_name = m_host.param_name(property);
            if (property_name == "options") {
                print_line(property_name);
                const host::ParamRef options =
                    required_parameter(m_host, root, "variables." + var_name + ".options");
                for (const host::ParamRef option : m_host.param_children(options)) {
                    var_options.push_back(m_host.param_value(option, 0));
                }
            }
            if (property_name == "enable") {
                entry["enable"] = py_str(m_host.param_value(property, 0));
            }
            Json var_value = "";
            if (property_name == "value") {
                print_line(property_name);
                Json value = m_host.param_value(property, 0);
                var_value = truthy(value) ? value : Json("");
                entry["value"] = var_value;
            }
            auto found = std::find(var_options.begin(), var_options.end(), var_value);
            if (found != var_options.end()) {
                Json moved = *found;
                var_options.erase(found);
                var_options.insert(var_options.begin(), moved);
            }
            entry["options"] = var_options;
        }
        var_dir[var_name] = entry;
    }
    return var_dir;
}

std::vector<std::string> zel_Katana_rendernodes::get_file_extension(host::NodeRef render_node) const
{
    std::vector<std::string> file_extension;
    const host::RenderNodeInfo info = m_host.render_node_info(render_node);
    for (const std::string& name : info.all_output_names()) {
        const Json output = info.output_info_by_name(name, false);
        std::string ext = output.at("imageInfo").at("fileExtension").get<std::string>();
        if (ext == "deepexr") {
            ext = "exr";
        }
        // A set of extensions; kept in first-seen order so the record is deterministic.
        if (std::find(file_extension.begin(), file_extension.end(), ext) ==
            file_extension.end()) {
            file_extension.push_back(ext);
        }
    }
    return file_extension;
}

void zel_Katana_rendernodes::kanana_rendernodes(const std::string& task_json)
{
    const Json gsv_dirt = get_all_GSV();
    std::vector<std::string> bad_nodes;
    Json render_info_dict = Json::object();
    Json scene_info = Json::object();
    std::vector<std::string> nodes;

    const std::vector<host::NodeRef> render_nodes = m_host.all_nodes_by_type("Render");
    if (render_nodes.empty()) {
        return;
    }

    for (const host::NodeRef node : render_nodes) {
        if (m_host.is_bypassed(node)) {
            continue;
        }
        Json render_output_dict = Json::object();
        const std::string render_name = m_host.node_name(node);
        nodes.push_back(render_name);
        print_line("Start analyse renderNode : " + render_name);
        try {
            m_host.set_param_value(required_parameter(m_host, node, "lock"), 0, 0);
            render_info_dict[render_name] = Json::object();
            Json& record = render_info_dict[render_name];
            record["image_format"] = get_file_extension(node);

            const std::string renderable = std::to_string(1 - (m_host.is_bypassed(node) ? 1 : 0));
            record["renderable"] = renderable;
            if (renderable == "0") {
                record["frames"] = "0-0[1]";
                continue;
            }

            const host::RenderNodeInfo info = m_host.render_node_info(node);
            for (int index = 0; index < info.number_of_outputs(); ++index) {
                const Json output = info.output_info_by_index(index, false);
                const std::string name = py_str(output.at("name"));
                const std::string path = py_str(output.at("outputFile"));
                if (py_find(path, "Temp") > 0) {
                    print_line("the " + name + " output is " + path + " ,it is tmp ,dont copy");
                    continue;
                }
                render_output_dict[name] = path;
                const std::string folder = pypath::dirname(path);
                if (!fs::exists(folder)) {
                    try {
                        fs::make_dirs(folder);
                    } catch (const std::exception&) {
                        print_line("mkdir " + path + " failed!");
                    }
                }
            }

            const host::NodeRef root = root_node(m_host);
            const Json render_start =
                m_host.param_value(required_parameter(m_host, root, "inTime"), 0);
            const Json render_end =
                m_host.param_value(required_parameter(m_host, root, "outTime"), 0);

            record["aov"] = render_output_dict;
            try {
                const Json render_TimeRange = m_host.param_value(
                    required_parameter(m_host, node, "farmSettings.TimeRange"), 0);
                record["frames"] = py_str(render_TimeRange) + "[1]";
            } catch (const std::exception&) {
                record["frames"] = std::to_string(frame_as_int(render_start)) + "-" +
                                   std::to_string(frame_as_int(render_end)) + "[1]";
            }
            record["denoise"] = "0";
            record["Variables"] = gsv_dirt;
        } catch (const std::exception&) {
            print_line(k_bang_line);
            bad_nodes.push_back(render_name);
            print_line("[ERROR!!!] : Bad renderNode: " + render_name);
        }
    }

    scene_info["nodes"] = nodes;
    scene_info["rendernodes"] = render_info_dict;
    if (!bad_nodes.empty()) {
        write_json_info(job_paths().tips_json, std::string(tips::k_bad_render_nodes), bad_nodes);
    }
    write_json_info(task_json, "scene_info", scene_info);

    try {
        const Json task = open_json(task_json);
        const RelyTask rely(task, scene_info);
        write_json_info(task_json, "dependency_task", rely.run());
    } catch (const std::exception& e) {
        print_error_line("Traceback (most recent call last):");
        print_error_line(std::string("  dependency task resolution failed: ") + e.what());
    }
}

}  // namespace script
