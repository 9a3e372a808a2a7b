// The asset step at production scale: the whole collection (walk, expansion, job files)
// over generated texture trees of about 2k, 20k and 200k recorded paths, beside the
// file-system floor of the same trees and the peak memory of each run. A summary with the
// targets follows Google Benchmark's own table.
//
//   asset-bench [--sizes=2k,20k,200k] [--skip-peak-memory] [benchmark flags]

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include "bench/asset_step.h"
#include "bench/best_run_reporter.h"
#include "bench/fs_floor.h"
#include "bench/peak_memory.h"
#include "bench/scene_generator.h"
#include "bench/size_choice.h"
#include "bench/tree_files.h"
#include "common/platform.h"
#include "host/standalone_host.h"

namespace script::bench {

namespace {

struct Size
{
    std::string_view name;
    std::size_t target_recorded;
    int asset_runs;
    int floor_runs;
};

// Runs of each measurement; the best run counts, which keeps the comparison of sizes and
// of step and floor clear of noise from the rest of the machine.
constexpr Size k_sizes[] = {
    {"2k", 2'000, 10, 20},
    {"20k", 20'000, 10, 10},
    {"200k", 200'000, 10, 10},
};

// Targets of the asset step at 200k recorded paths.
constexpr double k_max_growth = 12.0;     // time at 200k over time at 20k
constexpr double k_max_floor_ratio = 2.0; // time of the step over the floor's
constexpr double k_max_peak_mib = 300.0;

constexpr std::string_view k_asset_prefix = "asset_step/";
constexpr std::string_view k_floor_prefix = "fs_floor/";

// Generated scenes live for the whole run; the host holds one size at a time.
class Scenes
{
public:
    ~Scenes()
    {
        for (auto& [name, scene] : m_scenes)
            remove_scene(*scene);
    }

    const GeneratedScene& scene(const Size& size)
    {
        auto& slot = m_scenes[std::string(size.name)];
        if (!slot) {
            const auto start = std::chrono::steady_clock::now();
            slot = std::make_unique<GeneratedScene>(generate_scene(size.target_recorded));
            m_generate_seconds[std::string(size.name)] = seconds_since(start);
            // The generator leaves a hundred thousand new files to write back; flush them
            // now so that neither the step nor the floor is timed against that writeback.
            ::sync();
        }
        return *slot;
    }

    const host::StandaloneHost& host(const Size& size)
    {
        if (m_host_size != size.name) {
            m_host.reset();
            const GeneratedScene& generated = scene(size);
            const auto start = std::chrono::steady_clock::now();
            auto host = std::make_unique<host::StandaloneHost>();
            host->load_document_file(generated.scene_document);
            m_load_seconds[std::string(size.name)] = seconds_since(start);
            m_host = std::move(host);
            m_host_size = size.name;
        }
        return *m_host;
    }

    void release_host()
    {
        m_host.reset();
        m_host_size = {};
    }

    const GeneratedScene* find(std::string_view name) const
    {
        const auto it = m_scenes.find(std::string(name));
        return it == m_scenes.end() ? nullptr : it->second.get();
    }
    std::optional<double> generate_seconds(std::string_view name) const
    {
        return lookup(m_generate_seconds, name);
    }
    std::optional<double> load_seconds(std::string_view name) const
    {
        return lookup(m_load_seconds, name);
    }

private:
    static std::optional<double> lookup(const std::map<std::string, double>& map,
                                        std::string_view name)
    {
        const auto it = map.find(std::string(name));
        return it == map.end() ? std::nullopt : std::optional<double>(it->second);
    }

    std::map<std::string, std::unique_ptr<GeneratedScene>> m_scenes;
    std::map<std::string, double> m_generate_seconds;
    std::map<std::string, double> m_load_seconds;
    std::unique_ptr<host::StandaloneHost> m_host;
    std::string_view m_host_size;
};

Scenes& scenes()
{
    static Scenes instance;
    return instance;
}

void set_scene_counters(benchmark::State& state, const GeneratedScene& scene)
{
    state.counters["files"] = static_cast<double>(scene.files);
    state.counters["folders"] = static_cast<double>(scene.folders.size());
    state.counters["refs"] = static_cast<double>(scene.references);
}

void asset_step(benchmark::State& state, const Size& size)
{
    try {
        const GeneratedScene& scene = scenes().scene(size);
        const host::StandaloneHost& host = scenes().host(size);
        const JobFolder job(scene.root + "/job", scene.scene_document);
        AssetRun run;
        double paired_floor_ms = 0;
        for (auto _ : state) {
            state.PauseTiming();
            job.reset();
            // Each run writes tens of megabytes of job files; start every run with those of
            // the run before written back, as a run on the farm starts.
            ::sync();
            state.ResumeTiming();
            run = run_asset_step(host);
            state.PauseTiming();
            // The floor right after the step sees the same state of the machine's caches
            // (warmed by the step, so the comparison is, if anything, against the step).
            const auto start = std::chrono::steady_clock::now();
            benchmark::DoNotOptimize(run_floor(scene));
            paired_floor_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            state.ResumeTiming();
        }
        state.counters["paired_floor_ms"] = paired_floor_ms;
        set_scene_counters(state, scene);
        state.counters["recorded"] = static_cast<double>(run.recorded);
        state.counters["expected"] = static_cast<double>(scene.expected_recorded);
        state.counters["missing"] = static_cast<double>(run.missing);
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
    }
}

void fs_floor(benchmark::State& state, const Size& size)
{
    try {
        const GeneratedScene& scene = scenes().scene(size);
        FloorCount count;
        for (auto _ : state) {
            count = run_floor(scene);
            benchmark::DoNotOptimize(count);
        }
        set_scene_counters(state, scene);
        state.counters["listed"] = static_cast<double>(count.entries);
        state.counters["stats"] = static_cast<double>(count.checked);
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
    }
}

struct Options
{
    std::vector<const Size*> sizes;
    bool peak_memory = true;
};

// Takes our own flags out of argv, leaving the benchmark library's.
Options take_options(int& argc, char** argv)
{
    Options options;
    std::string wanted = "2k,20k,200k";
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.rfind("--sizes=", 0) == 0)
            wanted = std::string(arg.substr(8));
        else if (arg == "--skip-peak-memory")
            options.peak_memory = false;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    options.sizes = chosen_sizes(k_sizes, wanted);
    return options;
}

std::string program_file(const char* argv0)
{
    char resolved[PATH_MAX];
    if (::realpath("/proc/self/exe", resolved))
        return resolved;
    return argv0;
}

void print_summary(const Options& options, const BestRunReporter& reporter,
                   const std::map<std::string_view, PeakMemory>& peaks)
{
    std::printf("\nAsset step at production scale (wall time per run)\n");
    std::printf("%-6s %9s %9s %8s %7s %11s %10s %8s %9s %9s %8s\n", "size", "recorded", "expected",
                "files", "folders", "asset ms", "floor ms", "ratio", "peak MB", "load MB",
                "load s");
    for (const Size* size : options.sizes) {
        const auto* asset = reporter.find(k_asset_prefix, size->name);
        const GeneratedScene* scene = scenes().find(size->name);
        const auto peak = peaks.find(size->name);
        const bool have_peak = peak != peaks.end() && peak->second.ok;
        auto counter = [&](const char* name) {
            return asset && asset->counters.count(name) ? asset->counters.at(name) : 0.0;
        };
        const double floor_ms = counter("paired_floor_ms");
        std::printf("%-6s %9.0f %9zu %8zu %7zu %11.2f %10.2f %8.2f %9.1f %9.1f %8.2f\n",
                    std::string(size->name).c_str(), counter("recorded"),
                    scene ? scene->expected_recorded : 0, scene ? scene->files : 0,
                    scene ? scene->folders.size() : 0, asset ? asset->milliseconds : 0.0,
                    floor_ms, asset && floor_ms > 0 ? asset->milliseconds / floor_ms : 0.0,
                    have_peak ? peak->second.peak_kib / 1024.0 : 0.0,
                    have_peak ? peak->second.loaded_kib / 1024.0 : 0.0,
                    scenes().load_seconds(size->name).value_or(0.0));
        if (peak != peaks.end() && !peak->second.ok)
            std::printf("       peak memory: %s\n", peak->second.error.c_str());
    }
    std::printf("(best of several runs; floor = the file-system floor measured right after each step run, best of those; ratio = asset/floor; load = reading the scene document into the host, not "
                "part of the timed step; peak MB includes it)\n");

    if (!peaks.empty()) {
        std::printf("\nWhere the step goes (measuring child: one full run, then the walk alone)\n");
        std::printf("%-6s %10s %10s %12s %12s %14s\n", "size", "step ms", "walk ms", "reports ms",
                    "walk heap MB", "step+load MB");
        for (const Size* size : options.sizes) {
            const auto found = peaks.find(size->name);
            if (found == peaks.end() || !found->second.ok)
                continue;
            const PeakMemory& peak = found->second;
            std::printf("%-6s %10.1f %10.1f %12.1f %12.1f %14.1f\n",
                        std::string(size->name).c_str(), peak.seconds * 1000,
                        peak.walk_seconds * 1000, (peak.seconds - peak.walk_seconds) * 1000,
                        peak.walk_heap_kib / 1024.0, peak.peak_kib / 1024.0);
        }
        std::printf("(walk = getAsset: rule matches, location walk, expansion, scene.json; "
                    "reports = asset.json, tips.json and upload.json from the record; walk heap = "
                    "what the collector holds after its walk)\n");
    }
    std::printf("\n");

    const auto* asset_20k = reporter.find(k_asset_prefix, "20k");
    const auto* asset_200k = reporter.find(k_asset_prefix, "200k");
    // The floor measured beside a size's step runs (best of them); 0 when it was not run.
    const auto paired_floor = [](const auto* result) {
        return result && result->counters.count("paired_floor_ms") ? result->counters.at("paired_floor_ms")
                                                                   : 0.0;
    };
    const double floor_200k = paired_floor(asset_200k);
    if (asset_20k && asset_200k && asset_20k->milliseconds > 0) {
        const double growth = asset_200k->milliseconds / asset_20k->milliseconds;
        const double data =
            asset_20k->counters.count("recorded") && asset_20k->counters.at("recorded") > 0
                ? asset_200k->counters.at("recorded") / asset_20k->counters.at("recorded")
                : 0.0;
        std::printf("growth 20k -> 200k:      %7.2fx (recorded paths x%.2f)  target <= %.0fx  %s\n",
                    growth, data, k_max_growth, verdict(growth <= k_max_growth));
        // The file system's own growth over the same trees, for reading the figure above:
        // part of the step's growth is that of the listings it makes.
        const double floor_20k = paired_floor(asset_20k);
        if (floor_20k > 0 && floor_200k > 0)
            std::printf("  (the floor itself grew %.2fx in the same run)\n", floor_200k / floor_20k);
    } else {
        std::printf("growth 20k -> 200k:      n/a (needs both sizes)\n");
    }
    if (asset_200k && floor_200k > 0) {
        const double ratio = asset_200k->milliseconds / floor_200k;
        std::printf("asset/floor at 200k:     %7.2fx  target <= %.0fx  %s\n", ratio,
                    k_max_floor_ratio, verdict(ratio <= k_max_floor_ratio));
    } else {
        std::printf("asset/floor at 200k:     n/a (needs the 200k size)\n");
    }
    const auto peak = peaks.find("200k");
    if (peak != peaks.end() && peak->second.ok) {
        const double mib = peak->second.peak_kib / 1024.0;
        std::printf("peak RSS at 200k:        %7.1f MB  target <= %.0f MB  %s\n", mib,
                    k_max_peak_mib, verdict(mib <= k_max_peak_mib));
    } else {
        std::printf("peak RSS at 200k:        n/a\n");
    }
}

int run(int argc, char** argv)
{
    const std::string program = program_file(argv[0]);
    // The rule file is looked for beside the program; the build copies it there.
    platform::set_program_path(program);
    // Always the full collection in script mode, whatever the calling shell has set.
    for (const char* name : {"katana_ignore_assets", "KATANA_UI_MODE", "KATANA_BATCH_MODE",
                             "KATANA_SHELL_MODE", "KATANA_SCRIPT_MODE"}) {
        platform::unset_env(name);
    }
    if (argc > 1 && std::string_view(argv[1]) == k_child_flag)
        return peak_memory_child(argc, argv);

    const Options options = take_options(argc, argv);
    for (const Size* size : options.sizes) {
        const std::string name(size->name);
        benchmark::RegisterBenchmark((std::string(k_asset_prefix) + name).c_str(), asset_step,
                                     *size)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(1)
            ->Repetitions(size->asset_runs)
            ->ComputeStatistics("min", best_of)
            ->DisplayAggregatesOnly(true);
        benchmark::RegisterBenchmark((std::string(k_floor_prefix) + name).c_str(), fs_floor, *size)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(1)
            ->Repetitions(size->floor_runs)
            ->ComputeStatistics("min", best_of)
            ->DisplayAggregatesOnly(true);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    BestRunReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    scenes().release_host();

    std::map<std::string_view, PeakMemory> peaks;
    if (options.peak_memory) {
        for (const Size* size : options.sizes) {
            const GeneratedScene* scene = scenes().find(size->name);
            if (scene)
                peaks[size->name] =
                    measure_peak_memory(program, scene->scene_document, scene->root + "/job-peak");
        }
    }
    print_summary(options, reporter, peaks);
    benchmark::Shutdown();
    std::fflush(stdout);
    return 0;
}

} // namespace

} // namespace script::bench

int main(int argc, char** argv)
{
    // The executable's own heap set-up, so the figures are those of a run.
    script::platform::tune_heap_for_run();
    try {
        return script::bench::run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "asset-bench: %s\n", error.what());
        return 1;
    }
}
