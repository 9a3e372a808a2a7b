#pragma once

// The asset record the collector fills: found and missing paths filed by source label,
// with the scene file facts, written to asset.json in a fixed key order.

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace script::assets {

using Json = nlohmann::ordered_json;

/// Source label -> list of paths, labels in the order they were first stored. Lookup by
/// label is hashed, so a record with many labels stays linear to fill.
class LabelledPaths
{
public:
    using Entry = std::pair<std::string, std::vector<std::string>>;

    /// Appends the paths to the label's list, creating the label when it is new.
    void extend(const std::string& label, const std::vector<std::string>& paths);
    /// The label's list, or nullptr.
    const std::vector<std::string>* find(const std::string& label) const;
    const std::vector<Entry>& entries() const { return m_entries; }
    bool empty() const { return m_entries.empty(); }
    /// {label: [paths...]} in label order.
    Json to_json() const;

private:
    std::vector<Entry> m_entries;
    std::unordered_map<std::string, std::size_t> m_index;
};

/// ASSET_JSON: "scene_file_size", "asset_size", "missing", "asset_num", "asset",
/// "scene_file", in this order.
struct AssetRecord
{
    Json scene_file_size = 0;
    Json asset_size = 0;
    LabelledPaths missing;
    Json asset_num = 0;
    LabelledPaths asset;
    Json scene_file = "";

    Json to_json() const;
};

}  // namespace script::assets
