// Job-file text through the job-file reader and writer: any text either fails to parse as
// script::Error or is written back in job-file form that reads back as the same value.
// The merge-write then runs on the text as a job file in a private temporary folder: a
// file holding a JSON object gains the member, any other file is left exactly as it was.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "common/console.h"
#include "common/errors.h"
#include "common/json_doc.h"
#include "driver/job_files.h"

namespace {

// A folder of its own for the one job file the target rewrites, removed at exit.
class JobFolder
{
public:
    JobFolder()
    {
        // A memory-backed folder where there is one: renames over files on a disk file system
        // can wait for the disk, which slows the target a hundredfold.
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / "job-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        m_path = pattern;
    }
    ~JobFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    std::string file(std::string_view name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

std::string read_all(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const JobFolder folder;
    script::console().begin_capture();
    const std::string text(reinterpret_cast<const char*>(data), size);

    bool is_object = false;
    try {
        const script::Json value = script::parse_json_text(text);
        is_object = value.is_object();
        if (script::parse_json_text(script::dump_job_document(value)) != value) {
            __builtin_trap();
        }
    } catch (const script::Error&) {
    }

    const std::string task_json = folder.file("task.json");
    {
        std::ofstream out(task_json, std::ios::binary | std::ios::trunc);
        out << text;
    }
    script::zel_Katana().write_json_info(task_json, "scene_info",
                                         script::Json{{"nodes", script::Json::array({"Render"})}});
    const std::string after = read_all(task_json);
    if (is_object) {
        const script::Json merged = script::parse_json_text(after);
        if (!merged.is_object() || !merged.contains("scene_info")) {
            __builtin_trap();
        }
    } else if (after != text) {
        __builtin_trap();
    }
    script::console().end_capture();
    return 0;
}
