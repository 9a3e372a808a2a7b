#pragma once

#include <string>
#include <string_view>

namespace script {

/// The empty finish flag in the job folder; its presence tells the farm the run completed.
inline constexpr std::string_view k_finish_flag_name = "analyze_sucess";

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

/// Paths of a run started as a program: tips.json beside the last "/" or "\\" of
/// `task_json`, the job folder by the platform's directory-name rule, separators kept as
/// given. Throws script::Error when `task_json` holds no separator.
JobPaths command_line_job_paths(const std::string& scene, const std::string& task_json,
                                const std::string& system_json);

/// Paths of a run through the callable entry: the job folder is `task` (on Windows a
/// folder name under "C:/RovevoDodi/Project/") and every job file lies directly in it.
JobPaths callable_job_paths(const std::string& scene, const std::string& task);

/// The finish flag: the folder of `task_json` joined with "analyze_sucess".
std::string finish_flag_path(const std::string& task_json);

}  // namespace script
