#include "tasks/rely_task.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace script {
namespace {

using testing::ConsoleCapture;

Json task_map(const Json& plugins, const Json* dependency_task, const char* cg_version = "5.0")
{
    Json task = Json::object();
    task["argument_info"] = Json::object();
    if (dependency_task != nullptr) {
        task["argument_info"]["dependency_task"] = *dependency_task;
    }
    task["software_config"] = Json{{"cg_name", "Katana"}, {"cg_version", cg_version}, {"plugins", plugins}};
    return task;
}

Json record(const Json& formats)
{
    return Json{{"rendernodes", Json{{"Render1", Json{{"image_format", formats}}}}}};
}

const Json k_both_plugins = Json{{"KtoA", "4.0"}, {"RenderManForKatana", "24"}};

TEST(RelyTask, WorkedExampleMergesOfferedIdsInAscendingOrder)
{
    const Json offer = Json::parse(R"({"pre_task": [], "post_task": [
        {"id": 312, "create_tag": 3, "extra": "x"},
        {"id": 298, "edit_value": [{"key": "plugin", "keyShow": "Plugin",
                                    "values": [{"value": "RenderManForKatana", "valueShow": "RMan"},
                                               {"value": "Other"}]}]}]})");
    ConsoleCapture capture;
    RelyTask task(task_map(k_both_plugins, &offer), record(Json::array({"exr"})));
    const Json result = task.run();
    const std::string out = capture.finish();

    const Json expected = Json::parse(R"({"pre_task": [], "post_task": [
        {"id": 298, "create_tag": 1, "layers": ["Render1"],
         "edit_value": [{"values": [{"value": "KtoA"}, {"value": "RenderManForKatana", "valueShow": "RMan"}],
                         "key": "plugin", "keyShow": "Plugin"}]},
        {"id": 312, "create_tag": 3, "frames_name_list": ["video_merge"], "layers": ["Render1"], "extra": "x"}]})");
    EXPECT_EQ(result, expected);
    EXPECT_EQ(result.dump(), expected.dump());  // key order too
    EXPECT_EQ(out,
              "------------- Origin dependency_task -------------\n"
              "{'pre_task': [], 'post_task': [{'id': 312, 'create_tag': 3, 'extra': 'x'}, {'id': 298, "
              "'edit_value': [{'key': 'plugin', 'keyShow': 'Plugin', 'values': [{'value': "
              "'RenderManForKatana', 'valueShow': 'RMan'}, {'value': 'Other'}]}]}]}\n"
              "key_id=302 not in relytask setting\n"
              "key_id=316 not in relytask setting\n");
}

TEST(RelyTask, SceneSupportDependsOnExrAndPlugins)
{
    struct Case {
        const char* name;
        Json plugins;
        Json formats;
        Json expected_ids;
        std::string expected_out;
    };
    const Case cases[] = {
        {"no exr", k_both_plugins, Json::array({"png"}), Json::array({312, 316}), ""},
        {"no plugins", Json::object(), Json::array({"exr"}), Json::array({312, 316}),
         "Warnning: task_name denoise get none plugin_values\n"
         "Warnning: task_name json_denoise get none plugin_values\n"},
        {"KtoA only", Json{{"KtoA", 1}}, Json::array({"exr"}), Json::array({312, 316, 298}),
         "Warnning: task_name json_denoise get none plugin_values\n"},
        {"RenderMan only", Json{{"RenderManForKatana", 1}}, Json::array({"exr", "png"}),
         Json::array({312, 316, 298, 302}), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Json offer = Json::parse(R"({"post_task": []})");
        RelyTask task(task_map(c.plugins, &offer), record(c.formats));
        ConsoleCapture capture;
        const Json scene = task.get_scene_support_task();
        EXPECT_EQ(capture.finish(), c.expected_out);
        Json ids = Json::array();
        for (const auto& item : scene.at("post_task")) {
            ids.push_back(item.at("id"));
        }
        EXPECT_EQ(ids, c.expected_ids);
        EXPECT_EQ(scene.at("pre_task"), Json::array());
    }
}

TEST(RelyTask, JsonDenoiseOffersOnlyRenderMan)
{
    RelyTask task(task_map(k_both_plugins, nullptr), record(Json::array({"exr"})));
    const Json post = task.get_scene_support_task().at("post_task");
    ASSERT_EQ(post.size(), 4u);
    EXPECT_EQ(post[2].at("edit_value"), Json::parse(R"([{"values": [{"value": "KtoA"},
        {"value": "RenderManForKatana"}], "key": "plugin"}])"));
    EXPECT_EQ(post[3].at("edit_value"),
              Json::parse(R"([{"values": [{"value": "RenderManForKatana"}], "key": "plugin"}])"));
    EXPECT_EQ(post[0].dump(), R"({"id":312,"create_tag":3,"frames_name_list":["video_merge"],"layers":["Render1"]})");
}

