#include "driver/job_paths.h"

#include <string_view>

#include "common/errors.h"
#include "common/platform.h"
#include "common/pypath.h"

namespace script {

namespace {

constexpr std::string_view k_windows_project_root = "C:/RovevoDodi/Project/";

// Everything before the last "/" or "\" of the path, as the greedy "(.*)[\\/]" captures it.
std::string before_last_separator(const std::string& path)
{
    const std::size_t pos = path.find_last_of("/\\");
    if (pos == std::string::npos) {
        throw Error("the task.json path \"" + path + "\" names no folder");
    }
    return path.substr(0, pos);
}

} // namespace

JobPaths& job_paths()
{
    static JobPaths paths;
    return paths;
}

JobPaths command_line_job_paths(const std::string& scene, const std::string& task_json,
                                const std::string& system_json)
{
    JobPaths paths;
    paths.katana_scene = scene;
    paths.task_json = task_json;
    paths.system_json = system_json;
    paths.tips_json = before_last_separator(task_json) + "/tips.json";
    paths.json_path = pypath::dirname(task_json);
    paths.upload_json = paths.json_path + "/upload.json";
    return paths;
}

JobPaths callable_job_paths(const std::string& scene, const std::string& task)
{
    JobPaths paths;
    paths.katana_scene = scene;
    paths.json_path = platform::is_windows() ? std::string(k_windows_project_root) + task : task;
    paths.task_json = paths.json_path + "/task.json";
    paths.system_json = paths.json_path + "/system.json";
    paths.tips_json = paths.json_path + "/tips.json";
    paths.upload_json = paths.json_path + "/upload.json";
    return paths;
}

std::string finish_flag_path(const std::string& task_json)
{
    return pypath::join(pypath::dirname(task_json), k_finish_flag_name);
}

} // namespace script
