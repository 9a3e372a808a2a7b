#include "assets/asset_collector.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_set>

#include "assets/analysed_index.h"
#include "assets/path_facts.h"
#include "common/console.h"
#include "common/errors.h"
#include "common/fs.h"
#include "common/json_doc.h"
#include "common/platform.h"
#include "common/pypath.h"
#include "common/pyutil.h"
#include "common/text_block.h"
#include "driver/file_facts.h"
#include "driver/job_paths.h"
#include "driver/tips.h"

namespace script {

namespace {

constexpr std::string_view k_skip_switch = "katana_ignore_assets";

Json upload_entry(const std::string& local)
{
    Json entry = Json::object();
    entry["local"] = local;
    entry["server"] = local_to_server(local);
    return entry;
}

// The lines of one report ("label" + separator + path), each once in the order first met,
// written straight into a job file. A line repeats exactly when its label and path repeat,
// unless some label itself holds the separator; then lines are compared as text.
class ReportLines
{
public:
    ReportLines(const assets::LabelledPaths& map, const assets::PathTable& table,
                std::string_view separator)
        : m_map(map), m_table(table), m_separator(separator)
    {
        for (const auto& entry : map.entries())
            m_by_text = m_by_text || entry.first.find(separator) != std::string::npos;
    }

    bool empty() const
    {
        for (const auto& entry : m_map.entries())
            if (!entry.second.empty())
                return false;
        return true;
    }

    /// Writes the report as a list one level deep in a job document, without the paths
    /// the asset report leaves out when `exclude` is set.
    void write(TextStream& out, const assets::PathFactTable& facts, bool exclude) const
    {
        std::vector<std::uint32_t> last_label; // by path number; 0: not reported yet
        assets::PathTable lines;
        std::string line;
        std::size_t count = 0;
        out.buffer() += '[';
        // A plain line is written as the label's opening piece, the path and a quote; the
        // piece already holds the line break and indent before it (the first line has no
        // comma before it). Plain lines are put together in a block of their own, which
        // goes to the stream whole: one copy per block rather than three joins per line.
        constexpr std::string_view k_next_line = ",\n        \"";
        TextBlock block([&out](std::string_view text) { out.append(text); });
        std::string opening;
        const auto& entries = m_map.entries();
        for (std::size_t entry = 0; entry < entries.size(); ++entry) {
            const auto& [label, ids] = entries[entry];
            const auto label_number = static_cast<std::uint32_t>(entry + 1);
            const bool label_plain = json_string_is_plain(label) && json_string_is_plain(m_separator);
            if (label_plain)
                opening.assign(k_next_line).append(label).append(m_separator);
            for (const assets::PathId id : ids) {
                const std::string_view path = m_table.text(id);
                if (exclude && facts.report_excluded(id))
                    continue;
                bool fresh = false;
                if (m_by_text) {
                    line.assign(label).append(m_separator).append(path);
                    fresh = lines.intern(line).second;
                } else {
                    // Each path remembers the last label it was reported under.
                    if (last_label.size() <= id)
                        last_label.resize(std::max<std::size_t>(id + 1, m_table.size()), 0);
                    fresh = last_label[id] != label_number;
                    last_label[id] = label_number;
                }
                if (!fresh)
                    continue;
                if (label_plain && facts.plain_json(id)) {
                    const std::string_view piece = count++ > 0
                                                       ? std::string_view(opening)
                                                       : std::string_view(opening).substr(1);
                    const std::size_t size = piece.size() + path.size() + 1;
                    if (size > TextBlock::k_size) {
                        block.append(piece);
                        block.append(path);
                        block.append("\"");
                        continue;
                    }
                    char* at = block.room(size);
                    std::memcpy(at, piece.data(), piece.size());
                    std::memcpy(at + piece.size(), path.data(), path.size());
                    at[size - 1] = '"';
                    block.commit(size);
                } else {
                    block.flush();
                    std::string& text = out.buffer();
                    text += count++ > 0 ? ",\n        " : "\n        ";
                    if (!m_by_text)
                        line.assign(label).append(m_separator).append(path);
                    append_json_string(text, line, false);
                    out.flush_if_full();
                }
            }
        }
        block.flush();
        out.buffer() += count > 0 ? "\n    ]" : "]";
    }

private:
    const assets::LabelledPaths& m_map;
    const assets::PathTable& m_table;
    std::string_view m_separator;
    bool m_by_text = false;
};

// The upload list: the upload form of each found path, once, in the order first met.
// A path recorded as missing is never uploaded, whatever form it was recorded in: neither
// as it is, nor when its upload form (absolute, forward slashes) is the text of a path
// recorded as missing. Only existing regular files are uploaded: a reference filed as
// found because it occurs inside a recorded path (a bare name, a folder) never touched the
// disk. Upload forms that are recorded paths are held by number; only the rare other
// forms are stored again.
class UploadList
{
public:
    /// What a path number's text is as an upload form, settled beforehand for every path
    /// that is added (an existing regular file is answered from the folder listings).
    enum Form : std::uint8_t
    {
        k_unsettled,
        k_other_form,
        k_own_form,       ///< absolute, normal, forward slashes, and no regular file
        k_own_form_file,  ///< the same, and an existing regular file
    };