TEST(RelyTask, UnknownHostGivesEmptyVideoIdsAndSkipsDenoise)
{
    Json task_json = task_map(k_both_plugins, nullptr);
    task_json["software_config"]["cg_name"] = "Houdini";
    RelyTask task(task_json, record(Json::array({"exr"})));
    ConsoleCapture capture;
    const Json post = task.get_scene_support_task().at("post_task");
    const std::string table =
        "{'xgen_export': {'Maya': 294}, 'denoise': {'Maya': 296, 'Katana': 298}, 'json_denoise': "
        "{'Maya': 300, 'Katana': 302}, 'edit_params': {'Maya': 304}, 'video_merge': {'Maya': 306, "
        "'Katana': 312}, 'video_merge_mov': {'Maya': 314, 'Katana': 316}, 'dcc_cache': "
        "{'UnrealEngine': 341000}}";
    EXPECT_EQ(capture.finish(),
              "Warnning: Get none rely_key_id! Please Check! \nParams: task_type=post_task, "
              "task_name=denoise, cg_name=Houdini, cg_version=5.0, RELY_DICT=" + table + "\n"
              "Warnning: Get none rely_key_id! Please Check! \nParams: task_type=post_task, "
              "task_name=json_denoise, cg_name=Houdini, cg_version=5.0, RELY_DICT=" + table + "\n");
    ASSERT_EQ(post.size(), 2u);
    EXPECT_EQ(post[0].at("id"), "");
    EXPECT_EQ(post[1].at("id"), "");
}

TEST(RelyTask, ClientOfferShapes)
{
    {
        SCOPED_TRACE("absent offer: default lists, every scene id reported");
        ConsoleCapture capture;
        RelyTask task(task_map(k_both_plugins, nullptr), record(Json::array({"exr"})));
        EXPECT_EQ(task.run(), Json::parse(R"({"pre_task": [], "post_task": []})"));
        EXPECT_EQ(capture.finish(),
                  "------------- Origin dependency_task -------------\n"
                  "{'pre_task': [], 'post_task': []}\n"
                  "key_id=298 not in relytask setting\n"
                  "key_id=302 not in relytask setting\n"
                  "key_id=312 not in relytask setting\n"
                  "key_id=316 not in relytask setting\n");
    }
    {
        SCOPED_TRACE("empty offer: passed over");
        const Json offer = Json::object();
        ConsoleCapture capture;
        RelyTask task(task_map(k_both_plugins, &offer), record(Json::array({"exr"})));
        EXPECT_EQ(task.run(), Json::object());
        EXPECT_EQ(capture.finish(),
                  "------------- Origin dependency_task -------------\n{}\n"
                  "Warnning: Passing RelyTask! Origin dependency_task is {}\n");
    }
    {
        SCOPED_TRACE("pre tasks are never supported");
        const Json offer = Json::parse(R"({"pre_task": [{"id": 294}], "post_task": [{"id": 316}]})");
        RelyTask task(task_map(Json::object(), &offer), record(Json::array({"png"})));
        const Json result = task.run();
        EXPECT_EQ(result.at("pre_task"), Json::array());
        ASSERT_EQ(result.at("post_task").size(), 1u);
        EXPECT_EQ(result["post_task"][0].at("id"), 316);
    }
}

