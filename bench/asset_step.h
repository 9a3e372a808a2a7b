#pragma once

// Runs the whole asset step of the analyser on a loaded host, as the driver does, with the
// job paths pointing at a job folder of its own and the console going nowhere.

#include <cstddef>
#include <string>

#include "host/host.h"

namespace script::bench {

/// A job folder for repeated runs of the asset step.
class JobFolder
{
public:
    /// Creates `path` and points the process-wide job paths at it, with `scene_document`
    /// as the scene. Throws script::Error when the folder cannot be created.
    JobFolder(std::string path, std::string scene_document);

    /// Empties the folder and writes a fresh task.json and tips.json ("{}"), so every run
    /// starts from the job the farm hands over.
    void reset() const;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    std::string m_scene_document;
};

/// What one run of the asset step recorded.
struct AssetRun
{
    std::size_t recorded = 0; ///< entries of the found and missing lists together
    std::size_t missing = 0;  ///< entries of the missing lists
    std::size_t labels = 0;   ///< source labels with found files
};

/// Runs zel_Katana_asset on the host with standard output and error sent to /dev/null
/// (the run still formats and writes every line). Errors of the step propagate.
AssetRun run_asset_step(const host::Host& host);

/// Sends standard output and error to /dev/null while it lives; what the console or the C
/// streams buffered before is written out first.
class SilencedOutput
{
public:
    SilencedOutput();
    ~SilencedOutput();
    SilencedOutput(const SilencedOutput&) = delete;
    SilencedOutput& operator=(const SilencedOutput&) = delete;

private:
    int m_saved_out = -1;
    int m_saved_err = -1;
};

} // namespace script::bench
