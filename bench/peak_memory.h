#pragma once

// Peak resident memory of one asset-step run, measured in a child process of its own so
// that neither the benchmark's other sizes nor the generator's data count.

#include <cstddef>
#include <string>

namespace script::bench {

/// The argument that turns the benchmark program into the measuring child.
inline constexpr const char* k_child_flag = "--peak-memory-child";

/// Peak resident set (VmHWM) of this process in KiB; 0 when the system does not say.
std::size_t peak_rss_kib();

struct PeakMemory
{
    bool ok = false;
    std::string error;          ///< why the child failed, when it did
    std::size_t loaded_kib = 0; ///< peak after loading the scene document
    std::size_t peak_kib = 0;   ///< peak after the asset step
    std::size_t recorded = 0;   ///< entries of the asset record
    double seconds = 0;         ///< the asset step alone
    /// A second, walk-only run (getAsset without the reports and job files that follow).
    double walk_seconds = 0;
    std::size_t walk_heap_kib = 0; ///< heap the collector holds once its walk is done
};

/// Runs `program` (this benchmark) as a child that loads `scene_document`, runs the asset
/// step with `job_folder` as the job and reports its peak memory, then times a walk-only
/// run to tell the walk from the reports.
PeakMemory measure_peak_memory(const std::string& program, const std::string& scene_document,
                               const std::string& job_folder);

/// The child's side: argv holds k_child_flag, the scene document, the job folder and the
/// report file. Returns the exit status.
int peak_memory_child(int argc, char** argv);

} // namespace script::bench
