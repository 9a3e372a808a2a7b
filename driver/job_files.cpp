#include "driver/job_files.h"

#include <algorithm>
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
    return parse_json_text(read_file(info_file), info_file);
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
    std::vector<std::string> values;
    values.reserve(members.size());
    std::vector<MemberText> texts;
    for (auto it = members.begin(); it != members.end(); ++it) {
        values.emplace_back();
        append_job_value(values.back(), it.value(), 1);
        texts.push_back(MemberText{it.key(), values.back(), {}});
    }
    write_json_member_texts(json_file, texts);
}

namespace {

// The members of a job document rewritten with new ones: members keep their place when
// they exist and follow in order when they are new, as setting them one by one on the
// document would.
class MemberLayout
{
public:
    using MemberText = zel_Katana::MemberText;

    MemberLayout(const Json& document, const std::vector<MemberText>& members)
    {
        m_kept.reserve(document.size());
        m_kept_texts.reserve(document.size());
        std::vector<bool> placed(members.size(), false);
        for (auto it = document.begin(); it != document.end(); ++it) {
            const MemberText* member = nullptr;
            for (std::size_t i = members.size(); i-- > 0;) {
                if (members[i].key == it.key()) {
                    if (!member)
                        member = &members[i];
                    placed[i] = true;
                }
            }
            if (!member) {
                m_kept_texts.emplace_back();
                append_job_value(m_kept_texts.back(), it.value(), 1);
                m_kept.push_back(MemberText{std::string(), m_kept_texts.back(), {}});
                member = &m_kept.back();
            }
            m_order.emplace_back(it.key(), member);
        }
        for (std::size_t i = 0; i < members.size(); ++i) {
            if (placed[i])
                continue;
            // A key given twice keeps its first place and its last value.
            std::size_t last = i;
            for (std::size_t j = i + 1; j < members.size(); ++j) {
                if (members[j].key == members[i].key) {
                    last = j;
                    placed[j] = true;
                }
            }
            m_order.emplace_back(members[i].key, &members[last]);
        }
    }

    /// The document's text; member texts go to the file as they are produced, between the
    /// framing pieces.
    void write(TextStream& out) const
    {
        if (m_order.empty()) {
            out.append("{}");
            return;
        }
        bool first = true;
        for (const auto& [key, member] : m_order) {
            std::string& text = out.buffer();
            text += first ? "{\n    " : ",\n    ";
            first = false;
            append_json_string(text, key, false);
            text += ": ";
            if (member->write)
                member->write(out);
            else
                out.append(member->text);
        }
        out.append("\n}");
    }

private:
    std::vector<std::pair<std::string_view, const MemberText*>> m_order;
    std::vector<MemberText> m_kept;
    std::vector<std::string> m_kept_texts;
};

} // namespace

zel_Katana::PreparedJobFile
zel_Katana::prepare_json_member_texts(const std::string& json_file,
                                      const std::vector<MemberText>& members) const
{
    PreparedJobFile prepared;
    try {
        // The file as the write will find it: one that does not exist yet is made "{}"
        // first, as the write makes it.
        const std::string file_dir = pypath::dirname(json_file);
        if (!file_dir.empty() && !fs::exists(file_dir))
            return prepared;
        if (!fs::exists(json_file))
            write_file_atomic(json_file, "{}");
        Json base = open_json(json_file);
        if (!base.is_object())
            return prepared;
        const MemberLayout layout(base, members);
        prepared.file = FileAhead(json_file, [&layout](TextStream& out) { layout.write(out); });
        prepared.base = std::move(base);
    } catch (...) {
        // The write does the work itself, and reports whatever fails then.
        prepared.file = FileAhead();
    }
    return prepared;
}

void zel_Katana::write_json_member_texts(const std::string& json_file,
                                         const std::vector<MemberText>& members,
                                         PreparedJobFile* prepared,
                                         const std::function<bool()>& make_room) const
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
        const Json document = open_json(json_file);
        if (!document.is_object()) {
            throw Error(json_file + ": the job file does not hold a JSON object");
        }
        if (prepared && prepared->file.ready() && prepared->base == document) {
            prepared->file.put_in_place();
        } else {
            if (prepared)
                prepared->file = FileAhead();
            const MemberLayout layout(document, members);
            const auto write = [&] {
                write_file_atomic(json_file, [&layout](TextStream& out) { layout.write(out); });
            };
            try {
                write();
            } catch (const Error&) {
                if (!make_room || !make_room())
                    throw;
                write();
            }
        }
    } catch (const std::exception& e) {
        print_line(e.what());
        // The step goes on, but the run must not end as a success with this file stale.
        std::vector<std::string>& unwritten = job_paths().unwritten_files;
        if (std::find(unwritten.begin(), unwritten.end(), json_file) == unwritten.end()) {
            unwritten.push_back(json_file);
        }
    }
}

void clearJson()
{
    const std::string& json_path = job_paths().json_path;
    const fs::DirListing listing = fs::list_dir(json_path);
    // The finish flag of an earlier run goes first: a run ended while clearing must not
    // leave it standing beside a half-cleared folder.
    std::vector<std::string_view> names;
    names.reserve(listing.size());
    for (const fs::DirEntry& entry : listing) {
        if (entry.name == k_finish_flag_name) {
            names.insert(names.begin(), entry.name);
        } else if (entry.name != k_task_json_name) {
            names.push_back(entry.name);
        }
    }
    for (const std::string_view name : names) {
        std::string file_path = json_path + "/" + std::string(name);
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
