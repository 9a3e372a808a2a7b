#include "bench/asset_step.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "assets/asset_collector.h"
#include "bench/tree_files.h"
#include "common/console.h"
#include "common/errors.h"
#include "driver/job_paths.h"

namespace script::bench {

namespace {

std::size_t entries_of(const assets::LabelledPaths& map)
{
    std::size_t count = 0;
    for (const auto& [label, paths] : map.entries()) {
        (void)label;
        count += paths.size();
    }
    return count;
}

} // namespace

JobFolder::JobFolder(std::string path, std::string scene_document)
    : m_path(std::move(path)), m_scene_document(std::move(scene_document))
{
    std::error_code error;
    std::filesystem::create_directories(m_path, error);
    if (error)
        throw Error("cannot create job folder " + m_path + ": " + error.message());
    job_paths() = JobPaths{
        m_scene_document, m_path + "/task.json",  m_path + "/system.json", m_path + "/tips.json",
        m_path,           m_path + "/upload.json", {}};
}

void JobFolder::reset() const
{
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(m_path, ignored))
        std::filesystem::remove(entry.path(), ignored);
    write_text(m_path + "/task.json", "{}");
    write_text(m_path + "/tips.json", "{}");
}

AssetRun run_asset_step(const host::Host& host)
{
    AssetRun run;
    const SilencedOutput silence;
    const zel_Katana_asset collector(host);
    const assets::AssetRecord& record = collector.ASSET_JSON;
    run.missing = entries_of(record.missing);
    run.recorded = entries_of(record.asset);
    run.labels = record.asset.entries().size();
    run.recorded += run.missing;
    return run;
}

SilencedOutput::SilencedOutput()
{
    console().flush();
    std::fflush(stdout);
    std::fflush(stderr);
    const int null_fd = ::open("/dev/null", O_WRONLY);
    if (null_fd < 0)
        return;
    m_saved_out = ::dup(STDOUT_FILENO);
    m_saved_err = ::dup(STDERR_FILENO);
    ::dup2(null_fd, STDOUT_FILENO);
    ::dup2(null_fd, STDERR_FILENO);
    ::close(null_fd);
}

SilencedOutput::~SilencedOutput()
{
    console().flush();
    std::fflush(stdout);
    std::fflush(stderr);
    if (m_saved_out >= 0) {
        ::dup2(m_saved_out, STDOUT_FILENO);
        ::close(m_saved_out);
    }
    if (m_saved_err >= 0) {
        ::dup2(m_saved_err, STDERR_FILENO);
        ::close(m_saved_err);
    }
}

} // namespace script::bench