    UploadList(const assets::PathTable& table, const assets::AnalysedIndex& analysed,
               const std::vector<Form>& forms)
        : m_table(table), m_analysed(analysed), m_forms(forms), m_seen(table.size(), 0),
          m_listed(table.size(), 0)
    {
        m_paths.reserve(table.size());  // address space only: pages are touched as it fills
        m_kept.reserve(table.size());
    }

    /// Adds the upload form of a path the asset report keeps.
    void add(assets::PathId id)
    {
        if (m_seen[id] || m_analysed.is_missing(id))
            return;
        m_seen[id] = 1;
        const std::string_view path = m_table.text(id);
        if (m_forms[id] == k_own_form_file) {
            list_recorded(id, true);
            return;
        }
        if (m_forms[id] == k_own_form)
            return;
        std::string local(path);
        if (local.size() >= 2 && local[1] == ':')
            local[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(local[0])));
        const std::string upload_path = replace_all(pypath::abspath(local), "\\", "/");
        // The rare other forms are checked on the disk itself.
        if (!fs::isfile(upload_path))
            return;
        if (const std::optional<assets::PathId> recorded = m_table.find(upload_path)) {
            if (!m_analysed.is_missing(*recorded))
                list_recorded(*recorded, false);
            return;
        }
        if (const auto [other, fresh] = m_others.intern(upload_path); fresh) {
            m_paths.push_back(m_others.text(other));
            m_kept.push_back(0);
        }
    }

    const std::vector<std::string_view>& paths() const { return m_paths; }
    /// Whether the path at this place of the list is the very text of a path the asset
    /// report keeps, which holds none of the upload list's excluded texts either.
    bool kept_by_report(std::size_t place) const { return m_kept[place] != 0; }

private:
    void list_recorded(assets::PathId id, bool kept_by_report)
    {
        if (!m_listed[id]) {
            m_listed[id] = 1;
            m_paths.push_back(m_table.text(id));
            m_kept.push_back(kept_by_report ? 1 : 0);
        }
    }

    const assets::PathTable& m_table;
    const assets::AnalysedIndex& m_analysed;
    const std::vector<Form>& m_forms;
    std::vector<std::uint8_t> m_seen;    // by path number: its upload form was taken
    std::vector<std::uint8_t> m_listed;  // by path number: its text is in the list
    assets::PathTable m_others;          // upload forms that are no recorded path
    std::vector<std::string_view> m_paths;
    std::vector<std::uint8_t> m_kept;  // by place in m_paths: see kept_by_report
};

// The upload list one level deep in a job document: {"local", "server"} per path.
void write_upload_list(TextStream& out, const std::vector<std::string_view>& locals)
{
    constexpr std::string_view k_first = "\n        {\n            \"local\": ";
    constexpr std::string_view k_next = ",\n        {\n            \"local\": ";
    constexpr std::string_view k_server = ",\n            \"server\": ";
    constexpr std::string_view k_close = "\n        }";
    out.buffer() += '[';
    bool first = true;
    for (const std::string_view local : locals) {
        std::string& text = out.buffer();
        const bool first_entry = first;
        const std::string_view opening = first ? k_first : k_next;
        first = false;
        // Without a drive the server path is the local one.
        const bool drive = local.find(':') != std::string_view::npos;
        if (!drive && plain_json_ascii(local)) {
            // Nearly every path: a plain text is written between quotes as it is.
            // The fixed pieces are copied with sizes known here, so the copies are inlined.
            const std::size_t at = text.size();
            text.resize(at + opening.size() + 2 * (local.size() + 2) + k_server.size() +
                        k_close.size());
            char* p = text.data() + at;
            if (first_entry) {
                std::memcpy(p, k_first.data(), k_first.size());
                p += k_first.size();
            } else {
                std::memcpy(p, k_next.data(), k_next.size());
                p += k_next.size();
            }
            *p++ = '"';
            std::memcpy(p, local.data(), local.size());
            p += local.size();
            *p++ = '"';
            std::memcpy(p, k_server.data(), k_server.size());
            p += k_server.size();
            *p++ = '"';
            std::memcpy(p, local.data(), local.size());
            p += local.size();
            *p++ = '"';
            std::memcpy(p, k_close.data(), k_close.size());
        } else {
            text += opening;
            append_json_string(text, local, false);
            text += k_server;
            append_json_string(
                text, drive ? local_to_server(std::string(local)) : std::string(local), false);
            text += k_close;
        }
        out.flush_if_full();
    }
    out.buffer() += first ? "]" : "\n    ]";
}

std::string value_text(const Json& value)
{
    std::string out;
    append_job_value(out, value, 1);
    return out;
}

}  // namespace

