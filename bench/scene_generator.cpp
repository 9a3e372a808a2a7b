#include "bench/scene_generator.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "bench/tree_files.h"
#include "common/errors.h"

namespace script::bench {

namespace {

using Json = nlohmann::ordered_json;

// Layout of one group; recorded_per_group() follows from these.
constexpr int k_udim_sets = 10;
constexpr int k_udim_first_tile = 1001;
constexpr int k_udim_tiles = 10;
constexpr int k_sequences = 4;
constexpr int k_shared_sequences = 2; // referenced from a second ImageRead node
constexpr int k_frames = 48;
constexpr int k_singles = 100;
constexpr int k_single_locations = 3;  // locations referencing each single texture
constexpr int k_single_node_every = 4; // every n-th single texture also has an ImageRead
constexpr int k_missing = 10;
constexpr int k_missing_locations = 2;
constexpr int k_refs_per_location = 3;

std::string format(const char* pattern, int a)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, a);
    return buffer;
}

std::string format(const char* pattern, int a, int b)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, a, b);
    return buffer;
}

// Adds the twin candidates the collector looks for beside a matched texture.
void add_twin_candidates(GeneratedScene& scene, const std::string& stem)
{
    scene.stat_paths.push_back(stem + ".tx");
    scene.stat_paths.push_back(stem + ".rstexbin");
}

class Builder
{
public:
    explicit Builder(GeneratedScene& scene) : m_scene(scene) {}

    void add_group(int g)
    {
        const std::string group = format("g%04d", g);
        const std::string base = m_scene.texture_root + "/" + group;
        const std::string node_parent = "Textures_" + group;
        m_nodes.push_back({{"name", node_parent}, {"type", "Group"}, {"parent", "rootNode"}});
        std::vector<std::string> location_refs;
        int node_index = 0;
        auto add_node = [&](const std::string& file) {
            m_nodes.push_back({{"name", format("ImageRead_g%04d_%03d", g, node_index++)},
                               {"type", "ImageRead"},
                               {"parent", node_parent},
                               {"parameters", {{"file", file}}}});
            ++m_scene.nodes;
            ++m_scene.references;
        };

        // UDIM sets: every set from one node and one location.
        const std::string udim = base + "/udim";
        make_dir(udim);
        m_scene.folders.push_back(udim);
        for (int s = 0; s < k_udim_sets; ++s) {
            const std::string stem = udim + format("/udim_%02d", s);
            for (int t = 0; t < k_udim_tiles; ++t) {
                const std::string tile = stem + format(".%d", k_udim_first_tile + t);
                touch(tile + ".exr");
                touch(tile + ".tx");
                m_scene.files += 2;
                m_scene.stat_paths.push_back(tile + ".exr");
                add_twin_candidates(m_scene, tile);
            }
            add_node(stem + ".<UDIM>.exr");
            location_refs.push_back(stem + ".<UDIM>.exr");
        }

        // Frame sequences, half written with hashes and half printf-style.
        const std::string seq = base + "/seq";
        make_dir(seq);
        m_scene.folders.push_back(seq);
        for (int s = 0; s < k_sequences; ++s) {
            const std::string stem = seq + format("/shot_%02d", s);
            for (int f = 1; f <= k_frames; ++f) {
                const std::string frame = stem + format(".%04d", f);
                touch(frame + ".exr");
                ++m_scene.files;
                m_scene.stat_paths.push_back(frame + ".exr");
                add_twin_candidates(m_scene, frame);
            }
            const std::string reference = stem + (s % 2 == 0 ? ".####.exr" : ".%04d.exr");
            add_node(reference);
            if (s < k_shared_sequences)
                add_node(reference);
        }

        // Single textures shared between locations (and some nodes), and missing ones.
        const std::string single = base + "/single";
        make_dir(single);
        m_scene.folders.push_back(single);
        for (int i = 0; i < k_singles; ++i) {
            const std::string stem = single + format("/tex_%03d", i);
            touch(stem + ".exr");
            touch(stem + ".tx");
            m_scene.files += 2;
            m_scene.stat_paths.push_back(stem + ".exr");
            add_twin_candidates(m_scene, stem);
            if (i % k_single_node_every == 0)
                add_node(stem + ".exr");
            for (int l = 0; l < k_single_locations; ++l)
                location_refs.push_back(stem + ".exr");
        }
        for (int i = 0; i < k_missing; ++i) {
            const std::string path = single + format("/gone_%02d.exr", i);
            m_scene.stat_paths.push_back(path);
            for (int l = 0; l < k_missing_locations; ++l)
                location_refs.push_back(path);
        }

        // Spread the references over locations so that shared ones land in different places.
        std::shuffle(location_refs.begin(), location_refs.end(), m_random);
        Json assets = Json::array();
        for (std::size_t first = 0; first < location_refs.size(); first += k_refs_per_location) {
            Json material_nodes = Json::object();
            const std::size_t last =
                std::min(location_refs.size(), first + std::size_t{k_refs_per_location});
            for (std::size_t r = first; r < last; ++r) {
                material_nodes[format("tex%d", static_cast<int>(r - first))] = {
                    {"parameters", {{"filename", location_refs[r]}}}};
                ++m_scene.references;
            }
            assets.push_back({{"name", format("asset_%03d", static_cast<int>(first))},
                              {"type", "polymesh"},
                              {"attributes", {{"material", {{"nodes", material_nodes}}}}}});
            ++m_scene.locations;
        }
        m_groups.push_back({{"name", group}, {"type", "group"}, {"children", std::move(assets)}});
    }

