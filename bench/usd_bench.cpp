// The USD walk at production scale. In a temporary folder it generates a layer tree of about
// 2,000 layers (text and crate, half each) holding 200,000 prims and 100,000 asset-valued
// attributes over an existing texture tree (UDIM tiles with .tx twins), plus one crate layer
// of about 1 GB that is almost all point arrays, then measures, best of several runs:
//
//   - reading the 1 GB layer's dependencies against reading its bytes once (target <= 5%);
//   - the whole tree's dependency walk (both readers and the asset expansion, as AnaylseSeq
//     runs it for the root layer) against a floor of reading every layer's bytes once and
//     listing each texture folder once (target <= 2x);
//   - the peak resident memory of reading the 1 GB layer above the process's baseline, in
//     a child process of its own (target <= 64 MB).
//
//   usd-bench [--big-gb=1] [--runs=3] [--keep] [--reuse=DIR]
//
// --keep leaves the generated folder in place and --reuse=DIR measures a folder kept from an
// earlier run with the same --big-gb, without generating it again.

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "assets/asset_collector.h"
#include "bench/tree_files.h"
#include "common/console.h"
#include "common/platform.h"
#include "host/standalone_host.h"
#include "readers/usd_layer.h"
#include "tests/support/usdc_writer.h"

namespace {

using script::bench::seconds_since;
using script::bench::verdict;
using script::testing::CrateWriter;
namespace stdfs = std::filesystem;

constexpr int k_texture_folders = 40;
constexpr int k_textures_per_folder = 250;
constexpr int k_layer_groups = 40;
constexpr int k_layers_per_group = 50;
constexpr int k_prims_per_layer = 100;
constexpr int k_assets_per_layer = 50;
constexpr double k_max_big_ratio = 0.05;
constexpr double k_max_walk_ratio = 2.0;
constexpr double k_max_peak_mib = 64.0;

template <typename F>
double best_of(int runs, F&& run)
{
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        best = std::min(best, seconds_since(start));
    }
    return best;
}

std::size_t status_kib(const char* key)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) {
            return static_cast<std::size_t>(std::strtoull(line.c_str() + std::strlen(key), nullptr, 10));
        }
    }
    return 0;
}

bool g_write_files = true;

