// The whole run as a farm runs it: the katana-analyse executable on a scene document of a
// farm-shaped texture tree (scene load, render nodes, asset step, every job file and the
// console), at about 20k, 200k and 1M texture files, beside the floor measured in the same
// run: every involved folder listed once, plus the bytes the run wrote (job files and
// console) written once. A summary with the targets follows Google Benchmark's table.
//
//   whole-run-bench [--sizes=20k,200k,1m] [--analyser=PATH] [--keep-trees] [benchmark flags]
//
// --keep-trees leaves the generated trees in place and prints where they are, so a single
// run can be repeated by hand (under a profiler, say).

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/best_run_reporter.h"
#include "bench/run_tree.h"
#include "bench/size_choice.h"
#include "bench/tree_files.h"
#include "common/errors.h"

extern char** environ;

namespace script::bench {

namespace {

struct Size
{
    std::string_view name;
    std::size_t files;
    int runs;
};

constexpr Size k_sizes[] = {
    {"20k", 20'000, 5},
    {"200k", 200'000, 5},
    {"1m", 1'000'000, 3},
};

// Targets of the whole run.
constexpr double k_max_floor_ratio = 2.0;       // at 200k files
constexpr double k_max_per_file_growth = 1.25;  // time per file at 1M over that at 20k
constexpr double k_max_peak_mib = 150.0;        // at 200k files

constexpr std::string_view k_run_prefix = "whole_run/";
constexpr std::string_view k_flag_name = "analyze_sucess";

std::uint64_t file_bytes(const std::string& path)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

// Trees live for the whole benchmark; each is made on first use.
class Trees
{
public:
    ~Trees()
    {
        for (auto& [name, tree] : m_trees) {
            if (keep)
                std::printf("kept the %s tree: %s\n", name.c_str(), tree->root.c_str());
            else
                remove_run_tree(*tree);
        }
    }

    bool keep = false;

    const RunTree& tree(const Size& size)
    {
        auto& slot = m_trees[std::string(size.name)];
        if (!slot) {
            const auto start = std::chrono::steady_clock::now();
            slot = std::make_unique<RunTree>(generate_run_tree(size.files));
            m_generate_seconds[std::string(size.name)] = seconds_since(start);
            // A million new files are still being written back; let that finish first.
            ::sync();
        }
        return *slot;
    }

    const RunTree* find(std::string_view name) const
    {
        const auto it = m_trees.find(std::string(name));
        return it == m_trees.end() ? nullptr : it->second.get();
    }

    double generate_seconds(std::string_view name) const
    {
        const auto it = m_generate_seconds.find(std::string(name));
        return it == m_generate_seconds.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, std::unique_ptr<RunTree>> m_trees;
    std::map<std::string, double> m_generate_seconds;
};

Trees& trees()
{
    static Trees instance;
    return instance;
}

std::string& analyser_path()
{
    static std::string path;
    return path;
}

struct ChildRun
{
    double seconds = 0;
    double peak_mib = 0;
    std::uint64_t bytes_written = 0; ///< job files and console
};

// Empties the job folder and lays the farm's task.json in it.
void reset_job(const RunTree& tree, const std::string& job)
{
    remove_tree(job);
    make_dir(job);
    std::filesystem::copy_file(tree.task_template, job + "/task.json");
}

// One run of the executable, its console written to a file beside the job folder.
ChildRun run_analyser(const RunTree& tree, const std::string& job)
{
    const std::string console = job + ".console";
    std::vector<std::string> args = {analyser_path(), tree.scene_document, job + "/task.json",
                                     job + "/system.json"};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    // The farm's environment: script mode, nothing skipped.
    std::vector<std::string> env_texts;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry = *e;
        if (entry.starts_with("KATANA_") || entry.starts_with("katana_ignore_assets="))
            continue;
        env_texts.emplace_back(entry);
    }
    env_texts.emplace_back("KATANA_SCRIPT_MODE=1");
    std::vector<char*> envp;
    for (std::string& text : env_texts)
        envp.push_back(text.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);

    ChildRun run;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, analyser_path().c_str(), &actions, nullptr, argv.data(),
                                      envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw Error("cannot start " + analyser_path() + ": " + std::strerror(spawned));
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR)
            throw Error("cannot wait for the analyser: " + std::string(std::strerror(errno)));
    }
    run.seconds = seconds_since(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw Error("the analyser failed (status " + std::to_string(status) + "); see " + console);
    if (!std::filesystem::exists(job + "/" + std::string(k_flag_name)))
        throw Error("the analyser left no finish flag in " + job);
    run.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
    run.bytes_written = file_bytes(console);
    for (const auto& entry : std::filesystem::directory_iterator(job))
        if (entry.path().filename() != "task.json")
            run.bytes_written += file_bytes(entry.path().string());
    // task.json is rewritten whole with the render record.
    run.bytes_written += file_bytes(job + "/task.json");
    return run;
}

// The floor: every involved folder listed once, then as many bytes as the run wrote,
// written once in large blocks to a file of the same folder.
double run_floor(const RunTree& tree, const std::string& job, std::uint64_t bytes)
{
    const auto start = std::chrono::steady_clock::now();
    std::size_t entries = 0;
    for (const std::string& folder : tree.folders) {
        if (DIR* dir = ::opendir(folder.c_str())) {
            while (::readdir(dir))
                ++entries;
            ::closedir(dir);
        }
    }
    benchmark::DoNotOptimize(entries);
    const std::string target = job + ".floor";
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        throw Error("cannot write " + target);
    static const std::vector<char> block(1 << 20, 'x');
    for (std::uint64_t left = bytes; left > 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
        if (::write(fd, block.data(), n) != static_cast<ssize_t>(n)) {
            ::close(fd);
            throw Error("cannot write " + target);
        }
        left -= n;
    }
    ::close(fd);
    const double seconds = seconds_since(start);
    ::unlink(target.c_str());
    return seconds;
}

void whole_run(benchmark::State& state, const Size& size)
{
    try {
        const RunTree& tree = trees().tree(size);
        const std::string job = tree.root + "/job";
        ChildRun run;
        double floor_seconds = 0;
        for (auto _ : state) {
            reset_job(tree, job);
            // Every run starts with the job files of the run before written back.
            ::sync();
            run = run_analyser(tree, job);
            state.SetIterationTime(run.seconds);
            // Right after the run, on the same state of the machine's caches.
            floor_seconds = run_floor(tree, job, run.bytes_written);
        }
        state.counters["files"] = static_cast<double>(tree.files);
        state.counters["refs"] = static_cast<double>(tree.references);
        state.counters["floor_ms"] = floor_seconds * 1000.0;
        state.counters["peak_MB"] = run.peak_mib;
        state.counters["written_MB"] = static_cast<double>(run.bytes_written) / (1024.0 * 1024.0);
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
    }
}

double counter(const BestRunReporter::Figures* figures, const char* name)
{
    return figures && figures->counters.count(name) ? figures->counters.at(name) : 0.0;
}

// Microseconds per texture file of a size's best run.
double per_file_us(const BestRunReporter::Figures* figures)
{
    const double files = counter(figures, "files");
    return figures && files > 0 ? figures->milliseconds * 1000.0 / files : 0.0;
}

void print_summary(const std::vector<const Size*>& sizes, const BestRunReporter& reporter)
{
    std::printf("\nWhole run of katana-analyse (best of several runs each)\n");
    std::printf("%-5s %9s %9s %10s %10s %7s %10s %9s %10s %8s\n", "size", "files", "refs",
                "run ms", "floor ms", "ratio", "us/file", "peak MB", "written MB", "tree s");
    for (const Size* size : sizes) {
        const auto* run = reporter.find(k_run_prefix, size->name);
        const double floor_ms = counter(run, "floor_ms");
        std::printf("%-5s %9.0f %9.0f %10.1f %10.1f %7.2f %10.2f %9.1f %10.1f %8.1f\n",
                    std::string(size->name).c_str(), counter(run, "files"), counter(run, "refs"),
                    run ? run->milliseconds : 0.0, floor_ms,
                    run && floor_ms > 0 ? run->milliseconds / floor_ms : 0.0, per_file_us(run),
                    counter(run, "peak_MB"), counter(run, "written_MB"),
                    trees().generate_seconds(size->name));
    }
    std::printf("(floor = every involved folder listed once + the run's bytes written once, measured "
                "right after each run, best of those; peak = the process's peak resident memory; "
                "tree s = creating the texture tree, not timed)\n\n");

    const auto* at_20k = reporter.find(k_run_prefix, "20k");
    const auto* at_200k = reporter.find(k_run_prefix, "200k");
    const auto* at_1m = reporter.find(k_run_prefix, "1m");
    if (at_200k && counter(at_200k, "floor_ms") > 0) {
        const double ratio = at_200k->milliseconds / counter(at_200k, "floor_ms");
        std::printf("run/floor at 200k:          %7.2fx  target <= %.2fx  %s\n", ratio,
                    k_max_floor_ratio, verdict(ratio <= k_max_floor_ratio));
    } else {
        std::printf("run/floor at 200k:          n/a (needs the 200k size)\n");
    }
    if (at_20k && at_1m && per_file_us(at_20k) > 0) {
        const double growth = per_file_us(at_1m) / per_file_us(at_20k);
        std::printf("per file, 1M over 20k:      %7.2fx  target <= %.2fx  %s\n", growth,
                    k_max_per_file_growth, verdict(growth <= k_max_per_file_growth));
    } else {
        std::printf("per file, 1M over 20k:      n/a (needs both sizes)\n");
    }
    if (at_200k) {
        const double peak = counter(at_200k, "peak_MB");
        std::printf("peak memory at 200k:        %7.1f MB  target <= %.0f MB  %s\n", peak,
                    k_max_peak_mib, verdict(peak <= k_max_peak_mib));
    } else {
        std::printf("peak memory at 200k:        n/a (needs the 200k size)\n");
    }
}

// Our own flags out of argv, leaving the benchmark library's.
std::vector<const Size*> take_options(int& argc, char** argv)
{
    std::string wanted = "20k,200k,1m";
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.starts_with("--sizes="))
            wanted = std::string(arg.substr(8));
        else if (arg.starts_with("--analyser="))
            analyser_path() = std::string(arg.substr(11));
        else if (arg == "--keep-trees")
            trees().keep = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    return chosen_sizes(k_sizes, wanted);
}

int run(int argc, char** argv)
{
    const std::vector<const Size*> sizes = take_options(argc, argv);
    if (analyser_path().empty()) {
        // The build puts the benchmarks in bench/ and the executable in bin/.
        char self[PATH_MAX];
        const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        const std::filesystem::path program(n > 0 ? std::string(self, static_cast<std::size_t>(n)) : argv[0]);
        analyser_path() = (program.parent_path().parent_path() / "bin" / "katana-analyse").string();
    }
    if (::access(analyser_path().c_str(), X_OK) != 0) {
        std::fprintf(stderr, "whole-run-bench: no executable analyser at %s (use --analyser=PATH)\n",
                     analyser_path().c_str());
        return 2;
    }
    for (const Size* size : sizes) {
        benchmark::RegisterBenchmark((std::string(k_run_prefix) + std::string(size->name)).c_str(),
                                     whole_run, *size)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Iterations(1)
            ->Repetitions(size->runs)
            ->ComputeStatistics("min", best_of)
            ->DisplayAggregatesOnly(true);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    BestRunReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_summary(sizes, reporter);
    benchmark::Shutdown();
    std::fflush(stdout);
    return 0;
}

} // namespace

} // namespace script::bench

int main(int argc, char** argv)
{
    try {
        return script::bench::run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "whole-run-bench: %s\n", error.what());
        return 1;
    }
}
