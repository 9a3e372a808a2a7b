#include "tasks/rely_task.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "common/console.h"
#include "common/pyutil.h"

namespace script {

namespace {

/// Items keyed by a JSON value, keeping insertion order; a later item with an equal key
/// replaces the earlier one in place (as a Python dict does).
using KeyedItems = std::vector<std::pair<Json, Json>>;

void put(KeyedItems& items, const Json& key, const Json& item)
{
    for (auto& entry : items) {
        if (entry.first == key) {
            entry.second = item;
            return;
        }
    }
    items.emplace_back(key, item);
}

const Json* find(const KeyedItems& items, const Json& key)
{
    for (const auto& entry : items) {
        if (entry.first == key) {
            return &entry.second;
        }
    }
    return nullptr;
}

/// Builds key -> item over a list; an item without `field` throws.
KeyedItems key_by(const Json& list, const char* field)
{
    KeyedItems items;
    for (const auto& item : list) {
        put(items, item.at(field), item);
    }
    return items;
}

/// Ordering of ids and keys: numbers compare numerically and come before texts, texts
/// compare by their bytes; any other kind comes last, in nlohmann's own order. This keeps
/// the result deterministic when a client mixes numeric ids with "" or text ids.
int kind_rank(const Json& value)
{
    if (value.is_number()) {
        return 0;
    }
    if (value.is_string()) {
        return 1;
    }
    return 2;
}

bool key_less(const Json& a, const Json& b)
{
    const int ra = kind_rank(a);
    const int rb = kind_rank(b);
    if (ra != rb) {
        return ra < rb;
    }
    return a < b;
}

std::vector<Json> sorted_keys(const KeyedItems& items)
{
    std::vector<Json> keys;
    keys.reserve(items.size());
    for (const auto& entry : items) {
        keys.push_back(entry.first);
    }
    std::stable_sort(keys.begin(), keys.end(), key_less);
    return keys;
}

/// `name in container` for the plug-in table: keys of a map, members of a list.
bool has_plugin(const Json& plugins, const std::string& name)
{
    if (plugins.is_object()) {
        return plugins.contains(name);
    }
    if (plugins.is_array()) {
        return std::find(plugins.begin(), plugins.end(), Json(name)) != plugins.end();
    }
    return false;
}

/// Copies the listed keys of `from` that `to` lacks.
void fill_missing(Json& to, const Json& from, std::initializer_list<const char*> keys)
{
    for (const char* key : keys) {
        if (from.contains(key) && !to.contains(key)) {
            to[key] = from[key];
        }
    }
}

Json rely_dict()
{
    Json table = Json::object();
    table["xgen_export"] = Json{{"Maya", 294}};
    table["denoise"] = Json{{"Maya", 296}, {"Katana", 298}};
    table["json_denoise"] = Json{{"Maya", 300}, {"Katana", 302}};
    table["edit_params"] = Json{{"Maya", 304}};
    table["video_merge"] = Json{{"Maya", 306}, {"Katana", 312}};
    table["video_merge_mov"] = Json{{"Maya", 314}, {"Katana", 316}};
    table["dcc_cache"] = Json{{"UnrealEngine", 341000}};
    return table;
}

}  // namespace

RelyTask::RelyTask(const Json& task_json_dict, const Json& scene_info_dict_in)
{
    const Json& argument_info = task_json_dict.at("argument_info");
    if (argument_info.is_object() && argument_info.contains("dependency_task")) {
        rely_task_dict = argument_info.at("dependency_task");
    } else {
        rely_task_dict = Json::object();
        rely_task_dict["pre_task"] = Json::array();
        rely_task_dict["post_task"] = Json::array();
    }
    print_line("------------- Origin dependency_task -------------");
    print_line(py_str(rely_task_dict));

    scene_info_dict = scene_info_dict_in;
    const Json& software_config = task_json_dict.at("software_config");
    cg_name = software_config.at("cg_name");
    cg_version = software_config.at("cg_version");
    plugins = software_config.at("plugins");
    for (const auto& node : scene_info_dict.at("rendernodes").items()) {
        layers.push_back(node.key());
    }
    RELY_DICT = rely_dict();
}

Json RelyTask::run() const
{
    if (!truthy(rely_task_dict)) {
        print_line("Warnning: Passing RelyTask! Origin dependency_task is " + py_str(rely_task_dict));
        return Json::object();
    }
    const Json scene = get_scene_support_task();
    auto client_list = [this](const char* key) {
        if (rely_task_dict.is_object() && rely_task_dict.contains(key) && truthy(rely_task_dict[key])) {
            return rely_task_dict[key];
        }
        return Json::array();
    };
    Json result = Json::object();
    result["pre_task"] = merge_lists(client_list("pre_task"), scene.at("pre_task"));
    result["post_task"] = merge_lists(client_list("post_task"), scene.at("post_task"));
    return result;
}

Json RelyTask::get_scene_support_task() const
{
    // Id of a task type for this host, or "" when the table has none.
    auto rely_id = [this](const std::string& task_type) -> Json {
        const Json& row = RELY_DICT.at(task_type);
        if (cg_name.is_string() && row.contains(cg_name.get<std::string>())) {
            return row.at(cg_name.get<std::string>());
        }
        return "";
    };

    Json scene_support_task = Json::object();
    scene_support_task["pre_task"] = Json::array();
    Json post_task = Json::array();
    for (const char* video : {"video_merge", "video_merge_mov"}) {
        Json item = Json::object();
        item["id"] = rely_id(video);
        item["create_tag"] = 3;
        item["frames_name_list"] = Json::array({video});
        item["layers"] = layers;
        post_task.push_back(std::move(item));
    }
    scene_support_task["post_task"] = post_task;

    Json exr_layers = Json::array();
    for (const auto& node : scene_info_dict.at("rendernodes").items()) {
        const Json& record = node.value();
        if (!record.is_object() || !record.contains("image_format")) {
            continue;
        }
        const Json& formats = record.at("image_format");
        if (formats.is_array() && std::find(formats.begin(), formats.end(), Json("exr")) != formats.end()) {
            exr_layers.push_back(node.key());
        }
    }
    if (exr_layers.empty()) {
        return scene_support_task;
    }

    Json plugin_values = Json::array();
    for (const char* name : {"KtoA", "RenderManForKatana"}) {
        if (has_plugin(plugins, name)) {
            plugin_values.push_back(Json{{"value", name}});
        }
    }
    const std::string task_type = "post_task";

    for (const std::string task_name : {"denoise", "json_denoise"}) {
        const Json rely_key_id = rely_id(task_name);
        if (!truthy(rely_key_id)) {
            print_line("Warnning: Get none rely_key_id! Please Check! \nParams: task_type=" + task_type +
                       ", task_name=" + task_name + ", cg_name=" + py_str(cg_name) +
                       ", cg_version=" + py_str(cg_version) + ", RELY_DICT=" + py_str(RELY_DICT));
            continue;
        }
        if (task_name == "json_denoise") {
            // Only RenderMan writes the JSON sidecars this denoiser reads.
            plugin_values = Json::array();
            if (has_plugin(plugins, "RenderManForKatana")) {
                plugin_values.push_back(Json{{"value", "RenderManForKatana"}});
            }
        }
        if (plugin_values.empty()) {
            print_line("Warnning: task_name " + task_name + " get none plugin_values");
            continue;
        }
        Json edit_entry = Json::object();
        edit_entry["values"] = plugin_values;
        edit_entry["key"] = "plugin";
        Json item = Json::object();
        item["id"] = rely_key_id;
        item["create_tag"] = 1;
        item["layers"] = exr_layers;
        item["edit_value"] = Json::array({edit_entry});
        scene_support_task["post_task"].push_back(std::move(item));
    }
    return scene_support_task;
}

Json RelyTask::merge_lists(const Json& list1, const Json& list2) const
{
    const KeyedItems dict1 = key_by(list1, "id");
    const KeyedItems dict2 = key_by(list2, "id");
    Json result = Json::array();
    for (const Json& key_id : sorted_keys(dict2)) {
        const Json* client = find(dict1, key_id);
        if (client == nullptr) {
            print_line("key_id=" + py_str(key_id) + " not in relytask setting");
            continue;
        }
        const Json& item1 = *client;
        const Json& item2 = *find(dict2, key_id);
        if (truthy(item2) && item1.contains("cg_version") && truthy(item1["cg_version"])) {
            const auto parts = split(item1["cg_version"].get<std::string>(), ",");
            const bool allowed = cg_version.is_string() &&
                std::find(parts.begin(), parts.end(), cg_version.get<std::string>()) != parts.end();
            if (!allowed) {
                continue;
            }
        }
        Json merged_item = truthy(item2) ? item2 : Json{{"id", key_id}};
        if (item1.contains("edit_value") && item2.contains("edit_value")) {
            merged_item["edit_value"] = merge_edit_value(item1["edit_value"], item2["edit_value"]);
        } else if (item1.contains("edit_value")) {
            merged_item["edit_value"] = item1["edit_value"];
        }
        for (const auto& field : item1.items()) {
            if (!merged_item.contains(field.key())) {
                merged_item[field.key()] = field.value();
            }
        }
        result.push_back(std::move(merged_item));
    }
    return result;
}

Json RelyTask::merge_edit_value(const Json& edit_value1, const Json& edit_value2) const
{
    const KeyedItems dict1 = key_by(edit_value1, "key");
    const KeyedItems dict2 = key_by(edit_value2, "key");
    KeyedItems all = dict1;
    for (const auto& entry : dict2) {
        if (find(all, entry.first) == nullptr) {
            all.push_back(entry);
        }
    }
    Json result = Json::array();
    for (const Json& key : sorted_keys(all)) {
        const Json* item1 = find(dict1, key);
        const Json* item2 = find(dict2, key);
        if (item1 != nullptr && item2 != nullptr) {
            Json merged = *item2;
            fill_missing(merged, *item1, {"keyShow", "keyShowZh", "keyShowEn", "paramType"});
            if (item1->contains("values") && item2->contains("values")) {
                merged["values"] = merge_values(item1->at("values"), item2->at("values"));
            } else if (item1->contains("values")) {
                merged["values"] = item1->at("values");
            }
            result.push_back(std::move(merged));
        } else if (item1 != nullptr) {
            result.push_back(*item1);
        } else {
            result.push_back(*item2);
        }
    }
    return result;
}

Json RelyTask::merge_values(const Json& values1, const Json& values2) const
{
    const KeyedItems dict1 = key_by(values1, "value");
    const KeyedItems dict2 = key_by(values2, "value");
    Json result = Json::array();
    for (const auto& entry : dict2) {
        Json merged = entry.second;
        if (const Json* item1 = find(dict1, entry.first)) {
            fill_missing(merged, *item1, {"valueShow", "valueShowZh", "valueShowEn"});
        }
        result.push_back(std::move(merged));
    }
    return result;
}

}  // namespace script
