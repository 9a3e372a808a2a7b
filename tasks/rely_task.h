#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace script {

using Json = nlohmann::ordered_json;

/// Decides which companion tasks (denoise, video assembly) the scene supports and merges
/// them with what the client offered in task.json. Pure: JSON values in, a JSON value out.
/// Missing inputs ("argument_info", "software_config", its "cg_name", "cg_version",
/// "plugins", or the record's "rendernodes") throw.
class RelyTask
{
public:
    RelyTask(const Json& task_json_dict, const Json& scene_info_dict);

    /// The new "dependency_task" value ({} when the client's offer is empty).
    Json run() const;
    Json get_scene_support_task() const;
    Json merge_lists(const Json& list1, const Json& list2) const;
    Json merge_edit_value(const Json& edit_value1, const Json& edit_value2) const;
    Json merge_values(const Json& values1, const Json& values2) const;

    Json rely_task_dict;
    Json scene_info_dict;
    Json cg_name;
    Json cg_version;
    Json plugins;
    std::vector<std::string> layers;
    Json RELY_DICT;
};

}  // namespace script