void write_file(const std::string& path, const std::string& bytes)
{
    if (!g_write_files) {
        return;
    }
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

std::string texture(int index)
{
    char name[64];
    std::snprintf(name, sizeof name, "tex/d%02d/t%04d", index % k_texture_folders,
                  index / k_texture_folders % k_textures_per_folder);
    return name;
}

std::string layer_name(int group, int layer)
{
    char name[64];
    std::snprintf(name, sizeof name, "l%03d.%s", layer, layer % 2 == 0 ? "usda" : "usdc");
    std::string path = "g";
    path += std::to_string(group);
    path += '/';
    path += name;
    return path;
}

struct Tree
{
    std::string root;
    std::string big;
    std::vector<std::string> layers;
    std::vector<std::string> texture_folders;
};

void write_leaf_text(const std::string& path, int first_asset)
{
    std::string text = "#usda 1.0\n(\n    defaultPrim = \"Root\"\n)\n\ndef Xform \"Root\"\n{\n";
    for (int p = 0; p < k_prims_per_layer; ++p) {
        text += "    def Mesh \"P" + std::to_string(p) + "\"\n    {\n";
        text += "        float3[] extent = [(-1, -1, -1), (1, 1, 1)]\n";
        if (p < k_assets_per_layer) {
            text += "        asset inputs:file = @../../" + texture(first_asset + p) + ".<UDIM>.exr@\n";
        }
        text += "    }\n";
    }
    write_file(path, text + "}\n");
}

void write_leaf_crate(const std::string& path, int first_asset)
{
    if (!g_write_files) {
        return;
    }
    std::ostringstream out;
    CrateWriter w(out, 8);
    w.owner("/", CrateWriter::PseudoRoot, {{"defaultPrim", w.token("Root")}});
    w.owner("/Root", CrateWriter::Prim, {{"specifier", w.specifier_def()}});
    for (int p = 0; p < k_prims_per_layer; ++p) {
        const std::string prim = "/Root/P" + std::to_string(p);
        w.owner(prim, CrateWriter::Prim, {{"specifier", w.specifier_def()}, {"typeName", w.token("Mesh")}});
        w.owner(prim + ".points", CrateWriter::Attribute, {{"default", w.points(8)}});
        if (p < k_assets_per_layer) {
            w.owner(prim + ".inputs:file", CrateWriter::Attribute,
                   {{"typeName", w.token("asset")},
                    {"default", w.asset("../../" + texture(first_asset + p) + ".<UDIM>.exr")}});
        }
    }
    w.finish();
    write_file(path, out.str());
}

Tree generate(const std::string& top, double big_gb)
{
    Tree tree;
    for (int f = 0; f < k_texture_folders; ++f) {
        char folder[32];
        std::snprintf(folder, sizeof folder, "tex/d%02d", f);
        stdfs::create_directories(top + "/" + folder);
        tree.texture_folders.push_back(top + "/" + folder);
    }
    for (int t = 0; t < k_texture_folders * k_textures_per_folder; ++t) {
        for (const char* tile : {".1001.exr", ".1001.tx", ".1002.exr"}) {
            write_file(top + "/" + texture(t) + tile, "");
        }
    }
    std::string root = "#usda 1.0\n(\n    subLayers = [\n";
    int asset = 0;
    for (int g = 0; g < k_layer_groups; ++g) {
        stdfs::create_directories(top + "/layers/g" + std::to_string(g));
        std::string group = "#usda 1.0\n\ndef \"Group\" (\n    prepend references = [\n";
        for (int l = 0; l < k_layers_per_group; ++l) {
            const std::string name = layer_name(g, l);
            const std::string path = top + "/layers/" + name;
            if (l % 2 == 0) {
                write_leaf_text(path, asset);
            } else {
                write_leaf_crate(path, asset);
            }
            asset += k_assets_per_layer;
            tree.layers.push_back(path);
            group += "        @./" + name.substr(name.find('/') + 1) + "@</Root>,\n";
        }
        group += "    ]\n)\n{\n}\n";
        const std::string group_path = top + "/layers/g" + std::to_string(g) + "/group.usda";
        write_file(group_path, group);
        tree.layers.push_back(group_path);
        root += "        @./layers/g" + std::to_string(g) + "/group.usda@,\n";
    }
    root += "    ]\n)\n";
    tree.root = top + "/root.usda";
    write_file(tree.root, root);
    tree.layers.push_back(tree.root);

    // The geometry layer: eight point arrays sharing the size, a texture and a sublayer.
    tree.big = top + "/big.usdc";
    if (!g_write_files) {
        return tree;
    }
    std::ofstream out(tree.big, std::ios::binary);
    CrateWriter w(out, 9);
    const auto points = static_cast<std::uint64_t>(big_gb * (1ull << 30) / 12 / 8);
    std::vector<CrateWriter::Rep> arrays;
    for (int i = 0; i < 8; ++i) {
        arrays.push_back(w.points(points));
    }
    w.owner("/", CrateWriter::PseudoRoot, {{"subLayers", w.string_vector({"./root.usda"})}});
    for (int i = 0; i < 8; ++i) {
        const std::string prim = "/Geo/M" + std::to_string(i);
        w.owner(prim, CrateWriter::Prim, {{"specifier", w.specifier_def()}});
        w.owner(prim + ".points", CrateWriter::Attribute, {{"default", arrays[i]}});
        w.owner(prim + ".tex", CrateWriter::Attribute, {{"default", w.asset("./tex/d00/t0000.<UDIM>.exr")}});
    }
    w.finish();
    return tree;
}

std::size_t list_folder(const std::string& path)
{
    DIR* dir = ::opendir(path.c_str());
    std::size_t count = 0;
    if (dir) {
        while (::readdir(dir)) {
            ++count;
        }
        ::closedir(dir);
    }
    return count;
}

// Standard output and error go to /dev/null while it lives.
class Silenced
{
public:
    Silenced()
    {
        script::console().flush();
        std::fflush(nullptr);
        m_out = ::dup(1);
        m_err = ::dup(2);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::close(null);
    }
    ~Silenced()
    {
        script::console().flush();
        std::fflush(nullptr);
        ::dup2(m_out, 1);
        ::dup2(m_err, 2);
        ::close(m_out);
        ::close(m_err);
    }

private:
    int m_out = -1, m_err = -1;
};

// Peak resident memory of reading one layer, above the child's own baseline, in KiB.
long peak_of_reading(const std::string& path)
{
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) {
        return -1;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe_fds[0]);
        // Start the high-water mark afresh at the current resident set.
        std::ofstream("/proc/self/clear_refs") << "5";
        const std::size_t baseline = status_kib("VmRSS:");
        const script::readers::UsdLayer layer = script::readers::read_usd_layer_file(path);
        const long peak = static_cast<long>(status_kib("VmHWM:")) - static_cast<long>(baseline);
        const long report = layer.error.empty() ? peak : -1;
        (void)!::write(pipe_fds[1], &report, sizeof report);
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    long peak = -1;
    (void)!::read(pipe_fds[0], &peak, sizeof peak);
    ::close(pipe_fds[0]);
    ::waitpid(child, nullptr, 0);
    return peak;
}

}  // namespace

