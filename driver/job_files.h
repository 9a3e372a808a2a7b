#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/json_doc.h"

namespace script {

using Json = nlohmann::ordered_json;

/// Base of the step classes: read and merge-write access to the job files.
class zel_Katana
{
public:
    /// Reads a job file and returns its JSON value (a leading byte-order mark is skipped).
    /// Throws script::Error naming the file when it is missing, unreadable (a folder
    /// included) or does not parse, or nests deeper than k_max_json_depth.
    Json open_json(const std::string& info_file) const;

    /// Sets member `key` of the JSON object stored in `json_file` to `dict`, creating the
    /// folder and the file ("{}") when needed. The file is rewritten whole through a
    /// temporary file; a file that cannot be read, parsed or rewritten is left as it was,
    /// the error is printed and the file is added to job_paths().unwritten_files. Errors
    /// creating the folder or the empty file are thrown.
    void write_json_info(const std::string& json_file, const std::string& key,
                         const Json& dict) const;
    /// Sets every member of `members` (an object) in one read and rewrite of the file,
    /// with the same result as one write_json_info call per member in order.
    void write_json_members(const std::string& json_file, Json members) const;

    /// A member whose value is job-file text, written one level deep: either `text`
    /// (the caller's, which must outlive the call) or, when `write` is set, what `write`
    /// produces straight into the file.
    struct MemberText
    {
        std::string key;
        std::string_view text;
        TextProducer write;
    };
    /// A job file's new text written ahead (write_json_member_texts' work done early,
    /// possibly on another thread), with the document it was built on.
    struct PreparedJobFile
    {
        Json base;
        FileAhead file;
    };
    /// Writes the text write_json_member_texts would write for the file as it stands now,
    /// making the file "{}" first when it does not exist, as the write does; nothing is
    /// printed. When its folder is missing or anything fails, nothing is prepared: the
    /// write then does the work and reports the failure.
    PreparedJobFile prepare_json_member_texts(const std::string& json_file,
                                              const std::vector<MemberText>& members) const;
    /// As write_json_members, for values written as text by the caller: large lists go
    /// straight into the file through a bounded buffer instead of being built as JSON
    /// values or whole texts. The members already in the file are read back and kept.
    /// A `prepared` text is put in place as it is when the file still holds the document
    /// it was built on; otherwise it is dropped and the text is written again.
    /// Texts written ahead for files whose turn comes later hold room on the disk before
    /// their turn: when the text cannot be written and `make_room` frees such room (it
    /// returns true), the write is tried once more, so that on a full disk the same files
    /// fail as when each is written in its turn.
    void write_json_member_texts(const std::string& json_file,
                                 const std::vector<MemberText>& members,
                                 PreparedJobFile* prepared = nullptr,
                                 const std::function<bool()>& make_room = {}) const;
};

/// Empties the job folder (job_paths().json_path) except task.json and the job's own
/// system.json. An entry that cannot be removed (a sub-folder) ends the process with
/// status 555 after printing the bang line and "can`t delete <path>".
void clearJson();

}  // namespace script