TEST(RelyTask, ClientVersionListFiltersTasks)
{
    struct Case {
        const char* versions;
        bool kept;
    };
    for (const Case c : {Case{"4.0,4.5", false}, Case{"4.0,5.0", true}, Case{"", true}, Case{"5.0 ", false}}) {
        SCOPED_TRACE(c.versions);
        const Json offer = Json{{"post_task", Json::array({Json{{"id", 312}, {"cg_version", c.versions}}})}};
        RelyTask task(task_map(Json::object(), &offer, "5.0"), record(Json::array()));
        EXPECT_EQ(task.run().at("post_task").size(), c.kept ? 1u : 0u);
    }
}

TEST(RelyTask, MergeEditValueAndValues)
{
    RelyTask task(task_map(Json::object(), nullptr), record(Json::array()));
    const Json client = Json::parse(R"([
        {"key": "zeta", "values": [{"value": "z"}]},
        {"key": "plugin", "keyShowZh": "P", "paramType": 1, "values": [{"value": "B", "valueShowEn": "b"}, {"value": "C"}]}])");
    const Json scene = Json::parse(R"([
        {"values": [{"value": "A"}, {"value": "B", "valueShowEn": "scene"}], "key": "plugin"},
        {"values": [{"value": "m"}], "key": "alpha"}])");
    EXPECT_EQ(task.merge_edit_value(client, scene).dump(),
              Json::parse(R"([
        {"values": [{"value": "m"}], "key": "alpha"},
        {"values": [{"value": "A"}, {"value": "B", "valueShowEn": "scene"}], "key": "plugin", "keyShowZh": "P", "paramType": 1},
        {"key": "zeta", "values": [{"value": "z"}]}])").dump());

    // Scene entry without values takes the client's.
    EXPECT_EQ(task.merge_edit_value(Json::parse(R"([{"key": "k", "values": [1]}])"),
                                    Json::parse(R"([{"key": "k"}])")),
              Json::parse(R"([{"key": "k", "values": [1]}])"));
}

TEST(RelyTask, IdsSortNumbersBeforeTexts)
{
    RelyTask task(task_map(Json::object(), nullptr), record(Json::array()));
    const Json items = Json::parse(R"([{"id": ""}, {"id": 100}, {"id": 9}, {"id": "a"}])");
    Json ids = Json::array();
    for (const auto& item : task.merge_lists(items, items)) {
        ids.push_back(item.at("id"));
    }
    EXPECT_EQ(ids, Json::parse(R"([9, 100, "", "a"])"));
}

TEST(RelyTask, MissingInputsThrow)
{
    const Json good = task_map(Json::object(), nullptr);
    ConsoleCapture capture;
    EXPECT_THROW(RelyTask(Json::object(), record(Json::array())), Json::out_of_range);
    for (const char* key : {"cg_name", "cg_version", "plugins"}) {
        SCOPED_TRACE(key);
        Json broken = good;
        broken["software_config"].erase(key);
        EXPECT_THROW(RelyTask(broken, record(Json::array())), Json::out_of_range);
    }
    EXPECT_THROW(RelyTask(good, Json::object()), Json::out_of_range);
    RelyTask task(good, record(Json::array()));
    EXPECT_THROW(task.merge_lists(Json::parse(R"([{"x": 1}])"), Json::array()), Json::out_of_range);
    EXPECT_THROW(task.merge_values(Json::array(), Json::parse(R"([{"x": 1}])")), Json::out_of_range);
}

}  // namespace
}  // namespace script