zel_Katana_asset::zel_Katana_asset(const host::Host& host, NoCollect)
    : m_host(host), m_analysed(std::make_unique<assets::AnalysedIndex>(ASSET_JSON.paths)),
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

int zel_Katana_asset::is_analysed(std::string_view path) const
{
    return m_analysed->status(path);
}

void zel_Katana_asset::record(const std::string& nodePath, const ReaderResult& result)
{
    record(nodePath, result, nullptr);
}

void zel_Katana_asset::record(const std::string& nodePath, const ReaderResult& result, Expansion* keep)
{
    record_found(ASSET_JSON.asset.extend(nodePath, result.asset), keep);
    record_missing(nodePath, result.miss, keep);
}

void zel_Katana_asset::record(const std::string& nodePath, const TextList& found,
                              const std::vector<std::string>& miss, Expansion* keep,
                              const std::vector<std::uint8_t>* regular_files)
{
    const std::span<const assets::PathId> ids = ASSET_JSON.asset.extend(nodePath, found);
    if (regular_files) {
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (!(*regular_files)[i])
                continue;
            if (m_regular_files.size() <= ids[i])
                m_regular_files.resize(
                    std::max<std::size_t>(ids[i] + 1, m_regular_files.size() * 2));
            m_regular_files[ids[i]] = 1;
        }
    }
    record_found(ids, keep);
    record_missing(nodePath, miss, keep);
}

void zel_Katana_asset::record_found(std::span<const assets::PathId> found, Expansion* keep)
{
    for (const assets::PathId id : found)
        m_analysed->add_found(id);
    if (keep)
        keep->asset.assign(found.begin(), found.end());
}

