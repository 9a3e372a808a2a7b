#include "bench/peak_memory.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>
#include <vector>

#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "assets/asset_collector.h"
#include "bench/asset_step.h"
#include "bench/tree_files.h"
#include "common/platform.h"
#include "host/standalone_host.h"

extern char** environ;

namespace script::bench {

std::size_t peak_rss_kib()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return static_cast<std::size_t>(std::strtoull(line.c_str() + 6, nullptr, 10));
    }
    return 0;
}

PeakMemory measure_peak_memory(const std::string& program, const std::string& scene_document,
                               const std::string& job_folder)
{
    PeakMemory result;
    const std::string report = job_folder + ".peak";
    std::remove(report.c_str());
    // A fresh program image: a forked copy would carry this process's pages along.
    std::vector<std::string> args = {program, k_child_flag, scene_document, job_folder, report};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    std::fflush(stdout);
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        result.error = "cannot start " + program;
        return result;
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        result.error = "the measuring child failed (status " + std::to_string(status) + ")";
        return result;
    }
    std::ifstream in(report);
    if (!(in >> result.loaded_kib >> result.peak_kib >> result.recorded >> result.seconds >>
          result.walk_seconds >> result.walk_heap_kib)) {
        result.error = "the measuring child left no report";
        return result;
    }
    result.ok = true;
    return result;
}

int peak_memory_child(int argc, char** argv)
{
    if (argc < 5)
        return 2;
    try {
        platform::set_program_path(argv[0]);
        const std::string scene_document = argv[2];
        const JobFolder job(argv[3], scene_document);
        job.reset();
        host::StandaloneHost host;
        host.load_document_file(scene_document);
        const std::size_t loaded = peak_rss_kib();
        const auto start = std::chrono::steady_clock::now();
        const AssetRun run = run_asset_step(host);
        const double took = seconds_since(start);
        const std::size_t peak = peak_rss_kib();

        // The walk alone, after the measured run so that its peak stays the full step's.
        job.reset();
        const std::size_t heap_before = ::mallinfo2().uordblks;
        double walk_seconds = 0;
        std::size_t walk_heap = 0;
        {
            const SilencedOutput silence;
            zel_Katana_asset walk(host, zel_Katana_asset::NoCollect{});
            const auto walk_start = std::chrono::steady_clock::now();
            walk.getAsset();
            walk_seconds = seconds_since(walk_start);
            walk_heap = ::mallinfo2().uordblks - heap_before;
        }

        std::ofstream out(argv[4]);
        out << loaded << ' ' << peak << ' ' << run.recorded << ' ' << took << ' ' << walk_seconds
            << ' ' << walk_heap / 1024 << '\n';
        return out.flush() ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "peak memory child: %s\n", error.what());
        return 1;
    }
}

} // namespace script::bench
