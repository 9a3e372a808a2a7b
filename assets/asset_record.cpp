#include "assets/asset_record.h"

namespace script::assets {

void LabelledPaths::extend(const std::string& label, const std::vector<std::string>& paths)
{
    const auto [it, inserted] = m_index.try_emplace(label, m_entries.size());
    if (inserted) {
        m_entries.emplace_back(label, paths);
        return;
    }
    auto& list = m_entries[it->second].second;
    list.insert(list.end(), paths.begin(), paths.end());
}

const std::vector<std::string>* LabelledPaths::find(const std::string& label) const
{
    const auto it = m_index.find(label);
    return it == m_index.end() ? nullptr : &m_entries[it->second].second;
}

Json LabelledPaths::to_json() const
{
    Json out = Json::object();
    for (const auto& [label, paths] : m_entries)
        out[label] = paths;
    return out;
}

Json AssetRecord::to_json() const
{
    Json out = Json::object();
    out["scene_file_size"] = scene_file_size;
    out["asset_size"] = asset_size;
    out["missing"] = missing.to_json();
    out["asset_num"] = asset_num;
    out["asset"] = asset.to_json();
    out["scene_file"] = scene_file;
    return out;
}

}  // namespace script::assets
