#pragma once

// The asset record the collector fills: found and missing paths filed by source label,
// with the scene file facts, written to asset.json in a fixed key order. Paths are stored
// once each in a path table and the lists hold their numbers, so a record of hundreds of
// thousands of entries stays small and quick to fill and to report.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/block_store.h"
#include "common/text_index.h"
#include "common/text_list.h"

namespace script::assets {

using Json = nlohmann::ordered_json;
using PathId = std::uint32_t;

/// Distinct texts, each with a number in order of first appearance. Texts live in fixed
/// chunks that never move, so views of them stay valid for the table's life.
class PathTable
{
public:
    PathTable();

    /// The text's number, and whether it was new.
    std::pair<PathId, bool> intern(std::string_view text) { return intern(text, hash_text(text)); }
    /// The same with the text's hash_text already known.
    std::pair<PathId, bool> intern(std::string_view text, std::uint64_t hash);
    /// Fetches ahead what interning a text of this hash will read (see TextIndex::prefetch).
    void prefetch(std::uint64_t hash) const { m_index.prefetch(hash); }
    std::optional<PathId> find(std::string_view text) const { return find(text, hash_text(text)); }
    std::optional<PathId> find(std::string_view text, std::uint64_t hash) const;
    std::string_view text(PathId id) const { return m_texts[id]; }
    std::size_t size() const { return m_texts.size(); }

private:
    BlockStore m_store{std::size_t{1} << 20};
    std::vector<std::string_view> m_texts;
    TextIndex m_index;
};

/// Source label -> list of paths, labels in the order they were first stored. Labels are
/// interned in a table of their own, whose numbers are the entries' positions, so a record
/// with many labels stays linear to fill and holds each label's text once.
class LabelledPaths
{
public:
    using Entry = std::pair<std::string_view, std::vector<PathId>>;

    explicit LabelledPaths(PathTable& table) : m_table(table) {}
    LabelledPaths(const LabelledPaths&) = delete;
    LabelledPaths& operator=(const LabelledPaths&) = delete;

    /// Appends the paths to the label's list, creating the label when it is new, and
    /// returns their numbers in order (valid until the next change).
    std::span<const PathId> extend(std::string_view label, const std::vector<std::string>& paths);
    std::span<const PathId> extend(std::string_view label, const TextList& paths);
    /// The same for paths the table already holds, given by number.
    void extend(std::string_view label, std::span<const PathId> ids);
    /// The label's list as texts, or nullopt.
    std::optional<std::vector<std::string>> find(std::string_view label) const;
    /// Every label with its list; a label's text stays valid and unique for the record's
    /// life, so its address identifies it.
    const std::vector<Entry>& entries() const { return m_entries; }
    bool empty() const { return m_entries.empty(); }

private:
    /// The label's list, the label created when it is new.
    std::vector<PathId>& list_of(std::string_view label);
    template <typename Paths>
    std::span<const PathId> extend_with(std::string_view label, const Paths& paths);

    PathTable& m_table;
    PathTable m_labels;            // label texts; a label's number is its entry's position
    std::vector<Entry> m_entries;
    std::vector<std::uint64_t> m_hashes;  // of the paths being added
    std::size_t m_last = 0;        // entry extended last: labels usually come in runs
};

/// ASSET_JSON: "scene_file_size", "asset_size", "missing", "asset_num", "asset",
/// "scene_file", in this order.
struct AssetRecord
{
    AssetRecord() = default;
    AssetRecord(const AssetRecord&) = delete;
    AssetRecord& operator=(const AssetRecord&) = delete;

    PathTable paths;  ///< every path either map holds, once
    Json scene_file_size = 0;
    Json asset_size = 0;
    LabelledPaths missing{paths};
    Json asset_num = 0;
    LabelledPaths asset{paths};
    Json scene_file = "";
};

}  // namespace script::assets
