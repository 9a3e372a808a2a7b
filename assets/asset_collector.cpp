#include "assets/asset_collector.h"

#include <string_view>
#include <unordered_set>

#include "assets/analysed_index.h"
#include "common/console.h"
#include "common/errors.h"
#include "common/fs.h"
#include "common/platform.h"
#include "common/pypath.h"
#include "common/pyutil.h"
#include "driver/file_facts.h"
#include "driver/job_paths.h"
#include "driver/tips.h"

namespace script {

namespace {

constexpr std::string_view k_skip_switch = "katana_ignore_assets";

// Texts that keep a found path out of the asset report and the upload list: list
// separators the farm cannot carry, installed software, copies named by a mis-decoded
// Chinese "copy" ("副本" read as Latin-1), and the XGen procedural itself.
constexpr std::string_view k_report_excluded[] = {",", ";", "Program Files", "\xc2\xb8\xc2\xb1\xc2\xb1\xc2\xbe",
                                                  "xgen_procedural.dll"};
constexpr std::string_view k_upload_excluded[] = {",", ";", "Program Files"};

template <std::size_t N>
bool contains_any(const std::string& path, const std::string_view (&texts)[N])
{
    for (std::string_view text : texts)
        if (path.find(text) != std::string::npos)
            return true;
    return false;
}

Json upload_entry(const std::string& local)
{
    Json entry = Json::object();
    entry["local"] = local;
    entry["server"] = local_to_server(local);
    return entry;
}

// Adds a text once, keeping the order in which texts were first met.
class OrderedUnique
{
public:
    void add(const std::string& text)
    {
        if (m_seen.insert(text).second)
            m_items.push_back(text);
    }
    bool contains(const std::string& text) const { return m_seen.contains(text); }
    const std::vector<std::string>& items() const { return m_items; }

private:
    std::unordered_set<std::string> m_seen;
    std::vector<std::string> m_items;
};

}  // namespace

zel_Katana_asset::zel_Katana_asset(const host::Host& host, NoCollect)
    : m_host(host), m_analysed(std::make_unique<assets::AnalysedIndex>()),
      m_fs(std::make_unique<fs::DirectoryCache>())
{
    const std::string& scene = job_paths().katana_scene;
    ASSET_JSON.scene_file = get_file_mtime(scene);
    ASSET_JSON.scene_file_size = get_file_size(scene);
}

zel_Katana_asset::zel_Katana_asset(const host::Host& host) : zel_Katana_asset(host, NoCollect{})
{
    collect();
}

zel_Katana_asset::~zel_Katana_asset() = default;

int zel_Katana_asset::is_analysed(const std::string& path) const
{
    return m_analysed->status(path);
}

void zel_Katana_asset::record(const std::string& nodePath, const ReaderResult& result)
{
    ASSET_JSON.asset.extend(nodePath, result.asset);
    for (const std::string& path : result.asset)
        m_analysed->add_found(path);
    if (!result.miss.empty()) {
        ASSET_JSON.missing.extend(nodePath, result.miss);
        for (const std::string& path : result.miss)
            m_analysed->add_missing(path);
    }
}

void zel_Katana_asset::collect()
{
    const JobPaths& paths = job_paths();

    // The asset file of an earlier run goes first; a missing one is not an error.
    std::string asset_file;
    if (!paths.task_json.empty()) {
        asset_file = pypath::normpath(pypath::join(pypath::dirname(paths.task_json), "asset.json"));
        platform::remove_entry(asset_file);
    }
    auto write_asset_file = [&](const std::string& key, const Json& value) {
        if (asset_file.empty())
            throw Error("cannot write asset.json: the job has no task.json path");
        write_json_info(asset_file, key, value);
    };

    if (platform::get_env(std::string(k_skip_switch)).value_or("") == "1") {
        write_asset_file("missing", Json::array());
        write_asset_file("asset", Json::array());
        write_json_info(paths.upload_json, "asset", Json::array({upload_entry(paths.katana_scene)}));
        print_line("*****ignore analyse asset******");
        return;
    }

    getAsset();

    // The reports: every label's paths, duplicates removed in first-met order.
    OrderedUnique missing_report;
    OrderedUnique missing_paths;
    for (const auto& [label, list] : ASSET_JSON.missing.entries()) {
        for (const std::string& path : list) {
            missing_report.add(label + " **** " + path);
            missing_paths.add(path);
        }
    }
    OrderedUnique asset_report;
    OrderedUnique upload_paths;
    for (const auto& [label, list] : ASSET_JSON.asset.entries()) {
        for (const std::string& path : list) {
            print_line(py_repr(std::string_view(path)));
            if (contains_any(path, k_report_excluded))
                continue;
            asset_report.add(label + " ---> " + path);
            std::string local = path;
            if (local.size() >= 2 && local[1] == ':')
                local[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(local[0])));
            upload_paths.add(replace_all(pypath::abspath(local), "\\", "/"));
        }
    }

    // asset.json gets its members in record order, in one rewrite.
    if (asset_file.empty())
        throw Error("cannot write asset.json: the job has no task.json path");
    Json asset_members = Json::object();
    asset_members["scene_file_size"] = ASSET_JSON.scene_file_size;
    asset_members["asset_size"] = ASSET_JSON.asset_size;
    asset_members["missing"] = missing_report.items();
    asset_members["asset_num"] = ASSET_JSON.asset_num;
    asset_members["asset"] = asset_report.items();
    asset_members["scene_file"] = ASSET_JSON.scene_file;
    write_json_members(asset_file, std::move(asset_members));
    if (!missing_report.items().empty())
        write_json_info(paths.tips_json, std::string(tips::k_missing_files), missing_report.items());

    Json upload = Json::array();
    for (const std::string& path : upload_paths.items()) {
        if (missing_paths.contains(path) || contains_any(path, k_upload_excluded))
            continue;
        upload.push_back(upload_entry(path));
    }
    upload.push_back(upload_entry(paths.katana_scene));
    Json upload_members = Json::object();
    upload_members["asset"] = std::move(upload);
    write_json_members(paths.upload_json, std::move(upload_members));
}

}  // namespace script
