#include "bench/run_tree.h"

#include <algorithm>
#include <cstdio>

#include "bench/tree_files.h"
#include "common/errors.h"

namespace script::bench {

namespace {

constexpr int k_first_tile = 1001;
constexpr int k_tiles = 10;
constexpr std::size_t k_textures_per_folder = 50; // 1,000 files a folder
constexpr int k_locations_per_texture = 3;
constexpr std::size_t k_missing_every = 20;

constexpr std::string_view k_task_json = R"({
    "software_config": {"cg_name": "Katana", "cg_version": "4.5", "plugins": {"KtoA": "4.2.1"}},
    "argument_info": {"dependency_task": {"pre_task": [], "post_task": [{"id": 312}]}}
})";

std::string format(const char* pattern, std::size_t a)
{
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, pattern, a);
    return buffer;
}

} // namespace

std::size_t files_per_texture()
{
    return 2 * k_tiles;
}

RunTree generate_run_tree(std::size_t target_files)
{
    RunTree tree;
    tree.root = make_temp_root("run-bench-");
    tree.textures = std::max<std::size_t>(1, target_files / files_per_texture());
    const std::string tex = tree.root + "/tex";

    // The texture tree, folder by folder.
    for (std::size_t t = 0; t < tree.textures; ++t) {
        const std::string folder = tex + format("/d%04zu", t / k_textures_per_folder);
        if (t % k_textures_per_folder == 0) {
            make_dir(folder);
            tree.folders.push_back(folder);
        }
        const std::string stem = folder + format("/tex_%06zu", t);
        for (int tile = 0; tile < k_tiles; ++tile) {
            const std::string tile_stem = stem + format(".%zu", static_cast<std::size_t>(k_first_tile + tile));
            touch(tile_stem + ".exr");
            touch(tile_stem + ".tx");
            tree.files += 2;
        }
    }
    const std::string missing_folder = tex + "/missing";
    tree.folders.push_back(missing_folder);

    // The scene document, written as text: one folder group per texture folder, three
    // locations per texture.
    std::string doc;
    doc.reserve(tree.textures * k_locations_per_texture * 200 + 4096);
    doc += R"({"header": {"version": "4.5.1.000008", "release": "4.5v1"},
"nodes": [
 {"name": "rootNode", "type": "Group", "parameters": {"inTime": 1.0, "outTime": 100.0,
  "variables": {"shot": {"enable": 1.0, "value": "a", "options": ["a", "b"]}}}},
 {"name": "Render1", "type": "Render", "parent": "rootNode",
  "parameters": {"lock": 1.0, "farmSettings": {"TimeRange": "1-100"}},
  "render_info": {"outputs": [)";
    doc += R"({"name": "primary", "outputFile": ")" + tree.root + R"(/out/beauty.#.exr", "imageInfo": {"fileExtension": "exr"}},)";
    doc += R"({"name": "depth", "outputFile": ")" + tree.root + R"(/out/depth.#.exr", "imageInfo": {"fileExtension": "exr"}}]},)";
    doc += R"(
  "producer": "main"}],
"scene_graphs": {"main": {"name": "root", "type": "group", "children": [
 {"name": "world", "type": "group", "children": [
  {"name": "geo", "type": "group", "children": [)";
    std::size_t reference = 0;
    for (std::size_t t = 0; t < tree.textures; ++t) {
        const std::size_t folder_index = t / k_textures_per_folder;
        if (t % k_textures_per_folder == 0) {
            if (t > 0)
                doc += "]},";
            doc += format("\n   {\"name\": \"d%04zu\", \"type\": \"group\", \"children\": [", folder_index);
        }
        for (int l = 0; l < k_locations_per_texture; ++l) {
            const bool missing = ++reference % k_missing_every == 0;
            const std::string file = missing ? missing_folder + format("/tex_%06zu.<UDIM>.exr", t)
                                             : tex + format("/d%04zu", folder_index) +
                                                   format("/tex_%06zu.<UDIM>.exr", t);
            tree.missing += missing ? 1 : 0;
            if (t % k_textures_per_folder != 0 || l > 0)
                doc += ',';
            doc += format("\n    {\"name\": \"m%06zu", t) + format("_%zu\", \"type\": \"polymesh\", ", static_cast<std::size_t>(l));
            doc += R"("attributes": {"material": {"nodes": {"diffuse": {"parameters": {"filename": ")";
            doc += file;
            doc += "\"}}}}}}";
        }
    }
    if (tree.textures > 0)
        doc += "]}";
    doc += "]}]}]}}}\n";
    tree.references = reference;

    tree.scene_document = tree.root + "/scene.json";
    write_text(tree.scene_document, doc);
    tree.task_template = tree.root + "/task.json";
    write_text(tree.task_template, k_task_json);
    return tree;
}

void remove_run_tree(const RunTree& tree)
{
    remove_tree(tree.root);
}

} // namespace script::bench