void zel_Katana_asset::record_missing(const std::string& nodePath,
                                      const std::vector<std::string>& miss, Expansion* keep)
{
    if (miss.empty())
        return;
    const std::span<const assets::PathId> missing = ASSET_JSON.missing.extend(nodePath, miss);
    for (const assets::PathId id : missing)
        m_analysed->add_missing(id);
    if (keep)
        keep->miss.assign(missing.begin(), missing.end());
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

    // scene.json is written on a second thread while the reports are built here.
    PendingSceneFile scene_file = walk_scene();
    m_usd_read_ahead.reset();  // the walk is over, and so is its reading thread

    // The reports: every label's lines, duplicates removed in first-met order, produced
    // as their job files are written.
    const assets::PathTable& table = ASSET_JSON.paths;
    const ReportLines missing_report(ASSET_JSON.missing, table, " **** ");
    const ReportLines asset_report(ASSET_JSON.asset, table, " ---> ");
    // The upload list needs only the finished record, so another thread builds it
    // meanwhile. The folder cache goes with it: this thread lists nothing after the walk.
    // The list keeps the texts of upload forms that are no recorded path.
    struct Upload
    {
        std::unique_ptr<UploadList> list;
        std::vector<std::string_view> paths;
    };
    // What the reports ask of each recorded path, worked out once, shared among the
    // threads that need it first.
    assets::PathFactTable path_facts(table, assets::PathFactTable::Shared{});
    const auto facts = [&path_facts]() -> const assets::PathFactTable& {
        return path_facts.complete();
    };
    const auto build_upload = [this, &table, &paths, &facts] {
        Upload upload;
        // Which found paths are their own upload form, and which of those are regular files,
        // answered from the folder listings.
        std::vector<UploadList::Form> forms(table.size(), UploadList::k_unsettled);
        const assets::PathFactTable& fact = facts();
        std::string path;
        for (const auto& [label, ids] : ASSET_JSON.asset.entries()) {
            for (const assets::PathId id : ids) {
                if (forms[id] != UploadList::k_unsettled)
                    continue;
                if (!fact.own_upload_form(id)) {
                    forms[id] = UploadList::k_other_form;
                    continue;
                }
                forms[id] = UploadList::k_own_form;
                if (m_analysed->is_missing(id))
                    continue;
                // Most found files were found in the folder listings, which told then.
                if (id < m_regular_files.size() && m_regular_files[id]) {
                    forms[id] = UploadList::k_own_form_file;
                    continue;
                }
                path.assign(table.text(id));
                if (m_fs->isfile(path))
                    forms[id] = UploadList::k_own_form_file;
            }
        }
        upload.list = std::make_unique<UploadList>(table, *m_analysed, forms);
        for (const auto& [label, ids] : ASSET_JSON.asset.entries()) {
            for (const assets::PathId id : ids)
                if (!fact.report_excluded(id))
                    upload.list->add(id);
        }
        const std::vector<std::string_view>& listed = upload.list->paths();
        upload.paths.reserve(listed.size() + 1);
        for (std::size_t place = 0; place < listed.size(); ++place) {
            if (!upload.list->kept_by_report(place) && assets::upload_excluded(listed[place]))
                continue;
            upload.paths.push_back(listed[place]);
        }
        upload.paths.push_back(paths.katana_scene);
        return upload;
    };
    const auto upload_members = [](const Upload& upload) {
        return std::vector<MemberText>{
            {"asset", {}, [&upload](TextStream& out) { write_upload_list(out, upload.paths); }}};
    };
    // The thread that builds the list then writes upload.json's text ahead.
    struct UploadAhead
    {
        Upload upload;
        PreparedJobFile file;
    };

    const auto missing_text = [&missing_report, &facts](TextStream& out) {
        missing_report.write(out, facts(), false);
    };
    const std::string scene_file_size = value_text(ASSET_JSON.scene_file_size);
    const std::string asset_size = value_text(ASSET_JSON.asset_size);
    const std::string asset_num = value_text(ASSET_JSON.asset_num);
    const std::string scene_file_text = value_text(ASSET_JSON.scene_file);
    const std::vector<MemberText> asset_members = {
        {"scene_file_size", scene_file_size, {}},
        {"asset_size", asset_size, {}},
        {"missing", {}, missing_text},
        {"asset_num", asset_num, {}},
        {"asset", {}, [&](TextStream& out) { asset_report.write(out, facts(), true); }},
        {"scene_file", scene_file_text, {}}};
    // asset.json, the largest job file, and upload.json are written ahead on other threads
    // while the console lines below are printed here, and put in place in their turn. They
    // are written once scene.json is, and a file that does not fit in its turn is tried
    // again without upload.json's text: on a full disk the same files fail as when each is
    // written in turn.
    std::future<UploadAhead> upload_ahead =
        std::async(std::launch::async | std::launch::deferred, [&] {
            platform::offer_thread_heap_huge_pages();
            UploadAhead ahead{build_upload(), {}};
            if (scene_file.wait_written())
                ahead.file =
                    prepare_json_member_texts(paths.upload_json, upload_members(ahead.upload));
            return ahead;
        });
    std::future<PreparedJobFile> asset_ahead =
        std::async(std::launch::async | std::launch::deferred, [&] {
            platform::offer_thread_heap_huge_pages();
            facts();
            if (asset_file.empty() || !scene_file.wait_written())
                return PreparedJobFile();
            return prepare_json_member_texts(asset_file, asset_members);
        });

    // Should anything below fail before scene.json is finished, the threads above must not
    // wait for it: they are waited for when this function is left.
    struct GivesUpSceneFile
    {
        PendingSceneFile& file;
        ~GivesUpSceneFile() { file.abandon(); }
    } const scene_file_guard{scene_file};

    std::optional<UploadAhead> upload;
    const auto take_upload = [&]() -> UploadAhead& {
        if (!upload)
            upload.emplace(upload_ahead.get());
        return *upload;
    };
    // A job file written before upload.json that does not fit on the disk is tried again
    // without upload.json's text written ahead.
    const auto make_room = [&take_upload] {
        PreparedJobFile& ahead = take_upload().file;
        if (!ahead.file.ready())
            return false;
        ahead.file = FileAhead();
        return true;
    };

    // The console shows scene.json saved, then every recorded path, as the walk left them.
    scene_file.finish();
    {
        const assets::PathFactTable& fact = facts();
        ReprLines out(console());
        for (const auto& [label, ids] : ASSET_JSON.asset.entries()) {
            for (const assets::PathId id : ids) {
                if (fact.plain_repr(id))
                    out.plain(table.text(id));
                else
                    out.any(table.text(id));
            }
        }
        out.flush();
    }

    // asset.json gets its members in record order, in one rewrite.
    if (asset_file.empty())
        throw Error("cannot write asset.json: the job has no task.json path");
    PreparedJobFile asset_text = asset_ahead.get();
    write_json_member_texts(asset_file, asset_members, &asset_text, make_room);
    if (!missing_report.empty())
        write_json_member_texts(paths.tips_json,
                                {{std::string(tips::k_missing_files), {}, missing_text}}, nullptr,
                                make_room);

    UploadAhead& ahead = take_upload();
    write_json_member_texts(paths.upload_json, upload_members(ahead.upload), &ahead.file);
}

}  // namespace script
