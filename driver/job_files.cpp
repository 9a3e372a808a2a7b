#include "driver/job_files.h"

#include <filesystem>

#include "common/console.h"
#include "common/errors.h"
#include "common/fs.h"
#include "common/json_doc.h"
#include "common/platform.h"
#include "common/pypath.h"
#include "common/pyutil.h"
#include "driver/job_paths.h"
#include "driver/process_exit.h"

namespace script {

namespace {

constexpr std::string_view k_task_json_name = "task.json";
constexpr int k_clear_failed_status = 555;

// The job's system.json is spared only when it is this very entry of the job folder.
bool is_job_system_json(const std::string& entry_path)
{
    const std::string& system_json = job_paths().system_json;
    if (system_json.empty()) {
        return false;
    }
    std::error_code ec;
    const bool same = std::filesystem::equivalent(entry_path, system_json, ec);
    return !ec && same;
}

} // namespace

Json zel_Katana::open_json(const std::string& info_file) const
{
    return parse_json_text(read_file(info_file));
}

void zel_Katana::write_json_info(const std::string& json_file, const std::string& key,
                                 const Json& dict) const
{
    Json members = Json::object();
    members[key] = dict;
    write_json_members(json_file, std::move(members));
}

void zel_Katana::write_json_members(const std::string& json_file, Json members) const
{
    const std::string file_dir = pypath::dirname(json_file);
    print_line("write info to " + json_file);
    if (!file_dir.empty() && !fs::exists(file_dir)) {
        fs::make_dirs(file_dir);
    }
    if (!fs::exists(json_file)) {
        write_file_atomic(json_file, "{}");
    }
    // A job file that cannot be merged stays as it is: the step that writes goes on.
    try {
        Json document = open_json(json_file);
        if (!document.is_object()) {
            throw Error(json_file + ": the job file does not hold a JSON object");
        }
        for (auto it = members.begin(); it != members.end(); ++it)
            document[it.key()] = std::move(it.value());
        write_file_atomic(json_file, dump_job_document(document));
    } catch (const std::exception& e) {
        print_line(e.what());
    }
}

void clearJson()
{
    const std::string& json_path = job_paths().json_path;
    for (const fs::DirEntry& entry : fs::list_dir(json_path)) {
        if (entry.name == k_task_json_name) {
            continue;
        }
        std::string file_path = json_path + "/" + entry.name;
        if (platform::is_windows()) {
            file_path = replace_all(file_path, "/", "\\");
        }
        if (is_job_system_json(file_path)) {
            continue;
        }
        platform::remove_entry(file_path);
        if (fs::lexists(file_path)) {
            print_line(k_bang_line);
            print_line("can`t delete " + file_path);
            end_process(k_clear_failed_status);
        }
    }
}

} // namespace script
