#include "assets/asset_collector.h"

#include <algorithm>
#include <memory>
#include <string_view>
#include <unordered_set>

#include "assets/analysed_index.h"
#include "common/console.h"
#include "common/errors.h"
#include "common/fs.h"
#include "common/json_doc.h"
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
bool contains_any(std::string_view path, const std::string_view (&texts)[N])
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

// Texts kept once each, in the order first met. The texts live in fixed chunks that never
// move, so the lookup set holds views instead of second copies.
class UniqueTexts
{
public:
    bool add(std::string_view text)
    {
        if (m_seen.contains(text))
            return false;
        const std::string_view stored = store(text);
        m_seen.insert(stored);
        m_items.push_back(stored);
        return true;
    }
    const std::vector<std::string_view>& items() const { return m_items; }

private:
    std::string_view store(std::string_view text)
    {
        if (m_free < text.size()) {
            const std::size_t size = std::max<std::size_t>(k_chunk, text.size());
            m_chunks.push_back(std::make_unique<char[]>(size));
            m_next = m_chunks.back().get();
            m_free = size;
        }
        std::copy(text.begin(), text.end(), m_next);
        const std::string_view stored(m_next, text.size());
        m_next += text.size();
        m_free -= text.size();
        return stored;
    }

    static constexpr std::size_t k_chunk = std::size_t{1} << 20;
    std::vector<std::unique_ptr<char[]>> m_chunks;
    char* m_next = nullptr;
    std::size_t m_free = 0;
    std::unordered_set<std::string_view> m_seen;
    std::vector<std::string_view> m_items;
};

// The upload list as job-file text one level deep: {"local", "server"} per path.
std::string upload_list_text(const std::vector<std::string_view>& locals)
{
    std::string out;
    out.reserve(locals.size() * 160 + 16);
    out += "[\n";
    bool first = true;
    for (const std::string_view local : locals) {
        if (!first)
            out += ",\n";
        first = false;
        out += "        {\n            \"local\": ";
        append_json_string(out, local, false);
        out += ",\n            \"server\": ";
        append_json_string(out, local_to_server(std::string(local)), false);
        out += "\n        }";
    }
    out += "\n    ]";
    return out;
}

std::string value_text(const Json& value)
{
    std::string out;
    append_job_value(out, value, 1);
    return out;
}

std::string list_text(const std::vector<std::string_view>& items)
{
    std::string out;
    append_job_string_list(out, items, 1);
    return out;
}

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
    UniqueTexts missing_report;
    std::unordered_set<std::string_view> missing_paths;  // views into the record
    for (const auto& [label, list] : ASSET_JSON.missing.entries()) {
        for (const std::string& path : list) {
            missing_report.add(label + " **** " + path);
            missing_paths.insert(path);
        }
    }
    UniqueTexts asset_report;
    UniqueTexts upload_paths;
    std::string line;
    for (const auto& [label, list] : ASSET_JSON.asset.entries()) {
        for (const std::string& path : list) {
            print_line(py_repr(std::string_view(path)));
            if (contains_any(path, k_report_excluded))
                continue;
            line.assign(label).append(" ---> ").append(path);
            asset_report.add(line);
            // A path recorded as missing is never uploaded, whatever form it was recorded
            // in (relative or with backslashes it would not equal its upload form).
            if (missing_paths.contains(path))
                continue;
            std::string local = path;
            if (local.size() >= 2 && local[1] == ':')
                local[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(local[0])));
            upload_paths.add(replace_all(pypath::abspath(local), "\\", "/"));
        }
    }

    // asset.json gets its members in record order, in one rewrite.
    if (asset_file.empty())
        throw Error("cannot write asset.json: the job has no task.json path");
    write_json_member_texts(asset_file, {{"scene_file_size", value_text(ASSET_JSON.scene_file_size)},
                                         {"asset_size", value_text(ASSET_JSON.asset_size)},
                                         {"missing", list_text(missing_report.items())},
                                         {"asset_num", value_text(ASSET_JSON.asset_num)},
                                         {"asset", list_text(asset_report.items())},
                                         {"scene_file", value_text(ASSET_JSON.scene_file)}});
    if (!missing_report.items().empty())
        write_json_member_texts(paths.tips_json,
                                {{std::string(tips::k_missing_files), list_text(missing_report.items())}});

    std::vector<std::string_view> upload;
    upload.reserve(upload_paths.items().size() + 1);
    for (const std::string_view path : upload_paths.items()) {
        if (missing_paths.contains(path) || contains_any(path, k_upload_excluded))
            continue;
        upload.push_back(path);
    }
    upload.push_back(paths.katana_scene);
    write_json_member_texts(paths.upload_json, {{"asset", upload_list_text(upload)}});
}

}  // namespace script