    Json document()
    {
        Json nodes = Json::array();
        nodes.push_back({{"name", "rootNode"},
                         {"type", "Group"},
                         {"parameters", {{"inTime", 1.0}, {"outTime", 48.0}}}});
        nodes.push_back(
            {{"name", "Render1"},
             {"type", "Render"},
             {"parent", "rootNode"},
             {"parameters", {{"farmSettings", {{"TimeRange", "1-48"}}}}},
             {"render_info",
              {{"outputs", Json::array({{{"name", "primary"},
                                         {"outputFile", m_scene.root + "/out/beauty.#.exr"},
                                         {"imageInfo", {{"fileExtension", "exr"}}}}})}}},
             {"producer", "main"}});
        for (Json& node : m_nodes)
            nodes.push_back(std::move(node));
        m_nodes.clear();

        Json geo = {{"name", "geo"}, {"type", "group"}, {"children", std::move(m_groups)}};
        Json world = {{"name", "world"}, {"type", "group"}, {"children", Json::array({geo})}};
        Json root = {{"name", "root"}, {"type", "group"}, {"children", Json::array({world})}};
        return {{"header", {{"version", "4.5.1.000008"}, {"release", "4.5v1"}}},
                {"nodes", std::move(nodes)},
                {"scene_graphs", {{"main", std::move(root)}}}};
    }

private:
    GeneratedScene& m_scene;
    std::vector<Json> m_nodes;
    Json m_groups = Json::array();
    std::mt19937 m_random{20240611u};
};

} // namespace

std::size_t recorded_per_group()
{
    // A UDIM pattern is never itself recorded, so each of its two references expands again.
    const std::size_t udim = std::size_t{k_udim_sets} * 2 * (2 * k_udim_tiles);
    const std::size_t seq = std::size_t{k_sequences + k_shared_sequences} * k_frames;
    // The first reference records the texture and its twin, every later one the reference.
    const std::size_t with_node = (k_singles + k_single_node_every - 1) / k_single_node_every;
    const std::size_t single = std::size_t{k_singles} * (2 + (k_single_locations - 1)) + with_node;
    // The first reference records the pattern as missing, later ones as found and missing.
    const std::size_t missing = std::size_t{k_missing} * (1 + 2 * (k_missing_locations - 1));
    return udim + seq + single + missing;
}

GeneratedScene generate_scene(std::size_t target_recorded)
{
    GeneratedScene scene;
    scene.root = make_temp_root("asset-bench-");
    scene.texture_root = scene.root + "/textures";
    const std::size_t per_group = recorded_per_group();
    scene.groups = std::max<std::size_t>(1, (target_recorded + per_group / 2) / per_group);
    scene.expected_recorded = scene.groups * per_group;

    Builder builder(scene);
    for (std::size_t g = 0; g < scene.groups; ++g)
        builder.add_group(static_cast<int>(g));

    scene.scene_document = scene.root + "/scene.katana";
    std::ofstream out(scene.scene_document, std::ios::binary);
    out << builder.document().dump();
    if (!out.flush())
        throw Error("cannot write " + scene.scene_document);
    return scene;
}

void remove_scene(const GeneratedScene& scene)
{
    remove_tree(scene.root);
}

} // namespace script::bench
