#pragma once

#include <string>

namespace script {

/// The process-wide job paths, formed once by the entry and read by every step. This is
/// the one piece of shared state of a run.
struct JobPaths
{
    std::string katana_scene; ///< the scene file to analyse
    std::string task_json;    ///< the job's task.json
    std::string system_json;  ///< the job's system.json (printed only)
    std::string tips_json;    ///< the diagnostics file tips.json
    std::string json_path;    ///< the job folder
    std::string upload_json;  ///< the upload list upload.json
};

/// The job paths of this run.
JobPaths& job_paths();

}  // namespace script