int main(int argc, char** argv)
{
    // The executable's own heap set-up, so the figures are those of a run.
    script::platform::tune_heap_for_run();
    double big_gb = 1.0;
    int runs = 3;
    bool keep = false;
    std::string reuse;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--big-gb=", 0) == 0) {
            big_gb = std::atof(arg.c_str() + 9);
        } else if (arg.rfind("--runs=", 0) == 0) {
            runs = std::max(1, std::atoi(arg.c_str() + 7));
        } else if (arg.rfind("--reuse=", 0) == 0) {
            reuse = arg.substr(8);
        } else if (arg == "--keep") {
            keep = true;
        } else {
            std::fprintf(stderr, "usage: usd-bench [--big-gb=1] [--runs=3] [--keep] [--reuse=DIR]\n");
            return 2;
        }
    }
    char top_template[] = "/tmp/usd-bench-XXXXXX";
    const char* top_dir = reuse.empty() ? ::mkdtemp(top_template) : reuse.c_str();
    if (!top_dir) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string top = top_dir;
    g_write_files = reuse.empty();
    keep = keep || !reuse.empty();
    std::printf("generating in %s ...\n", top.c_str());
    std::fflush(stdout);
    auto start = std::chrono::steady_clock::now();
    const Tree tree = generate(top, big_gb);
    ::sync();
    std::printf("generated %zu layers, %d prims, %d asset attributes, %d textures and a %.2f GB "
                "crate layer in %.1f s\n",
                tree.layers.size(), k_layer_groups * k_layers_per_group * k_prims_per_layer,
                k_layer_groups * k_layers_per_group * k_assets_per_layer,
                k_texture_folders * k_textures_per_folder,
                static_cast<double>(stdfs::file_size(tree.big)) / (1ull << 30), seconds_since(start));

    // 1. The geometry layer against reading its bytes once.
    std::uint64_t big_bytes = 0;
    const double big_floor = best_of(runs, [&] { big_bytes = script::bench::read_bytes_once(tree.big); });
    std::size_t big_refs = 0;
    const double big_read = best_of(runs * 3, [&] {
        big_refs = script::readers::read_usd_layer_file(tree.big).refs.size();
    });

    // 2. The tree walk against its floor.
    std::uint64_t floor_bytes = 0;
    std::size_t floor_entries = 0;
    const double walk_floor = best_of(runs, [&] {
        floor_bytes = 0;
        floor_entries = 0;
        for (const std::string& layer : tree.layers) {
            floor_bytes += script::bench::read_bytes_once(layer);
        }
        for (const std::string& folder : tree.texture_folders) {
            floor_entries += list_folder(folder);
        }
    });
    std::size_t tree_refs = 0;
    const double readers_only = best_of(runs, [&] {
        tree_refs = 0;
        for (const std::string& layer : tree.layers) {
            tree_refs += script::readers::read_usd_layer_file(layer).refs.size();
        }
    });
    script::host::StandaloneHost host;
    host.load_document(nlohmann::ordered_json::object(), "scene");
    std::size_t found = 0, labels = 0;
    const double walk = best_of(runs, [&] {
        script::zel_Katana_asset collector(host, script::zel_Katana_asset::NoCollect{});
        {
            Silenced quiet;
            collector.AnaylseSeq("/scene/stage.fileName", tree.root);
        }
        found = 0;
        labels = collector.ASSET_JSON.asset.entries().size();
        for (const auto& entry : collector.ASSET_JSON.asset.entries()) {
            found += entry.second.size();
        }
    });

    // 3. Peak memory of the geometry layer.
    const long peak_kib = peak_of_reading(tree.big);

    const double big_ratio = big_read / big_floor;
    const double walk_ratio = walk / walk_floor;
    const double peak_mib = static_cast<double>(peak_kib) / 1024.0;
    std::printf("\n%-44s %12s %12s %8s %8s %s\n", "measure (best of runs)", "seconds", "floor s",
                "ratio", "target", "");
    std::printf("%-44s %12.4f %12.4f %8.4f %8.2f %s\n", "1 GB crate layer read / its bytes read once",
                big_read, big_floor, big_ratio, k_max_big_ratio, verdict(big_ratio <= k_max_big_ratio));
    std::printf("%-44s %12.3f %12.3f %8.2f %8.2f %s\n", "tree walk / layer bytes + texture listings",
                walk, walk_floor, walk_ratio, k_max_walk_ratio, verdict(walk_ratio <= k_max_walk_ratio));
    std::printf("%-44s %12.3f %12.3f %8.2f\n", "  of which reading the layers alone", readers_only,
                walk_floor, readers_only / walk_floor);
    std::printf("%-44s %12.1f %12s %8s %8.0f %s\n", "peak RSS above baseline, 1 GB layer (MiB)",
                peak_mib, "", "", k_max_peak_mib, verdict(peak_kib >= 0 && peak_mib <= k_max_peak_mib));
    std::printf("\n1 GB layer: %llu bytes, %zu files named; tree: %llu layer bytes, %zu folder entries "
                "listed, %zu files named by the layers, %zu found paths under %zu labels\n",
                static_cast<unsigned long long>(big_bytes), big_refs,
                static_cast<unsigned long long>(floor_bytes), floor_entries, tree_refs, found, labels);
    if (!keep) {
        stdfs::remove_all(top);
    } else {
        std::printf("kept %s\n", top.c_str());
    }
    return 0;
}
